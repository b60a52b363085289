// POST WILLBEADD: creates the account with the configured user-adding tool,
// or in the directory.
#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "ldap/ldap.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/account_result.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

// The tool's line. The password is not on it: the line is readable by every
// local user while the tool runs, so the hash goes to chpasswd's input.
std::string BuildUserAddLine(const NewAccount& account) {
  std::string line = Setting("USERADD") + " ";
  if (!account.gcos.empty()) line += " -c '" + ShellQuotedBody(account.gcos) + "' ";
  line += " -d " + ShellWord(NewHomeOf(account));
  if (!account.group.empty()) line += " -g " + ShellWord(account.group);
  if (!account.shell.empty()) line += " -s " + ShellWord(account.shell);
  if (!account.uid.empty()) line += " -u " + ShellWord(account.uid);
  if (const std::string& option = Setting("OPTION"); !option.empty()) line += " " + option + " ";
  line += " " + ShellWord(account.name);
  return line;
}

AddResult AddWithTools(const NewAccount& account) {
  // Hashed before the change lock is taken, so nobody waits on it.
  std::string hash;
  if (!account.password.empty()) {
    hash = HashPassword(account.password);
    if (hash.empty()) return AddResult::Failed;
  }
  // Under the lock the name is free, so an account of that name after a
  // tool that failed is the one this request made.
  if (!HoldChangeLock()) return AddResult::Failed;
  if (AccountExistsNow(account.name)) return AddResult::NameTaken;
  if (RunCommandLine(BuildUserAddLine(account)) != 0 && !AccountExistsNow(account.name)) {
    return AddResult::Failed;
  }
  OpenUpNewHome(account.name, NewHomeOf(account));
  if (!hash.empty() && !SetPasswordHash(account.name, hash)) {
    return AddResult::AddedWithoutPassword;
  }
  return AddResult::Added;
}

void RefuseIf(const std::string& problem) {
  if (!problem.empty()) ThrowMessage(problem);
}

}  // namespace

NewAccount RequestedAccount() {
  return {Param("NAME"), Param("PASS"), Param("UID"),  Param("GID"),
          Param("GCOS"), Param("DIR"),  Param("SHELL")};
}

bool CannotHashPassword(const NewAccount& account) {
  return !account.password.empty() && ConfiguredCryptMethod() == CryptMethod::Unknown;
}

bool LacksUserAddTool() { return !UsesDirectory() && Setting("USERADD").empty(); }

AddResult AddAccount(const NewAccount& account) {
  // A name the tool would read as an option ("--help" exits 0) would be
  // reported as an account that was never made.
  if (account.name.empty() || account.name.front() == '-') return AddResult::Failed;
  if (UsesDirectory()) {
    switch (DirectoryAddUser(account)) {
      case DirectoryResult::Done:
        return AddResult::Added;
      case DirectoryResult::NameTaken:
        return AddResult::NameTaken;
      default:
        return AddResult::Failed;
    }
  }
  // Without a configured tool the line would start with the request's values.
  if (Setting("USERADD").empty()) return AddResult::Failed;
  return AddWithTools(account);
}

void RegisterUser() {
  if (LacksUserAddTool()) throw ErrorCode{kErrorUserAddFailed};
  NewAccount account = RequestedAccount();
  if (CannotHashPassword(account)) throw ErrorCode{kErrorUserAddFailed};
  std::set<std::uint32_t> uids;
  if (const std::optional<std::uint32_t> uid = ParseId(account.uid)) uids.insert(*uid);
  const FoundUsers found = FindUsers({account.name}, uids, {NewHomeOf(account)});
  RefuseIf(UserAddFieldsProblem(account, found));
  RefuseIf(UserAddTakenProblem(account, found));
  account.dir = DirWithSlash(account.dir);
  SetParam("DIR", account.dir);
  switch (AddAccount(account)) {
    case AddResult::Added:
      break;
    case AddResult::AddedWithoutPassword:
      WriteOperationLog(account.name);
      ThrowMessage(kPasswordNotSet);
    case AddResult::NameTaken:
      ThrowMessage(NameTakenProblem(account.name));
    case AddResult::Failed:
      throw ErrorCode{kErrorUserAddFailed};
  }
  PrintAccountResultPage(kRegisteredCaption, EmptyUidCell::LineBreak);
  WriteOperationLog(account.name);
}

}  // namespace orvanta
