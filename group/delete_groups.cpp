// POST GP_WILLBEDEL: removes every ticked group above SYSTEMGID that is not
// protected, one result row per posted GNAME, in request order.
#include <cstdio>
#include <set>

#include "cgi/cgi.h"
#include "group/group.h"
#include "group/group_texts.h"
#include "hosttools/hosttools.h"
#include "ldap/ldap.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/user.h"

namespace orvanta {

namespace {

// The directory backend instead of the tool: the same rows and records.
void DeleteFromDirectory(const std::string& name, const std::string& shown) {
  const DirectoryResult result = DirectoryDeleteGroup(name);
  if (result == DirectoryResult::Done) {
    std::printf(kGroupDeleteDoneRow, shown.c_str());
    WriteOperationLog(name);
  } else {
    std::printf(result == DirectoryResult::Refused ? kGroupDeleteRefusedRow : kGroupDeleteFailedRow,
                shown.c_str());
  }
}

// groupdel may fail after it removed the group (a file it updates after
// group); what the database holds now decides.
bool RemovedWithTool(const std::string& name) {
  const std::string& tool = Setting("GROUPDEL");
  if (RunCommandLine(tool + " " + ShellWord(name)) == 0) return true;
  return !FindGroup(name).has_value();
}

void DeleteOneGroup(const std::string& name, const AccountGuard& guard,
                    std::set<std::string>& seen) {
  const std::string shown = Html(name);
  // A name that is not a group of the snapshot is refused like a system
  // group, so only real group names reach the tool.
  const auto& by_name = AllGroups().by_name;
  const auto found = by_name.find(name);
  if (found == by_name.end() || !IsChangeableGroup(found->second, guard)) {
    std::printf(kGroupDeleteRefusedRow, shown.c_str());
    return;
  }
  // A name posted again was dealt with by its first row; without a tool
  // setting the line would start with the name.
  const bool first = seen.insert(name).second;
  if (first && UsesDirectory()) return DeleteFromDirectory(name, shown);
  if (first && !Setting("GROUPDEL").empty() && RemovedWithTool(name)) {
    std::printf(kGroupDeleteDoneRow, shown.c_str());
    WriteOperationLog(name);
  } else {
    std::printf(kGroupDeleteFailedRow, shown.c_str());
  }
}

}  // namespace

void DeleteGroups(const std::string& request_text) {
  PrintPageHeader();
  std::fputs("<TABLE BORDER BGCOLOR=\"#FFFFFF\" WIDTH=\"300\">\n", stdout);
  std::fputs(kGroupDeletedCaption, stdout);
  std::fputs(kGroupDeletedHeading, stdout);
  const AccountGuard guard;
  std::set<std::string> seen;
  ForEachField(request_text, "GNAME",
               [&](const std::string& name) { DeleteOneGroup(name, guard, seen); });
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
