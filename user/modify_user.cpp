// POST TOBEMOD: changes the ticked attributes and the password of one
// account in the store of this run.
#include <optional>
#include <set>

#include "cgi/cgi.h"
#include "oplog/oplog.h"
#include "user/account_result.h"
#include "page/page.h"
#include "user/keys_texts.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

// A ticked box's value; unticked ones stay unset. Only a ticked box's
// presence counts, whatever its value.
std::optional<std::string> Ticked(const char* box, std::string value) {
  if (!HasParam(box)) return std::nullopt;
  return value;
}

// The ticked attributes, and the password hashed before anything changes.
AccountChanges RequestedChanges(const std::string& name) {
  AccountChanges changes{std::nullopt,
                         Ticked("CHKUID", Param("UID")),
                         Ticked("CHKGID", Param("GID")),
                         Ticked("CHKGCOS", Param("GCOS")),
                         Ticked("CHKDIR", Param("DIR") + name),
                         Ticked("CHKSHELL", Param("SHELL"))};
  if (HasParam("CHKPASS")) {
    changes.password_hash = HashPassword(Param("PASS"));
    if (changes.password_hash->empty()) throw ErrorCode{kErrorUserModFailed};
  }
  return changes;
}

constexpr const char* kAttributeBoxes[] = {"CHKPASS", "CHKUID",  "CHKGID",
                                           "CHKGCOS", "CHKDIR", "CHKSHELL"};

bool AttributesTicked() {
  for (const char* box : kAttributeBoxes) {
    if (HasParam(box)) return true;
  }
  return false;
}

// The ticked attributes and the password, in the store.
void ChangeAttributes(const UserEntry& user, const std::string& name) {
  switch (Accounts().ModifyUser(user, RequestedChanges(name))) {
    case StoreResult::Done:
      break;
    case StoreResult::DoneWithoutPassword:
      // The attributes were changed: that change is recorded.
      WriteOperationLog(name);
      throw ErrorCode{kErrorUserModFailed};
    case StoreResult::Refused:
      throw ErrorCode{kErrorNoUserSelected};
    default:
      throw ErrorCode{kErrorUserModFailed};
  }
}

// The comment the password is checked against: the new one when ticked.
std::string CommentAfterChange(const UserEntry& user) {
  return HasParam("CHKGCOS") ? Param("GCOS") : user.gecos;
}

// A ticked password: generated into PASS (GENPASS), or the typed one
// through the quality check (after the field rules, which need a typed one).
PasswordOutcome GeneratedPassword(const UserEntry& user) {
  PasswordOutcome outcome;
  if (!HasParam("CHKPASS") || !RequestedGeneration(PasswordMaxLength(true))) return outcome;
  std::string password;
  const std::string problem =
      GenerateAccountPassword(user.name, CommentAfterChange(user), password, outcome);
  if (!problem.empty()) ThrowMessage(problem);
  SetParam("PASS", std::move(password));
  return outcome;
}

void CheckTypedPassword(const UserEntry& user, PasswordOutcome& outcome) {
  if (!HasParam("CHKPASS") || outcome.generated) return;
  const bool allow_weak = RequestedWeakOverride(user.name);
  const std::string problem = PasswordQualityProblem(Param("PASS"), user.name,
                                                     CommentAfterChange(user), allow_weak, outcome);
  if (!problem.empty()) ThrowMessage(problem);
}

}  // namespace

void ModifyUser() {
  // Without a configured tool the line would start with the request's values.
  if (Accounts().LacksTool("USERMOD")) throw ErrorCode{kErrorUserModFailed};
  // The selection list offers only accounts above SYSTEMUID; a hand-made
  // request must not reach root's account either.
  const std::string name = Param("NAME");
  // The homes near a new one only when the home is to change.
  std::set<std::string, std::less<>> homes;
  if (HasParam("CHKDIR")) homes.insert(Param("DIR") + name);
  const FoundUsers found = FindUsers({name}, {}, homes);
  if (!OwnsAccountNamed(found, name) || !ScopeAllowsChanges()) RefuseByScope(name);
  RefuseUntrustedAccount(found, name);
  const UserEntry* user = ChangeableUser(found, name);
  if (user == nullptr) throw ErrorCode{kErrorNoUserSelected};
  if (HasParam("CHKPASS") && ConfiguredCryptMethod() == CryptMethod::Unknown) {
    throw ErrorCode{kErrorUserModFailed};
  }
  PasswordOutcome password = GeneratedPassword(*user);
  CheckUserModFields(*user, found);
  CheckTypedPassword(*user, password);
  const std::optional<std::string> keys = RequestedKeyFile(true);
  // A change of the keys alone runs no account tool and records no MOD.
  const bool attributes = AttributesTicked() || !keys;
  if (attributes) ChangeAttributes(*user, name);
  if (keys) {
    const KeyFileResult written = WriteRequestedKeys(name, *keys, true);
    if (written != KeyFileResult::Done) {
      if (attributes) WriteOperationLog(name);
      RecordWeakPassword(password, name);
      ThrowMessage(FormatText(attributes ? kKeysModFailedFormat : kKeysOnlyFailedFormat,
                              KeyFileProblem(written)));
    }
  }
  PrintAccountResultPage(kModifiedCaption, EmptyUidCell::EmptyText,
                         PasswordNotes(password, Param("PASS"), false));
  if (attributes) WriteOperationLog(name);
  RecordWeakPassword(password, name);
  if (keys) WriteOperationLog("KEY", name);
}

}  // namespace orvanta
