// With OPERATORS the program logs its operators in itself, from the
// request's Basic credentials, instead of trusting whoever the web server
// says logged in: any process of the web server's group could claim that.
#include <time.h>

#include <cstdlib>

#include "access/access.h"
#include "cgi/cgi.h"

namespace orvanta {

namespace {

constexpr char kAuthorizationWithheldNotice[] =
    "REMOTE_USER is set but no Authorization header arrived: the web server withholds it "
    "(Apache needs CGIPassAuth On)";
constexpr char kLoginCommand[] = "LOGIN";
constexpr char kLoginFailed[] = "failed";
constexpr char kLoginLockedOut[] = "locked-out";
// Verified for an unknown name, so that it costs what a known one does.
constexpr char kUnknownOperatorHash[] =
    "$y$j9T$/BXt3q7C.17RjstHaGXTS/$aesrt4Sq3g2.hhILGr7B9TGxjKslwlJ4lOO7VrvdEO/";

void WaitAfterFailure() {
  constexpr long kMillisecondsPerSecond = 1000;
  constexpr long kNanosecondsPerMillisecond = 1'000'000;
  const timespec wait{
      kLoginFailureWaitMilliseconds / kMillisecondsPerSecond,
      kLoginFailureWaitMilliseconds % kMillisecondsPerSecond * kNanosecondsPerMillisecond};
  nanosleep(&wait, nullptr);
}

[[noreturn]] void FailLogin(std::string_view name) {
  AuditEvent(kLoginCommand, name, kLoginFailed);
  WaitAfterFailure();
  throw ErrorCode{kErrorNotLoggedIn};
}

[[noreturn]] void RefuseLockedOut(std::string_view name) {
  AuditEvent(kLoginCommand, name, kLoginLockedOut);
  throw ErrorCode{kErrorNotLoggedIn};
}

const OperatorEntry* FindOperator(const std::vector<OperatorEntry>& operators,
                                  std::string_view name) {
  for (const OperatorEntry& entry : operators) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

// The request's credentials; without any, the browser has not asked its
// user yet, and the 401 makes it ask.
Credentials RequestCredentials() {
  const char* header = std::getenv("HTTP_AUTHORIZATION");
  if (header == nullptr) {
    if (!Env("REMOTE_USER").empty()) ErrorLogLine(kAuthorizationWithheldNotice);
    throw ErrorCode{kErrorNotLoggedIn};
  }
  std::optional<Credentials> credentials = BasicCredentials(header);
  if (!credentials) FailLogin("");
  if (!IsOperatorName(credentials->name)) FailLogin(credentials->name);
  return std::move(*credentials);
}

}  // namespace

void LogInOperator(bool started_setuid) {
  const std::string& path = Setting("OPERATORS");
  if (path.empty()) return;
  // Nobody acts until somebody is verified.
  SetCurrentOperator(Operator{"", ""});
  const std::optional<std::vector<OperatorEntry>> operators = ReadOperators(path, started_setuid);
  if (!operators) {
    ErrorLogLine("the operators file " + Printable(path) +
                 " is missing or not root's alone; nobody is let in");
    throw ErrorCode{kErrorNoRoot};
  }
  const Credentials credentials = RequestCredentials();
  const std::string_view address = Env("REMOTE_ADDR");
  // Counted before the check: a run stopped during it still counts.
  const LoginAttempt attempt = CountLoginAttempt(credentials.name, address);
  if (attempt == LoginAttempt::LockedOut) RefuseLockedOut(credentials.name);
  if (attempt == LoginAttempt::Uncounted) throw ErrorCode{kErrorNotLoggedIn};
  const OperatorEntry* entry = FindOperator(*operators, credentials.name);
  const bool matches =
      PasswordMatches(credentials.password, entry != nullptr ? entry->hash : kUnknownOperatorHash);
  if (entry == nullptr || !matches) {
    RecordLoginFailure(credentials.name, address);
    FailLogin(credentials.name);
  }
  ClearLoginAttempts(credentials.name, address);
  SetCurrentOperator(Operator{entry->name, entry->scope});
}

}  // namespace orvanta
