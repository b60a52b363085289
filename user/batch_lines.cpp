// The account lines of a batch: today's comma lines, or CSV under a
// header line that names the columns.
#include "user/batch_lines.h"

#include <algorithm>
#include <optional>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/batch_texts.h"

namespace orvanta {

namespace {

constexpr std::string_view kHeaderStart = "NAME";
// Without a header the comment takes everything after the fourth comma.
constexpr size_t kMaxFields = 5;
constexpr size_t kMinFields = 2;
constexpr std::string BatchLine::*kLineFields[kMaxFields] = {
    &BatchLine::name, &BatchLine::password, &BatchLine::uid, &BatchLine::group, &BatchLine::gcos};

// ---- Without a header

bool IsSkipped(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos || line.front() == '#';
}

BatchLine CommaLine(size_t number, std::string_view line) {
  BatchLine out;
  out.number = number;
  size_t fields = 0;
  while (fields + 1 < kMaxFields) {
    const size_t comma = line.find(',');
    if (comma == std::string_view::npos) break;
    out.*kLineFields[fields++] = line.substr(0, comma);
    line.remove_prefix(comma + 1);
  }
  out.*kLineFields[fields++] = line;
  if (fields < kMinFields) out.problem = kBatchFieldCount;
  return out;
}

std::vector<BatchLine> CommaLines(std::string_view text) {
  std::vector<BatchLine> lines;
  size_t number = 0;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!IsSkipped(line)) lines.push_back(CommaLine(number, line));
  }
  return lines;
}

// ---- RFC 4180

struct Record {
  size_t number = 0;  // its first line
  std::vector<std::string> fields;
  bool well_formed = true;
};

// Reads the records of a text one at a time: fields split at commas, a
// record ended by CRLF or LF, a quoted field holding commas, line breaks
// and doubled quotes. A stray quote spoils its record, which then runs to
// the end of its line (or, in an open quote, of the text).
class CsvReader {
 public:
  explicit CsvReader(std::string_view text) : text_(text) {}

  bool Next(Record& record) {
    if (pos_ >= text_.size()) return false;
    record = Record{};
    record.number = line_;
    for (;;) {
      record.fields.emplace_back();
      const bool quoted = pos_ < text_.size() && text_[pos_] == '"';
      const bool more = quoted ? QuotedField(record) : PlainField(record);
      if (!more) return true;
    }
  }

 private:
  // Past the comma that follows a field: true; past the end of its record
  // (or of the text): false.
  bool EndOfField(Record& record) {
    if (pos_ >= text_.size()) return false;
    if (text_[pos_] == ',') {
      ++pos_;
      return true;
    }
    if (text_[pos_] == '\r' && (pos_ + 1 == text_.size() || text_[pos_ + 1] == '\n')) ++pos_;
    if (pos_ == text_.size()) return false;
    if (text_[pos_] == '\n') {
      ++pos_;
      ++line_;
      return false;
    }
    record.well_formed = false;
    SkipLine();
    return false;
  }

  void SkipLine() {
    const size_t end = text_.find('\n', pos_);
    pos_ = end == std::string_view::npos ? text_.size() : end + 1;
    if (end != std::string_view::npos) ++line_;
  }

  bool PlainField(Record& record) {
    const size_t end = std::min(text_.find_first_of(",\n", pos_), text_.size());
    std::string_view field = text_.substr(pos_, end - pos_);
    if (!field.empty() && field.back() == '\r') field.remove_suffix(1);
    if (field.find('"') != std::string_view::npos) record.well_formed = false;
    record.fields.back() = field;
    pos_ = end;
    return EndOfField(record);
  }

  bool QuotedField(Record& record) {
    std::string& field = record.fields.back();
    ++pos_;
    for (;;) {
      const size_t quote = text_.find('"', pos_);
      const size_t stop = quote == std::string_view::npos ? text_.size() : quote;
      const std::string_view piece = text_.substr(pos_, stop - pos_);
      line_ += static_cast<size_t>(std::count(piece.begin(), piece.end(), '\n'));
      field += piece;
      pos_ = stop;
      if (quote == std::string_view::npos) {
        record.well_formed = false;
        return false;
      }
      if (text_.substr(pos_).starts_with("\"\"")) {
        field += '"';
        pos_ += 2;
        continue;
      }
      ++pos_;
      return EndOfField(record);
    }
  }

  std::string_view text_;
  size_t pos_ = 0;
  size_t line_ = 1;
};

bool IsEmptyRecord(const Record& record) {
  return record.well_formed && std::all_of(record.fields.begin(), record.fields.end(),
                                           [](const std::string& field) { return field.empty(); });
}

std::vector<const BatchColumn*> HeaderColumns(const Record& header) {
  std::vector<const BatchColumn*> columns;
  for (const std::string& heading : header.fields) {
    const auto column = std::find_if(std::begin(kBatchColumns), std::end(kBatchColumns),
                                     [&](const BatchColumn& c) { return c.heading == heading; });
    const bool repeated = std::find(columns.begin(), columns.end(), column) != columns.end();
    if (!header.well_formed || column == std::end(kBatchColumns) || repeated) {
      ThrowMessage(FormatText(kBatchColumnFormat, Html(heading).c_str()));
    }
    columns.push_back(column);
  }
  return columns;
}

BatchLine CsvLine(const Record& record, const std::vector<const BatchColumn*>& columns) {
  BatchLine line;
  line.number = record.number;
  const size_t count = std::min(record.fields.size(), columns.size());
  for (size_t i = 0; i < count; ++i) line.*(columns[i]->value) = record.fields[i];
  if (!record.well_formed) {
    line.problem = kBatchBadQuotes;
  } else if (record.fields.size() > columns.size()) {
    line.problem = kBatchTooManyFields;
  }
  return line;
}

std::optional<std::vector<BatchLine>> CsvLines(std::string_view text) {
  CsvReader reader(text);
  Record header;
  if (!reader.Next(header) || header.fields.front() != kHeaderStart) return std::nullopt;
  const std::vector<const BatchColumn*> columns = HeaderColumns(header);
  std::vector<BatchLine> lines;
  Record record;
  while (reader.Next(record)) {
    if (!IsEmptyRecord(record)) lines.push_back(CsvLine(record, columns));
  }
  return lines;
}

// ---- Encodings

// Whether the bytes are UTF-8: each sequence of the right length, its
// continuation bytes in place, and nothing above U+10FFFF, no surrogates,
// no longer form than needed.
bool IsUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t width = 1;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      width = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      width = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      width = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else if (lead >= 0x80) {
      return false;
    }
    if (i + width > text.size()) return false;
    for (size_t k = 1; k < width; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      const bool first = k == 1;
      if (next < (first ? low : 0x80) || next > (first ? high : 0xBF)) return false;
    }
    i += width;
  }
  return true;
}

}  // namespace

BatchEncoding ChooseEncoding(std::string_view requested, std::string_view file) {
  const bool marked = file.starts_with(kByteOrderMark);
  if (requested == "CP932") return BatchEncoding::Cp932;
  if (requested == "UTF8" || marked || IsUtf8(file)) {
    return marked ? BatchEncoding::Utf8WithBom : BatchEncoding::Utf8;
  }
  return BatchEncoding::Cp932;
}

std::vector<BatchLine> ReadBatchLines(std::string_view text) {
  std::optional<std::vector<BatchLine>> lines = CsvLines(text);
  return lines ? std::move(*lines) : CommaLines(text);
}

}  // namespace orvanta
