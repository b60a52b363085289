// POST GP_WILLBEDEL: removes every ticked group above SYSTEMGID, one result
// row per posted GNAME, in request order.
#include <cstdio>
#include <set>

#include "cgi/cgi.h"
#include "group/group.h"
#include "group/group_texts.h"
#include "hosttools/hosttools.h"
#include "ldap/ldap.h"
#include "oplog/oplog.h"
#include "page/page.h"

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

void DeleteOneGroup(const std::string& name, std::set<std::string>& seen) {
  const std::string shown = Html(name);
  // A name that is not a group of the snapshot is refused like a system
  // group, so only real group names reach the tool.
  const auto& by_name = AllGroups().by_name;
  const auto found = by_name.find(name);
  if (found == by_name.end() || !IsChangeableGroup(found->second)) {
    std::printf(kGroupDeleteRefusedRow, shown.c_str());
    return;
  }
  // A name posted again was dealt with by its first row; without a tool
  // setting the line would start with the name.
  const bool first = seen.insert(name).second;
  if (first && UsesDirectory()) return DeleteFromDirectory(name, shown);
  if (first && !Setting("GROUPDEL").empty() &&
      RunCommandLine(Setting("GROUPDEL") + " " + ShellWord(name)) == 0) {
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
  std::set<std::string> seen;
  ForEachField(request_text, "GNAME",
               [&](const std::string& name) { DeleteOneGroup(name, seen); });
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
