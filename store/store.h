// Where the accounts are kept: one AccountStore for what the actions ask
// of them, kept either by the host's tools or in the directory, chosen once
// per run from the settings (app/); and what changing accounts on this host
// takes: password hashing and chpasswd, the home rules and the new home's
// permissions, the archive of a deleted account's home, the expiry dates
// saved while accounts are locked, password ageing and expiry dates.
//
//   store.cpp               the chosen store, lock states
//   tool_accounts.cpp       the host tools: command lines, the change lock,
//                           the chpasswd and new-home steps, saved lock dates
//   tool_ageing.cpp         the host tools' password ageing (chage)
//   directory_accounts.cpp  the directory (ldap/)
//   own_group.cpp           the new account's group, made before it
//   last_login.cpp          the host's records of logins
//   password.cpp, home_rules.cpp, new_home.cpp, home_archive.cpp,
//   saved_expiry.cpp, key_file.cpp
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/cgi.h"

namespace orvanta {

// What a change came to, in the terms the pages have.
enum class StoreResult {
  Done,
  DoneHomeKept,         // the account is gone, its home stays
  DoneHomeArchived,     // the account is gone, its home saved in an archive
  HomeNotArchived,      // the home could not be saved: nothing was deleted
  DoneWithoutPassword,  // the change was made, the new password was not set
  DoneWithoutForcedChange,  // made with its password, but the first login
                            // will not ask for a new one
  FailedGroupKept,      // no account made, but the group made for it stays
  NameTaken,            // an account or group of that name exists
  Refused,              // no such account or group, or nothing to act on
  Failed,
};

// An account's lock: a '!' before the password and the expiry date
// kLockedExpiryDays (Locked); the '!' alone, as locks made before the
// date was set are (PasswordOnly); neither (Open). Unknown: no password
// entry.
enum class LockState { Unknown, Locked, PasswordOnly, Open };
LockState LockStateOf(bool password_locked, bool expired);
// The same from a shadow entry's password field and expiry (days, -1 none).
LockState ShadowLockState(std::string_view password, long expire_days);

// An account's lock state and its expiry date of its own: while the lock's
// day 1 stands in for it, the date the lock saved. Days since 1970-01-01,
// -1 for none.
struct LockSummary {
  LockState state = LockState::Unknown;
  long expire_days = -1;
  // The last password change (the account's creation sets it first); 0
  // asks for a change at the next login, -1 for none.
  long last_change = -1;
};

// What a deletion came to: Done, DoneHomeKept, DoneHomeArchived (with the
// archive's path), HomeNotArchived, Refused or Failed.
struct DeletionResult {
  StoreResult result = StoreResult::Failed;
  std::string archive = {};
};

// The locks or unlocks of one request, made one account at a time, each
// under the change lock with its state read again there.
class AccountLocks {
 public:
  virtual ~AccountLocks() = default;
  // One of the accounts they were started for: Done, Refused or Failed.
  virtual StoreResult Change(const UserEntry& user) = 0;
};

// What reading or replacing an account's keys came to: Done; NoHome (no
// home on disk); NotOwned (the home, .ssh or the file is not the account's,
// or is a link or not a plain file); Changed (the keys are no longer those
// the form showed); Failed. Nothing is written unless Done.
enum class KeyFileResult { Done, NoHome, NotOwned, Changed, Failed };
struct KeyFile {
  KeyFileResult result = KeyFileResult::Failed;
  std::string content;  // "" when there is no file
};
// SHA-256 of the bytes in hex: the form carries the file's as it showed it.
std::string KeyFileDigest(std::string_view content);

class AccountStore {
 public:
  virtual ~AccountStore() = default;

  // ---- What the forms and checks ask
  // Whether the accounts can be read at all: with the directory, whether
  // its store is loaded and a server answers (false after the lines on
  // stderr); the host's own databases always can.
  virtual bool Reachable() const = 0;
  // Whether the tool the setting names must be set for the action to run
  // (the line would otherwise start with the request's values).
  virtual bool LacksTool(SettingName tool) const = 0;
  // Whether every password is kept hashed, whatever USE_CRYPT says.
  virtual bool HashesEveryPassword() const = 0;
  // Whether the accounts share the ids and the protected groups of the
  // host's own databases without being in them.
  virtual bool SharesHostDatabases() const = 0;
  // Whether homes are made on this machine, below HOME_CHECK_ROOT, where
  // the home rules can look at them; otherwise HOME_ROOTS is taken as
  // written.
  virtual bool MakesHomesHere() const = 0;
  // Whether accounts have SSH keys that the forms may show and change:
  // ~/.ssh/authorized_keys of homes on this machine (key_file.cpp), or the
  // directory's sshPublicKey values.
  virtual bool KeepsKeys() const = 0;
  // Whether the host's records of logins (ReadLastLogins) are the accounts':
  // the directory's accounts log in on other hosts.
  virtual bool KeepsLastLogins() const = 0;
  // The account's keys, one per line, as the forms show them.
  virtual KeyFile ReadKeys(const UserEntry& user) const = 0;
  // Replaces them with the lines of `content` when the keys now have
  // `shown_digest`; nothing is written unless Done.
  virtual KeyFileResult WriteKeys(const UserEntry& user, const std::string& content,
                                  const std::string& shown_digest) const = 0;
  // Whether a deletion may do this with the home: Remove and Keep with the
  // tools, Archive when ARCHIVE_DIR is usable; the directory offers those
  // whose commands are set.
  virtual bool OffersHomeChoice(HomeChoice home) const = 0;
  // The lock state and expiry date of every account that has a password
  // entry.
  virtual std::map<std::string, LockSummary, std::less<>> LockStates() const = 0;
  // The account's ageing; nullopt when it has no password entry or it
  // cannot be read.
  virtual std::optional<PasswordAgeing> Ageing(const UserEntry& user) const = 0;
  // The ageing of every account that has a password entry, by name: the
  // tools read the shadow database once, the directory asks per account.
  virtual std::map<std::string, PasswordAgeing, std::less<>> AllAgeing() const = 0;
  // A list's page as the store's server sorts and cuts it out itself: its
  // entries to `accounts` or `groups`, and how many match; nullopt when the
  // store has no such server (the lists cut the page out of the snapshot).
  virtual std::optional<size_t> ReadListPage(
      const ListPageQuery& query, const AccountVisitor& accounts,
      const std::function<void(GroupEntry)>& groups) const = 0;

  // ---- Changes of accounts that passed the checks
  // Done, DoneWithoutPassword, DoneWithoutForcedChange, NameTaken or
  // Failed. An account to change its password at the first login gets the
  // ageing page's forced change once its password is set.
  virtual StoreResult AddUser(const NewAccount& account) const = 0;
  // Done, DoneWithoutPassword (the attributes changed), Refused or Failed.
  virtual StoreResult ModifyUser(const UserEntry& user, const AccountChanges& changes) const = 0;
  // Removes the account and does with its home what `home` says; an
  // archive is written before anything is deleted.
  virtual DeletionResult DeleteUser(const UserEntry& user, HomeChoice home) const = 0;
  // Locks (lock) or unlocks accounts, each when its turn comes.
  virtual std::unique_ptr<AccountLocks> StartLocks(bool lock) const = 0;
  // Changes the ageing; a locked account keeps its lock and gets the new
  // expiry date as the one its unlock gives back. Done, Refused or Failed.
  virtual StoreResult ChangeAgeing(const UserEntry& user, const AgeingChanges& changes) const = 0;
  // Puts the account into the group or takes it out.
  virtual StoreResult ChangeMember(const GroupEntry& group, const std::string& name,
                                   bool add) const = 0;
  // gid empty: the store picks one. Done, NameTaken or Failed.
  virtual StoreResult AddGroup(const std::string& name, const std::string& gid) const = 0;
  virtual StoreResult DeleteGroup(const std::string& name) const = 0;
};

// The store of this run: the one UseAccountStore chose, else the tools.
const AccountStore& Accounts();
void UseAccountStore(const AccountStore& store);
const AccountStore& HostToolStore();
const AccountStore& DirectoryStore();

// ---- The new account's own group (own_group.cpp)

// The host tools' registration line; `own_group` puts -N before its -g.
std::string UserAddLine(const NewAccount& account, bool own_group);
// When useradd would give the account a group of its own (no group asked
// for, USERGROUPS_ENAB yes in the login.defs it reads, LOGIN_DEFS when set,
// and neither USERADD nor OPTION deciding about groups): under the change
// lock, with the name free, makes the group (with the uid as gid when that
// is free and in GID_MIN-GID_MAX) and then the account with -N -g NAME and
// the uid useradd would pick. Done, Failed (a group made is removed again)
// or FailedGroupKept; nullopt leaves the registration to useradd alone.
std::optional<StoreResult> AddUserWithOwnGroup(const NewAccount& account,
                                               const AccountStore& tools);

// ---- Passwords (password.cpp)

// CRYPT_METHOD: missing, empty or DES is traditional DES with a salt from
// the clock; SHA512 and YESCRYPT take salts from the kernel's randomness.
enum class CryptMethod { Des, Sha512, Yescrypt, Unknown };
CryptMethod ConfiguredCryptMethod();
// Whether registrations take the modern methods' long passwords:
// USE_CRYPT=YES, or a store that always kept every password hashed. (Every
// password is hashed now; without YES the registration form keeps the short
// limit it had when the tools got the password as typed.)
bool RegistrationTakesLongPasswords();
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
// crypt(3) of an operator's password: with CRYPT_METHOD's SHA512 or
// YESCRYPT, else yescrypt (DES would keep only 8 bytes of it); "" when the
// library refuses.
std::string HashOperatorPassword(const std::string& password);
// Gives the account the hash with CHPASSWD (default /usr/sbin/chpasswd) and
// -e, "name:hash" on its standard input: a command line is readable by
// every local user. Whether the account's shadow entry now holds it.
bool SetPasswordHash(const std::string& name, const std::string& hash);

// ---- Password quality (password_quality.cpp)

// libpwquality's verdict, the library loaded on first use: the host's
// pwquality.conf (PWQUALITY_CONF names another), gecoscheck=0, the
// account's name as the user, and as bad words the words of the comment
// and of the BADWORDS file (set-user-ID, only a regular file of root's
// that group and others cannot write). A dictionary that is not there
// turns the dictionary check off, with one line on stderr.
struct PasswordVerdict {
  int score = -1;                 // 0-100 when accepted
  const char* refusal = nullptr;  // why not, as the pages say it
};
PasswordVerdict CheckPasswordQuality(const std::string& password, const std::string& name,
                                     const std::string& comment);
// A new password of 64 bits from pwquality_generate that the same check
// accepts, and its verdict; "" when none could be made.
std::string GeneratePassword(const std::string& name, const std::string& comment,
                             PasswordVerdict& verdict);

// ---- Homes (home_rules.cpp, new_home.cpp)

// DIR with a slash at its end, as the tool line joins it to the name.
std::string DirWithSlash(const std::string& dir);
// Home directories: only strictly below one of HOME_ROOTS (default DEF_DIR,
// else /home/), as absolute paths without ".", ".." or "//", reached from
// HOME_CHECK_ROOT (default "/") through directories that are root's,
// writable by neither group nor others, none of them a link.
// The home a registration gives the account: DIR and the name, or with an
// empty DIR, DEF_DIR (else /home/) and the name.
std::string NewHomeOf(const NewAccount& account);
// "ホームディレクトリ(path)は使用できません。" (path escaped), with a line on
// stderr saying why, unless NewHomeOf(account) may become its home: it
// must neither be, nor lie inside, nor hold the home of an account of
// another name among `found` (only homes strictly below one of HOME_ROOTS
// count, compared as normalised paths), and not exist yet unless it is the
// home of an account of the same name (whose name the duplicate check then
// refuses). Homes a store makes elsewhere are not looked at on this
// machine: for them these rules on paths stand in for the walk.
std::string NewHomeProblem(const NewAccount& account, const FoundUsers& found);
// The same for a modification's new home `path` of the account `name`,
// which may exist.
std::string ChangedHomeProblem(const std::string& path, std::string_view name,
                               const FoundUsers& found);
// The rules that need no look at the disk, against the accounts as they
// are now, for a home about to be made, archived or removed (the
// directory's home commands, which may act on a file server): why the home
// of the account `name` may not be acted on, or nullptr.
const char* HomeRefusalNow(std::string_view name, const std::string& path);
// The path as this machine reaches it: inside HOME_CHECK_ROOT.
std::string PathInCheckRoot(std::string_view path);
// The home directory at `path` after the walk, opened read-only without
// following a link: the descriptor, or -1 with `reason` set for stderr.
int OpenHomeDirectory(std::string_view path, const char** reason);
// Whether userdel may remove the account's home with it: a directory of the
// account's own that OpenHomeDirectory opens, and HomeRefusalNow has none.
bool MayRemoveHome(const UserEntry& user);
// After the account `name` was made: adds r-x for user, group and others to
// its home `path` (below HOME_CHECK_ROOT) when OpenHomeDirectory opens it
// and it is owned by that account; anything else is left as it is, with one
// line on stderr.
void OpenUpNewHome(const std::string& name, const std::string& path);
// Replaces that step (the fuzz targets record it instead of touching the
// file system); an empty function restores it.
using NewHomeStep = std::function<void(const std::string& name, const std::string& path)>;
void SetNewHomeStep(NewHomeStep step);

// ---- Authorized keys of homes on this machine (key_file.cpp)
// The home's .ssh/authorized_keys as a child process that has become the
// account reads it.
KeyFile ReadKeyFile(const UserEntry& user);
// Under the change lock: makes .ssh 0700 when missing and replaces the
// file (0600) with `content` when its current bytes have `shown_digest`.
KeyFileResult WriteKeyFile(const UserEntry& user, const std::string& content,
                           const std::string& shown_digest);

// ---- Home archives (home_archive.cpp)

// ARCHIVE_DIR/NAME-YYYYmmdd-HHMM.tar.gz, local time now, with no '/' in
// its file name; nullopt for a name IsTrustedStoredName refuses.
std::optional<std::string> ArchivePathOf(const std::string& name);
// ARCHIVE_TIMEOUT: whole seconds (default 600) an archive may take, under
// the change lock; another value is the default, with a line on stderr.
int ArchiveTimeoutSeconds();
// Whether ARCHIVE_DIR is set and opens as a directory; when the program
// runs set-user-ID, also root's and writable by neither group nor others.
bool ArchiveDirIsUsable();
// Writes the home of the account, which MayRemoveHome must allow, with
// TAR (default /bin/tar) into a new file of ArchivePathOf (0600, never
// one that exists), under the change lock. The file's path when tar
// exited 0 and the file reached the disk; otherwise "" (with a line on
// stderr) and no file is left.
std::string ArchiveHome(const UserEntry& user);

// ---- Last logins (last_login.cpp)

// Where the host records logins: Debian 12's lastlog file (a fixed-size
// record per uid), Debian 13's lastlog2 database (libpam-lastlog2) or its
// wtmpdb log, the last two read through their own libraries, loaded only
// when a page asks.
enum class LoginRecords { Lastlog, Lastlog2, Wtmpdb };
struct LoginAccount {
  std::string_view name;
  std::uint32_t uid = 0;
};
struct LastLogins {
  LoginRecords records = LoginRecords::Lastlog;
  // False when the records could not be read (a line on stderr says why):
  // nothing is known of any account.
  bool read = false;
  // The oldest record kept (wtmpdb's log is rotated): an account without a
  // record may have logged in before it. 0 for records kept for ever.
  std::int64_t since = 0;
  // Seconds since 1970 of each account's last login; none recorded: absent.
  std::map<std::string, std::int64_t, std::less<>> times;
};
// The last logins of these accounts from the records LASTLOG names
// ("lastlog:PATH", "lastlog2:PATH" or "wtmpdb:PATH"); without it, the
// host's: /var/lib/lastlog/lastlog2.db when it exists, else
// /var/lib/wtmpdb/wtmp.db when it exists, else /var/log/lastlog.
LastLogins ReadLastLogins(const std::vector<LoginAccount>& accounts);

// ---- Saved lock dates (saved_expiry.cpp)

// Expiry dates saved while accounts are locked: lines "name:uid:days"
// (days empty for none) in ChangeLockPath() + ".expiry", a root-owned 0600
// file read and replaced whole (temporary file, fsync, rename) under the
// change lock. The uid keeps a later account that reuses a name from
// getting the date of the one before.
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
  // The same without the change lock, for pages that only show the dates
  // (the file is only ever replaced whole).
  bool Read();
  // The name's entry when it was saved for this uid.
  const SavedExpiry* Find(const std::string& name, std::uint32_t uid) const;
  // Whether the name has an entry, for whichever uid.
  bool Holds(const std::string& name) const;
  // Sets the name's entry, or drops it (rewriting the file only when there
  // was one); false, with a line on stderr, when the file could not be
  // replaced.
  bool Save(const std::string& name, const SavedExpiry& saved);
  bool Forget(const std::string& name);

 private:
  friend bool FlushSavedExpiries();
  bool ReadFile();
  bool Write() const;
  std::map<std::string, SavedExpiry> entries_;
};
// The lock and deletion actions' changes of the file (nullopt drops the
// name's entry): kept by the run, counted as written by every later Read
// of it, and written together under the change lock once 100 are waiting.
void DeferSavedExpiry(const std::string& name, std::optional<SavedExpiry> saved);
// Writes the changes still waiting (in one replacement of the file, read
// again under the change lock); the actions call it when they end. False,
// with a line on stderr, when they could not be written.
bool FlushSavedExpiries();
// Drops the entry of a deleted account (deferred), so that a new account of
// its name never gets its date; false when the file cannot be read.
bool ForgetSavedExpiry(const std::string& name);

// ---- The host tools' ageing (tool_ageing.cpp)

// The expiry date of the account's own: `expire_days` from shadow, or for
// the lock's day 1 the date saved for that name and uid (-1 for none).
long OwnExpiryDays(const std::string& name, std::uint32_t uid, long expire_days,
                   const SavedExpiries& saved);
// The account's shadow entry as ageing.
std::optional<PasswordAgeing> ToolAgeing(const UserEntry& user);
std::map<std::string, PasswordAgeing, std::less<>> AllToolAgeing();
// CHAGE (default /usr/bin/chage) with -M, -m, -W, -I, -E for the ticked
// values and -d 0 for the forced change.
StoreResult ChangeAgeingWithTool(const UserEntry& user, AgeingChanges changes);
// CHAGE -d 0 NAME under the change lock held: whether the next login asks
// for a new password (after a failure, whether shadow says so all the same).
bool ForcePasswordChangeWithTool(const std::string& name);

}  // namespace orvanta
