// CSV files for download: written row by row through a RowWriter, so that
// 100,000 accounts never stand whole in memory.
#include <array>
#include <string_view>

#include "page/page.h"

namespace orvanta {

namespace {

// Spreadsheet programs read a file without it as the system's code page.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
// A cell starting with one of these is run as a formula when the file is
// opened (CWE-1236).
constexpr std::string_view kFormulaStarts = "=+-@\t\r";
// A cell holding one of these is quoted.
constexpr std::string_view kQuoted = "\",\r\n";

constexpr std::array<bool, 256> TableOf(std::string_view bytes) {
  std::array<bool, 256> table{};
  for (const char c : bytes) table[static_cast<unsigned char>(c)] = true;
  return table;
}
constexpr std::array<bool, 256> kFormulaStart = TableOf(kFormulaStarts);
constexpr std::array<bool, 256> kQuotedByte = TableOf(kQuoted);

bool NeedsQuotes(std::string_view value) {
  bool found = false;
  for (const char c : value) found |= kQuotedByte[static_cast<unsigned char>(c)];
  return found;
}

}  // namespace

CsvWriter::CsvWriter(const char* file_name) {
  PrintDownloadHeaders("text/csv; charset=UTF-8", file_name);
  out_.Put(kByteOrderMark);
}

void CsvWriter::Separate() {
  if (cells_++ > 0) out_.Put(",");
}

void CsvWriter::Text(std::string_view value) {
  Separate();
  const bool guarded = !value.empty() && kFormulaStart[static_cast<unsigned char>(value.front())];
  const bool quoted = NeedsQuotes(value);
  if (guarded) out_.Put(quoted ? "\"'" : "'");
  if (!quoted) {
    out_.Put(value);
    return;
  }
  if (!guarded) out_.Put("\"");
  for (size_t quote; (quote = value.find('"')) != std::string_view::npos;) {
    out_.Put(value.substr(0, quote + 1));
    out_.Put("\"");
    value.remove_prefix(quote + 1);
  }
  out_.Put(value);
  out_.Put("\"");
}

void CsvWriter::Number(std::uint64_t value) {
  Separate();
  out_.PutUnsigned(value);
}

void CsvWriter::Days(long days) {
  Separate();
  if (days >= 0) out_.PutUnsigned(static_cast<std::uint64_t>(days));
}

void CsvWriter::EndRow() {
  out_.Put("\r\n");
  cells_ = 0;
  ++rows_;
}

}  // namespace orvanta
