// One request run in-process, as the web server would start the program,
// on fixed accounts and fixed settings, with everything that would reach
// outside the process recorded instead: the tools' command lines, the log
// records and the new home's permission step. Millions of runs run no tool;
// the only file they write is the locks' saved dates, in the settings
// directories of the run's own temporary directory.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::fuzz {

struct RequestRun {
  bool cgi = false;     // REQUEST_METHOD was set
  std::string method;   // its value
  std::string command;  // COMMAND as the program read it
  std::string password;  // PASS as the program read it
  std::string page;     // everything written to standard output
  std::vector<std::string> command_lines;
  std::vector<std::string> inputs;  // each line's standard input
  std::vector<std::string> logged_names;
  std::vector<std::string> new_home_names;
  // The settings file of this run as KEY=value (empty: no file).
  const std::map<std::string, std::string>* settings = nullptr;
};

// The input is "NAME=value" lines up to the first empty line, then the body
// that the program reads from standard input. NAME is a CGI variable
// (REQUEST_METHOD, CONTENT_LENGTH, QUERY_STRING, HTTP_HOST, HTTP_ORIGIN,
// HTTP_REFERER, HTTPS, SERVER_NAME, SERVER_PORT, REMOTE_ADDR, CONTENT_TYPE), SETTINGS (a
// digit choosing one of the fixed settings files) or TOOL_STATUS (one digit
// per tool run, the last repeated: 0 is success, anything else failure);
// other lines are ignored. The result is valid until the next run.
const RequestRun& RunRequestFrom(std::string_view input);

}  // namespace orvanta::fuzz
