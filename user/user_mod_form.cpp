// POST WILLBEMOD: the modification form of the account chosen in the
// selection list, with a check box in front of each attribute.
#include <cstdio>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

void PrintUserModForm() {
  const std::uint32_t group_threshold = IdThreshold("SYSTEMGID");
  const std::string name = Param("NAME");
  if (name.empty()) throw ErrorCode{kErrorNoUserSelected};
  // System accounts are never offered for change; a hand-made request for
  // one is answered as if nothing had been chosen.
  const FoundUsers found = FindUsers({name});
  if (!OwnsAccountNamed(found, name)) RefuseByScope(name);
  RefuseUntrustedAccount(found, name);
  if (found.Exists(name) && ChangeableUser(found, name) == nullptr) {
    throw ErrorCode{kErrorNoUserSelected};
  }
  const UserEntry user = found.Exists(name) ? *found.Single(name) : UserEntry{};
  const GroupTables& groups = AllGroups();

  const int password_max = PasswordMaxLength(true);
  PrintPageHeader();
  PrintUserModScripts(password_max);

  PrintFormOpening(true);
  PrintHiddenField("COMMAND", "TOBEMOD");
  PrintHiddenField("SYSTEM_UID", Setting("SYSTEMUID"));
  std::fputs("<TABLE>\n", stdout);
  std::fputs(kModFormCaption, stdout);

  const std::string shown = Html(name);
  std::fputs(kModFormNameLabel, stdout);
  std::printf(
      "<TH><INPUT TYPE=\"HIDDEN\" NAME=\"%s\" VALUE=\"%s\" ><FONT SIZE=\"+1\">%s</FONT></TH>"
      "</TR>\n\n",
      "NAME", shown.c_str(), shown.c_str());

  std::printf(kModFormPassLabel, "CHKPASS");
  std::printf("<TD><INPUT TYPE=\"TEXT\" NAME=\"%s\" SIZE=\"30\" MAXLENGTH=\"%s\">", "PASS",
              password_max == kLongPasswordMax ? "64" : "15");
  PrintGeneratePasswordBox(password_max);
  std::fputs("</TD></TR>\n\n", stdout);
  PrintWeakPasswordRow();

  std::printf(kModFormUidLabel, "CHKUID");
  std::printf(
      "<TD><INPUT TYPE=\"TEXT\" NAME=\"%s\" SIZE=\"30\" MAXLENGTH=\"10\" VALUE=\"%u\"></TD>"
      "</TR>\n\n",
      "UID", user.uid);

  std::printf(kModFormGidLabel, "CHKGID");
  PrintSelectOpening("GID");
  PrintOption(std::string(groups.NameOf(user.gid)), true);
  const AccountGuard guard;
  for (const auto& [group_name, group] : groups.by_name) {
    if (IsOfferedPrimaryGroup(group, group_threshold, guard)) PrintOption(group_name, false);
  }
  PrintSelectClosing();

  std::printf(kModFormGcosLabel, "CHKGCOS");
  std::printf(
      "<TD><INPUT TYPE=\"TEXT\" NAME=\"%s\" SIZE=\"30\" MAXLENGTH=\"20\" VALUE=\"%s\"></TD>"
      "</TR>\n\n",
      "GCOS", Html(user.gecos).c_str());
  std::printf(kModFormDirLabel, "CHKDIR");
  std::printf(
      "<TD><INPUT TYPE=\"TEXT\" NAME=\"%s\" SIZE=\"30\" MAXLENGTH=\"30\" VALUE=\"%s\"></TD>"
      "</TR>\n\n",
      "DIR", Html(user.dir).c_str());

  std::printf(kModFormShellLabel, "CHKSHELL");
  PrintSelectOpening("SHELL");
  PrintOption(user.shell, true);
  for (const SettingName key : kShellSettings) PrintOption(Setting(key), false);
  PrintSelectClosing();
  PrintKeysModRows(user);

  PrintButtonRow(2, kModFormButton, true);
  std::fputs("</TABLE>\n", stdout);
  std::fputs("</FORM>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
