// The one connection of a run. The program runs as root on a web server's
// behalf: the library reads no ldaprc, ldap.conf or LDAP* variable
// (LDAPNOINIT), and every option it uses is set here.
//
// A server gets LDAP_CONNECT_TIMEOUT to take the connection and until
// LDAP_TIMEOUT after that to finish the TLS handshake, StartTLS, the bind
// and the first read, whatever it does meanwhile: the program connects the
// socket itself (connect.cpp), hands it to the library, and a Watchdog
// ends the steps at that deadline.
#include "ldap/store/session.h"

#include <fcntl.h>
#include <openldap.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>

#include "page/page.h"

namespace orvanta::directory {

namespace {

constexpr const char* kUriSchemes[] = {"ldap://", "ldaps://", "ldapi://"};
constexpr char kLdapsScheme[] = "ldaps";
// A server that does not take the connection within LDAP_CONNECT_TIMEOUT,
// or is not bound and read from within LDAP_TIMEOUT after that, is passed
// over for the next one of the list; later operations, the long reads of
// a list among them, get kOperationTimeoutSeconds.
constexpr int kDefaultConnectTimeoutSeconds = 2;
constexpr int kDefaultTimeoutSeconds = 5;
constexpr int kOperationTimeoutSeconds = 60;
constexpr size_t kMaxPasswordFile = 4096;

constexpr char kSettingsMissing[] =
    "LDAP_URI (ldap://, ldaps:// or ldapi://), LDAP_PEOPLE_BASE and LDAP_GROUP_BASE are needed";
constexpr char kUnusableReadUri[] =
    "LDAP_READ_URI holds a URI that is not ldap://, ldaps:// or ldapi://; the lists read LDAP_URI";
constexpr char kUnusableUri[] = "not a usable URI: ";
constexpr char kOptionNotSet[] = "an option could not be set";
constexpr char kUntrustedPassword[] = "LDAP_BINDPW_FILE cannot be read or is readable by others";
constexpr char kNoLock[] = "ldap: no change without the change lock";

struct Unbinder {
  void operator()(LDAP* ld) const { ldap_unbind_ext_s(ld, nullptr, nullptr); }
};
using Connection = std::unique_ptr<LDAP, Unbinder>;

struct UrlFreer {
  void operator()(LDAPURLDesc* url) const { ldap_free_urldesc(url); }
};
using Url = std::unique_ptr<LDAPURLDesc, UrlFreer>;

void LogSetup(std::string_view problem) { ErrorLogLine(std::string("ldap: ") += problem); }

// Before the library's first call: with LDAPNOINIT it takes no defaults
// from files or the environment.
void StartLibrary() {
  static const bool started = setenv("LDAPNOINIT", "1", 1) == 0;
  (void)started;
}

bool HasKnownScheme(const std::string& uri) {
  for (const char* scheme : kUriSchemes) {
    if (uri.starts_with(scheme)) return true;
  }
  return false;
}

// The blank-separated URIs of a setting, in order; empty when there is
// none or one of them is of another scheme.
std::vector<std::string> Uris(const std::string& setting) {
  std::vector<std::string> uris;
  std::istringstream words(setting);
  for (std::string uri; words >> uri;) {
    if (!HasKnownScheme(uri)) return {};
    uris.push_back(uri);
  }
  return uris;
}

// A positive number of seconds, else the default.
time_t SecondsSetting(SettingName name, int fallback) {
  const std::optional<std::uint32_t> seconds = ParseId(HostSetting(name));
  return seconds && *seconds > 0 ? static_cast<time_t>(*seconds) : fallback;
}

// The bind password: the first line of LDAP_BINDPW_FILE.
std::optional<std::string> ReadBindPassword() {
  const std::string& path = HostSetting("LDAP_BINDPW_FILE");
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  // The run has switched to uid 0 by now, so real and effective uids agree:
  // the kernel's mark of a set-user-ID start is what tells.
  if (IsTrustedPasswordFile(fd, getauxval(AT_SECURE) != 0)) {
    char buffer[kMaxPasswordFile];
    const ssize_t length = read(fd, buffer, sizeof buffer);
    if (length > 0) text.assign(buffer, static_cast<size_t>(length));
  }
  close(fd);
  const size_t end = text.find_first_of("\r\n");
  if (end != std::string::npos) text.resize(end);
  if (text.empty()) return std::nullopt;
  return text;
}

// No LDAP_OPT_NETWORK_TIMEOUT: the library never connects (the program
// hands it a connected socket), and with it set the library would make the
// socket non-blocking for the TLS handshake.
bool SetOptions(LDAP* ld) {
  const int version = LDAP_VERSION3;
  const int demand = LDAP_OPT_X_TLS_DEMAND;
  const int no_new_context = 0;
  const timeval operation{SecondsSetting("LDAP_TIMEOUT", kDefaultTimeoutSeconds), 0};
  const int never = LDAP_DEREF_NEVER;
  const int no_limit = LDAP_NO_LIMIT;
  bool set = ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_OPT_SUCCESS &&
             ldap_set_option(ld, LDAP_OPT_REFERRALS, LDAP_OPT_OFF) == LDAP_OPT_SUCCESS &&
             ldap_set_option(ld, LDAP_OPT_DEREF, &never) == LDAP_OPT_SUCCESS &&
             ldap_set_option(ld, LDAP_OPT_SIZELIMIT, &no_limit) == LDAP_OPT_SUCCESS &&
             ldap_set_option(ld, LDAP_OPT_TIMELIMIT, &no_limit) == LDAP_OPT_SUCCESS &&
             ldap_set_option(ld, LDAP_OPT_TIMEOUT, &operation) == LDAP_OPT_SUCCESS &&
             ldap_set_option(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, &demand) == LDAP_OPT_SUCCESS;
  const std::string& cacert = HostSetting("LDAP_CACERT");
  if (!cacert.empty()) {
    set = set && ldap_set_option(ld, LDAP_OPT_X_TLS_CACERTFILE, cacert.c_str()) == LDAP_OPT_SUCCESS;
  }
  // The TLS options above take effect in a context of this connection's own.
  return set && ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &no_new_context) == LDAP_OPT_SUCCESS;
}

int Bind(LDAP* ld) {
  const std::string& dn = HostSetting("LDAP_BINDDN");
  if (dn.empty()) {
    berval anonymous{0, nullptr};
    return ldap_sasl_bind_s(ld, "", LDAP_SASL_SIMPLE, &anonymous, nullptr, nullptr, nullptr);
  }
  std::optional<std::string> password = ReadBindPassword();
  if (!password) {
    LogSetup(kUntrustedPassword);
    return LDAP_INVALID_CREDENTIALS;
  }
  berval credentials{password->size(), password->data()};
  return ldap_sasl_bind_s(ld, dn.c_str(), LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr,
                          nullptr);
}

// A read of the people base: a server that binds but cannot search is
// passed over as well.
int FirstRead(LDAP* ld) {
  char no_attributes[] = "1.1";
  char* attributes[] = {no_attributes, nullptr};
  LDAPMessage* result = nullptr;
  const int code =
      ldap_search_ext_s(ld, HostSetting("LDAP_PEOPLE_BASE").c_str(), LDAP_SCOPE_BASE,
                        "(objectClass=*)", attributes, 0, nullptr, nullptr, nullptr, 1, &result);
  ldap_msgfree(result);
  return code;
}

// "STEP URI" for the line of a server that failed.
std::string StepAt(const char* step, const std::string& uri) {
  std::string named = step;
  named += ' ';
  named += Printable(uri);
  return named;
}

// "ldap WHAT: CODE (text)", the start of every failure's line.
std::string FailureLine(std::string_view what, int code) {
  std::string line = "ldap ";
  line += what;
  line += ": ";
  line += std::to_string(code);
  line += " (";
  line += ldap_err2string(code);
  line += ")";
  return line;
}

// What is done on a connected socket before it serves, in order, each
// named in the line of its failure: reaching the server through its TLS
// (ldaps) counts as part of the bind.
struct Step {
  const char* name;
  int (*run)(LDAP* ld);
};

int InstallTls(LDAP* ld) { return ldap_install_tls(ld); }
int StartTls(LDAP* ld) { return ldap_start_tls_s(ld, nullptr, nullptr); }

std::vector<Step> StepsFor(const LDAPURLDesc& url, YesNo starttls) {
  std::vector<Step> steps;
  if (std::strcmp(url.lud_scheme, kLdapsScheme) == 0) steps.push_back({"bind", InstallTls});
  if (starttls == YesNo::Yes) steps.push_back({"StartTLS", StartTls});
  steps.push_back({"bind", Bind});
  steps.push_back({"first read", FirstRead});
  return steps;
}

// The steps on a connection, within the deadline; false after one line
// naming the step that failed or was cut short.
bool Prepare(LDAP* ld, int fd, const LDAPURLDesc& url, YesNo starttls, const std::string& uri,
             Deadline deadline) {
  Watchdog watchdog(fd, deadline);
  for (const Step& step : StepsFor(url, starttls)) {
    const int code = step.run(ld);
    if (code == LDAP_SUCCESS) continue;
    if (watchdog.Stop()) {
      ErrorLogLine(FailureLine(StepAt(step.name, uri), LDAP_TIMEOUT));
    } else {
      LogFailure(StepAt(step.name, uri), code, ld);
    }
    return false;
  }
  if (!watchdog.Stop()) return true;
  ErrorLogLine(FailureLine(StepAt("first read", uri), LDAP_TIMEOUT));
  return false;
}

// One server of a list, connected, bound and read from within the
// timeouts; nullptr, with one line on stderr naming it, when it is not.
Connection Connect(const std::string& uri, YesNo starttls) {
  const Deadline start = std::chrono::steady_clock::now();
  const Deadline connected_by =
      start + std::chrono::seconds(
                  SecondsSetting("LDAP_CONNECT_TIMEOUT", kDefaultConnectTimeoutSeconds));
  const Deadline ready_by =
      connected_by + std::chrono::seconds(SecondsSetting("LDAP_TIMEOUT", kDefaultTimeoutSeconds));
  LDAPURLDesc* parsed = nullptr;
  if (ldap_url_parse(uri.c_str(), &parsed) != LDAP_URL_SUCCESS || parsed == nullptr) {
    LogSetup(kUnusableUri + Printable(uri));
    return nullptr;
  }
  const Url url(parsed);
  int code = LDAP_SERVER_DOWN;
  const int fd = ConnectedSocket(*url, connected_by, code);
  if (fd < 0) {
    ErrorLogLine(FailureLine(StepAt("bind", uri), code));
    return nullptr;
  }
  LDAP* raw = nullptr;
  if (ldap_init_fd(fd, IsLocal(*url) ? LDAP_PROTO_IPC : LDAP_PROTO_TCP, uri.c_str(), &raw) !=
          LDAP_SUCCESS ||
      raw == nullptr) {
    close(fd);
    LogSetup(kUnusableUri + Printable(uri));
    return nullptr;
  }
  Connection ld(raw);
  if (!SetOptions(ld.get())) {
    LogSetup(kOptionNotSet);
    return nullptr;
  }
  if (!Prepare(ld.get(), fd, *url, starttls, uri, ready_by)) return nullptr;
  const timeval later{kOperationTimeoutSeconds, 0};
  ldap_set_option(ld.get(), LDAP_OPT_TIMEOUT, &later);
  return ld;
}

// Whether the settings let this run reach a directory at all; false after
// a line on stderr when they are incomplete.
bool Reachable(YesNo starttls) {
  // An unreadable ACCOUNTS or LDAP_STARTTLS reaches no directory at all;
  // the line at start-up named it.
  if (AccountsSetting() != AccountsBackend::Directory || starttls == YesNo::Invalid) return false;
  if (Uris(HostSetting("LDAP_URI")).empty() || HostSetting("LDAP_PEOPLE_BASE").empty() ||
      HostSetting("LDAP_GROUP_BASE").empty()) {
    LogSetup(kSettingsMissing);
    return false;
  }
  return true;
}

// The first server of the list that answers.
Connection Open(const std::vector<std::string>& uris) {
  const YesNo starttls = StartTlsSetting();
  if (!Reachable(starttls)) return nullptr;
  StartLibrary();
  for (const std::string& uri : uris) {
    if (Connection ld = Connect(uri, starttls)) return ld;
  }
  return nullptr;
}

// The servers of LDAP_READ_URI; empty when the lists read the provider.
std::vector<std::string> ReadUris() {
  const std::string& setting = HostSetting("LDAP_READ_URI");
  if (RunMayChange() || setting.find_first_not_of(" \t") == std::string::npos) return {};
  std::vector<std::string> uris = Uris(setting);
  if (uris.empty()) LogSetup(kUnusableReadUri);
  return uris;
}

}  // namespace

LDAP* Session() {
  static Connection connection;
  static bool tried = false;
  if (!tried) {
    tried = true;
    connection = Open(Uris(HostSetting("LDAP_URI")));
  }
  return connection.get();
}

LDAP* ReadingSession() {
  static Connection connection;
  static bool tried = false;
  static std::vector<std::string> uris;
  if (!tried) {
    tried = true;
    uris = ReadUris();
    if (!uris.empty()) connection = Open(uris);
  }
  return uris.empty() ? Session() : connection.get();
}

void LogFailure(std::string_view what, int code, LDAP* ld) {
  if (ld == nullptr) ld = Session();
  // Without a connection the one line was written when it failed.
  if (ld == nullptr) return;
  std::string line = FailureLine(what, code);
  char* message = nullptr;
  if (ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &message) == LDAP_OPT_SUCCESS &&
      message != nullptr) {
    line += ": ";
    line += Printable(message);
    ldap_memfree(message);
  }
  ErrorLogLine(line);
}

DirectoryResult ResultOf(std::string_view what, int code) {
  if (code == LDAP_SUCCESS) return DirectoryResult::Done;
  LogFailure(what, code);
  if (code == LDAP_ALREADY_EXISTS) return DirectoryResult::NameTaken;
  if (code == LDAP_NO_SUCH_OBJECT) return DirectoryResult::Refused;
  return DirectoryResult::Failed;
}

std::string ChildDn(const char* attribute, std::string_view value, const std::string& base) {
  StartLibrary();
  LDAPAVA ava{};
  ava.la_attr = {std::char_traits<char>::length(attribute), const_cast<char*>(attribute)};
  ava.la_value = {value.size(), const_cast<char*>(value.data())};
  ava.la_flags = LDAP_AVA_STRING;
  LDAPAVA* rdn[] = {&ava, nullptr};
  char* text = nullptr;
  if (ldap_rdn2str(rdn, &text, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS || text == nullptr) {
    return "";
  }
  std::string dn = text;
  ldap_memfree(text);
  return dn + "," + base;
}

std::optional<std::string> EscapedFilterValue(std::string_view value) {
  StartLibrary();
  berval raw{value.size(), const_cast<char*>(value.data())};
  berval escaped{0, nullptr};
  if (ldap_bv2escaped_filter_value(&raw, &escaped) != 0) return std::nullopt;
  std::string text(escaped.bv_val, escaped.bv_len);
  ber_memfree(escaped.bv_val);
  return text;
}

std::string EqualityTerm(const char* attribute, std::string_view value) {
  const std::optional<std::string> escaped = EscapedFilterValue(value);
  if (!escaped) return "(!(objectClass=*))";
  return std::string("(") + attribute + "=" + *escaped + ")";
}

std::string EqualityFilter(const char* object_class, const char* attribute,
                           std::string_view value) {
  return std::string("(&(objectClass=") + object_class + ")" + EqualityTerm(attribute, value) +
         ")";
}

bool HoldLock() {
  // Connected first: a server that hangs holds up this request alone, never
  // the lock the requests of other operators wait for.
  if (Session() == nullptr) return false;
  if (HoldChangeLock()) return true;
  ErrorLogLine(kNoLock);
  return false;
}

const std::string& PeopleBase() { return HostSetting("LDAP_PEOPLE_BASE"); }
const std::string& GroupBase() { return HostSetting("LDAP_GROUP_BASE"); }

std::string DaysSinceEpoch() {
  constexpr std::time_t kSecondsPerDay = 86400;
  return std::to_string(std::time(nullptr) / kSecondsPerDay);
}

Mods& Mods::Add(int op, const char* attribute, std::vector<std::string> values) {
  std::vector<std::string>& texts = texts_.emplace_back(std::move(values));
  std::vector<berval>& bervals = values_.emplace_back();
  for (std::string& text : texts) bervals.push_back({text.size(), text.data()});
  std::vector<berval*>& pointers = pointers_.emplace_back();
  for (berval& value : bervals) pointers.push_back(&value);
  pointers.push_back(nullptr);
  LDAPMod& mod = mods_.emplace_back();
  mod.mod_op = op | LDAP_MOD_BVALUES;
  mod.mod_type = const_cast<char*>(attribute);
  mod.mod_bvalues = pointers.data();
  return *this;
}

LDAPMod** Mods::get() {
  list_.clear();
  for (LDAPMod& mod : mods_) list_.push_back(&mod);
  list_.push_back(nullptr);
  return list_.data();
}

int Modify(const std::string& dn, Mods& mods) {
  LDAP* ld = Session();
  if (ld == nullptr) return LDAP_SERVER_DOWN;
  return ldap_modify_ext_s(ld, dn.c_str(), mods.get(), nullptr, nullptr);
}

int Add(const std::string& dn, Mods& mods) {
  LDAP* ld = Session();
  if (ld == nullptr) return LDAP_SERVER_DOWN;
  return ldap_add_ext_s(ld, dn.c_str(), mods.get(), nullptr, nullptr);
}

int Delete(const std::string& dn) {
  LDAP* ld = Session();
  if (ld == nullptr) return LDAP_SERVER_DOWN;
  return ldap_delete_ext_s(ld, dn.c_str(), nullptr, nullptr);
}

}  // namespace orvanta::directory
