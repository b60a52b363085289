// POST TOBELOCK: locks (ACTION=LOCK) or unlocks (ACTION=UNLOCK) every posted
// NAME with usermod, one result row per NAME, in request order.
#include <shadow.h>

#include <cstdio>
#include <set>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "ldap/ldap.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/lock_texts.h"
#include "user/user.h"

namespace orvanta {

namespace {

struct LockAction {
  const char* value;   // of ACTION, and the code of the log record
  const char* option;  // usermod's option
  const char* done;
};

constexpr LockAction kLockActions[] = {
    {"LOCK", " -L ", kLockDone},
    {"UNLOCK", " -U ", kUnlockDone},
};

const LockAction* ChosenAction() {
  for (const LockAction& action : kLockActions) {
    if (Param("ACTION") == action.value) return &action;
  }
  return nullptr;
}

void PrintRow(const std::string& name, const char* outcome) {
  std::printf(kLockRowFormat, Html(name).c_str(), outcome);
}

struct LockRequest {
  const LockAction* action = nullptr;  // nullptr: refuses every row
  AccountGuard guard;
  FoundUsers found;
  std::set<std::string> done;  // names already acted on
};

// The directory backend instead of the tool: the same rows and records.
void LockInDirectory(const std::string& name, const LockAction& action) {
  const bool lock = std::string_view(action.value) == kLockActions[0].value;
  const DirectoryResult result = DirectoryLockUser(name, lock);
  if (result == DirectoryResult::Done) {
    PrintRow(name, action.done);
    WriteOperationLog(action.value, name);
  } else {
    PrintRow(name, result == DirectoryResult::Refused ? kLockRefused : kLockFailed);
  }
}

void LockOne(const std::string& name, LockRequest& request) {
  // An account without a shadow entry has no password to lock (in the
  // directory: without a {CRYPT} password, which the lock answers).
  if (request.action == nullptr || ChangeableUser(request.found, name, request.guard) == nullptr ||
      (!UsesDirectory() && getspnam(name.c_str()) == nullptr)) {
    PrintRow(name, kLockRefused);
    return;
  }
  // A name posted again was dealt with by its first row; without a tool
  // setting the line would start with the request's values.
  const bool first = request.done.insert(name).second;
  if (first && UsesDirectory()) return LockInDirectory(name, *request.action);
  const std::string& tool = Setting("USERMOD");
  if (first && !tool.empty() &&
      RunCommandLine(tool + request.action->option + ShellWord(name)) == 0) {
    PrintRow(name, request.action->done);
    WriteOperationLog(request.action->value, name);
  } else {
    PrintRow(name, kLockFailed);
  }
}

}  // namespace

void LockUsers(const std::string& request_text) {
  LockRequest request;
  request.action = ChosenAction();
  // One pass over the database for all the names, however many.
  std::set<std::string, std::less<>> names;
  ForEachField(request_text, "NAME", [&](const std::string& name) { names.insert(name); });
  request.found = FindUsers(names);
  PrintPageHeader();
  std::fputs(kLockedCaption, stdout);
  std::fputs(kLockedHeading, stdout);
  ForEachField(request_text, "NAME", [&](const std::string& name) { LockOne(name, request); });
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
