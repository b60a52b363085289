// orvanta-operator: adds, changes, removes and lists the operators the
// program signs in itself, lifts the limits of a name's sign-in attempts,
// and enrols, resets and renews an operator's second factor. Root's alone,
// as the files it writes are.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/app.h"
#include "cgi/cgi.h"
#include "store/store.h"

namespace orvanta {

namespace {

constexpr char kUsage[] =
    "usage: orvanta-operator add|passwd|remove|list|unlock|totp|totp-reset|totp-codes [NAME] "
    "[--scope SCOPE] [--config FILE]\n";
constexpr char kDefaultScope[] = "*";
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct ToolRequest {
  std::string action, name, config;
  std::optional<std::string> scope;
};

// Any failure of the tool: its message goes to stderr.
struct ToolFailure {
  std::string message;
};

constexpr std::string_view kActions[] = {"add",  "passwd",     "remove",    "list",
                                         "unlock", "totp", "totp-reset", "totp-codes"};
constexpr char kTotpPrefix[] = "totp";
constexpr char kTotpEnrol[] = "totp";
constexpr char kTotpReset[] = "totp-reset";
// The terminal's QR code, when the qrencode program is installed.
constexpr char kQrProgram[] = "/usr/bin/qrencode";

bool IsAction(std::string_view word) {
  for (std::string_view action : kActions) {
    if (word == action) return true;
  }
  return false;
}

std::optional<ToolRequest> ParseArguments(int argc, char** argv, const char* config) {
  ToolRequest request{"", "", config, std::nullopt};
  std::vector<std::string> words;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--scope" && i + 1 < argc) {
      request.scope = argv[++i];
    } else if (word == "--config" && i + 1 < argc) {
      request.config = argv[++i];
    } else {
      words.push_back(word);
    }
  }
  if (words.empty()) return std::nullopt;
  request.action = words[0];
  if (!IsAction(request.action)) return std::nullopt;
  const bool named = request.action != "list";
  if (words.size() != (named ? 2u : 1u)) return std::nullopt;
  if (named) request.name = words[1];
  return request;
}

std::string ReadLine(std::FILE* input) {
  char* buffer = nullptr;
  size_t capacity = 0;
  const ssize_t length = getline(&buffer, &capacity, input);
  std::string line = length > 0 ? std::string(buffer, static_cast<size_t>(length)) : "";
  std::free(buffer);
  if (!line.empty() && line.back() == '\n') line.pop_back();
  return line;
}

std::string ReadHidden(const char* prompt) {
  termios saved{};
  tcgetattr(STDIN_FILENO, &saved);
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  std::fputs(prompt, stderr);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  std::string line = ReadLine(stdin);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fputs("\n", stderr);
  return line;
}

// From a terminal without echo, typed twice; otherwise one line of
// standard input.
std::string ReadNewPassword() {
  std::string password;
  if (isatty(STDIN_FILENO) != 0) {
    password = ReadHidden("Password: ");
    if (ReadHidden("Again: ") != password) throw ToolFailure{"the passwords differ"};
  } else {
    password = ReadLine(stdin);
  }
  if (password.empty()) throw ToolFailure{"an empty password is refused"};
  return password;
}

std::vector<OperatorEntry> LoadOperators(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0 && errno == ENOENT) return {};
  std::optional<std::vector<OperatorEntry>> entries = ReadOperators(path, true);
  if (!entries) throw ToolFailure{path + " is not a regular file of root's alone (mode 0600)"};
  return std::move(*entries);
}

void SaveOperators(const std::string& path, const std::vector<OperatorEntry>& entries) {
  std::string text;
  for (const OperatorEntry& entry : entries) text += OperatorLine(entry);
  if (!ReplaceFile(path, text)) {
    throw ToolFailure{"cannot write " + path + ": " + std::strerror(errno)};
  }
}

OperatorEntry* Find(std::vector<OperatorEntry>& entries, const std::string& name) {
  for (OperatorEntry& entry : entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

OperatorEntry& Existing(std::vector<OperatorEntry>& entries, const std::string& name) {
  OperatorEntry* entry = Find(entries, name);
  if (entry == nullptr) throw ToolFailure{"no operator " + name};
  return *entry;
}

std::string NewHash() {
  const std::string hash = HashOperatorPassword(ReadNewPassword());
  if (hash.empty()) throw ToolFailure{"the password could not be hashed"};
  return hash;
}

// Runs the action (remove: the last of them) on the entries; whether the
// file is to be written.
bool Apply(const ToolRequest& request, std::vector<OperatorEntry>& entries) {
  if (request.action == "list") {
    for (const OperatorEntry& entry : entries) {
      std::cout << entry.name << " " << entry.scope << "\n";
    }
    return false;
  }
  if (request.action == "add") {
    if (Find(entries, request.name) != nullptr) {
      throw ToolFailure{"operator " + request.name + " exists"};
    }
    entries.push_back({request.name, NewHash(), request.scope.value_or(kDefaultScope)});
  } else if (request.action == "passwd") {
    OperatorEntry& entry = Existing(entries, request.name);
    entry.hash = NewHash();
    if (request.scope) entry.scope = *request.scope;
  } else {
    const OperatorEntry& entry = Existing(entries, request.name);
    entries.erase(entries.begin() + (&entry - entries.data()));
  }
  return true;
}

// The URI as a QR code on the terminal, by Debian's qrencode when it is
// installed (by its fixed path and with no environment: it needs none, and
// the secret goes to no program the caller's PATH may name); nothing
// otherwise.
void ShowQrCode(const std::string& uri) {
  if (isatty(STDOUT_FILENO) == 0) return;
  std::cout.flush();
  const char* arguments[] = {kQrProgram, "-t", "UTF8", "-o", "-", uri.c_str(), nullptr};
  char* no_environment[] = {nullptr};
  pid_t child = 0;
  if (posix_spawn(&child, kQrProgram, nullptr, nullptr, const_cast<char**>(arguments),
                  no_environment) != 0) {
    return;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}

std::vector<std::string> MadeCodes(std::optional<std::vector<std::string>> codes) {
  if (!codes) throw ToolFailure{"the kernel gives no random bytes"};
  return std::move(*codes);
}

void ChangeStore(const std::function<bool(std::vector<TotpEntry>&)>& change) {
  if (!ChangeTotpStore(change)) throw ToolFailure{"the second factor's store cannot be kept"};
}

void PrintRecoveryCodes(const std::vector<std::string>& codes) {
  std::cout << "Recovery codes (each works once; keep them safe):\n";
  for (const std::string& code : codes) std::cout << code << "\n";
}

// A new secret, shown as an otpauth URI (and QR code), saved only once a
// first code of it is typed.
void EnrolOnTerminal(const std::string& name) {
  const std::optional<std::string> secret = NewTotpSecret();
  if (!secret) throw ToolFailure{"the kernel gives no random bytes"};
  const std::string uri = TotpUri(name, *secret);
  std::cout << uri << "\n";
  ShowQrCode(uri);
  std::cout << "Secret: " << TotpSecretText(*secret) << "\n";
  std::cout.flush();
  std::fputs("Code: ", stderr);
  const std::optional<std::uint64_t> counter =
      MatchTotpCode(*secret, ReadLine(stdin), std::time(nullptr));
  if (!counter) throw ToolFailure{"the code does not match the new secret; nothing is saved"};
  std::vector<std::string> codes;
  ChangeStore([&](std::vector<TotpEntry>& entries) {
    codes = MadeCodes(EnrolTotp(TotpEntryOf(entries, name), *secret, *counter));
    return true;
  });
  AuditEvent(kTotpCommand, name, "enrolled");
  PrintRecoveryCodes(codes);
}

void RenewCodesOnTerminal(const std::string& name) {
  std::vector<std::string> codes;
  ChangeStore([&](std::vector<TotpEntry>& entries) {
    TotpEntry& entry = TotpEntryOf(entries, name);
    if (entry.secret.empty()) throw ToolFailure{"operator " + name + " has no second factor"};
    codes = MadeCodes(RenewRecoveryCodes(entry));
    return true;
  });
  AuditEvent(kTotpCommand, name, "recovery-codes-renewed");
  PrintRecoveryCodes(codes);
}

void KeepSecondFactor(const ToolRequest& request) {
  std::vector<OperatorEntry> operators = LoadOperators(Setting("OPERATORS"));
  Existing(operators, request.name);
  SetCurrentOperator(Operator{"root"});
  if (request.action == kTotpEnrol) {
    EnrolOnTerminal(request.name);
  } else if (request.action == kTotpReset) {
    ChangeStore([&](std::vector<TotpEntry>& entries) {
      ResetTotp(TotpEntryOf(entries, request.name));
      return true;
    });
    AuditEvent(kTotpCommand, request.name, "reset");
  } else {
    RenewCodesOnTerminal(request.name);
  }
}

// The counts live beside LOCKFILE, which the program, started in its own
// directory, may name relative to it: so does the tool, from the directory
// of the settings it read.
void Unlock(const ToolRequest& request) {
  const size_t slash = request.config.find_last_of('/');
  if (slash != std::string::npos && chdir(request.config.substr(0, slash + 1).c_str()) != 0) {
    throw ToolFailure{"cannot enter the directory of " + request.config};
  }
  if (!ForgetLoginAttempts(request.name)) throw ToolFailure{"the sign-in counts cannot be kept"};
}

void CheckRequest(const ToolRequest& request) {
  if (geteuid() != 0) throw ToolFailure{"only root keeps the operators"};
  if (!request.name.empty() && !IsOperatorName(request.name)) {
    throw ToolFailure{"a name is 1 to 32 of a-z 0-9 _ . -: " + request.name};
  }
  if (request.scope && request.scope->find_first_of(":\r\n") != std::string::npos) {
    throw ToolFailure{"a scope holds no ':' and no line break"};
  }
}

}  // namespace

int RunOperatorTool(int argc, char** argv, const char* config) {
  const std::optional<ToolRequest> request = ParseArguments(argc, argv, config);
  if (!request) {
    std::fputs(kUsage, stderr);
    return kExitUsage;
  }
  try {
    CheckRequest(*request);
    if (!ReadConfigFile(request->config.c_str())) {
      throw ToolFailure{"cannot read " + request->config};
    }
    if (request->action == "unlock") {
      Unlock(*request);
      return 0;
    }
    const std::string path = Setting("OPERATORS");
    if (path.empty()) throw ToolFailure{"OPERATORS is not set in " + request->config};
    if (request->action.starts_with(kTotpPrefix)) {
      KeepSecondFactor(*request);
      return 0;
    }
    std::vector<OperatorEntry> entries = LoadOperators(path);
    if (Apply(*request, entries)) SaveOperators(path, entries);
  } catch (const ToolFailure& failure) {
    std::cerr << "orvanta-operator: " << failure.message << "\n";
    return kExitFailed;
  }
  return 0;
}

}  // namespace orvanta
