// The credentials of an "Authorization: Basic" header: base64 of
// "name:password".
#include <algorithm>
#include <cctype>

#include "access/access.h"

namespace orvanta {

namespace {

constexpr char kBasicScheme[] = "basic";
constexpr int kNotBase64 = -1;

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return kNotBase64;
}

bool StartsWithScheme(std::string_view header) {
  const std::string_view scheme = kBasicScheme;
  if (header.size() <= scheme.size() || header[scheme.size()] != ' ') return false;
  for (size_t i = 0; i < scheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(header[i])) != scheme[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') {
    ++padding;
  }
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (size_t i = 0; i < text.size() - padding; ++i) {
    const int value = Base64Value(text[i]);
    if (value == kNotBase64) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out.push_back(static_cast<char>((bits >> count) & 0xFF));
    }
  }
  return out;
}

std::optional<Credentials> BasicCredentials(std::string_view header) {
  if (!StartsWithScheme(header)) return std::nullopt;
  std::string_view token = header.substr(std::string_view(kBasicScheme).size() + 1);
  token.remove_prefix(std::min(token.find_first_not_of(' '), token.size()));
  token.remove_suffix(token.size() - std::min(token.find_last_not_of(' ') + 1, token.size()));
  const std::optional<std::string> decoded = DecodeBase64(token);
  if (!decoded) return std::nullopt;
  const size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return Credentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

}  // namespace orvanta
