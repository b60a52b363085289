// The one reader of the process's environment. A run copies the CGI
// variables it uses into a table before anything else; everything after
// asks the table. A set-user-ID run can then empty the environment itself
// (ResetEnvironment) before any library reads what the caller put there.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <map>

#include "cgi/cgi.h"

namespace orvanta {

namespace {

constexpr std::string_view kRequestVariables[] = {
    "REQUEST_METHOD", "QUERY_STRING", "CONTENT_LENGTH", "CONTENT_TYPE",
    "REMOTE_ADDR",    "REMOTE_USER",  "HTTPS",          "SERVER_NAME",
    "SERVER_PORT",    "SCRIPT_NAME"};
// The request's headers, as the web server names them.
constexpr std::string_view kHeaderPrefix = "HTTP_";

std::map<std::string, std::string, std::less<>>& Table() {
  static std::map<std::string, std::string, std::less<>> table;
  return table;
}

}  // namespace

bool IsRequestVariable(std::string_view name) {
  return name.starts_with(kHeaderPrefix) ||
         std::find(std::begin(kRequestVariables), std::end(kRequestVariables), name) !=
             std::end(kRequestVariables);
}

void CopyRequestEnvironment() {
  Table().clear();
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view name = text.substr(0, equals);
    // emplace keeps the first of a name given twice, the one the C library
    // would have answered with.
    if (IsRequestVariable(name)) Table().emplace(name, text.substr(equals + 1));
  }
}

std::optional<std::string_view> RequestVariable(std::string_view name) {
  const auto found = Table().find(name);
  if (found == Table().end()) return std::nullopt;
  return found->second;
}

std::string_view Env(std::string_view name) { return RequestVariable(name).value_or(""); }

std::optional<std::string> ProcessVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return value;
}

}  // namespace orvanta
