// GET GVIEW and GDEL: the group list in gid order, and the deletion form
// built from it with a check box for every group above SYSTEMGID that is
// not protected.
#include <cstdio>

#include "cgi/cgi.h"
#include "group/group.h"
#include "group/group_texts.h"
#include "page/page.h"
#include "user/user.h"

namespace orvanta {

bool ListShowsGroup(const OperatorScope& scope, GroupListMode mode, const GroupEntry& group) {
  return (mode == GroupListMode::List && scope.MayDo(Action::View)) ||
         scope.OwnsGroupName(group.name);
}

void PrintGroupList(GroupListMode mode) {
  const bool selecting = mode == GroupListMode::SelectForDelete;
  PrintPageHeader();
  if (selecting) {
    PrintFormOpening(false);
    PrintHiddenField("COMMAND", "GP_WILLBEDEL");
    std::fputs(kGroupDelSelectOpening, stdout);
  } else {
    std::fputs(kGroupListOpening, stdout);
  }
  const AccountGuard guard;
  const OperatorScope& scope = CurrentScope();
  int index = 0;
  for (const auto& [gid, group] : AllGroups().by_gid) {
    if (!ListShowsGroup(scope, mode, group)) continue;
    if (index % kRowsPerHeading == 0) {
      std::fputs(kGroupListHeading1, stdout);
      std::fputs(kGroupHeadingName, stdout);
      std::fputs(kGroupHeadingGid, stdout);
    }
    std::fputs("<TR><TD>", stdout);
    const std::string shown = Html(group.name);
    if (selecting && IsChangeableGroup(group, guard)) {
      std::printf("<INPUT TYPE=\"%s\" NAME=\"%s\" VALUE=\"%s\">", "CHECKBOX", "GNAME",
                  shown.c_str());
    }
    std::printf("%d</TD>\n", index);
    std::printf("<TD>%s</TD>\n", shown.c_str());
    std::printf("<TD>%u</TD>\n", gid);
    ++index;
  }
  std::fputs("</TABLE>\n<BR>\n", stdout);
  if (selecting) PrintSelectionFormClosing(SelectionAction::Delete);
  PrintPageFooter();
}

}  // namespace orvanta
