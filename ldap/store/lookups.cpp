// The accounts an action names, found by equality filters on indexed
// attributes: at 100,000 accounts one of them costs a few milliseconds
// where reading every account costs a second.
#include <set>

#include "ldap/store/session.h"
#include "page/page.h"

namespace orvanta::directory {

namespace {

// Terms per search: a batch of 1,000 lines asks about thousands of values,
// more than one filter should carry.
constexpr size_t kTermsPerSearch = 200;

// One term per value asked about; a home also with one trailing '/', as
// the program takes stored homes.
std::vector<std::string> Terms(const AccountQuery& query) {
  std::vector<std::string> terms;
  for (const std::string& name : query.names) terms.push_back(EqualityTerm("uid", name));
  for (const std::uint32_t uid : query.uids) {
    terms.push_back(EqualityTerm("uidNumber", std::to_string(uid)));
  }
  for (const std::string& home : query.homes) {
    terms.push_back(EqualityTerm("homeDirectory", home));
    terms.push_back(EqualityTerm("homeDirectory", home + "/"));
  }
  return terms;
}

std::string AnyOf(const std::vector<std::string>& terms, size_t from, size_t to) {
  std::string filter = "(&(objectClass=posixAccount)(|";
  for (size_t i = from; i < to; ++i) filter += terms[i];
  return filter + "))";
}

}  // namespace

void ForEachAccountOf(const AccountQuery& query, const DirectoryAccountVisitor& visit) {
  const std::vector<std::string> terms = Terms(query);
  // An entry that two searches find is visited once.
  std::set<std::string, std::less<>> seen;
  for (size_t from = 0; from < terms.size(); from += kTermsPerSearch) {
    const std::string filter = AnyOf(terms, from, std::min(terms.size(), from + kTermsPerSearch));
    Search(PeopleBase(), filter, kAccountAttributes, [&](const Entry& entry) {
      if (seen.insert(entry.dn).second) VisitAccountEntry(entry, visit);
    });
  }
}

}  // namespace orvanta::directory
