// Ids for new accounts and groups from the counter entry (LDAP_COUNTER_DN).
// Reading the counter and writing it back would let two writers on two
// hosts take the same id; one modify that deletes the value read and adds
// the next fails for the second writer (noSuchAttribute), who reads again.
#include <grp.h>
#include <pwd.h>

#include <algorithm>

#include "ldap/store/session.h"
#include "page/page.h"

namespace orvanta::directory {

namespace {

constexpr std::uint32_t kDefaultMinId = 10000;
constexpr int kMaxAttempts = 500;
// The highest id handed out: -2 and -1 are never ids.
constexpr std::uint32_t kMaxId = 4294967293U;
constexpr char kNoFreeId[] = "ldap: no free id left up to ";
constexpr char kNoFreeIdOf[] = " for ";
constexpr char kNoCounter[] = "ldap: LDAP_COUNTER_DN is needed to give out ids";
constexpr char kCounterBusy[] = "ldap: the counter kept changing: ";

std::uint32_t MinId() { return ParseId(HostSetting("LDAP_MIN_ID")).value_or(kDefaultMinId); }

// LDAP_MAX_ID: sites that write to two providers give each a range of its
// own, since their counters cannot see each other's compare-and-swap.
std::uint32_t MaxId() {
  return std::min(ParseId(HostSetting("LDAP_MAX_ID")).value_or(kMaxId), kMaxId);
}

// Whether the directory (where the hosts look) or the host's own
// databases use the id; nullopt when the directory cannot tell.
std::optional<bool> IsUsed(const char* attribute, std::uint32_t id) {
  const bool user = std::string_view(attribute) == "uidNumber";
  if (IsReservedId(id) || (user ? getpwuid(id) != nullptr : getgrgid(id) != nullptr)) return true;
  const std::string* base = IdSearchBase();
  if (base == nullptr) return std::nullopt;
  return AnyMatch(*base, EqualityFilter(user ? "posixAccount" : "posixGroup", attribute,
                                        std::to_string(id)));
}

// The first id from `id` on that nobody uses.
std::optional<std::uint32_t> FirstFree(const char* attribute, std::uint32_t id) {
  const std::uint32_t last = MaxId();
  for (; id <= last; ++id) {
    const std::optional<bool> used = IsUsed(attribute, id);
    if (!used) return std::nullopt;
    if (!*used) return id;
  }
  ErrorLogLine(kNoFreeId + std::to_string(last) + kNoFreeIdOf + attribute);
  return std::nullopt;
}

// The counter's value: nullopt when it cannot be read, 0 when it has none.
std::optional<std::uint32_t> ReadCounter(const char* attribute) {
  const std::string& dn = HostSetting("LDAP_COUNTER_DN");
  if (dn.empty()) {
    ErrorLogLine(kNoCounter);
    return std::nullopt;
  }
  Entry counter;
  const int code = Search(
      dn, "(objectClass=*)", {attribute}, [&](Entry entry) { counter = std::move(entry); },
      LDAP_SCOPE_BASE);
  if (code != LDAP_SUCCESS) return std::nullopt;
  if (counter.First(attribute).empty()) return 0;
  return ParseId(counter.First(attribute));
}

// Moves the counter from `seen` to `next` in one operation; fails when
// another writer moved it first.
int SwapCounter(const char* attribute, std::uint32_t seen, std::uint32_t next) {
  Mods mods;
  if (seen != 0) mods.Add(LDAP_MOD_DELETE, attribute, {std::to_string(seen)});
  mods.Add(LDAP_MOD_ADD, attribute, {std::to_string(next)});
  return Modify(HostSetting("LDAP_COUNTER_DN"), mods);
}

bool OtherWriterFirst(int code) {
  return code == LDAP_NO_SUCH_ATTRIBUTE || code == LDAP_TYPE_OR_VALUE_EXISTS ||
         code == LDAP_CONSTRAINT_VIOLATION;
}

}  // namespace

std::optional<std::uint32_t> NextId(const char* attribute) {
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    const std::optional<std::uint32_t> seen = ReadCounter(attribute);
    if (!seen) return std::nullopt;
    const std::optional<std::uint32_t> id = FirstFree(attribute, std::max(*seen, MinId()));
    if (!id) return std::nullopt;
    const int code = SwapCounter(attribute, *seen, *id + 1);
    if (code == LDAP_SUCCESS) return id;
    if (!OtherWriterFirst(code)) {
      LogFailure(std::string("counter ") + attribute, code);
      return std::nullopt;
    }
  }
  ErrorLogLine(kCounterBusy + std::string(attribute));
  return std::nullopt;
}

std::optional<std::uint32_t> GroupIdOf(const std::string& group) {
  const bool digits = !group.empty() && IsDigitsOnly(group);
  Entry found;
  const std::string filter = digits ? EqualityFilter("posixGroup", "gidNumber", group)
                                    : EqualityFilter("posixGroup", "cn", group);
  if (group.empty() ||
      FindOne(GroupBase(), filter, {"gidNumber"}, found) != DirectoryResult::Done) {
    return std::nullopt;
  }
  return ParseId(found.First("gidNumber"));
}

}  // namespace orvanta::directory
