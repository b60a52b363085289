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

// The password piece: hashed in quotes when USE_CRYPT says so, else as typed;
// "" when the hash cannot be made.
std::string PasswordPiece(const std::string& password) {
  if (Setting("USE_CRYPT") != "YES") return " -p " + ShellWord(password);
  const std::string hash = HashPassword(password);
  return hash.empty() ? "" : " -p '" + hash + "'";
}

// The tool's line, or "" when the password cannot be hashed.
std::string BuildUserAddLine(const NewAccount& account) {
  std::string line = Setting("USERADD") + " ";
  if (!account.gcos.empty()) line += " -c '" + ShellQuotedBody(account.gcos) + "' ";
  line += " -d " + ShellWord(NewHomeOf(account));
  if (!account.group.empty()) line += " -g " + ShellWord(account.group);
  if (!account.password.empty()) {
    const std::string piece = PasswordPiece(account.password);
    if (piece.empty()) return "";
    line += piece;
  }
  if (!account.shell.empty()) line += " -s " + ShellWord(account.shell);
  if (!account.uid.empty()) line += " -u " + ShellWord(account.uid);
  if (const std::string& option = Setting("OPTION"); !option.empty()) line += " " + option + " ";
  line += " " + ShellWord(account.name);
  return line;
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
  return RegistrationHashesPassword() && !account.password.empty() &&
         ConfiguredCryptMethod() == CryptMethod::Unknown;
}

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
  const std::string line = BuildUserAddLine(account);
  if (line.empty() || RunCommandLine(line) != 0) return AddResult::Failed;
  OpenUpNewHome(account.name, NewHomeOf(account));
  return AddResult::Added;
}

void RegisterUser() {
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
    case AddResult::NameTaken:
      ThrowMessage(NameTakenProblem(account.name));
    case AddResult::Failed:
      throw ErrorCode{kErrorUserAddFailed};
  }
  PrintAccountResultPage(kRegisteredCaption, EmptyUidCell::LineBreak);
  WriteOperationLog(account.name);
}

}  // namespace orvanta
