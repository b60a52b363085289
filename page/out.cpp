// Writing pages: everything goes through stdio's buffer of standard output,
// enlarged once so that a list of 100,000 rows is written in large pieces and
// never held whole in memory. Values are escaped straight into that buffer.
#include <charconv>
#include <cstdio>

#include "page/page.h"

namespace orvanta {

namespace {

constexpr size_t kOutputBuffer = size_t{64} * 1024;

// The entity of a byte that must be escaped, or nullptr.
const char* EntityOf(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    default: return nullptr;
  }
}

}  // namespace

void UseLargeOutputBuffer() {
  static char buffer[kOutputBuffer];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}

void Put(std::string_view text) { fwrite_unlocked(text.data(), 1, text.size(), stdout); }

void PutHtml(std::string_view value) {
  size_t start = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const char* entity = EntityOf(value[i]);
    if (entity == nullptr) continue;
    Put(value.substr(start, i - start));
    Put(entity);
    start = i + 1;
  }
  Put(value.substr(start));
}

void PutUnsigned(std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  Put(std::string_view(digits, static_cast<size_t>(end - digits)));
}

std::string Html(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    const char* entity = EntityOf(c);
    out += entity != nullptr ? std::string_view(entity) : std::string_view(&c, 1);
  }
  return out;
}

}  // namespace orvanta
