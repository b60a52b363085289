// Reading the directory: paged searches under the two bases, never NSS,
// which may list a part of the directory without a word (nslcd's page
// size, sssd without enumeration) or hide directory entries behind local
// ones of the same name.
#include <cstdlib>
#include <memory>

#include "ldap/store/session.h"
#include "page/page.h"

namespace orvanta::directory {

namespace {

constexpr ber_int_t kPageSize = 1000;
constexpr char kCryptScheme[] = "{CRYPT}";
constexpr char kNotOneEntry[] = "ldap: more than one entry for ";

struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using Message = std::unique_ptr<LDAPMessage, MessageFree>;

struct CookieFree {
  void operator()(berval* cookie) const { ber_bvfree(cookie); }
};
using Cookie = std::unique_ptr<berval, CookieFree>;

// The cookie of the next page; nullptr after the last one.
Cookie NextCookie(LDAP* ld, LDAPMessage* result, int& code) {
  LDAPControl** controls = nullptr;
  const int parsed = ldap_parse_result(ld, result, &code, nullptr, nullptr, nullptr, &controls, 0);
  if (parsed != LDAP_SUCCESS) code = parsed;
  Cookie next;
  LDAPControl* response = ldap_control_find(LDAP_CONTROL_PAGEDRESULTS, controls, nullptr);
  ber_int_t estimate = 0;
  berval cookie{0, nullptr};
  if (code == LDAP_SUCCESS && response != nullptr &&
      ldap_parse_pageresponse_control(ld, response, &estimate, &cookie) == LDAP_SUCCESS) {
    if (cookie.bv_len > 0) next.reset(ber_bvdup(&cookie));
    ber_memfree(cookie.bv_val);
  }
  ldap_controls_free(controls);
  return next;
}

// One page: its entries to `visit`, the cookie of the next page back.
Cookie SearchPage(LDAP* ld, const std::string& base, int scope, const std::string& filter,
                  const std::vector<const char*>& attributes, berval* cookie,
                  const std::function<void(Entry)>& visit, int& code) {
  LDAPControl* page = nullptr;
  code = ldap_create_page_control(ld, kPageSize, cookie, 1, &page);
  if (code != LDAP_SUCCESS) return nullptr;
  LDAPControl* controls[] = {page, nullptr};
  std::vector<char*> names;
  for (const char* attribute : attributes) names.push_back(const_cast<char*>(attribute));
  names.push_back(nullptr);
  LDAPMessage* raw = nullptr;
  code = ldap_search_ext_s(ld, base.c_str(), scope, filter.c_str(), names.data(), 0, controls,
                           nullptr, nullptr, LDAP_NO_LIMIT, &raw);
  ldap_control_free(page);
  const Message result(raw);
  if (code != LDAP_SUCCESS || raw == nullptr) return nullptr;
  for (LDAPMessage* entry = ldap_first_entry(ld, raw); entry != nullptr;
       entry = ldap_next_entry(ld, entry)) {
    visit(ReadEntry(ld, entry));
  }
  return NextCookie(ld, raw, code);
}

std::optional<std::uint32_t> IdOf(const Entry& entry, std::string_view attribute) {
  return ParseId(entry.First(attribute));
}

}  // namespace

Entry ReadEntry(LDAP* ld, LDAPMessage* message) {
  Entry entry;
  if (char* dn = ldap_get_dn(ld, message)) {
    entry.dn = dn;
    ldap_memfree(dn);
  }
  BerElement* ber = nullptr;
  for (char* attribute = ldap_first_attribute(ld, message, &ber); attribute != nullptr;
       attribute = ldap_next_attribute(ld, message, ber)) {
    std::vector<std::string>& values = entry.values[attribute];
    if (berval** list = ldap_get_values_len(ld, message, attribute)) {
      for (berval** value = list; *value != nullptr; ++value) {
        values.emplace_back((*value)->bv_val, (*value)->bv_len);
      }
      ldap_value_free_len(list);
    }
    ldap_memfree(attribute);
  }
  if (ber != nullptr) ber_free(ber, 0);
  return entry;
}

bool VisitAccountEntry(const Entry& entry, const DirectoryAccountVisitor& visit) {
  const auto uid = IdOf(entry, "uidNumber");
  const auto gid = IdOf(entry, "gidNumber");
  if (!uid || !gid || entry.First("uid").empty()) return false;
  visit(entry.First("uid"), *uid, *gid, entry.First("gecos"), entry.First("homeDirectory"),
        entry.First("loginShell"));
  return true;
}

std::optional<GroupEntry> GroupOf(Entry entry) {
  const auto gid = IdOf(entry, "gidNumber");
  if (!gid || entry.First("cn").empty()) return std::nullopt;
  GroupEntry group{std::string(entry.First("cn")), *gid};
  group.members = std::move(entry.values["memberUid"]);
  return group;
}

std::string_view Entry::First(std::string_view attribute) const {
  const auto found = values.find(attribute);
  if (found == values.end() || found->second.empty()) return {};
  return found->second.front();
}

int Search(const std::string& base, const std::string& filter,
           const std::vector<const char*>& attributes, const std::function<void(Entry)>& visit,
           int scope) {
  LDAP* ld = ReadingSession();
  if (ld == nullptr) return LDAP_SERVER_DOWN;
  int code = LDAP_SUCCESS;
  Cookie cookie;
  do {
    cookie = SearchPage(ld, base, scope, filter, attributes, cookie.get(), visit, code);
  } while (code == LDAP_SUCCESS && cookie != nullptr);
  if (code != LDAP_SUCCESS) {
    LogFailure("search " + Printable(base) + " " + Printable(filter), code, ld);
  }
  return code;
}

DirectoryResult FindOne(const std::string& base, const std::string& filter,
                        const std::vector<const char*>& attributes, Entry& found) {
  size_t count = 0;
  const int code = Search(base, filter, attributes, [&](Entry entry) {
    if (++count == 1) found = std::move(entry);
  });
  if (code != LDAP_SUCCESS) return DirectoryResult::Failed;
  if (count > 1) {
    ErrorLogLine(kNotOneEntry + Printable(filter));
    return DirectoryResult::Failed;
  }
  return count == 1 ? DirectoryResult::Done : DirectoryResult::Refused;
}

DirectoryResult FindUser(const std::string& name, const std::vector<const char*>& attributes,
                         Entry& user) {
  return FindOne(PeopleBase(), EqualityFilter("posixAccount", "uid", name), attributes, user);
}

DirectoryResult FindGroup(const std::string& name, const std::vector<const char*>& attributes,
                          Entry& group) {
  return FindOne(GroupBase(), EqualityFilter("posixGroup", "cn", name), attributes, group);
}

std::optional<bool> AnyMatch(const std::string& base, const std::string& filter) {
  bool any = false;
  const int code = Search(base, filter, {"1.1"}, [&](Entry) { any = true; });
  if (code != LDAP_SUCCESS) return std::nullopt;
  return any;
}

void ForEachAccount(const DirectoryAccountVisitor& visit) {
  Search(PeopleBase(), "(objectClass=posixAccount)", kAccountAttributes,
         [&](const Entry& entry) { VisitAccountEntry(entry, visit); });
}

void ForEachGroup(const std::function<void(GroupEntry)>& visit) {
  Search(GroupBase(), "(objectClass=posixGroup)", kGroupAttributes, [&](Entry entry) {
    if (auto group = GroupOf(std::move(entry))) visit(std::move(*group));
  });
}

std::map<std::string, DirectoryLockMarks, std::less<>> LockStates() {
  std::map<std::string, DirectoryLockMarks, std::less<>> states;
  Search(PeopleBase(), "(objectClass=posixAccount)",
         {"uid", "userPassword", "shadowExpire", "description"}, [&](const Entry& entry) {
           const std::string_view password = entry.First("userPassword");
           if (!password.starts_with(kCryptScheme)) return;
           states[std::string(entry.First("uid"))] = {
               password.substr(sizeof kCryptScheme - 1).starts_with('!'),
               entry.First("shadowExpire") == std::to_string(kLockedExpiryDays),
               OwnExpiryDays(entry)};
         });
  return states;
}

}  // namespace orvanta::directory
