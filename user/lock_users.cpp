// POST TOBELOCK: locks (ACTION=LOCK) or unlocks (ACTION=UNLOCK) every posted
// NAME in the store of this run, one result row per NAME, in request order.
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/lock_texts.h"
#include "user/user.h"

namespace orvanta {

namespace {

struct LockAction {
  const char* value;  // of ACTION, and the code of the log record
  bool lock;
  const char* done;
};

constexpr LockAction kLockActions[] = {
    {"LOCK", true, kLockDone},
    {"UNLOCK", false, kUnlockDone},
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
  bool selection = IsSelectionRequest();
  AccountGuard guard;
  FoundUsers found;
  std::unique_ptr<AccountLocks> locks;  // with an action
  std::map<std::string, bool> rows;     // names with a row: whether refused
};

void LockOne(const std::string& name, LockRequest& request) {
  // An entry the program cannot trust is shown, never acted on.
  if (const std::string problem = UntrustedAccountProblem(request.found, name);
      !problem.empty()) {
    request.rows.emplace(name, true);
    PrintRow(name, problem.c_str());
    return;
  }
  // A name posted again was dealt with by its first row: no more lookups.
  if (const auto row = request.rows.find(name); row != request.rows.end()) {
    PrintRow(name, row->second ? kLockRefused : kLockFailed);
    return;
  }
  const char* refusal = request.selection ? SelectionScopeRefusal(request.found, name) : nullptr;
  const UserEntry* user = request.action == nullptr || refusal != nullptr
                              ? nullptr
                              : ChangeableUser(request.found, name, request.guard);
  StoreResult result = StoreResult::Refused;
  if (user != nullptr) {
    UserEntry now;
    result = ReadAgainUnderLock(*user, request.guard, now);
    if (result == StoreResult::Done && request.selection && !StillSelected(now)) {
      result = StoreResult::Refused;
      refusal = kSelectionNoLongerMatches;
    }
    if (result == StoreResult::Done) result = request.locks->Change(now);
  }
  request.rows.emplace(name, result == StoreResult::Refused);
  if (result == StoreResult::Done) {
    PrintRow(name, request.action->done);
    WriteOperationLog(request.action->value, name);
  } else if (result == StoreResult::Refused) {
    PrintRow(name, refusal != nullptr ? refusal : kLockRefused);
  } else {
    PrintRow(name, kLockFailed);
  }
  // The lock is taken again for the next account: other requests wait for
  // one account's change, never for a whole selection.
  ReleaseChangeLock();
}

}  // namespace

void LockUsers(const std::string& request_text) {
  LockRequest request;
  request.action = ChosenAction();
  // One pass over the database for all the names, however many.
  std::set<std::string, std::less<>> names;
  size_t rows = 0;
  ForEachField(request_text, "NAME", [&](const std::string& name) {
    names.insert(name);
    ++rows;
  });
  request.found = FindUsers(names);
  if (!request.selection) RefuseUnownedAccounts(request.found, names);
  if (request.action != nullptr) {
    request.locks = Accounts().StartLocks(request.action->lock);
  }
  RowProgress progress(rows, request.selection);
  PrintPageHeader();
  std::fputs(kLockedCaption, stdout);
  std::fputs(kLockedHeading, stdout);
  progress.EndHeading();
  IgnoreStopSignals();
  ForEachField(request_text, "NAME", [&](const std::string& name) {
    LockOne(name, request);
    progress.EndRow();
  });
  FlushSavedExpiries();
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
