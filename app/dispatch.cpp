// The entry point of one run, the two command tables and the one error
// handler.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <string_view>

#include "access/access.h"
#include "access/access_texts.h"
#include "app/app.h"
#include "cgi/cgi.h"
#include "cgi/messages_texts.h"
#include "group/group.h"
#include "ldap/ldap.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "store/store.h"
#include "user/user.h"

namespace orvanta {

namespace {

// Who a command is for: everyone, only runs with operators of the
// program's own (OPERATORS; without them the command does not exist), or
// of those only full administrators ("*").
enum class Audience { Everyone, Operators, FullAdministrators };

struct Command {
  const char* name;
  std::function<void()> run;
  // What the operator's scope must allow; nullopt: every operator.
  std::optional<Action> action = std::nullopt;
  Audience audience = Audience::Everyone;
  // Whether it reads accounts or groups: such a command is not run while
  // they cannot be read, so that an unreachable directory is said as such
  // and never shown as an empty list or a missing account or group.
  bool reads_accounts = true;
};

constexpr bool kReadsNoAccount = false;

// Everything that changes the system is reached by POST only.
const Command kPostCommands[] = {
    {"WILLBEDEL", [] { DeleteUsers(gRequestText); }, Action::Del},
    {"WILLBEADD", [] { RegisterUser(); }, Action::Add},
    {"BATCHADD", [] { RegisterBatch(); }, Action::Batch},
    {"WILLBEMOD", [] { PrintUserModForm(); }, Action::Mod},
    {"TOBEMOD", [] { ModifyUser(); }, Action::Mod},
    {"GP_WILLBEADD", [] { RegisterGroup(); }, Action::Group},
    {"GP_WILLBEDEL", [] { DeleteGroups(gRequestText); }, Action::Group},
    {"GP_TOBEMEM", [] { ChangeMembers(gRequestText); }, Action::Member},
    {"TOBELOCK", [] { LockUsers(gRequestText); }, Action::Lock},
    {"WILLBEAGED", [] { PrintUserAgeForm(); }, Action::Age},
    {"TOBEAGED", [] { ChangeUserAgeing(); }, Action::Age},
    {"DEFAULT", [] { PrintUserList(UserListMode::List); }},
    {kSignOutCommand, [] { SignOut(); }, std::nullopt, Audience::Operators, kReadsNoAccount},
    {"SESSIONS", [] { EndChosenSessions(); }, std::nullopt, Audience::FullAdministrators, kReadsNoAccount},
    {kTotpCommand, [] { ChangeTotpEnrolment(); }, std::nullopt, Audience::Operators, kReadsNoAccount},
};

const Command kGetCommands[] = {
    {"MENU", [] { PrintMenu(); }, std::nullopt, Audience::Everyone, kReadsNoAccount},
    {"VIEW", [] { PrintUserList(UserListMode::List); }},
    {"ADD", [] { PrintUserAddForm(); }, Action::Add},
    {"BATCH", [] { PrintBatchForm(); }, Action::Batch, Audience::Everyone, kReadsNoAccount},
    {"MOD", [] { PrintUserList(UserListMode::SelectForModify); }, Action::Mod},
    {"DEL", [] { PrintUserList(UserListMode::SelectForDelete); }, Action::Del},
    {"GVIEW", [] { PrintGroupList(GroupListMode::List); }},
    {"GADD", [] { PrintGroupAddForm(); }, Action::Group, Audience::Everyone, kReadsNoAccount},
    {"GDEL", [] { PrintGroupList(GroupListMode::SelectForDelete); }, Action::Group},
    {"GMEM", [] { PrintGroupMembers(); }, Action::Member},
    {"LOCK", [] { PrintLockList(); }, Action::Lock},
    {"LOCKALL", [] { PrintSelectionConfirmation(false); }, Action::Lock},
    {"DELALL", [] { PrintSelectionConfirmation(true); }, Action::Del},
    {"AGE", [] { PrintUserList(UserListMode::SelectForAge); }, Action::Age},
    {"LOG", [] { PrintOperationHistory(); }, std::nullopt, Audience::Everyone, kReadsNoAccount},
    // The lists as CSV files: every row the list's filter shows.
    {"VIEWCSV", [] { ExportUserList(); }},
    {"GVIEWCSV", [] { ExportGroupList(); }},
    {"LOCKCSV", [] { ExportLockList(); }, Action::Lock},
    {"AGECSV", [] { ExportAgeingList(); }, Action::Age},
    {"LOGCSV", [] { ExportOperationHistory(); }, std::nullopt, Audience::Everyone,
     kReadsNoAccount},
    {"BATCHSAMPLE", [] { PrintBatchSample(); }, Action::Batch, Audience::Everyone,
     kReadsNoAccount},
    {"DEFAULT", [] { PrintUserList(UserListMode::List); }},
    {"SESSIONS", [] { PrintSessionsPage(); }, std::nullopt, Audience::FullAdministrators, kReadsNoAccount},
    {kTotpCommand, [] { PrintTotpPage(); }, std::nullopt, Audience::Operators, kReadsNoAccount},
};

// Codes whose page is one fixed message, some with an HTTP status of their own.
struct FixedMessage {
  ErrorCode code;
  const char* text;
  const char* status = nullptr;
};

constexpr char kLoginChallenge[] =
    "Status: 401 Unauthorized\n"
    "WWW-Authenticate: Basic realm=\"orvanta\", charset=\"UTF-8\"\n";

const FixedMessage kFixedMessages[] = {
    {kErrorNotLoggedIn, kMessageNotLoggedIn, kLoginChallenge},
    {kErrorNotAuthenticated, kMessageNotAuthenticated, "Status: 403 Forbidden\n"},
    {kErrorCrossSite, kMessageCrossSite, "Status: 403 Forbidden\n"},
    {kErrorRequestTooLarge, kMessageRequestTooLarge, "Status: 413 Payload Too Large\n"},
    {kErrorBadRequest, kMessageBadRequest, "Status: 400 Bad Request\n"},
    {kErrorFormToken, kMessageFormToken, "Status: 403 Forbidden\n"},
    {kErrorClearText, kMessageClearText, "Status: 403 Forbidden\n"},
    {kErrorEnrolFirst, kMessageEnrolFirst, "Status: 403 Forbidden\n"},
    {kErrorTooManyAttempts, kMessageTooManyAttempts, "Status: 429 Too Many Requests\n"},
    {kErrorNoDirectoryModule, kMessageNoDirectoryModule, "Status: 503 Service Unavailable\n"},
    {kErrorNoRequestData, kMessageNoRequestData},
    {kErrorNoRoot, kMessageNoRoot},
    {kErrorNoUserSelected, kMessageNoUserSelected},
    {kErrorUserAddFailed, kMessageUserAddFailed},
    {kErrorUserModFailed, kMessageUserModFailed},
    {kErrorGroupAddFailed, kMessageGroupAddFailed},
    {kErrorDirectoryUnreachable, kMessageDirectoryUnreachable},
};

bool HasOperators() { return !Setting("OPERATORS").empty(); }

template <size_t N>
const Command* FindCommand(const Command (&table)[N], std::string_view name) {
  for (const Command& entry : table) {
    if (name != entry.name) continue;
    return entry.audience == Audience::Everyone || HasOperators() ? &entry : nullptr;
  }
  return nullptr;
}

bool MayRun(const Command& command) {
  if (command.audience == Audience::FullAdministrators && CurrentOperator().scope != "*") {
    return false;
  }
  return !command.action || CurrentScope().MayDo(*command.action);
}

template <size_t N>
void RunFrom(const Command (&table)[N]) {
  const Command* command = FindCommand(table, Param("COMMAND"));
  if (command == nullptr) throw ErrorCode{kErrorUnknownCommand};
  if (!MayRun(*command)) RefuseByScope("");
  if (command->reads_accounts) {
    // ACCOUNTS=ldap without the module: the page says what to install,
    // rather than lists left empty and changes that fail.
    if (UsesDirectory() && !DirectoryModuleInstalled()) throw ErrorCode{kErrorNoDirectoryModule};
    if (!Accounts().Reachable()) throw ErrorCode{kErrorDirectoryUnreachable};
  }
  command->run();
}

}  // namespace

bool MayOpenPage(std::string_view command) {
  const Command* page = FindCommand(kGetCommands, command);
  return page != nullptr && MayRun(*page);
}

void Dispatch() {
  const std::string& method = Param("REQUEST_METHOD");
  if (method == "POST") {
    RunFrom(kPostCommands);
  } else if (method == "GET") {
    RunFrom(kGetCommands);
  } else {
    throw ErrorCode{kErrorUnknownCommand};
  }
}

void ReportError(ErrorCode code) {
  switch (code) {
    case kErrorNotCgi:  // started from a command line: no CGI header, no page
      std::fputs(kProgramTitle, stdout);
      std::fputs(kNotCgiNotice, stdout);
      return;
    case kErrorSignIn:
      PrintSignInRequired();
      return;
    case kErrorMessageInGlobal:
      PrintMessagePage(gErrorMessage + "<BR>\n", true);
      return;
    case kErrorUnknownCommand: {
      std::string decoded = gRequestText;
      UrlDecode(decoded);
      PrintMessagePage(std::string(kMessageUnknownCommand) + Html(decoded) + "\n<BR>\n", true);
      return;
    }
    default:
      break;
  }
  for (const FixedMessage& entry : kFixedMessages) {
    if (entry.code == code) {
      PrintMessagePage(entry.text, true, entry.status);
      return;
    }
  }
  // Any other code is raised by nothing and writes nothing.
}

int RunRequest() {
  UseLargeOutputBuffer();
  try {
    // The CGI variables put aside, a set-user-ID run drops all of its
    // caller's before any library can read one.
    CopyRequestEnvironment();
    if (SecureRun()) ResetEnvironment();
    if (!RequestVariable("REQUEST_METHOD")) throw ErrorCode{kErrorNotCgi};
    // Set-user-ID, nothing the caller's process hands down is kept. Asked
    // once: after setuid(0) the real uid is root's too.
    const bool started_setuid = StartedSetuid();
    if (started_setuid) {
      OpenStandardDescriptors();
      EnterProgramDirectory();
      TakeRootGroupOnly();
      SetToolUmask();
      SetToolResourceLimits();
      CloseInheritedDescriptors();
      ClearIntervalTimers();
      ResetSignals();
    }
    // A client that went away must not stop the changes or their records.
    std::signal(SIGPIPE, SIG_IGN);
    gRequestText = ReadRequest();
    ParseRequest(gRequestText);
    ReadConfigFile(kConfigFileName);
    ReportInvalidSettings();
    ChooseAccountStore();
    CheckAuthenticated();
    CheckRequestOrigin();
    if (setuid(0) != 0) throw ErrorCode{kErrorNoRoot};
    if (LogInOperator(started_setuid)) {
      CheckOperatorScope();
      Dispatch();
    }
  } catch (ErrorCode code) {
    ReportError(code);
  }
  gRequestText.clear();
  std::fflush(stdout);
  return 0;
}

}  // namespace orvanta
