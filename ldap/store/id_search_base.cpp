// Where a name, id or home counts as taken. The hosts' nslcd or sssd often
// read the whole suffix, so an account or group under another branch than
// the people and group bases is as real to them as one below these: the
// taken checks search where both bases meet, or LDAP_ID_SEARCH_BASE.
#include <strings.h>

#include <memory>

#include "ldap/store/session.h"

namespace orvanta::directory {

namespace {

constexpr char kNoIdBase[] =
    "ldap: LDAP_PEOPLE_BASE and LDAP_GROUP_BASE share no suffix: LDAP_ID_SEARCH_BASE is needed "
    "for registrations, home changes and home commands";

struct DnFree {
  void operator()(LDAPDN dn) const { ldap_dnfree(dn); }
};
using ParsedDn = std::unique_ptr<LDAPRDN, DnFree>;

ParsedDn Parse(const std::string& text) {
  LDAPDN dn = nullptr;
  if (ldap_str2dn(text.c_str(), &dn, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS) return nullptr;
  return ParsedDn(dn);
}

size_t CountOf(LDAPDN dn) {
  size_t count = 0;
  while (dn[count] != nullptr) ++count;
  return count;
}

// An RDN as the library writes it; "" when it cannot.
std::string TextOf(LDAPRDN rdn) {
  char* text = nullptr;
  if (ldap_rdn2str(rdn, &text, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS || text == nullptr) {
    return "";
  }
  std::string copy(text);
  ldap_memfree(text);
  return copy;
}

// Attribute types never differ by case, and the values of the naming
// attributes of a suffix (dc, ou, o) are compared without it.
bool SameRdn(LDAPRDN a, LDAPRDN b) {
  const std::string first = TextOf(a);
  return !first.empty() && strcasecmp(first.c_str(), TextOf(b).c_str()) == 0;
}

// The RDNs the two DNs end with alike, as a DN; "" when they share none.
std::string CommonSuffix(const std::string& one, const std::string& other) {
  const ParsedDn a = Parse(one);
  const ParsedDn b = Parse(other);
  if (!a || !b) return "";
  const size_t count_a = CountOf(a.get());
  const size_t count_b = CountOf(b.get());
  size_t shared = 0;
  while (shared < count_a && shared < count_b &&
         SameRdn(a.get()[count_a - 1 - shared], b.get()[count_b - 1 - shared])) {
    ++shared;
  }
  if (shared == 0) return "";
  char* text = nullptr;
  if (ldap_dn2str(a.get() + (count_a - shared), &text, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS ||
      text == nullptr) {
    return "";
  }
  std::string suffix(text);
  ldap_memfree(text);
  return suffix;
}

std::string ChosenBase() {
  const std::string& setting = HostSetting("LDAP_ID_SEARCH_BASE");
  if (!setting.empty()) return setting;
  return CommonSuffix(PeopleBase(), GroupBase());
}

}  // namespace

const std::string& ChosenIdSearchBase() {
  static const std::string base = ChosenBase();
  return base;
}

const std::string* IdSearchBase() {
  static bool reported = false;
  const std::string& base = ChosenIdSearchBase();
  if (!base.empty()) return &base;
  if (!reported) ErrorLogLine(kNoIdBase);
  reported = true;
  return nullptr;
}

}  // namespace orvanta::directory
