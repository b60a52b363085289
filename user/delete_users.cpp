// POST WILLBEDEL: removes every ticked account above SYSTEMUID, one result
// row per posted NAME, in request order.
#include <cstdio>
#include <map>
#include <set>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "ldap/ldap.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

// The directory backend instead of the tool: the same rows and records.
void DeleteFromDirectory(const std::string& name, const std::string& shown) {
  const DirectoryResult result = DirectoryDeleteUser(name);
  if (result == DirectoryResult::Done) {
    std::printf(kDeleteDoneRow, shown.c_str());
    WriteOperationLog(name);
  } else {
    std::printf(result == DirectoryResult::Refused ? kDeleteRefusedRow : kDeleteFailedRow,
                shown.c_str());
  }
}

// userdel takes the home only when it is one of the account's own below
// HOME_ROOTS; otherwise it would remove whatever the stored path names.
void DeleteWithTool(const UserEntry& user, const std::string& shown) {
  const bool remove_home = MayRemoveHome(user);
  const std::string line =
      Setting("USERDEL") + (remove_home ? " -r " : " ") + ShellWord(user.name);
  const bool succeeded = RunCommandLine(line) == 0;
  // userdel may remove the account and then fail on its home (exit 12):
  // whether the account is gone tells what happened.
  if (!succeeded && AccountExistsNow(user.name)) {
    std::printf(kDeleteFailedRow, shown.c_str());
    return;
  }
  std::printf(succeeded && remove_home ? kDeleteDoneRow : kDeleteHomeKeptRow, shown.c_str());
  WriteOperationLog(user.name);
  // A lock's saved date must not come back to a new account of the name.
  ForgetSavedExpiry(user.name);
}

struct Deletion {
  FoundUsers found;
  AccountGuard guard;
  // Each name handled so far, and whether it was refused.
  std::map<std::string, bool, std::less<>> refused;
};

void DeleteOneUser(const std::string& name, Deletion& deletion) {
  const std::string shown = Html(name);
  // A name posted again gets no second lookup or run: the row its first
  // would get now, refused or failed.
  if (const auto earlier = deletion.refused.find(name); earlier != deletion.refused.end()) {
    std::printf(earlier->second ? kDeleteRefusedRow : kDeleteFailedRow, shown.c_str());
    return;
  }
  // A name that is not an account of the database is refused like a system
  // account: nothing but real account names reaches the tool.
  const UserEntry* user = ChangeableUser(deletion.found, name, deletion.guard);
  deletion.refused[name] = user == nullptr;
  if (user == nullptr) {
    std::printf(kDeleteRefusedRow, shown.c_str());
  } else if (UsesDirectory()) {
    DeleteFromDirectory(name, shown);
  } else if (Setting("USERDEL").empty()) {
    // Without a tool setting the line would start with the name.
    std::printf(kDeleteFailedRow, shown.c_str());
  } else {
    DeleteWithTool(*user, shown);
  }
}

}  // namespace

void DeleteUsers(const std::string& request_text) {
  PrintPageHeader();
  std::fputs("<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n", stdout);
  std::fputs(kDeletedCaption, stdout);
  std::fputs(kDeletedHeading, stdout);
  // One pass over the database for all the names, however many.
  std::set<std::string, std::less<>> names;
  ForEachField(request_text, "NAME", [&](const std::string& name) { names.insert(name); });
  Deletion deletion{FindUsers(names), AccountGuard(), {}};
  ForEachField(request_text, "NAME",
               [&](const std::string& name) { DeleteOneUser(name, deletion); });
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
