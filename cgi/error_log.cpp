// Lines for the web server's error log, the program's only diagnostic
// channel: one line each, nothing a request sent can break or forge.
#include <cstdio>

#include "cgi/cgi.h"

namespace orvanta {

namespace {
constexpr size_t kMaxLine = 256;
}  // namespace

std::string Printable(std::string_view value) {
  std::string out;
  for (unsigned char c : value) {
    if (c >= 0x21 && c <= 0x7E && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

void ErrorLogLine(std::string_view text) {
  const std::string line = ("orvanta: " + std::string(text)).substr(0, kMaxLine);
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace orvanta
