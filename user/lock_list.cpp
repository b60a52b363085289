// GET LOCK: the accounts above SYSTEMUID with their last login, their lock
// state and expiry date as the store reads them, and a check box for each
// that TOBELOCK would act on: LOCK stays offered for a lock of the '!'
// alone. UNUSED narrows the list to the accounts not used for that many
// days.
#include <cstdio>
#include <string>

#include "cgi/cgi.h"
#include "page/forms_texts.h"
#include "page/page.h"
#include "user/lock_texts.h"
#include "user/user.h"

namespace orvanta {

namespace {

const char* StateText(LockState state) {
  switch (state) {
    case LockState::Locked:
      return kLockStateLocked;
    case LockState::PasswordOnly:
      return kLockStatePasswordOnly;
    case LockState::Open:
      return kLockStateOpen;
    case LockState::Unknown:
      break;
  }
  return kLockStateUnknown;
}

// The state, and beside it the account's own expiry date when it has one.
void PutStateText(RowWriter& out, const LockSummary& summary) {
  out.Put(kLockStateCellOpening);
  out.Put(StateText(summary.state));
  if (summary.expire_days >= 0) {
    out.Put(kLockExpiryBefore);
    out.Put(DateOfDays(summary.expire_days));
    out.Put(kLockExpiryAfter);
  }
  out.Put(kLockStateCellClosing);
}

void PutLockRow(RowWriter& out, const UserTable::Row& user, size_t shown, bool selectable,
                const LockSummary& summary, const LastLoginColumn& last_login) {
  out.Put("<TR><TD>");
  if (selectable) {
    out.PutInput("CHECKBOX", "NAME", user.name);
  }
  out.PutUnsigned(shown);
  out.Put("</TD>\n<TD>");
  out.PutHtml(user.name);
  out.Put("</TD>\n<TD>");
  out.PutUnsigned(user.uid);
  out.Put("</TD>\n");
  out.PutTextCell(user.gecos, "</TD>\n", "<TD><BR></TD>\n");
  last_login.PutCell(out, user.name);
  PutStateText(out, summary);
}

void PrintLockRows(const std::vector<std::uint32_t>& shown, const PageWindow& window,
                   const std::map<std::string, LockSummary, std::less<>>& states) {
  const UserTable& users = AllUsers();
  const AccountGuard guard;
  const LastLoginColumn last_login(
      users, {shown.begin() + static_cast<std::ptrdiff_t>(window.first),
              shown.begin() + static_cast<std::ptrdiff_t>(window.first + window.count)});
  RowWriter out;
  for (size_t row = 0; row < window.count; ++row) {
    const size_t position = window.first + row;
    const size_t index = shown[position];
    users.Prefetch(index);
    const UserTable::Row user = users[index];
    if (row % kRowsPerHeading == 0) {
      out.Put(kLockListHeading);
      last_login.PutHeading(out);
      out.Put(kLockListStateHeading);
    }
    const auto found = states.find(user.name);
    const LockSummary summary = found == states.end() ? LockSummary{} : found->second;
    const bool selectable = summary.state != LockState::Unknown && !users.IsRepeatedName(index) &&
                            guard.MayChange(user.name, user.uid, user.gid, user.dir);
    PutLockRow(out, user, position, selectable, summary, last_login);
  }
}

}  // namespace

void PrintLockList() {
  ListFilter filter;
  std::vector<std::uint32_t> shown = ShownUsers(AllUsers(), filter.AboveSystemIdsOnly().OwnedOnly());
  const auto states = Accounts().LockStates();
  if (const std::optional<long> days = UnusedDays()) {
    shown = UnusedAccounts(AllUsers(), shown, *days, states);
  }
  const PageWindow window = WindowOf(shown.size(), ListPageSize(), Param("FROM"));
  const ListQuery query{"LOCK", nullptr, filter.find(),
                        Accounts().KeepsLastLogins() ? &Param("UNUSED") : nullptr};
  PrintPageHeader();
  PrintFindForm(query, window);
  PrintFormOpening(false);
  PrintHiddenField("COMMAND", "TOBELOCK");
  std::fputs(kLockListOpening, stdout);
  PrintLockRows(shown, window, states);
  std::fputs("</TABLE>\n<BR>\n", stdout);
  PrintPageLinks(query, window);
  std::fputs(kLockButtons, stdout);
  std::fputs(kResetButton, stdout);
  std::fputs("</FORM>", stdout);
  PrintSelectAllForm("LOCKALL");
  PrintCsvLink("LOCKCSV", FindQuery(filter.find()));
  PrintPageFooter();
}

}  // namespace orvanta
