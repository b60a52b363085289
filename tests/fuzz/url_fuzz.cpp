// URL decoding and the pair splitter: decoding never lengthens the text
// and leaves no NUL; the request text ends exactly at its first raw or
// encoded NUL; pairs whose '%', '&', '=' and '+' are encoded come back
// whole; no parameter takes the name of a setting or of the environment.
// The multipart reader: the input as a body is read within its bounds or
// refused as a bad request, and the pairs sent as a form's parts come back
// whole.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cgi/cgi.h"

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

constexpr std::string_view kEnvironmentNames[] = {"REMOTE_ADDR", "REQUEST_METHOD", "SERVER_NAME",
                                                  "SERVER_PORT", "HTTPS",          "REMOTE_USER"};

// As a form encodes a value, except that only the bytes the splitter and
// the decoder act on are encoded; lower-case hex as some clients send it.
std::string Encode(std::string_view value) {
  std::string out;
  for (char c : value) {
    switch (c) {
      case '%': out += "%25"; break;
      case '&': out += "%26"; break;
      case '=': out += "%3d"; break;
      case '+': out += "%2B"; break;
      default: out += c; break;
    }
  }
  return out;
}

// The input's lines as names and values by turns.
Pairs PairsOf(std::string_view text) {
  Pairs pairs;
  for (bool is_name = true; !text.empty(); is_name = !is_name) {
    const std::string_view line = text.substr(0, text.find('\n'));
    text.remove_prefix(std::min(line.size() + 1, text.size()));
    if (is_name) {
      pairs.emplace_back(line, "");
    } else {
      pairs.back().second = line;
    }
  }
  return pairs;
}

bool IsEnvironmentName(std::string_view name) {
  return name.starts_with("HTTP_") || std::find(std::begin(kEnvironmentNames),
                                                std::end(kEnvironmentNames),
                                                name) != std::end(kEnvironmentNames);
}

constexpr std::string_view kBoundary = "zb0undary";

// The pairs a form could send as parts: named, the name quotable, the
// value without the delimiter or a NUL, at most as many as are read.
std::string MultipartOf(const Pairs& pairs, Pairs& sent) {
  const std::string delimiter = "\r\n--" + std::string(kBoundary);
  std::string body;
  for (const auto& [name, value] : pairs) {
    if (name.empty() || name.size() > 900 || name.find_first_of("\"\r\n") != std::string::npos ||
        value.find(delimiter) != std::string::npos || value.find('\0') != std::string::npos ||
        sent.size() == orvanta::kMaxParts) {
      continue;
    }
    sent.emplace_back(name, value);
    body += "--" + std::string(kBoundary) + "\r\nContent-Disposition: form-data; name=\"" + name +
            "\"\r\n\r\n" + value + "\r\n";
  }
  return body + "--" + std::string(kBoundary) + "--\r\n";
}

Pairs PartsOf(std::string_view body) {
  Pairs parts;
  orvanta::ForEachPart(body, kBoundary, [&](const orvanta::MultipartField& field) {
    if (field.name.empty() || parts.size() == orvanta::kMaxParts) std::abort();
    parts.emplace_back(field.name, field.value);
  });
  return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  std::string decoded = text;
  orvanta::UrlDecode(decoded);
  if (decoded.size() > text.size() || decoded.find('\0') != std::string::npos) std::abort();

  std::string ended = text;
  orvanta::EndAtFirstNul(ended);
  if (ended != text.substr(0, std::min(text.find('\0'), text.find("%00")))) std::abort();

  const Pairs sent = PairsOf(text);
  std::string request;
  for (const auto& [name, value] : sent) {
    request += (request.empty() ? "" : "&") + Encode(name) + "=" + Encode(value);
  }
  Pairs received;
  orvanta::ForEachPair(request, [&](const std::string& name, const std::string& value) {
    received.emplace_back(name, value);
  });
  if (received != sent) std::abort();

  try {
    PartsOf(text);
  } catch (orvanta::ErrorCode code) {
    if (code != orvanta::kErrorBadRequest) std::abort();
  }
  Pairs parts_sent;
  const std::string body = MultipartOf(sent, parts_sent);
  try {
    if (PartsOf(body) != parts_sent) std::abort();
  } catch (orvanta::ErrorCode) {
    std::abort();
  }

  orvanta::gCGIData.clear();
  orvanta::ParseParameters(ended);
  for (const auto& [name, value] : orvanta::gCGIData) {
    if (orvanta::IsSettingName(name) || IsEnvironmentName(name)) std::abort();
  }
  return 0;
}
