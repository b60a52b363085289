// The user list (DEFAULT, VIEW) and the selection forms built from it:
// radio buttons for modification (MOD) and password ageing (AGE), check
// boxes for deletion (DEL); with LIST_PAGE_SIZE a page of the accounts that
// pass the list's filter. The ageing list adds the last login and the
// search UNUSED.
#include <cstdio>
#include <optional>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/age_texts.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

void PrintHeadingRow(RowWriter& out, const LastLoginColumn* last_login) {
  for (const char* piece : {kUserListHeading1, kUserListHeading2, kUserListHeading3}) {
    out.Put(piece);
  }
  if (last_login == nullptr) {
    out.Put(kUserListHeading4);
    return;
  }
  out.Put(kUserListShellHeading);
  last_login->PutHeading(out);
  out.Put("</TR>\n\n");
}

// The GET command whose page the mode writes: what the search form and
// the page links ask for.
const char* CommandOf(UserListMode mode) {
  switch (mode) {
    case UserListMode::SelectForModify:
      return "MOD";
    case UserListMode::SelectForDelete:
      return "DEL";
    case UserListMode::SelectForAge:
      return "AGE";
    case UserListMode::List:
      break;
  }
  return "VIEW";
}

// One row per account shown (`position` among them): the list's hot path,
// escaped straight into the writer's buffer.
void PrintUserRow(RowWriter& out, const UserTable& users, size_t index, size_t position,
                  const char* selector, const AccountGuard& guard, const GroupTables& groups,
                  const LastLoginColumn* last_login) {
  const UserTable::Row user = users[index];
  out.Put("<TR><TD>");
  if (selector != nullptr && !users.IsRepeatedName(index) &&
      guard.MayChange(user.name, user.uid, user.gid, user.dir)) {
    out.PutInput(selector, "NAME", user.name);
  }
  out.PutUnsigned(position);
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
  if (last_login == nullptr) {
    out.PutTextCell(user.shell, "</TD></TR>\n\n", "<TD><BR></TD>\n\n");
    return;
  }
  out.PutTextCell(user.shell, "</TD>\n", "<TD><BR></TD>\n");
  last_login->PutCell(out, user.name);
  out.Put("</TR>\n\n");
}

// The accounts of one page: cut out of the snapshot's accounts that pass
// the filter, or, in uid order, as the store's server sorted and cut them
// out (then only the page's accounts are read).
class UserPage {
 public:
  UserPage(const ListFilter& filter, std::optional<long> unused_days) {
    if (!unused_days && ReadServed(filter)) return;
    indexes_ = ShownUsers(AllUsers(), filter);
    if (unused_days) {
      indexes_ = UnusedAccounts(AllUsers(), indexes_, *unused_days, Accounts().LockStates());
    }
    window_ = WindowOf(indexes_.size(), ListPageSize(), Param("FROM"));
    offset_ = window_.first;
  }
  const UserTable& table() const { return served_ ? *served_ : AllUsers(); }
  const PageWindow& window() const { return window_; }
  // The table's index of the page's row-th account.
  std::uint32_t IndexAt(size_t row) const { return indexes_[offset_ + row]; }
  std::vector<std::uint32_t> Indexes() const {
    const auto first = indexes_.begin() + static_cast<std::ptrdiff_t>(offset_);
    return {first, first + static_cast<std::ptrdiff_t>(window_.count)};
  }

 private:
  bool ReadServed(const ListFilter& filter) {
    // The server sorts by uid only.
    if (Setting("SORT") != "SORT_BY_UID") return false;
    const std::optional<PageWindow> window = ReadServedPage(
        filter.ServerQuery(false), [&](const ListPageQuery& query) { return ReadServedRows(query); });
    if (!window) return false;
    window_ = *window;
    for (std::uint32_t row = 0; row < served_->size(); ++row) indexes_.push_back(row);
    return true;
  }
  std::optional<ServedRows> ReadServedRows(const ListPageQuery& query) {
    UserTable& rows = served_.emplace();
    const std::optional<size_t> total = Accounts().ReadListPage(
        query,
        [&](std::string_view name, std::uint32_t uid, std::uint32_t gid, std::string_view gecos,
            std::string_view dir, std::string_view shell) {
          rows.Add(name, uid, gid, gecos, dir, shell);
        },
        nullptr);
    if (!total) {
      served_.reset();
      return std::nullopt;
    }
    return ServedRows{*total, served_->size()};
  }

  std::optional<UserTable> served_;
  std::vector<std::uint32_t> indexes_;
  PageWindow window_;
  size_t offset_ = 0;
};

}  // namespace

void PrintUserList(UserListMode mode) {
  ListFilter filter;
  if (!ListShowsEveryAccount(mode)) filter.OwnedOnly();
  const bool ageing = mode == UserListMode::SelectForAge;
  const UserPage page(filter, ageing ? UnusedDays() : std::nullopt);
  const UserTable& users = page.table();
  const PageWindow& window = page.window();
  const GroupTables& groups = AllGroups();
  const AccountGuard guard;
  std::optional<LastLoginColumn> last_login;
  if (ageing && Accounts().KeepsLastLogins()) last_login.emplace(users, page.Indexes());
  const LastLoginColumn* column = last_login ? &*last_login : nullptr;
  const ListQuery query{CommandOf(mode), nullptr, filter.find(),
                        column != nullptr ? &Param("UNUSED") : nullptr};
  const char* selector = nullptr;
  PrintPageHeader();
  PrintFindForm(query, window);
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
    RowWriter out;
    for (size_t row = 0; row < window.count; ++row) {
      users.Prefetch(page.IndexAt(row));
      if (row % kRowsPerHeading == 0) PrintHeadingRow(out, column);
      PrintUserRow(out, users, page.IndexAt(row), window.first + row, selector, guard, groups,
                   column);
    }
  }
  std::fputs("</TABLE>\n<BR>\n", stdout);
  PrintPageLinks(query, window);
  if (mode == UserListMode::List) PrintCsvLink("VIEWCSV", FindQuery(filter.find()));
  if (mode == UserListMode::SelectForModify || mode == UserListMode::SelectForAge) {
    PrintSelectionFormClosing(SelectionAction::Modify);
  }
  if (mode == UserListMode::SelectForAge) PrintCsvLink("AGECSV", FindQuery(filter.find()));
  if (mode == UserListMode::SelectForDelete) {
    PrintHomeChoices();
    PrintSelectionFormClosing(SelectionAction::Delete);
    PrintSelectAllForm("DELALL");
  }
  PrintPageFooter();
}

}  // namespace orvanta
