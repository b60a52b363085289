// One page of a list, sorted and cut out by the server: server-side sorting
// and a virtual list view, where the root DSE offers both (slapd with the
// sssvlv overlay). Only the page's entries travel, however large the
// directory; the list's filter becomes the search filter, so that the
// server counts what the page counts.
#include <algorithm>
#include <memory>

#include "ldap/store/session.h"
#include "page/page.h"

namespace orvanta::directory {

namespace {

constexpr char kSortControl[] = "1.2.840.113556.1.4.473";
constexpr char kVlvControl[] = "2.16.840.1.113730.3.4.9";
constexpr char kUserSortKey[] = "uidNumber:integerOrderingMatch";
constexpr char kGroupSortKey[] = "gidNumber:integerOrderingMatch";

struct MessageFree {
  void operator()(LDAPMessage* message) const { ldap_msgfree(message); }
};
using Message = std::unique_ptr<LDAPMessage, MessageFree>;

// Whether the root DSE lists both controls; asked once per run.
bool ServerSortsAndPages(LDAP* ld) {
  static const bool offered = [ld] {
    char supported[] = "supportedControl";
    char* attributes[] = {supported, nullptr};
    LDAPMessage* raw = nullptr;
    const int code = ldap_search_ext_s(ld, "", LDAP_SCOPE_BASE, "(objectClass=*)", attributes, 0,
                                       nullptr, nullptr, nullptr, 1, &raw);
    const Message result(raw);
    if (code != LDAP_SUCCESS || raw == nullptr) return false;
    LDAPMessage* entry = ldap_first_entry(ld, raw);
    if (entry == nullptr) return false;
    Entry root = ReadEntry(ld, entry);
    const auto& controls = root.values["supportedControl"];
    const auto has = [&](const char* oid) {
      return std::find(controls.begin(), controls.end(), oid) != controls.end();
    };
    return has(kSortControl) && has(kVlvControl);
  }();
  return offered;
}

std::string IdFilter(const char* attribute, std::uint32_t id) {
  return std::string("(") + attribute + "=" + std::to_string(id) + ")";
}

// Ids above the threshold that are not reserved, as IsAboveSystemIds has it.
std::string AboveFilter(const char* attribute, std::uint32_t threshold) {
  std::string filter = std::string("(") + attribute + ">=" +
                       std::to_string(std::uint64_t{threshold} + 1) + ")";
  for (std::uint32_t reserved : kReservedIds) filter += "(!" + IdFilter(attribute, reserved) + ")";
  return filter;
}

// A part of the name (or comment), or digits equal to the id.
std::optional<std::string> FindFilter(const ListPageQuery& query, const char* id_attribute) {
  const std::optional<std::string> part = EscapedFilterValue(query.find);
  if (!part) return std::nullopt;
  std::string filter = query.groups ? "(|(cn=*" + *part + "*)"
                                    : "(|(uid=*" + *part + "*)(gecos=*" + *part + "*)";
  if (IsDigitsOnly(query.find)) {
    if (const std::optional<std::uint32_t> id = ParseId(query.find)) {
      filter += IdFilter(id_attribute, *id);
    }
  }
  return filter + ")";
}

std::optional<std::string> PageFilter(const ListPageQuery& query) {
  const char* id_attribute = query.groups ? "gidNumber" : "uidNumber";
  std::string filter = query.groups ? "(&(objectClass=posixGroup)" : "(&(objectClass=posixAccount)";
  if (query.threshold) filter += AboveFilter(id_attribute, *query.threshold);
  if (!query.find.empty()) {
    const std::optional<std::string> find = FindFilter(query, id_attribute);
    if (!find) return std::nullopt;
    filter += *find;
  }
  return filter + ")";
}

// The sort and virtual list view controls of the page.
struct PageControls {
  LDAPControl* sort = nullptr;
  LDAPControl* vlv = nullptr;
  ~PageControls() {
    if (sort != nullptr) ldap_control_free(sort);
    if (vlv != nullptr) ldap_control_free(vlv);
  }
  bool Make(LDAP* ld, const ListPageQuery& query) {
    LDAPSortKey** keys = nullptr;
    char key[sizeof kUserSortKey];
    std::copy_n(query.groups ? kGroupSortKey : kUserSortKey, sizeof key, key);
    if (ldap_create_sort_keylist(&keys, key) != LDAP_SUCCESS) return false;
    const int sorted = ldap_create_sort_control(ld, keys, 1, &sort);
    ldap_free_sort_keylist(keys);
    LDAPVLVInfo view{};
    view.ldvlv_version = 1;
    view.ldvlv_before_count = 0;
    view.ldvlv_after_count = static_cast<ber_int_t>(query.count - 1);
    view.ldvlv_offset = static_cast<ber_int_t>(query.first + 1);
    view.ldvlv_count = 0;
    return sorted == LDAP_SUCCESS && ldap_create_vlv_control(ld, &view, &vlv) == LDAP_SUCCESS;
  }
};

// How many entries the server's view holds, from the result's controls.
std::optional<size_t> ListCount(LDAP* ld, LDAPMessage* result) {
  int code = LDAP_SUCCESS;
  LDAPControl** controls = nullptr;
  if (ldap_parse_result(ld, result, &code, nullptr, nullptr, nullptr, &controls, 0) !=
      LDAP_SUCCESS) {
    return std::nullopt;
  }
  std::optional<size_t> count;
  LDAPControl* response = ldap_control_find(LDAP_CONTROL_VLVRESPONSE, controls, nullptr);
  ber_int_t target = 0, total = 0;
  int view_code = LDAP_SUCCESS;
  if (code == LDAP_SUCCESS && response != nullptr &&
      ldap_parse_vlvresponse_control(ld, response, &target, &total, nullptr, &view_code) ==
          LDAP_SUCCESS &&
      view_code == LDAP_SUCCESS) {
    count = static_cast<size_t>(std::max<ber_int_t>(total, 0));
  }
  ldap_controls_free(controls);
  return count;
}

}  // namespace

std::optional<size_t> ReadSortedPage(const ListPageQuery& query,
                                     const DirectoryAccountVisitor& accounts,
                                     const std::function<void(GroupEntry)>& groups) {
  LDAP* ld = ReadingSession();
  if (ld == nullptr || query.count == 0 || !ServerSortsAndPages(ld)) return std::nullopt;
  const std::optional<std::string> filter = PageFilter(query);
  PageControls controls;
  if (!filter || !controls.Make(ld, query)) return std::nullopt;
  LDAPControl* server_controls[] = {controls.sort, controls.vlv, nullptr};
  std::vector<char*> names;
  for (const char* name : query.groups ? kGroupAttributes : kAccountAttributes) {
    names.push_back(const_cast<char*>(name));
  }
  names.push_back(nullptr);
  const std::string& base = query.groups ? GroupBase() : PeopleBase();
  LDAPMessage* raw = nullptr;
  const int code = ldap_search_ext_s(ld, base.c_str(), LDAP_SCOPE_SUBTREE, filter->c_str(),
                                     names.data(), 0, server_controls, nullptr, nullptr,
                                     LDAP_NO_LIMIT, &raw);
  const Message result(raw);
  if (code != LDAP_SUCCESS || raw == nullptr) {
    LogFailure("sorted page " + Printable(base) + " " + Printable(*filter), code);
    return std::nullopt;
  }
  for (LDAPMessage* entry = ldap_first_entry(ld, raw); entry != nullptr;
       entry = ldap_next_entry(ld, entry)) {
    Entry read = ReadEntry(ld, entry);
    if (!query.groups) {
      VisitAccountEntry(read, accounts);
    } else if (auto group = GroupOf(std::move(read))) {
      groups(std::move(*group));
    }
  }
  return ListCount(ld, raw);
}

}  // namespace orvanta::directory
