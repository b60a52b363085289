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
void PutTextCell(std::string_view value, std::string_view end) {
  if (value.empty()) {
    Put("<TD><BR></TD>\n");
    return;
  }
  Put("<TD NOWRAP>");
  PutHtml(value);
  Put(end);
}

// One row per account: the list's hot path, written straight into the
// output buffer.
void PrintUserRow(const UserEntry& user, int index, const char* selector,
                  const AccountGuard& guard) {
  Put("<TR><TD>");
  if (selector != nullptr && guard.MayChange(user)) {
    Put("<INPUT TYPE=\"");
    Put(selector);
    Put("\" NAME=\"NAME\" VALUE=\"");
    PutHtml(user.name);
    Put("\">");
  }
  PutUnsigned(static_cast<std::uint64_t>(index));
  Put("</TD>\n<TD>");
  PutHtml(user.name);
  Put("</TD>\n<TD>");
  PutUnsigned(user.uid);
  Put("</TD>\n<TD>");
  PutUnsigned(user.gid);
  Put("(");
  PutHtml(GroupNameOf(user.gid));
  Put(")</TD>\n");
  PutTextCell(user.gecos, "</TD>\n");
  PutTextCell(user.dir, "</TD>\n");
  if (user.shell.empty()) {
    Put("<TD><BR></TD>\n\n");
  } else {
    PutTextCell(user.shell, "</TD></TR>\n\n");
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
