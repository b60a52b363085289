// Sessions: what a browser holds after signing in once. Its cookie carries
// the session's id; the server keeps the id's digest with the operator,
// the fingerprint of the operator's line, start, last use, address and
// form token. A session ends when it is idle for SESSION_IDLE, older than
// SESSION_MAX, its operator's line or second factor changed, or it is
// signed out; one still waiting for its code, after kCodeStageSeconds.
#include <algorithm>
#include <cctype>
#include <tuple>

#include "access/access.h"

namespace orvanta {

namespace {

constexpr char kSecureCookie[] = "__Host-orvanta";
constexpr char kPlainCookie[] = "orvanta";
constexpr char kCookieFlags[] = "; HttpOnly; SameSite=Strict";
constexpr char kClearCookie[] = "; Max-Age=0";
constexpr std::time_t kSecondsPerMinute = 60;
// Last use is written no more often than this.
constexpr std::time_t kLastUseStep = 60;
// A request presents at most this many candidate ids.
constexpr size_t kMaxCookieIds = 4;

std::string_view Trimmed(std::string_view text) {
  const size_t begin = text.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(' ') - begin + 1);
}

// Every value of the named cookie in HTTP_COOKIE, in the browser's order.
void CollectCookie(std::string_view name, std::vector<std::string>& ids) {
  std::string_view rest = Env("HTTP_COOKIE");
  while (!rest.empty() && ids.size() < kMaxCookieIds) {
    const size_t end = std::min(rest.find(';'), rest.size());
    const std::string_view pair = Trimmed(rest.substr(0, end));
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const size_t equals = pair.find('=');
    if (equals == std::string_view::npos || pair.substr(0, equals) != name) continue;
    const std::string_view value = pair.substr(equals + 1);
    if (IsSecretText(value)) ids.emplace_back(value);
  }
}

// The ids the request's cookies carry: __Host-orvanta, which a browser
// takes only over HTTPS and from this host, before orvanta, which counts
// only on a request that did not come over HTTPS.
std::vector<std::string> CookieIds() {
  std::vector<std::string> ids;
  CollectCookie(kSecureCookie, ids);
  if (!ArrivedOverHttps()) CollectCookie(kPlainCookie, ids);
  return ids;
}

bool IsHttpsOrigin(std::string_view origin) { return origin.starts_with("https://"); }

bool IsTrustedHttpsOrigin(const std::optional<std::string>& origin) {
  if (!origin || !IsHttpsOrigin(*origin)) return false;
  const std::string& listed = Setting("TRUSTED_ORIGINS");
  size_t pos = 0;
  while (pos < listed.size()) {
    const size_t end = std::min(listed.find_first_of(" \t", pos), listed.size());
    const std::optional<std::string> entry = NormalizedOrigin(listed.substr(pos, end - pos));
    if (entry && *entry == *origin) return true;
    pos = end + 1;
  }
  return false;
}

// A cookie's Path: SCRIPT_NAME when it is a plain absolute path, else the
// browser's default (the request's directory).
std::string CookiePath() {
  const std::string_view script = Env("SCRIPT_NAME");
  const bool plain =
      script.starts_with('/') && std::all_of(script.begin(), script.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '/' || c == '.' || c == '_' || c == '-' || c == '~';
      });
  return plain ? "; Path=" + std::string(script) : "";
}

bool IsLive(const SessionRecord& record, const std::vector<OperatorEntry>& operators,
            std::time_t now) {
  if (now - record.last >= SessionIdleMinutes() * kSecondsPerMinute ||
      now - record.start >= SessionMaxMinutes() * kSecondsPerMinute ||
      (record.stage == SessionStage::Code && now - record.start >= kCodeStageSeconds)) {
    return false;
  }
  return std::any_of(operators.begin(), operators.end(), [&](const OperatorEntry& entry) {
    return entry.name == record.operator_name &&
           SameSecret(OperatorFingerprint(entry), record.fingerprint);
  });
}

// The live sessions of the store, the dead ones removed.
std::vector<SessionRecord> SweptSessions(const SessionStore& store,
                                         const std::vector<OperatorEntry>& operators,
                                         std::time_t now) {
  std::vector<SessionRecord> live;
  for (SessionRecord& record : store.ReadAll()) {
    if (IsLive(record, operators, now)) {
      live.push_back(std::move(record));
    } else {
      store.Remove(record.digest);
    }
  }
  return live;
}

// Makes room for one more session of `name`: the least recently used end
// first, of the operator's own past kMaxSessionsPerOperator, of all past
// kMaxSessions.
void MakeRoom(const SessionStore& store, std::vector<SessionRecord>& live,
              const std::string& name) {
  std::sort(live.begin(), live.end(),
            [](const SessionRecord& a, const SessionRecord& b) { return a.last < b.last; });
  size_t own = std::count_if(live.begin(), live.end(), [&](const SessionRecord& record) {
    return record.operator_name == name;
  });
  size_t total = live.size();
  for (const SessionRecord& record : live) {
    const bool is_own = record.operator_name == name;
    if (!(is_own && own >= kMaxSessionsPerOperator) && total < kMaxSessions) continue;
    store.Remove(record.digest);
    --total;
    if (is_own) --own;
  }
}

std::string NewSecret() {
  std::optional<std::string> secret = RandomSecret();
  if (!secret) {
    ErrorLogLine("the kernel gives no random bytes; nobody is signed in");
    throw ErrorCode{kErrorNoRoot};
  }
  return std::move(*secret);
}

// The client's address as the store keeps it.
std::string StoredAddress() {
  const std::string_view address = Env("REMOTE_ADDR");
  if (address.empty()) return "-";
  std::string field = Printable(address.substr(0, kMaxStoredAddress));
  field.resize(std::min(field.size(), kMaxStoredAddress));
  return field;
}

}  // namespace

bool ArrivedOverHttps() {
  std::string scheme(Env("HTTPS"));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (scheme == "on") return true;
  const std::string_view origin = Env("HTTP_ORIGIN");
  const std::string_view source = origin.empty() ? Env("HTTP_REFERER") : origin;
  return IsTrustedHttpsOrigin(NormalizedOrigin(source)) ||
         IsTrustedHttpsOrigin(NormalizedOrigin("https://" + std::string(Env("HTTP_HOST"))));
}

bool FromLoopback() {
  const std::string_view address = Env("REMOTE_ADDR");
  return address == "::1" || address.starts_with("127.") || address.starts_with("::ffff:127.");
}

std::string OperatorFingerprint(const OperatorEntry& entry) {
  // Without a second factor ever enrolled, the line alone, as it was
  // before there was one: such sessions outlive an upgrade.
  if (entry.totp_generation == 0) return Sha256Hex(OperatorLine(entry));
  return Sha256Hex(OperatorLine(entry) + "totp " + std::to_string(entry.totp_generation));
}

std::optional<SessionRecord> ResumeSession(const std::vector<OperatorEntry>& operators) {
  const std::vector<std::string> ids = CookieIds();
  if (ids.empty()) return std::nullopt;
  const SessionStore store;
  const std::time_t now = std::time(nullptr);
  for (const std::string& id : ids) {
    std::optional<SessionRecord> record = store.Read(Sha256Hex(id));
    if (!record) continue;
    if (!IsLive(*record, operators, now)) {
      store.Remove(record->digest);
      continue;
    }
    if (now - record->last >= kLastUseStep) {
      record->last = now;
      store.Write(*record);
    }
    return record;
  }
  return std::nullopt;
}

std::string StartSession(const OperatorEntry& entry, const std::vector<OperatorEntry>& operators,
                         SessionStage stage) {
  const std::string id = NewSecret();
  const std::time_t now = std::time(nullptr);
  SessionRecord record;
  record.digest = Sha256Hex(id);
  record.operator_name = entry.name;
  record.fingerprint = OperatorFingerprint(entry);
  record.start = record.last = now;
  record.address = StoredAddress();
  record.form_token = NewSecret();
  record.stage = stage;
  const SessionStore store;
  std::vector<SessionRecord> live = SweptSessions(store, operators, now);
  MakeRoom(store, live, entry.name);
  if (!store.Write(record)) {
    ErrorLogLine("a session could not be written; nobody is signed in");
    throw ErrorCode{kErrorNoRoot};
  }
  return id;
}

void EndSession(const std::string& digest) {
  const SessionStore store;
  store.Remove(digest);
}

std::vector<SessionRecord> LiveSessions(const std::vector<OperatorEntry>& operators) {
  const SessionStore store;
  std::vector<SessionRecord> live = SweptSessions(store, operators, std::time(nullptr));
  std::sort(live.begin(), live.end(), [](const SessionRecord& a, const SessionRecord& b) {
    return std::tie(a.operator_name, a.start, a.digest) <
           std::tie(b.operator_name, b.start, b.digest);
  });
  return live;
}

std::string SessionCookieHeader(std::string_view id) {
  const std::string ending = std::string(id.empty() ? kClearCookie : "") + kCookieFlags + "\n";
  if (ArrivedOverHttps()) {
    return "Set-Cookie: " + std::string(kSecureCookie) + "=" + std::string(id) +
           "; Path=/; Secure" + ending;
  }
  return "Set-Cookie: " + std::string(kPlainCookie) + "=" + std::string(id) + CookiePath() + ending;
}

}  // namespace orvanta
