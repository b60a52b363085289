// The user list (DEFAULT, VIEW) and the two selection forms built from it:
// radio buttons for modification (MOD), check boxes for deletion (DEL).
#include <cstdio>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

void PrintHeadingRow(RowWriter& out) {
  for (const char* piece : {kUserListHeading1, kUserListHeading2, kUserListHeading3,
                            kUserListHeading4}) {
    out.Put(piece);
  }
}

// One row per account: the list's hot path, escaped straight into the
// writer's buffer.
void PrintUserRow(RowWriter& out, const UserTable& users, size_t index, const char* selector,
                  const AccountGuard& guard, const GroupTables& groups) {
  const UserTable::Row user = users[index];
  out.Put("<TR><TD>");
  if (selector != nullptr && !users.IsRepeatedName(index) &&
      guard.MayChange(user.name, user.uid, user.gid)) {
    out.PutInput(selector, "NAME", user.name);
  }
  out.PutUnsigned(index);
  out.Put("</TD>\n<TD>");
  out.PutHtml(user.name);
  out.Put("</TD>\n<TD>");
  out.PutUnsigned(user.uid);
  out.Put("</TD>\n<TD>");
  out.PutUnsigned(user.gid);
  out.Put("(");
  out.PutHtml(groups.NameOf(user.gid));
  out.Put(")</TD>\n");
  out.PutTextCell(user.gecos, "</TD>\n", "<TD><BR></TD>\n");
  out.PutTextCell(user.dir, "</TD>\n", "<TD><BR></TD>\n");
  out.PutTextCell(user.shell, "</TD></TR>\n\n", "<TD><BR></TD>\n\n");
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
  {
    RowWriter out;
    for (size_t index = 0; index < users.size(); ++index) {
      users.Prefetch(index);
      if (index % kRowsPerHeading == 0) PrintHeadingRow(out);
      PrintUserRow(out, users, index, selector, guard, groups);
    }
  }
  std::fputs("</TABLE>\n<BR>\n", stdout);
  if (mode == UserListMode::SelectForModify) PrintSelectionFormClosing(SelectionAction::Modify);
  if (mode == UserListMode::SelectForDelete) {
    PrintHomeChoices();
    PrintSelectionFormClosing(SelectionAction::Delete);
  }
  PrintPageFooter();
}

}  // namespace orvanta
