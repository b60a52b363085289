// Access: who the operators are, how they log in, and what each may do.
//
//   operators.cpp       the operators file and the check of a password
//   basic_auth.cpp      the credentials of a Basic Authorization header
//   login.cpp           the operators' login (OPERATORS)
//   login_attempts.cpp  the count of failed logins per name and address
//   scope.cpp           what the run's operator may do and to which accounts
//   list_filter.cpp     which accounts and groups the list pages show
//                       (LIST_SYSTEM, FIND, the operator's own)
//
// Who acts in a run, and the system log that names them, stay in cgi/.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "cgi/cgi.h"
#include "page/page.h"

namespace orvanta {

// ---- What the operator may do (scope.cpp) ------------------------------------------

// The actions a scope's "actions=" part names.
enum class Action { View, Add, Batch, Mod, Del, Lock, Member, Age, Group, Log };

struct UidRange {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
};

// An operator's scope: "*" (everything), or ';'-separated parts, each at
// most once: "groups=G1,G2" (the operator's accounts are those whose
// primary group is listed; groups are made and removed only of these
// names), "uids=LOW-HIGH" (only accounts with a uid in the range are the
// operator's, and new and changed uids stay in it), "actions=A,B" (only
// these actions; without the part, every one). Without "view" the lists
// show only the operator's accounts and groups.
class OperatorScope {
 public:
  // nullopt for a text that is none of these.
  static std::optional<OperatorScope> Parse(std::string_view text);
  bool MayDo(Action action) const { return (actions_ & Bit(action)) != 0; }
  bool OwnsUid(std::uint32_t uid) const;
  // With listed groups, the first question reads the groups (AllGroups).
  bool OwnsAccount(std::uint32_t uid, std::uint32_t primary_gid) const;
  bool OwnsGroupName(std::string_view name) const;
  const std::optional<UidRange>& uids() const { return uids_; }
  // The listed groups in their order; empty when any group will do.
  const std::vector<std::string>& groups() const { return groups_; }

 private:
  static constexpr std::uint32_t Bit(Action action) {
    return std::uint32_t{1} << static_cast<unsigned>(action);
  }
  bool ParsePart(std::string_view key, std::string_view value);
  std::uint32_t actions_ = ~std::uint32_t{0};
  std::vector<std::string> groups_;
  std::optional<UidRange> uids_;
  mutable std::optional<std::set<std::uint32_t>> group_gids_;
};

// The scope of CurrentOperator(). A scope that does not parse refuses the
// operator: one line on stderr and kErrorNotLoggedIn.
const OperatorScope& CurrentScope();
// Throws as CurrentScope does, before anything is read or run.
void CheckOperatorScope();
// Writes the refusal to the system log (command, name, "refused-by-scope")
// and returns the text a page or a batch row shows for it.
const char* NoteRefusedByScope(std::string_view name);
// The same, then the refusal's message page (ErrorCode 0).
[[noreturn]] void RefuseByScope(std::string_view name);
// RefuseByScope("") unless the operator may do the action.
void RequireAction(Action action);
// ---- Operators of the program's own (operators.cpp, basic_auth.cpp) -----------------

// One line of the operators file (OPERATORS): "name:hash:scope", the hash in
// crypt(3) form.
struct OperatorEntry {
  std::string name, hash, scope;
};
// [a-z0-9_.-]{1,32}
bool IsOperatorName(std::string_view name);
// The entry as its line of the file, newline included.
std::string OperatorLine(const OperatorEntry& entry);
// The operators of the file, lines that are none skipped with a line on
// stderr; nullopt when it cannot be opened (a symbolic link neither) or,
// with `root_alone`, is not a regular file of root's that group and others
// can neither read nor write.
std::optional<std::vector<OperatorEntry>> ReadOperators(const std::string& path,
                                                        bool root_alone);
// Whether crypt(3) of the password with the hash as its setting gives the
// hash, compared in constant time; false for a hash libxcrypt does not know.
bool PasswordMatches(const std::string& password, const std::string& hash);

// The name and password an "Authorization: Basic" header value carries
// (the scheme in any case); nullopt for anything else.
struct Credentials {
  std::string name, password;
};
std::optional<Credentials> BasicCredentials(std::string_view header);
// Standard base64 with its padding; nullopt for any other text.
std::optional<std::string> DecodeBase64(std::string_view text);

// ---- Login (login.cpp, login_attempts.cpp) ---------------------------------------

// How long a failed login waits before its answer. A test build of the
// program shortens it; nothing at run time can.
#ifndef ORVANTA_LOGIN_FAILURE_WAIT_MILLISECONDS
#define ORVANTA_LOGIN_FAILURE_WAIT_MILLISECONDS 2000
#endif
inline constexpr long kLoginFailureWaitMilliseconds = ORVANTA_LOGIN_FAILURE_WAIT_MILLISECONDS;

// With OPERATORS set, after the switch to root and before anything reads an
// account: verifies the request's Basic credentials against the operators
// file and makes the operator the run's. Throws kErrorNotLoggedIn without
// valid ones (a failure is recorded and waited for), kErrorNoRoot when the
// file is missing or, when the run started set-user-ID, not root's alone.
// Without OPERATORS it does nothing.
void LogInOperator(bool started_setuid);

// After 10 failures for one name from one address within 15 minutes, that
// pair is locked out for 15 minutes. An attempt is noted before its check:
// Counted: it is pending until ClearLoginAttempts (a success) or
// RecordLoginFailure ends it, and one that never ends (its run died) counts
// as a failure after a minute, so that concurrent good logins never lock
// their pair out; Uncounted: the count could not be kept (stderr says why),
// so nobody is let in.
enum class LoginAttempt { Counted, LockedOut, Uncounted };
LoginAttempt CountLoginAttempt(std::string_view name, std::string_view address);
void ClearLoginAttempts(std::string_view name, std::string_view address);
void RecordLoginFailure(std::string_view name, std::string_view address);

// ---- The lists (list_filter.cpp) ----------------------------------------------------

// What the list pages show of the snapshot: every row passes the filter
// before a page is cut out of the rows that passed, so that paging and the
// row numbers count only what is shown.
class ListFilter {
 public:
  // LIST_SYSTEM, and FIND when the lists are paged (LIST_PAGE_SIZE).
  ListFilter();
  // Only ids above the system ones, whatever LIST_SYSTEM says (the pages
  // that offer only changeable accounts).
  ListFilter& AboveSystemIdsOnly();
  // Only the run's operator's accounts and groups (CurrentScope()).
  ListFilter& OwnedOnly();
  const std::string& find() const { return find_; }
  // The filter as a directory server's page query (first and count left to
  // the caller); nullopt when it takes more than the server can do.
  std::optional<ListPageQuery> ServerQuery(bool groups) const;
  bool ShowsUser(const UserTable::Row& user) const;
  bool ShowsGroup(const GroupEntry& group) const;

 private:
  bool ShowsId(std::uint32_t id, std::uint32_t threshold) const;
  // FIND as bytes in the name or the comment, or digits equal to the id.
  bool Found(std::string_view name, std::string_view comment, std::uint32_t id) const;
  bool system_ids_;
  const OperatorScope* owner_ = nullptr;
  std::uint32_t user_threshold_, group_threshold_;
  std::string find_;
  std::optional<std::uint32_t> find_id_;
};

// How many entries match a page query, and how many of them a read gave.
struct ServedRows {
  size_t total = 0, read = 0;
};
// A page that the store's server sorts and cuts out itself, LIST_PAGE_SIZE
// rows from FROM (a FROM past the end reads the first page): `read` fills
// the caller's rows for a query; nullopt when the lists are not paged, the
// query is none or the server cannot.
std::optional<PageWindow> ReadServedPage(
    std::optional<ListPageQuery> query,
    const std::function<std::optional<ServedRows>(const ListPageQuery&)>& read);

// The positions, in the order of the SORT setting, of the accounts that
// the filter shows and `also` (when given) accepts.
std::vector<std::uint32_t> ShownUsers(
    const UserTable& users, const ListFilter& filter,
    const std::function<bool(const UserTable::Row&)>& also = nullptr);

}  // namespace orvanta
