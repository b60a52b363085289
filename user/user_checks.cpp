// Server-side checks of the user actions: the forms' field rules, the group
// rule, duplicates before a registration, and which accounts may be changed
// at all.
#include <algorithm>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

constexpr char kDefaultProtectedGroups[] = "root sudo adm wheel shadow disk";

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = std::min(text.find_first_of(" \t", pos), text.size());
    if (end > pos) words.push_back(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return words;
}

void RefuseIf(const std::string& problem) {
  if (!problem.empty()) ThrowMessage(problem);
}

// The group the tools would read from -g: digits only are a gid, anything
// else a name.
const GroupEntry* FindGroupAsTheToolsDo(const std::string& text) {
  if (std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    const std::optional<std::uint32_t> gid = ParseId(text);
    const auto& by_gid = AllGroups().by_gid;
    const auto found = gid ? by_gid.find(*gid) : by_gid.end();
    return found == by_gid.end() ? nullptr : &found->second;
  }
  const auto& by_name = AllGroups().by_name;
  const auto found = by_name.find(text);
  return found == by_name.end() ? nullptr : &found->second;
}

std::string GroupRuleProblem(const std::string& text, std::optional<std::uint32_t> current_gid) {
  if (text.empty()) return "";
  const GroupEntry* group = FindGroupAsTheToolsDo(text);
  if (group == nullptr) return GroupMissingProblem(text);
  if (current_gid && group->gid == *current_gid) return "";
  return IdValueProblem(group->gid, IdThreshold("SYSTEMGID"), IdKind::Group);
}

std::string UidRuleProblem(const std::string& text, std::optional<std::uint32_t> current_uid) {
  if (text.empty()) return "";
  const std::optional<std::uint32_t> uid = ParseId(text);
  if (!uid) return IdNotNumberProblem(IdKind::User);
  if (current_uid && *uid == *current_uid) return "";
  return IdValueProblem(*uid, IdThreshold("SYSTEMUID"), IdKind::User);
}

}  // namespace

AccountGuard::AccountGuard() : threshold_(IdThreshold("SYSTEMUID")) {
  const std::vector<std::string> names =
      Words(HasSetting("PROTECTED_GROUPS") ? Setting("PROTECTED_GROUPS") : kDefaultProtectedGroups);
  // Every entry of such a name counts, also one the name index does not keep.
  for (const auto& [gid, group] : AllGroups().by_gid) {
    if (std::find(names.begin(), names.end(), group.name) == names.end()) continue;
    protected_gids_.insert(gid);
    protected_members_.insert(group.members.begin(), group.members.end());
  }
}

bool AccountGuard::MayChange(std::string_view name, std::uint32_t uid, std::uint32_t gid) const {
  return IsAboveSystemIds(uid, threshold_) && protected_gids_.count(gid) == 0 &&
         protected_members_.count(name) == 0;
}

const UserEntry* ChangeableUser(const FoundUsers& found, std::string_view name) {
  return ChangeableUser(found, name, AccountGuard());
}

const UserEntry* ChangeableUser(const FoundUsers& found, std::string_view name,
                                const AccountGuard& guard) {
  // A name the database yields twice has no Single entry.
  const UserEntry* user = found.Single(name);
  if (user == nullptr || !guard.MayChange(user->name, user->uid, user->gid)) return nullptr;
  return user;
}

std::string UserAddFieldsProblem(const NewAccount& account, const FoundUsers& found) {
  // In the form's order, each looked at only when the ones before pass.
  std::string problem = UserNameProblem(account.name);
  if (problem.empty()) {
    problem = PasswordProblem(account.password, PasswordMaxLength(RegistrationHashesPassword()));
  }
  if (problem.empty()) problem = UidRuleProblem(account.uid, std::nullopt);
  if (problem.empty()) problem = CommentProblem(account.gcos);
  if (problem.empty()) problem = HomeDirProblem(account.dir);
  if (problem.empty()) problem = GroupRuleProblem(account.group, std::nullopt);
  if (problem.empty()) problem = NewHomeProblem(account, found);
  return problem;
}

void CheckUserModFields(const UserEntry& current, const FoundUsers& found) {
  if (HasParam("CHKPASS")) RefuseIf(PasswordProblem(Param("PASS"), PasswordMaxLength(true)));
  if (HasParam("CHKUID")) RefuseIf(UidRuleProblem(Param("UID"), current.uid));
  if (HasParam("CHKGID")) RefuseIf(GroupRuleProblem(Param("GID"), current.gid));
  if (HasParam("CHKGCOS")) RefuseIf(CommentProblem(Param("GCOS")));
  if (HasParam("CHKDIR")) RefuseIf(HomeDirProblem(Param("DIR")));
  // After the field rules, as in a registration; the tool's -d path.
  const std::string home = Param("DIR") + current.name;
  if (HasParam("CHKDIR")) RefuseIf(ChangedHomeProblem(home, current.name, found));
}

std::string UserAddTakenProblem(const NewAccount& account, const FoundUsers& found) {
  if (found.Exists(account.name)) return NameTakenProblem(account.name);
  const std::optional<std::uint32_t> uid = ParseId(account.uid);
  if (uid && found.taken_uids.count(*uid) != 0) return FormatText(kUidTakenFormat, *uid);
  return "";
}

std::string NameTakenProblem(std::string_view name) {
  return FormatText(kNameTakenFormat, Html(name).c_str());
}

std::string DirWithSlash(const std::string& dir) {
  return dir.empty() || dir.back() == '/' ? dir : dir + "/";
}

}  // namespace orvanta
