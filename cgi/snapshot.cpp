// The account and group databases, copied once per run before any page or
// action looks at them.
#include <grp.h>
#include <pwd.h>

#include <algorithm>

#include "cgi/cgi.h"

namespace orvanta {

std::vector<UserEntry> gUserList;
std::map<std::string, UserEntry> gUserByName;
std::map<std::uint32_t, UserEntry> gUserByUid;
std::map<std::string, GroupEntry> gGroupByName;
std::map<std::uint32_t, GroupEntry> gGroupByGid;
std::set<std::string> gRepeatedUserNames;
std::set<std::string> gRepeatedGroupNames;

namespace {

std::string OrEmpty(const char* text) { return text ? text : ""; }

std::optional<AccountEntries>& FixedEntries() {
  static std::optional<AccountEntries> entries;
  return entries;
}

void AddUser(const UserEntry& entry) {
  gUserList.push_back(entry);
  if (gUserByName.count(entry.name) != 0) gRepeatedUserNames.insert(entry.name);
  gUserByName[entry.name] = entry;
  gUserByUid[entry.uid] = entry;
}

void AddGroup(const GroupEntry& entry) {
  if (gGroupByName.count(entry.name) != 0) gRepeatedGroupNames.insert(entry.name);
  gGroupByName[entry.name] = entry;
  gGroupByGid[entry.gid] = entry;
}

}  // namespace

void SetAccountEntries(std::optional<AccountEntries> entries) {
  FixedEntries() = std::move(entries);
}

std::string GroupNameOf(std::uint32_t gid) {
  const auto found = gGroupByGid.find(gid);
  return found == gGroupByGid.end() ? "" : found->second.name;
}

void LoadUsers() {
  gUserList.clear();
  gUserByName.clear();
  gUserByUid.clear();
  gRepeatedUserNames.clear();
  if (FixedEntries()) {
    for (const UserEntry& entry : FixedEntries()->users) AddUser(entry);
    return;
  }
  setpwent();
  while (const passwd* pw = getpwent()) {
    AddUser({OrEmpty(pw->pw_name), pw->pw_uid, pw->pw_gid, OrEmpty(pw->pw_gecos),
             OrEmpty(pw->pw_dir), OrEmpty(pw->pw_shell)});
  }
  endpwent();
}

void LoadGroups() {
  gGroupByName.clear();
  gGroupByGid.clear();
  gRepeatedGroupNames.clear();
  if (FixedEntries()) {
    for (const GroupEntry& entry : FixedEntries()->groups) AddGroup(entry);
    return;
  }
  setgrent();
  while (const group* gr = getgrent()) {
    GroupEntry entry{OrEmpty(gr->gr_name), gr->gr_gid};
    for (char** member = gr->gr_mem; member != nullptr && *member != nullptr; ++member) {
      entry.members.emplace_back(*member);
    }
    AddGroup(entry);
  }
  endgrent();
}

bool CompareUsersByName(const UserEntry& a, const UserEntry& b) {
  // std::string compares bytes as unsigned char, so EUC-JP names sort last.
  return a.name < b.name;
}

bool CompareUsersByUid(const UserEntry& a, const UserEntry& b) { return a.uid < b.uid; }

void SortUserList() {
  const std::string& order = Setting("SORT");
  if (order == "SORT_BY_NAME") {
    std::stable_sort(gUserList.begin(), gUserList.end(), CompareUsersByName);
  } else if (order == "SORT_BY_UID") {
    std::stable_sort(gUserList.begin(), gUserList.end(), CompareUsersByUid);
  }
}

}  // namespace orvanta
