// The directory backend (ACCOUNTS=ldap): accounts and groups kept in
// OpenLDAP as posixAccount/shadowAccount and posixGroup entries, read by
// paged search and changed by LDAP operations instead of the shell tools.
// The store itself is the module orvanta-ldap.so (store/), loaded on first
// use, so that a run of the tools backend loads no LDAP or TLS library.
//
//   directory.cpp   the functions below as calls into the loaded store
//   loader.cpp      where the module is, whether a set-user-ID run trusts
//                   it, and loading it once
//   boundary.h      the C tables between the program and the module
//   store/          the module: connections to the provider and to the
//                   servers lists are read from, each the first of its list
//                   that answers in time; paged searches, pages the server
//                   sorts and cuts out, indexed lookups of single accounts,
//                   the id counter, account and group
//                   changes (store/session.h)
//
// The pages, checks and log records stay those of the tools backend: the
// actions reach these functions only through the directory's AccountStore
// (store/), which the program picks once per run with UsesDirectory().
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/cgi.h"
#include "ldap/boundary.h"

namespace orvanta {

// ACCOUNTS=ldap, or a value that is neither tools, ldap nor empty (whose
// session never opens, so nothing is read or changed). Missing, empty or
// "tools" keeps the shell tools.
bool UsesDirectory();

// What a change came to, in the terms the pages already have.
enum class DirectoryResult {
  Done,
  NameTaken,  // an entry of that name exists (the name-taken message)
  Refused,    // no such account or group, or nothing to act on (a refused row)
  Failed,     // anything else; one line on stderr names the code and message
  HomeNotArchived,  // HOME_ARCHIVE did not save the home: nothing was deleted
  DoneHomeKept,     // the account is gone; the home rules kept HOME_DELETE from its home
  Changed,          // the keys are no longer those the form showed: nothing was written
};

// ---- Reading ------------------------------------------------------------

// Whether the store is loaded and a server of the list the run reads on
// answers; false after the lines on stderr that say why not.
bool DirectoryReachable();

using DirectoryAccountVisitor = AccountVisitor;
// Every posixAccount under LDAP_PEOPLE_BASE, a page of 1,000 at a time; a
// failed search ends the list with one line on stderr.
void ForEachDirectoryAccount(const DirectoryAccountVisitor& visit);
// The posixAccounts of any of the query's names, uids or homes, each once,
// by equality filters on the indexed attributes.
void ForEachDirectoryAccountOf(const AccountQuery& query, const DirectoryAccountVisitor& visit);
// Every posixGroup under LDAP_GROUP_BASE, the same way.
void ForEachDirectoryGroup(const std::function<void(GroupEntry)>& visit);
// The marks of a lock on each account with a {CRYPT} password: '!' after
// the scheme, and shadowExpire 1; accounts without one are not in the map.
// expire_days: the account's own date (the saved one while the lock's
// shadowExpire 1 stands), -1 for none.
struct DirectoryLockMarks {
  bool password_locked = false;
  bool expired = false;
  long expire_days = -1;
};
// The account's shadow* attributes as ageing (a locked account's expiry as
// the lock saved it); Refused for no such account.
DirectoryResult DirectoryReadAgeing(const std::string& name, PasswordAgeing& ageing);
std::map<std::string, DirectoryLockMarks, std::less<>> DirectoryLockStates();

// One page of a list sorted and cut out by the server (server-side sorting
// and a virtual list view, which the root DSE must offer): its entries to
// `accounts` or `groups`, and how many entries match; nullopt when the
// server does not offer them or the search failed.
std::optional<size_t> ReadDirectoryPage(const ListPageQuery& query,
                                        const DirectoryAccountVisitor& accounts,
                                        const std::function<void(GroupEntry)>& groups);

// ---- Changes ---------------------------------------------------

// A registration (cgi.h's NewAccount): an empty uid takes the next one from
// the counter; the group, digits as a gid or else a name, must exist.
DirectoryResult DirectoryAddUser(const NewAccount& account);

// The ticked attributes of a modification (cgi.h's AccountChanges).
DirectoryResult DirectoryModifyUser(const std::string& name, const AccountChanges& changes);

// shadowMax, shadowMin, shadowWarning, shadowInactive and shadowExpire for
// the ticked values (-1 deletes one), shadowLastChange 0 for the forced
// change; a locked account's new date goes where the lock saved its own.
DirectoryResult DirectoryChangeAgeing(const std::string& name, const AgeingChanges& changes);

// Puts '!' after {CRYPT} and sets shadowExpire to 1, keeping the date it
// had in the entry itself (a description "orvanta-saved-expire:DAYS", or
// ":none") so that an unlock from any host gives it back; or takes the '!'
// away and gives that date back (without one, a shadowExpire of 1 goes).
DirectoryResult DirectoryLockUser(const std::string& name, bool lock);
// Adds or deletes the memberUid; already a member, or not one, is done.
DirectoryResult DirectoryChangeMember(const std::string& group, const std::string& name, bool add);
// Takes the account out of every group, deletes its entry, then runs
// HOME_DELETE with its home directory (Remove, Archive) when the home rules
// let it (else DoneHomeKept). Archive first runs HOME_ARCHIVE with the
// name, the home and `archive` (the file to write), and deletes nothing
// unless it exits 0.
DirectoryResult DirectoryDeleteUser(const std::string& name, HomeChoice home,
                                    const std::string& archive);

// gid empty: the next one from the counter.
DirectoryResult DirectoryAddGroup(const std::string& name, const std::string& gid);
// Fails while an account has the group as its primary group.
DirectoryResult DirectoryDeleteGroup(const std::string& name);

// The account's SSH keys: its sshPublicKey values; Refused for no such
// account.
DirectoryResult DirectoryReadKeys(const std::string& name, std::vector<std::string>& keys);
// Replaces the account's sshPublicKey values with `keys` in one modify that
// also adds the object class ldapPublicKey when the entry lacks it (no keys:
// the attribute goes), when the values it has now, each followed by a
// newline, still have the digest `shown_digest`; else Changed.
DirectoryResult DirectoryWriteKeys(const std::string& name, const std::vector<std::string>& keys,
                                   const std::string& shown_digest);

// ---- The loaded store (loader.cpp) ---------------------------------------------------------

// What the store is lent by the program (its settings, change lock, runner
// and home steps); kept, not copied. Set before the first operation.
void SetDirectoryHost(const OrvantaDirectoryHost* host);
// The store, loaded on the first call; nullptr, after one line on stderr,
// when it is missing, untrusted or of another version: every operation then
// fails as with an unreachable directory.
const OrvantaDirectoryStore* LoadedDirectoryStore();
// False, after one line on stderr that names the package to install, when
// the module to load does not exist (a package site without orvanta-ldap).
bool DirectoryModuleInstalled();
// The module to load: the installed one, whose path is fixed when the
// program is built; when the run is not set-user-ID, ORVANTA_LDAP_MODULE
// instead if it is set (the build directory's, for tests).
std::string DirectoryModulePath();
// Whether a set-user-ID run loads the file at `path`: an absolute path whose
// every directory, and the file itself, is no link, owned by root and
// writable by neither group nor others. Nobody but root can then replace
// any of them between this check and the loading.
bool IsTrustedModule(const std::string& path);

// ---- Trust ------------------------------------------------------------------------------

// Whether the store (store/password_file.cpp) may read the bind password
// file: when the program runs set-user-ID, a regular file owned by root
// that group and others can neither read nor write. `setuid` tells how the
// program runs.
bool IsTrustedPasswordFile(int fd, bool setuid);

}  // namespace orvanta
