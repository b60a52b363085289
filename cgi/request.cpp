// Request intake: the CGI environment and body become gCGIData and gRequestText.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "cgi/cgi.h"

namespace orvanta {

std::map<std::string, std::string> gCGIData;
std::string gRequestText;
std::string gErrorMessage;

void ThrowMessage(std::string message) {
  gErrorMessage = std::move(message);
  throw ErrorCode{kErrorMessageInGlobal};
}

namespace {

constexpr char kDefaultRequest[] = "COMMAND=DEFAULT";
constexpr size_t kBodyChunk = size_t{64} * 1024;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Where a decoding pass starting at `read` finds its next byte: a '%' with
// two hex digits stands for one byte, anything else for itself.
struct Decoded {
  char byte;
  size_t width;
};

Decoded DecodeAt(std::string_view text, size_t read) {
  const char c = text[read];
  if (c == '%' && read + 2 < text.size()) {
    const int high = HexValue(text[read + 1]);
    const int low = HexValue(text[read + 2]);
    if (high >= 0 && low >= 0) return {static_cast<char>(high * 16 + low), 3};
  }
  return {c == '+' ? ' ' : c, 1};
}

std::string Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t read = 0; read < text.size();) {
    const Decoded next = DecodeAt(text, read);
    out += next.byte;
    read += next.width;
  }
  return out;
}


}  // namespace

const std::string& Param(const std::string& name) { return gCGIData[name]; }

void SetParam(const std::string& name, std::string value) {
  gCGIData[name] = std::move(value);
}

bool HasParam(const std::string& name) { return gCGIData.count(name) != 0; }

int AtoiLike(const std::string& text) {
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

const std::string& Setting(SettingName name) { return Param(name.c_str()); }

bool HasSetting(SettingName name) { return HasParam(name.c_str()); }

std::uint32_t IdThreshold(SettingName key) {
  return static_cast<std::uint32_t>(AtoiLike(Setting(key)));
}

// A request that could set a CGI variable could turn a GET link into a
// POST, pose as another client or another origin.
bool IsReservedParameterName(std::string_view name) {
  return IsSettingName(name) || IsRequestVariable(name);
}

std::string ReadPostBody() {
  const std::optional<std::string_view> declared = RequestVariable("CONTENT_LENGTH");
  if (!declared) throw ErrorCode{kErrorNoRequestData};
  const long length = std::strtol(std::string(*declared).c_str(), nullptr, 0);
  if (length <= 0) throw ErrorCode{kErrorNoRequestData};
  if (length > kMaxRequestBody) throw ErrorCode{kErrorRequestTooLarge};

  // Read in pieces so that a length far beyond what arrives allocates only
  // what arrived; a short body is used as far as it goes.
  std::string body;
  const auto wanted = static_cast<size_t>(length);
  char chunk[kBodyChunk];
  while (body.size() < wanted) {
    const size_t ask = std::min(wanted - body.size(), sizeof chunk);
    const size_t got = std::fread(chunk, 1, ask, stdin);
    body.append(chunk, got);
    if (got < ask) break;
  }
  return body;
}

std::string ReadQueryString() {
  const std::optional<std::string_view> query = RequestVariable("QUERY_STRING");
  if (!query) throw ErrorCode{kErrorNoRequestData};
  if (query->empty()) return kDefaultRequest;
  return std::string(*query);
}

std::string ReadRequest() {
  const std::optional<std::string_view> method = RequestVariable("REQUEST_METHOD");
  if (!method) throw ErrorCode{kErrorNotCgi};
  std::string text;
  if (*method == "POST") {
    text = ReadPostBody();
  } else if (*method == "GET") {
    text = ReadQueryString();
  }
  gCGIData.clear();
  SetParam("REMOTE_ADDR", std::string(Env("REMOTE_ADDR")));
  SetParam("REQUEST_METHOD", std::string(*method));
  return text;
}

void EndAtFirstNul(std::string& text) {
  for (size_t read = 0; read < text.size();) {
    const Decoded next = DecodeAt(text, read);
    if (next.byte == '\0') {
      text.resize(read);
      return;
    }
    read += next.width;
  }
}

void UrlDecode(std::string& text) {
  EndAtFirstNul(text);
  text = Decode(text);
}

void ForEachPair(std::string_view text,
                 const std::function<void(const std::string&, const std::string&)>& handle) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t amp = std::min(text.find('&', pos), text.size());
    const std::string_view field = text.substr(pos, amp - pos);
    pos = amp + 1;
    if (field.empty()) continue;
    const size_t equals = field.find('=');
    if (equals == std::string_view::npos) {
      handle(Decode(field), "");
    } else {
      handle(Decode(field.substr(0, equals)), Decode(field.substr(equals + 1)));
    }
  }
}

void ParseParameters(const std::string& text) {
  ForEachPair(text, [](const std::string& name, const std::string& value) {
    if (!IsReservedParameterName(name)) SetParam(name, value);
  });
}

void ParseRequest(std::string& text) {
  if (IsMultipartRequest()) {
    text = ParseMultipartParameters(text);
    return;
  }
  EndAtFirstNul(text);
  ParseParameters(text);
}

void ForEachField(std::string_view text, std::string_view name,
                  const std::function<void(const std::string&)>& handle) {
  ForEachPair(text, [&](const std::string& field, const std::string& value) {
    if (field == name) handle(value);
  });
}

}  // namespace orvanta
