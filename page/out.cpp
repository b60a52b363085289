// Writing pages. Standard output gets a large stdio buffer; the lists, which
// write 100,000 rows of small pieces, go through a RowWriter that collects
// them in a buffer of its own and hands stdio 64 KiB at a time, escaping
// values straight into it. A page is never held whole in memory.
#include <array>
#include <charconv>
#include <cstdio>
#include <cstdint>
#include <cstring>

#include "page/page.h"

namespace orvanta {

namespace {

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

constexpr std::array<bool, 256> kEscaped = [] {
  std::array<bool, 256> escaped{};
  for (unsigned char c : std::string_view("&<>\"'")) escaped[c] = true;
  return escaped;
}();

}  // namespace

void UseLargeOutputBuffer() {
  static char buffer[RowWriter::kSize];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
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

RowWriter::~RowWriter() { Flush(); }

void RowWriter::Flush() {
  fwrite_unlocked(buffer_, 1, used_, stdout);
  used_ = 0;
}

void RowWriter::Put(std::string_view text) {
  if (text.empty()) return;  // an empty view may carry no pointer for memcpy
  while (text.size() > kSize - used_) {
    const size_t room = kSize - used_;
    std::memcpy(buffer_ + used_, text.data(), room);
    used_ = kSize;
    Flush();
    text.remove_prefix(room);
  }
  std::memcpy(buffer_ + used_, text.data(), text.size());
  used_ += text.size();
}

namespace {

// Whether any of the eight bytes of `word` is one that must be escaped:
// the classic test for a zero byte, applied to the word xor each of them.
bool MayNeedEscaping(std::uint64_t word) {
  constexpr std::uint64_t kLow = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  std::uint64_t found = 0;
  for (unsigned char c : std::string_view("&<>\"'")) {
    const std::uint64_t x = word ^ (kLow * c);
    found |= (x - kLow) & ~x & kHigh;
  }
  return found != 0;
}

}  // namespace

void RowWriter::PutHtml(std::string_view value) {
  // Most values hold nothing to escape: skip them eight bytes at a time.
  size_t clean = 0;
  while (clean + 8 <= value.size()) {
    std::uint64_t word;
    std::memcpy(&word, value.data() + clean, sizeof word);
    if (MayNeedEscaping(word)) break;
    clean += 8;
  }
  size_t start = 0;
  for (size_t i = clean; i < value.size(); ++i) {
    if (!kEscaped[static_cast<unsigned char>(value[i])]) continue;
    Put(value.substr(start, i - start));
    Put(EntityOf(value[i]));
    start = i + 1;
  }
  Put(value.substr(start));
}

void RowWriter::PutInput(std::string_view type, std::string_view field, std::string_view value) {
  Put("<INPUT TYPE=\"");
  Put(type);
  Put("\" NAME=\"");
  Put(field);
  Put("\" VALUE=\"");
  PutHtml(value);
  Put("\">");
}

void RowWriter::PutTextCell(std::string_view value, std::string_view end,
                            std::string_view when_empty) {
  if (value.empty()) {
    Put(when_empty);
    return;
  }
  Put("<TD NOWRAP>");
  PutHtml(value);
  Put(end);
}

void RowWriter::PutUnsigned(std::uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  Put(std::string_view(digits, static_cast<size_t>(end - digits)));
}

}  // namespace orvanta
