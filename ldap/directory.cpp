// The program's side of the directory store: each function of ldap.h turns
// its C++ values into the boundary's C ones and calls the loaded store.
// A visitor's exception waits on this side of the boundary until the store
// returns, and is thrown again here.
#include <exception>

#include "ldap/ldap.h"

namespace orvanta {

namespace {

constexpr int kFailed = static_cast<int>(DirectoryResult::Failed);

std::string_view View(OrvantaText text) { return {text.data, text.size}; }

// A visitor and the first exception it threw; later calls are skipped.
template <typename Visitor>
struct Visit {
  const Visitor& visitor;
  std::exception_ptr thrown;

  template <typename Call>
  void Guarded(Call call) {
    if (thrown) return;
    try {
      call(visitor);
    } catch (...) {
      thrown = std::current_exception();
    }
  }
  void ThrowAgain() const {
    if (thrown) std::rethrow_exception(thrown);
  }
};

void VisitAccount(void* context, OrvantaText name, std::uint32_t uid, std::uint32_t gid,
                  OrvantaText gecos, OrvantaText dir, OrvantaText shell) {
  static_cast<Visit<DirectoryAccountVisitor>*>(context)->Guarded(
      [&](const DirectoryAccountVisitor& visit) {
        visit(View(name), uid, gid, View(gecos), View(dir), View(shell));
      });
}

using GroupVisitor = std::function<void(GroupEntry)>;

void VisitGroup(void* context, OrvantaText name, std::uint32_t gid, const OrvantaText* members,
                size_t member_count) {
  static_cast<Visit<GroupVisitor>*>(context)->Guarded([&](const GroupVisitor& visit) {
    GroupEntry group{std::string(View(name)), gid};
    for (size_t i = 0; i < member_count; ++i) group.members.emplace_back(View(members[i]));
    visit(std::move(group));
  });
}

using LockMarks = std::map<std::string, DirectoryLockMarks, std::less<>>;

void VisitLockState(void* context, OrvantaText name, int password_locked, int expired,
                    long expire_days) {
  static_cast<LockMarks*>(context)->insert_or_assign(
      std::string(View(name)),
      DirectoryLockMarks{password_locked != 0, expired != 0, expire_days});
}

OrvantaAgeingValue Ticked(const std::optional<long>& days) {
  return {days ? 1 : 0, days.value_or(-1)};
}

std::vector<OrvantaText> Texts(const std::set<std::string, std::less<>>& values) {
  std::vector<OrvantaText> texts;
  for (const std::string& value : values) texts.push_back({value.data(), value.size()});
  return texts;
}

// nullptr for an attribute that is not to change.
const char* Ticked(const std::optional<std::string>& value) {
  return value ? value->c_str() : nullptr;
}

template <typename Operation>
DirectoryResult Change(Operation operation) {
  const OrvantaDirectoryStore* store = LoadedDirectoryStore();
  return static_cast<DirectoryResult>(store == nullptr ? kFailed : operation(*store));
}

void AddKey(void* context, OrvantaText value) {
  static_cast<std::vector<std::string>*>(context)->emplace_back(View(value));
}

}  // namespace

// An unreadable ACCOUNTS counts as the directory, whose session then never
// opens: neither the tools nor the directory change anything.
bool UsesDirectory() { return AccountsSetting() != AccountsBackend::Tools; }

bool DirectoryReachable() {
  const OrvantaDirectoryStore* store = LoadedDirectoryStore();
  return store != nullptr && store->reachable() != 0;
}

void ForEachDirectoryAccount(const DirectoryAccountVisitor& visit) {
  const OrvantaDirectoryStore* store = LoadedDirectoryStore();
  if (store == nullptr) return;
  Visit<DirectoryAccountVisitor> context{visit, nullptr};
  store->for_each_account(VisitAccount, &context);
  context.ThrowAgain();
}

void ForEachDirectoryAccountOf(const AccountQuery& query, const DirectoryAccountVisitor& visit) {
  const OrvantaDirectoryStore* store = LoadedDirectoryStore();
  if (store == nullptr) return;
  const std::vector<OrvantaText> names = Texts(query.names);
  const std::vector<std::uint32_t> uids(query.uids.begin(), query.uids.end());
  const std::vector<OrvantaText> homes = Texts(query.homes);
  const OrvantaAccountQuery asked{names.data(), names.size(), uids.data(),
                                  uids.size(),  homes.data(), homes.size()};
  Visit<DirectoryAccountVisitor> context{visit, nullptr};
  store->for_each_account_of(&asked, VisitAccount, &context);
  context.ThrowAgain();
}

void ForEachDirectoryGroup(const std::function<void(GroupEntry)>& visit) {
  const OrvantaDirectoryStore* store = LoadedDirectoryStore();
  if (store == nullptr) return;
  Visit<GroupVisitor> context{visit, nullptr};
  store->for_each_group(VisitGroup, &context);
  context.ThrowAgain();
}

std::optional<size_t> ReadDirectoryPage(const ListPageQuery& query,
                                        const DirectoryAccountVisitor& accounts,
                                        const std::function<void(GroupEntry)>& groups) {
  const OrvantaDirectoryStore* store = LoadedDirectoryStore();
  if (store == nullptr) return std::nullopt;
  const OrvantaPageQuery fields{query.groups ? 1 : 0,
                                {query.find.data(), query.find.size()},
                                query.threshold ? 1 : 0,
                                query.threshold.value_or(0),
                                query.first,
                                query.count};
  Visit<DirectoryAccountVisitor> account_context{accounts, nullptr};
  Visit<GroupVisitor> group_context{groups, nullptr};
  size_t total = 0;
  const int read = query.groups
                       ? store->read_page(&fields, VisitAccount, VisitGroup, &group_context, &total)
                       : store->read_page(&fields, VisitAccount, VisitGroup, &account_context, &total);
  account_context.ThrowAgain();
  group_context.ThrowAgain();
  if (read == 0) return std::nullopt;
  return total;
}

std::map<std::string, DirectoryLockMarks, std::less<>> DirectoryLockStates() {
  LockMarks states;
  if (const OrvantaDirectoryStore* store = LoadedDirectoryStore()) {
    store->for_each_lock_state(VisitLockState, &states);
  }
  return states;
}

DirectoryResult DirectoryAddUser(const NewAccount& account) {
  const OrvantaNewAccount fields{
      account.name.c_str(), account.password.c_str(), account.uid.c_str(),  account.group.c_str(),
      account.gcos.c_str(), account.dir.c_str(),      account.shell.c_str(), account.expire.c_str()};
  return Change([&](const OrvantaDirectoryStore& store) { return store.add_user(&fields); });
}

DirectoryResult DirectoryModifyUser(const std::string& name, const AccountChanges& changes) {
  const OrvantaDirectoryChanges ticked{Ticked(changes.password_hash), Ticked(changes.uid),
                                       Ticked(changes.group),         Ticked(changes.comment),
                                       Ticked(changes.home),          Ticked(changes.shell)};
  return Change(
      [&](const OrvantaDirectoryStore& store) { return store.modify_user(name.c_str(), &ticked); });
}

DirectoryResult DirectoryReadAgeing(const std::string& name, PasswordAgeing& ageing) {
  OrvantaAgeing read{};
  const DirectoryResult result = Change(
      [&](const OrvantaDirectoryStore& store) { return store.read_ageing(name.c_str(), &read); });
  ageing = {read.last_change,   read.max_days,     read.min_days,
            read.warn_days,     read.inactive_days, read.expire_days};
  return result;
}

DirectoryResult DirectoryChangeAgeing(const std::string& name, const AgeingChanges& changes) {
  const OrvantaAgeingChanges ticked{Ticked(changes.max_days),      Ticked(changes.min_days),
                                    Ticked(changes.warn_days),     Ticked(changes.inactive_days),
                                    Ticked(changes.expire_days),   changes.force_change ? 1 : 0};
  return Change([&](const OrvantaDirectoryStore& store) {
    return store.change_ageing(name.c_str(), &ticked);
  });
}

DirectoryResult DirectoryLockUser(const std::string& name, bool lock) {
  return Change([&](const OrvantaDirectoryStore& store) {
    return store.lock_user(name.c_str(), lock ? 1 : 0);
  });
}

DirectoryResult DirectoryChangeMember(const std::string& group, const std::string& name, bool add) {
  return Change([&](const OrvantaDirectoryStore& store) {
    return store.change_member(group.c_str(), name.c_str(), add ? 1 : 0);
  });
}

DirectoryResult DirectoryDeleteUser(const std::string& name, HomeChoice home,
                                    const std::string& archive) {
  return Change([&](const OrvantaDirectoryStore& store) {
    return store.delete_user(name.c_str(), static_cast<int>(home), archive.c_str());
  });
}

DirectoryResult DirectoryAddGroup(const std::string& name, const std::string& gid) {
  return Change([&](const OrvantaDirectoryStore& store) {
    return store.add_group(name.c_str(), gid.c_str());
  });
}

DirectoryResult DirectoryDeleteGroup(const std::string& name) {
  return Change(
      [&](const OrvantaDirectoryStore& store) { return store.delete_group(name.c_str()); });
}

DirectoryResult DirectoryReadKeys(const std::string& name, std::vector<std::string>& keys) {
  keys.clear();
  return Change([&](const OrvantaDirectoryStore& store) {
    return store.read_keys(name.c_str(), AddKey, &keys);
  });
}

DirectoryResult DirectoryWriteKeys(const std::string& name, const std::vector<std::string>& keys,
                                   const std::string& shown_digest) {
  std::vector<OrvantaText> values;
  for (const std::string& key : keys) values.push_back({key.data(), key.size()});
  return Change([&](const OrvantaDirectoryStore& store) {
    return store.write_keys(name.c_str(), values.data(), values.size(), shown_digest.c_str());
  });
}

}  // namespace orvanta
