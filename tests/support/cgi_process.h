// Runs the real orvanta.cgi as a process, the way a web server does: a CGI
// environment, a body on standard input, a working directory holding
// cfg_file.cfg, and an account database read from test files through
// nss_wrapper.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orvanta::test {

struct CgiRequest {
  std::optional<std::string> method = "GET";  // REQUEST_METHOD; nullopt leaves it unset
  std::optional<std::string> query = "";      // QUERY_STRING
  std::optional<std::string> content_length;  // CONTENT_LENGTH; set from body when nullopt and POST
  std::string body;                           // standard input
  std::optional<std::string> remote_addr = "192.0.2.10";
  std::vector<std::string> extra_env;  // more NAME=value entries
  bool client_gone = false;  // nobody reads standard output: writes fail
};

struct CgiResult {
  std::string out;  // everything written to standard output
  int exit_status = -1;
  double cpu_seconds = 0;  // user and system time, with its waited-for children's
};

// A pwquality.conf under which the forms' own rules decide: the tests'
// passwords are short and plain unless a test is about their quality.
inline constexpr char kLenientPasswordQuality[] = "minlen=6\ndictcheck=0\nusercheck=0\n";

// A throwaway working directory for one test.
class CgiSandbox {
 public:
  CgiSandbox();
  ~CgiSandbox();
  CgiSandbox(const CgiSandbox&) = delete;
  CgiSandbox& operator=(const CgiSandbox&) = delete;

  const std::string& dir() const { return dir_; }
  std::string PathOf(const std::string& name) const { return dir_ + "/" + name; }
  void WriteFile(const std::string& name, const std::string& content) const;
  std::string ReadFile(const std::string& name) const;
  bool Exists(const std::string& name) const;

  // The cfg_file.cfg the program reads, after a line that makes root/ of
  // this directory the tree the home rules look at (HOME_CHECK_ROOT): it
  // holds an empty home/, so the default home base is there, never the
  // host's. Unless it names a CHPASSWD, a recording stand-in "chpasswd" is
  // set: no test sets a password of the host's own accounts; unless it names
  // a PWQUALITY_CONF, kLenientPasswordQuality is.
  void SetConfig(const std::string& content) const;
  // passwd(5) and group(5) lines served through nss_wrapper.
  void SetAccounts(const std::string& passwd, const std::string& group) const;
  // shadow(5) lines served through nss_wrapper (none until set: the host's
  // shadow is never read).
  void SetShadow(const std::string& shadow) const { WriteFile("test.shadow", shadow); }
  // Has nss_wrapper serve these files instead, from the next Run on (for
  // example the etc/passwd, etc/group and etc/shadow of a tree that real
  // account tools edit with --prefix); SetAccounts and SetShadow then write
  // files that are not read. An empty shadow path keeps test.shadow.
  void SetAccountFiles(const std::string& passwd_path, const std::string& group_path,
                       const std::string& shadow_path = "");

  // A stand-in host tool: records each call's arguments (one per line,
  // then a line "--") in NAME.calls, appends its standard input to
  // NAME.input, and exits with `exit_code`. Returns its path.
  std::string AddRecordingTool(const std::string& name, int exit_code) const;
  std::vector<std::vector<std::string>> CallsOf(const std::string& tool) const;

  // The records of orvanta.log (none without one), each without the
  // ",192.0.2.10,YYYY/MM/DD hh:mm" a request of the default client ends it
  // with; a record that does not end so fails the running test.
  std::vector<std::string> LogRecords() const;

  // Runs `program` (the built orvanta.cgi by default) in this directory.
  // `prefix` is put before it on the command line (setpriv, strace, ...).
  CgiResult Run(const CgiRequest& request, const std::vector<std::string>& prefix = {},
                const std::string& program = "") const;
  // Starts every request before reading any answer, so that they run
  // side by side; the answers in the requests' order.
  std::vector<CgiResult> RunTogether(const std::vector<CgiRequest>& requests,
                                     const std::string& program = "") const;

 private:
  struct Started {
    int child, out;
  };
  Started Start(const CgiRequest& request, const std::vector<std::string>& prefix,
                const std::string& program, const std::string& stdin_name) const;
  static CgiResult Finish(const Started& started, bool client_gone);

  std::string dir_;
  std::string passwd_path_;  // empty: test.passwd of this directory
  std::string group_path_;   // empty: test.group of this directory
  std::string shadow_path_;  // empty: test.shadow of this directory
};

// GET with a query string; POST with a body.
CgiRequest Get(const std::string& query);
CgiRequest Post(const std::string& body);

std::string CgiProgramPath();

}  // namespace orvanta::test
