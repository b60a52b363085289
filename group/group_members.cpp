// GET GMEM: the groups whose members may be changed, and for one of them
// (GNAME) its members and the accounts above SYSTEMUID that are not, each
// with a check box when GP_TOBEMEM would act on it. With LIST_PAGE_SIZE the
// accounts that are not members come a page at a time; the members stay
// whole.
#include <cstdio>
#include <map>

#include "cgi/cgi.h"
#include "group/group.h"
#include "group/members_texts.h"
#include "page/page.h"
#include "user/user.h"

namespace orvanta {

namespace {

// A member's account: the first row of its name, and how many the database
// yields (a member without an account has none).
struct MemberAccount {
  size_t index = 0;
  int entries = 0;
};
using MemberAccounts = std::map<std::string_view, MemberAccount, std::less<>>;

void PrintGroupSelector() {
  std::printf("<FORM ACTION=\"./%s\" METHOD=\"GET\">\n", kCgiName);
  PrintHiddenField("COMMAND", "GMEM");
  std::fputs(kMembersSelectOpening, stdout);
  PrintSelectOpening("GNAME");
  const AccountGuard guard;
  for (const auto& [name, group] : AllGroups().by_name) {
    if (IsMembershipChangeable(group, guard) && CurrentScope().OwnsGroupName(name)) {
      PrintOption(name, false);
    }
  }
  PrintSelectClosing();
  PrintButtonRow(2, kMembersShowButton, false);
  std::fputs("</TABLE>\n</FORM>\n", stdout);
}

// One row: the check box (field "ADDNAME" or "DELNAME") or an empty cell,
// the name, and the account's uid and comment when there is one.
void PutAccountRow(RowWriter& out, std::string_view name, const char* field,
                   const UserTable::Row* account) {
  out.Put("<TR><TD>");
  if (field != nullptr) {
    out.PutInput("CHECKBOX", field, name);
  } else {
    out.Put("<BR>");
  }
  out.Put("</TD>\n<TD>");
  out.PutHtml(name);
  out.Put("</TD>\n");
  if (account == nullptr) {
    out.Put("<TD><BR></TD>\n<TD><BR></TD></TR>\n\n");
    return;
  }
  out.Put("<TD>");
  out.PutUnsigned(account->uid);
  out.Put("</TD>\n");
  out.PutTextCell(account->gecos, "</TD></TR>\n\n", "<TD><BR></TD></TR>\n\n");
}

MemberAccounts FindMemberAccounts(const GroupEntry& group, const UserTable& users) {
  MemberAccounts members;
  for (const std::string& member : group.members) members.emplace(member, MemberAccount{});
  for (size_t index = 0; index < users.size(); ++index) {
    users.Prefetch(index);
    const auto found = members.find(users[index].name);
    if (found == members.end()) continue;
    if (found->second.entries++ == 0) found->second.index = index;
  }
  return members;
}

// The lists repeat their heading above every block of kRowsPerHeading rows.
void PutHeadingIfDue(RowWriter& out, int& shown, const char* first_cell) {
  if (shown++ % kRowsPerHeading != 0) return;
  out.Put(first_cell);
  out.Put(kMembersHeadingRest);
}

void PrintMembers(const GroupEntry& group, const MemberAccounts& accounts, bool changeable,
                  const AccountGuard& guard) {
  const UserTable& users = AllUsers();
  const OperatorScope& scope = CurrentScope();
  RowWriter out;
  int shown = 0;
  for (const std::string& member : group.members) {
    PutHeadingIfDue(out, shown, kMembersHeadingRemove);
    const MemberAccount& account = accounts.find(member)->second;
    if (account.entries == 0) {
      PutAccountRow(out, member, nullptr, nullptr);
      continue;
    }
    const UserTable::Row row = users[account.index];
    const bool may = changeable && account.entries == 1 &&
                     guard.MayChange(row.name, row.uid, row.gid, row.dir) &&
                     scope.OwnsAccount(row.uid, row.gid);
    PutAccountRow(out, member, may ? "DELNAME" : nullptr, &row);
  }
}

void PrintNonMembers(const std::vector<std::uint32_t>& shown, const PageWindow& window,
                     bool changeable, const AccountGuard& guard) {
  const UserTable& users = AllUsers();
  RowWriter out;
  int headed = 0;
  for (size_t row = 0; row < window.count; ++row) {
    const size_t index = shown[window.first + row];
    users.Prefetch(index);
    const UserTable::Row account = users[index];
    PutHeadingIfDue(out, headed, kMembersHeadingAdd);
    const bool may = changeable && !users.IsRepeatedName(index) &&
                     guard.MayChange(account.name, account.uid, account.gid, account.dir);
    PutAccountRow(out, account.name, may ? "ADDNAME" : nullptr, &account);
  }
}

void PrintGroup(const GroupEntry& group) {
  const AccountGuard guard;
  const bool changeable = IsMembershipChangeable(group, guard);
  const MemberAccounts members = FindMemberAccounts(group, AllUsers());
  ListFilter filter;
  const std::vector<std::uint32_t> shown =
      ShownUsers(AllUsers(), filter.AboveSystemIdsOnly().OwnedOnly(),
                 [&](const UserTable::Row& account) { return members.count(account.name) == 0; });
  const PageWindow window = WindowOf(shown.size(), ListPageSize(), Param("FROM"));
  const ListQuery query{"GMEM", &group.name, filter.find()};
  PrintPageHeader();
  PrintFindForm(query, window);
  if (changeable) {
    PrintFormOpening(false);
    PrintHiddenField("COMMAND", "GP_TOBEMEM");
    PrintHiddenField("GNAME", group.name);
  }
  std::printf(kMembersCaptionFormat, Html(group.name).c_str());
  PrintMembers(group, members, changeable, guard);
  std::fputs("</TABLE>\n<BR>\n", stdout);
  std::fputs(kNonMembersCaption, stdout);
  PrintNonMembers(shown, window, changeable, guard);
  std::fputs("</TABLE>\n<BR>\n", stdout);
  PrintPageLinks(query, window);
  if (changeable) PrintSelectionFormClosing(SelectionAction::Modify);
  PrintPageFooter();
}

}  // namespace

void PrintGroupMembers() {
  const std::string& name = Param("GNAME");
  if (name.empty()) {
    PrintPageHeader();
    PrintGroupSelector();
    PrintPageFooter();
    return;
  }
  if (!CurrentScope().OwnsGroupName(name)) RefuseByScope(name);
  const auto& by_name = AllGroups().by_name;
  const auto found = by_name.find(name);
  if (found == by_name.end()) ThrowMessage(GroupMissingProblem(name));
  PrintGroup(found->second);
}

}  // namespace orvanta
