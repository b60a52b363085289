// POST TOBEMOD: changes the ticked attributes of one account with the
// configured user-changing tool, and its password with chpasswd.
#include <algorithm>
#include <iterator>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "ldap/ldap.h"
#include "oplog/oplog.h"
#include "user/account_result.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

// The boxes of the attributes usermod changes; the password goes to
// chpasswd. Only a ticked box's presence counts, whatever its value.
constexpr const char* kAttributeBoxes[] = {"CHKGCOS", "CHKDIR", "CHKGID", "CHKSHELL", "CHKUID"};

bool AnyAttributeTicked() {
  return std::any_of(std::begin(kAttributeBoxes), std::end(kAttributeBoxes),
                     [](const char* box) { return HasParam(box); });
}

std::string BuildUserModLine() {
  const std::string& name = Param("NAME");
  std::string line = Setting("USERMOD") + " ";
  if (HasParam("CHKGCOS")) line += " -c '" + ShellQuotedBody(Param("GCOS")) + "' ";
  if (HasParam("CHKDIR")) line += " -d " + ShellWord(Param("DIR") + name);
  if (HasParam("CHKGID")) line += " -g " + ShellWord(Param("GID"));
  if (HasParam("CHKSHELL")) line += " -s " + ShellWord(Param("SHELL"));
  if (HasParam("CHKUID")) line += " -u " + ShellWord(Param("UID"));
  line += " " + ShellWord(name);
  return line;
}

// usermod may fail after it rewrote the entry (a file it updates later):
// what the database holds now decides whether the change happened.
bool ChangedWithTool(const UserEntry& before) {
  if (RunCommandLine(BuildUserModLine()) == 0) return true;
  const FoundUsers now = FindUsers({before.name});
  const UserEntry* after = now.Single(before.name);
  return after != nullptr &&
         (after->uid != before.uid || after->gid != before.gid || after->gecos != before.gecos ||
          after->dir != before.dir || after->shell != before.shell);
}

void ModifyWithTools(const UserEntry& user) {
  const std::string& name = user.name;
  std::string hash;
  if (HasParam("CHKPASS")) {
    hash = HashPassword(Param("PASS"));
    if (hash.empty()) throw ErrorCode{kErrorUserModFailed};
  }
  // A request with no box ticked runs the tool as it always did; one that
  // changes only the password has nothing for usermod to do.
  const bool attributes = AnyAttributeTicked() || !HasParam("CHKPASS");
  if (attributes && !ChangedWithTool(user)) throw ErrorCode{kErrorUserModFailed};
  if (!hash.empty() && !SetPasswordHash(name, hash)) {
    // The attributes were changed: that change is recorded.
    if (attributes) WriteOperationLog(name);
    throw ErrorCode{kErrorUserModFailed};
  }
  PrintAccountResultPage(kModifiedCaption, EmptyUidCell::EmptyText);
  WriteOperationLog(name);
}

// A ticked box's value for the directory; unticked ones stay unset.
std::optional<std::string> Ticked(const char* box, std::string value) {
  if (!HasParam(box)) return std::nullopt;
  return value;
}

// The directory backend instead of the tool: the same pages and record.
void ModifyInDirectory(const std::string& name) {
  DirectoryChanges changes{std::nullopt,
                           Ticked("CHKUID", Param("UID")),
                           Ticked("CHKGID", Param("GID")),
                           Ticked("CHKGCOS", Param("GCOS")),
                           Ticked("CHKDIR", Param("DIR") + name),
                           Ticked("CHKSHELL", Param("SHELL"))};
  if (HasParam("CHKPASS")) {
    changes.password_hash = HashPassword(Param("PASS"));
    if (changes.password_hash->empty()) throw ErrorCode{kErrorUserModFailed};
  }
  const DirectoryResult result = DirectoryModifyUser(name, changes);
  if (result == DirectoryResult::Refused) throw ErrorCode{kErrorNoUserSelected};
  if (result != DirectoryResult::Done) throw ErrorCode{kErrorUserModFailed};
  PrintAccountResultPage(kModifiedCaption, EmptyUidCell::EmptyText);
  WriteOperationLog(name);
}

}  // namespace

void ModifyUser() {
  // Without a configured tool the line would start with the request's values.
  if (!UsesDirectory() && Setting("USERMOD").empty()) throw ErrorCode{kErrorUserModFailed};
  // The selection list offers only accounts above SYSTEMUID; a hand-made
  // request must not reach root's account either.
  const std::string name = Param("NAME");
  const FoundUsers found = FindUsers({name}, {}, {Param("DIR") + name});
  const UserEntry* user = ChangeableUser(found, name);
  if (user == nullptr) throw ErrorCode{kErrorNoUserSelected};
  if (HasParam("CHKPASS") && ConfiguredCryptMethod() == CryptMethod::Unknown) {
    throw ErrorCode{kErrorUserModFailed};
  }
  CheckUserModFields(*user, found);
  if (UsesDirectory()) return ModifyInDirectory(name);
  ModifyWithTools(*user);
}

}  // namespace orvanta
