// The directory store, built as the module orvanta-ldap.so that the
// program loads with ACCOUNTS=ldap (module.cpp is its one entry point).
// What its files share: what the program lends it, the run's connection,
// escaping, the search helpers, a modification list, and the operations
// module.cpp hands to the program.
#pragma once

#include <ldap.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "hosttools/hosttools.h"
#include "ldap/ldap.h"

namespace orvanta::directory {

// ---- The program's own, lent at start (module.cpp) ----------------------------
// The one settings table, change lock, runner and home steps of the run.

const std::string& HostSetting(SettingName name);
AccountsBackend AccountsSetting();
YesNo StartTlsSetting();
bool HoldChangeLock();
int RunCommandLine(const std::string& line);
int RunArchiveLine(const std::string& line);
std::string HashPassword(const std::string& password);
std::string HostNewHomeOf(const NewAccount& account);
// Why the account's home may not be made, archived or removed now, by the
// program's home rules against the accounts as they are; "" when it may.
std::string HomeRefusal(std::string_view name, std::string_view path);
void OpenUpNewHome(const std::string& name, const std::string& path);
// Whether the run may change accounts (then it reads the provider alone).
bool RunMayChange();
// The program's digest of a key list as its forms show it.
std::string KeyDigest(std::string_view content);

// ---- The operations (search.cpp, sorted_pages.cpp, users.cpp, groups.cpp) -----
// As ldap.h describes them under the names Directory...

void ForEachAccount(const DirectoryAccountVisitor& visit);
void ForEachAccountOf(const AccountQuery& query, const DirectoryAccountVisitor& visit);
void ForEachGroup(const std::function<void(GroupEntry)>& visit);
std::map<std::string, DirectoryLockMarks, std::less<>> LockStates();
DirectoryResult AddUser(const NewAccount& account);
DirectoryResult ModifyUser(const std::string& name, const AccountChanges& changes);
DirectoryResult LockUser(const std::string& name, bool lock);
DirectoryResult ChangeMember(const std::string& group, const std::string& name, bool add);
DirectoryResult DeleteUser(const std::string& name, HomeChoice home, const std::string& archive);
DirectoryResult AddGroup(const std::string& name, const std::string& gid);
DirectoryResult DeleteGroup(const std::string& name);
DirectoryResult ReadAgeing(const std::string& name, PasswordAgeing& ageing);
DirectoryResult ChangeAgeing(const std::string& name, const AgeingChanges& changes);
DirectoryResult ReadKeys(const std::string& name, std::vector<std::string>& keys);
DirectoryResult WriteKeys(const std::string& name, const std::vector<std::string>& keys,
                          const std::string& shown_digest);

// ---- The socket to a server (connect.cpp) --------------------------------------

using Deadline = std::chrono::steady_clock::time_point;

// Whether the URI is an ldapi:// one (a local socket).
bool IsLocal(const LDAPURLDesc& url);
// A blocking socket (close-on-exec) connected to the server of the URI by
// the deadline: for ldap:// and ldaps:// each address of its host in turn,
// for ldapi:// its socket path. -1 when there is none, with `code`
// LDAP_TIMEOUT or LDAP_SERVER_DOWN.
int ConnectedSocket(const LDAPURLDesc& url, Deadline deadline, int& code);

// Shuts the socket down for reading and writing at the deadline unless it
// is stopped before: whatever the library is blocked in on it ends (a TLS
// handshake's read too), and so does its wait for an answer.
class Watchdog {
 public:
  Watchdog(int fd, Deadline deadline);
  ~Watchdog();
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;
  // Stops it; whether it had shut the socket down (the connection is then
  // useless even where the library's call went through).
  bool Stop();

 private:
  std::mutex mutex_;
  std::condition_variable stop_;
  bool stopped_ = false;
  bool fired_ = false;
  std::thread thread_;  // last: it starts once the rest is there
};

// ---- Shared by the operations ---------------------------------------------------

// The run's bound connection to the provider (LDAP_URI), opened on first
// use with the first server of the list that answers in time (each server
// gets LDAP_CONNECT_TIMEOUT plus LDAP_TIMEOUT at most); nullptr
// (with a line on stderr) when the settings are incomplete or no server of
// the list can be reached.
LDAP* Session();
// The connection searches use: in a run that changes nothing, one to
// LDAP_READ_URI when it is set (a nearby replica); else Session().
LDAP* ReadingSession();

// "orvanta: ldap WHAT: CODE (text): server's message", one line on stderr;
// the message is the last one of `ld` (nullptr: of the run's connection,
// and nothing when there is none: its failure was reported).
void LogFailure(std::string_view what, int code, LDAP* ld = nullptr);
// The page's terms for a result code, with LogFailure for anything but success.
DirectoryResult ResultOf(std::string_view what, int code);

// "ATTRIBUTE=value,BASE" with the value escaped by the library.
std::string ChildDn(const char* attribute, std::string_view value, const std::string& base);
// "(ATTRIBUTE=value)" with the value escaped by the library.
std::string EqualityTerm(const char* attribute, std::string_view value);
// A value escaped by the library for a filter; nullopt when it fails.
std::optional<std::string> EscapedFilterValue(std::string_view value);
// "(&(objectClass=CLASS)(ATTRIBUTE=value))" with the value escaped by the library.
std::string EqualityFilter(const char* object_class, const char* attribute, std::string_view value);

const std::string& PeopleBase();
const std::string& GroupBase();
// Where the taken checks look for names, ids and homes (id_search_base.cpp):
// LDAP_ID_SEARCH_BASE, else the longest suffix the people and group bases
// share; nullptr, after one line on stderr in the run, when there is none.
// Registrations, home changes and home commands then fail.
const std::string* IdSearchBase();
// The same without the line: "" when there is none.
const std::string& ChosenIdSearchBase();

// One entry of a search: its DN and the values of the attributes asked for.
struct Entry {
  std::string dn;
  std::map<std::string, std::vector<std::string>, std::less<>> values;
  // The first value, "" when there is none.
  std::string_view First(std::string_view attribute) const;
};

// An entry of a search result.
Entry ReadEntry(LDAP* ld, LDAPMessage* message);
// What the lists read of an account and of a group.
inline const std::vector<const char*> kAccountAttributes = {
    "uid", "uidNumber", "gidNumber", "gecos", "homeDirectory", "loginShell"};
inline const std::vector<const char*> kGroupAttributes = {"cn", "gidNumber", "memberUid"};
// Hands an account entry to `visit`; false for one without a name or ids.
bool VisitAccountEntry(const Entry& entry, const DirectoryAccountVisitor& visit);
// The group of an entry; nullopt without a name or gid.
std::optional<GroupEntry> GroupOf(Entry entry);

// One page of a list sorted and cut out by the server (sorted_pages.cpp).
// How many entries match, after the page's entries went to `accounts` or
// `groups`; nullopt when the root DSE offers no server-side sorting and
// virtual list view, or the search failed.
std::optional<size_t> ReadSortedPage(const ListPageQuery& query,
                                     const DirectoryAccountVisitor& accounts,
                                     const std::function<void(GroupEntry)>& groups);

// Pages of 1,000 entries under `base` (LDAP_SCOPE_SUBTREE or _BASE);
// returns the result code of the search (success once every page was read).
int Search(const std::string& base, const std::string& filter,
           const std::vector<const char*>& attributes, const std::function<void(Entry)>& visit,
           int scope = LDAP_SCOPE_SUBTREE);
// The one entry the filter finds; Refused when none, Failed when more.
DirectoryResult FindOne(const std::string& base, const std::string& filter,
                        const std::vector<const char*>& attributes, Entry& found);
// The one account (posixAccount by uid) or group (posixGroup by cn) of
// that name, as FindOne finds it.
DirectoryResult FindUser(const std::string& name, const std::vector<const char*>& attributes,
                         Entry& user);
DirectoryResult FindGroup(const std::string& name, const std::vector<const char*>& attributes,
                          Entry& group);
// Whether any entry matches; nullopt when the search failed.
std::optional<bool> AnyMatch(const std::string& base, const std::string& filter);

// A list of modifications whose values it keeps alive.
class Mods {
 public:
  Mods() = default;
  Mods(const Mods&) = delete;
  Mods& operator=(const Mods&) = delete;
  Mods& Add(int op, const char* attribute, std::vector<std::string> values);
  bool empty() const { return mods_.empty(); }
  LDAPMod** get();

 private:
  std::deque<std::vector<std::string>> texts_;
  std::deque<std::vector<berval>> values_;
  std::deque<std::vector<berval*>> pointers_;
  std::deque<LDAPMod> mods_;
  std::vector<LDAPMod*> list_;
};

// The operations on the run's connection; LDAP_SERVER_DOWN without one.
int Modify(const std::string& dn, Mods& mods);
int Add(const std::string& dn, Mods& mods);
int Delete(const std::string& dn);

// Opens the run's connection, then holds the change lock as the tool runner
// does: false when there is no connection or the lock cannot be taken.
bool HoldLock();

// The next free uidNumber ("uidNumber") or gidNumber ("gidNumber").
std::optional<std::uint32_t> NextId(const char* attribute);

// The gid of the group the form names (digits are a gid, else a name).
std::optional<std::uint32_t> GroupIdOf(const std::string& group);

// Today as the shadow fields count it: days since 1970-01-01.
std::string DaysSinceEpoch();

// The account entry's expiry date of its own: shadowExpire, or while the
// lock's 1 stands, the date the lock saved in its description; -1 for none.
// The entry must have been read with both attributes.
long OwnExpiryDays(const Entry& user);

}  // namespace orvanta::directory
