// Access: who the operators are, how they sign in, and what each may do.
//
//   operators.cpp       the operators file and the check of a password
//   basic_auth.cpp      the credentials of a Basic Authorization header
//   login.cpp           signing in (OPERATORS): the sign-in page's POST, the
//                       session or Basic credentials of each request
//   login_attempts.cpp  the counts of sign-in attempts, per name and
//                       address and per name
//   sessions.cpp        the sessions: cookies, life, bounds
//   session_store.cpp   where they are kept (SESSION_DIR)
//   secrets.cpp         random ids and tokens, SHA-256
//   totp.cpp            the second factor: one-time codes (TOTP) and
//                       recovery codes, checked under the store's lock
//   totp_store.cpp      where secrets and codes are kept (OPERATORS.totp)
//   totp_pages.cpp      the code's form at sign-in, the enrolment page and
//                       its QR code
//   pages.cpp           the sign-in page and the sessions page
//   scope.cpp           what the run's operator may do and to which accounts
//   list_filter.cpp     which accounts and groups the list pages show
//                       (LIST_SYSTEM, FIND, the operator's own)
//
// Who acts in a run, and the system log that names them, stay in cgi/.
#pragma once

#include <cstdint>
#include <ctime>
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
enum class Action { View, Add, Batch, Mod, Del, Lock, Member, Age, Group, Log, Keys, WeakPw };

struct UidRange {
  std::uint32_t low = 0;
  std::uint32_t high = 0;
};

// An operator's scope: "*" (everything), or ';'-separated parts, each at
// most once: "groups=G1,G2" (the operator's accounts are those whose
// primary group is listed; groups are made and removed only of these
// names), "uids=LOW-HIGH" (only accounts with a uid in the range are the
// operator's, and new and changed uids stay in it), "actions=A,B" (only
// these actions; without the part, every one but "keys", which changes
// what lets people in, and "weakpw", which sets a password the quality
// check refused: each is granted only by "*" or by its name). Without
// "view" the lists show only the operator's accounts and groups.
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
// ---- Operators of the program's own (operators.cpp, basic_auth.cpp) -----------------

// One line of the operators file (OPERATORS): "name:hash:scope", the hash in
// crypt(3) form.
struct OperatorEntry {
  std::string name, hash, scope;
  // The generation of the operator's second-factor secret (not part of
  // the line): a new enrolment or a reset ends the operator's sessions.
  unsigned long totp_generation = 0;
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
// Writes the file anew: a temporary file beside it, mode 0600, fsync, then
// renamed over it, so that a reader sees the old text or the new, never a
// part. false (errno says why) when it cannot.
bool ReplaceFile(const std::string& path, const std::string& text);

// The name and password an "Authorization: Basic" header value carries
// (the scheme in any case); nullopt for anything else.
struct Credentials {
  std::string name, password;
};
std::optional<Credentials> BasicCredentials(std::string_view header);
// Standard base64 with its padding; nullopt for any other text.
std::optional<std::string> DecodeBase64(std::string_view text);

// ---- Signing in (login.cpp, login_attempts.cpp) -----------------------------------

// How long a failed sign-in waits before its answer. A test build of the
// program shortens it; nothing at run time can.
#ifndef ORVANTA_LOGIN_FAILURE_WAIT_MILLISECONDS
#define ORVANTA_LOGIN_FAILURE_WAIT_MILLISECONDS 2000
#endif
inline constexpr long kLoginFailureWaitMilliseconds = ORVANTA_LOGIN_FAILURE_WAIT_MILLISECONDS;

inline constexpr char kSignInCommand[] = "LOGIN";

// With OPERATORS set, after the switch to root and before anything reads an
// account: makes the operator of the request's session the run's (its
// name and sign-out on every page, its form token required on every
// POST), or with AUTH_BASIC=YES the operator of valid Basic credentials.
// COMMAND=LOGIN is answered here: GET shows the sign-in page, POST checks
// the name and password and starts a session. Returns whether the request
// goes on to its page or action.
// Throws kErrorSignIn without a session, kErrorFormToken for a POST
// without the session's token, kErrorNotLoggedIn for failed Basic
// credentials (recorded and waited for), kErrorTooManyAttempts past the
// limits, kErrorClearText where REQUIRE_HTTPS refuses the connection, and
// kErrorNoRoot when the operators file is missing or, set-user-ID, not
// root's alone, or the sessions or counts cannot be kept.
// Without OPERATORS it does nothing and returns true.
bool LogInOperator(bool started_setuid);
// POST LOGOUT: ends the run's session on the server, clears its cookie and
// shows the sign-in page.
void SignOut();
// The sign-in page that answers kErrorSignIn: for a GET it returns to the
// page asked for after signing in; a POST gets it with 403 Forbidden.
void PrintSignInRequired();

// Sign-in attempts are counted per name and address, and per name across
// all addresses. After 10 failures for one name from one address within
// 15 minutes that pair is refused for 15 minutes; once the attempts being
// checked and the failures of a pair reach 10, the next ones are refused
// unchecked, so a burst gets no more than that many checks. After 30
// failures of a name within 15 minutes from any addresses, the name gets
// one checked attempt per 30 seconds from all of them together (until 15
// minutes pass without a failure), except from an address where it signed
// in within the last 15 minutes.
// An attempt is noted before its check: Counted: it is pending until
// RecordLoginSuccess or RecordLoginFailure ends it, and one that never ends
// (its run died) counts as a failure after a minute, so that concurrent
// good sign-ins never lock their pair out; TooMany: refused unchecked and
// uncounted; Uncounted: the count could not be kept (stderr says why), so
// nobody is let in.
enum class LoginAttempt { Counted, TooMany, Uncounted };
LoginAttempt CountLoginAttempt(std::string_view name, std::string_view address);
void RecordLoginSuccess(std::string_view name, std::string_view address);
// The password was right but a second factor is still to come: the
// attempt ends neither as a success nor as a failure.
void RecordLoginPassed(std::string_view name, std::string_view address);
void RecordLoginFailure(std::string_view name, std::string_view address);
// orvanta-operator unlock: forgets every count of the name; false when the
// counts cannot be kept.
bool ForgetLoginAttempts(std::string_view name);

// ---- Sessions (sessions.cpp, session_store.cpp, secrets.cpp) ---------------------------

// Session ids and form tokens: 256 random bits from getrandom as 64
// lower-case hex digits; nullopt when the kernel gives none.
inline constexpr size_t kSecretBytes = 32;
std::optional<std::string> RandomSecret();
// `count` random bytes from getrandom; nullopt when the kernel gives none.
std::optional<std::string> RandomBytes(size_t count);
// Bytes as lower-case hex digits, and back (nullopt for other text).
std::string HexText(std::string_view bytes);
std::optional<std::string> HexBytes(std::string_view text);
bool IsSecretText(std::string_view text);
// SHA-256 of the text as 64 hex digits.
std::string Sha256Hex(std::string_view text);
// Equal texts, compared in a time that tells nothing of where they differ.
bool SameSecret(std::string_view a, std::string_view b);

inline constexpr size_t kMaxSessionsPerOperator = 20;
inline constexpr size_t kMaxSessions = 1000;
// Of a client's address, sessions and counts keep at most this many bytes.
inline constexpr size_t kMaxStoredAddress = 64;

// What a session opens: every page (Full); nothing until its second
// factor is given (Code: the password was right, the code is still to
// come, for at most kCodeStageSeconds); only the enrolment page (Enrol:
// TOTP=required and the operator has no secret yet).
enum class SessionStage { Full, Code, Enrol };
inline constexpr std::time_t kCodeStageSeconds = 5 * 60;

// One session as the store keeps it: never its id, only the id's digest.
// The fingerprint is the digest of the operator's line in the operators
// file and of the generation of its second factor: a changed password or
// scope, a removed operator, a new enrolment or a reset ends it.
struct SessionRecord {
  std::string digest, operator_name, fingerprint;
  std::time_t start = 0, last = 0;
  std::string address, form_token;
  SessionStage stage = SessionStage::Full;
};

// SESSION_DIR (missing: "sessions" beside LOCKFILE), made 0700 when
// missing, opened and locked for one look or change. It must be a
// directory of the run's user (root) that group and others cannot write;
// otherwise one line on stderr and kErrorNoRoot. Never the change lock.
class SessionStore {
 public:
  SessionStore();
  ~SessionStore();
  SessionStore(const SessionStore&) = delete;
  SessionStore& operator=(const SessionStore&) = delete;
  std::optional<SessionRecord> Read(const std::string& digest) const;
  bool Write(const SessionRecord& record) const;
  void Remove(const std::string& digest) const;
  // Every session file, up to a bounded number of directory entries.
  std::vector<SessionRecord> ReadAll() const;

 private:
  int fd_ = -1;
};

// The request counts as HTTPS: HTTPS=on, or the origin it names (Origin,
// else Referer) or its Host, taken as https, is an https entry of
// TRUSTED_ORIGINS (a proxy that ends TLS before the web server).
bool ArrivedOverHttps();
// REMOTE_ADDR is a loopback address.
bool FromLoopback();
// The operator's line as a fingerprint.
std::string OperatorFingerprint(const OperatorEntry& entry);
// The session of the request's cookie, when it is live (not idle for
// SESSION_IDLE, not older than SESSION_MAX, its operator's line unchanged);
// its last use is written at most once a minute. A dead one met is removed.
std::optional<SessionRecord> ResumeSession(const std::vector<OperatorEntry>& operators);
// A new session of the operator from the request's address, after the
// dead ones are swept and, at a bound, the least recently used ended.
// Returns its id.
std::string StartSession(const OperatorEntry& entry, const std::vector<OperatorEntry>& operators,
                         SessionStage stage = SessionStage::Full);
void EndSession(const std::string& digest);
// Every live session, the dead ones removed, by operator and start.
std::vector<SessionRecord> LiveSessions(const std::vector<OperatorEntry>& operators);
// "Set-Cookie: ...\n" for the id: __Host-orvanta over HTTPS, else orvanta
// for SCRIPT_NAME's path; an empty id clears that cookie.
std::string SessionCookieHeader(std::string_view id);

// The operators file as this run read it, and the run's session (none for
// Basic credentials).
const std::vector<OperatorEntry>& RunOperators();
const std::optional<SessionRecord>& RunSession();

// The sign-in page: a notice, the warning of clear text where the request
// is neither HTTPS nor from loopback, and the form, which carries RETURN
// (the GET request to return to) when there is one. `headers` as for
// PrintPageHeader.
enum class SignInNotice { PleaseSignIn, Failed, SignedOut };
void PrintSignInPage(SignInNotice notice, std::string_view return_query, const char* headers);
// After signing in: 303 See Other to the page asked for, with the cookie.
void PrintSignedInRedirect(const std::string& headers, const std::string& target);

// GET SESSIONS (full administrators): who is signed in, from where, since
// when, last use. POST SESSIONS ends one (SESSION, its digest) or all of
// an operator's (OPERATOR), and shows the list again.
void PrintSessionsPage();
void EndChosenSessions();

// ---- The second factor (totp.cpp, totp_store.cpp, totp_pages.cpp) --------------------

// TOTP as RFC 6238 has it: HMAC-SHA-1, 6 digits, 30-second steps; a code
// counts within one step either side of now.
inline constexpr size_t kTotpSecretBytes = 20;
inline constexpr unsigned kTotpStepSeconds = 30;
inline constexpr size_t kTotpDigits = 6;
inline constexpr size_t kRecoveryCodeCount = 10;
// Base32 characters of a recovery code: 50 random bits.
inline constexpr size_t kRecoveryCodeLength = 10;
inline constexpr char kTotpCommand[] = "TOTP";

// One operator's line of the second factor's store.
struct TotpEntry {
  std::string name;
  unsigned long generation = 0;
  std::string secret;  // hex digits; empty: not enrolled
  // The counter (time step) of the last code accepted: only a later one is.
  std::uint64_t last_counter = 0;
  std::vector<std::string> recovery;  // SHA-256 digests of the unused codes
  // An enrolment begun on the page and not confirmed yet, bound to the
  // session that began it.
  std::string pending_secret, pending_session;
  std::time_t pending_until = 0;
};

// The store beside the operators file (OPERATORS with ".totp" added): a
// regular file of root's that group and others can neither read nor write;
// missing, nobody has enrolled. Read without the lock (it is only ever
// replaced whole); nullopt, with a line on stderr, when it is unusable.
std::optional<std::vector<TotpEntry>> ReadTotpStore();
// Under the store's exclusive lock (a file of its own beside it, which
// orvanta-operator takes too): reads the store, lets `change` change it and
// replaces it when `change` returns true. false, with a line on stderr,
// when it cannot be read, locked or written.
bool ChangeTotpStore(const std::function<bool(std::vector<TotpEntry>&)>& change);
// The operator's entry, added when there is none.
TotpEntry& TotpEntryOf(std::vector<TotpEntry>& entries, std::string_view name);
const TotpEntry* FindTotpEntry(const std::vector<TotpEntry>& entries, std::string_view name);
// Sets each operator's totp_generation from the store; false when the
// store is unusable.
bool ReadTotpGenerations(std::vector<OperatorEntry>& operators);

// A new secret's bytes as hex; nullopt when the kernel gives no random bytes.
std::optional<std::string> NewTotpSecret();
// RFC 4648 base32 without padding.
std::string Base32(std::string_view bytes);
// The secret (hex) as an authenticator takes it: base32.
std::string TotpSecretText(const std::string& secret);
// otpauth://totp/orvanta%20(HOST):NAME?secret=...&issuer=orvanta, HOST
// the name of this host.
std::string TotpUri(std::string_view name, const std::string& secret);
// The counter of a 6-digit code of the secret (hex) within one step of
// `now`; nullopt for any other text or a code of no step there.
std::optional<std::uint64_t> MatchTotpCode(const std::string& secret, std::string_view code,
                                           std::time_t now);
// Makes `secret` the entry's, whose first code matched `counter`, with a
// new generation and a new set of recovery codes, which it returns;
// nullopt when the kernel gives no random bytes.
std::optional<std::vector<std::string>> EnrolTotp(TotpEntry& entry, const std::string& secret,
                                                  std::uint64_t counter);
// A new set of recovery codes in place of the old; nullopt as above.
std::optional<std::vector<std::string>> RenewRecoveryCodes(TotpEntry& entry);
// Forgets the secret and the codes; the generation goes on.
void ResetTotp(TotpEntry& entry);
// Whether the operator gives a second factor when signing in (TOTP not
// "off" and a secret stored), and whether one without a secret must enrol.
bool HasTotpSecret(std::string_view name);
bool MustEnrol(std::string_view name);

// A second factor given: a TOTP code later than the last accepted (whose
// counter is then stored) or an unused recovery code (then spent), both
// under the store's lock, so that of two requests with one code only one
// gets in.
enum class SecondFactor { Code, RecoveryCode, Wrong, Unusable };
struct SecondFactorCheck {
  SecondFactor outcome = SecondFactor::Wrong;
  size_t recovery_left = 0;
};
SecondFactorCheck CheckSecondFactor(std::string_view name, std::string_view code, std::time_t now);
// The same as a counted sign-in attempt of the run's address: past the
// limits it throws kErrorTooManyAttempts unchecked; a wrong code is a
// failed sign-in (recorded, in the system log, waited for); a recovery
// code used goes to the system log with the number left.
bool CheckCountedSecondFactor(std::string_view name, std::string_view code);
// The password of the run's operator, checked again as a counted sign-in
// attempt (a failure recorded and waited for).
bool ReconfirmPassword(const std::string& password);

// The form that asks for the code after a right password (COMMAND=LOGIN
// with CODE, in the session the password began); `failed` after a wrong
// code. `headers` as for PrintPageHeader.
void PrintCodePage(bool failed, std::string_view return_query, const char* headers);
// GET TOTP: the second factor of the run's operator, and the forms that
// begin an enrolment and renew the recovery codes.
void PrintTotpPage();
// POST TOTP: begins an enrolment (password, and the current code when
// enrolled), confirms it with a code of the new secret (the session is then
// replaced by one of the new generation and the recovery codes shown once),
// or renews the recovery codes.
void ChangeTotpEnrolment();
// A full session of the run's operator in place of the run's session,
// after the generation changed; returns the Set-Cookie header.
std::string ReplaceRunSession();

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
