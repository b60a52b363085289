// The whole request path, environment and body from the input (format in
// support/request_run.h): every run writes one complete page free of markup
// from the request, every command line is the configured tool followed by
// plain words or chpasswd reading one "name:hash" line, and no other tool
// gets anything on its standard input.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cgi/messages_texts.h"
#include "page/page.h"
#include "tests/fuzz/support/request_run.h"
#include "tests/fuzz/support/shell_words.h"

namespace {

using orvanta::fuzz::RequestRun;
using orvanta::fuzz::SplitShellWords;

constexpr std::string_view kPageStatuses[] = {"", "Status: 400 Bad Request\n",
                                              "Status: 403 Forbidden\n",
                                              "Status: 413 Payload Too Large\n"};
// A list taken away as a file: no page, and nothing run.
constexpr std::string_view kDownloadStart =
    "X-Frame-Options: DENY\n"
    "Content-Security-Policy: frame-ancestors 'none'\n"
    "X-Content-Type-Options: nosniff\n"
    "Referrer-Policy: same-origin\n"
    "Cache-Control: no-store\n"
    "Content-Type: text/csv; charset=UTF-8\n"
    "Content-Disposition: attachment; filename=\"";
constexpr std::string_view kPageStart =
    "X-Frame-Options: DENY\n"
    "Content-Security-Policy: frame-ancestors 'none'\n"
    "X-Content-Type-Options: nosniff\n"
    "Referrer-Policy: same-origin\n"
    "Cache-Control: no-store\n"
    "Content-Type: text/html\n\n<HTML>\n";
constexpr std::string_view kPageEnd = "</HTML>\n";
// The seeds and the dictionary plant these in request values; no fixed text
// of the program, the settings or the accounts holds them. A quote has the
// request's text on both sides: a value starting or ending in "zq" stands
// next to the page's own quotes (VALUE="zq1").
constexpr std::string_view kMarkers[] = {"<zq", "zq\"zq", "zq'zq"};

struct ToolOf {
  const char* command;
  const char* setting;
};
constexpr ToolOf kTools[] = {{"WILLBEADD", "USERADD"},
                             {"TOBEMOD", "USERMOD"},
                             {"WILLBEDEL", "USERDEL"},
                             {"GP_WILLBEADD", "GROUPADD"},
                             {"GP_WILLBEDEL", "GROUPDEL"},
                             {"GP_TOBEMEM", "USERMOD"},
                             {"TOBELOCK", "USERMOD"},
                             {"BATCHADD", "USERADD"}};

// Registration and modification set the password this way; no setting of
// the fuzz target names another chpasswd.
constexpr std::string_view kPasswordLine = "/usr/sbin/chpasswd -e";
constexpr std::string_view kPasswordCommands[] = {"WILLBEADD", "TOBEMOD", "BATCHADD"};

size_t Count(std::string_view text, std::string_view piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string_view::npos; at = text.find(piece, at + 1)) {
    ++count;
  }
  return count;
}

bool IsOnePage(std::string_view page) {
  const bool opened = std::any_of(std::begin(kPageStatuses), std::end(kPageStatuses),
                                  [&](std::string_view status) {
                                    return page.starts_with(std::string(status) +
                                                            std::string(kPageStart));
                                  });
  return opened && page.ends_with(kPageEnd) && Count(page, "<HTML>") == 1 &&
         Count(page, "</HTML>") == 1;
}

// The words of the tool the run's command configures; empty when none is.
std::vector<std::string> ToolWords(const RequestRun& run) {
  for (const ToolOf& tool : kTools) {
    if (run.command != tool.command) continue;
    const auto setting = run.settings->find(tool.setting);
    if (setting == run.settings->end()) return {};
    return SplitShellWords(setting->second).value_or(std::vector<std::string>{});
  }
  return {};
}

// A registration that gives the account a group of its own runs GROUPADD
// first, and GROUPDEL when useradd then fails.
bool IsOwnGroupLine(const RequestRun& run, const std::string& line);

// The tool's words, then at least the account or group name, which is
// never read as an option.
bool IsToolLine(const std::string& line, const std::vector<std::string>& tool) {
  const auto words = SplitShellWords(line);
  return words && words->size() > tool.size() &&
         std::equal(tool.begin(), tool.end(), words->begin()) && !words->back().empty() &&
         words->back().front() != '-';
}

bool IsOwnGroupLine(const RequestRun& run, const std::string& line) {
  if (run.command != "WILLBEADD" && run.command != "BATCHADD") return false;
  for (const char* setting : {"GROUPADD", "GROUPDEL"}) {
    const auto found = run.settings->find(setting);
    if (found == run.settings->end()) continue;
    const auto words = SplitShellWords(found->second);
    if (words && !words->empty() && IsToolLine(line, *words)) return true;
  }
  return false;
}

// chpasswd's one line: a name, ':' and a hash, never the typed password.
bool IsPasswordStep(const RequestRun& run, const std::string& line, const std::string& input) {
  if (line != kPasswordLine || std::find(std::begin(kPasswordCommands), std::end(kPasswordCommands),
                                         run.command) == std::end(kPasswordCommands)) {
    return false;
  }
  const size_t colon = input.find(':');
  return colon != std::string::npos && colon > 0 && input.ends_with('\n') &&
         input.find_first_of(":\n", colon + 1) == input.size() - 1 &&
         input.substr(colon + 1, input.size() - colon - 2) != run.password;
}

// A membership record names "NAME:GNAME", and its line ends with GNAME NAME;
// a password change alone names its account in chpasswd's input.
bool IsLastWordOfALine(const std::string& logged, const RequestRun& run) {
  const size_t colon = logged.find(':');
  const std::string name = logged.substr(0, colon);
  if (colon == std::string::npos &&
      std::any_of(run.inputs.begin(), run.inputs.end(),
                  [&](const std::string& input) { return input.starts_with(name + ":"); })) {
    return true;
  }
  return std::any_of(run.command_lines.begin(), run.command_lines.end(), [&](const std::string& line) {
    const std::vector<std::string> words = *SplitShellWords(line);
    if (words.back() != name) return false;
    return colon == std::string::npos ||
           (words.size() >= 2 && words[words.size() - 2] == logged.substr(colon + 1));
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const RequestRun& run =
      orvanta::fuzz::RunRequestFrom({reinterpret_cast<const char*>(data), size});
  if (!run.cgi) {
    if (run.page != std::string(orvanta::kProgramTitle) + kNotCgiNotice) std::abort();
    return 0;
  }
  if (run.page.starts_with(kDownloadStart)) {
    if (run.method != "GET" || !run.command_lines.empty()) std::abort();
    return 0;
  }
  if (!IsOnePage(run.page)) std::abort();
  for (std::string_view marker : kMarkers) {
    if (run.page.find(marker) != std::string::npos) std::abort();
  }
  if (!run.command_lines.empty() && run.method != "POST") std::abort();
  const std::vector<std::string> tool = ToolWords(run);
  for (size_t i = 0; i < run.command_lines.size(); ++i) {
    const std::string& line = run.command_lines[i];
    if (IsPasswordStep(run, line, run.inputs[i])) continue;
    if (!run.inputs[i].empty()) std::abort();
    if (IsOwnGroupLine(run, line)) continue;
    if (tool.empty() || !IsToolLine(line, tool)) std::abort();
  }
  // A record or a home directory only for a name a tool was run for.
  for (const auto* names : {&run.logged_names, &run.new_home_names}) {
    for (const std::string& name : *names) {
      if (!IsLastWordOfALine(name, run)) std::abort();
    }
  }
  return 0;
}
