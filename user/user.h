// User administration: the user list and its selection forms, the
// registration and modification forms, and the registration, modification
// and deletion actions with their checks and password hashing; locking
// and the expiry dates it saves.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/cgi.h"

namespace orvanta {

// The login shells the forms offer, in the order they offer them.
inline constexpr SettingName kShellSettings[] = {"SHELL1", "SHELL2", "SHELL3", "SHELL4",
                                                 "SHELL5"};

enum class UserListMode { List = 0, SelectForModify = 1, SelectForDelete = 2 };

// GET DEFAULT/VIEW, MOD, DEL (user_list.cpp)
void PrintUserList(UserListMode mode);
// GET ADD (user_add_form.cpp)
void PrintUserAddForm();
// The registration form's home directory row (DEF_DIR filled in) and login
// shell row (the first shell chosen); the batch form has the same two.
void PrintHomeAndShellRows();
// POST WILLBEMOD (user_mod_form.cpp)
void PrintUserModForm();

// Which accounts the selection forms offer and the actions may change: above
// SYSTEMUID and not reserved, yielded once by the database, and in none of
// the PROTECTED_GROUPS (by primary group or membership), whose members have
// root's powers.
// (A name yielded twice is the caller's to refuse: UserTable and FoundUsers
// tell.)
class AccountGuard {
 public:
  AccountGuard();
  bool MayChange(std::string_view name, std::uint32_t uid, std::uint32_t gid) const;
  // Whether the gid is one of the PROTECTED_GROUPS': nobody is put into it.
  bool ProtectsGroup(std::uint32_t gid) const { return protected_gids_.count(gid) != 0; }

 private:
  std::uint32_t threshold_;
  std::set<std::uint32_t> protected_gids_;
  std::set<std::string, std::less<>> protected_members_;
};
// The one entry of the name when AccountGuard lets it be changed; nullptr
// when there is none, more than one, or it is protected.
const UserEntry* ChangeableUser(const FoundUsers& found, std::string_view name);
// The same with a guard made once for all the names of a request (making one
// reads every group).
const UserEntry* ChangeableUser(const FoundUsers& found, std::string_view name,
                                const AccountGuard& guard);

// PROTECTED_GROUPS, or "root sudo adm wheel shadow disk" when it is not set:
// groups whose members have root's powers. Nobody is given one as primary
// group, none is deleted, and none of these names is made.
std::vector<std::string> ProtectedGroupNames();
bool IsProtectedGroupName(std::string_view name);
// "グループ(name)は使用できません。", the name escaped.
std::string GroupRefusedProblem(std::string_view name);
// Only the shells the forms offer (the non-empty SHELL1-SHELL5), and in a
// modification the account's current one; "" when the shell passes.
std::string ShellProblem(const std::string& shell, const std::string* current);
// With the directory: a typed gid that the host's own group database uses.
std::string HostGidProblem(const std::string& text);

// Whether the user forms list the group as a primary group: above the
// threshold (SYSTEMGID) and not protected.
bool IsOfferedPrimaryGroup(const GroupEntry& group, std::uint32_t threshold,
                           const AccountGuard& guard);

// NAME, PASS, UID, GID, GCOS, DIR and SHELL of the request.
NewAccount RequestedAccount();

// Checks of the actions (user_checks.cpp). The registration checks return
// "" when the values pass, else the reason as the pages show it (HTML);
// the modification check throws ErrorCode 0 with gErrorMessage set.
// The registration form's rules in its order, then the group rule, then
// the shell, the protected groups and (with the directory) the host's uids;
// the home rules look at the home holders among `found`.
std::string UserAddFieldsProblem(const NewAccount& account, const FoundUsers& found);
// The name or the uid already belong to an account that FindUsers found.
std::string UserAddTakenProblem(const NewAccount& account, const FoundUsers& found);
// "ユーザー名(name)はすでに登録されています。", the name escaped.
std::string NameTakenProblem(std::string_view name);
// The rules of the ticked boxes; the account's current uid and group pass.
// `found` holds the account and the holders of its new home.
void CheckUserModFields(const UserEntry& current, const FoundUsers& found);
// DIR with a slash at its end, as the tool line joins it to the name.
std::string DirWithSlash(const std::string& dir);

// Home directories (home_rules.cpp): only strictly below one of HOME_ROOTS
// (default DEF_DIR, else /home/), as absolute paths without ".", ".." or
// "//", reached from HOME_CHECK_ROOT (default "/") through directories that
// are root's, writable by neither group nor others, none of them a link.
// The home a registration gives the account: DIR and the name, or with an
// empty DIR, DEF_DIR (else /home/) and the name.
std::string NewHomeOf(const NewAccount& account);
// "ホームディレクトリ(path)は使用できません。" (path escaped), with a line on
// stderr saying why, unless NewHomeOf(account) may become its home: it
// must also be no other account's home among `found`, and not exist yet
// unless it is the home of an account of the same name (whose name the
// duplicate check then refuses). The directory backend's homes are not
// looked at on this machine.
std::string NewHomeProblem(const NewAccount& account, const FoundUsers& found);
// The same for a modification's new home `path` of the account `name`,
// which may exist.
std::string ChangedHomeProblem(const std::string& path, std::string_view name,
                               const FoundUsers& found);
// The rules that need no look at the disk (for the directory backend's
// HOME_CREATE and HOME_DELETE, which may act on a file server).
bool HomeLiesBelowRoots(std::string_view path);
// The home directory at `path` after the walk, opened read-only without
// following a link: the descriptor, or -1 with `reason` set for stderr.
int OpenHomeDirectory(std::string_view path, const char** reason);
// Whether userdel may remove the account's home with it: a directory of the
// account's own that OpenHomeDirectory opens.
bool MayRemoveHome(const UserEntry& user);

// POST WILLBEADD (register_user.cpp)
void RegisterUser();
// Whether the configuration cannot hash the account's password (every
// password is stored hashed): the registration fails before anything runs.
bool CannotHashPassword(const NewAccount& account);
// The host tools keep the accounts and USERADD is not set: registrations
// fail before any check, since no line could be run.
bool LacksUserAddTool();
// Makes an account that passed every check, with the user-adding tool (and
// opens up its new home, then sets the password) or in the directory. The
// password is hashed before the change lock is taken. NameTaken: the name
// was taken meanwhile. AddedWithoutPassword: the account was made but
// keeps useradd's locked password.
enum class AddResult { Added, AddedWithoutPassword, NameTaken, Failed };
AddResult AddAccount(const NewAccount& account);

// GET BATCH (batch_form.cpp): the batch registration form.
void PrintBatchForm();
// POST BATCHADD (batch_register.cpp): one account per line of LINES, each
// checked as a single registration is, one result row per line.
void RegisterBatch();
// After the tool made the account `name` (new_home.cpp): adds r-x for user,
// group and others to its home `path` (below HOME_CHECK_ROOT) when
// OpenHomeDirectory opens it and it is owned by that account; anything else
// is left as it is, with one line on stderr.
void OpenUpNewHome(const std::string& name, const std::string& path);
// Replaces that step (the fuzz targets record it instead of touching the
// file system); an empty function restores it.
using NewHomeStep = std::function<void(const std::string& name, const std::string& path)>;
void SetNewHomeStep(NewHomeStep step);
// POST TOBEMOD (modify_user.cpp)
void ModifyUser();
// POST WILLBEDEL (delete_users.cpp): one NAME field per ticked row.
void DeleteUsers(const std::string& request_text);

// GET LOCK (lock_list.cpp): the accounts above SYSTEMUID with their lock
// state, check boxes for those the action would take.
void PrintLockList();
// An account's lock: LOCK's two marks, a '!' before the password and the
// expiry date kLockedExpiryDays (Locked); the '!' alone, as locks made
// before LOCK set the date are (PasswordOnly); neither (Open). Unknown: no
// password entry.
enum class LockState { Unknown, Locked, PasswordOnly, Open };
LockState LockStateOf(bool password_locked, bool expired);
// The same from a shadow entry's password field and expiry (days, -1 none).
LockState ShadowLockState(std::string_view password, long expire_days);
// POST TOBELOCK (lock_users.cpp): locks (ACTION=LOCK) or unlocks
// (ACTION=UNLOCK) every posted NAME, one row each, in request order.
void LockUsers(const std::string& request_text);

// Expiry dates saved while accounts are locked (saved_expiry.cpp): lines
// "name:uid:days" (days empty for none) in ChangeLockPath() + ".expiry", a
// root-owned 0600 file read and replaced whole (temporary file, fsync,
// rename) under the change lock. The uid keeps a later account that reuses
// a name from getting the date of the one before.
struct SavedExpiry {
  std::uint32_t uid = 0;
  std::optional<std::uint32_t> days;  // days since 1970-01-01; none when unset
};
class SavedExpiries {
 public:
  // Takes the change lock and reads the file (missing: no entries). False,
  // with a line on stderr, when the lock cannot be taken or the file cannot
  // be read or is not a regular file with one link owned by root.
  bool Load();
  // The name's entry when it was saved for this uid.
  const SavedExpiry* Find(const std::string& name, std::uint32_t uid) const;
  // Sets the name's entry, or drops it (rewriting the file only when there
  // was one); false, with a line on stderr, when the file could not be
  // replaced.
  bool Save(const std::string& name, const SavedExpiry& saved);
  bool Forget(const std::string& name);

 private:
  bool Write() const;
  std::map<std::string, SavedExpiry> entries_;
};
// Drops the entry of a deleted account, so that a new account of its name
// never gets its date.
bool ForgetSavedExpiry(const std::string& name);

// Password hashing (password.cpp)
// CRYPT_METHOD: missing, empty or DES is traditional DES with a salt from
// the clock; SHA512 and YESCRYPT take salts from the kernel's randomness.
enum class CryptMethod { Des, Sha512, Yescrypt, Unknown };
CryptMethod ConfiguredCryptMethod();
// Whether a registration stores the password hashed: USE_CRYPT=YES, or the
// directory, which keeps every password hashed.
bool RegistrationHashesPassword();
// The longest password the forms and actions accept: 64 when it will be
// hashed with a modern method, else 8.
int PasswordMaxLength(bool hashed);
inline constexpr char kSaltAlphabet[] =
    "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789./";
// The two-character salt of the current second.
const char* MakeSalt();
// The salt of a given moment; what MakeSalt uses.
std::string SaltForTime(std::uint32_t seconds);
// crypt(3) of the password with a fresh salt of the configured method; ""
// when the method is unknown or the library refuses (a NULL result, or one
// starting with '*').
std::string HashPassword(const std::string& password);
// Gives the account the hash with CHPASSWD (default /usr/sbin/chpasswd) and
// -e, "name:hash" on its standard input: a command line is readable by
// every local user. Whether the account's shadow entry now holds it.
bool SetPasswordHash(const std::string& name, const std::string& hash);

}  // namespace orvanta
