// GET ADD: the registration form with its validation scripts.
#include <cstdio>

#include "cgi/cgi.h"
#include "page/page.h"
#include "page/scripts_texts.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

void PrintHomeAndShellRows() {
  std::fputs(kAddFormDirLabel, stdout);
  std::printf(
      "<TD><INPUT TYPE=\"TEXT\"   NAME=\"%s\" SIZE=\"30\"  MAXLENGTH=\"50\" "
      "VALUE=\"%s\"></TD></TR>\n",
      "DIR", Html(Setting("DEF_DIR")).c_str());

  std::fputs(kAddFormShellLabel, stdout);
  PrintSelectOpening("SHELL");
  // The first shell is preselected.
  PrintOption(Setting(kShellSettings[0]), true);
  for (size_t i = 1; i < std::size(kShellSettings); ++i) PrintOption(Setting(kShellSettings[i]), false);
  PrintSelectClosing();
}

void PrintExpiryRow() {
  std::printf(kAddFormExpireRowFormat, kExpireLabel, "EXPIRE");
}

void PrintUserAddForm() {
  const std::uint32_t group_threshold = IdThreshold("SYSTEMGID");
  const int password_max = PasswordMaxLength(RegistrationTakesLongPasswords());
  PrintPageHeader();
  PrintUserAddScripts(password_max);

  PrintFormOpening(true);
  PrintHiddenField("COMMAND", "WILLBEADD");
  PrintHiddenField("SYSTEM_UID", Setting("SYSTEMUID"));
  std::fputs("<TABLE>\n", stdout);
  std::fputs(kAddFormCaption, stdout);

  std::fputs(kAddFormNameLabel, stdout);
  std::printf("<TD><INPUT TYPE=\"TEXT\"   NAME=\"%s\" SIZE=\"30\" MAXLENGTH=\"8\" ></TD></TR>\n",
              "NAME");
  std::fputs(kAddFormPassLabel, stdout);
  std::printf("<TD><INPUT TYPE=\"TEXT\"   NAME=\"%s\" SIZE=\"30\" MAXLENGTH=\"%s\">", "PASS",
              password_max == kLongPasswordMax ? "64" : "10");
  PrintGeneratePasswordBox(password_max);
  std::fputs("</TD></TR>\n", stdout);
  std::fputs(kAddFormUidLabel, stdout);
  std::printf("<TD><INPUT TYPE=\"TEXT\"   NAME=\"%s\"  SIZE=\"30\" MAXLENGTH=\"10\"></TD></TR>\n",
              "UID");

  std::fputs(kAddFormGidLabel, stdout);
  PrintSelectOpening("GID");
  const AccountGuard guard;
  for (const auto& [name, group] : AllGroups().by_name) {
    if (IsOfferedPrimaryGroup(group, group_threshold, guard)) PrintOption(name, false);
  }
  PrintSelectClosing();

  std::fputs(kAddFormGcosLabel, stdout);
  std::printf("<TD><INPUT TYPE=\"TEXT\"   NAME=\"%s\" SIZE=\"30\" MAXLENGTH=\"15\"></TD></TR>\n",
              "GCOS");
  PrintHomeAndShellRows();
  PrintExpiryRow();
  PrintKeysAddRow();
  PrintWeakPasswordRow();
  PrintFirstLoginRow();

  PrintButtonRow(2, kAddFormButton, false);
  std::fputs("</TABLE>\n", stdout);
  std::fputs("</FORM>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
