// The accounts an action names, found by equality filters on indexed
// attributes: at 100,000 accounts one of them costs a few milliseconds
// where reading every account costs a second. The taken checks (uids and
// homes) search where the hosts look for accounts (IdSearchBase); so do
// the names when there is such a base.
//
// A home meets another when it is that home, lies inside it or holds it:
// "(homeDirectory=HOME/*)" finds the homes below, one equality term per
// directory above finds those above, and the program compares what came,
// normalised. Stored homes that run through ".." come along whatever they
// name (two indexed substring terms); others written with "//" or "/./"
// are found only where they match as written.
// RFC 2307 gives homeDirectory no substring rule, and a server then
// matches "HOME/*" with nothing: without one in the server's schema, every
// account under the base is read instead.
#include <ldap_schema.h>
#include <strings.h>

#include <algorithm>
#include <set>

#include "ldap/store/session.h"
#include "page/page.h"

namespace orvanta::directory {

namespace {

// Terms per search: a batch of 1,000 lines asks about thousands of values,
// more than one filter should carry.
constexpr size_t kTermsPerSearch = 200;
constexpr char kHomeAttribute[] = "homeDirectory";
constexpr char kEveryHomeRead[] =
    "ldap: the server's schema gives homeDirectory no substring rule: every account is read "
    "for the home rules";

// A stored home is also taken with one trailing '/'.
void AddHomeTerms(std::vector<std::string>& terms, const std::string& home) {
  terms.push_back(EqualityTerm(kHomeAttribute, home));
  terms.push_back(EqualityTerm(kHomeAttribute, home + "/"));
}

std::vector<std::string> NameTerms(const AccountQuery& query) {
  std::vector<std::string> terms;
  for (const std::string& name : query.names) terms.push_back(EqualityTerm("uid", name));
  return terms;
}

// Homes that run through "..": few, and none of them plain.
constexpr const char* kUpwardHomeTerms[] = {"(homeDirectory=*/../*)", "(homeDirectory=*/..)"};

// The uids, and each home with the homes below it and above it.
std::vector<std::string> TakenTerms(const AccountQuery& query) {
  std::vector<std::string> terms;
  if (!query.homes.empty()) terms.assign(std::begin(kUpwardHomeTerms), std::end(kUpwardHomeTerms));
  for (const std::uint32_t uid : query.uids) {
    terms.push_back(EqualityTerm("uidNumber", std::to_string(uid)));
  }
  for (const std::string& home : query.homes) {
    AddHomeTerms(terms, home);
    if (const std::optional<std::string> below = EscapedFilterValue(home + "/")) {
      terms.push_back(std::string("(") + kHomeAttribute + "=" + *below + "*)");
    }
    for (const std::string& parent : PathParents(home)) AddHomeTerms(terms, parent);
  }
  return terms;
}

std::string AnyOf(const std::vector<std::string>& terms, size_t from, size_t to) {
  std::string filter = "(&(objectClass=posixAccount)(|";
  for (size_t i = from; i < to; ++i) filter += terms[i];
  return filter + "))";
}

// Whether one of the names of the attribute type is `name`.
bool IsNamed(const LDAPAttributeType& type, const char* name) {
  for (char** names = type.at_names; names != nullptr && *names != nullptr; ++names) {
    if (strcasecmp(*names, name) == 0) return true;
  }
  return false;
}

// Whether the schema's definition of homeDirectory has a substring rule.
bool HasSubstringRule(const std::vector<std::string>& definitions) {
  for (const std::string& definition : definitions) {
    int code = 0;
    const char* error = nullptr;
    LDAPAttributeType* type =
        ldap_str2attributetype(definition.c_str(), &code, &error, LDAP_SCHEMA_ALLOW_ALL);
    if (type == nullptr) continue;
    const bool home = IsNamed(*type, kHomeAttribute);
    const bool substring = type->at_substr_oid != nullptr;
    ldap_attributetype_free(type);
    if (home) return substring;
  }
  return false;
}

// Read from the subschema entry the root DSE names; an unreadable schema
// counts as none.
bool ReadSubstringRule() {
  std::string subschema;
  Search("", "(objectClass=*)", {"subschemaSubentry"},
         [&](const Entry& root) { subschema = root.First("subschemaSubentry"); }, LDAP_SCOPE_BASE);
  if (subschema.empty()) return false;
  bool substring = false;
  Search(subschema, "(objectClass=subschema)", {"attributeTypes"},
         [&](Entry entry) { substring = HasSubstringRule(entry.values["attributeTypes"]); },
         LDAP_SCOPE_BASE);
  return substring;
}

bool HomesMatchBySubstring() {
  static const bool matches = ReadSubstringRule();
  return matches;
}

// The terms' accounts under `base`; each entry is visited once.
void SearchTerms(const std::string& base, const std::vector<std::string>& terms,
                 std::set<std::string, std::less<>>& seen, const DirectoryAccountVisitor& visit) {
  for (size_t from = 0; from < terms.size(); from += kTermsPerSearch) {
    const std::string filter = AnyOf(terms, from, std::min(terms.size(), from + kTermsPerSearch));
    Search(base, filter, kAccountAttributes, [&](const Entry& entry) {
      if (seen.insert(entry.dn).second) VisitAccountEntry(entry, visit);
    });
  }
}

}  // namespace

void ForEachAccountOf(const AccountQuery& query, const DirectoryAccountVisitor& visit) {
  std::set<std::string, std::less<>> seen;
  // Names alone find the accounts an action acts on: without a base for
  // the taken checks, below the people (and no line on stderr).
  if (query.uids.empty() && query.homes.empty()) {
    const std::string& base = ChosenIdSearchBase();
    SearchTerms(base.empty() ? PeopleBase() : base, NameTerms(query), seen, visit);
    return;
  }
  const std::string* base = IdSearchBase();
  if (base == nullptr) {
    SearchTerms(PeopleBase(), NameTerms(query), seen, visit);
    return;
  }
  if (!query.homes.empty() && !HomesMatchBySubstring()) {
    static bool reported = false;
    if (!reported) ErrorLogLine(kEveryHomeRead);
    reported = true;
    Search(*base, "(objectClass=posixAccount)", kAccountAttributes,
           [&](const Entry& entry) { VisitAccountEntry(entry, visit); });
    return;
  }
  std::vector<std::string> terms = NameTerms(query);
  const std::vector<std::string> taken = TakenTerms(query);
  terms.insert(terms.end(), taken.begin(), taken.end());
  SearchTerms(*base, terms, seen, visit);
}

}  // namespace orvanta::directory
