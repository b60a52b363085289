// What the list pages show of the snapshot. The search is a byte search
// over the arena's text: no row's text is copied, and only the rows that
// pass are counted, so that a page is cut out of them alone.
#include <string.h>

#include "access/access.h"
#include "page/page.h"

namespace orvanta {

namespace {

// An empty view may have no data at all, which memmem must not be given.
bool Contains(std::string_view text, std::string_view part) {
  if (text.size() < part.size()) return false;
  return memmem(text.data(), text.size(), part.data(), part.size()) != nullptr;
}

}  // namespace

ListFilter::ListFilter()
    : system_ids_(ListsSystemIds()),
      user_threshold_(IdThreshold("SYSTEMUID")),
      group_threshold_(IdThreshold("SYSTEMGID")) {
  if (ListPageSize() == 0) return;
  find_ = Param("FIND");
  if (!find_.empty() && IsDigitsOnly(find_)) find_id_ = ParseId(find_);
}

ListFilter& ListFilter::AboveSystemIdsOnly() {
  system_ids_ = false;
  return *this;
}

ListFilter& ListFilter::OwnedOnly() {
  owner_ = &CurrentScope();
  return *this;
}

bool ListFilter::ShowsId(std::uint32_t id, std::uint32_t threshold) const {
  return system_ids_ || IsAboveSystemIds(id, threshold);
}

bool ListFilter::Found(std::string_view name, std::string_view comment, std::uint32_t id) const {
  if (find_.empty() || (find_id_ && *find_id_ == id)) return true;
  return Contains(name, find_) || Contains(comment, find_);
}

std::optional<ListPageQuery> ListFilter::ServerQuery(bool groups) const {
  if (CurrentOperator().scope != "*") return std::nullopt;
  ListPageQuery query;
  query.groups = groups;
  query.find = find_;
  if (!system_ids_) query.threshold = groups ? group_threshold_ : user_threshold_;
  return query;
}

bool ListFilter::ShowsUser(const UserTable::Row& user) const {
  return ShowsId(user.uid, user_threshold_) && (owner_ == nullptr || owner_->OwnsAccount(user.uid, user.gid)) &&
         Found(user.name, user.gecos, user.uid);
}

bool ListFilter::ShowsGroup(const GroupEntry& group) const {
  return ShowsId(group.gid, group_threshold_) &&
         (owner_ == nullptr || owner_->OwnsGroupName(group.name)) && Found(group.name, {}, group.gid);
}

std::optional<PageWindow> ReadServedPage(
    std::optional<ListPageQuery> query,
    const std::function<std::optional<ServedRows>(const ListPageQuery&)>& read) {
  const size_t page_size = ListPageSize();
  if (page_size == 0 || !query) return std::nullopt;
  query->first = FirstRowOf(Param("FROM"));
  query->count = page_size;
  std::optional<ServedRows> rows = read(*query);
  if (rows && query->first > 0 && query->first >= rows->total) {
    query->first = 0;
    rows = read(*query);
  }
  if (!rows) return std::nullopt;
  return PageWindow{rows->total, query->first, rows->read, page_size};
}

std::vector<std::uint32_t> ShownUsers(const UserTable& users, const ListFilter& filter,
                                      const std::function<bool(const UserTable::Row&)>& also) {
  std::vector<std::uint32_t> shown;  // heap, not huge pages: 400 kB for 100,000
  shown.reserve(users.size());
  for (size_t index = 0; index < users.size(); ++index) {
    users.Prefetch(index);
    const UserTable::Row user = users[index];
    if (filter.ShowsUser(user) && (!also || also(user))) {
      shown.push_back(static_cast<std::uint32_t>(index));
    }
  }
  return shown;
}

}  // namespace orvanta
