// The account lines of a batch as read from pasted text or a CSV file,
// before any check.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta {

// One account line's values as written; an empty dir, shell or expire
// takes the form's.
struct BatchLine {
  size_t number = 0;  // the line of the text it starts on, counted from 1
  std::string name, password, uid, group, gcos, dir, shell, expire, keys;
  std::string force;    // "1": the password must be changed at the first login
  std::string problem;  // why the line cannot be read as one (HTML); "" when it can
};

// The columns a header line may name, each at most once, in any order.
struct BatchColumn {
  std::string_view heading;
  std::string BatchLine::*value;
};
inline constexpr BatchColumn kBatchColumns[] = {
    {"NAME", &BatchLine::name},   {"PASS", &BatchLine::password}, {"UID", &BatchLine::uid},
    {"GID", &BatchLine::group},   {"GCOS", &BatchLine::gcos},     {"DIR", &BatchLine::dir},
    {"SHELL", &BatchLine::shell}, {"EXPIRE", &BatchLine::expire}, {"KEYS", &BatchLine::keys},
    {"FORCE", &BatchLine::force},
};

// How an uploaded file's bytes are taken. Nothing is converted: the field
// rules admit ASCII alone, so the encoding decides only whether a byte
// order mark is dropped (and what the result page says).
enum class BatchEncoding { Pasted, Utf8, Utf8WithBom, Cp932 };
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// ENCODING ("UTF8", "CP932", else detected): a byte order mark or bytes
// that read as UTF-8 are UTF-8, anything else CP932.
BatchEncoding ChooseEncoding(std::string_view requested, std::string_view file);

// The account lines of the text. A first line whose first field is NAME
// is a header: every record after it is read as RFC 4180 has it and its
// fields go to the columns the header names; records of empty fields are
// skipped. Otherwise the lines are split at LF (a CR before it dropped),
// blank lines and lines starting with '#' skipped, and each split at its
// first four commas. A header naming a column that is none or is named
// twice throws ErrorCode 0.
std::vector<BatchLine> ReadBatchLines(std::string_view text);

}  // namespace orvanta
