// The user list (DEFAULT, VIEW) and the selection forms built from it:
// radio buttons for modification (MOD) and password ageing (AGE), check
// boxes for deletion (DEL).
#include <cstdio>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/age_texts.h"
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
void PrintUserRow(RowWriter& out, const UserTable& users, size_t index, size_t shown,
                  const char* selector, const AccountGuard& guard, const GroupTables& groups) {
  const UserTable::Row user = users[index];
  out.Put("<TR><TD>");
  if (selector != nullptr && !users.IsRepeatedName(index) &&
      guard.MayChange(user.name, user.uid, user.gid)) {
    out.PutInput(selector, "NAME", user.name);
  }
  out.PutUnsigned(shown);
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
    case UserListMode::SelectForAge:
      PrintFormOpening(false);
      PrintHiddenField("COMMAND", "WILLBEAGED");
      std::fputs(kUserAgeSelectOpening, stdout);
      selector = "RADIO";
      break;
  }
  {
    const OperatorScope& scope = CurrentScope();
    RowWriter out;
    size_t shown = 0;
    for (size_t index = 0; index < users.size(); ++index) {
      users.Prefetch(index);
      const UserTable::Row row = users[index];
      if (!ListShowsUser(scope, mode, row.uid, row.gid)) continue;
      if (shown % kRowsPerHeading == 0) PrintHeadingRow(out);
      PrintUserRow(out, users, index, shown++, selector, guard, groups);
    }
  }
  std::fputs("</TABLE>\n<BR>\n", stdout);
  if (mode == UserListMode::SelectForModify || mode == UserListMode::SelectForAge) {
    PrintSelectionFormClosing(SelectionAction::Modify);
  }
  if (mode == UserListMode::SelectForDelete) {
    PrintHomeChoices();
    PrintSelectionFormClosing(SelectionAction::Delete);
  }
  PrintPageFooter();
}

}  // namespace orvanta
