// Request intake: the CGI environment and body become gCGIData and gRequestText.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "cgi/cgi.h"

namespace orvanta {

std::map<std::string, std::string> gCGIData;
std::string gRequestText;

namespace {

constexpr char kDefaultRequest[] = "COMMAND=DEFAULT";
constexpr size_t kBodyChunk = size_t{64} * 1024;

// Settings and the two environment entries: a request that could set them
// could name the program that runs as root, or turn a GET link into a POST.
const std::set<std::string, std::less<>> kReservedNames = {
    "SORT",     "SYSTEMUID", "SYSTEMGID", "DEF_DIR",  "SHELL1",   "SHELL2",
    "SHELL3",   "SHELL4",    "SHELL5",    "USE_CRYPT", "OPTION",  "USERADD",
    "USERMOD",  "USERDEL",   "GROUPADD",  "GROUPDEL", "REMOTE_ADDR",
    "REQUEST_METHOD"};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string EnvOrEmpty(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
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

std::uint32_t IdThreshold(const std::string& key) {
  return static_cast<std::uint32_t>(AtoiLike(Param(key)));
}

bool IsReservedParameterName(const std::string& name) {
  return kReservedNames.count(name) != 0;
}

std::string ReadPostBody() {
  const char* declared = std::getenv("CONTENT_LENGTH");
  if (declared == nullptr) throw ErrorCode{kErrorNoRequestData};
  const long length = std::strtol(declared, nullptr, 0);
  if (length <= 0) throw ErrorCode{kErrorNoRequestData};

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
  const char* query = std::getenv("QUERY_STRING");
  if (query == nullptr) throw ErrorCode{kErrorNoRequestData};
  if (*query == '\0') return kDefaultRequest;
  return query;
}

std::string ReadRequest() {
  const char* method = std::getenv("REQUEST_METHOD");
  if (method == nullptr) throw ErrorCode{kErrorNotCgi};
  std::string text;
  if (std::strcmp(method, "POST") == 0) {
    text = ReadPostBody();
  } else if (std::strcmp(method, "GET") == 0) {
    text = ReadQueryString();
  }
  gCGIData.clear();
  SetParam("REMOTE_ADDR", EnvOrEmpty("REMOTE_ADDR"));
  SetParam("REQUEST_METHOD", EnvOrEmpty("REQUEST_METHOD"));
  return text;
}

void UrlDecode(std::string& text) {
  // The text ends at its first NUL byte, raw or decoded from %00.
  const size_t end = std::min(text.size(), std::strlen(text.c_str()));
  size_t write = 0;
  for (size_t read = 0; read < end; ++read, ++write) {
    char c = text[read];
    if (c == '%') {
      // A '%' without two hex digits after it stays a literal '%'.
      const int high = read + 1 < end ? HexValue(text[read + 1]) : -1;
      const int low = read + 2 < end ? HexValue(text[read + 2]) : -1;
      if (high >= 0 && low >= 0) {
        c = static_cast<char>(high * 16 + low);
        read += 2;
      }
    } else if (c == '+') {
      c = ' ';
    }
    text[write] = c;
  }
  text.resize(write);
  text.resize(std::strlen(text.c_str()));
}

void ForEachPair(std::string_view text,
                 const std::function<void(std::string_view, std::string_view)>& handle) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t equals = text.find('=', pos);
    if (equals == std::string_view::npos) {
      handle(text.substr(pos), "");
      return;
    }
    const size_t amp = std::min(text.find('&', equals + 1), text.size());
    handle(text.substr(pos, equals - pos), text.substr(equals + 1, amp - equals - 1));
    pos = amp + 1;
  }
}

void ParseParameters(const std::string& text) {
  ForEachPair(text, [](std::string_view name, std::string_view value) {
    const std::string key(name);
    if (!IsReservedParameterName(key)) SetParam(key, std::string(value));
  });
}

void ForEachField(std::string_view text, std::string_view name,
                  const std::function<void(const std::string&)>& handle) {
  ForEachPair(text, [&](std::string_view field, std::string_view value) {
    if (field == name) handle(std::string(value));
  });
}

}  // namespace orvanta
