// POST GP_WILLBEADD: creates a group in the store of this run after
// refusing a name or gid the snapshot already holds.
#include <cstdio>

#include "cgi/cgi.h"
#include "group/group.h"
#include "group/group_texts.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/user.h"

namespace orvanta {

void CheckGroupNameFree() {
  const std::string& name = Param("GNAME");
  if (AllGroups().by_name.count(name) == 0) return;
  RefuseTakenGroupName(name);
}

void RefuseTakenGroupName(const std::string& name) {
  ThrowMessage(FormatText(kGroupNameTakenFormat, Html(name).c_str()));
}

void CheckGroupIdFree() {
  const std::string& text = Param("GID");
  if (text.empty()) return;
  // Read as the id rule read it: the gid groupadd is given.
  const std::optional<std::uint32_t> gid = ParseId(text);
  if (!gid || AllGroups().by_gid.count(*gid) == 0) return;
  ThrowMessage(FormatText(kGroupIdTakenFormat, *gid));
}

std::string UntrustedGroupProblem(std::string_view name) {
  if (IsTrustedStoredName(name)) return "";
  return FormatText(kUntrustedGroupFormat, Html(name).c_str());
}

bool IsChangeableGroup(const GroupEntry& group, const AccountGuard& guard) {
  return IsAboveSystemIds(group.gid, IdThreshold("SYSTEMGID")) && IsTrustedStoredName(group.name) &&
         AllGroups().repeated_names.count(group.name) == 0 && !guard.ProtectsGroup(group.gid);
}

void RegisterGroup() {
  // Without a configured tool the line would start with the request's values.
  if (Accounts().LacksTool("GROUPADD")) throw ErrorCode{kErrorGroupAddFailed};
  const std::string& requested = Param("GNAME");
  if (!CurrentScope().OwnsGroupName(requested)) RefuseByScope(requested);
  for (const std::string& problem :
       {GroupNameProblem(requested),
        IdProblem(Param("GID"), IdThreshold("SYSTEMGID"), IdKind::Group),
        IsProtectedGroupName(requested) ? GroupRefusedProblem(requested) : std::string(),
        HostGidProblem(Param("GID"))}) {
    if (!problem.empty()) ThrowMessage(problem);
  }
  CheckGroupNameFree();
  CheckGroupIdFree();
  const std::string name = Param("GNAME");
  const std::string gid = Param("GID");
  // The tool would read such a name as an option, not as a group.
  if (!name.empty() && name.front() == '-') throw ErrorCode{kErrorGroupAddFailed};
  const StoreResult result = Accounts().AddGroup(name, gid);
  if (result == StoreResult::NameTaken) RefuseTakenGroupName(name);
  if (result != StoreResult::Done) throw ErrorCode{kErrorGroupAddFailed};

  PrintPageHeader();
  std::fputs(kGroupRegisteredCaption, stdout);
  std::fputs("<TR BGCOLOR=\"#D0D0FF\">\n", stdout);
  std::fputs(kGroupHeadingName, stdout);
  std::fputs(kGroupHeadingGid, stdout);
  std::fputs("<TR BGCOLOR=\"#FFFFFF\">\n", stdout);
  std::printf("<TD NOWRAP>%s</TD>\n", Html(name).c_str());
  if (gid.empty()) {
    std::fputs("<TD NOWRAP><BR></TD>\n", stdout);
  } else {
    std::printf("<TD NOWRAP>%s</TD>\n", Html(gid).c_str());
  }
  std::fputs("</TABLE>\n<BR>\n", stdout);
  PrintPageFooter();
  WriteOperationLog(name);
}

}  // namespace orvanta
