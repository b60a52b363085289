// Request handling: what one run of the program is made of.
//
//   environment.cpp     the one reader of the environment: the CGI variables
//                       of the run, copied first thing
//   setuid_start.cpp    the clean process a set-user-ID run starts from
//   request.cpp         reads the CGI request into gCGIData and gRequestText;
//                       the message of ErrorCode 0
//   config.cpp          adds the entries of cfg_file.cfg to the same table;
//                       the settings that take only a few words
//   request_source.cpp  who may send requests: authentication, cross-site POSTs
//   snapshot.cpp        the account and group databases, read when first needed
//   error_log.cpp       one-line reports on stderr (the web server's error log)
//   operator.cpp        who acts in this run, and the system log of what they did
//
// The operators, their login and scopes, and the lists' filter are in
// access/; the entry point and the command tables sit above every feature,
// in app/.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "page/page.h"

namespace orvanta {

// ---- Failures -------------------------------------------------------------

// A failure is thrown as a bare integer before anything has been written;
// ReportError turns it into the whole response.
using ErrorCode = int;

inline constexpr ErrorCode kErrorMessageInGlobal = 0;  // text in gErrorMessage
inline constexpr ErrorCode kErrorNotCgi = 1;
inline constexpr ErrorCode kErrorNoRequestData = 2;
inline constexpr ErrorCode kErrorNoRoot = 110;
inline constexpr ErrorCode kErrorUnknownCommand = 111;
inline constexpr ErrorCode kErrorNoUserSelected = 112;
inline constexpr ErrorCode kErrorUserAddFailed = 113;
inline constexpr ErrorCode kErrorUserModFailed = 114;
inline constexpr ErrorCode kErrorGroupAddFailed = 115;
inline constexpr ErrorCode kErrorDirectoryUnreachable = 116;

// Refusals that carry an HTTP status line of their own.
inline constexpr ErrorCode kErrorCrossSite = 403;
inline constexpr ErrorCode kErrorNotAuthenticated = 4031;  // also 403 Forbidden
inline constexpr ErrorCode kErrorNotLoggedIn = 401;  // asks for the operator's Basic login
inline constexpr ErrorCode kErrorRequestTooLarge = 413;
// A multipart body that does not read as one: 400, nothing runs.
inline constexpr ErrorCode kErrorBadRequest = 400;
// The sign-in page instead of what was asked for: a request of no session
// (a POST gets it with 403 Forbidden).
inline constexpr ErrorCode kErrorSignIn = 4011;
// A session's POST without its form token: 403, nothing runs.
inline constexpr ErrorCode kErrorFormToken = 4032;
// REQUIRE_HTTPS: a password or session over clear text from afar, 403.
inline constexpr ErrorCode kErrorClearText = 4033;
// TOTP=required: an operator without a second factor opens only its
// enrolment page until one is made, 403.
inline constexpr ErrorCode kErrorEnrolFirst = 4034;
// Sign-in attempts past their limit: 429, nothing checked.
inline constexpr ErrorCode kErrorTooManyAttempts = 429;
inline constexpr ErrorCode kErrorNoDirectoryModule = 5031;  // 503: orvanta-ldap missing

// Finished message for ErrorCode 0 (HTML, values already escaped).
extern std::string gErrorMessage;
// Stores the message and throws ErrorCode 0.
[[noreturn]] void ThrowMessage(std::string message);

// ---- The environment (environment.cpp) ---------------------------------------
//
// Nothing else reads the process's environment: a run copies the CGI
// variables it uses into a table first thing and asks only the table, so
// that a set-user-ID run can empty the environment (ResetEnvironment)
// before any library reads what its caller put there.

// Whether the name is one of the CGI variables the table holds:
// REQUEST_METHOD, QUERY_STRING, CONTENT_LENGTH, CONTENT_TYPE, REMOTE_ADDR,
// REMOTE_USER, HTTPS, SERVER_NAME, SERVER_PORT, SCRIPT_NAME and every HTTP_*.
bool IsRequestVariable(std::string_view name);
// Fills the table from the environment, replacing what it held.
void CopyRequestEnvironment();
// The variable's value in the table; nullopt when it was not set.
std::optional<std::string_view> RequestVariable(std::string_view name);
// The same, "" when it was not set.
std::string_view Env(std::string_view name);
// A variable of the process's environment as it is now: the switches of a
// run that is not set-user-ID (ORVANTA_LDAP_MODULE). nullopt when unset.
std::optional<std::string> ProcessVariable(const char* name);

// The PATH of every process that runs as root: a set-user-ID run's own and
// each tool's.
inline constexpr char kFixedPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// ---- Request and settings table ---------------------------------------------

// The run's one name/value table: REMOTE_ADDR and REQUEST_METHOD from the
// environment, then the request parameters, then the configuration entries.
extern std::map<std::string, std::string> gCGIData;

// The whole request text as received (ended at its first NUL, raw or
// encoded as %00); the deletion actions scan it for repeated fields and
// error 111 quotes it decoded.
extern std::string gRequestText;

// Bodies above this size are refused unread.
inline constexpr long kMaxRequestBody = 1024L * 1024L;

// Value of a parameter or setting; a missing name reads as "" and is added.
const std::string& Param(const std::string& name);
void SetParam(const std::string& name, std::string value);
// Whether the name was sent at all (does not add it).
bool HasParam(const std::string& name);

// ---- Settings ----------------------------------------------------------------

// Every setting the program reads. A request parameter of any of these names
// is dropped, so the request can never choose what runs as root.
inline constexpr std::string_view kSettingNames[] = {
    "SORT",     "SYSTEMUID", "SYSTEMGID", "DEF_DIR",         "SHELL1",       "SHELL2",
    "SHELL3",   "SHELL4",    "SHELL5",    "USE_CRYPT",       "OPTION",       "USERADD",
    "USERMOD",  "USERDEL",   "GROUPADD",  "GROUPDEL",        "TRUSTED_ORIGINS",
    "PROTECTED_GROUPS",      "CRYPT_METHOD", "LOCKFILE",      "LOGFILE",      "REQUIRE_AUTH",
    "ACCOUNTS", "LDAP_URI",  "LDAP_PEOPLE_BASE", "LDAP_GROUP_BASE", "LDAP_BINDDN",
    "LDAP_BINDPW_FILE",      "LDAP_STARTTLS", "LDAP_CACERT",  "LDAP_COUNTER_DN", "LDAP_MIN_ID",
    "LDAP_MAX_ID", "LDAP_READ_URI", "LDAP_CONNECT_TIMEOUT", "LDAP_TIMEOUT", "LDAP_ID_SEARCH_BASE",
    "HOME_CREATE", "HOME_DELETE", "HOME_ROOTS", "HOME_CHECK_ROOT", "CHPASSWD",
    "CHAGE", "HOME_ARCHIVE", "ARCHIVE_DIR", "ARCHIVE_TIMEOUT", "TAR", "OPERATORS",
    "LIST_PAGE_SIZE", "LIST_SYSTEM", "AUTH_BASIC", "REQUIRE_HTTPS", "SESSION_DIR",
    "SESSION_IDLE", "SESSION_MAX", "LOGIN_DEFS", "TOTP", "BADWORDS", "PWQUALITY_CONF",
    "LASTLOG"};

constexpr bool IsSettingName(std::string_view name) {
  for (std::string_view known : kSettingNames) {
    if (known == name) return true;
  }
  return false;
}

// The name of a setting, checked against kSettingNames when the program is
// compiled: reading a setting that is not in the list does not build.
class SettingName {
 public:
  consteval SettingName(const char* name) : name_(name) {  // NOLINT(google-explicit-constructor)
    if (!IsSettingName(name)) throw "not in kSettingNames";
  }
  const char* c_str() const { return name_; }

 private:
  const char* name_;
};

// The value of a setting from cfg_file.cfg ("" when it is not set).
const std::string& Setting(SettingName name);
// Whether cfg_file.cfg sets it at all, perhaps to "".
bool HasSetting(SettingName name);

// Switches and the backend take a few words only: a value that is none of
// them (a "yes" meant as YES) fails closed where it is used, never silently
// weakens anything.
// USE_CRYPT, REQUIRE_AUTH, LDAP_STARTTLS, AUTH_BASIC, REQUIRE_HTTPS: "NO",
// "YES", or missing or empty (No).
enum class YesNo { No = 0, Yes = 1, Invalid = 2 };
YesNo YesNoSetting(SettingName name);
// ACCOUNTS: "tools", "ldap", or missing or empty (Tools).
enum class AccountsBackend { Tools = 0, Directory = 1, Invalid = 2 };
AccountsBackend AccountsSetting();
// One line on stderr for each of those settings (and of LIST_PAGE_SIZE and
// LIST_SYSTEM) whose value is none of its words, naming the setting and what it does now; once per run, after the
// settings are read.
void ReportInvalidSettings();

// TOTP: "off" (no second factor), "optional" (operators who enrolled give
// a code; also missing or empty) or "required" (every operator gives one,
// and one without a secret may only enrol); any other value reads as
// "required", with a line from ReportInvalidSettings.
enum class TotpMode { Off, Optional, Required };
TotpMode TotpSetting();

// LIST_PAGE_SIZE: how many rows a list page shows; 0 (every row on one
// page) when it is missing, 0 or not a whole number.
size_t ListPageSize();
// LIST_SYSTEM: false for NO, which leaves the system's accounts and groups
// and the reserved ids out of the lists; YES, missing or anything else: true.
bool ListsSystemIds();

// SESSION_IDLE and SESSION_MAX: whole minutes from 1 to kMaxSessionMinutes;
// missing, empty or anything else gives the default (and a bad value one
// line from ReportInvalidSettings).
inline constexpr long kDefaultSessionIdleMinutes = 15;
inline constexpr long kDefaultSessionMaxMinutes = 480;
inline constexpr long kMaxSessionMinutes = 366L * 24 * 60;
long SessionIdleMinutes();
long SessionMaxMinutes();

// Converts like the C library's atoi: leading blanks, a sign, digits up to
// the first other byte; no digits give 0.
int AtoiLike(const std::string& text);
// An id threshold setting (SYSTEMUID, SYSTEMGID) as an unsigned 32-bit number.
std::uint32_t IdThreshold(SettingName key);

std::string ReadRequest();
std::string ReadPostBody();
std::string ReadQueryString();
// Ends the request text where its decoded form would end: at the first NUL
// byte, raw or written as %00.
void EndAtFirstNul(std::string& text);
// Percent-decodes in place, '+' as a blank; the text ends at a decoded NUL.
void UrlDecode(std::string& text);
void ParseParameters(const std::string& text);
// Puts the request's parameters into gCGIData: a multipart body's parts
// (ParseMultipartParameters), else the text's pairs once it is ended at
// its first NUL. Afterwards `text` is the request's fields as pairs.
void ParseRequest(std::string& text);

// ---- multipart/form-data (multipart.cpp) -------------------------------------
inline constexpr size_t kMaxBoundary = 70;
inline constexpr size_t kMaxParts = 16;
inline constexpr size_t kMaxPartHeader = 1024;

struct MultipartField {
  std::string_view name, value;
  bool file;  // the part carried a filename
};
// A POST whose CONTENT_TYPE is multipart/form-data.
bool IsMultipartRequest();
// The boundary of a multipart/form-data CONTENT_TYPE: its one parameter,
// 1 to kMaxBoundary bytes of RFC 2046's; kErrorBadRequest otherwise.
std::string MultipartBoundary(std::string_view content_type);
// Each part of the body in order. kErrorBadRequest (before or after some
// parts were handled) for a body that is not delimited exactly by the
// boundary, has more than kMaxParts parts or more than kMaxPartHeader bytes
// of headers in one, a header other than Content-Disposition (form-data,
// a name, perhaps a filename) and Content-Type, more than one file part, a
// file part of a type other than text/csv and text/plain (unless it is
// empty and names no file), or a NUL in a part that is no file.
void ForEachPart(std::string_view body, std::string_view boundary,
                 const std::function<void(const MultipartField&)>& handle);
// Every part of the request's body into gCGIData, those of reserved names
// dropped; returns the parts that are no file as "name=value" pairs,
// encoded, for the actions that read repeated fields.
std::string ParseMultipartParameters(std::string_view body);

// Splits the request text at '&' into fields and each field at its first
// '=' into name and value, then decodes both; a field without '=' is a name
// with an empty value. Splitting before decoding keeps an encoded '&' or '='
// inside its value.
void ForEachPair(std::string_view text,
                 const std::function<void(const std::string& name, const std::string& value)>&
                     handle);

// Calls `handle` with the value of every field called `name` in the request
// text, in request order (gCGIData keeps only the last of them).
void ForEachField(std::string_view text, std::string_view name,
                  const std::function<void(const std::string&)>& handle);

// Names that only the environment (IsRequestVariable) or cfg_file.cfg may
// set; a request parameter of such a name is dropped.
bool IsReservedParameterName(std::string_view name);

// ---- The server's error log (error_log.cpp) ----------------------------------------

// A value made safe for one log line: bytes outside 0x21-0x7E as \xHH.
std::string Printable(std::string_view value);
// Writes "orvanta: " and the text as one line on stderr, at most 256 bytes.
void ErrorLogLine(std::string_view text);

// ---- Who may send requests (request_source.cpp) ---------------------------------------------

// The text with ASCII letters in lower case (schemes, hosts, header names).
std::string Lower(std::string_view text);
// "scheme://host[:port]" of an absolute http or https URL, lower case, the
// scheme's default port dropped; nullopt when the text is no such URL or
// carries user information.
std::optional<std::string> NormalizedOrigin(std::string_view url);
// The origin the request was addressed to, from HTTPS and HTTP_HOST (or
// SERVER_NAME and SERVER_PORT).
std::optional<std::string> OwnOrigin();
// Throws kErrorNotAuthenticated when REQUIRE_AUTH is YES and the web server
// authenticated nobody (REMOTE_USER unset or empty), and always when
// REQUIRE_AUTH is neither YES, NO nor empty. With OPERATORS the program logs
// its operators in itself, and neither is consulted.
void CheckAuthenticated();
// Throws kErrorCrossSite for a POST whose Origin (or, without one, Referer)
// names neither the request's own origin nor one of TRUSTED_ORIGINS.
void CheckRequestOrigin();

// ---- Who acts (operator.cpp) -------------------------------------------------------

// The operator of this run: the one the program verified itself, or without
// operators of its own the web server's REMOTE_USER. name is empty when
// nobody is known; scope is the operator's scope text ("*": everything).
struct Operator {
  std::string name;
  std::string scope = "*";
};
const Operator& CurrentOperator();
// Sets the run's operator once it is verified (and in tests).
void SetCurrentOperator(Operator who);

// One line to the system log (LOG_AUTHPRIV, ident "orvanta") for each change,
// refusal and failed login: the operator, address, command, name and result,
// so that the system's journal shows who did what, including what was refused.
void AuditEvent(std::string_view command, std::string_view name, std::string_view result);
// The line of a list taken away as a file: the command, the list as the
// name, and "exported-N-rows".
void AuditExport(std::string_view list, size_t rows);
// Replaces the system log (tests record the lines); an empty function
// restores syslog.
using AuditWriter = std::function<void(int priority, const std::string& line)>;
void SetAuditWriter(AuditWriter writer);

// ---- Configuration ------------------------------------------------------------

inline constexpr char kConfigFileName[] = "cfg_file.cfg";

// Adds every "KEY=value" line of the file to gCGIData. When the program runs
// set-user-ID, a file that root does not own or that group or others may
// write is treated as missing. Returns whether the file was read.
bool ReadConfigFile(const char* path);

// ---- Account snapshot -----------------------------------------------------------

struct UserEntry {
  std::string name;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::string gecos;
  std::string dir;
  std::string shell;
};

// A registration's values as typed: the form's fields, or one line of a
// batch with the batch's home directory base, shell and expiry date. uid
// and group may be empty; dir is the directory the name is joined to;
// expire is "YYYY-MM-DD", or empty for none;
// change_at_first_login: the first login asks for a new password.
struct NewAccount {
  std::string name, password, uid, group, gcos, dir, shell, expire;
  bool change_at_first_login = false;
};

// A modification's ticked attributes; unset ones stay as they are. The
// password comes hashed.
struct AccountChanges {
  std::optional<std::string> password_hash;
  std::optional<std::string> uid;
  std::optional<std::string> group;
  std::optional<std::string> comment;
  std::optional<std::string> home;
  std::optional<std::string> shell;
};

// An account's password ageing as shadow(5) keeps it, in days since
// 1970-01-01 or days (-1: none). While a lock's day 1 stands in for the
// expiry date, expire_days is the date the lock saved.
struct PasswordAgeing {
  long last_change = -1;
  long max_days = -1;
  long min_days = -1;
  long warn_days = -1;
  long inactive_days = -1;
  long expire_days = -1;
};

// The ticked values of an ageing change (-1 takes a value away); unset ones
// stay. force_change makes the next login ask for a new password.
struct AgeingChanges {
  std::optional<long> max_days;
  std::optional<long> min_days;
  std::optional<long> warn_days;
  std::optional<long> inactive_days;
  std::optional<long> expire_days;
  bool force_change = false;
};
// What a deletion does with the account's home: takes it too (as
// before), leaves it, or writes it to an archive first and takes it only
// when that succeeded.
enum class HomeChoice { Remove, Keep, Archive };

struct GroupEntry {
  std::string name;
  std::uint32_t gid = 0;
  std::vector<std::string> members = {};
};

// Entries read instead of the databases (unit tests, and the fuzz targets
// that run millions of requests on fixed accounts); nullopt goes back to
// getpwent and getgrent.
struct AccountEntries {
  std::vector<UserEntry> users;
  std::vector<GroupEntry> groups;
};
void SetAccountEntries(std::optional<AccountEntries> entries);

// Where the accounts and groups are read from when they are not the host's
// databases (the directory): the program's start sets them once; nullptr
// (the default) reads getpwent and getgrent.
using AccountVisitor =
    std::function<void(std::string_view name, std::uint32_t uid, std::uint32_t gid,
                       std::string_view gecos, std::string_view dir, std::string_view shell)>;
// The accounts an action asks about: those of any of the names or uids,
// and those whose home is one of the homes (normalised paths), lies below
// one or above one.
struct AccountQuery {
  const std::set<std::string, std::less<>>& names;
  const std::set<std::uint32_t>& uids;
  const std::set<std::string, std::less<>>& homes;
};
struct AccountReaders {
  void (*accounts)(const AccountVisitor& visit);
  void (*groups)(const std::function<void(GroupEntry)>& visit);
  // At least the accounts the query names, each once: an indexed lookup
  // instead of a walk through every account.
  void (*accounts_of)(const AccountQuery& query, const AccountVisitor& visit);
};
void SetAccountReaders(const AccountReaders* readers);

// Memory for the large tables of a run: big requests are mapped in 2 MiB
// huge pages where the kernel allows, since touching 100,000 accounts' worth
// of small pages one by one costs more than reading them.
void* AllocateLarge(size_t bytes);
void FreeLarge(void* block, size_t bytes);

template <typename T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <typename U>
  LargeAllocator(const LargeAllocator<U>&) {}  // NOLINT(google-explicit-constructor)
  T* allocate(size_t n) { return static_cast<T*>(AllocateLarge(n * sizeof(T))); }
  void deallocate(T* block, size_t n) { FreeLarge(block, n * sizeof(T)); }
  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};
template <typename T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// Every account, read on first use (after the switch to root) and kept for
// the run: the text of all entries in arena blocks, records of offsets, and
// the order of the SORT setting as an index. Pages that show no account
// never read the database.
class UserTable {
 public:
  struct Row {
    std::string_view name, gecos, dir, shell;
    std::uint32_t uid, gid;
  };
  UserTable() = default;
  UserTable(const UserTable&) = delete;
  UserTable& operator=(const UserTable&) = delete;
  ~UserTable();

  size_t size() const { return order_.size(); }
  // The i-th account in the order of the SORT setting.
  Row operator[](size_t i) const { return RowOf(order_[i]); }
  // Asks the processor for the accounts a little after the i-th: in the
  // order of the SORT setting they lie scattered in memory, and a list
  // would otherwise wait on each of them.
  void Prefetch(size_t i) const;
  // Whether the database yields the i-th account's name more than once
  // (worked out on the first question: only selection lists ask).
  bool IsRepeatedName(size_t i) const;

  void Add(std::string_view name, std::uint32_t uid, std::uint32_t gid, std::string_view gecos,
           std::string_view dir, std::string_view shell);
  void Sort(std::string_view order);

 private:
  struct Record {
    const char* text;  // name, gecos, dir and shell, one after the other
    std::uint32_t lengths[4];
    std::uint32_t uid, gid;
  };
  Row RowOf(std::uint32_t record) const;
  void MarkRepeatedNames() const;
  struct Block {
    char* text;
    size_t size;
  };
  std::vector<Block> blocks_;
  size_t block_used_ = 0;
  LargeVector<Record> records_;
  LargeVector<std::uint32_t> order_;
  mutable std::vector<bool> repeated_;  // by record; empty until asked
};

const UserTable& AllUsers();

// Every group (groups are few), read on first use: by name and by gid, and
// the names yielded more than once.
struct GroupTables {
  std::map<std::string, GroupEntry, std::less<>> by_name;
  std::map<std::uint32_t, GroupEntry> by_gid;
  std::set<std::string, std::less<>> repeated_names;
  // Name of the group with this gid; "" when there is none.
  std::string_view NameOf(std::uint32_t gid) const;
};
const GroupTables& AllGroups();

// One page of a list that a directory server sorts and cuts out itself:
// the accounts in uid order, or the groups in gid order, that match `find`
// (a part of the name or comment, or digits equal to the id) and, with a
// threshold, whose ids lie above it and are not reserved.
struct ListPageQuery {
  bool groups = false;
  std::string_view find;
  std::optional<std::uint32_t> threshold;
  size_t first = 0, count = 1;
};

// An account whose home, as a normalised path, is one of the homes asked
// about, lies below one or above one.
struct HomeHolder {
  std::string name;
  std::string home;
};
// The accounts an action names, from one pass over the database (an action
// never builds an index of every account), or from the directory's indexed
// lookups: every entry of those names, which of the uids asked about some
// account has, and the accounts whose homes meet the paths asked about
// (compared normalised: "/home/a/", "/home//a" and "/home/b/../a" are
// "/home/a").
struct FoundUsers {
  std::map<std::string, std::vector<UserEntry>, std::less<>> by_name;
  std::set<std::uint32_t> taken_uids;
  std::vector<HomeHolder> home_holders;
  // The one entry of the name; nullptr when there is none or more than one.
  const UserEntry* Single(std::string_view name) const;
  bool Exists(std::string_view name) const { return by_name.count(name) != 0; }
};
FoundUsers FindUsers(const std::set<std::string, std::less<>>& names,
                     const std::set<std::uint32_t>& uids = {},
                     const std::set<std::string, std::less<>>& homes = {});

// Whether an account of the name exists now in the host's database, looked
// up afresh through NSS (getpwnam_r; the fixed entries when those stand in):
// under the change lock before a tool, and after one failed, whether its
// change was made all the same. A lookup that fails answers true.
bool AccountExistsNow(const std::string& name);

// The first entry of the group as the database yields it now (a lookup of
// the name, or one pass, never the tables read before): what a tool that
// failed may still have done.
std::optional<GroupEntry> FindGroup(std::string_view name);

// Every uid of the database now, read afresh (under the change lock, the
// uids a new account's id must not take).
void ForEachUidNow(const std::function<void(std::uint32_t uid)>& visit);
// Whether a group of the database has the gid now, read afresh.
bool GroupIdExistsNow(std::uint32_t gid);

// Forgets what was read, so the next use reads again (tests).
void ForgetAccounts();

// ---- Set-user-ID start-up (setuid_start.cpp) ------------------------------------
//
// Called once each, in this order, before the request is read, and only when
// the run started set-user-ID: everything the caller's process hands down is
// replaced, so that nothing of it reaches the tools that run as root.

// The real uid differs from the effective one.
bool StartedSetuid();
// The kernel's mark of a set-user-ID start (AT_SECURE): unlike
// StartedSetuid it stays once the run has become root throughout.
bool SecureRun();
// Empties the environment and sets only kFixedPath and LDAPNOINIT=1, so that
// libldap, whoever starts it (the directory store, an NSS module), reads no
// ldap.conf, ldaprc or LDAP* variable. For a SecureRun, right after
// CopyRequestEnvironment and before any library that may read the
// environment is called (NSS, libcrypt, the directory store's libldap with
// SASL and GnuTLS): the caller's SASL_PATH would otherwise choose code that
// root loads. kErrorNoRoot when a variable cannot be set.
void ResetEnvironment();
// /dev/null on each of descriptors 0, 1 and 2 that is not open, so that no
// file opened later takes its place; exit status 1, and no output, when
// that fails.
void OpenStandardDescriptors();
// Changes to the directory of the program's own executable, which holds
// cfg_file.cfg and orvanta.log; throws kErrorNoRoot unless root owns it and
// neither group nor others may write to it.
void EnterProgramDirectory();
// Real and effective gid 0 and no supplementary groups; kErrorNoRoot else.
void TakeRootGroupOnly();
// umask 022.
void SetToolUmask();
// File size, CPU time, data, address space and processes unlimited; stack
// 8 MiB (hard: unlimited); 1024 open files; no core files. kErrorNoRoot
// when a limit cannot be set.
void SetToolResourceLimits();
// Closes every descriptor above 2.
void CloseInheritedDescriptors();
// ITIMER_REAL, ITIMER_VIRTUAL and ITIMER_PROF stopped; before ResetSignals,
// so that a timer whose signal the caller ignored never fires into the run.
// kErrorNoRoot when one cannot be stopped.
void ClearIntervalTimers();
// Every signal back to its default action, none blocked.
void ResetSignals();

}  // namespace orvanta
