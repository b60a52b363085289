// Changes to a selection: every account of the lock or deletion list that
// matches the search, not only the ticked rows of one page. A confirmation
// page shows how many and the first of them and carries their names; the
// actions then take each name again under the change lock and act only on
// those that still match, are still the operator's and may be changed.
// The lock list's UNUSED is part of the search: carried on, and checked
// again for each account.
#include <cstdio>
#include <string>
#include <vector>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/last_login_texts.h"
#include "user/lock_texts.h"
#include "user/user.h"

namespace orvanta {

namespace {

constexpr size_t kMaxSelected = 10000;
constexpr size_t kPreviewRows = 20;

ListFilter SelectionFilter() {
  ListFilter filter;
  filter.AboveSystemIdsOnly().OwnedOnly();
  return filter;
}

// The accounts the list shows for the search that the actions may change.
std::vector<std::uint32_t> SelectedAccounts() {
  const AccountGuard guard;
  const std::vector<std::uint32_t> shown =
      ShownUsers(AllUsers(), SelectionFilter(), [&](const UserTable::Row& user) {
        return guard.MayChange(user.name, user.uid, user.gid, user.dir);
      });
  const std::optional<long> days = UnusedDays();
  return days ? UnusedAccounts(AllUsers(), shown, *days, Accounts().LockStates()) : shown;
}

void PrintUnusedField() {
  if (!Param("UNUSED").empty()) PrintHiddenField("UNUSED", Param("UNUSED"));
}

void PrintPreview(const std::vector<std::uint32_t>& selected) {
  const UserTable& users = AllUsers();
  std::fputs(kSelectionHeading, stdout);
  RowWriter out;
  for (size_t row = 0; row < selected.size() && row < kPreviewRows; ++row) {
    const UserTable::Row user = users[selected[row]];
    out.Put("<TR><TD>");
    out.PutHtml(user.name);
    out.Put("</TD><TD>");
    out.PutUnsigned(user.uid);
    out.Put("</TD>");
    out.PutTextCell(user.gecos, "</TD></TR>\n", "<TD><BR></TD></TR>\n");
  }
  out.Put("</TABLE>\n");
}

void PrintCarriedNames(const std::vector<std::uint32_t>& selected) {
  const UserTable& users = AllUsers();
  RowWriter out;
  for (const std::uint32_t index : selected) {
    out.PutInput("HIDDEN", "NAME", users[index].name);
    out.Put("\n");
  }
}

}  // namespace

void PrintSelectAllForm(const char* command) {
  if (ListPageSize() == 0) return;
  const size_t count = SelectedAccounts().size();
  if (count == 0) return;
  std::printf("<FORM ACTION=\"./%s\" METHOD=\"GET\">\n", kCgiName);
  PrintHiddenField("COMMAND", command);
  PrintHiddenField("FIND", SelectionFilter().find());
  PrintUnusedField();
  std::printf(kSelectAllFormat, count);
}

void PrintSelectionConfirmation(bool deletion) {
  const std::vector<std::uint32_t> selected = SelectedAccounts();
  if (selected.size() > kMaxSelected) ThrowMessage(kSelectionTooLarge);
  if (selected.empty()) ThrowMessage(kSelectionEmpty);
  const std::string find = SelectionFilter().find();
  PrintPageHeader();
  std::printf(kSelectionCaptionFormat, Html(find).c_str(), selected.size());
  if (const std::optional<long> days = UnusedDays()) std::printf(kUnusedSelectionFormat, *days);
  PrintPreview(selected);
  if (selected.size() > kPreviewRows) std::printf(kSelectionMoreFormat, selected.size() - kPreviewRows);
  PrintPostFormOpening(deletion ? "WILLBEDEL" : "TOBELOCK");
  PrintHiddenField("SELECTION", std::to_string(selected.size()));
  PrintHiddenField("FIND", find);
  PrintUnusedField();
  PrintCarriedNames(selected);
  if (deletion) {
    PrintHomeChoices();
    std::printf(kSelectionCountField, selected.size());
  } else {
    std::fputs(kLockButtons, stdout);
  }
  std::fputs("</FORM>", stdout);
  PrintPageFooter();
}

bool IsSelectionRequest() { return HasParam("SELECTION"); }

const char* SelectionScopeRefusal(const FoundUsers& found, std::string_view name) {
  return OwnsAccountNamed(found, name) ? nullptr : NoteRefusedByScope(name);
}

bool StillSelected(const UserEntry& now) {
  const UserTable::Row row{now.name, now.gecos, now.dir, now.shell, now.uid, now.gid};
  if (!SelectionFilter().ShowsUser(row)) return false;
  const std::optional<long> days = UnusedDays();
  return !days || IsStillUnused(now, *days);
}

void CheckTypedCount(size_t names) {
  if (Param("COUNT") != std::to_string(names)) ThrowMessage(kSelectionCountWrong);
}

}  // namespace orvanta
