// The pages of the second factor: the code asked after the password, and
// the enrolment page (COMMAND=TOTP). A new secret never travels in a form:
// it waits in the store, bound to the session that asked for it, until a
// code of it comes back. Its QR code is drawn by libqrencode, loaded on
// this page only, so that every other run loads no library but the C
// library (the set-user-ID environment is cleared long before).
#include <dlfcn.h>

#include <cstdio>

#include "access/access.h"
#include "access/access_texts.h"
#include "page/page.h"

namespace orvanta {

namespace {

constexpr char kStepField[] = "STEP";
constexpr char kStepNewKey[] = "NEW";
constexpr char kStepConfirm[] = "CONFIRM";
constexpr char kStepNewCodes[] = "CODES";
constexpr char kCodeField[] = "CODE";
constexpr char kPasswordField[] = "PASSWORD";
constexpr char kEnrolled[] = "enrolled";
constexpr char kCodesRenewed[] = "recovery-codes-renewed";
// How long a new secret waits for its first code.
constexpr std::time_t kEnrolmentSeconds = 10 * 60;

// libqrencode's own layout of a symbol, and the two calls used of it.
constexpr char kQrLibrary[] = "libqrencode.so.4";
struct QrSymbol {
  int version;
  int width;
  unsigned char* data;
};
using QrEncode = QrSymbol* (*)(const char*, int, int, int, int);
using QrFree = void (*)(QrSymbol*);
constexpr int kQrAnyVersion = 0;
constexpr int kQrLevelM = 1;
constexpr int kQrMode8 = 2;
constexpr int kQrCaseSensitive = 1;
constexpr int kQrQuietZone = 4;
constexpr int kQrPixelsPerModule = 4;

std::string SvgOf(const QrSymbol& symbol) {
  const int size = symbol.width + 2 * kQrQuietZone;
  std::string path;
  for (int y = 0; y < symbol.width; ++y) {
    for (int x = 0; x < symbol.width; ++x) {
      if ((symbol.data[y * symbol.width + x] & 1) == 0) continue;
      path += "M" + std::to_string(x + kQrQuietZone) + "," + std::to_string(y + kQrQuietZone) +
              "h1v1h-1z";
    }
  }
  const std::string pixels = std::to_string(size * kQrPixelsPerModule);
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + pixels + "\" height=\"" + pixels +
         "\" viewBox=\"0 0 " + std::to_string(size) + " " + std::to_string(size) +
         "\" shape-rendering=\"crispEdges\"><rect width=\"100%\" height=\"100%\" "
         "fill=\"#FFFFFF\"/><path fill=\"#000000\" d=\"" + path + "\"/></svg><BR>\n";
}

// The text as an inline SVG QR code; empty without libqrencode.
std::string QrCodeSvg(const std::string& text) {
  void* library = dlopen(kQrLibrary, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return "";
  const auto encode = reinterpret_cast<QrEncode>(dlsym(library, "QRcode_encodeString"));
  const auto release = reinterpret_cast<QrFree>(dlsym(library, "QRcode_free"));
  std::string svg;
  if (encode != nullptr && release != nullptr) {
    if (QrSymbol* symbol =
            encode(text.c_str(), kQrAnyVersion, kQrLevelM, kQrMode8, kQrCaseSensitive)) {
      svg = SvgOf(*symbol);
      release(symbol);
    }
  }
  dlclose(library);
  return svg;
}

std::optional<TotpEntry> OwnEntry() {
  const std::optional<std::vector<TotpEntry>> entries = ReadTotpStore();
  if (!entries) throw ErrorCode{kErrorNoRoot};
  const TotpEntry* entry = FindTotpEntry(*entries, CurrentOperator().name);
  if (entry == nullptr) return std::nullopt;
  return *entry;
}

bool Enrolled(const std::optional<TotpEntry>& entry) { return entry && !entry->secret.empty(); }

// A form of the page: its step, the password and (when enrolled) the code.
void PrintStepForm(const char* step, const char* caption, bool ask_code, const char* button) {
  PrintPostFormOpening(kTotpCommand);
  PrintHiddenField(kStepField, step);
  std::fputs(caption, stdout);
  std::fputs(kTotpPasswordRow, stdout);
  if (ask_code) std::fputs(kTotpCurrentCodeRow, stdout);
  std::fputs(button, stdout);
}

void PrintOverview(const char* notice) {
  const std::optional<TotpEntry> entry = OwnEntry();
  PrintPageHeader();
  std::fputs(kTotpCaption, stdout);
  std::fputs(notice, stdout);
  if (Enrolled(entry)) {
    std::printf(kTotpEnrolledFormat, entry->recovery.size());
  } else {
    std::fputs(kTotpNotEnrolled, stdout);
  }
  PrintStepForm(kStepNewKey, kTotpNewKeyCaption, Enrolled(entry), kTotpNewKeyButton);
  if (Enrolled(entry)) {
    PrintStepForm(kStepNewCodes, kTotpNewCodesCaption, true, kTotpNewCodesButton);
  }
  PrintPageFooter();
}

void PrintConfirmation(const std::string& secret, const char* notice) {
  const std::string uri = TotpUri(CurrentOperator().name, secret);
  const std::string svg = QrCodeSvg(uri);
  PrintPageHeader();
  std::fputs(kTotpCaption, stdout);
  std::fputs(notice, stdout);
  std::fputs(kTotpScanNotice, stdout);
  std::fputs(svg.empty() ? kTotpNoQrNotice : svg.c_str(), stdout);
  std::printf(kTotpSecretFormat, Html(TotpSecretText(secret)).c_str());
  PrintPostFormOpening(kTotpCommand);
  PrintHiddenField(kStepField, kStepConfirm);
  std::fputs(kTotpConfirmRows, stdout);
  PrintPageFooter();
}

void PrintRecoveryCodes(const char* notice, const std::vector<std::string>& codes,
                        const char* headers) {
  PrintPageHeader(headers);
  std::fputs(kTotpCaption, stdout);
  std::fputs(notice, stdout);
  std::fputs(kRecoveryCodesOpening, stdout);
  for (const std::string& code : codes) std::printf("%s\n", Html(code).c_str());
  std::fputs(kRecoveryCodesClosing, stdout);
  PrintPageFooter();
}

[[noreturn]] void NoRandomBytes() {
  ErrorLogLine("the kernel gives no random bytes; no second factor is made");
  throw ErrorCode{kErrorNoRoot};
}

// The password again and, when enrolled, a code: whoever left a session
// open does not hand it a second factor of their own.
bool Reconfirmed(bool enrolled) {
  if (!ReconfirmPassword(Param(kPasswordField))) return false;
  return !enrolled || CheckCountedSecondFactor(CurrentOperator().name, Param(kCodeField));
}

void BeginEnrolment() {
  const std::optional<std::string> secret = NewTotpSecret();
  if (!secret) NoRandomBytes();
  const bool kept = ChangeTotpStore([&](std::vector<TotpEntry>& entries) {
    TotpEntry& entry = TotpEntryOf(entries, CurrentOperator().name);
    entry.pending_secret = *secret;
    entry.pending_session = RunSession()->digest;
    entry.pending_until = std::time(nullptr) + kEnrolmentSeconds;
    return true;
  });
  if (!kept) throw ErrorCode{kErrorNoRoot};
  PrintConfirmation(*secret, "");
}

// A code of the pending secret makes it the operator's: a new generation,
// so every session of the operator ends but a new one for this browser,
// and a new set of recovery codes, shown this once.
void ConfirmEnrolment() {
  enum class Outcome { Expired, Wrong, Enrolled } outcome = Outcome::Expired;
  std::string pending;
  std::optional<std::vector<std::string>> codes;
  const std::time_t now = std::time(nullptr);
  const bool kept = ChangeTotpStore([&](std::vector<TotpEntry>& entries) {
    TotpEntry& entry = TotpEntryOf(entries, CurrentOperator().name);
    if (entry.pending_secret.empty() || entry.pending_until < now ||
        !SameSecret(entry.pending_session, RunSession()->digest)) {
      return false;
    }
    pending = entry.pending_secret;
    const std::optional<std::uint64_t> counter = MatchTotpCode(pending, Param(kCodeField), now);
    outcome = Outcome::Wrong;
    if (!counter) return false;
    codes = EnrolTotp(entry, pending, *counter);
    if (!codes) NoRandomBytes();
    outcome = Outcome::Enrolled;
    return true;
  });
  if (!kept) throw ErrorCode{kErrorNoRoot};
  if (outcome == Outcome::Expired) {
    PrintOverview(kTotpExpiredNotice);
  } else if (outcome == Outcome::Wrong) {
    PrintConfirmation(pending, kTotpWrongNotice);
  } else {
    AuditEvent(kTotpCommand, CurrentOperator().name, kEnrolled);
    PrintRecoveryCodes(kTotpEnrolledNotice, *codes, ReplaceRunSession().c_str());
  }
}

void RenewCodes() {
  std::optional<std::vector<std::string>> codes;
  const bool kept = ChangeTotpStore([&](std::vector<TotpEntry>& entries) {
    TotpEntry& entry = TotpEntryOf(entries, CurrentOperator().name);
    if (entry.secret.empty()) return false;
    codes = RenewRecoveryCodes(entry);
    if (!codes) NoRandomBytes();
    return true;
  });
  if (!kept) throw ErrorCode{kErrorNoRoot};
  if (!codes) {
    PrintOverview("");
    return;
  }
  AuditEvent(kTotpCommand, CurrentOperator().name, kCodesRenewed);
  PrintRecoveryCodes("", *codes, nullptr);
}

}  // namespace

void PrintCodePage(bool failed, std::string_view return_query, const char* headers) {
  PrintPageHeader(headers);
  std::printf("%s<BR>\n", failed ? kCodeFailedNotice : kCodeNotice);
  PrintFormOpening(false);
  PrintHiddenField("COMMAND", kSignInCommand);
  if (!return_query.empty()) PrintHiddenField("RETURN", std::string(return_query));
  std::fputs(kCodeTable, stdout);
  PrintPageFooter();
}

void PrintTotpPage() { PrintOverview(""); }

void ChangeTotpEnrolment() {
  const std::string& step = Param(kStepField);
  if (step == kStepConfirm) {
    ConfirmEnrolment();
    return;
  }
  if (step != kStepNewKey && step != kStepNewCodes) {
    PrintOverview("");
    return;
  }
  if (!Reconfirmed(Enrolled(OwnEntry()))) {
    PrintOverview(kTotpWrongNotice);
    return;
  }
  if (step == kStepNewKey) {
    BeginEnrolment();
  } else {
    RenewCodes();
  }
}

}  // namespace orvanta
