// A new account's group of its own, made before the account. useradd that
// makes the group itself rewrites gshadow once per entry of it, which on a
// host of many accounts takes half a minute; groupadd and useradd -N -g do
// not. The program therefore picks the ids as useradd would (the uid above
// the highest used one, the gid equal to it when it is free) and runs the
// two tools itself, under the change lock.
#include <strings.h>

#include <cstdio>
#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "page/page.h"
#include "store/store.h"

namespace orvanta {

namespace {

constexpr char kHostLoginDefs[] = "/etc/login.defs";
constexpr char kLoginDefsInTree[] = "/etc/login.defs";
// useradd's defaults for what login.defs leaves out.
constexpr std::uint32_t kDefaultIdMin = 1000;
constexpr std::uint32_t kDefaultIdMax = 60000;
constexpr char kUserGroupsKey[] = "USERGROUPS_ENAB";
// The options by which a site's own USERADD or OPTION decides about the
// group: useradd is then left to do what they ask.
constexpr std::string_view kGroupOptions[] = {"-g", "-N", "-U", "--gid", "--no-user-group",
                                              "--user-group", "-K", "--key"};
// Short options that may be run together ("-mN").
constexpr std::string_view kGroupLetters = "gNUK";
// Options naming the tree useradd works in and reads login.defs from.
constexpr std::string_view kTreeOptions[] = {"--prefix", "-P", "--root", "-R"};
constexpr char kNoUserGroupOption[] = " -N";

struct LoginDefs {
  bool user_groups = false;
  std::uint32_t uid_min = kDefaultIdMin, uid_max = kDefaultIdMax;
  std::uint32_t gid_min = kDefaultIdMin, gid_max = kDefaultIdMax;
};

std::vector<std::string_view> WordsOf(std::string_view text) {
  std::vector<std::string_view> words;
  while (true) {
    const size_t start = text.find_first_not_of(" \t");
    if (start == std::string_view::npos) return words;
    text.remove_prefix(start);
    const size_t end = std::min(text.find_first_of(" \t"), text.size());
    words.push_back(text.substr(0, end));
    text.remove_prefix(end);
  }
}

// The tree of --prefix DIR, --prefix=DIR, -P DIR (or --root, -R) on USERADD.
std::string ToolTree() {
  const std::vector<std::string_view> words = WordsOf(Setting("USERADD"));
  for (size_t i = 0; i < words.size(); ++i) {
    for (std::string_view option : kTreeOptions) {
      if (words[i] == option && i + 1 < words.size()) return std::string(words[i + 1]);
      if (option.starts_with("--") && words[i].starts_with(option) &&
          words[i].size() > option.size() && words[i][option.size()] == '=') {
        return std::string(words[i].substr(option.size() + 1));
      }
    }
  }
  return "";
}

// LOGIN_DEFS, else the file useradd reads: inside its tree, or the host's.
std::string LoginDefsPath() {
  if (const std::string& path = Setting("LOGIN_DEFS"); !path.empty()) return path;
  const std::string tree = ToolTree();
  return tree.empty() ? kHostLoginDefs : tree + kLoginDefsInTree;
}

void ReadId(std::string_view value, std::uint32_t& id) {
  if (const std::optional<std::uint32_t> parsed = ParseId(value)) id = *parsed;
}

// "KEY value" lines; a missing file leaves useradd's defaults (no group of
// the account's own).
LoginDefs ReadLoginDefs() {
  LoginDefs defs;
  std::FILE* file = std::fopen(LoginDefsPath().c_str(), "re");
  if (file == nullptr) return defs;
  char buffer[1024];
  while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
    const std::vector<std::string_view> words = WordsOf(std::string_view(buffer).substr(
        0, std::strcspn(buffer, "\r\n#")));
    if (words.size() < 2) continue;
    if (words[0] == kUserGroupsKey) {
      defs.user_groups = words[1].size() == 3 && strncasecmp(words[1].data(), "yes", 3) == 0;
    }
    if (words[0] == "UID_MIN") ReadId(words[1], defs.uid_min);
    if (words[0] == "UID_MAX") ReadId(words[1], defs.uid_max);
    if (words[0] == "GID_MIN") ReadId(words[1], defs.gid_min);
    if (words[0] == "GID_MAX") ReadId(words[1], defs.gid_max);
  }
  std::fclose(file);
  return defs;
}

bool AsksForGroupHandling(std::string_view word) {
  for (std::string_view option : kGroupOptions) {
    if (word == option || (option.starts_with("--") && word.starts_with(std::string(option) + "="))) {
      return true;
    }
  }
  return word.size() > 1 && word[0] == '-' && word[1] != '-' &&
         word.substr(1).find_first_of(kGroupLetters) != std::string_view::npos &&
         word.substr(1).find_first_not_of(
             "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string_view::npos;
}

bool SiteHandlesGroups() {
  for (const SettingName setting : {SettingName("USERADD"), SettingName("OPTION")}) {
    for (std::string_view word : WordsOf(Setting(setting))) {
      if (AsksForGroupHandling(word)) return true;
    }
  }
  return false;
}

// useradd's choice: one above the highest uid used in the range, or when
// that is the range's top, the lowest free one; nullopt when none is free.
std::optional<std::uint32_t> NextUid(const LoginDefs& defs) {
  if (defs.uid_min > defs.uid_max) return std::nullopt;
  std::vector<bool> used(static_cast<size_t>(defs.uid_max - defs.uid_min) + 1);
  ForEachUidNow([&](std::uint32_t uid) {
    if (uid >= defs.uid_min && uid <= defs.uid_max) used[uid - defs.uid_min] = true;
  });
  size_t highest = used.size();
  while (highest > 0 && !used[highest - 1]) --highest;
  if (highest < used.size()) return defs.uid_min + static_cast<std::uint32_t>(highest);
  for (size_t i = 0; i < used.size(); ++i) {
    if (!used[i]) return defs.uid_min + static_cast<std::uint32_t>(i);
  }
  return std::nullopt;
}

}  // namespace

std::string UserAddLine(const NewAccount& account, bool own_group) {
  std::string line = Setting("USERADD") + " ";
  if (!account.gcos.empty()) line += " -c '" + ShellQuotedBody(account.gcos) + "' ";
  line += " -d " + ShellWord(NewHomeOf(account));
  if (own_group) line += kNoUserGroupOption;
  if (!account.group.empty()) line += " -g " + ShellWord(account.group);
  if (!account.shell.empty()) line += " -s " + ShellWord(account.shell);
  if (!account.uid.empty()) line += " -u " + ShellWord(account.uid);
  if (!account.expire.empty()) line += " -e " + ShellWord(account.expire);
  if (const std::string& option = Setting("OPTION"); !option.empty()) line += " " + option + " ";
  line += " " + ShellWord(account.name);
  return line;
}

std::optional<StoreResult> AddUserWithOwnGroup(const NewAccount& account,
                                               const AccountStore& tools) {
  if (!account.group.empty() || tools.LacksTool("GROUPADD") || tools.LacksTool("GROUPDEL") ||
      SiteHandlesGroups()) {
    return std::nullopt;
  }
  const LoginDefs defs = ReadLoginDefs();
  if (!defs.user_groups) return std::nullopt;
  // A uid the tool would refuse, or none free, and a group of the name that
  // is there already, are useradd's to report.
  const std::optional<std::uint32_t> uid =
      account.uid.empty() ? NextUid(defs) : ParseId(account.uid);
  if (!uid || FindGroup(account.name)) return std::nullopt;
  const bool same_gid = *uid >= defs.gid_min && *uid <= defs.gid_max && !GroupIdExistsNow(*uid);
  if (tools.AddGroup(account.name, same_gid ? std::to_string(*uid) : "") != StoreResult::Done) {
    return StoreResult::Failed;
  }
  NewAccount with_group = account;
  if (account.uid.empty()) with_group.uid = std::to_string(*uid);
  with_group.group = account.name;
  if (RunCommandLine(UserAddLine(with_group, true)) == 0 || AccountExistsNow(account.name)) {
    return StoreResult::Done;
  }
  // No account to own it: the group goes again.
  return tools.DeleteGroup(account.name) == StoreResult::Done ? StoreResult::Failed
                                                              : StoreResult::FailedGroupKept;
}

}  // namespace orvanta
