// The forms' SSH keys: the registration form's field, the modification
// form's current keys with their fingerprints and its field, and the key
// file the request asks for. A key change is a step of its own after the
// account's: the account stays changed when the keys cannot be written.
#include <algorithm>
#include <cstdio>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/keys_texts.h"
#include "user/user.h"

namespace orvanta {

namespace {

constexpr char kKeysField[] = "KEYS";
constexpr char kKeysBox[] = "CHKKEYS";
constexpr char kClearBox[] = "KEYSCLEAR";
constexpr char kDigestField[] = "KEYDIGEST";
constexpr char kTextAreaFormat[] =
    "<TD><TEXTAREA NAME=\"%s\" ROWS=\"4\" COLS=\"60\" WRAP=\"OFF\">%s</TEXTAREA>";

void PrintCurrentKeys(const std::string& content) {
  std::fputs(kCurrentKeysLabel, stdout);
  bool any = false;
  std::string_view rest = content;
  while (!rest.empty()) {
    const size_t end = std::min(rest.find('\n'), rest.size());
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    const size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string_view::npos || line[start] == '#') continue;
    const std::string fingerprint = KeyFingerprint(line);
    std::printf("<TT>%s</TT><BR>\n",
                fingerprint.empty() ? kUnusableKey : Html(fingerprint).c_str());
    any = true;
  }
  if (!any) std::fputs(kNoKeys, stdout);
  std::fputs("</TD></TR>\n", stdout);
}

}  // namespace

bool FormsOfferKeys() { return Accounts().KeepsKeys() && CurrentScope().MayDo(Action::Keys); }

const char* KeyFileProblem(KeyFileResult result) {
  switch (result) {
    case KeyFileResult::Done:
      return "";
    case KeyFileResult::NoHome:
      return kKeysNoHome;
    case KeyFileResult::NotOwned:
      return kKeysNotOwned;
    case KeyFileResult::Changed:
      return kKeysChanged;
    default:
      return kKeysFailed;
  }
}

void PrintKeysAddRow() {
  if (!FormsOfferKeys()) return;
  std::fputs(kAddFormKeysLabel, stdout);
  std::printf(kTextAreaFormat, kKeysField, "");
  std::fputs("</TD></TR>\n", stdout);
}

void PrintKeysModRows(const UserEntry& user) {
  if (!FormsOfferKeys() || user.name.empty()) return;
  const KeyFile file = Accounts().ReadKeys(user);
  if (file.result != KeyFileResult::Done) {
    std::printf("%s%s</TD></TR>\n", kCurrentKeysLabel, KeyFileProblem(file.result));
    return;
  }
  PrintCurrentKeys(file.content);
  std::printf(kModFormKeysLabel, kKeysBox);
  std::printf(kTextAreaFormat, kKeysField, Html(file.content).c_str());
  std::printf(kKeysClearFormat, kClearBox);
  std::printf("<INPUT TYPE=\"HIDDEN\" NAME=\"%s\" VALUE=\"%s\"></TD></TR>\n\n", kDigestField,
              KeyFileDigest(file.content).c_str());
}

std::optional<std::string> RequestedKeyFile(bool modification) {
  if (modification ? !HasParam(kKeysBox) : Param(kKeysField).empty()) return std::nullopt;
  if (!CurrentScope().MayDo(Action::Keys)) RefuseByScope(Param("NAME"));
  if (!Accounts().KeepsKeys()) ThrowMessage(kKeysFailed);
  if (modification && HasParam(kClearBox)) return "";
  const KeyCheck check = CheckAuthorizedKeys(Param(kKeysField));
  if (!check.problem.empty()) ThrowMessage(check.problem);
  if (check.keys.empty()) {
    if (modification) ThrowMessage(kKeysEmptyWithoutClear);
    return std::nullopt;
  }
  std::string content;
  for (const AuthorizedKey& key : check.keys) content += key.line + "\n";
  return content;
}

KeyFileResult WriteRequestedKeys(const std::string& name, const std::string& content,
                                 bool modification) {
  // Read again: the account's change may have given it another uid or home.
  const FoundUsers found = FindUsers({name});
  const UserEntry* user = found.Single(name);
  if (user == nullptr) return KeyFileResult::Failed;
  const std::string shown = modification ? Param(kDigestField) : KeyFileDigest("");
  return Accounts().WriteKeys(*user, content, shown);
}

}  // namespace orvanta
