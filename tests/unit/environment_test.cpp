// The environment: one reader copies the CGI variables, nothing else of the
// program reads it, and a set-user-ID run keeps none of its caller's.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "cgi/cgi.h"

namespace orvanta {
namespace {

namespace fs = std::filesystem;

// The program's folders, from the README's line that the layers test reads.
std::vector<std::string> ProgramFolders() {
  std::ifstream readme(std::string(ORVANTA_SOURCE_DIR) + "/README.md");
  const std::string prefix = "Layers, lowest first: ";
  for (std::string line; std::getline(readme, line);) {
    if (!line.starts_with(prefix)) continue;
    std::istringstream words(line.substr(prefix.size()));
    std::vector<std::string> folders;
    for (std::string word; words >> word;) folders.push_back(word.substr(1, word.size() - 3));
    return folders;
  }
  return {};
}

TEST(Environment, OnlyItsReaderReadsIt) {
  // getenv, secure_getenv, environ, __environ and /proc/self/environ alike.
  const std::regex reads(R"(getenv|environ\b)");
  std::set<std::string> readers;
  const std::vector<std::string> folders = ProgramFolders();
  ASSERT_FALSE(folders.empty());
  for (const std::string& folder : folders) {
    for (const fs::directory_entry& entry :
         fs::recursive_directory_iterator(fs::path(ORVANTA_SOURCE_DIR) / folder)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream in(entry.path());
      const std::string text((std::istreambuf_iterator<char>(in)), {});
      if (std::regex_search(text, reads)) {
        readers.insert(fs::relative(entry.path(), ORVANTA_SOURCE_DIR).string());
      }
    }
  }
  EXPECT_EQ(readers, std::set<std::string>{"cgi/environment.cpp"});
}

// Sets (or, for nullopt, unsets) variables for one test and puts the
// previous values back afterwards.
class ScopedVariables {
 public:
  explicit ScopedVariables(
      const std::vector<std::pair<std::string, std::optional<std::string>>>& values) {
    for (const auto& [name, value] : values) {
      saved_.emplace_back(name, ProcessVariable(name.c_str()));
      Set(name, value);
    }
  }
  ~ScopedVariables() {
    for (const auto& [name, value] : saved_) Set(name, value);
    CopyRequestEnvironment();
  }

 private:
  static void Set(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
      setenv(name.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name.c_str());
    }
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(Environment, TableHoldsTheCgiVariablesAndNothingElse) {
  struct Case {
    const char* name;
    std::optional<std::string> value;
    bool copied;
  };
  const std::vector<Case> cases = {
      {"REQUEST_METHOD", "POST", true},
      {"QUERY_STRING", "", true},  // set, though empty
      {"CONTENT_LENGTH", "12", true},
      {"CONTENT_TYPE", "application/x-www-form-urlencoded", true},
      {"REMOTE_ADDR", "192.0.2.1", true},
      {"REMOTE_USER", "ken", true},
      {"HTTPS", "on", true},
      {"SERVER_NAME", "accounts.example.org", true},
      {"SERVER_PORT", "443", true},
      {"SCRIPT_NAME", "/orvanta/orvanta.cgi", true},
      {"HTTP_AUTHORIZATION", "Basic YWRtaW46eA==", true},
      {"HTTP_X_FORWARDED_FOR", "198.51.100.7", true},
      {"HTTP_", "bare prefix", true},
      {"LD_PRELOAD", "/tmp/evil.so", false},
      {"SASL_PATH", "/tmp/evil", false},
      {"SASL_CONF_PATH", "/tmp/evil", false},
      {"LDAPCONF", "/tmp/evil/ldap.conf", false},
      {"GNUTLS_SYSTEM_PRIORITY_FILE", "/tmp/evil/priority", false},
      {"ORVANTA_LDAP_MODULE", "/tmp/evil.so", false},
      {"REQUEST_METHODS", "GET", false},
      {"XHTTP_HOST", "evil.example", false},
      {"http_host", "evil.example", false},
      {"REMOTE_HOST", "evil.example", false},
      {"HTTP_COOKIE", std::nullopt, false},  // not set
  };
  std::vector<std::pair<std::string, std::optional<std::string>>> values;
  for (const Case& c : cases) values.emplace_back(c.name, c.value);
  const ScopedVariables set(values);
  CopyRequestEnvironment();
  // A copy: what the environment says later changes nothing.
  for (const Case& c : cases) unsetenv(c.name);
  setenv("REQUEST_METHOD", "GET", 1);

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::optional<std::string_view> held = RequestVariable(c.name);
    if (c.copied) {
      ASSERT_TRUE(held.has_value());
      EXPECT_EQ(*held, *c.value);
      EXPECT_EQ(Env(c.name), *c.value);
    } else {
      EXPECT_FALSE(held.has_value()) << *held;
      EXPECT_EQ(Env(c.name), "");
    }
  }
}

// Run in a child, since it empties the environment of the process.
void ResetThenReport() {
  setenv("SASL_PATH", "/tmp/evil", 1);
  setenv("LD_PRELOAD", "/tmp/evil.so", 1);
  setenv("HOME", "/tmp/evil", 1);
  setenv("PATH", "/tmp/evil:/usr/bin", 1);
  setenv("LDAPNOINIT", "", 1);
  setenv("HTTP_HOST", "accounts.example.org", 1);
  setenv("REQUEST_METHOD", "GET", 1);
  CopyRequestEnvironment();
  ResetEnvironment();
  std::vector<std::string> left;
  for (char** entry = ::environ; *entry != nullptr; ++entry) left.emplace_back(*entry);
  const std::vector<std::string> expected = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
                                             "LDAPNOINIT=1"};
  int status = 0;
  if (left != expected) {
    for (const std::string& entry : left) std::fprintf(stderr, "left: %s\n", entry.c_str());
    status = 1;
  }
  if (Env("HTTP_HOST") != "accounts.example.org" || Env("REQUEST_METHOD") != "GET") {
    std::fprintf(stderr, "the request's variables went with the environment\n");
    status = 1;
  }
  std::fflush(stderr);
  _exit(status);
}

TEST(Environment, SetuidRunKeepsAFixedPathAndLdapNoInitOnly) {
  EXPECT_EXIT(ResetThenReport(), ::testing::ExitedWithCode(0), "^$");
}

}  // namespace
}  // namespace orvanta
