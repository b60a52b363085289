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

namespace {
std::string OrEmpty(const char* text) { return text ? text : ""; }
}  // namespace

std::string GroupNameOf(std::uint32_t gid) {
  const auto found = gGroupByGid.find(gid);
  return found == gGroupByGid.end() ? "" : found->second.name;
}

void LoadUsers() {
  gUserList.clear();
  gUserByName.clear();
  gUserByUid.clear();
  setpwent();
  while (const passwd* pw = getpwent()) {
    UserEntry entry{OrEmpty(pw->pw_name), pw->pw_uid,         pw->pw_gid,
                    OrEmpty(pw->pw_gecos), OrEmpty(pw->pw_dir), OrEmpty(pw->pw_shell)};
    gUserList.push_back(entry);
    gUserByName[entry.name] = entry;
    gUserByUid[entry.uid] = entry;
  }
  endpwent();
}

void LoadGroups() {
  gGroupByName.clear();
  gGroupByGid.clear();
  setgrent();
  while (const group* gr = getgrent()) {
    GroupEntry entry{OrEmpty(gr->gr_name), gr->gr_gid};
    gGroupByName[entry.name] = entry;
    gGroupByGid[entry.gid] = entry;
  }
  endgrent();
}

bool CompareUsersByName(const UserEntry& a, const UserEntry& b) {
  // std::string compares bytes as unsigned char, so EUC-JP names sort last.
  return a.name < b.name;
}

bool CompareUsersByUid(const UserEntry& a, const UserEntry& b) { return a.uid < b.uid; }

void SortUserList() {
  const std::string& order = Param("SORT");
  if (order == "SORT_BY_NAME") {
    std::stable_sort(gUserList.begin(), gUserList.end(), CompareUsersByName);
  } else if (order == "SORT_BY_UID") {
    std::stable_sort(gUserList.begin(), gUserList.end(), CompareUsersByUid);
  }
}

}  // namespace orvanta
