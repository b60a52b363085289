// The user list (DEFAULT, VIEW) and the two selection forms built from it:
// radio buttons for modification (MOD), check boxes for deletion (DEL).
#include <cstdio>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

void PrintHeadingRow() {
  std::fputs(kUserListHeading1, stdout);
  std::fputs(kUserListHeading2, stdout);
  std::fputs(kUserListHeading3, stdout);
  std::fputs(kUserListHeading4, stdout);
}

// An empty cell holds a line break so that the table draws its border.
void PrintTextCell(const std::string& value) {
  if (value.empty()) {
    std::fputs("<TD><BR></TD>\n", stdout);
  } else {
    std::printf("<TD NOWRAP>%s</TD>\n", Html(value).c_str());
  }
}

void PrintUserRow(const UserEntry& user, int index, const char* selector,
                  const AccountGuard& guard) {
  std::fputs("<TR><TD>", stdout);
  if (selector != nullptr && guard.MayChange(user)) {
    std::printf("<INPUT TYPE=\"%s\" NAME=\"%s\" VALUE=\"%s\">", selector, "NAME",
                Html(user.name).c_str());
  }
  std::printf("%d</TD>\n", index);
  std::printf("<TD>%s</TD>\n", Html(user.name).c_str());
  std::printf("<TD>%u</TD>\n", user.uid);
  std::printf("<TD>%u(%s)</TD>\n", user.gid,
              Html(GroupNameOf(user.gid)).c_str());
  PrintTextCell(user.gecos);
  PrintTextCell(user.dir);
  if (user.shell.empty()) {
    std::fputs("<TD><BR></TD>\n\n", stdout);
  } else {
    std::printf("<TD NOWRAP>%s</TD></TR>\n\n", Html(user.shell).c_str());
  }
}

}  // namespace

void PrintUserList(UserListMode mode) {
  const AccountGuard guard;
  const char* selector = nullptr;
  PrintPageHeader();
  switch (mode) {
    case UserListMode::List:
      std::fputs(kUserListOpening, stdout);
      break;
    case UserListMode::SelectForModify:
      PrintFormOpening(false);
      PrintHiddenField("COMMAND", "WILLBEMOD");
      std::fputs(kUserModSelectOpening, stdout);
      selector = "RADIO";
      break;
    case UserListMode::SelectForDelete:
      PrintFormOpening(false);
      PrintHiddenField("COMMAND", "WILLBEDEL");
      std::fputs(kUserDelSelectOpening, stdout);
      selector = "CHECKBOX";
      break;
  }
  int index = 0;
  for (const UserEntry& user : gUserList) {
    if (index % kRowsPerHeading == 0) PrintHeadingRow();
    PrintUserRow(user, index, selector, guard);
    ++index;
  }
  std::fputs("</TABLE>\n<BR>\n", stdout);
  if (mode == UserListMode::SelectForModify) PrintSelectionFormClosing(SelectionAction::Modify);
  if (mode == UserListMode::SelectForDelete) PrintSelectionFormClosing(SelectionAction::Delete);
  PrintPageFooter();
}

}  // namespace orvanta
