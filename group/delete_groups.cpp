// POST GP_WILLBEDEL: removes every ticked group above SYSTEMGID, one result
// row per posted GNAME, in request order.
#include <cstdio>

#include "cgi/cgi.h"
#include "group/group.h"
#include "group/group_texts.h"
#include "hosttools/hosttools.h"
#include "oplog/oplog.h"
#include "page/page.h"

namespace orvanta {

namespace {

void DeleteOneGroup(const std::string& name) {
  const std::string shown = Html(name);
  // A name that is not a group of the snapshot is refused like a system
  // group, so only real group names reach the tool.
  const auto found = gGroupByName.find(name);
  if (found == gGroupByName.end() || found->second.gid <= IdThreshold("SYSTEMGID")) {
    std::printf(kGroupDeleteRefusedRow, shown.c_str());
    return;
  }
  if (RunCommandLine(Param("GROUPDEL") + " " + ShellWord(name)) == 0) {
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
  ForEachField(request_text, "GNAME", DeleteOneGroup);
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
