// Account changes in the directory, each one LDAP operation or a short
// sequence whose every step leaves the directory consistent.
#include <strings.h>

#include <algorithm>

#include "ldap/store/session.h"
#include "page/page.h"

namespace orvanta::directory {

namespace {

constexpr char kCryptScheme[] = "{CRYPT}";
constexpr char kLockMark = '!';
constexpr char kLeftLocked[] =
    "ldap: unlocking would leave the account without a password; left locked";
constexpr char kHomeCommandFailed[] = " failed for ";
constexpr char kHomeRefused[] = " not run for ";
constexpr char kNoTakenChecks[] = "the taken checks have no base";
constexpr char kNotArchived[] = "ldap: home not archived, account kept: ";
constexpr char kNoSuchGroup[] = "ldap: the group of a new account must exist: ";
constexpr char kSavedExpiryTag[] = "orvanta-saved-expire:";
constexpr char kNoSavedDate[] = "none";
constexpr char kKeyAttribute[] = "sshPublicKey";
constexpr char kKeyClass[] = "ldapPublicKey";

// cn and sn are required by inetOrgPerson: the comment, else the name.
std::string CommonName(const std::string& comment, const std::string& name) {
  return comment.empty() ? name : comment;
}

std::vector<std::string> Optional(const std::string& value) {
  return value.empty() ? std::vector<std::string>{} : std::vector<std::string>{value};
}

// A day count as an attribute's values: -1 (none) is no value at all.
std::vector<std::string> DaysValues(long days) {
  return days < 0 ? std::vector<std::string>{} : std::vector<std::string>{std::to_string(days)};
}

// An attribute's day count; -1 when it has none that reads as one.
long DaysOf(std::string_view value) {
  const std::optional<std::uint32_t> days = ParseId(value);
  return days ? static_cast<long>(*days) : -1;
}

void AddAccountValues(Mods& mods, const NewAccount& account, std::uint32_t uid,
                      std::uint32_t gid, const std::string& hash, long expire_days) {
  const std::string cn = CommonName(account.gcos, account.name);
  mods.Add(LDAP_MOD_ADD, "objectClass", {"inetOrgPerson", "posixAccount", "shadowAccount"})
      .Add(LDAP_MOD_ADD, "uid", {account.name})
      .Add(LDAP_MOD_ADD, "cn", {cn})
      .Add(LDAP_MOD_ADD, "sn", {cn})
      .Add(LDAP_MOD_ADD, "uidNumber", {std::to_string(uid)})
      .Add(LDAP_MOD_ADD, "gidNumber", {std::to_string(gid)})
      .Add(LDAP_MOD_ADD, "homeDirectory", {HostNewHomeOf(account)})
      .Add(LDAP_MOD_ADD, "userPassword", {kCryptScheme + hash})
      .Add(LDAP_MOD_ADD, "shadowLastChange", {DaysSinceEpoch()});
  if (!account.gcos.empty()) mods.Add(LDAP_MOD_ADD, "gecos", {account.gcos});
  if (!account.shell.empty()) mods.Add(LDAP_MOD_ADD, "loginShell", {account.shell});
  if (expire_days >= 0) mods.Add(LDAP_MOD_ADD, "shadowExpire", DaysValues(expire_days));
}

// The modification's attributes; false when the group or uid is unusable.
bool AddChanges(Mods& mods, const std::string& name, const AccountChanges& changes) {
  if (changes.comment) {
    const std::string cn = CommonName(*changes.comment, name);
    mods.Add(LDAP_MOD_REPLACE, "gecos", Optional(*changes.comment))
        .Add(LDAP_MOD_REPLACE, "cn", {cn})
        .Add(LDAP_MOD_REPLACE, "sn", {cn});
  }
  if (changes.home) mods.Add(LDAP_MOD_REPLACE, "homeDirectory", {*changes.home});
  if (changes.group) {
    const std::optional<std::uint32_t> gid = GroupIdOf(*changes.group);
    if (!gid) return false;
    mods.Add(LDAP_MOD_REPLACE, "gidNumber", {std::to_string(*gid)});
  }
  if (changes.password_hash) {
    mods.Add(LDAP_MOD_REPLACE, "userPassword", {kCryptScheme + *changes.password_hash})
        .Add(LDAP_MOD_REPLACE, "shadowLastChange", {DaysSinceEpoch()});
  }
  if (changes.shell) mods.Add(LDAP_MOD_REPLACE, "loginShell", Optional(*changes.shell));
  if (changes.uid) {
    const std::optional<std::uint32_t> uid = ParseId(*changes.uid);
    if (!uid) return false;
    mods.Add(LDAP_MOD_REPLACE, "uidNumber", {std::to_string(*uid)});
  }
  return true;
}

// The new password value, the old one swapped in the same modify so that a
// change made meanwhile makes it fail; empty when nothing is to change.
std::string LockedValue(std::string_view password, bool lock) {
  const std::string_view hash = password.substr(sizeof kCryptScheme - 1);
  const bool locked = hash.starts_with(kLockMark);
  if (lock == locked) return "";
  if (lock) return kCryptScheme + (kLockMark + std::string(hash));
  // Like usermod -U: unlocking "!" alone would leave no password at all.
  if (hash.size() == 1) {
    ErrorLogLine(kLeftLocked);
    return "";
  }
  return kCryptScheme + std::string(hash.substr(1));
}

std::string LockedExpire() { return std::to_string(kLockedExpiryDays); }

// The description value that holds the date a lock saved; "" when none.
std::string_view SavedExpiryValue(const Entry& user) {
  const auto found = user.values.find("description");
  if (found == user.values.end()) return {};
  for (const std::string& value : found->second) {
    if (value.starts_with(kSavedExpiryTag)) return value;
  }
  return {};
}

// shadowExpire 1, and the date it replaces saved unless a lock before this
// one saved it (1 is only ever a lock's own, never a date to give back).
void AddLockExpiry(Mods& mods, const Entry& user) {
  mods.Add(LDAP_MOD_REPLACE, "shadowExpire", {LockedExpire()});
  if (!SavedExpiryValue(user).empty()) return;
  const std::string expire(user.First("shadowExpire"));
  const bool dated = !expire.empty() && expire != LockedExpire();
  mods.Add(LDAP_MOD_ADD, "description", {kSavedExpiryTag + (dated ? expire : kNoSavedDate)});
}

// The saved date back (none: no shadowExpire) and its value gone; without
// one, only a shadowExpire of 1 goes.
void AddUnlockExpiry(Mods& mods, const Entry& user) {
  const std::string saved(SavedExpiryValue(user));
  if (saved.empty()) {
    if (user.First("shadowExpire") == LockedExpire()) {
      mods.Add(LDAP_MOD_REPLACE, "shadowExpire", {});
    }
    return;
  }
  const std::string days = saved.substr(sizeof kSavedExpiryTag - 1);
  mods.Add(LDAP_MOD_REPLACE, "shadowExpire", ParseId(days) ? Optional(days) : Optional(""))
      .Add(LDAP_MOD_DELETE, "description", {saved});
}

// The attributes of the ageing values, in the order of the form.
struct ShadowAttribute {
  const char* attribute;
  std::optional<long> AgeingChanges::*change;
  long PasswordAgeing::*value;
};
constexpr ShadowAttribute kShadowAttributes[] = {
    {"shadowMax", &AgeingChanges::max_days, &PasswordAgeing::max_days},
    {"shadowMin", &AgeingChanges::min_days, &PasswordAgeing::min_days},
    {"shadowWarning", &AgeingChanges::warn_days, &PasswordAgeing::warn_days},
    {"shadowInactive", &AgeingChanges::inactive_days, &PasswordAgeing::inactive_days},
};
constexpr char kForcedLastChange[] = "0";

// While the lock's 1 stands, the new date replaces the one the lock saved,
// so that the unlock gives it back.
void AddExpiryChange(Mods& mods, const Entry& user, long days) {
  if (user.First("shadowExpire") != LockedExpire()) {
    mods.Add(LDAP_MOD_REPLACE, "shadowExpire", DaysValues(days));
    return;
  }
  if (const std::string saved(SavedExpiryValue(user)); !saved.empty()) {
    mods.Add(LDAP_MOD_DELETE, "description", {saved});
  }
  mods.Add(LDAP_MOD_ADD, "description",
           {kSavedExpiryTag + (days < 0 ? std::string(kNoSavedDate) : std::to_string(days))});
}

// Takes the name out of every group that lists it.
DirectoryResult LeaveAllGroups(const std::string& name) {
  std::vector<std::string> groups;
  const int code = Search(GroupBase(), EqualityFilter("posixGroup", "memberUid", name), {"1.1"},
                          [&](const Entry& group) { groups.push_back(group.dn); });
  if (code != LDAP_SUCCESS) return DirectoryResult::Failed;
  for (const std::string& dn : groups) {
    Mods mods;
    mods.Add(LDAP_MOD_DELETE, "memberUid", {name});
    const int removed = Modify(dn, mods);
    if (removed == LDAP_NO_SUCH_ATTRIBUTE) continue;
    if (const DirectoryResult result = ResultOf("modify " + Printable(dn), removed);
        result != DirectoryResult::Done) {
      return result;
    }
  }
  return DirectoryResult::Done;
}

// Whether the account's home passes the home rules now, against the
// accounts where the hosts look; one line on stderr, naming the command,
// when it does not. A stored home such as /etc, /home or bob's home of an
// entry made by hand is never handed to a home command.
bool HomeMayBeActedOn(SettingName setting, const std::string& name, const std::string& home) {
  const std::string refusal = IdSearchBase() == nullptr ? kNoTakenChecks : HomeRefusal(name, home);
  if (refusal.empty()) return true;
  ErrorLogLine(setting.c_str() + (kHomeRefused + Printable(home)) + ": " + refusal);
  return false;
}

// Runs HOME_CREATE or HOME_DELETE with the home directory when it is set
// and the home passes the rules; a failure is a line on stderr, not a
// failed change. Whether the rules let it run (or it is not set).
bool RunHomeCommand(SettingName setting, const std::string& name, const std::string& home) {
  const std::string& command = HostSetting(setting);
  if (command.empty()) return true;
  if (!HomeMayBeActedOn(setting, name, home)) return false;
  if (RunCommandLine(command + " " + ShellWord(home)) != 0) {
    ErrorLogLine(setting.c_str() + (kHomeCommandFailed + Printable(home)));
  }
  return true;
}

// HOME_ARCHIVE with the name, the home and the archive's path; whether it
// exited 0. A home that breaks the rules is not handed to it.
bool ArchiveHome(const std::string& name, const std::string& home, const std::string& archive) {
  const std::string& command = HostSetting("HOME_ARCHIVE");
  const bool archived = !command.empty() && HomeMayBeActedOn("HOME_ARCHIVE", name, home) &&
                        RunArchiveLine(command + " " + ShellWord(name) + " " + ShellWord(home) +
                                       " " + ShellWord(archive)) == 0;
  if (!archived) ErrorLogLine(kNotArchived + Printable(name));
  return archived;
}

bool HasKeyClass(const Entry& user) {
  const auto classes = user.values.find("objectClass");
  if (classes == user.values.end()) return false;
  for (const std::string& value : classes->second) {
    if (strcasecmp(value.c_str(), kKeyClass) == 0) return true;
  }
  return false;
}

// The values as the forms show them: one per line.
std::string KeyLines(const std::vector<std::string>& keys) {
  std::string lines;
  for (const std::string& key : keys) lines += key + "\n";
  return lines;
}

// The new values once each: the server refuses a value given twice.
std::vector<std::string> DistinctKeys(const std::vector<std::string>& keys) {
  std::vector<std::string> distinct;
  for (const std::string& key : keys) {
    if (std::find(distinct.begin(), distinct.end(), key) == distinct.end()) {
      distinct.push_back(key);
    }
  }
  return distinct;
}

}  // namespace

long OwnExpiryDays(const Entry& user) {
  if (user.First("shadowExpire") != LockedExpire()) return DaysOf(user.First("shadowExpire"));
  const std::string_view saved = SavedExpiryValue(user);
  return saved.empty() ? -1 : DaysOf(saved.substr(sizeof kSavedExpiryTag - 1));
}

DirectoryResult AddUser(const NewAccount& account) {
  const std::optional<long> expire_days =
      account.expire.empty() ? std::optional<long>(-1) : DaysOfDate(account.expire);
  if (!expire_days) return DirectoryResult::Failed;
  // Hashed before the lock is taken, so nobody waits on it.
  const std::string hash = HashPassword(account.password);
  if (hash.empty()) return DirectoryResult::Failed;
  if (!HoldLock() || IdSearchBase() == nullptr) return DirectoryResult::Failed;
  const std::optional<std::uint32_t> gid = GroupIdOf(account.group);
  if (!gid) {
    ErrorLogLine(kNoSuchGroup + Printable(account.group));
    return DirectoryResult::Failed;
  }
  const std::optional<std::uint32_t> uid =
      account.uid.empty() ? NextId("uidNumber") : ParseId(account.uid);
  if (!uid) return DirectoryResult::Failed;
  Mods mods;
  AddAccountValues(mods, account, *uid, *gid, hash, *expire_days);
  const std::string dn = ChildDn("uid", account.name, PeopleBase());
  const DirectoryResult result = ResultOf("add " + Printable(dn), Add(dn, mods));
  if (result == DirectoryResult::Done) {
    const std::string home = HostNewHomeOf(account);
    if (!HostSetting("HOME_CREATE").empty() && RunHomeCommand("HOME_CREATE", account.name, home)) {
      OpenUpNewHome(account.name, home);
    }
  }
  return result;
}

DirectoryResult ModifyUser(const std::string& name, const AccountChanges& changes) {
  // A new home was checked where the taken checks look: without such a
  // place it was not.
  if (!HoldLock() || (changes.home && IdSearchBase() == nullptr)) return DirectoryResult::Failed;
  Entry user;
  if (const DirectoryResult found = FindUser(name, {"1.1"}, user); found != DirectoryResult::Done) {
    return found;
  }
  Mods mods;
  if (!AddChanges(mods, name, changes)) return DirectoryResult::Failed;
  if (mods.empty()) return DirectoryResult::Done;
  return ResultOf("modify " + Printable(user.dn), Modify(user.dn, mods));
}

DirectoryResult LockUser(const std::string& name, bool lock) {
  if (!HoldLock()) return DirectoryResult::Failed;
  Entry user;
  if (const DirectoryResult found =
          FindUser(name, {"userPassword", "shadowExpire", "description"}, user);
      found != DirectoryResult::Done) {
    return found;
  }
  const std::string password(user.First("userPassword"));
  if (!password.starts_with(kCryptScheme)) return DirectoryResult::Refused;
  // Password, date and saved date in one modify: all of them or none.
  Mods mods;
  if (const std::string value = LockedValue(password, lock); !value.empty()) {
    mods.Add(LDAP_MOD_DELETE, "userPassword", {password})
        .Add(LDAP_MOD_ADD, "userPassword", {value});
  }
  if (lock) {
    AddLockExpiry(mods, user);
  } else {
    AddUnlockExpiry(mods, user);
  }
  if (mods.empty()) return DirectoryResult::Done;
  return ResultOf("modify " + Printable(user.dn), Modify(user.dn, mods));
}

DirectoryResult ChangeMember(const std::string& group, const std::string& name, bool add) {
  if (!HoldLock()) return DirectoryResult::Failed;
  Entry found;
  if (const DirectoryResult result = FindGroup(group, {"1.1"}, found);
      result != DirectoryResult::Done) {
    return result;
  }
  Mods mods;
  mods.Add(add ? LDAP_MOD_ADD : LDAP_MOD_DELETE, "memberUid", {name});
  const int code = Modify(found.dn, mods);
  if (code == (add ? LDAP_TYPE_OR_VALUE_EXISTS : LDAP_NO_SUCH_ATTRIBUTE)) {
    return DirectoryResult::Done;
  }
  return ResultOf("modify " + Printable(found.dn), code);
}

DirectoryResult DeleteUser(const std::string& name, HomeChoice home, const std::string& archive) {
  if (!HoldLock()) return DirectoryResult::Failed;
  Entry user;
  if (const DirectoryResult found = FindUser(name, {"homeDirectory"}, user);
      found != DirectoryResult::Done) {
    return found;
  }
  const std::string dir(user.First("homeDirectory"));
  if (home == HomeChoice::Archive && !ArchiveHome(name, dir, archive)) {
    return DirectoryResult::HomeNotArchived;
  }
  // Memberships first: a failure then leaves the account as it was, only
  // out of some groups, never a group naming an account that is gone.
  if (const DirectoryResult left = LeaveAllGroups(name); left != DirectoryResult::Done) {
    return left;
  }
  const DirectoryResult result = ResultOf("delete " + Printable(user.dn), Delete(user.dn));
  if (result == DirectoryResult::Done && home != HomeChoice::Keep && !dir.empty() &&
      !RunHomeCommand("HOME_DELETE", name, dir)) {
    return DirectoryResult::DoneHomeKept;
  }
  return result;
}

DirectoryResult ReadAgeing(const std::string& name, PasswordAgeing& ageing) {
  Entry user;
  if (const DirectoryResult found =
          FindUser(name,
                   {"shadowLastChange", "shadowMax", "shadowMin", "shadowWarning",
                    "shadowInactive", "shadowExpire", "description"},
                   user);
      found != DirectoryResult::Done) {
    return found;
  }
  ageing.last_change = DaysOf(user.First("shadowLastChange"));
  for (const ShadowAttribute& shadow : kShadowAttributes) {
    ageing.*shadow.value = DaysOf(user.First(shadow.attribute));
  }
  ageing.expire_days = OwnExpiryDays(user);
  return DirectoryResult::Done;
}

// All values in one modify: all of them or none.
DirectoryResult ChangeAgeing(const std::string& name, const AgeingChanges& changes) {
  if (!HoldLock()) return DirectoryResult::Failed;
  Entry user;
  if (const DirectoryResult found = FindUser(name, {"shadowExpire", "description"}, user);
      found != DirectoryResult::Done) {
    return found;
  }
  Mods mods;
  for (const ShadowAttribute& shadow : kShadowAttributes) {
    if (const std::optional<long>& days = changes.*shadow.change) {
      mods.Add(LDAP_MOD_REPLACE, shadow.attribute, DaysValues(*days));
    }
  }
  if (changes.expire_days) AddExpiryChange(mods, user, *changes.expire_days);
  if (changes.force_change) {
    mods.Add(LDAP_MOD_REPLACE, "shadowLastChange", {kForcedLastChange});
  }
  if (mods.empty()) return DirectoryResult::Done;
  return ResultOf("modify " + Printable(user.dn), Modify(user.dn, mods));
}

DirectoryResult ReadKeys(const std::string& name, std::vector<std::string>& keys) {
  Entry user;
  const DirectoryResult found = FindUser(name, {kKeyAttribute}, user);
  if (found != DirectoryResult::Done) return found;
  if (const auto values = user.values.find(kKeyAttribute); values != user.values.end()) {
    keys = values->second;
  }
  return DirectoryResult::Done;
}

// The shown values themselves are deleted, each by its exact bytes, and the
// new ones added in the same modify: a value another writer took away since
// the read fails it as a whole.
DirectoryResult WriteKeys(const std::string& name, const std::vector<std::string>& keys,
                          const std::string& shown_digest) {
  if (!HoldLock()) return DirectoryResult::Failed;
  Entry user;
  if (const DirectoryResult found = FindUser(name, {"objectClass", kKeyAttribute}, user);
      found != DirectoryResult::Done) {
    return found;
  }
  const auto values = user.values.find(kKeyAttribute);
  const std::vector<std::string> current =
      values == user.values.end() ? std::vector<std::string>{} : values->second;
  if (KeyDigest(KeyLines(current)) != shown_digest) return DirectoryResult::Changed;
  Mods mods;
  if (!keys.empty() && !HasKeyClass(user)) mods.Add(LDAP_MOD_ADD, "objectClass", {kKeyClass});
  if (!current.empty()) mods.Add(LDAP_MOD_DELETE, kKeyAttribute, current);
  if (!keys.empty()) mods.Add(LDAP_MOD_ADD, kKeyAttribute, DistinctKeys(keys));
  if (mods.empty()) return DirectoryResult::Done;
  const int code = Modify(user.dn, mods);
  if (code == LDAP_NO_SUCH_ATTRIBUTE) {
    LogFailure("modify " + Printable(user.dn), code);
    return DirectoryResult::Changed;
  }
  return ResultOf("modify " + Printable(user.dn), code);
}

}  // namespace orvanta::directory
