// POST GP_WILLBEDEL: removes every ticked group above SYSTEMGID that is not
// protected, one result row per posted GNAME, in request order.
#include <cstdio>
#include <set>

#include "cgi/cgi.h"
#include "group/group.h"
#include "group/group_texts.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/user.h"

namespace orvanta {

namespace {

void DeleteFromStore(const std::string& name, const std::string& shown) {
  const StoreResult result = Accounts().DeleteGroup(name);
  if (result == StoreResult::Done) {
    std::printf(kGroupDeleteDoneRow, shown.c_str());
    WriteOperationLog(name);
  } else {
    std::printf(result == StoreResult::Refused ? kGroupDeleteRefusedRow : kGroupDeleteFailedRow,
                shown.c_str());
  }
}

void DeleteOneGroup(const std::string& name, const AccountGuard& guard,
                    std::set<std::string>& seen) {
  const std::string shown = Html(name);
  // A name that is not a group of the snapshot is refused like a system
  // group, so only real group names reach the tool.
  const auto& by_name = AllGroups().by_name;
  const auto found = by_name.find(name);
  // A group the program cannot trust is shown, never acted on.
  if (found != by_name.end()) {
    if (const std::string problem = UntrustedGroupProblem(name); !problem.empty()) {
      std::printf(kGroupDeleteProblemRow, shown.c_str(), problem.c_str());
      return;
    }
  }
  if (found == by_name.end() || !IsChangeableGroup(found->second, guard)) {
    std::printf(kGroupDeleteRefusedRow, shown.c_str());
    return;
  }
  // A name posted again was dealt with by its first row.
  if (seen.insert(name).second) {
    DeleteFromStore(name, shown);
  } else {
    std::printf(kGroupDeleteFailedRow, shown.c_str());
  }
}

}  // namespace

void DeleteGroups(const std::string& request_text) {
  ForEachField(request_text, "GNAME", [](const std::string& name) {
    if (!CurrentScope().OwnsGroupName(name)) RefuseByScope(name);
  });
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
