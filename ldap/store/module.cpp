// The module's one entry point: the store's operations as the boundary's C
// functions, and what the program lent it behind the names the store's
// files call. No exception leaves a function here: one that reaches the
// boundary fails the operation.
#include <set>

#include "ldap/boundary.h"
#include "ldap/store/session.h"

namespace orvanta::directory {

namespace {

const OrvantaDirectoryHost* gHost = nullptr;

constexpr int kFailed = static_cast<int>(DirectoryResult::Failed);
constexpr char kStopped[] = "ldap: the store stopped on an exception (out of memory)";

OrvantaText TextOf(std::string_view text) { return {text.data(), text.size()}; }

void AppendTo(void* context, OrvantaText text) {
  static_cast<std::string*>(context)->append(text.data, text.size);
}

template <typename Call>
void Guarded(Call call) {
  try {
    call();
  } catch (...) {
    ErrorLogLine(kStopped);
  }
}

template <typename Operation>
int Result(Operation operation) {
  int result = kFailed;
  Guarded([&] { result = static_cast<int>(operation()); });
  return result;
}

std::optional<std::string> Ticked(const char* value) {
  return value == nullptr ? std::nullopt : std::optional<std::string>(value);
}

void ForEachAccountC(OrvantaAccountVisit visit, void* context) {
  Guarded([&] {
    ForEachAccount([&](std::string_view name, std::uint32_t uid, std::uint32_t gid,
                       std::string_view gecos, std::string_view dir, std::string_view shell) {
      visit(context, TextOf(name), uid, gid, TextOf(gecos), TextOf(dir), TextOf(shell));
    });
  });
}

std::set<std::string, std::less<>> TextSet(const OrvantaText* texts, size_t count) {
  std::set<std::string, std::less<>> set;
  for (size_t i = 0; i < count; ++i) set.emplace(texts[i].data, texts[i].size);
  return set;
}

void ForEachAccountOfC(const OrvantaAccountQuery* asked, OrvantaAccountVisit visit,
                       void* context) {
  Guarded([&] {
    const std::set<std::string, std::less<>> names = TextSet(asked->names, asked->name_count);
    const std::set<std::uint32_t> uids(asked->uids, asked->uids + asked->uid_count);
    const std::set<std::string, std::less<>> homes = TextSet(asked->homes, asked->home_count);
    ForEachAccountOf({names, uids, homes}, [&](std::string_view name, std::uint32_t uid,
                                               std::uint32_t gid, std::string_view gecos,
                                               std::string_view dir, std::string_view shell) {
      visit(context, TextOf(name), uid, gid, TextOf(gecos), TextOf(dir), TextOf(shell));
    });
  });
}

void HandGroup(OrvantaGroupVisit visit, void* context, const GroupEntry& group) {
  std::vector<OrvantaText> members;
  for (const std::string& member : group.members) members.push_back(TextOf(member));
  visit(context, TextOf(group.name), group.gid, members.data(), members.size());
}

void ForEachGroupC(OrvantaGroupVisit visit, void* context) {
  Guarded([&] {
    ForEachGroup([&](const GroupEntry& group) { HandGroup(visit, context, group); });
  });
}

void ForEachLockStateC(OrvantaLockVisit visit, void* context) {
  Guarded([&] {
    for (const auto& [name, marks] : LockStates()) {
      visit(context, TextOf(name), marks.password_locked ? 1 : 0, marks.expired ? 1 : 0,
            marks.expire_days);
    }
  });
}

int AddUserC(const OrvantaNewAccount* fields) {
  return Result([&] {
    return AddUser({fields->name, fields->password, fields->uid, fields->group, fields->gcos,
                    fields->dir, fields->shell, fields->expire});
  });
}

int ModifyUserC(const char* name, const OrvantaDirectoryChanges* ticked) {
  return Result([&] {
    return ModifyUser(name,
                      {Ticked(ticked->password_hash), Ticked(ticked->uid), Ticked(ticked->group),
                       Ticked(ticked->comment), Ticked(ticked->home), Ticked(ticked->shell)});
  });
}

int LockUserC(const char* name, int lock) {
  return Result([&] { return LockUser(name, lock != 0); });
}

int ChangeMemberC(const char* group, const char* name, int add) {
  return Result([&] { return ChangeMember(group, name, add != 0); });
}

int DeleteUserC(const char* name, int home, const char* archive) {
  return Result([&] { return DeleteUser(name, static_cast<HomeChoice>(home), archive); });
}

int AddGroupC(const char* name, const char* gid) {
  return Result([&] { return AddGroup(name, gid); });
}

int DeleteGroupC(const char* name) {
  return Result([&] { return DeleteGroup(name); });
}

std::optional<long> Ticked(const OrvantaAgeingValue& value) {
  return value.ticked != 0 ? std::optional<long>(value.days) : std::nullopt;
}

int ReadAgeingC(const char* name, OrvantaAgeing* ageing) {
  return Result([&] {
    PasswordAgeing read;
    const DirectoryResult result = ReadAgeing(name, read);
    *ageing = {read.last_change, read.max_days,      read.min_days,
               read.warn_days,   read.inactive_days, read.expire_days};
    return result;
  });
}

int ChangeAgeingC(const char* name, const OrvantaAgeingChanges* ticked) {
  return Result([&] {
    return ChangeAgeing(name, {Ticked(ticked->max_days), Ticked(ticked->min_days),
                               Ticked(ticked->warn_days), Ticked(ticked->inactive_days),
                               Ticked(ticked->expire_days), ticked->force_change != 0});
  });
}

int ReadPageC(const OrvantaPageQuery* query, OrvantaAccountVisit accounts,
              OrvantaGroupVisit groups, void* context, size_t* total) {
  int read = 0;
  Guarded([&] {
    const ListPageQuery page{
        query->groups != 0, std::string_view(query->find.data, query->find.size),
        query->above_only != 0 ? std::optional(query->threshold) : std::nullopt, query->first,
        query->count};
    const std::optional<size_t> count = ReadSortedPage(
        page,
        [&](std::string_view name, std::uint32_t uid, std::uint32_t gid, std::string_view gecos,
            std::string_view dir, std::string_view shell) {
          accounts(context, TextOf(name), uid, gid, TextOf(gecos), TextOf(dir), TextOf(shell));
        },
        [&](const GroupEntry& group) { HandGroup(groups, context, group); });
    if (count) *total = *count;
    read = count ? 1 : 0;
  });
  return read;
}

int ReachableC() {
  int reached = 0;
  Guarded([&] { reached = ReadingSession() != nullptr ? 1 : 0; });
  return reached;
}

int ReadKeysC(const char* name, OrvantaTextSink sink, void* context) {
  return Result([&] {
    std::vector<std::string> keys;
    const DirectoryResult result = ReadKeys(name, keys);
    for (const std::string& key : keys) sink(context, TextOf(key));
    return result;
  });
}

int WriteKeysC(const char* name, const OrvantaText* keys, size_t key_count,
               const char* shown_digest) {
  return Result([&] {
    std::vector<std::string> values;
    for (size_t i = 0; i < key_count; ++i) values.emplace_back(keys[i].data, keys[i].size);
    return WriteKeys(name, values, shown_digest);
  });
}

constexpr OrvantaDirectoryStore kStore = {
    ForEachAccountC,   ForEachGroupC, ForEachLockStateC, AddUserC,  ModifyUserC,
    LockUserC,         ChangeMemberC, DeleteUserC,       AddGroupC, DeleteGroupC,
    ForEachAccountOfC, ReadAgeingC,   ChangeAgeingC,     ReadPageC, ReachableC,
    ReadKeysC,         WriteKeysC,
};

// Settings as the program reads them, kept for the run by name: the store
// hands out references, as the program's own Setting does.
std::map<std::string, std::string, std::less<>>& Settings() {
  static std::map<std::string, std::string, std::less<>> settings;
  return settings;
}

}  // namespace

const std::string& HostSetting(SettingName name) {
  const auto [entry, added] = Settings().try_emplace(name.c_str());
  if (added) entry->second = gHost->setting(name.c_str());
  return entry->second;
}

AccountsBackend AccountsSetting() { return static_cast<AccountsBackend>(gHost->accounts); }

YesNo StartTlsSetting() { return static_cast<YesNo>(gHost->starttls); }

bool RunMayChange() { return gHost->changes != 0; }

bool HoldChangeLock() { return gHost->hold_change_lock() != 0; }

int RunCommandLine(const std::string& line) { return gHost->run_command_line(line.c_str()); }

int RunArchiveLine(const std::string& line) { return gHost->run_archive_line(line.c_str()); }

std::string HashPassword(const std::string& password) {
  std::string hash;
  gHost->hash_password(password.c_str(), AppendTo, &hash);
  return hash;
}

std::string HostNewHomeOf(const NewAccount& account) {
  std::string home;
  gHost->new_home_of(account.name.c_str(), account.dir.c_str(), AppendTo, &home);
  return home;
}

std::string HomeRefusal(std::string_view name, std::string_view path) {
  std::string refusal;
  gHost->home_refusal(TextOf(name), TextOf(path), AppendTo, &refusal);
  return refusal;
}

void OpenUpNewHome(const std::string& name, const std::string& path) {
  gHost->open_up_new_home(name.c_str(), path.c_str());
}

std::string KeyDigest(std::string_view content) {
  std::string digest;
  gHost->key_digest(TextOf(content), AppendTo, &digest);
  return digest;
}

}  // namespace orvanta::directory

extern "C" __attribute__((visibility("default"))) const OrvantaDirectoryStore*
orvanta_directory_open(int version, const OrvantaDirectoryHost* host) {
  if (version != ORVANTA_DIRECTORY_VERSION || host == nullptr) return nullptr;
  orvanta::directory::gHost = host;
  return &orvanta::directory::kStore;
}
