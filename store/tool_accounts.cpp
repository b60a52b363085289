// The host's tools as the store: useradd, usermod, userdel, groupadd and
// groupdel lines through the one runner, under the change lock, with the
// password on chpasswd's input and the new home opened up. A tool may fail
// after it wrote its change: what the database holds afterwards decides.
//
// A lock is usermod's two marks: a '!' before the password stops password
// logins only (keys and other PAM ways still get in), so it also sets the
// expiry date to kLockedExpiryDays, which the account check of every login
// refuses. The date it replaces is saved (SavedExpiries) and given
// back by the unlock.
#include <grp.h>
#include <pwd.h>
#include <shadow.h>

#include <algorithm>
#include <cstdint>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "page/page.h"
#include "store/store.h"

namespace orvanta {

namespace {

// usermod's options for a lock, an unlock, and an expiry date removed.
constexpr char kLockOption[] = " -L";
constexpr char kUnlockOption[] = " -U";
constexpr char kNoExpiryOption[] = " -e ''";
// usermod's options before the group of a membership change.
constexpr char kAddMemberOptions[] = " -a -G ";
constexpr char kRemoveMemberOptions[] = " -r -G ";

std::string BuildUserModLine(const std::string& name, const AccountChanges& changes) {
  std::string line = Setting("USERMOD") + " ";
  if (changes.comment) line += " -c '" + ShellQuotedBody(*changes.comment) + "' ";
  if (changes.home) line += " -d " + ShellWord(*changes.home);
  if (changes.group) line += " -g " + ShellWord(*changes.group);
  if (changes.shell) line += " -s " + ShellWord(*changes.shell);
  if (changes.uid) line += " -u " + ShellWord(*changes.uid);
  line += " " + ShellWord(name);
  return line;
}

bool ChangesAttributes(const AccountChanges& changes) {
  return changes.uid || changes.group || changes.comment || changes.home || changes.shell;
}

// usermod may fail after it rewrote the entry (a file it updates later):
// what the database holds now decides whether the change happened.
bool ChangedWithTool(const UserEntry& before, const AccountChanges& changes) {
  if (RunCommandLine(BuildUserModLine(before.name, changes)) == 0) return true;
  const FoundUsers now = FindUsers({before.name});
  const UserEntry* after = now.Single(before.name);
  return after != nullptr &&
         (after->uid != before.uid || after->gid != before.gid || after->gecos != before.gecos ||
          after->dir != before.dir || after->shell != before.shell);
}

// What a lock changes in a shadow entry.
struct ShadowLock {
  std::string password;
  long expire_days = -1;
  bool operator==(const ShadowLock&) const = default;
  bool Locked() const { return ShadowLockState(password, expire_days) == LockState::Locked; }
};

ShadowLock ShadowLockOf(const spwd& entry) {
  return {entry.sp_pwdp == nullptr ? "" : entry.sp_pwdp, entry.sp_expire};
}

// After a tool failed: whether the entry changed all the same, to the
// state the action makes (usermod writes shadow whole or not at all).
bool LockChangedAnyway(const std::string& name, const ShadowLock& before, bool lock) {
  const spwd* entry = getspnam(name.c_str());
  if (entry == nullptr) return false;
  const ShadowLock after = ShadowLockOf(*entry);
  return after != before && after.Locked() == lock;
}

// The date to save: none for none, and none for the lock's own date.
std::optional<std::uint32_t> DateToSave(long expire_days) {
  if (expire_days < 0 || expire_days == kLockedExpiryDays || expire_days > UINT32_MAX) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(expire_days);
}

// The date is written with the next batch of the request's changes
// (DeferSavedExpiry), once the lock is made.
bool LockWithTool(const UserEntry& user, const ShadowLock& before, const SavedExpiries& dates) {
  const std::string line = Setting("USERMOD") + kLockOption + " -e " +
                           std::to_string(kLockedExpiryDays) + " " + ShellWord(user.name);
  if (RunCommandLine(line) != 0 && !LockChangedAnyway(user.name, before, true)) return false;
  // A second lock keeps the date the first one saved.
  if (dates.Find(user.name, user.uid) == nullptr) {
    DeferSavedExpiry(user.name, SavedExpiry{user.uid, DateToSave(before.expire_days)});
  }
  return true;
}

// The saved date back; without one, only the lock's own date goes.
std::string UnlockExpiryOption(const SavedExpiry* saved, const ShadowLock& before) {
  if (saved != nullptr && saved->days) return " -e " + std::to_string(*saved->days);
  if (saved != nullptr || before.expire_days == kLockedExpiryDays) return kNoExpiryOption;
  return "";
}

bool UnlockWithTool(const UserEntry& user, const ShadowLock& before, const SavedExpiries& dates) {
  const SavedExpiry* saved = dates.Find(user.name, user.uid);
  const std::string line = Setting("USERMOD") + kUnlockOption +
                           UnlockExpiryOption(saved, before) + " " + ShellWord(user.name);
  if (RunCommandLine(line) != 0 && !LockChangedAnyway(user.name, before, false)) return false;
  // The unlock happened: a line left for the name (whatever its uid) goes.
  if (dates.Holds(user.name)) DeferSavedExpiry(user.name, std::nullopt);
  return true;
}

// Each account's shadow entry and saved date are read under the change
// lock, just before its change: another request may have changed them
// since the page was made.
class ToolLocks final : public AccountLocks {
 public:
  explicit ToolLocks(bool lock) : lock_(lock) {}

  // An account without a shadow entry has no password to lock. Without the
  // saved dates read, a lock could lose one: no tool runs.
  StoreResult Change(const UserEntry& user) override {
    if (!HoldChangeLock()) return StoreResult::Failed;
    const spwd* entry = getspnam(user.name.c_str());
    if (entry == nullptr) return StoreResult::Refused;
    const ShadowLock before = ShadowLockOf(*entry);
    SavedExpiries dates;
    if (Setting("USERMOD").empty() || !dates.Load()) return StoreResult::Failed;
    const bool done =
        lock_ ? LockWithTool(user, before, dates) : UnlockWithTool(user, before, dates);
    return done ? StoreResult::Done : StoreResult::Failed;
  }

 private:
  bool lock_;
};

bool IsListedIn(const std::string& name, const std::vector<std::string>& members) {
  return std::find(members.begin(), members.end(), name) != members.end();
}

bool IsListedIn(const std::string& name, char* const* members) {
  for (; members != nullptr && *members != nullptr; ++members) {
    if (name == *members) return true;
  }
  return false;
}

// After a tool failed: whether the member list changed all the same.
bool MembershipChangedAnyway(const std::string& name, bool add, const GroupEntry& group) {
  const ::group* now = getgrnam(group.name.c_str());
  return now != nullptr && IsListedIn(name, now->gr_mem) == add &&
         IsListedIn(name, group.members) != add;
}

class HostToolAccounts final : public AccountStore {
 public:
  bool Reachable() const override { return true; }
  bool LacksTool(SettingName tool) const override { return Setting(tool).empty(); }
  bool HashesEveryPassword() const override { return false; }
  bool SharesHostDatabases() const override { return false; }
  bool MakesHomesHere() const override { return true; }
  bool KeepsKeys() const override { return true; }
  bool KeepsLastLogins() const override { return true; }
  KeyFile ReadKeys(const UserEntry& user) const override { return ReadKeyFile(user); }
  KeyFileResult WriteKeys(const UserEntry& user, const std::string& content,
                          const std::string& shown_digest) const override {
    return WriteKeyFile(user, content, shown_digest);
  }

  // One pass over the shadow database: a getspnam per account would read it
  // once per account. Only the accounts with the lock's date need their
  // uid and saved date.
  std::map<std::string, LockSummary, std::less<>> LockStates() const override {
    std::map<std::string, LockSummary, std::less<>> states;
    setspent();
    while (const spwd* entry = getspent()) {
      if (entry->sp_namp == nullptr) continue;
      states[entry->sp_namp] = {
          ShadowLockState(entry->sp_pwdp == nullptr ? "" : entry->sp_pwdp, entry->sp_expire),
          entry->sp_expire, entry->sp_lstchg};
    }
    endspent();
    // Unreadable, the saved dates are none (stderr says why).
    std::optional<SavedExpiries> saved;
    for (auto& [name, summary] : states) {
      if (summary.expire_days != kLockedExpiryDays) continue;
      if (!saved) saved.emplace().Read();
      const passwd* account = getpwnam(name.c_str());
      summary.expire_days = account == nullptr ? -1
                                               : OwnExpiryDays(name, account->pw_uid,
                                                               kLockedExpiryDays, *saved);
    }
    return states;
  }

  std::optional<PasswordAgeing> Ageing(const UserEntry& user) const override {
    return ToolAgeing(user);
  }

  std::map<std::string, PasswordAgeing, std::less<>> AllAgeing() const override {
    return AllToolAgeing();
  }

  StoreResult ChangeAgeing(const UserEntry& user, const AgeingChanges& changes) const override {
    return ChangeAgeingWithTool(user, changes);
  }

  // The host's databases are read whole; the lists cut their pages.
  std::optional<size_t> ReadListPage(const ListPageQuery&, const AccountVisitor&,
                                     const std::function<void(GroupEntry)>&) const override {
    return std::nullopt;
  }

  StoreResult AddUser(const NewAccount& account) const override {
    if (LacksTool("USERADD")) return StoreResult::Failed;
    // Hashed before the change lock is taken, so nobody waits on it.
    std::string hash;
    if (!account.password.empty()) {
      hash = HashPassword(account.password);
      if (hash.empty()) return StoreResult::Failed;
    }
    // Under the lock the name is free, so an account of that name after a
    // tool that failed is the one this request made.
    if (!HoldChangeLock()) return StoreResult::Failed;
    if (AccountExistsNow(account.name)) return StoreResult::NameTaken;
    // useradd -m makes the home: the rules once more, against the accounts
    // as they are now (another registration may have come between).
    const std::string home = NewHomeOf(account);
    if (!NewHomeProblem(account, FindUsers({}, {}, {home})).empty()) return StoreResult::Failed;
    // The password is not on the line, which every local user can read
    // while the tool runs: the hash goes to chpasswd's input.
    if (const auto made = AddUserWithOwnGroup(account, *this); made) {
      if (*made != StoreResult::Done) return *made;
    } else if (RunCommandLine(UserAddLine(account, false)) != 0 &&
               !AccountExistsNow(account.name)) {
      return StoreResult::Failed;
    }
    OpenUpNewHome(account.name, home);
    if (!hash.empty() && !SetPasswordHash(account.name, hash)) {
      return StoreResult::DoneWithoutPassword;
    }
    // After chpasswd, which makes today the day of the last change.
    if (account.change_at_first_login && !ForcePasswordChangeWithTool(account.name)) {
      return StoreResult::DoneWithoutForcedChange;
    }
    return StoreResult::Done;
  }

  StoreResult ModifyUser(const UserEntry& user, const AccountChanges& changes) const override {
    if (LacksTool("USERMOD")) return StoreResult::Failed;
    // Nothing to change runs the tool as it always did; a change of the
    // password alone has nothing for usermod to do.
    const bool attributes = ChangesAttributes(changes) || !changes.password_hash;
    if (attributes && !ChangedWithTool(user, changes)) return StoreResult::Failed;
    if (changes.password_hash && !SetPasswordHash(user.name, *changes.password_hash)) {
      return attributes ? StoreResult::DoneWithoutPassword : StoreResult::Failed;
    }
    return StoreResult::Done;
  }

  bool OffersHomeChoice(HomeChoice home) const override {
    return home != HomeChoice::Archive || ArchiveDirIsUsable();
  }

  // userdel takes the home only when it is one of the account's own below
  // HOME_ROOTS that no other account's home is, holds or lies in;
  // otherwise it would remove whatever the stored path names.
  // An archive comes first: without it nothing is deleted.
  DeletionResult DeleteUser(const UserEntry& user, HomeChoice home) const override {
    if (LacksTool("USERDEL")) return {StoreResult::Failed};
    // The home rules decide under the lock, as the accounts are then.
    if (!HoldChangeLock()) return {StoreResult::Failed};
    std::string archive;
    if (home == HomeChoice::Archive) {
      archive = ArchiveHome(user);
      if (archive.empty()) return {StoreResult::HomeNotArchived};
    }
    const bool remove_home = home != HomeChoice::Keep && MayRemoveHome(user);
    const std::string line =
        Setting("USERDEL") + (remove_home ? " -r " : " ") + ShellWord(user.name);
    const bool succeeded = RunCommandLine(line) == 0;
    // userdel may remove the account and then fail on its home (exit 12):
    // whether the account is gone tells what happened.
    if (!succeeded && AccountExistsNow(user.name)) return {StoreResult::Failed};
    // A lock's saved date must not come back to a new account of the name.
    ForgetSavedExpiry(user.name);
    if (!succeeded || !remove_home) return {StoreResult::DoneHomeKept};
    if (archive.empty()) return {StoreResult::Done};
    return {StoreResult::DoneHomeArchived, archive};
  }

  std::unique_ptr<AccountLocks> StartLocks(bool lock) const override {
    return std::make_unique<ToolLocks>(lock);
  }

  StoreResult ChangeMember(const GroupEntry& group, const std::string& name,
                           bool add) const override {
    if (LacksTool("USERMOD")) return StoreResult::Failed;
    const std::string line = Setting("USERMOD") + (add ? kAddMemberOptions : kRemoveMemberOptions) +
                             ShellWord(group.name) + " " + ShellWord(name);
    return RunCommandLine(line) == 0 || MembershipChangedAnyway(name, add, group)
               ? StoreResult::Done
               : StoreResult::Failed;
  }

  // groupadd may fail after it wrote the group (gshadow, nscd).
  StoreResult AddGroup(const std::string& name, const std::string& gid) const override {
    if (LacksTool("GROUPADD")) return StoreResult::Failed;
    std::string line = Setting("GROUPADD") + " ";
    if (!gid.empty()) line += " -g " + ShellWord(gid);
    line += " " + ShellWord(name);
    if (RunCommandLine(line) != 0 && !FindGroup(name)) return StoreResult::Failed;
    return StoreResult::Done;
  }

  // groupdel may fail after it removed the group (a file it updates after
  // group).
  StoreResult DeleteGroup(const std::string& name) const override {
    if (LacksTool("GROUPDEL")) return StoreResult::Failed;
    if (RunCommandLine(Setting("GROUPDEL") + " " + ShellWord(name)) == 0) return StoreResult::Done;
    return FindGroup(name) ? StoreResult::Failed : StoreResult::Done;
  }
};

}  // namespace

const AccountStore& HostToolStore() {
  static const HostToolAccounts store;
  return store;
}

}  // namespace orvanta
