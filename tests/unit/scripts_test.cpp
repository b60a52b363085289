// The validation scripts are written byte for byte as the forms expect them;
// the expected texts are kept in UTF-8 here and converted for the comparison.
#include <gtest/gtest.h>

#include <string>

#include "page/page.h"
#include "tests/support/euc.h"

namespace orvanta {
namespace {

using test::Euc;
using test::Utf8;

std::string Capture(void (*emit)()) {
  testing::internal::CaptureStdout();
  emit();
  return testing::internal::GetCapturedStdout();
}

const std::string kSeparatorLine = "/*" + std::string(75, '-') + "*/\n";

// Checked against raw bytes, not through iconv: "ユーザー名は3〜8文字に" as
// EUC-JP, with the wave dash as A1 C1.
TEST(ScriptBytesTest, JapaneseIsWrittenAsEucJp) {
  const std::string out = Capture(PrintCheckName);
  EXPECT_NE(out.find("alert(\"\xA5\xE6\xA1\xBC\xA5\xB6\xA1\xBC\xCC\xBE\xA4\xCF"
                     "3\xA1\xC1" "8\xCA\xB8\xBB\xFA\xA4\xCB"),
            std::string::npos)
      << Utf8(out);
}

TEST(ScriptBlockTest, OpenAndCloseLines) {
  EXPECT_EQ(Capture(PrintScriptOpen), "<SCRIPT language=\"JavaScript\">\n<!--\n");
  EXPECT_EQ(Capture(PrintScriptClose), "//-->\n</SCRIPT>\n\n");
}

struct EmitterCase {
  const char* name;
  void (*emit)();
  const char* utf8;  // the whole expected output, in UTF-8
  bool collects;     // collecting functions end with a second separator
};

const EmitterCase kEmitterCases[] = {
    {"CheckName", PrintCheckName, R"js(/*---------------------------------------------------------------------------*/
function CheckName()
//ユーザー名検査
//戻り値    true  : OK
//          false : NG
{
    var UseChar = "abcdefghijklmnopqrstuvwxyz0123456789_-+.";
//                     ユーザー名に使用できる文字
    var name = document.form.NAME.value;
    var i;

    if (name == "") {
        alert("ユーザー名が入力されていません。");
        return false;
    }
    if (!isNaN(name.charAt(0))) {
        alert("ユーザー名の先頭に数字が使われています。");
        return false;
    }
    if (name.length < 3 || name.length > 8) {
        alert("ユーザー名は3〜8文字にしてください");
        return false;
    }
    for (i = 0; i < name.length; i++) {
        if (UseChar.indexOf(name.charAt(i)) == -1) {
            alert("ユーザー名に使用できない文字(" + name.charAt(i) + ")が含まれています");
            return false;
        }
    }
    return true;
}
)js",
     false},
    {"CheckGName", PrintCheckGName, R"js(/*---------------------------------------------------------------------------*/
function CheckGName()
//グループ名検査
//戻り値    true  : OK
//          false : NG
{
    var UseChar = "abcdefghijklmnopqrstuvwxyz0123456789_-+.";
    var name = document.form.GNAME.value;
    var i;

    if (name == "") {
        alert("グループ名が入力されていません。");
        return false;
    }
    if (!isNaN(name.charAt(0))) {
        alert("グループ名の先頭に数字が使われています。");
        return false;
    }
    if (name.length < 3 || name.length > 8) {
        alert("グループ名は3〜8文字にしてください");
        return false;
    }
    for (i = 0; i < name.length; i++) {
        if (UseChar.indexOf(name.charAt(i)) == -1) {
            alert("グループ名に使用できない文字(" + name.charAt(i) + ")が含まれています");
            return false;
        }
    }
    return true;
}
)js",
     false},
    {"CheckPass", PrintCheckPass, R"js(/*---------------------------------------------------------------------------*/
function CheckPass()
//パスワード検査
//戻り値    true  : OK
//          false : NG
{
    var pass = document.form.PASS.value;
    var lower = 0;
    var upper = 0;
    var num = 0;
    var c;
    var i;

    if ("GENPASS" in document.form && document.form.GENPASS.checked) {
        return true;
    }
    if (pass == "") {
        alert("パスワードが入力されていません。");
        return false;
    }
    if (pass.length < 6 || pass.length > 8) {
        alert("パスワードは6〜8文字にしてください");
        return false;
    }
    for (i = 0; i < pass.length; i++) {
        c = pass.charAt(i);
        if (c < "!" || c > "}") {
            alert("パスワードに使用できない文字が含まれています");
            return false;
        }
        if (c >= "a" && c <= "z") {
            lower++;
        } else if (c >= "A" && c <= "Z") {
            upper++;
        } else if (c >= "0" && c <= "9") {
            num++;
        }
    }
    if (lower == pass.length || upper == pass.length || num == pass.length) {
        alert("パスワードが単純すぎます。\nアルファベットと数字等を混ぜてください。");
        return false;
    }
    return true;
}
)js",
     false},
    {"ChkUid", PrintChkUid, R"js(/*---------------------------------------------------------------------------*/
function ChkUid()
//ユーザーＩＤの検査
//戻り値    true  : OK
//          false : NG
{
    var id = document.form.UID.value;
    var j;
    var k;

    if (id == "") {
        return true;
    }
    j = parseInt(document.form.SYSTEM_UID.value);
    if (isNaN(id)) {
        alert("ユーザーＩＤに数字以外の文字が含まれています");
        return false;
    }
    k = parseInt(id);
    if (k <= j) {
        alert("ユーザーＩＤ(" + k + ")がシステムＩＤ(" + j + ")以下です。\n登録できません。");
        return false;
    }
    return true;
}
)js",
     false},
    {"ChkGid", PrintChkGid, R"js(/*---------------------------------------------------------------------------*/
function ChkGid()
//グループＩＤの検査
//戻り値    true  : OK
//          false : NG
{
    var id = document.form.GID.value;
    var j;
    var k;

    if (id == "") {
        return true;
    }
    j = parseInt(document.form.SYSTEM_GID.value);
    if (isNaN(id)) {
        alert("グループＩＤに数字以外の文字が含まれています");
        return false;
    }
    k = parseInt(id);
    if (k <= j) {
        alert("グループＩＤ(" + k + ")がシステムＩＤ(" + j + ")以下です。\n登録できません。");
        return false;
    }
    return true;
}
)js",
     false},
    {"ChkGcos", PrintChkGcos, R"js(/*---------------------------------------------------------------------------*/
function ChkGcos()
//gcos検査
//戻り値    true  : OK
//          false : NG
{
    var str = document.form.GCOS.value;
    var c;
    var i;

    if (str == "") {
        return true;
    }
    for (i = 0; i < str.length; i++) {
        c = str.charAt(i);
        if (c < " " || c > "}") {
            alert("コメントに使用できない文字が含まれています");
            return false;
        } else if (c == ":") {
            alert("コメントに不正な文字(:)が含まれています");
            return false;
        }
    }
    return true;
}
)js",
     false},
    {"ChkDir", PrintChkDir, R"js(/*---------------------------------------------------------------------------*/
function ChkDir()
//ホームディレクトリ検査
//戻り値    true  : OK
//          false : NG
{
    var str = document.form.DIR.value;
    var c;
    var i;

    if (str == "") {
        return true;
    }
    for (i = 0; i < str.length; i++) {
        c = str.charAt(i);
        if (c < "!" || c > "}") {
            alert("ホームディレクトリに使用できない文字が含まれています");
            return false;
        } else if (c == ":") {
            alert("ホームディレクトリに不正な文字(:)が含まれています");
            return false;
        }
    }
    return true;
}
)js",
     false},
    {"CheckAddData", PrintCheckAddData, R"js(/*---------------------------------------------------------------------------*/
function CheckAddData()
//入力データ検査
{
    if (!CheckName()) {
        return;
    }
    if (!CheckPass()) {
        return;
    }
    if (!ChkUid()) {
        return;
    }
    if (!ChkGcos()) {
        return;
    }
    if (!ChkDir()) {
        return;
    }
    if (!ChkExpire()) {
        return;
    }
    document.form.submit();
}
/*---------------------------------------------------------------------------*/
)js",
     true},
    {"CheckAddGData", PrintCheckAddGData, R"js(/*---------------------------------------------------------------------------*/
function CheckAddGData()
//入力データ検査
{
    if (!CheckGName()) {
        return;
    }
    if (!ChkGid()) {
        return;
    }
    document.form.submit();
}
/*---------------------------------------------------------------------------*/
)js",
     true},
    {"CheckModData", PrintCheckModData, R"js(/*---------------------------------------------------------------------------*/
function CheckModData()
//入力データ検査
{
    var flag = false;

    if (document.form.CHKPASS.checked) {
        if (!CheckPass()) {
            return;
        }
        flag = true;
    }
    if (document.form.CHKUID.checked) {
        if (!ChkUid()) {
            return;
        }
        flag = true;
    }
    if (document.form.CHKGID.checked) {
        flag = true;
    }
    if (document.form.CHKGCOS.checked) {
        if (!ChkGcos()) {
            return;
        }
        flag = true;
    }
    if (document.form.CHKDIR.checked) {
        if (!ChkDir()) {
            return;
        }
        flag = true;
    }
    if (document.form.CHKSHELL.checked) {
        flag = true;
    }
    if ("CHKKEYS" in document.form && document.form.CHKKEYS.checked) {
        flag = true;
    }
    if (!flag) {
        alert("チェックされた項目がありません");
        return;
    }
    document.form.submit();
}
/*---------------------------------------------------------------------------*/
)js",
     true},
};

class EmitterTest : public testing::TestWithParam<EmitterCase> {};

TEST_P(EmitterTest, WritesTheFunctionAsEucJpBytes) {
  const EmitterCase& c = GetParam();
  const std::string out = Capture(c.emit);
  EXPECT_EQ(out, Euc(c.utf8)) << "written:\n" << Utf8(out);
}

// Independent of the long texts above: the frame every function shares.
TEST_P(EmitterTest, FramesTheFunction) {
  const EmitterCase& c = GetParam();
  const std::string out = Capture(c.emit);
  const std::string head = kSeparatorLine + "function " + c.name + "()\n//";
  EXPECT_EQ(out.compare(0, head.size(), head), 0) << out.substr(0, head.size());
  const std::string tail = c.collects ? "\n}\n" + kSeparatorLine : std::string("\n}\n");
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  const bool has_result_note = out.find(Euc("\n//戻り値    true  : OK\n//          false : NG\n{\n")) !=
                               std::string::npos;
  EXPECT_EQ(has_result_note, !c.collects);
  // Indentation is blanks only, in steps of four.
  size_t line_start = 0;
  while (line_start < out.size()) {
    const size_t end = out.find('\n', line_start);
    const std::string line = out.substr(line_start, end - line_start);
    const size_t indent = line.find_first_not_of(' ');
    if (indent != std::string::npos) {
      EXPECT_EQ(indent % 4, 0u) << line;
    }
    EXPECT_EQ(line.find('\t'), std::string::npos) << line;
    line_start = end + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(AllScripts, EmitterTest, testing::ValuesIn(kEmitterCases),
                         [](const testing::TestParamInfo<EmitterCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
}  // namespace orvanta
