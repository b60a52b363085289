// The operator's scope over accounts: which rows the lists show, which
// accounts the actions may touch, and what a registration inside the scope
// is given when it leaves the uid or group empty.
#include <pwd.h>

#include <set>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/user.h"

namespace orvanta {

namespace {

bool LimitsAccounts(const OperatorScope& scope) {
  return scope.uids().has_value() || !scope.groups().empty();
}

bool InRange(const OperatorScope& scope, const std::string& uid_text) {
  if (!scope.uids()) return true;
  const std::optional<std::uint32_t> uid = ParseId(uid_text);
  return uid && scope.OwnsUid(*uid);
}

bool OwnsPrimaryGroup(const OperatorScope& scope, const std::string& text) {
  if (scope.groups().empty()) return true;
  const GroupEntry* group = FindGroupAsTheToolsDo(text);
  return group != nullptr && scope.OwnsGroupName(group->name);
}

bool IsFreeUid(std::uint32_t uid, const std::set<std::uint32_t>& taken) {
  if (taken.count(uid) != 0 || IsReservedId(uid)) return false;
  return !Accounts().SharesHostDatabases() || getpwuid(uid) == nullptr;
}

std::optional<std::uint32_t> LowestFreeUid(const UidRange& range, std::set<std::uint32_t> taken) {
  const UserTable& users = AllUsers();
  // Only the range's own: a batch asks once per line.
  for (size_t index = 0; index < users.size(); ++index) {
    const std::uint32_t uid = users[index].uid;
    if (uid >= range.low && uid <= range.high) taken.insert(uid);
  }
  for (std::uint64_t uid = range.low; uid <= range.high; ++uid) {
    if (IsFreeUid(static_cast<std::uint32_t>(uid), taken)) return static_cast<std::uint32_t>(uid);
  }
  return std::nullopt;
}

}  // namespace

bool ListShowsEveryAccount(UserListMode mode) {
  return mode == UserListMode::List && CurrentScope().MayDo(Action::View);
}

bool OwnsAccountNamed(const FoundUsers& found, std::string_view name) {
  const OperatorScope& scope = CurrentScope();
  if (!LimitsAccounts(scope)) return true;
  const auto entries = found.by_name.find(name);
  if (entries == found.by_name.end() || entries->second.empty()) return false;
  for (const UserEntry& user : entries->second) {
    if (!scope.OwnsAccount(user.uid, user.gid)) return false;
  }
  return true;
}

void RefuseUnownedAccounts(const FoundUsers& found,
                           const std::set<std::string, std::less<>>& names) {
  for (const std::string& name : names) {
    if (!OwnsAccountNamed(found, name)) RefuseByScope(name);
  }
}

void FillFromScope(NewAccount& account, const std::set<std::uint32_t>& also_taken) {
  const OperatorScope& scope = CurrentScope();
  if (account.group.empty() && !scope.groups().empty()) account.group = scope.groups().front();
  if (!account.uid.empty() || !scope.uids()) return;
  if (const std::optional<std::uint32_t> uid = LowestFreeUid(*scope.uids(), also_taken)) {
    account.uid = std::to_string(*uid);
  }
}

bool ScopeAllowsNewAccount(const NewAccount& account) {
  const OperatorScope& scope = CurrentScope();
  return InRange(scope, account.uid) && OwnsPrimaryGroup(scope, account.group);
}

bool ScopeAllowsChanges() {
  const OperatorScope& scope = CurrentScope();
  return (!HasParam("CHKUID") || InRange(scope, Param("UID"))) &&
         (!HasParam("CHKGID") || OwnsPrimaryGroup(scope, Param("GID")));
}

}  // namespace orvanta
