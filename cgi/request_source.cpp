// Who may send requests: someone the web server authenticated, when the
// settings require it, and for changes a page of this site.
//
// Cross-site requests: a POST changes accounts as root, so it must come from
// a page of this site. Browsers send Origin with every cross-site POST (and
// Referer from older pages); a POST that names another site is refused
// before the program takes root rights.
#include <algorithm>
#include <cctype>

#include "cgi/cgi.h"

namespace orvanta {

namespace {

bool IsHostByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// A registered name or an IPv4 address, or an IPv6 address in brackets.
bool IsHost(std::string_view host) {
  if (host.empty()) return false;
  if (host.front() == '[') {
    return host.size() > 2 && host.back() == ']' &&
           std::all_of(host.begin() + 1, host.end() - 1, [](char c) {
             return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
           });
  }
  return std::all_of(host.begin(), host.end(), IsHostByte);
}

bool IsPort(std::string_view port) {
  return port.size() <= 5 && std::all_of(port.begin(), port.end(), [](char c) {
           return std::isdigit(static_cast<unsigned char>(c));
         });
}

// The origin the browser named: Origin, else the origin of Referer.
std::string_view RequestSource() {
  const std::string_view origin = Env("HTTP_ORIGIN");
  return origin.empty() ? Env("HTTP_REFERER") : origin;
}

bool IsTrustedOrigin(const std::string& source) {
  const std::optional<std::string> own = OwnOrigin();
  if (own && *own == source) return true;
  const std::string& listed = Setting("TRUSTED_ORIGINS");
  size_t pos = 0;
  bool trusted = false;
  while (pos < listed.size()) {
    const size_t end = std::min(listed.find_first_of(" \t", pos), listed.size());
    const std::string_view entry = std::string_view(listed).substr(pos, end - pos);
    pos = end + 1;
    if (entry.empty()) continue;
    const std::optional<std::string> normal = NormalizedOrigin(entry);
    if (!normal) {
      ErrorLogLine("TRUSTED_ORIGINS entry ignored, not an origin: " + Printable(entry));
    } else if (*normal == source) {
      trusted = true;
    }
  }
  return trusted;
}

}  // namespace

std::string Lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

std::optional<std::string> NormalizedOrigin(std::string_view url) {
  const size_t separator = url.find("://");
  if (separator == std::string_view::npos) return std::nullopt;
  const std::string scheme = Lower(url.substr(0, separator));
  if (scheme != "http" && scheme != "https") return std::nullopt;
  const std::string_view rest = url.substr(separator + 3);
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));

  std::string_view host = authority;
  std::string_view port;
  const size_t colon = authority.rfind(':');
  if (colon != std::string_view::npos && authority.find(']', colon) == std::string_view::npos) {
    host = authority.substr(0, colon);
    port = authority.substr(colon + 1);
  }
  // '@' (user information) fails IsHost, so "http://host@evil/" never matches.
  if (!IsHost(host) || !IsPort(port)) return std::nullopt;
  port.remove_prefix(std::min(port.find_first_not_of('0'), port.size()));
  const std::string_view default_port = scheme == "https" ? "443" : "80";
  std::string origin = scheme + "://" + Lower(host);
  if (!port.empty() && port != default_port) origin += ":" + std::string(port);
  return origin;
}

std::optional<std::string> OwnOrigin() {
  const std::string scheme = Lower(Env("HTTPS")) == "on" ? "https" : "http";
  std::string authority(Env("HTTP_HOST"));
  if (authority.empty()) {
    authority = Env("SERVER_NAME");
    if (const std::string_view port = Env("SERVER_PORT"); !port.empty()) {
      authority += ":" + std::string(port);
    }
  }
  return NormalizedOrigin(scheme + "://" + authority);
}

void CheckAuthenticated() {
  if (!Setting("OPERATORS").empty()) return;
  // A server configuration that lost its authentication must not open the
  // program to everyone; a value that is neither YES nor NO opens it to nobody.
  const YesNo required = YesNoSetting("REQUIRE_AUTH");
  if (required == YesNo::No) return;
  if (required == YesNo::Yes && !Env("REMOTE_USER").empty()) return;
  throw ErrorCode{kErrorNotAuthenticated};
}

void CheckRequestOrigin() {
  if (Env("REQUEST_METHOD") != "POST") return;
  const std::string_view source = RequestSource();
  // Scripts and old clients send neither header; a browser always sends
  // Origin on a cross-site POST.
  if (source.empty()) return;
  const std::optional<std::string> normal = NormalizedOrigin(source);
  if (normal && IsTrustedOrigin(*normal)) return;
  ErrorLogLine("refused a cross-site request from " + Printable(Env("REMOTE_ADDR")) +
               ", source " + Printable(source));
  throw ErrorCode{kErrorCrossSite};
}

}  // namespace orvanta
