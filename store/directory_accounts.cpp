// The directory (ldap/) as the store: its operations answer in the store's
// terms; it keeps every password hashed, shares the host's ids and
// protected groups, and makes homes with its own commands, perhaps on a
// file server.
#include <algorithm>
#include <optional>

#include "ldap/ldap.h"
#include "store/store.h"

namespace orvanta {

namespace {

constexpr char kNoArchivePath[] = "ldap: home not archived, account kept (no archive is named "
                                  "after such a name): ";

StoreResult ResultOf(DirectoryResult result) {
  switch (result) {
    case DirectoryResult::Done:
      return StoreResult::Done;
    case DirectoryResult::NameTaken:
      return StoreResult::NameTaken;
    case DirectoryResult::Refused:
      return StoreResult::Refused;
    case DirectoryResult::HomeNotArchived:
      return StoreResult::HomeNotArchived;
    case DirectoryResult::DoneHomeKept:
      return StoreResult::DoneHomeKept;
    case DirectoryResult::Changed:
    case DirectoryResult::Failed:
      break;
  }
  return StoreResult::Failed;
}

// Each lock in its own entry: nothing to read before.
class DirectoryLocks final : public AccountLocks {
 public:
  explicit DirectoryLocks(bool lock) : lock_(lock) {}
  StoreResult Change(const UserEntry& user) override {
    return ResultOf(DirectoryLockUser(user.name, lock_));
  }

 private:
  bool lock_;
};

class DirectoryAccounts final : public AccountStore {
 public:
  bool Reachable() const override { return DirectoryReachable(); }
  bool LacksTool(SettingName) const override { return false; }
  bool HashesEveryPassword() const override { return true; }
  bool SharesHostDatabases() const override { return true; }
  bool MakesHomesHere() const override { return false; }
  bool KeepsKeys() const override { return true; }
  bool KeepsLastLogins() const override { return false; }

  KeyFile ReadKeys(const UserEntry& user) const override {
    std::vector<std::string> keys;
    if (DirectoryReadKeys(user.name, keys) != DirectoryResult::Done) return {};
    std::string lines;
    for (const std::string& key : keys) lines += key + "\n";
    return {KeyFileResult::Done, lines};
  }

  // The content's lines are the values; no line, no attribute.
  KeyFileResult WriteKeys(const UserEntry& user, const std::string& content,
                          const std::string& shown_digest) const override {
    std::vector<std::string> keys;
    std::string_view rest = content;
    while (!rest.empty()) {
      const size_t end = std::min(rest.find('\n'), rest.size());
      if (end > 0) keys.emplace_back(rest.substr(0, end));
      rest.remove_prefix(std::min(end + 1, rest.size()));
    }
    switch (DirectoryWriteKeys(user.name, keys, shown_digest)) {
      case DirectoryResult::Done:
        return KeyFileResult::Done;
      case DirectoryResult::Changed:
        return KeyFileResult::Changed;
      default:
        return KeyFileResult::Failed;
    }
  }

  std::map<std::string, LockSummary, std::less<>> LockStates() const override {
    std::map<std::string, LockSummary, std::less<>> states;
    for (const auto& [name, marks] : DirectoryLockStates()) {
      states[name] = {LockStateOf(marks.password_locked, marks.expired), marks.expire_days, -1};
    }
    return states;
  }

  std::optional<PasswordAgeing> Ageing(const UserEntry& user) const override {
    PasswordAgeing ageing;
    if (DirectoryReadAgeing(user.name, ageing) != DirectoryResult::Done) return std::nullopt;
    return ageing;
  }

  std::map<std::string, PasswordAgeing, std::less<>> AllAgeing() const override {
    std::map<std::string, PasswordAgeing, std::less<>> all;
    const UserTable& users = AllUsers();
    for (size_t i = 0; i < users.size(); ++i) {
      const UserTable::Row row = users[i];
      const UserEntry user{std::string(row.name), row.uid, row.gid, "", "", ""};
      if (const auto ageing = Ageing(user)) all.emplace(user.name, *ageing);
    }
    return all;
  }

  StoreResult ChangeAgeing(const UserEntry& user, const AgeingChanges& changes) const override {
    return ResultOf(DirectoryChangeAgeing(user.name, changes));
  }

  std::optional<size_t> ReadListPage(
      const ListPageQuery& query, const AccountVisitor& accounts,
      const std::function<void(GroupEntry)>& groups) const override {
    return ReadDirectoryPage(query, accounts, groups);
  }

  // The entry is made with today's shadowLastChange; the forced change is
  // the ageing page's, a modify of its own.
  StoreResult AddUser(const NewAccount& account) const override {
    const StoreResult made = ResultOf(DirectoryAddUser(account));
    if (made != StoreResult::Done || !account.change_at_first_login) return made;
    AgeingChanges forced;
    forced.force_change = true;
    return DirectoryChangeAgeing(account.name, forced) == DirectoryResult::Done
               ? StoreResult::Done
               : StoreResult::DoneWithoutForcedChange;
  }

  StoreResult ModifyUser(const UserEntry& user, const AccountChanges& changes) const override {
    return ResultOf(DirectoryModifyUser(user.name, changes));
  }

  // The home commands act where the homes are, perhaps on a file server;
  // an archive is followed by HOME_DELETE, so it needs both.
  bool OffersHomeChoice(HomeChoice home) const override {
    switch (home) {
      case HomeChoice::Keep:
        return true;
      case HomeChoice::Remove:
        return !Setting("HOME_DELETE").empty();
      case HomeChoice::Archive:
        break;
    }
    return !Setting("HOME_ARCHIVE").empty() && !Setting("HOME_DELETE").empty() &&
           Setting("ARCHIVE_DIR").starts_with('/');
  }

  DeletionResult DeleteUser(const UserEntry& user, HomeChoice home) const override {
    std::string archive;
    if (home == HomeChoice::Archive) {
      const std::optional<std::string> path = ArchivePathOf(user.name);
      if (!path) {
        ErrorLogLine(kNoArchivePath + Printable(user.name));
        return {StoreResult::HomeNotArchived};
      }
      archive = *path;
    }
    const StoreResult result = ResultOf(DirectoryDeleteUser(user.name, home, archive));
    if (result == StoreResult::DoneHomeKept) return {result};
    if (result != StoreResult::Done || home == HomeChoice::Remove) return {result};
    if (home == HomeChoice::Keep) return {StoreResult::DoneHomeKept};
    return {StoreResult::DoneHomeArchived, archive};
  }

  std::unique_ptr<AccountLocks> StartLocks(bool lock) const override {
    return std::make_unique<DirectoryLocks>(lock);
  }

  StoreResult ChangeMember(const GroupEntry& group, const std::string& name,
                           bool add) const override {
    return ResultOf(DirectoryChangeMember(group.name, name, add));
  }

  StoreResult AddGroup(const std::string& name, const std::string& gid) const override {
    return ResultOf(DirectoryAddGroup(name, gid));
  }

  StoreResult DeleteGroup(const std::string& name) const override {
    return ResultOf(DirectoryDeleteGroup(name));
  }
};

}  // namespace

const AccountStore& DirectoryStore() {
  static const DirectoryAccounts store;
  return store;
}

}  // namespace orvanta
