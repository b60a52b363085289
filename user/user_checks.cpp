// Server-side checks of the user actions: the forms' field rules, the group
// rule, the shells and groups an account may be given, duplicates before a
// registration, and which accounts may be changed at all.
#include <grp.h>
#include <pwd.h>

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

std::string GroupRuleProblem(const std::string& text, std::optional<std::uint32_t> current_gid) {
  if (text.empty()) return "";
  const GroupEntry* group = FindGroupAsTheToolsDo(text);
  if (group == nullptr) return GroupMissingProblem(text);
  if (current_gid && group->gid == *current_gid) return "";
  // A stored name the program cannot trust is never handed on.
  if (!IsTrustedStoredName(group->name)) return GroupRefusedProblem(text);
  return IdValueProblem(group->gid, IdThreshold("SYSTEMGID"), IdKind::Group);
}

// A protected group gives its members root's powers: nobody is given it as
// primary group (the account's current one stays allowed).
std::string ProtectedGroupProblem(const std::string& text, std::optional<std::uint32_t> current_gid,
                                  const AccountGuard& guard) {
  const GroupEntry* group = text.empty() ? nullptr : FindGroupAsTheToolsDo(text);
  if (group == nullptr || (current_gid && group->gid == *current_gid)) return "";
  return guard.ProtectsGroup(group->gid) ? GroupRefusedProblem(text) : "";
}

// A store that shares the host's ids: a typed id that the host's own
// databases give to an account or group would make two of them one.
std::string HostIdProblem(const std::string& text, std::optional<std::uint32_t> current,
                          IdKind kind) {
  const std::optional<std::uint32_t> id = ParseId(text);
  if (!Accounts().SharesHostDatabases() || !id || (current && *id == *current)) return "";
  const bool used = kind == IdKind::User ? getpwuid(*id) != nullptr : getgrgid(*id) != nullptr;
  if (!used) return "";
  return FormatText(kind == IdKind::User ? kHostUidFormat : kHostGidFormat, *id);
}

std::string UidRuleProblem(const std::string& text, std::optional<std::uint32_t> current_uid) {
  if (text.empty()) return "";
  const std::optional<std::uint32_t> uid = ParseId(text);
  if (!uid) return IdNotNumberProblem(IdKind::User);
  if (current_uid && *uid == *current_uid) return "";
  return IdValueProblem(*uid, IdThreshold("SYSTEMUID"), IdKind::User);
}

}  // namespace

const GroupEntry* FindGroupAsTheToolsDo(const std::string& text) {
  if (IsDigitsOnly(text)) {
    const std::optional<std::uint32_t> gid = ParseId(text);
    const auto& by_gid = AllGroups().by_gid;
    const auto found = gid ? by_gid.find(*gid) : by_gid.end();
    return found == by_gid.end() ? nullptr : &found->second;
  }
  const auto& by_name = AllGroups().by_name;
  const auto found = by_name.find(text);
  return found == by_name.end() ? nullptr : &found->second;
}

std::vector<std::string> ProtectedGroupNames() {
  return Words(HasSetting("PROTECTED_GROUPS") ? Setting("PROTECTED_GROUPS")
                                              : kDefaultProtectedGroups);
}

bool IsProtectedGroupName(std::string_view name) {
  const std::vector<std::string> names = ProtectedGroupNames();
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool IsOfferedPrimaryGroup(const GroupEntry& group, std::uint32_t threshold,
                           const AccountGuard& guard) {
  return IsAboveSystemIds(group.gid, threshold) && IsTrustedStoredName(group.name) &&
         !guard.ProtectsGroup(group.gid) && CurrentScope().OwnsGroupName(group.name);
}

std::string GroupRefusedProblem(std::string_view name) {
  return FormatText(kGroupRefusedFormat, Html(name).c_str());
}

AccountGuard::AccountGuard() : threshold_(IdThreshold("SYSTEMUID")) {
  const std::vector<std::string> names = ProtectedGroupNames();
  // Every entry of such a name counts, also one the name index does not keep.
  for (const auto& [gid, group] : AllGroups().by_gid) {
    if (std::find(names.begin(), names.end(), group.name) == names.end()) continue;
    protected_gids_.insert(gid);
    protected_members_.insert(group.members.begin(), group.members.end());
  }
  // When the store shares the host's databases, the host's own groups still
  // decide who is root there (sudo lists directory accounts by name).
  if (!Accounts().SharesHostDatabases()) return;
  for (const std::string& name : names) {
    const group* host_group = getgrnam(name.c_str());
    if (host_group == nullptr) continue;
    protected_gids_.insert(host_group->gr_gid);
    for (char** member = host_group->gr_mem; member != nullptr && *member != nullptr; ++member) {
      protected_members_.insert(*member);
    }
  }
}

bool AccountGuard::MayChange(std::string_view name, std::uint32_t uid, std::uint32_t gid,
                             std::string_view dir) const {
  return IsAboveSystemIds(uid, threshold_) && IsTrustedStoredName(name) &&
         IsTrustedStoredHome(dir) && protected_gids_.count(gid) == 0 &&
         protected_members_.count(name) == 0;
}

std::string UntrustedAccountProblem(const UserEntry& user) {
  if (!IsTrustedStoredName(user.name)) {
    return FormatText(kUntrustedNameFormat, Html(user.name).c_str());
  }
  if (!IsTrustedStoredHome(user.dir)) return FormatText(kUntrustedHomeFormat, Html(user.dir).c_str());
  return "";
}

std::string UntrustedAccountProblem(const FoundUsers& found, std::string_view name) {
  const auto entries = found.by_name.find(name);
  if (entries == found.by_name.end()) return "";
  for (const UserEntry& user : entries->second) {
    if (std::string problem = UntrustedAccountProblem(user); !problem.empty()) return problem;
  }
  return "";
}

void RefuseUntrustedAccount(const FoundUsers& found, std::string_view name) {
  RefuseIf(UntrustedAccountProblem(found, name));
}

const UserEntry* ChangeableUser(const FoundUsers& found, std::string_view name) {
  return ChangeableUser(found, name, AccountGuard());
}

const UserEntry* ChangeableUser(const FoundUsers& found, std::string_view name,
                                const AccountGuard& guard) {
  // A name the database yields twice has no Single entry.
  const UserEntry* user = found.Single(name);
  if (user == nullptr || !guard.MayChange(user->name, user->uid, user->gid, user->dir)) {
    return nullptr;
  }
  return user;
}

std::string ShellProblem(const std::string& shell, const std::string* current) {
  if (current != nullptr && shell == *current) return "";
  for (const SettingName key : kShellSettings) {
    if (!Setting(key).empty() && shell == Setting(key)) return "";
  }
  return FormatText(kShellRefusedFormat, Html(shell).c_str());
}

std::string UserAddFieldsProblem(const NewAccount& account, const FoundUsers& found) {
  // In the form's order, each looked at only when the ones before pass.
  std::string problem = UserNameProblem(account.name);
  if (problem.empty()) {
    problem = PasswordProblem(account.password, PasswordMaxLength(RegistrationTakesLongPasswords()));
  }
  if (problem.empty()) problem = UidRuleProblem(account.uid, std::nullopt);
  if (problem.empty()) problem = CommentProblem(account.gcos);
  if (problem.empty()) problem = HomeDirProblem(account.dir);
  if (problem.empty()) problem = ExpiryDateProblem(account.expire);
  if (problem.empty()) problem = GroupRuleProblem(account.group, std::nullopt);
  if (problem.empty()) problem = NewHomeProblem(account, found);
  if (problem.empty()) problem = ShellProblem(account.shell, nullptr);
  if (problem.empty()) problem = ProtectedGroupProblem(account.group, std::nullopt, AccountGuard());
  // useradd would make a group of the account's name: never one of these.
  if (problem.empty() && IsProtectedGroupName(account.name)) {
    problem = GroupRefusedProblem(account.name);
  }
  if (problem.empty()) problem = HostIdProblem(account.uid, std::nullopt, IdKind::User);
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
  if (HasParam("CHKSHELL")) RefuseIf(ShellProblem(Param("SHELL"), &current.shell));
  if (HasParam("CHKGID")) {
    RefuseIf(ProtectedGroupProblem(Param("GID"), current.gid, AccountGuard()));
  }
  if (HasParam("CHKUID")) RefuseIf(HostIdProblem(Param("UID"), current.uid, IdKind::User));
}

std::string HostGidProblem(const std::string& text) {
  return HostIdProblem(text, std::nullopt, IdKind::Group);
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

std::string GroupKeptProblem(std::string_view name) {
  return FormatText(kGroupKeptFormat, Html(name).c_str());
}

}  // namespace orvanta
