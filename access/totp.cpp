// The second factor: one-time codes of a secret the operator's
// authenticator keeps (TOTP, checked with liboath, linked into the program
// as nettle is), and ten recovery codes for the day it is lost. A code is
// taken only when its time step is later than the last one taken, and a
// recovery code only once, both decided under the store's lock: a code
// seen on the wire, or sent twice at once, lets nobody in a second time.
#include <liboath/oath.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "access/access.h"

namespace orvanta {

namespace {

constexpr char kBase32Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
constexpr unsigned kBase32Bits = 5;
constexpr unsigned kByteBits = 8;
constexpr size_t kTotpWindowSteps = 1;
constexpr char kUriPrefix[] = "otpauth://totp/orvanta%20(";
constexpr char kIssuer[] = "&issuer=orvanta";

// The bytes an unreserved URI character may be; every other is %-encoded.
bool IsUnreserved(unsigned char c) {
  return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~';
}

std::string UriComponent(std::string_view text) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsUnreserved(byte)) {
      encoded.push_back(c);
    } else {
      encoded += {'%', kHex[byte >> 4], kHex[byte & 0x0F]};
    }
  }
  return encoded;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

// A code as typed: blanks and hyphens dropped, letters in upper case.
std::string Normalised(std::string_view code) {
  std::string text;
  for (const char c : code) {
    if (c == ' ' || c == '-') continue;
    text.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
  }
  return text;
}

std::optional<std::vector<std::string>> NewRecoveryCodes() {
  std::vector<std::string> codes;
  for (size_t i = 0; i < kRecoveryCodeCount; ++i) {
    const std::optional<std::string> bytes = RandomBytes(kRecoveryCodeLength);
    if (!bytes) return std::nullopt;
    std::string code;
    // Five random bits of each byte, one character each.
    for (const char byte : *bytes) code.push_back(kBase32Alphabet[byte & 0x1F]);
    codes.push_back(std::move(code));
  }
  return codes;
}

// Spends a recovery code of the entry; whether it was one.
bool SpendRecoveryCode(TotpEntry& entry, const std::string& code) {
  const std::string digest = Sha256Hex(code);
  const auto found = std::find_if(entry.recovery.begin(), entry.recovery.end(),
                                  [&](const std::string& kept) { return SameSecret(kept, digest); });
  if (found == entry.recovery.end()) return false;
  entry.recovery.erase(found);
  return true;
}

}  // namespace

std::optional<std::string> NewTotpSecret() {
  const std::optional<std::string> bytes = RandomBytes(kTotpSecretBytes);
  if (!bytes) return std::nullopt;
  return HexText(*bytes);
}

std::string Base32(std::string_view bytes) {
  std::string text;
  unsigned buffer = 0;
  unsigned bits = 0;
  for (const char c : bytes) {
    buffer = (buffer << kByteBits) | static_cast<unsigned char>(c);
    bits += kByteBits;
    while (bits >= kBase32Bits) {
      bits -= kBase32Bits;
      text.push_back(kBase32Alphabet[(buffer >> bits) & 0x1F]);
    }
  }
  if (bits > 0) text.push_back(kBase32Alphabet[(buffer << (kBase32Bits - bits)) & 0x1F]);
  return text;
}

std::string TotpSecretText(const std::string& secret) {
  return Base32(HexBytes(secret).value_or(""));
}

std::string TotpUri(std::string_view name, const std::string& secret) {
  return kUriPrefix + UriComponent(HostName()) + "):" + UriComponent(name) +
         "?secret=" + TotpSecretText(secret) + kIssuer;
}

std::optional<std::uint64_t> MatchTotpCode(const std::string& secret, std::string_view code,
                                           std::time_t now) {
  const std::string typed = Normalised(code);
  const std::optional<std::string> key = HexBytes(secret);
  if (typed.size() != kTotpDigits || !key || key->empty() ||
      !std::all_of(typed.begin(), typed.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  int position = 0;
  std::uint64_t counter = 0;
  const int result = oath_totp_validate3(key->data(), key->size(), now, kTotpStepSeconds,
                                         OATH_TOTP_DEFAULT_START_TIME, kTotpWindowSteps,
                                         &position, &counter, typed.c_str());
  if (result < 0) return std::nullopt;
  return counter;
}

std::optional<std::vector<std::string>> EnrolTotp(TotpEntry& entry, const std::string& secret,
                                                  std::uint64_t counter) {
  std::optional<std::vector<std::string>> codes = RenewRecoveryCodes(entry);
  if (!codes) return std::nullopt;
  entry.secret = secret;
  entry.last_counter = counter;
  ++entry.generation;
  entry.pending_secret.clear();
  entry.pending_session.clear();
  entry.pending_until = 0;
  return codes;
}

std::optional<std::vector<std::string>> RenewRecoveryCodes(TotpEntry& entry) {
  std::optional<std::vector<std::string>> codes = NewRecoveryCodes();
  if (!codes) return std::nullopt;
  entry.recovery.clear();
  for (const std::string& code : *codes) entry.recovery.push_back(Sha256Hex(code));
  return codes;
}

void ResetTotp(TotpEntry& entry) {
  TotpEntry fresh;
  fresh.name = entry.name;
  fresh.generation = entry.generation + 1;
  entry = std::move(fresh);
}

bool HasTotpSecret(std::string_view name) {
  if (TotpSetting() == TotpMode::Off) return false;
  const std::optional<std::vector<TotpEntry>> entries = ReadTotpStore();
  if (!entries) throw ErrorCode{kErrorNoRoot};
  const TotpEntry* entry = FindTotpEntry(*entries, name);
  return entry != nullptr && !entry->secret.empty();
}

bool MustEnrol(std::string_view name) {
  return TotpSetting() == TotpMode::Required && !HasTotpSecret(name);
}

SecondFactorCheck CheckSecondFactor(std::string_view name, std::string_view code,
                                    std::time_t now) {
  SecondFactorCheck check;
  const std::string typed = Normalised(code);
  const bool kept = ChangeTotpStore([&](std::vector<TotpEntry>& entries) {
    // Added when missing, but then never written.
    TotpEntry* entry = &TotpEntryOf(entries, name);
    if (entry->secret.empty()) return false;
    if (const std::optional<std::uint64_t> counter = MatchTotpCode(entry->secret, typed, now)) {
      if (*counter <= entry->last_counter) return false;
      entry->last_counter = *counter;
      check.outcome = SecondFactor::Code;
      return true;
    }
    if (typed.size() != kRecoveryCodeLength || !SpendRecoveryCode(*entry, typed)) return false;
    check.outcome = SecondFactor::RecoveryCode;
    check.recovery_left = entry->recovery.size();
    return true;
  });
  if (!kept) return SecondFactorCheck{SecondFactor::Unusable};
  return check;
}

}  // namespace orvanta
