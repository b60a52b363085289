// The JavaScript checks the input forms carry. Each emitter writes one whole
// function as fixed text; the page puts them between PrintScriptOpen and
// PrintScriptClose. The messages come from scripts.texts, shared with the
// server's repetition of the same checks (field_rules.cpp).
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>

#include "page/page.h"
#include "page/scripts_texts.h"

namespace orvanta {

namespace {

// A slash, an asterisk, 75 hyphens, an asterisk, a slash.
constexpr char kSeparator[] =
    "/*---------------------------------------------------------------------------*/";

void PutLines(std::initializer_list<std::string_view> lines) {
  for (std::string_view line : lines) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  }
}

// alert("text"); indented to the given block depth.
std::string Alert(int depth, std::string_view text) {
  return std::string(static_cast<size_t>(depth) * 4, ' ') + "alert(\"" + std::string(text) +
         "\");";
}

// An alert naming the refused character of a name.
std::string CharAlert(std::string_view before) {
  return "            alert(\"" + std::string(before) + "\" + name.charAt(i) + \"" +
         kNameCharAfter + "\");";
}

// Two lines in one alert: "\n" is JavaScript's own escape of a line feed.
std::string TwoLineAlert(std::string_view first, std::string_view second) {
  return Alert(2, std::string(first) + "\\n" + std::string(second));
}

std::string SystemIdAlert(std::string_view label) {
  return TwoLineAlert(std::string(label) + "\" + k + \"" + kSystemIdMiddle + "\" + j + \"" +
                          kSystemIdEnd,
                      kCannotRegister);
}

// The separator, the function line and the title; field checks also say what
// they return. Ends with the opening brace.
void PutHead(const char* function, const char* title, bool field_check) {
  PutLines({kSeparator});
  std::printf("function %s()\n", function);
  PutLines({title});
  if (field_check) PutLines({kFieldCheckReturnsOk, kFieldCheckReturnsNg});
  PutLines({"{"});
}

// ---- User and group names ----------------------------------------------------

struct NameCheck {
  const char* function;
  const char* title;
  const char* use_char_note;  // nullptr: the group check goes without it
  const char* read_field;
  const char* empty_text;
  const char* digit_text;
  const char* length_text;
  const char* char_text_before;
};

// isNaN of the first character is false for a digit, and also for a blank
// (it converts to 0), so a leading blank is reported as a leading digit.
void PutNameCheck(const NameCheck& check) {
  PutHead(check.function, check.title, true);
  PutLines({"    var UseChar = \"abcdefghijklmnopqrstuvwxyz0123456789_-+.\";"});
  // The note is a whole comment line of its own, flush left like the
  // function's other comment lines.
  if (check.use_char_note != nullptr) PutLines({check.use_char_note});
  PutLines({
      check.read_field,
      "    var i;",
      "",
      "    if (name == \"\") {",
      Alert(2, check.empty_text),
      "        return false;",
      "    }",
      "    if (!isNaN(name.charAt(0))) {",
      Alert(2, check.digit_text),
      "        return false;",
      "    }",
      "    if (name.length < 3 || name.length > 8) {",
      Alert(2, check.length_text),
      "        return false;",
      "    }",
      "    for (i = 0; i < name.length; i++) {",
      "        if (UseChar.indexOf(name.charAt(i)) == -1) {",
      CharAlert(check.char_text_before),
      "            return false;",
      "        }",
      "    }",
      "    return true;",
      "}",
  });
}

// ---- User and group ids ------------------------------------------------------

struct IdCheck {
  const char* function;
  const char* title;
  const char* read_field;
  const char* read_system_id;
  const char* not_number_text;
  const char* label;
};

// An empty system id makes j NaN, and no comparison with NaN is true, so
// every numeric id then passes.
void PutIdCheck(const IdCheck& check) {
  PutHead(check.function, check.title, true);
  PutLines({
      check.read_field,
      "    var j;",
      "    var k;",
      "",
      "    if (id == \"\") {",
      "        return true;",
      "    }",
      check.read_system_id,
      "    if (isNaN(id)) {",
      Alert(2, check.not_number_text),
      "        return false;",
      "    }",
      "    k = parseInt(id);",
      "    if (k <= j) {",
      SystemIdAlert(check.label),
      "        return false;",
      "    }",
      "    return true;",
      "}",
  });
}

// ---- Comment and home directory ----------------------------------------------

struct TextCheck {
  const char* function;
  const char* title;
  const char* read_field;
  const char* range_test;  // the comment allows blanks, the directory not
  const char* char_text;
  const char* colon_text;
};

// ':' separates the fields of the account database, so neither may hold it.
void PutTextCheck(const TextCheck& check) {
  PutHead(check.function, check.title, true);
  PutLines({
      check.read_field,
      "    var c;",
      "    var i;",
      "",
      "    if (str == \"\") {",
      "        return true;",
      "    }",
      "    for (i = 0; i < str.length; i++) {",
      "        c = str.charAt(i);",
      check.range_test,
      Alert(3, check.char_text),
      "            return false;",
      "        } else if (c == \":\") {",
      Alert(3, check.colon_text),
      "            return false;",
      "        }",
      "    }",
      "    return true;",
      "}",
  });
}

// ---- Password ageing -----------------------------------------------------------

struct DaysCheck {
  const char* function;
  const char* box;
  const char* field;
  const char* label;
};

// The ageing form's day counts, in its order, with their check boxes.
constexpr DaysCheck kDaysChecks[] = {
    {"ChkMaxDays", "CHKMAX", "MAXDAYS", kMaxDaysLabel},
    {"ChkMinDays", "CHKMIN", "MINDAYS", kMinDaysLabel},
    {"ChkWarnDays", "CHKWARN", "WARNDAYS", kWarnDaysLabel},
    {"ChkInactDays", "CHKINACT", "INACTDAYS", kInactDaysLabel},
};

void PutDaysCheck(const DaysCheck& check) {
  PutHead(check.function, kChkDaysTitle, true);
  PutLines({
      "    var str = document.form." + std::string(check.field) + ".value;",
      "",
      "    if (str != \"-1\" && !/^[0-9]{1,5}$/.test(str)) {",
      Alert(2, std::string(check.label) + kDaysRangeAfter),
      "        return false;",
      "    }",
      "    return true;",
      "}",
  });
}

// A ticked box's check, which stops the collecting function when it fails.
void PutTickedCheck(const char* box, const char* check) {
  std::printf("    if (document.form.%s.checked) {\n", box);
  if (check != nullptr) {
    std::printf("        if (!%s()) {\n", check);
    PutLines({"            return;", "        }"});
  }
  PutLines({"        flag = true;", "    }"});
}

// ---- Collecting functions ------------------------------------------------------

// Runs the checks in order, stops at the first that fails, else submits.
void PutCollect(const char* function, std::initializer_list<const char*> checks) {
  PutHead(function, kCollectTitle, false);
  for (const char* check : checks) {
    std::printf("    if (!%s()) {\n", check);
    PutLines({"        return;", "    }"});
  }
  PutLines({"    document.form.submit();", "}", kSeparator});
}

}  // namespace

void PrintScriptOpen() { std::fputs("<SCRIPT language=\"JavaScript\">\n<!--\n", stdout); }

void PrintScriptClose() { std::fputs("//-->\n</SCRIPT>\n\n", stdout); }

void PrintCheckName() {
  PutNameCheck({
      .function = "CheckName",
      .title = kCheckNameTitle,
      .use_char_note = kUseCharNote,
      .read_field = "    var name = document.form.NAME.value;",
      .empty_text = kUserNameEmpty,
      .digit_text = kUserNameDigit,
      .length_text = kUserNameLength,
      .char_text_before = kUserNameCharBefore,
  });
}

void PrintCheckGName() {
  PutNameCheck({
      .function = "CheckGName",
      .title = kCheckGNameTitle,
      .use_char_note = nullptr,
      .read_field = "    var name = document.form.GNAME.value;",
      .empty_text = kGroupNameEmpty,
      .digit_text = kGroupNameDigit,
      .length_text = kGroupNameLength,
      .char_text_before = kGroupNameCharBefore,
  });
}

// One pass: each character is tested against the range "!".."}" before it
// is counted, so a refused character wins over a too simple password. A
// password to be generated (the box 自動生成) is not typed.
void PrintCheckPass(int max_length) {
  const std::string length_test =
      "    if (pass.length < 6 || pass.length > " + std::to_string(max_length) + ") {";
  PutHead("CheckPass", kCheckPassTitle, true);
  PutLines({
      "    var pass = document.form.PASS.value;",
      "    var lower = 0;",
      "    var upper = 0;",
      "    var num = 0;",
      "    var c;",
      "    var i;",
      "",
      "    if (\"GENPASS\" in document.form && document.form.GENPASS.checked) {",
      "        return true;",
      "    }",
      "    if (pass == \"\") {",
      Alert(2, kPassEmpty),
      "        return false;",
      "    }",
      length_test,
      Alert(2, max_length == kLongPasswordMax ? kPassLengthLong : kPassLengthShort),
      "        return false;",
      "    }",
      "    for (i = 0; i < pass.length; i++) {",
      "        c = pass.charAt(i);",
      "        if (c < \"!\" || c > \"}\") {",
      Alert(3, kPassChar),
      "            return false;",
      "        }",
      "        if (c >= \"a\" && c <= \"z\") {",
      "            lower++;",
      "        } else if (c >= \"A\" && c <= \"Z\") {",
      "            upper++;",
      "        } else if (c >= \"0\" && c <= \"9\") {",
      "            num++;",
      "        }",
      "    }",
      "    if (lower == pass.length || upper == pass.length || num == pass.length) {",
      TwoLineAlert(kPassSimple1, kPassSimple2),
      "        return false;",
      "    }",
      "    return true;",
      "}",
  });
}

void PrintCheckPass() { PrintCheckPass(kShortPasswordMax); }

void PrintChkUid() {
  PutIdCheck({
      .function = "ChkUid",
      .title = kChkUidTitle,
      .read_field = "    var id = document.form.UID.value;",
      .read_system_id = "    j = parseInt(document.form.SYSTEM_UID.value);",
      .not_number_text = kUidNotNumber,
      .label = kUidLabel,
  });
}

void PrintChkGid() {
  PutIdCheck({
      .function = "ChkGid",
      .title = kChkGidTitle,
      .read_field = "    var id = document.form.GID.value;",
      .read_system_id = "    j = parseInt(document.form.SYSTEM_GID.value);",
      .not_number_text = kGidNotNumber,
      .label = kGidLabel,
  });
}

void PrintChkGcos() {
  PutTextCheck({
      .function = "ChkGcos",
      .title = kChkGcosTitle,
      .read_field = "    var str = document.form.GCOS.value;",
      .range_test = "        if (c < \" \" || c > \"}\") {",
      .char_text = kGcosChar,
      .colon_text = kGcosColon,
  });
}

void PrintChkDir() {
  PutTextCheck({
      .function = "ChkDir",
      .title = kChkDirTitle,
      .read_field = "    var str = document.form.DIR.value;",
      .range_test = "        if (c < \"!\" || c > \"}\") {",
      .char_text = kDirChar,
      .colon_text = kDirColon,
  });
}

void PrintChkAgeingDays() {
  for (const DaysCheck& check : kDaysChecks) PutDaysCheck(check);
}

// setUTCFullYear takes years below 100 as they are written (Date.UTC would
// add 1900); a date that is no real one comes back as another day.
void PrintChkExpire() {
  PutHead("ChkExpire", kChkExpireTitle, true);
  PutLines({
      "    var str = document.form.EXPIRE.value;",
      "    var m;",
      "    var d = new Date(0);",
      "",
      "    if (str == \"\") {",
      "        return true;",
      "    }",
      "    m = /^([0-9]{4})-([0-9]{2})-([0-9]{2})$/.exec(str);",
      "    if (m) {",
      "        d.setUTCFullYear(m[1], m[2] - 1, m[3]);",
      "    }",
      "    if (!m || d.getUTCFullYear() != m[1] || d.getUTCMonth() != m[2] - 1 ||",
      "        d.getUTCDate() != m[3]) {",
      Alert(2, kExpireNotDate),
      "        return false;",
      "    }",
      "    if (d.getTime() <= " + std::to_string(kLockedExpiryDays) + " * 86400000) {",
      Alert(2, kExpireTooEarly),
      "        return false;",
      "    }",
      "    return true;",
      "}",
  });
}

void PrintCheckAddData() {
  PutCollect("CheckAddData",
             {"CheckName", "CheckPass", "ChkUid", "ChkGcos", "ChkDir", "ChkExpire"});
}

// The change at next login has nothing to check; it only counts as a
// ticked item.
void PrintCheckAgeData() {
  PutHead("CheckAgeData", kCollectTitle, false);
  PutLines({"    var flag = false;", ""});
  for (const DaysCheck& check : kDaysChecks) PutTickedCheck(check.box, check.function);
  PutTickedCheck("CHKEXPIRE", "ChkExpire");
  PutTickedCheck("FORCE", nullptr);
  PutLines({
      "    if (!flag) {",
      Alert(2, kNothingChecked),
      "        return;",
      "    }",
      "    document.form.submit();",
      "}",
      kSeparator,
  });
}

void PrintCheckAddGData() { PutCollect("CheckAddGData", {"CheckGName", "ChkGid"}); }

// The group, shell and keys boxes have nothing to check here (the keys are
// checked on the server); they only count as a ticked item. The keys box is
// on the form only where the operator may change keys. Nothing ticked means
// there is nothing to change.
void PrintCheckModData() {
  PutHead("CheckModData", kCollectTitle, false);
  PutLines({
      "    var flag = false;",
      "",
      "    if (document.form.CHKPASS.checked) {",
      "        if (!CheckPass()) {",
      "            return;",
      "        }",
      "        flag = true;",
      "    }",
      "    if (document.form.CHKUID.checked) {",
      "        if (!ChkUid()) {",
      "            return;",
      "        }",
      "        flag = true;",
      "    }",
      "    if (document.form.CHKGID.checked) {",
      "        flag = true;",
      "    }",
      "    if (document.form.CHKGCOS.checked) {",
      "        if (!ChkGcos()) {",
      "            return;",
      "        }",
      "        flag = true;",
      "    }",
      "    if (document.form.CHKDIR.checked) {",
      "        if (!ChkDir()) {",
      "            return;",
      "        }",
      "        flag = true;",
      "    }",
      "    if (document.form.CHKSHELL.checked) {",
      "        flag = true;",
      "    }",
      "    if (\"CHKKEYS\" in document.form && document.form.CHKKEYS.checked) {",
      "        flag = true;",
      "    }",
      "    if (!flag) {",
      Alert(2, kNothingChecked),
      "        return;",
      "    }",
      "    document.form.submit();",
      "}",
      kSeparator,
  });
}

void PrintUserAddScripts(int password_max) {
  PrintScriptOpen();
  PrintCheckName();
  PrintCheckPass(password_max);
  PrintChkUid();
  PrintChkGcos();
  PrintChkDir();
  PrintChkExpire();
  PrintCheckAddData();
  PrintScriptClose();
}

void PrintUserModScripts(int password_max) {
  PrintScriptOpen();
  PrintCheckPass(password_max);
  PrintChkUid();
  PrintChkGcos();
  PrintChkDir();
  PrintCheckModData();
  PrintScriptClose();
}

void PrintGroupAddScripts() {
  PrintScriptOpen();
  PrintCheckGName();
  PrintChkGid();
  PrintCheckAddGData();
  PrintScriptClose();
}

void PrintUserAgeScripts() {
  PrintScriptOpen();
  PrintChkAgeingDays();
  PrintChkExpire();
  PrintCheckAgeData();
  PrintScriptClose();
}

}  // namespace orvanta
