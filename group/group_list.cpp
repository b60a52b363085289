// GET GVIEW and GDEL: the group list in gid order, and the deletion form
// built from it with a check box for every group above SYSTEMGID that is
// not protected; with LIST_PAGE_SIZE a page of the groups that pass the
// list's filter.
#include <cstddef>
#include <cstdio>
#include <optional>
#include <vector>

#include "cgi/cgi.h"
#include "group/group.h"
#include "group/group_texts.h"
#include "page/page.h"
#include "store/store.h"
#include "user/user.h"

namespace orvanta {

bool ListShowsEveryGroup(GroupListMode mode) {
  return mode == GroupListMode::List && CurrentScope().MayDo(Action::View);
}

namespace {

// The groups of one page, in gid order: cut out of the snapshot's groups
// that pass the filter, or as the store's server sorted and cut them out.
class GroupPage {
 public:
  explicit GroupPage(const ListFilter& filter) {
    if (ReadServed(filter)) return;
    std::vector<const GroupEntry*> shown;
    for (const auto& [gid, group] : AllGroups().by_gid) {
      if (filter.ShowsGroup(group)) shown.push_back(&group);
    }
    window_ = WindowOf(shown.size(), ListPageSize(), Param("FROM"));
    const auto first = shown.begin() + static_cast<std::ptrdiff_t>(window_.first);
    rows_.assign(first, first + static_cast<std::ptrdiff_t>(window_.count));
  }
  const std::vector<const GroupEntry*>& rows() const { return rows_; }
  const PageWindow& window() const { return window_; }

 private:
  bool ReadServed(const ListFilter& filter) {
    const std::optional<PageWindow> window = ReadServedPage(
        filter.ServerQuery(true), [&](const ListPageQuery& query) { return ReadServedRows(query); });
    if (!window) return false;
    window_ = *window;
    for (const GroupEntry& group : served_) rows_.push_back(&group);
    return true;
  }
  std::optional<ServedRows> ReadServedRows(const ListPageQuery& query) {
    served_.clear();
    const std::optional<size_t> total = Accounts().ReadListPage(
        query, nullptr, [&](GroupEntry group) { served_.push_back(std::move(group)); });
    if (!total) return std::nullopt;
    return ServedRows{*total, served_.size()};
  }

  std::vector<GroupEntry> served_;
  std::vector<const GroupEntry*> rows_;
  PageWindow window_;
};

void PrintGroupRows(const GroupPage& page, bool selecting) {
  const AccountGuard guard;
  for (size_t row = 0; row < page.rows().size(); ++row) {
    const size_t position = page.window().first + row;
    const GroupEntry& group = *page.rows()[row];
    if (row % kRowsPerHeading == 0) {
      std::fputs(kGroupListHeading1, stdout);
      std::fputs(kGroupHeadingName, stdout);
      std::fputs(kGroupHeadingGid, stdout);
    }
    std::fputs("<TR><TD>", stdout);
    const std::string name = Html(group.name);
    if (selecting && IsChangeableGroup(group, guard)) {
      std::printf("<INPUT TYPE=\"%s\" NAME=\"%s\" VALUE=\"%s\">", "CHECKBOX", "GNAME",
                  name.c_str());
    }
    std::printf("%zu</TD>\n", position);
    std::printf("<TD>%s</TD>\n", name.c_str());
    std::printf("<TD>%u</TD>\n", group.gid);
  }
}

}  // namespace

void ExportGroupList() {
  ListFilter filter;
  if (!ListShowsEveryGroup(GroupListMode::List)) filter.OwnedOnly();
  CsvWriter csv("groups.csv");
  for (const char* heading : {"NAME", "GID", "MEMBERS"}) csv.Text(heading);
  csv.EndRow();
  for (const auto& [gid, group] : AllGroups().by_gid) {
    if (!filter.ShowsGroup(group)) continue;
    std::string members;
    for (const std::string& member : group.members) {
      members += (members.empty() ? "" : " ") + member;
    }
    csv.Text(group.name);
    csv.Number(gid);
    csv.Text(members);
    csv.EndRow();
  }
  AuditExport("groups", csv.rows() - 1);
}

void PrintGroupList(GroupListMode mode) {
  const bool selecting = mode == GroupListMode::SelectForDelete;
  ListFilter filter;
  if (!ListShowsEveryGroup(mode)) filter.OwnedOnly();
  const GroupPage page(filter);
  const ListQuery query{selecting ? "GDEL" : "GVIEW", nullptr, filter.find()};
  PrintPageHeader();
  PrintFindForm(query, page.window());
  if (selecting) {
    PrintFormOpening(false);
    PrintHiddenField("COMMAND", "GP_WILLBEDEL");
    std::fputs(kGroupDelSelectOpening, stdout);
  } else {
    std::fputs(kGroupListOpening, stdout);
  }
  PrintGroupRows(page, selecting);
  std::fputs("</TABLE>\n<BR>\n", stdout);
  PrintPageLinks(query, page.window());
  if (selecting) PrintSelectionFormClosing(SelectionAction::Delete);
  if (!selecting) PrintCsvLink("GVIEWCSV", FindQuery(filter.find()));
  PrintPageFooter();
}

}  // namespace orvanta
