// POST WILLBEADD: creates the account with the configured user-adding tool.
#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "ldap/ldap.h"
#include "oplog/oplog.h"
#include "user/account_result.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

bool HashesPassword() { return Setting("USE_CRYPT") == "YES" && !Param("PASS").empty(); }

// The password piece: hashed in quotes when USE_CRYPT says so, else as typed.
std::string PasswordPiece(const std::string& password) {
  if (Setting("USE_CRYPT") != "YES") return " -p " + ShellWord(password);
  const std::string hash = HashPassword(password);
  if (hash.empty()) throw ErrorCode{kErrorUserAddFailed};
  return " -p '" + hash + "'";
}

std::string BuildUserAddLine() {
  const std::string& name = Param("NAME");
  std::string line = Setting("USERADD") + " ";
  if (const std::string& gcos = Param("GCOS"); !gcos.empty()) {
    line += " -c '" + ShellQuotedBody(gcos) + "' ";
  }
  if (const std::string& dir = Param("DIR"); !dir.empty()) line += " -d " + ShellWord(dir + name);
  if (const std::string& gid = Param("GID"); !gid.empty()) line += " -g " + ShellWord(gid);
  if (const std::string& pass = Param("PASS"); !pass.empty()) line += PasswordPiece(pass);
  if (const std::string& shell = Param("SHELL"); !shell.empty()) {
    line += " -s " + ShellWord(shell);
  }
  if (const std::string& uid = Param("UID"); !uid.empty()) line += " -u " + ShellWord(uid);
  if (const std::string& option = Setting("OPTION"); !option.empty()) line += " " + option + " ";
  line += " " + ShellWord(name);
  return line;
}

// The directory backend instead of the tool: the same pages and record.
void RegisterInDirectory(const std::string& name) {
  const DirectoryResult result = DirectoryAddUser({name, Param("PASS"), Param("UID"), Param("GID"),
                                                   Param("GCOS"), Param("DIR"), Param("SHELL")});
  if (result == DirectoryResult::NameTaken) RefuseTakenName(name);
  if (result != DirectoryResult::Done) throw ErrorCode{kErrorUserAddFailed};
  PrintAccountResultPage(kRegisteredCaption, EmptyUidCell::LineBreak);
  WriteOperationLog(name);
}

}  // namespace

void RegisterUser() {
  if (HashesPassword() && ConfiguredCryptMethod() == CryptMethod::Unknown) {
    throw ErrorCode{kErrorUserAddFailed};
  }
  CheckUserAddFields();
  const std::string& uid = Param("UID");
  const FoundUsers found =
      FindUsers({Param("NAME")}, uid.empty() ? std::nullopt
                                             : std::optional(static_cast<std::uint32_t>(AtoiLike(uid))));
  CheckNameNotRegistered(found);
  CheckUidNotRegistered(found);
  EnsureDirEndsWithSlash();
  const std::string name = Param("NAME");
  // A name the tool would read as an option ("--help" exits 0) would be
  // reported as an account that was never made.
  if (!name.empty() && name.front() == '-') throw ErrorCode{kErrorUserAddFailed};
  if (UsesDirectory()) return RegisterInDirectory(name);
  // Without a configured tool the line would start with the request's values.
  if (Setting("USERADD").empty()) throw ErrorCode{kErrorUserAddFailed};
  if (RunCommandLine(BuildUserAddLine()) != 0) throw ErrorCode{kErrorUserAddFailed};
  OpenUpNewHome(name, Param("DIR") + name);
  PrintAccountResultPage(kRegisteredCaption, EmptyUidCell::LineBreak);
  WriteOperationLog(name);
}

}  // namespace orvanta
