// The entry forms as the browser receives them.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

class FormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.SetAccounts(
        "root:x:0:0:root:/root:/bin/bash\n"
        "taro:x:1000:100:Taro:/home/taro:/bin/bash\n",
        "root:x:0:\nadm:x:4:\nsys99:x:99:\nusers:x:100:\nbeta:x:500:\nalpha:x:1000:\n");
    box_.SetConfig(
        "SYSTEMUID=499\nSYSTEMGID=99\nDEF_DIR=/home\nSHELL1=/bin/bash\nSHELL2=/bin/sh\n");
  }

  // The page from the form opening to the end; the scripts before it are
  // checked byte for byte by their own tests.
  static std::string FromForm(const std::string& page) {
    const size_t at = page.find("<FORM ");
    return at == std::string::npos ? page : Utf8(page.substr(at));
  }

  CgiSandbox box_;
};

TEST_F(FormsTest, RegistrationForm) {
  const std::string page = box_.Run(Get("COMMAND=ADD")).out;
  EXPECT_EQ(page.rfind(PageHeader() + "<SCRIPT language=\"JavaScript\">\n<!--\n", 0), 0u);
  size_t last = 0;
  for (const char* function : {"CheckName()", "CheckPass()", "ChkUid()", "ChkGcos()", "ChkDir()",
                               "ChkExpire()", "CheckAddData()"}) {
    const size_t at = page.find(std::string("function ") + function);
    ASSERT_NE(at, std::string::npos) << function;
    EXPECT_GT(at, last) << function;
    last = at;
  }
  EXPECT_NE(page.find("//-->\n</SCRIPT>\n\n<FORM "), std::string::npos);
  EXPECT_EQ(FromForm(page),
            "<FORM ACTION=\"./orvanta.cgi\" METHOD=\"POST\" NAME=\"form\">\n"
            "<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"WILLBEADD\">\n"
            "<INPUT TYPE=\"HIDDEN\" NAME=\"SYSTEM_UID\" VALUE=\"499\">\n"
            "<TABLE>\n<CAPTION><FONT SIZE=\"+2\">ユーザー登録</CAPTION>\n"
            "<TR><TD>ユーザー</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\"   NAME=\"NAME\" SIZE=\"30\" MAXLENGTH=\"8\" ></TD></TR>\n"
            "<TR><TD>パスワード</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\"   NAME=\"PASS\" SIZE=\"30\" MAXLENGTH=\"10\"></TD></TR>\n"
            "<TR><TD>ユーザーＩＤ</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\"   NAME=\"UID\"  SIZE=\"30\" MAXLENGTH=\"10\"></TD></TR>\n"
            "<TR><TD>グループＩＤ</TD>\n"
            "<TD><SELECT              NAME=\"GID\" SIZE=\"1\">\n"
            "      <OPTION VALUE=\"alpha\" >alpha\n"
            "      <OPTION VALUE=\"beta\" >beta\n"
            "      <OPTION VALUE=\"users\" >users\n"
            "    </SELECT></TD></TR>\n"
            "<TR><TD>コメント</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\"   NAME=\"GCOS\" SIZE=\"30\" MAXLENGTH=\"15\"></TD></TR>\n"
            "<TR><TD>ホームディレクトリ</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\"   NAME=\"DIR\" SIZE=\"30\"  MAXLENGTH=\"50\" VALUE=\"/home\">"
            "</TD></TR>\n"
            "<TR><TD>ログインシェル</TD>\n"
            "<TD><SELECT              NAME=\"SHELL\" SIZE=\"1\">\n"
            "      <OPTION VALUE=\"/bin/bash\" SELECTED>/bin/bash\n"
            "      <OPTION VALUE=\"/bin/sh\" >/bin/sh\n"
            "      <OPTION VALUE=\"\" >\n"
            "      <OPTION VALUE=\"\" >\n"
            "      <OPTION VALUE=\"\" >\n"
            "    </SELECT></TD></TR>\n"
            "<TR><TD>アカウントの有効期限</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\"   NAME=\"EXPIRE\" SIZE=\"30\" MAXLENGTH=\"10\">"
            "（YYYY-MM-DD）</TD></TR>\n"
            "<TR><TD>SSH公開鍵<BR>（1行に1つ）</TD>\n"
            "<TD><TEXTAREA NAME=\"KEYS\" ROWS=\"4\" COLS=\"60\" WRAP=\"OFF\"></TEXTAREA></TD></TR>\n"
            "<TR><TD>弱いパスワード</TD>\n"
            "<TD><INPUT TYPE=\"CHECKBOX\" NAME=\"WEAKPW\">弱いパスワードを許可</TD></TR>\n"
            "<TR><TD>初回ログイン</TD>\n"
            "<TD><INPUT TYPE=\"CHECKBOX\" NAME=\"FORCE\">初回ログイン時にパスワードの変更を求める"
            "</TD></TR>\n"
            "<TR><TD COLSPAN=\"2\" ALIGN=\"RIGHT\">\n"
            "<INPUT TYPE=\"BUTTON\" VALUE=\" 設 定 \" onClick=\"CheckAddData()\">\n"
            "<INPUT TYPE=\"RESET\"  VALUE=\" 中 止 \"></TD></TR>\n"
            "</TABLE>\n</FORM>\n</CENTER>\n</BODY>\n</HTML>\n");
}

TEST_F(FormsTest, RegistrationFormWithoutGroupsAboveTheThreshold) {
  box_.SetConfig("SYSTEMGID=-1\nDEF_DIR=\"><script>\n");
  const std::string page = FromForm(box_.Run(Get("COMMAND=ADD")).out);
  EXPECT_NE(page.find("<TD><SELECT              NAME=\"GID\" SIZE=\"1\">\n"
                      "    </SELECT></TD></TR>\n"),
            std::string::npos);
  EXPECT_NE(page.find("VALUE=\"&quot;&gt;&lt;script&gt;\">"), std::string::npos);
  EXPECT_NE(page.find("<INPUT TYPE=\"HIDDEN\" NAME=\"SYSTEM_UID\" VALUE=\"\">"), std::string::npos);
}

TEST_F(FormsTest, ModificationFormComesFromTheSelectionPost) {
  const std::string page = FromForm(box_.Run(Post("COMMAND=WILLBEMOD&NAME=taro")).out);
  EXPECT_NE(page.find("<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"TOBEMOD\">\n"),
            std::string::npos);
  // The current shell stands selected first and again in SHELL1's place.
  EXPECT_NE(page.find("<TD><SELECT              NAME=\"SHELL\" SIZE=\"1\">\n"
                      "      <OPTION VALUE=\"/bin/bash\" SELECTED>/bin/bash\n"
                      "      <OPTION VALUE=\"/bin/bash\" >/bin/bash\n"
                      "      <OPTION VALUE=\"/bin/sh\" >/bin/sh\n"),
            std::string::npos)
      << page;
  EXPECT_EQ(box_.Run(Post("COMMAND=WILLBEMOD")).out,
            MessagePage("ユーザーが選択されていません<BR>\n<BR>\n"));
  EXPECT_EQ(box_.Run(Post("COMMAND=WILLBEMOD&NAME=root")).out,
            MessagePage("ユーザーが選択されていません<BR>\n<BR>\n"));
  EXPECT_NE(box_.Run(Get("COMMAND=WILLBEMOD&NAME=taro")).out.find(Euc("未実装の命令です")),
            std::string::npos);
}

// The ageing chooser is the user list with radio buttons; the form shows
// the shadow entry's values. Accounts the actions may not change, and one
// without a shadow entry, get no form and no change.
TEST_F(FormsTest, AgeingChooserAndForm) {
  const std::string list = Utf8(box_.Run(Get("COMMAND=AGE")).out);
  EXPECT_NE(list.find("<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"WILLBEAGED\">\n"
                      "<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
                      "<CAPTION><FONT SIZE=\"+2\">パスワード期限変更</FONT></CAPTION>\n"),
            std::string::npos);
  EXPECT_NE(list.find("<TR><TD><INPUT TYPE=\"RADIO\" NAME=\"NAME\" VALUE=\"taro\">1</TD>"),
            std::string::npos);
  EXPECT_EQ(list.find("VALUE=\"root\""), std::string::npos);
  for (const char* body : {"COMMAND=WILLBEAGED&NAME=root", "COMMAND=TOBEAGED&NAME=root&FORCE=on",
                           "COMMAND=WILLBEAGED&NAME=taro"}) {
    EXPECT_EQ(box_.Run(Post(body)).out, MessagePage("ユーザーが選択されていません<BR>\n<BR>\n"))
        << body;
  }
  box_.SetShadow("taro:x:0:1:90::30:20908:\n");
  EXPECT_EQ(FromForm(box_.Run(Post("COMMAND=WILLBEAGED&NAME=taro")).out),
            "<FORM ACTION=\"./orvanta.cgi\" METHOD=\"POST\" NAME=\"form\">\n"
            "<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"TOBEAGED\">\n"
            "<TABLE>\n<CAPTION><FONT SIZE=\"+2\">パスワード期限変更</CAPTION>\n"
            "<TR><TH><FONT SIZE=\"+1\">ユーザー</FONT></TH>\n"
            "<TH><INPUT TYPE=\"HIDDEN\" NAME=\"NAME\" VALUE=\"taro\" ><FONT SIZE=\"+1\">taro</FONT>"
            "</TH></TR>\n\n"
            "<TR><TD>最終変更日</TD>\n<TD>次回ログイン時に変更</TD></TR>\n\n"
            "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"CHKMAX\">パスワードの有効期間（日）</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\" NAME=\"MAXDAYS\" SIZE=\"10\" MAXLENGTH=\"5\" VALUE=\"90\">"
            "</TD></TR>\n\n"
            "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"CHKMIN\">変更できるまでの日数</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\" NAME=\"MINDAYS\" SIZE=\"10\" MAXLENGTH=\"5\" VALUE=\"1\">"
            "</TD></TR>\n\n"
            "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"CHKWARN\">警告日数</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\" NAME=\"WARNDAYS\" SIZE=\"10\" MAXLENGTH=\"5\" VALUE=\"-1\">"
            "</TD></TR>\n\n"
            "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"CHKINACT\">失効後の猶予（日）</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\" NAME=\"INACTDAYS\" SIZE=\"10\" MAXLENGTH=\"5\" VALUE=\"30\">"
            "</TD></TR>\n\n"
            "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"CHKEXPIRE\">アカウントの有効期限</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\" NAME=\"EXPIRE\" SIZE=\"10\" MAXLENGTH=\"10\" "
            "VALUE=\"2027-03-31\">（YYYY-MM-DD）</TD></TR>\n\n"
            "<TR><TD COLSPAN=\"2\"><INPUT TYPE=\"CHECKBOX\" NAME=\"FORCE\" CHECKED>"
            "次回ログイン時にパスワードの変更を求める</TD></TR>\n\n"
            "<TR><TD COLSPAN=\"2\" ALIGN=\"RIGHT\">\n"
            "<INPUT TYPE=\"BUTTON\" VALUE=\" 変 更 \" onClick=\"CheckAgeData()\">\n"
            "<INPUT TYPE=\"RESET\"  VALUE=\" 中 止 \"></TD></TR>\n\n"
            "</TABLE>\n</FORM>\n</CENTER>\n</BODY>\n</HTML>\n");
}

TEST_F(FormsTest, GroupRegistrationForm) {
  const std::string page = FromForm(box_.Run(Get("COMMAND=GADD")).out);
  EXPECT_NE(page.find("<INPUT TYPE=\"HIDDEN\" NAME=\"SYSTEM_GID\" VALUE=\"99\">\n"),
            std::string::npos);
  EXPECT_NE(page.find("onClick=\"CheckAddGData()\""), std::string::npos);
}

}  // namespace
}  // namespace orvanta::test
