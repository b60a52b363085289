// POST WILLBEDEL: removes every ticked account above SYSTEMUID, one result
// row per posted NAME, in request order, each home as HOME says.
#include <cstdio>
#include <map>
#include <set>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/lock_texts.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

// The row of each outcome; the record for the accounts that are gone.
void DeleteFromStore(const UserEntry& user, HomeChoice home, const std::string& shown) {
  const DeletionResult deleted = Accounts().DeleteUser(user, home);
  switch (deleted.result) {
    case StoreResult::Done:
      std::printf(kDeleteDoneRow, shown.c_str());
      break;
    case StoreResult::DoneHomeKept:
      std::printf(kDeleteHomeKeptRow, shown.c_str());
      break;
    case StoreResult::DoneHomeArchived:
      std::printf(kDeleteArchivedRow, shown.c_str(), Html(deleted.archive).c_str());
      break;
    case StoreResult::HomeNotArchived:
      std::printf(kDeleteNotArchivedRow, shown.c_str());
      return;
    case StoreResult::Refused:
      std::printf(kDeleteRefusedRow, shown.c_str());
      return;
    default:
      std::printf(kDeleteFailedRow, shown.c_str());
      return;
  }
  WriteOperationLog(user.name);
}

struct Deletion {
  FoundUsers found;
  AccountGuard guard;
  HomeChoice home;
  bool selection;
  // Each name handled so far, and whether it was refused.
  std::map<std::string, bool, std::less<>> refused;
};

// Each account under a change lock of its own, read again there; other
// requests wait for one account's deletion, never for a whole selection.
void DeleteUnderLock(const UserEntry& user, Deletion& deletion, const std::string& shown) {
  UserEntry now;
  switch (ReadAgainUnderLock(user, deletion.guard, now)) {
    case StoreResult::Done:
      if (deletion.selection && !StillSelected(now)) {
        deletion.refused[user.name] = true;
        std::printf(kSelectedDeleteRefusedRow, shown.c_str(), kSelectionNoLongerMatches);
        break;
      }
      DeleteFromStore(now, deletion.home, shown);
      break;
    case StoreResult::Refused:
      deletion.refused[user.name] = true;
      std::printf(kDeleteRefusedRow, shown.c_str());
      break;
    default:
      std::printf(kDeleteFailedRow, shown.c_str());
  }
  ReleaseChangeLock();
}

void DeleteOneUser(const std::string& name, Deletion& deletion) {
  const std::string shown = Html(name);
  // An entry the program cannot trust is shown, never acted on.
  if (const std::string problem = UntrustedAccountProblem(deletion.found, name);
      !problem.empty()) {
    deletion.refused[name] = true;
    std::printf(kDeleteProblemRow, shown.c_str(), problem.c_str());
    return;
  }
  // A name posted again gets no second lookup or run: the row its first
  // would get now, refused or failed.
  if (const auto earlier = deletion.refused.find(name); earlier != deletion.refused.end()) {
    std::printf(earlier->second ? kDeleteRefusedRow : kDeleteFailedRow, shown.c_str());
    return;
  }
  // A name that is not an account of the database is refused like a system
  // account: nothing but real account names reaches the tool.
  if (const char* refusal =
          deletion.selection ? SelectionScopeRefusal(deletion.found, name) : nullptr) {
    deletion.refused[name] = true;
    std::printf(kSelectedDeleteRefusedRow, shown.c_str(), refusal);
    return;
  }
  const UserEntry* user = ChangeableUser(deletion.found, name, deletion.guard);
  deletion.refused[name] = user == nullptr;
  if (user == nullptr) {
    std::printf(kDeleteRefusedRow, shown.c_str());
  } else {
    DeleteUnderLock(*user, deletion, shown);
  }
}

}  // namespace

void DeleteUsers(const std::string& request_text) {
  const HomeChoice home = RequestedHomeChoice(request_text);
  // One pass over the database for all the names, however many.
  std::set<std::string, std::less<>> names;
  size_t rows = 0;
  ForEachField(request_text, "NAME", [&](const std::string& name) {
    names.insert(name);
    ++rows;
  });
  const bool selection = IsSelectionRequest();
  // A selection runs only when the operator typed how many it deletes.
  if (selection) CheckTypedCount(rows);
  Deletion deletion{FindUsers(names), AccountGuard(), home, selection, {}};
  if (!selection) RefuseUnownedAccounts(deletion.found, names);
  RowProgress progress(rows, selection);
  PrintPageHeader();
  std::fputs("<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n", stdout);
  std::fputs(kDeletedCaption, stdout);
  std::fputs(kDeletedHeading, stdout);
  progress.EndHeading();
  IgnoreStopSignals();
  ForEachField(request_text, "NAME", [&](const std::string& name) {
    DeleteOneUser(name, deletion);
    progress.EndRow();
  });
  FlushSavedExpiries();
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
