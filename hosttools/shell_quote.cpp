// Shell quoting of request values.
#include <algorithm>
#include <cstring>

#include "hosttools/hosttools.h"

namespace orvanta {

namespace {

bool IsSafeShellByte(char c) {
  static constexpr char kSafe[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_@%+=:,./-";
  return c != '\0' && std::strchr(kSafe, c) != nullptr;
}

}  // namespace

std::string ShellQuotedBody(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out;
}

std::string ShellWord(std::string_view value) {
  if (std::all_of(value.begin(), value.end(), IsSafeShellByte)) return std::string(value);
  return "'" + ShellQuotedBody(value) + "'";
}

}  // namespace orvanta
