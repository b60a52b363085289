// POST WILLBEADD: creates the account in the store of this run.
#include "cgi/cgi.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/account_result.h"
#include "user/keys_texts.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

void RefuseIf(const std::string& problem) {
  if (!problem.empty()) ThrowMessage(problem);
}

// Below the result table: the password's notes, and a change at the first
// login that was asked for and could not be set.
std::string ResultNotes(const PasswordOutcome& password, const NewAccount& account,
                        bool first_login_set) {
  std::string notes = PasswordNotes(password, account.password, first_login_set);
  if (account.change_at_first_login && !first_login_set) {
    notes += FormatText(kParagraphFormat, kFirstLoginNotSet);
  }
  return notes;
}

}  // namespace

NewAccount RequestedAccount() {
  return {Param("NAME"),  Param("PASS"),   Param("UID"),    Param("GID"),          Param("GCOS"),
          Param("DIR"),   Param("SHELL"),  Param("EXPIRE"), HasParam("FORCE")};
}

bool CannotHashPassword(const NewAccount& account) {
  return !account.password.empty() && ConfiguredCryptMethod() == CryptMethod::Unknown;
}

bool LacksUserAddTool() { return Accounts().LacksTool("USERADD"); }

StoreResult AddAccount(const NewAccount& account) {
  // A name the tool would read as an option ("--help" exits 0) would be
  // reported as an account that was never made.
  if (account.name.empty() || account.name.front() == '-') return StoreResult::Failed;
  return Accounts().AddUser(account);
}

void RegisterUser() {
  if (LacksUserAddTool()) throw ErrorCode{kErrorUserAddFailed};
  NewAccount account = RequestedAccount();
  FillFromScope(account, {});
  if (!ScopeAllowsNewAccount(account)) RefuseByScope(account.name);
  // The result page shows what the scope filled in.
  SetParam("UID", account.uid);
  SetParam("GID", account.group);
  const bool allow_weak = RequestedWeakOverride(account.name);
  PasswordOutcome password;
  if (RequestedGeneration(PasswordMaxLength(RegistrationTakesLongPasswords()))) {
    RefuseIf(GenerateAccountPassword(account.name, account.gcos, account.password, password));
  }
  if (CannotHashPassword(account)) throw ErrorCode{kErrorUserAddFailed};
  std::set<std::uint32_t> uids;
  if (const std::optional<std::uint32_t> uid = ParseId(account.uid)) uids.insert(*uid);
  const FoundUsers found = FindUsers({account.name}, uids, {NewHomeOf(account)});
  RefuseIf(UserAddFieldsProblem(account, found));
  RefuseIf(UserAddTakenProblem(account, found));
  if (!password.generated) {
    RefuseIf(PasswordQualityProblem(account.password, account.name, account.gcos, allow_weak,
                                    password));
  }
  const std::optional<std::string> keys = RequestedKeyFile(false);
  account.dir = DirWithSlash(account.dir);
  SetParam("DIR", account.dir);
  bool first_login = account.change_at_first_login;
  switch (AddAccount(account)) {
    case StoreResult::Done:
      break;
    case StoreResult::DoneWithoutForcedChange:
      // The result page still shows a generated password, with the failure.
      first_login = false;
      break;
    case StoreResult::DoneWithoutPassword:
      WriteOperationLog(account.name);
      ThrowMessage(kPasswordNotSet);
    case StoreResult::NameTaken:
      ThrowMessage(NameTakenProblem(account.name));
    case StoreResult::FailedGroupKept:
      WriteOperationLog("GADD", account.name);
      ThrowMessage(GroupKeptProblem(account.name));
    default:
      throw ErrorCode{kErrorUserAddFailed};
  }
  if (keys) {
    const KeyFileResult written = WriteRequestedKeys(account.name, *keys, false);
    if (written != KeyFileResult::Done) {
      WriteOperationLog(account.name);
      RecordWeakPassword(password, account.name);
      ThrowMessage(FormatText(kKeysAddFailedFormat, KeyFileProblem(written)));
    }
  }
  PrintAccountResultPage(kRegisteredCaption, EmptyUidCell::LineBreak,
                         ResultNotes(password, account, first_login));
  WriteOperationLog(account.name);
  RecordWeakPassword(password, account.name);
  if (keys) WriteOperationLog("KEY", account.name);
}

}  // namespace orvanta
