// POST TOBELOCK: locks (ACTION=LOCK) or unlocks (ACTION=UNLOCK) every posted
// NAME in the store of this run, one result row per NAME, in request order.
#include <cstdio>
#include <map>
#include <set>
#include <vector>

#include "cgi/cgi.h"
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

// The outcome of each name's first row, from one store call for all the
// accounts that may change.
std::map<std::string, StoreResult, std::less<>> LockAll(const LockAction* action,
                                                       const std::vector<std::string>& names) {
  std::map<std::string, StoreResult, std::less<>> outcomes;
  if (action == nullptr) return outcomes;
  const FoundUsers found = FindUsers({names.begin(), names.end()});
  const AccountGuard guard;
  std::vector<const UserEntry*> users;
  for (const std::string& name : names) {
    if (const UserEntry* user = ChangeableUser(found, name, guard)) users.push_back(user);
  }
  const std::vector<StoreResult> results = Accounts().LockUsers(users, action->lock);
  for (size_t i = 0; i < users.size(); ++i) outcomes.emplace(users[i]->name, results[i]);
  return outcomes;
}

// Done comes only with an action.
const char* RowOutcome(StoreResult result, const LockAction* action) {
  if (result == StoreResult::Done) return action->done;
  return result == StoreResult::Refused ? kLockRefused : kLockFailed;
}

}  // namespace

void LockUsers(const std::string& request_text) {
  const LockAction* action = ChosenAction();
  // Each name once, in request order: a name posted again gets the row of
  // a refusal again, and of anything else a failure.
  std::vector<std::string> names;
  std::set<std::string, std::less<>> seen;
  ForEachField(request_text, "NAME", [&](const std::string& name) {
    if (seen.insert(name).second) names.push_back(name);
  });
  const auto outcomes = LockAll(action, names);
  PrintPageHeader();
  std::fputs(kLockedCaption, stdout);
  std::fputs(kLockedHeading, stdout);
  std::set<std::string, std::less<>> shown;
  ForEachField(request_text, "NAME", [&](const std::string& name) {
    const auto outcome = outcomes.find(name);
    const StoreResult result = outcome == outcomes.end() ? StoreResult::Refused : outcome->second;
    if (!shown.insert(name).second) {
      PrintRow(name, result == StoreResult::Refused ? kLockRefused : kLockFailed);
      return;
    }
    PrintRow(name, RowOutcome(result, action));
    if (result == StoreResult::Done) WriteOperationLog(action->value, name);
  });
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
