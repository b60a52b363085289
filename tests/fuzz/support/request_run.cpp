#include "tests/fuzz/support/request_run.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/app.h"
#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "oplog/oplog.h"
#include "user/user.h"

namespace orvanta::fuzz {

namespace {

constexpr std::string_view kCgiVariables[] = {
    "REQUEST_METHOD", "CONTENT_LENGTH", "QUERY_STRING", "HTTP_HOST",   "HTTP_ORIGIN",
    "HTTP_REFERER",   "HTTPS",          "SERVER_NAME",  "SERVER_PORT", "REMOTE_ADDR",
    "CONTENT_TYPE"};
constexpr std::string_view kSettingsChoice = "SETTINGS";
constexpr std::string_view kToolStatus = "TOOL_STATUS";
constexpr int kToolFailed = 1 << 8;  // the wait status of exit(1)

// A Debian host with hashed passwords (DES: the modern methods are too slow
// for millions of runs); passwords as typed, fixed options and a quoted
// tool prefix; no settings at all (no tool may run); an unknown hash method.
const char* const kSettingsFiles[] = {
    "SORT=SORT_BY_NAME\nSYSTEMUID=999\nSYSTEMGID=999\nDEF_DIR=/home/\nSHELL1=/bin/bash\n"
    "SHELL2=/bin/sh\nSHELL3=/usr/sbin/nologin\nUSE_CRYPT=YES\nCRYPT_METHOD=DES\n"
    "TRUSTED_ORIGINS=https://admin.example.org not-an-origin\n"
    "USERADD=/usr/sbin/useradd -m\nUSERMOD=/usr/sbin/usermod\nUSERDEL=/usr/sbin/userdel\n"
    "GROUPADD=/usr/sbin/groupadd\nGROUPDEL=/usr/sbin/groupdel\n",
    "# passwords as typed\nSORT=SORT_BY_UID\nSYSTEMUID=500\nSYSTEMGID=500\nUSE_CRYPT=NO\n"
    "OPTION=-k /etc/skel\nPROTECTED_GROUPS=wheel\nSHELL1=/bin/sh\n"
    "USERADD=/usr/sbin/useradd --prefix '/srv/sand box' -m\n"
    "USERMOD=/usr/sbin/usermod --prefix '/srv/sand box'\n"
    "USERDEL=/usr/sbin/userdel --prefix '/srv/sand box'\n"
    "GROUPADD=/usr/sbin/groupadd --prefix '/srv/sand box'\n"
    "GROUPDEL=/usr/sbin/groupdel --prefix '/srv/sand box'\n",
    nullptr,
    "SYSTEMUID=\nUSE_CRYPT=YES\nCRYPT_METHOD=MD4\nUSERADD=useradd\nUSERMOD=usermod\n"
    "USERDEL=userdel\nGROUPADD=groupadd\nGROUPDEL=groupdel\n",
};

// System accounts, people, one in sudo by membership, a name the databases
// yield twice; the same for groups. No text here holds the markers the
// request target plants.
AccountEntries FixedAccounts() {
  return {{{"root", 0, 0, "root", "/root", "/bin/bash"},
           {"daemon", 1, 1, "daemon", "/usr/sbin", "/usr/sbin/nologin"},
           {"nobody", 65534, 65534, "nobody", "/nonexistent", "/usr/sbin/nologin"},
           {"alice", 1000, 1000, "Alice Smith", "/home/alice", "/bin/bash"},
           {"bob", 1001, 1001, "\xA5\xDC\xA5\xD6", "/home/bob", "/bin/sh"},
           {"carol", 1002, 100, "Carol & Co", "/home/carol", "/bin/bash"},
           {"dave", 1003, 1003, "", "/home/dave", "/bin/bash"},
           {"eve", 1004, 100, "local", "/home/eve", "/bin/sh"},
           {"eve", 1005, 100, "directory", "/home/eve", "/bin/sh"}},
          {{"root", 0},
           {"daemon", 1},
           {"sudo", 27, {"dave"}},
           {"users", 100, {"carol"}},
           {"alice", 1000},
           {"bob", 1001},
           {"dave", 1003},
           {"devel", 2000, {"alice", "bob"}},
           {"office", 2001},
           {"shared", 2002},
           {"shared", 2003},
           {"nogroup", 65534}}};
}

std::map<std::string, std::string> SettingsOf(const char* text) {
  std::map<std::string, std::string> settings;
  std::string_view rest = text != nullptr ? text : "";
  while (!rest.empty()) {
    const std::string_view line = rest.substr(0, rest.find('\n'));
    rest.remove_prefix(std::min(line.size() + 1, rest.size()));
    const size_t equals = line.find('=');
    if (!line.starts_with('#') && equals != std::string_view::npos) {
      settings[std::string(line.substr(0, equals))] = line.substr(equals + 1);
    }
  }
  return settings;
}

struct Input {
  std::map<std::string_view, std::string_view> variables;
  std::string_view body;
};

Input Parse(std::string_view text) {
  Input input;
  while (!text.empty()) {
    const std::string_view line = text.substr(0, text.find('\n'));
    text.remove_prefix(std::min(line.size() + 1, text.size()));
    if (line.empty()) {
      input.body = text;
      break;
    }
    const size_t equals = line.find('=');
    if (equals != std::string_view::npos) {
      input.variables[line.substr(0, equals)] = line.substr(equals + 1);
    }
  }
  return input;
}

void Require(bool ok, const char* what) {
  if (ok) return;
  std::perror(what);
  std::abort();
}

// A memory file in place of a standard descriptor: nothing reaches a disk.
void ReplaceDescriptor(int fd, const char* name) {
  const int memory = memfd_create(name, 0);
  Require(memory >= 0 && dup2(memory, fd) == fd && close(memory) == 0, name);
}

class Harness {
 public:
  Harness();
  ~Harness();
  Harness(const Harness&) = delete;
  Harness& operator=(const Harness&) = delete;
  const RequestRun& Run(std::string_view text);

 private:
  void SetEnvironment(const Input& input);
  void EnterSettings(std::string_view choice);
  int ToolStatus(size_t call) const;

  std::filesystem::path directory_;
  // libFuzzer reads and writes its files relative to the directory it
  // started in; a run leaves only for the time of the request.
  std::filesystem::path start_directory_ = std::filesystem::current_path();
  std::vector<std::map<std::string, std::string>> settings_;
  // putenv keeps these strings themselves: setenv would keep a copy of
  // every value ever set.
  std::array<std::string, std::size(kCgiVariables)> environment_;
  std::string tool_status_;
  RequestRun run_;
};

Harness::Harness() {
  std::string pattern = (std::filesystem::temp_directory_path() / "orvanta-fuzz-XXXXXX").string();
  Require(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
  directory_ = pattern;
  for (size_t index = 0; index < std::size(kSettingsFiles); ++index) {
    const std::filesystem::path settings_dir = directory_ / std::to_string(index);
    std::filesystem::create_directory(settings_dir);
    if (kSettingsFiles[index] != nullptr) {
      std::ofstream(settings_dir / kConfigFileName) << kSettingsFiles[index];
    }
    settings_.push_back(SettingsOf(kSettingsFiles[index]));
  }
  ReplaceDescriptor(STDIN_FILENO, "orvanta-fuzz-stdin");
  ReplaceDescriptor(STDOUT_FILENO, "orvanta-fuzz-stdout");
  SetAccountEntries(FixedAccounts());
  SetCommandRunner([this](const std::string& line, std::string_view input) {
    run_.command_lines.push_back(line);
    run_.inputs.emplace_back(input);
    return ToolStatus(run_.command_lines.size() - 1);
  });
  SetOperationLogWriter([this](const std::string& name) {
    run_.logged_names.push_back(name);
    return true;
  });
  SetNewHomeStep([this](const std::string& name, const std::string&) {
    run_.new_home_names.push_back(name);
  });
  if (geteuid() != 0) {
    std::fputs("request fuzz target: not root, so every request ends at the page of code 110\n",
               stderr);
  }
}

Harness::~Harness() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void Harness::SetEnvironment(const Input& input) {
  for (size_t index = 0; index < std::size(kCgiVariables); ++index) {
    const std::string name(kCgiVariables[index]);
    unsetenv(name.c_str());
    const auto found = input.variables.find(kCgiVariables[index]);
    if (found == input.variables.end()) continue;
    environment_[index] = name + "=" + std::string(found->second);
    putenv(environment_[index].data());
  }
}

void Harness::EnterSettings(std::string_view choice) {
  const size_t index = choice.empty() ? 0 : static_cast<unsigned char>(choice[0]) % settings_.size();
  std::filesystem::current_path(directory_ / std::to_string(index));
  run_.settings = &settings_[index];
}

int Harness::ToolStatus(size_t call) const {
  if (tool_status_.empty()) return 0;
  return tool_status_[std::min(call, tool_status_.size() - 1)] == '0' ? 0 : kToolFailed;
}

const RequestRun& Harness::Run(std::string_view text) {
  const Input input = Parse(text);
  run_ = RequestRun{};
  SetEnvironment(input);
  const auto lookup = [&](std::string_view name) {
    const auto found = input.variables.find(name);
    return found == input.variables.end() ? std::string_view() : found->second;
  };
  EnterSettings(lookup(kSettingsChoice));
  tool_status_ = lookup(kToolStatus);
  const char* method = std::getenv("REQUEST_METHOD");
  run_.cgi = method != nullptr;
  run_.method = method != nullptr ? method : "";

  // What a fresh process would start with.
  gCGIData.clear();
  gErrorMessage.clear();
  gRequestText.clear();
  ForgetAccounts();

  // Flushing drops what the stream still buffers of the last body and makes
  // the seek below read the file again.
  Require(std::fflush(stdin) == 0 && ftruncate(STDIN_FILENO, 0) == 0 &&
              pwrite(STDIN_FILENO, input.body.data(), input.body.size(), 0) ==
                  static_cast<ssize_t>(input.body.size()) &&
              std::fseek(stdin, 0, SEEK_SET) == 0,
          "standard input");
  Require(std::fflush(stdout) == 0 && ftruncate(STDOUT_FILENO, 0) == 0 &&
              std::fseek(stdout, 0, SEEK_SET) == 0,
          "standard output");

  RunRequest();

  struct stat written {};
  Require(std::fflush(stdout) == 0 && fstat(STDOUT_FILENO, &written) == 0, "standard output");
  run_.page.resize(static_cast<size_t>(written.st_size));
  Require(pread(STDOUT_FILENO, run_.page.data(), run_.page.size(), 0) == written.st_size,
          "standard output");
  std::filesystem::current_path(start_directory_);
  const auto command = gCGIData.find("COMMAND");
  if (command != gCGIData.end()) run_.command = command->second;
  const auto password = gCGIData.find("PASS");
  if (password != gCGIData.end()) run_.password = password->second;
  return run_;
}

}  // namespace

const RequestRun& RunRequestFrom(std::string_view input) {
  static Harness harness;
  return harness.Run(input);
}

}  // namespace orvanta::fuzz
