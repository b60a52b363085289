// With OPERATORS the program signs its operators in itself instead of
// trusting whoever the web server says logged in: any process of the web
// server's group could claim that. An operator signs in once on the
// program's sign-in page and then carries a session; with AUTH_BASIC=YES,
// Basic credentials on every request (scripts) count as well. An operator
// with a second factor gives a code after the password: until then the
// session opens no page, and with the code it gets a new id.
#include <time.h>

#include <algorithm>

#include "access/access.h"
#include "cgi/cgi.h"

namespace orvanta {

namespace {

constexpr char kAuthorizationWithheldNotice[] =
    "REMOTE_USER is set but no Authorization header arrived: the web server withholds it "
    "(Apache needs CGIPassAuth On)";
constexpr char kLoginFailed[] = "failed";
constexpr char kLoginLockedOut[] = "locked-out";
constexpr char kSignedIn[] = "signed-in";
constexpr char kSignedOut[] = "signed-out";
constexpr char kWrongCode[] = "wrong-code";
constexpr char kRecoveryCodeUsed[] = "recovery-code-used,";
constexpr char kRecoveryCodesLeft[] = "-left";
constexpr char kBasicRefused[] = "basic-refused-second-factor";
constexpr char kCodeField[] = "CODE";
constexpr char kNameField[] = "OPERATOR";
constexpr char kPasswordField[] = "PASSWORD";
constexpr char kReturnField[] = "RETURN";
constexpr char kForbidden[] = "Status: 403 Forbidden\n";
// Where a sign-in leads when it was asked for no page.
constexpr char kFirstPage[] = "COMMAND=MENU";
constexpr size_t kMaxReturnBytes = 2048;
constexpr size_t kMaxParameterName = 32;
// Verified for an unknown name, so that it costs what a known one does.
constexpr char kUnknownOperatorHash[] =
    "$y$j9T$/BXt3q7C.17RjstHaGXTS/$aesrt4Sq3g2.hhILGr7B9TGxjKslwlJ4lOO7VrvdEO/";

std::vector<OperatorEntry>& OperatorsOfRun() {
  static std::vector<OperatorEntry> operators;
  return operators;
}

std::optional<SessionRecord>& SessionOfRun() {
  static std::optional<SessionRecord> session;
  return session;
}

void WaitAfterFailure() {
  constexpr long kMillisecondsPerSecond = 1000;
  constexpr long kNanosecondsPerMillisecond = 1'000'000;
  const timespec wait{
      kLoginFailureWaitMilliseconds / kMillisecondsPerSecond,
      kLoginFailureWaitMilliseconds % kMillisecondsPerSecond * kNanosecondsPerMillisecond};
  nanosleep(&wait, nullptr);
}

void NoteFailure(std::string_view name) {
  AuditEvent(kSignInCommand, name, kLoginFailed);
  WaitAfterFailure();
}

const OperatorEntry* FindOperator(std::string_view name) {
  for (const OperatorEntry& entry : OperatorsOfRun()) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}

// Counts an attempt of the name from the request's address before its
// check, so that a run stopped during it still counts; past the limits
// nothing is checked.
void CountAttempt(std::string_view name) {
  const LoginAttempt attempt = CountLoginAttempt(name, Env("REMOTE_ADDR"));
  if (attempt == LoginAttempt::TooMany) {
    AuditEvent(kSignInCommand, name, kLoginLockedOut);
    throw ErrorCode{kErrorTooManyAttempts};
  }
  if (attempt == LoginAttempt::Uncounted) throw ErrorCode{kErrorNoRoot};
}

// Whether a right password of the name is only the first of two factors.
bool CodeFollows(const std::string& name) { return IsOperatorName(name) && HasTotpSecret(name); }

// One checked and counted attempt of a name and password from the
// request's address: the operator, or nullptr after a failure (recorded,
// audited and waited for). A right password with a code to follow ends
// the attempt as neither success nor failure: the code decides.
const OperatorEntry* CheckPassword(const std::string& name, const std::string& password,
                                   bool code_follows) {
  if (!IsOperatorName(name)) {
    NoteFailure(name);
    return nullptr;
  }
  const std::string_view address = Env("REMOTE_ADDR");
  CountAttempt(name);
  const OperatorEntry* entry = FindOperator(name);
  const bool matches =
      PasswordMatches(password, entry != nullptr ? entry->hash : kUnknownOperatorHash);
  if (entry == nullptr || !matches) {
    RecordLoginFailure(name, address);
    NoteFailure(name);
    return nullptr;
  }
  if (code_follows) {
    RecordLoginPassed(name, address);
  } else {
    RecordLoginSuccess(name, address);
  }
  return entry;
}

// Basic credentials carry no code: an operator who has to give one, or to
// enrol first, cannot use them.
void LogInWithBasic() {
  const std::optional<Credentials> credentials = BasicCredentials(Env("HTTP_AUTHORIZATION"));
  if (!credentials) {
    NoteFailure("");
    throw ErrorCode{kErrorNotLoggedIn};
  }
  const bool second_factor =
      CodeFollows(credentials->name) ||
      (IsOperatorName(credentials->name) && MustEnrol(credentials->name));
  const OperatorEntry* entry =
      CheckPassword(credentials->name, credentials->password, second_factor);
  if (entry == nullptr) throw ErrorCode{kErrorNotLoggedIn};
  if (second_factor) {
    AuditEvent(kSignInCommand, entry->name, kBasicRefused);
    ErrorLogLine("operator " + Printable(entry->name) +
                 " refused: Basic credentials carry no second factor");
    throw ErrorCode{kErrorNotLoggedIn};
  }
  SetCurrentOperator(Operator{entry->name, entry->scope});
}

bool IsParameterName(std::string_view name) {
  return !name.empty() && name.size() <= kMaxParameterName &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
         });
}

// The page to return to after signing in: the parameters of the GET
// request that met the sign-in page, each encoded again, never a URL; the
// menu when there is none, or it was a sign-in or sign-out itself. The
// request that follows is checked as any other.
std::string ReturnTarget(std::string_view asked) {
  std::string target;
  bool usable = asked.size() <= kMaxReturnBytes;
  bool has_command = false;
  ForEachPair(asked, [&](const std::string& name, const std::string& value) {
    if (!IsParameterName(name) || IsReservedParameterName(name) || name == kFormTokenField) {
      return;
    }
    if (name == "COMMAND") {
      has_command = true;
      if (value == kSignInCommand || value == kSignOutCommand) usable = false;
    }
    target += (target.empty() ? "" : "&") + name + "=" + UrlEncoded(value);
  });
  return usable && has_command ? target : kFirstPage;
}

// The end of a sign-in: a full session (or with TOTP=required and no
// secret yet, one that opens only the enrolment page) and the way on.
void CompleteSignIn(const OperatorEntry& entry, const std::string& asked) {
  SetCurrentOperator(Operator{entry.name, entry.scope});
  const bool enrol = MustEnrol(entry.name);
  const std::string id = StartSession(entry, OperatorsOfRun(),
                                      enrol ? SessionStage::Enrol : SessionStage::Full);
  AuditEvent(kSignInCommand, entry.name, kSignedIn);
  const std::string target = enrol ? "COMMAND=" + std::string(kTotpCommand) : ReturnTarget(asked);
  PrintSignedInRedirect("Status: 303 See Other\nLocation: ./" + std::string(kCgiName) + "?" +
                            target + "\n" + SessionCookieHeader(id),
                        target);
}

// POST LOGIN with the name and password.
void SignIn() {
  const std::string& asked = Param(kReturnField);
  const std::string& name = Param(kNameField);
  const bool code_follows = CodeFollows(name);
  const OperatorEntry* entry = CheckPassword(name, Param(kPasswordField), code_follows);
  if (entry != nullptr && !OperatorScope::Parse(entry->scope)) {
    ErrorLogLine("operator " + Printable(entry->name) + " refused: malformed scope");
    entry = nullptr;
  }
  if (entry == nullptr) {
    PrintSignInPage(SignInNotice::Failed, asked, nullptr);
    return;
  }
  if (!code_follows) {
    CompleteSignIn(*entry, asked);
    return;
  }
  const std::string id = StartSession(*entry, OperatorsOfRun(), SessionStage::Code);
  PrintCodePage(false, asked, SessionCookieHeader(id).c_str());
}

// POST LOGIN with the code, in the session the password began; the code
// ends it and a new session, with a new id, begins.
void SignInWithCode() {
  const std::string& asked = Param(kReturnField);
  const std::optional<SessionRecord> pending = ResumeSession(OperatorsOfRun());
  if (!pending || pending->stage != SessionStage::Code) {
    PrintSignInPage(SignInNotice::PleaseSignIn, asked, nullptr);
    return;
  }
  const OperatorEntry* entry = FindOperator(pending->operator_name);
  if (!CheckCountedSecondFactor(entry->name, Param(kCodeField))) {
    PrintCodePage(true, asked, nullptr);
    return;
  }
  EndSession(pending->digest);
  CompleteSignIn(*entry, asked);
}

bool BasicAccepted() { return YesNoSetting("AUTH_BASIC") == YesNo::Yes; }

// REQUIRE_HTTPS=YES (or a value that is no word: it fails closed): no
// password and no session over clear text, but from this machine itself.
void RefuseClearText() {
  if (YesNoSetting("REQUIRE_HTTPS") == YesNo::No || ArrivedOverHttps() || FromLoopback()) return;
  throw ErrorCode{kErrorClearText};
}

}  // namespace

const std::vector<OperatorEntry>& RunOperators() { return OperatorsOfRun(); }

const std::optional<SessionRecord>& RunSession() { return SessionOfRun(); }

bool LogInOperator(bool started_setuid) {
  const std::string& path = Setting("OPERATORS");
  if (path.empty()) return true;
  // Nobody acts until somebody is verified.
  SetCurrentOperator(Operator{"", ""});
  std::optional<std::vector<OperatorEntry>> operators = ReadOperators(path, started_setuid);
  if (!operators) {
    ErrorLogLine("the operators file " + Printable(path) +
                 " is missing or not root's alone; nobody is let in");
    throw ErrorCode{kErrorNoRoot};
  }
  OperatorsOfRun() = std::move(*operators);
  if (!ReadTotpGenerations(OperatorsOfRun())) throw ErrorCode{kErrorNoRoot};
  RefuseClearText();
  const bool basic = BasicAccepted();
  if (basic && !Env("HTTP_AUTHORIZATION").empty()) {
    LogInWithBasic();
    return true;
  }
  const std::string& method = Param("REQUEST_METHOD");
  if (Param("COMMAND") == kSignInCommand && (method == "GET" || method == "POST")) {
    if (method == "POST" && HasParam(kCodeField)) {
      SignInWithCode();
    } else if (method == "POST") {
      SignIn();
    } else {
      PrintSignInPage(SignInNotice::PleaseSignIn, "", nullptr);
    }
    return false;
  }
  std::optional<SessionRecord> session = ResumeSession(OperatorsOfRun());
  // A session still waiting for its code opens nothing.
  if (!session || session->stage == SessionStage::Code) {
    if (basic && !Env("REMOTE_USER").empty()) ErrorLogLine(kAuthorizationWithheldNotice);
    throw ErrorCode{kErrorSignIn};
  }
  if (method == "POST" && !SameSecret(Param(kFormTokenField), session->form_token)) {
    throw ErrorCode{kErrorFormToken};
  }
  SetCurrentOperator(Operator{session->operator_name, FindOperator(session->operator_name)->scope});
  SetPageSession(PageSession{session->operator_name, session->form_token});
  const bool enrol_only = session->stage == SessionStage::Enrol;
  SessionOfRun() = std::move(session);
  const std::string& command = Param("COMMAND");
  if (enrol_only && command != kTotpCommand && command != kSignOutCommand) {
    throw ErrorCode{kErrorEnrolFirst};
  }
  return true;
}

bool CheckCountedSecondFactor(std::string_view name, std::string_view code) {
  const std::string_view address = Env("REMOTE_ADDR");
  CountAttempt(name);
  const SecondFactorCheck check = CheckSecondFactor(name, code, std::time(nullptr));
  switch (check.outcome) {
    case SecondFactor::Unusable:
      RecordLoginFailure(name, address);
      throw ErrorCode{kErrorNoRoot};
    case SecondFactor::Wrong:
      RecordLoginFailure(name, address);
      AuditEvent(kSignInCommand, name, kWrongCode);
      WaitAfterFailure();
      return false;
    case SecondFactor::RecoveryCode:
      AuditEvent(kSignInCommand, name,
                 kRecoveryCodeUsed + std::to_string(check.recovery_left) + kRecoveryCodesLeft);
      break;
    case SecondFactor::Code:
      break;
  }
  RecordLoginSuccess(name, address);
  return true;
}

bool ReconfirmPassword(const std::string& password) {
  return CheckPassword(CurrentOperator().name, password, false) != nullptr;
}

std::string ReplaceRunSession() {
  if (!ReadTotpGenerations(OperatorsOfRun())) throw ErrorCode{kErrorNoRoot};
  const OperatorEntry* entry = FindOperator(CurrentOperator().name);
  if (entry == nullptr) throw ErrorCode{kErrorSignIn};
  if (SessionOfRun()) EndSession(SessionOfRun()->digest);
  const std::string id = StartSession(*entry, OperatorsOfRun());
  SessionOfRun() = SessionStore().Read(Sha256Hex(id));
  if (!SessionOfRun()) throw ErrorCode{kErrorNoRoot};
  SetPageSession(PageSession{entry->name, SessionOfRun()->form_token});
  return SessionCookieHeader(id);
}

void SignOut() {
  if (SessionOfRun()) EndSession(SessionOfRun()->digest);
  AuditEvent(kSignOutCommand, CurrentOperator().name, kSignedOut);
  SessionOfRun().reset();
  SetPageSession(std::nullopt);
  PrintSignInPage(SignInNotice::SignedOut, "", SessionCookieHeader("").c_str());
}

void PrintSignInRequired() {
  const bool post = Param("REQUEST_METHOD") == "POST";
  const bool returns = !post && gRequestText.size() <= kMaxReturnBytes;
  PrintSignInPage(SignInNotice::PleaseSignIn, returns ? gRequestText : std::string_view(),
                  post ? kForbidden : nullptr);
}

}  // namespace orvanta
