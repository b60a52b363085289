// Secrets of the sessions: random values from the kernel, their SHA-256
// digests, and comparisons that take the same time wherever two values
// differ. SHA-256 comes from nettle, linked into the program: a small
// library that opens no file and, in a set-user-ID run, reads no
// environment variable (its processor-feature override is ignored when the
// kernel marks the run secure).
#include <nettle/sha2.h>
#include <sys/random.h>

#include <cerrno>

#include "access/access.h"

namespace orvanta {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

std::string Hex(const unsigned char* bytes, size_t size) {
  std::string text;
  text.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    text.push_back(kHexDigits[bytes[i] >> 4]);
    text.push_back(kHexDigits[bytes[i] & 0x0F]);
  }
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> RandomBytes(size_t count) {
  std::string bytes(count, '\0');
  size_t got = 0;
  while (got < count) {
    const ssize_t length = getrandom(bytes.data() + got, count - got, 0);
    if (length < 0 && errno == EINTR) continue;
    if (length <= 0) return std::nullopt;
    got += static_cast<size_t>(length);
  }
  return bytes;
}

std::string HexText(std::string_view bytes) {
  return Hex(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

std::optional<std::string> HexBytes(std::string_view text) {
  if (text.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = HexValue(text[i]);
    const int low = HexValue(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<char>(high * 16 + low));
  }
  return bytes;
}

std::optional<std::string> RandomSecret() {
  const std::optional<std::string> bytes = RandomBytes(kSecretBytes);
  if (!bytes) return std::nullopt;
  return HexText(*bytes);
}

bool IsSecretText(std::string_view text) {
  if (text.size() != kSecretBytes * 2) return false;
  for (const char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::string Sha256Hex(std::string_view text) {
  sha256_ctx context{};
  sha256_init(&context);
  sha256_update(&context, text.size(), reinterpret_cast<const uint8_t*>(text.data()));
  unsigned char digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof digest, digest);
  return Hex(digest, sizeof digest);
}

bool SameSecret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

}  // namespace orvanta
