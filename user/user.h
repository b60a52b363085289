// User administration: the user list and its selection forms, the
// registration and modification forms, and the registration, modification,
// deletion, locking and password ageing actions with their checks; the
// accounts change in the store of the run (store/).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "access/access.h"
#include "page/page.h"
#include "store/store.h"

namespace orvanta {

// The login shells the forms offer, in the order they offer them.
inline constexpr SettingName kShellSettings[] = {"SHELL1", "SHELL2", "SHELL3", "SHELL4",
                                                 "SHELL5"};

enum class UserListMode { List = 0, SelectForModify = 1, SelectForDelete = 2, SelectForAge = 3 };

// GET DEFAULT/VIEW, MOD, DEL, AGE (user_list.cpp)
void PrintUserList(UserListMode mode);
// GET ADD (user_add_form.cpp)
void PrintUserAddForm();
// The registration form's home directory row (DEF_DIR filled in) and login
// shell row (the first shell chosen); the batch form has the same two.
void PrintHomeAndShellRows();
// The registration forms' expiry date row (EXPIRE, empty).
void PrintExpiryRow();
// POST WILLBEMOD (user_mod_form.cpp)
void PrintUserModForm();
// POST WILLBEAGED and TOBEAGED (password_ageing.cpp): the ageing form of
// the chosen account, and the change of its ticked values.
void PrintUserAgeForm();
void ChangeUserAgeing();

// Which accounts the selection forms offer and the actions may change: above
// SYSTEMUID and not reserved, with a name and a home the program can trust
// (IsTrustedStoredName,
// IsTrustedStoredHome), yielded once by the database, and in none of the
// PROTECTED_GROUPS (by primary group or membership), whose members have
// root's powers.
// (A name yielded twice is the caller's to refuse: UserTable and FoundUsers
// tell.)
class AccountGuard {
 public:
  AccountGuard();
  bool MayChange(std::string_view name, std::uint32_t uid, std::uint32_t gid,
                 std::string_view dir) const;
  // Whether the gid is one of the PROTECTED_GROUPS': nobody is put into it.
  bool ProtectsGroup(std::uint32_t gid) const { return protected_gids_.count(gid) != 0; }

 private:
  std::uint32_t threshold_;
  std::set<std::uint32_t> protected_gids_;
  std::set<std::string, std::less<>> protected_members_;
};
// Why the actions leave a stored account alone that the lists show: its
// name or its home cannot be trusted ("ユーザー名(…)は…", "ホームディレクトリ(…)
// が…", values escaped); "" when both can. The `found` form looks at every
// entry of the name.
std::string UntrustedAccountProblem(const UserEntry& user);
std::string UntrustedAccountProblem(const FoundUsers& found, std::string_view name);
// ThrowMessage with that problem, when there is one.
void RefuseUntrustedAccount(const FoundUsers& found, std::string_view name);
// The one entry of the name when AccountGuard lets it be changed; nullptr
// when there is none, more than one, or it is protected.
const UserEntry* ChangeableUser(const FoundUsers& found, std::string_view name);
// The same with a guard made once for all the names of a request (making one
// reads every group).
const UserEntry* ChangeableUser(const FoundUsers& found, std::string_view name,
                                const AccountGuard& guard);

// Takes the change lock (held until the caller lets it go) and reads the
// account of `before` again: Done with `now` set when it is still that
// account (same uid), the operator's, and one the guard lets change;
// Refused otherwise; Failed when the lock could not be taken.
StoreResult ReadAgainUnderLock(const UserEntry& before, const AccountGuard& guard, UserEntry& now);

// ---- Changes to a selection (selection.cpp)
// Below a paged LOCK or DEL list: a GET form of `command` (LOCKALL or
// DELALL) carrying FIND, whose button says how many accounts match the
// search that the action may change.
void PrintSelectAllForm(const char* command);
// GET LOCKALL and DELALL: the count and the first rows of those accounts
// (at most 10,000), and a POST form of TOBELOCK or WILLBEDEL carrying their
// names, FIND and SELECTION; the deletion asks for the count (COUNT).
void PrintSelectionConfirmation(bool deletion);
// Whether a lock or deletion request comes from that form: its rows are
// counted, and each name is refused with its reason instead of the request.
bool IsSelectionRequest();
// The scope's refusal of a selected name (noted in the system log), else
// nullptr.
const char* SelectionScopeRefusal(const FoundUsers& found, std::string_view name);
// Whether an account read again under the lock still matches the search.
bool StillSelected(const UserEntry& now);
// Throws ErrorCode 0 unless COUNT is the number of names the deletion carries.
void CheckTypedCount(size_t names);

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
// A typed gid that the host's own group database uses, when the store
// shares the host's ids.
std::string HostGidProblem(const std::string& text);

// Whether the user forms list the group as a primary group: above the
// threshold (SYSTEMGID), a name the program can trust, not protected, and
// one the operator's scope allows.
bool IsOfferedPrimaryGroup(const GroupEntry& group, std::uint32_t threshold,
                           const AccountGuard& guard);

// NAME, PASS, UID, GID, GCOS, DIR, SHELL and EXPIRE of the request.
NewAccount RequestedAccount();

// The operator's scope over accounts (scope_checks.cpp).
// Whether the user list shows every account: the plain list when the
// scope has "view"; every other list only the operator's accounts.
bool ListShowsEveryAccount(UserListMode mode);
// Whether the name's accounts are the operator's: every entry of it, and
// with a scope limited to groups or uids, a name without an entry is not.
bool OwnsAccountNamed(const FoundUsers& found, std::string_view name);
// RefuseByScope for the first of the names that is not the operator's.
void RefuseUnownedAccounts(const FoundUsers& found,
                           const std::set<std::string, std::less<>>& names);
// What a registration leaves empty the scope fills in: the group, with the
// first listed one; the uid, with the lowest of the range that is no
// account's, none of `also_taken`, not reserved and (when the store shares
// them) none of the host's.
void FillFromScope(NewAccount& account, const std::set<std::uint32_t>& also_taken);
// The new account's uid in the range and its group a listed one.
bool ScopeAllowsNewAccount(const NewAccount& account);
// The same for a modification's ticked uid and group.
bool ScopeAllowsChanges();
// The group the tools would read from -g: digits only are a gid, anything
// else a name; nullptr when the snapshot has none.
const GroupEntry* FindGroupAsTheToolsDo(const std::string& text);

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
// "ユーザーの登録に失敗しました。グループ(name)は…残っています。", the name
// escaped: the account's own group was made, the account not, and the
// group could not be removed again (it gets its GADD record).
std::string GroupKeptProblem(std::string_view name);
// The rules of the ticked boxes; the account's current uid and group pass.
// `found` holds the account and the holders of its new home.
void CheckUserModFields(const UserEntry& current, const FoundUsers& found);

// The authorized keys field (authorized_keys.cpp): one key per line, each
// with options from a short list and a key of type ed25519, ecdsa (also
// the security-key kinds) or RSA of at least 2048 bits, as ssh-keygen reads
// it when run as nobody. Blank lines are dropped, comment lines kept.
inline constexpr size_t kMaxAuthorizedKeys = 100;
inline constexpr size_t kMaxKeyLineBytes = 16384;
struct AuthorizedKey {
  std::string line;         // as the file holds it, blanks at the ends trimmed
  std::string fingerprint;  // "SHA256:..." as ssh-keygen shows it; "" for a comment
};
// The lines that passed, or the first problem (HTML) and no lines.
struct KeyCheck {
  std::vector<AuthorizedKey> keys;
  std::string problem;
};
KeyCheck CheckAuthorizedKeys(std::string_view field);
// The fingerprint of one line of a key file, "" when the line would not pass.
std::string KeyFingerprint(std::string_view line);

// The forms' keys (account_keys.cpp). Whether they are offered: the store
// keeps keys and the scope grants "keys".
bool FormsOfferKeys();
// The registration form's KEYS field.
void PrintKeysAddRow();
// The modification form's current keys with their fingerprints, read as
// the account, and the CHKKEYS box with the KEYS field holding the file,
// the KEYSCLEAR box and KEYDIGEST, the file's digest as shown; only the
// reason when the file cannot be read.
void PrintKeysModRows(const UserEntry& user);
// The key file the request asks for, checked (throws the problem's
// message); nullopt when the keys stay as they are: a registration's empty
// field, an unticked CHKKEYS. Only KEYSCLEAR empties the file.
std::optional<std::string> RequestedKeyFile(bool modification);
// Writes it as the account `name` now is; a modification's write needs the
// file to be as KEYDIGEST says, a registration's finds no file.
KeyFileResult WriteRequestedKeys(const std::string& name, const std::string& content,
                                 bool modification);
// Why the key file was not read or written (HTML); "" for Done.
const char* KeyFileProblem(KeyFileResult result);

// ---- Passwords the forms set (password_choice.cpp)
// What became of a password: generated (GENPASS, a batch line's "*"), or
// typed; weak when the quality check refused it and the operator's
// override set it all the same; the check's score of an accepted one.
struct PasswordOutcome {
  bool generated = false;
  bool weak = false;
  int score = -1;
};
// Generated passwords are offered where the 64-character limit applies.
bool OffersGeneratedPasswords(int max_length);
// Whether the operator may set a refused password: "*", or a scope that
// names "weakpw".
bool MayAllowWeakPasswords();
// The password cell's 自動生成 box (GENPASS), where offered.
void PrintGeneratePasswordBox(int max_length);
// The row of 弱いパスワードを許可 (WEAKPW), for an operator who may.
void PrintWeakPasswordRow();
// The row of the change at the first login (FORCE).
void PrintFirstLoginRow();
// WEAKPW ticked; refused by scope (for `name`) when the operator may not.
bool RequestedWeakOverride(std::string_view name);
// GENPASS ticked; ErrorCode 0 where generation is not offered.
bool RequestedGeneration(int max_length);
// A generated password of the account into `password`; "" or the problem.
std::string GenerateAccountPassword(const std::string& name, const std::string& comment,
                                    std::string& password, PasswordOutcome& outcome);
// The quality check of a typed password: "" when it may be set (refused
// and `allow_weak`: outcome.weak), else the refusal (HTML).
std::string PasswordQualityProblem(const std::string& password, const std::string& name,
                                   const std::string& comment, bool allow_weak,
                                   PasswordOutcome& outcome);
// The result page's lines on the password: the generated one (shown this
// once), the score, the override, the change at the first login.
std::string PasswordNotes(const PasswordOutcome& outcome, const std::string& password,
                          bool first_login);
// The WEAKPW record (and system log line) of a password set by the override.
void RecordWeakPassword(const PasswordOutcome& outcome, const std::string& name);

// POST WILLBEADD (register_user.cpp)
void RegisterUser();
// Whether the configuration cannot hash the account's password (every
// password is stored hashed): the registration fails before anything runs.
bool CannotHashPassword(const NewAccount& account);
// The store needs USERADD and it is not set: registrations fail before any
// check, since no line could be run.
bool LacksUserAddTool();
// Makes an account that passed every check in the store of this run (which
// hashes the password before the change lock is taken). Done,
// DoneWithoutPassword (made, but keeping useradd's locked password),
// NameTaken (taken meanwhile), FailedGroupKept or Failed.
StoreResult AddAccount(const NewAccount& account);

// GET BATCH (batch_form.cpp): the batch registration form, which posts
// multipart/form-data: pasted lines or a CSV file.
void PrintBatchForm();
// GET BATCHSAMPLE (list_csv.cpp): a CSV file of every column the batch
// reads, with two example lines.
void PrintBatchSample();
// The user lists as CSV files (list_csv.cpp), every row their filter
// shows: GET VIEWCSV (the user list), LOCKCSV (the lock list), AGECSV (the
// ageing list with each account's day counts). Each writes one line to
// the system log.
void ExportUserList();
void ExportLockList();
void ExportAgeingList();
// POST BATCHADD (batch_register.cpp): one account per line of LINES, each
// checked as a single registration is, one result row per line.
void RegisterBatch();
// POST TOBEMOD (modify_user.cpp)
void ModifyUser();
// POST WILLBEDEL (delete_users.cpp): one NAME field per ticked row.
void DeleteUsers(const std::string& request_text);
// The deletion list's choice of what happens to the homes (home_choice.cpp):
// radio buttons HOME for the choices the store offers, the first checked.
void PrintHomeChoices();
// The posted HOME: missing is Remove; a value that is no offered choice,
// or two different values, throw ErrorCode 0 before anything runs.
HomeChoice RequestedHomeChoice(const std::string& request_text);

// ---- Last logins on the lock and ageing lists (last_login_column.cpp)
// UNUSED, a whole number of days 1-99999; nullopt when it is missing or
// empty. Anything else, or any value with the directory (which keeps no
// logins), throws the message.
std::optional<long> UnusedDays();
// The column 最終ログイン of a list's rows, read for those rows' accounts
// only; with the directory there is none and it writes nothing.
class LastLoginColumn {
 public:
  LastLoginColumn(const UserTable& users, const std::vector<std::uint32_t>& rows);
  // The heading's cell, naming the records read.
  void PutHeading(RowWriter& out) const;
  // The row's cell: the time of its last login, 記録なし or 不明.
  void PutCell(RowWriter& out, std::string_view name) const;

 private:
  std::optional<LastLogins> logins_;
};
// The accounts of `shown` not used for `days`: no login recorded since
// then, and a last password change (or creation) that long ago, so that
// new accounts stay out; an account asked to change its password at the
// next login has no such date and stays out too. Throws the message when
// the records cannot tell. `states` are the store's LockStates.
using LockStateMap = std::map<std::string, LockSummary, std::less<>>;
std::vector<std::uint32_t> UnusedAccounts(const UserTable& users,
                                          const std::vector<std::uint32_t>& shown, long days,
                                          const LockStateMap& states);
// The same for one account, read again.
bool IsStillUnused(const UserEntry& user, long days);

// GET LOCK (lock_list.cpp): the accounts above SYSTEMUID with their lock
// state, check boxes for those the action would take.
void PrintLockList();
// POST TOBELOCK (lock_users.cpp): locks (ACTION=LOCK) or unlocks
// (ACTION=UNLOCK) every posted NAME, one row each, in request order.
void LockUsers(const std::string& request_text);

}  // namespace orvanta
