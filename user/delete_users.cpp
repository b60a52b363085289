// POST WILLBEDEL: removes every ticked account above SYSTEMUID, one result
// row per posted NAME, in request order.
#include <cstdio>
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

void DeleteOneUser(const std::string& name, const FoundUsers& found,
                   std::set<std::string>& seen) {
  const std::string shown = Html(name);
  // A name that is not an account of the database is refused like a system
  // account: nothing but real account names reaches the tool.
  if (ChangeableUser(found, name) == nullptr) {
    std::printf(kDeleteRefusedRow, shown.c_str());
    return;
  }
  // A name posted again was dealt with by its first row; without a tool
  // setting the line would start with the name.
  const bool first = seen.insert(name).second;
  if (first && UsesDirectory()) return DeleteFromDirectory(name, shown);
  if (first && !Setting("USERDEL").empty() &&
      RunCommandLine(Setting("USERDEL") + " -r " + ShellWord(name)) == 0) {
    std::printf(kDeleteDoneRow, shown.c_str());
    WriteOperationLog(name);
  } else {
    std::printf(kDeleteFailedRow, shown.c_str());
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
  const FoundUsers found = FindUsers(names);
  std::set<std::string> seen;
  ForEachField(request_text, "NAME",
               [&](const std::string& name) { DeleteOneUser(name, found, seen); });
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
