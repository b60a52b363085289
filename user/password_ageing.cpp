// Password ageing and expiry: POST WILLBEAGED, the form of the account
// chosen in the AGE list with its current values and a check box in front
// of each; POST TOBEAGED, which applies the ticked ones in the store of
// this run.
#include <cstdio>

#include "cgi/cgi.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "page/scripts_texts.h"
#include "user/age_texts.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

// The day counts, in the form's order: the box, the field, the label the
// form and the checks share, and where the value goes.
struct AgeingField {
  const char* box;
  const char* field;
  const char* label;
  long PasswordAgeing::*value;
  std::optional<long> AgeingChanges::*change;
};
constexpr AgeingField kAgeingFields[] = {
    {"CHKMAX", "MAXDAYS", kMaxDaysLabel, &PasswordAgeing::max_days, &AgeingChanges::max_days},
    {"CHKMIN", "MINDAYS", kMinDaysLabel, &PasswordAgeing::min_days, &AgeingChanges::min_days},
    {"CHKWARN", "WARNDAYS", kWarnDaysLabel, &PasswordAgeing::warn_days, &AgeingChanges::warn_days},
    {"CHKINACT", "INACTDAYS", kInactDaysLabel, &PasswordAgeing::inactive_days,
     &AgeingChanges::inactive_days},
};
constexpr char kExpireBox[] = "CHKEXPIRE";
constexpr char kExpireField[] = "EXPIRE";
constexpr char kForceBox[] = "FORCE";
constexpr char kChecked[] = " CHECKED";

// The account the request names, when it may be changed by this operator.
const UserEntry& ChosenUser(const FoundUsers& found) {
  const std::string& name = Param("NAME");
  if (!OwnsAccountNamed(found, name)) RefuseByScope(name);
  RefuseUntrustedAccount(found, name);
  const UserEntry* user = ChangeableUser(found, name);
  if (user == nullptr) throw ErrorCode{kErrorNoUserSelected};
  return *user;
}

void PrintTextRow(const char* label, const std::string& value) {
  std::printf("<TR><TD>%s</TD>\n<TD>%s</TD></TR>\n\n", label,
              value.empty() ? "<BR>" : Html(value).c_str());
}

// Day 0 is no date: it asks for a new password at the next login.
std::string LastChangeText(long last_change) {
  return last_change == 0 ? kAgeForcedNote : DateOfDays(last_change);
}

void RefuseIf(const std::string& problem) {
  if (!problem.empty()) ThrowMessage(problem);
}

// The ticked values, checked as the form's script checks them.
AgeingChanges RequestedAgeing() {
  AgeingChanges changes;
  bool ticked = false;
  for (const AgeingField& field : kAgeingFields) {
    if (!HasParam(field.box)) continue;
    RefuseIf(DaysProblem(Param(field.field), field.label));
    changes.*field.change = ParseDays(Param(field.field));
    ticked = true;
  }
  if (HasParam(kExpireBox)) {
    const std::string& date = Param(kExpireField);
    RefuseIf(ExpiryDateProblem(date));
    changes.expire_days = date.empty() ? -1 : DaysOfDate(date).value_or(-1);
    ticked = true;
  }
  changes.force_change = HasParam(kForceBox);
  if (!ticked && !changes.force_change) ThrowMessage(kNothingChecked);
  return changes;
}

// The values as the store holds them after the change.
void PrintAgeingResult(const UserEntry& user) {
  const std::optional<PasswordAgeing> ageing = Accounts().Ageing(user);
  PrintPageHeader();
  std::fputs(kAgedCaption, stdout);
  PrintTextRow(kAgeNameLabel, user.name);
  if (ageing) {
    PrintTextRow(kAgeLastChangeLabel, LastChangeText(ageing->last_change));
    for (const AgeingField& field : kAgeingFields) {
      PrintTextRow(field.label, std::to_string((*ageing).*field.value));
    }
    PrintTextRow(kExpireLabel, DateOfDays(ageing->expire_days));
  }
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace

void PrintUserAgeForm() {
  const FoundUsers found = FindUsers({Param("NAME")});
  const UserEntry& user = ChosenUser(found);
  const std::optional<PasswordAgeing> ageing = Accounts().Ageing(user);
  if (!ageing) throw ErrorCode{kErrorNoUserSelected};
  PrintPageHeader();
  PrintUserAgeScripts();
  PrintFormOpening(true);
  PrintHiddenField("COMMAND", "TOBEAGED");
  std::fputs("<TABLE>\n", stdout);
  std::fputs(kAgeFormCaption, stdout);
  const std::string shown = Html(user.name);
  std::fputs(kModFormNameLabel, stdout);
  std::printf(
      "<TH><INPUT TYPE=\"HIDDEN\" NAME=\"%s\" VALUE=\"%s\" ><FONT SIZE=\"+1\">%s</FONT></TH>"
      "</TR>\n\n",
      "NAME", shown.c_str(), shown.c_str());
  PrintTextRow(kAgeLastChangeLabel, LastChangeText(ageing->last_change));
  for (const AgeingField& field : kAgeingFields) {
    std::printf(kAgeBoxLabelFormat, field.box, field.label);
    std::printf(kAgeDaysFieldFormat, field.field, (*ageing).*field.value);
  }
  std::printf(kAgeBoxLabelFormat, kExpireBox, kExpireLabel);
  std::printf(kAgeExpireFieldFormat, kExpireField, DateOfDays(ageing->expire_days).c_str());
  std::printf(kAgeForceRowFormat, kForceBox, ageing->last_change == 0 ? kChecked : "");
  PrintButtonRow(2, kAgeFormButton, true);
  std::fputs("</TABLE>\n", stdout);
  std::fputs("</FORM>\n", stdout);
  PrintPageFooter();
}

void ChangeUserAgeing() {
  const FoundUsers found = FindUsers({Param("NAME")});
  const UserEntry& user = ChosenUser(found);
  const AgeingChanges changes = RequestedAgeing();
  switch (Accounts().ChangeAgeing(user, changes)) {
    case StoreResult::Done:
      break;
    case StoreResult::Refused:
      throw ErrorCode{kErrorNoUserSelected};
    default:
      ThrowMessage(kAgeFailed);
  }
  PrintAgeingResult(user);
  WriteOperationLog(user.name);
}

}  // namespace orvanta
