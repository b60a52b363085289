// CSV files for download: written row by row through a RowWriter, so that
// 100,000 accounts never stand whole in memory.
#include <cstdio>
#include <cstring>

#include "page/page.h"

namespace orvanta {

namespace {

// Spreadsheet programs read a file without it as the system's code page.
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
// A cell starting with one of these is run as a formula when the file is
// opened (CWE-1236).
constexpr char kFormulaStarts[] = "=+-@\t\r";
constexpr char kQuoted[] = "\",\r\n";

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
  const bool guarded = !value.empty() && std::strchr(kFormulaStarts, value.front()) != nullptr;
  const bool quoted = value.find_first_of(kQuoted) != std::string_view::npos;
  if (quoted) out_.Put("\"");
  if (guarded) out_.Put("'");
  for (size_t quote; (quote = value.find('"')) != std::string_view::npos;) {
    out_.Put(value.substr(0, quote + 1));
    out_.Put("\"");
    value.remove_prefix(quote + 1);
  }
  out_.Put(value);
  if (quoted) out_.Put("\"");
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
