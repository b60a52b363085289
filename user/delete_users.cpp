// POST WILLBEDEL: removes every ticked account above SYSTEMUID, one result
// row per posted NAME, in request order.
#include <cstdio>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

void DeleteOneUser(const std::string& name) {
  const std::string shown = Html(name);
  // A name that is not an account of the snapshot is refused like a system
  // account: nothing but real account names reaches the tool.
  if (!IsChangeableUser(name)) {
    std::printf(kDeleteRefusedRow, shown.c_str());
    return;
  }
  if (RunCommandLine(Param("USERDEL") + " -r " + ShellWord(name)) == 0) {
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
  ForEachField(request_text, "NAME", DeleteOneUser);
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
