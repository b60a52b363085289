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
void PrintUserRow(const UserTable& users, size_t index, const char* selector,
                  const AccountGuard& guard, const GroupTables& groups) {
  const UserTable::Row user = users[index];
  Put("<TR><TD>");
  if (selector != nullptr && !users.IsRepeatedName(index) &&
      guard.MayChange(user.name, user.uid, user.gid)) {
    Put("<INPUT TYPE=\"");
    Put(selector);
    Put("\" NAME=\"NAME\" VALUE=\"");
    PutHtml(user.name);
    Put("\">");
  }
  PutUnsigned(index);
  Put("</TD>\n<TD>");
  PutHtml(user.name);
  Put("</TD>\n<TD>");
  PutUnsigned(user.uid);
  Put("</TD>\n<TD>");
  PutUnsigned(user.gid);
  Put("(");
  PutHtml(groups.NameOf(user.gid));
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
  const UserTable& users = AllUsers();
  const GroupTables& groups = AllGroups();
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
  for (size_t index = 0; index < users.size(); ++index) {
    if (index % kRowsPerHeading == 0) PrintHeadingRow();
    PrintUserRow(users, index, selector, guard, groups);
  }
  std::fputs("</TABLE>\n<BR>\n", stdout);
  if (mode == UserListMode::SelectForModify) PrintSelectionFormClosing(SelectionAction::Modify);
  if (mode == UserListMode::SelectForDelete) PrintSelectionFormClosing(SelectionAction::Delete);
  PrintPageFooter();
}

}  // namespace orvanta
