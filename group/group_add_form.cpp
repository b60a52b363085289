// GET GADD: the group registration form with its validation scripts.
#include <cstdio>

#include "cgi/cgi.h"
#include "group/group.h"
#include "group/group_texts.h"
#include "page/page.h"

namespace orvanta {

void PrintGroupAddForm() {
  PrintPageHeader();
  PrintGroupAddScripts();
  PrintFormOpening(true);
  PrintHiddenField("COMMAND", "GP_WILLBEADD");
  PrintHiddenField("SYSTEM_GID", Setting("SYSTEMGID"));
  std::fputs("<TABLE>\n", stdout);
  std::fputs(kGroupAddCaption, stdout);
  std::fputs(kGroupAddNameLabel, stdout);
  std::printf("<TD><INPUT TYPE=\"TEXT\"   NAME=\"%s\" SIZE=\"15\" MAXLENGTH=\"10\" ></TD>\n",
              "GNAME");
  std::fputs(kGroupAddGidLabel, stdout);
  std::printf(
      "<TD><INPUT TYPE=\"TEXT\"   NAME=\"%s\"  SIZE=\"15\" MAXLENGTH=\"10\"></TD></TR>\n", "GID");
  PrintButtonRow(4, kGroupAddButton, false);
  std::fputs("</TABLE>\n</FORM>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
