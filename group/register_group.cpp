// POST GP_WILLBEADD: creates a group with the configured group-adding tool
// after refusing a name or gid the snapshot already holds.
#include <cstdio>

#include "cgi/cgi.h"
#include "group/group.h"
#include "group/group_texts.h"
#include "hosttools/hosttools.h"
#include "oplog/oplog.h"
#include "page/page.h"

namespace orvanta {

void CheckGroupNameFree() {
  const std::string& name = Param("GNAME");
  if (gGroupByName.find(name) == gGroupByName.end()) return;
  gErrorMessage = FormatText(kGroupNameTakenFormat, Html(name).c_str());
  throw ErrorCode{kErrorMessageInGlobal};
}

void CheckGroupIdFree() {
  const std::string& text = Param("GID");
  if (text.empty()) return;
  const int gid = AtoiLike(text);
  if (gGroupByGid.find(static_cast<std::uint32_t>(gid)) == gGroupByGid.end()) return;
  gErrorMessage = FormatText(kGroupIdTakenFormat, gid);
  throw ErrorCode{kErrorMessageInGlobal};
}

void RegisterGroup() {
  CheckGroupNameFree();
  CheckGroupIdFree();
  const std::string name = Param("GNAME");
  const std::string gid = Param("GID");
  // The tool would read such a name as an option, not as a group.
  if (!name.empty() && name.front() == '-') throw ErrorCode{kErrorGroupAddFailed};
  std::string line = Param("GROUPADD") + " ";
  if (!gid.empty()) line += " -g " + ShellWord(gid);
  line += " " + ShellWord(name);
  if (RunCommandLine(line) != 0) throw ErrorCode{kErrorGroupAddFailed};

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
