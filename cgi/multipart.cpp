// multipart/form-data intake: the batch page sends a file. Read strictly
// and within fixed bounds, since root parses what any client sends: one
// boundary as the header gives it, each part opened by it and ended by
// CRLF and it again, at most kMaxParts parts with at most kMaxPartHeader
// bytes of headers each, only the headers a browser writes, one file part
// of a text type. Anything else refuses the whole request.
#include <algorithm>
#include <cctype>

#include "cgi/cgi.h"

namespace orvanta {

namespace {

constexpr std::string_view kMultipartType = "multipart/form-data";
constexpr std::string_view kCrlf = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
constexpr std::string_view kDispositionValue = "form-data";
// Browsers on Windows send a .csv file as the spreadsheet program that
// opens it registers it: application/vnd.ms-excel.
constexpr std::string_view kFileTypes[] = {"text/csv", "text/plain", "application/vnd.ms-excel"};

[[noreturn]] void Refuse() { throw ErrorCode{kErrorBadRequest}; }

std::string_view Trimmed(std::string_view text) {
  const size_t start = text.find_first_not_of(" \t");
  if (start == std::string_view::npos) return {};
  const size_t end = text.find_last_not_of(" \t");
  return text.substr(start, end - start + 1);
}

// RFC 2046 bchars; a blank may not end the boundary.
bool IsBoundary(std::string_view boundary) {
  constexpr std::string_view kOther = "'()+_,-./:=? ";
  if (boundary.empty() || boundary.size() > kMaxBoundary || boundary.back() == ' ') return false;
  return std::all_of(boundary.begin(), boundary.end(), [&](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
           kOther.find(c) != std::string_view::npos;
  });
}

// "; key=value" parameters of a header value after its first word: the
// value as a token or a quoted string (browsers write a quote inside as
// %22, and a backslash as it is).
// nullopt when they do not read so; a key given twice is refused.
std::optional<std::map<std::string, std::string>> HeaderParameters(std::string_view rest) {
  std::map<std::string, std::string> parameters;
  while (!(rest = Trimmed(rest)).empty()) {
    if (rest.front() != ';') return std::nullopt;
    rest = Trimmed(rest.substr(1));
    const size_t equals = rest.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    const std::string key = Lower(Trimmed(rest.substr(0, equals)));
    rest = Trimmed(rest.substr(equals + 1));
    std::string_view value;
    if (!rest.empty() && rest.front() == '"') {
      const size_t close = rest.find('"', 1);
      if (close == std::string_view::npos) return std::nullopt;
      value = rest.substr(1, close - 1);
      rest.remove_prefix(close + 1);
    } else {
      const size_t end = std::min(rest.find(';'), rest.size());
      value = Trimmed(rest.substr(0, end));
      if (value.empty() || value.find_first_of(" \t\"") != std::string_view::npos) {
        return std::nullopt;
      }
      rest.remove_prefix(end);
    }
    if (key.empty() || !parameters.emplace(key, std::string(value)).second) return std::nullopt;
  }
  return parameters;
}

struct PartHeaders {
  std::string name;
  std::optional<std::string> filename;  // set for a file part
  std::optional<std::string> type;      // the media type, lower case
};

void ReadDisposition(std::string_view value, PartHeaders& part) {
  const size_t semicolon = std::min(value.find(';'), value.size());
  if (Lower(Trimmed(value.substr(0, semicolon))) != kDispositionValue) Refuse();
  const auto parameters = HeaderParameters(value.substr(semicolon));
  if (!parameters) Refuse();
  for (const auto& [key, text] : *parameters) {
    if (key == "name") {
      part.name = text;
    } else if (key == "filename") {
      part.filename = text;
    } else {
      Refuse();
    }
  }
  if (part.name.empty()) Refuse();
}

PartHeaders ReadPartHeaders(std::string_view block) {
  PartHeaders part;
  bool disposition = false;
  while (!block.empty()) {
    const size_t end = std::min(block.find(kCrlf), block.size());
    const std::string_view line = block.substr(0, end);
    block.remove_prefix(std::min(end + kCrlf.size(), block.size()));
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) Refuse();
    const std::string field = Lower(line.substr(0, colon));
    const std::string_view value = line.substr(colon + 1);
    if (field == "content-disposition" && !disposition) {
      ReadDisposition(value, part);
      disposition = true;
    } else if (field == "content-type" && !part.type) {
      const size_t semicolon = std::min(value.find(';'), value.size());
      if (!HeaderParameters(value.substr(semicolon))) Refuse();
      part.type = Lower(Trimmed(value.substr(0, semicolon)));
    } else {
      Refuse();
    }
  }
  if (!disposition) Refuse();
  return part;
}

// A file part holds text; one left empty (no file chosen) may say anything.
void CheckFilePart(const PartHeaders& part, std::string_view content) {
  if (content.empty() && part.filename->empty()) return;
  const bool text = part.type && std::find(std::begin(kFileTypes), std::end(kFileTypes),
                                           *part.type) != std::end(kFileTypes);
  if (!text) Refuse();
}

}  // namespace

bool IsMultipartRequest() {
  const std::string_view type = Env("CONTENT_TYPE");
  const size_t semicolon = std::min(type.find(';'), type.size());
  return Env("REQUEST_METHOD") == "POST" &&
         Lower(Trimmed(type.substr(0, semicolon))) == kMultipartType;
}

std::string MultipartBoundary(std::string_view content_type) {
  const size_t semicolon = std::min(content_type.find(';'), content_type.size());
  if (Lower(Trimmed(content_type.substr(0, semicolon))) != kMultipartType) Refuse();
  const auto parameters = HeaderParameters(content_type.substr(semicolon));
  if (!parameters || parameters->size() != 1) Refuse();
  const auto found = parameters->find("boundary");
  if (found == parameters->end() || !IsBoundary(found->second)) Refuse();
  return found->second;
}

void ForEachPart(std::string_view body, std::string_view boundary,
                 const std::function<void(const MultipartField&)>& handle) {
  const std::string opening = "--" + std::string(boundary);
  const std::string delimiter = std::string(kCrlf) + opening;
  if (!body.starts_with(opening)) Refuse();
  body.remove_prefix(opening.size());
  size_t parts = 0;
  bool file_seen = false;
  for (;;) {
    if (body.starts_with("--")) {
      body.remove_prefix(2);
      // Only a line break may follow the closing delimiter.
      if (!body.empty() && body != kCrlf) Refuse();
      return;
    }
    if (!body.starts_with(kCrlf) || ++parts > kMaxParts) Refuse();
    body.remove_prefix(kCrlf.size());
    const size_t header_end = body.substr(0, kMaxPartHeader + kHeaderEnd.size()).find(kHeaderEnd);
    if (header_end == std::string_view::npos || header_end > kMaxPartHeader) Refuse();
    const PartHeaders part = ReadPartHeaders(body.substr(0, header_end));
    body.remove_prefix(header_end + kHeaderEnd.size());
    const size_t end = body.find(delimiter);
    if (end == std::string_view::npos) Refuse();
    const std::string_view content = body.substr(0, end);
    body.remove_prefix(end + delimiter.size());
    if (part.filename) {
      if (file_seen) Refuse();
      file_seen = true;
      CheckFilePart(part, content);
    } else if (content.find('\0') != std::string_view::npos) {
      Refuse();
    }
    handle({part.name, content, part.filename.has_value()});
  }
}

std::string ParseMultipartParameters(std::string_view body) {
  const std::string boundary = MultipartBoundary(Env("CONTENT_TYPE"));
  std::string fields;
  ForEachPart(body, boundary, [&](const MultipartField& field) {
    if (IsReservedParameterName(field.name)) return;
    SetParam(std::string(field.name), std::string(field.value));
    if (field.file) return;
    if (!fields.empty()) fields += '&';
    fields += UrlEncoded(field.name) + "=" + UrlEncoded(field.value);
  });
  return fields;
}

}  // namespace orvanta
