// Modification: the form, the command line of the ticked attributes, the
// protection of system accounts, the result page and the log record.
#include <crypt.h>
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/euc.h"
#include "tests/support/pages.h"
#include "tests/support/program_state.h"
#include "user/user.h"

namespace orvanta::test {
namespace {

class ModifyUserTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    Users({{"root", 0, 0, "root", "/root", "/bin/bash"},
           {"daemon", 499, 1, "", "/usr/sbin", "/usr/sbin/nologin"},
           {"taro", 1000, 100, "Taro", "/home/taro", "/bin/sh"},
           {"-x", 1001, 100, "", "", ""}});
    Groups({{"root", 0}, {"users", 100}, {"admins", 1200}});
    Params({{"COMMAND", "TOBEMOD"}, {"REMOTE_ADDR", "192.0.2.1"},
            {"USERMOD", "/usr/sbin/usermod"}, {"SYSTEMUID", "499"}, {"NAME", "taro"},
            {"SHELL1", "/bin/zsh"}, {"SHELL2", "/bin/sh;id"}, {"PROTECTED_GROUPS", "admins"}});
  }
};

struct ModCase {
  const char* label;
  std::map<std::string, std::string> fields;
  std::string line;
};

TEST_F(ModifyUserTest, PassesOnlyTheTickedAttributes) {
  const std::vector<ModCase> cases = {
      {"nothing ticked", {}, "/usr/sbin/usermod  taro"},
      {"shell only", {{"CHKSHELL", "on"}, {"SHELL", "/bin/zsh"}},
       "/usr/sbin/usermod  -s /bin/zsh taro"},
      {"every attribute but the password",
       {{"CHKGCOS", "on"}, {"GCOS", "Taro Y"}, {"CHKDIR", "on"}, {"DIR", "/home/"},
        {"CHKGID", "on"}, {"GID", "users"}, {"CHKSHELL", "on"}, {"SHELL", "/bin/zsh"},
        {"CHKUID", "on"}, {"UID", "1500"}},
       "/usr/sbin/usermod  -c 'Taro Y'  -d /home/taro -g users -s /bin/zsh -u 1500 taro"},
      {"directory without a final slash is joined as it stands",
       {{"CHKDIR", ""}, {"DIR", "/home/t"}}, "/usr/sbin/usermod  -d /home/ttaro taro"},

      {"ticked uid left empty", {{"CHKUID", "x"}, {"UID", ""}}, "/usr/sbin/usermod  -u  taro"},
      {"unticked fields are not passed",
       {{"GCOS", "x"}, {"DIR", "/x/"}, {"GID", "root"}, {"SHELL", "/bin/x"}, {"UID", "0"}},
       "/usr/sbin/usermod  taro"},
      {"quote in the comment", {{"CHKGCOS", "on"}, {"GCOS", "O'Brien"}},
       "/usr/sbin/usermod  -c 'O'\\''Brien'  taro"},
      {"shell with a separator", {{"CHKSHELL", "on"}, {"SHELL", "/bin/sh;id"}},
       "/usr/sbin/usermod  -s '/bin/sh;id' taro"},
  };
  for (const ModCase& test_case : cases) {
    Reset();
    Params(test_case.fields);
    Capture(ModifyUser);
    EXPECT_EQ(commands, std::vector<std::string>{test_case.line}) << test_case.label;
  }
}

// The password goes to chpasswd's input, hashed whatever USE_CRYPT says;
// usermod runs only for the other ticked attributes.
TEST_F(ModifyUserTest, PasswordGoesToChpasswdHashedAndAnEmptyOneIsRefused) {
  for (const bool with_shell : {false, true}) {
    Reset();
    Params({{"CHKPASS", "on"}, {"PASS", "abc123"}, {"USE_CRYPT", "NO"}});
    if (with_shell) Params({{"CHKSHELL", "on"}, {"SHELL", "/bin/zsh"}});
    Capture(ModifyUser);
    std::vector<std::string> expected = {"/usr/sbin/chpasswd -e"};
    if (with_shell) expected.insert(expected.begin(), "/usr/sbin/usermod  -s /bin/zsh taro");
    EXPECT_EQ(commands, expected);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(inputs.back(), match, std::regex("taro:([./0-9A-Za-z]{13})\n")))
        << inputs.back();
    const std::string hash = match[1];
    EXPECT_STREQ(crypt("abc123", hash.substr(0, 2).c_str()), hash.c_str());
  }

  Reset();
  Params({{"CHKPASS", "on"}, {"PASS", ""}});
  EXPECT_EQ(Capture(ModifyUser), MessagePage("パスワードが入力されていません。<BR>\n"));
  EXPECT_TRUE(commands.empty());
}

// Shells and groups a modification may give: the offered ones and the
// account's current ones.
TEST_F(ModifyUserTest, RefusesShellsAndGroupsTheFormsDoNotOffer) {
  const std::vector<std::pair<std::map<std::string, std::string>, std::string>> cases = {
      {{{"CHKSHELL", "on"}, {"SHELL", "/var/tmp/anything"}},
       "ログインシェル(/var/tmp/anything)は使用できません。<BR>\n"},
      {{{"CHKSHELL", "on"}, {"SHELL", ""}}, "ログインシェル()は使用できません。<BR>\n"},
      {{{"CHKGID", "on"}, {"GID", "admins"}}, "グループ(admins)は使用できません。<BR>\n"},
      {{{"CHKSHELL", "on"}, {"SHELL", "/bin/sh"}}, ""},
  };
  for (const auto& [fields, message] : cases) {
    Reset();
    Params(fields);
    const std::string page = Capture(ModifyUser);
    if (message.empty()) {
      EXPECT_EQ(commands.size(), 1u) << page;
    } else {
      EXPECT_EQ(Utf8(page), Utf8(MessagePage(message)));
      EXPECT_TRUE(commands.empty());
    }
  }
}
TEST_F(ModifyUserTest, ResultPageShowsTheRequestValuesThenLogs) {
  Params({{"CHKSHELL", "on"}, {"SHELL", "/bin/zsh"}, {"UID", "1000"}, {"GID", "users"},
          {"GCOS", ""}, {"DIR", "/home/"}});
  EXPECT_EQ(Utf8(Capture(ModifyUser)),
            Utf8(Framed("<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
                        "<CAPTION><FONT SIZE=\"+2\">ユーザー情報を変更しました。</FONT></CAPTION>\n\n"
                        "<TR BGCOLOR=\"#D0D0FF\">\n<TH NOWRAP>ユーザー</TH>\n"
                        "<TH NOWRAP>ユーザーＩＤ</TH>\n<TH NOWRAP>グループＩＤ</TH>\n"
                        "<TH NOWRAP>ユーザー氏名</TH>\n<TH NOWRAP>ホームディレクトリー</TH>\n"
                        "<TH NOWRAP>ログインシェル</TH></TR>\n\n"
                        "<TR BGCOLOR=\"#FFFFFF\">\n<TD NOWRAP>taro</TD>\n<TD NOWRAP>1000</TD>\n"
                        "<TD NOWRAP>users</TD>\n<TD><BR></TD>\n<TD NOWRAP>/home/taro</TD>\n"
                        "<TD NOWRAP>/bin/zsh</TD></TR>\n\n</TABLE>\n<BR>\n")));
  EXPECT_TRUE(std::regex_match(
      LogText(), std::regex("MOD,taro,192\\.0\\.2\\.1,\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}\n")));
}

TEST_F(ModifyUserTest, EmptyUidCellStaysEmptyText) {
  const std::string page = Capture(ModifyUser);
  EXPECT_NE(page.find("<TD NOWRAP>taro</TD>\n<TD NOWRAP></TD>\n<TD NOWRAP></TD>\n<TD><BR></TD>\n"
                      "<TD NOWRAP>taro</TD>\n<TD NOWRAP></TD></TR>"),
            std::string::npos)
      << page;
}

TEST_F(ModifyUserTest, RefusesAccountsItMayNotChange) {
  for (const char* name : {"root", "daemon", "ghost", "", "--help"}) {
    Reset();
    Params({{"NAME", name}, {"CHKSHELL", "on"}, {"SHELL", "/bin/sh"}});
    EXPECT_EQ(Capture(ModifyUser), MessagePage("ユーザーが選択されていません<BR>\n<BR>\n"))
        << name;
    EXPECT_TRUE(commands.empty()) << name;
    EXPECT_FALSE(LogExists()) << name;
  }
}

TEST_F(ModifyUserTest, FailingToolGivesItsPageAndNoRecord) {
  results = {{0, 3 << 8}};
  EXPECT_EQ(Capture(ModifyUser), MessagePage("ユーザー情報変更に失敗しました。<BR>\n<BR>\n"));
  EXPECT_EQ(commands.size(), 1u);
  EXPECT_FALSE(LogExists());
}

// ---- The modification form --------------------------------------------------------------

class UserModFormTest : public ModifyUserTest {
 protected:
  void SetUp() override {
    ModifyUserTest::SetUp();
    Groups({{"staff", 200}, {"adm", 4}});
    Params({{"COMMAND", "WILLBEMOD"}, {"SYSTEMGID", "99"}, {"SHELL1", "/bin/bash"},
            {"SHELL2", "/bin/sh"}});
  }
};

TEST_F(UserModFormTest, ShowsTheAccountWithACheckBoxPerAttribute) {
  const std::string page = Capture(PrintUserModForm);
  const std::string form_start = Euc("<FORM ACTION=\"./orvanta.cgi\" METHOD=\"POST\" NAME=\"form\">\n");
  ASSERT_NE(page.find(form_start), std::string::npos);
  EXPECT_EQ(Utf8(page.substr(page.find(form_start))),
            "<FORM ACTION=\"./orvanta.cgi\" METHOD=\"POST\" NAME=\"form\">\n"
            "<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"TOBEMOD\">\n"
            "<INPUT TYPE=\"HIDDEN\" NAME=\"SYSTEM_UID\" VALUE=\"499\">\n"
            "<TABLE>\n<CAPTION><FONT SIZE=\"+2\">ユーザー情報変更</CAPTION>\n"
            "<TR><TH><FONT SIZE=\"+1\">ユーザー</FONT></TH>\n"
            "<TH><INPUT TYPE=\"HIDDEN\" NAME=\"NAME\" VALUE=\"taro\" ><FONT SIZE=\"+1\">taro"
            "</FONT></TH></TR>\n\n"
            "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"CHKPASS\">パスワード</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\" NAME=\"PASS\" SIZE=\"30\" MAXLENGTH=\"15\"></TD></TR>\n\n"
            "<TR><TD>弱いパスワード</TD>\n"
            "<TD><INPUT TYPE=\"CHECKBOX\" NAME=\"WEAKPW\">弱いパスワードを許可</TD></TR>\n"
            "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"CHKUID\">ユーザーＩＤ</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\" NAME=\"UID\" SIZE=\"30\" MAXLENGTH=\"10\" VALUE=\"1000\">"
            "</TD></TR>\n\n"
            "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"CHKGID\">グループＩＤ</TD>\n"
            "<TD><SELECT              NAME=\"GID\" SIZE=\"1\">\n"
            "      <OPTION VALUE=\"users\" SELECTED>users\n"
            "      <OPTION VALUE=\"staff\" >staff\n"
            "      <OPTION VALUE=\"users\" >users\n"
            "    </SELECT></TD></TR>\n"
            "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"CHKGCOS\">コメント</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\" NAME=\"GCOS\" SIZE=\"30\" MAXLENGTH=\"20\" VALUE=\"Taro\">"
            "</TD></TR>\n\n"
            "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"CHKDIR\">ホームディレクトリー</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\" NAME=\"DIR\" SIZE=\"30\" MAXLENGTH=\"30\" "
            "VALUE=\"/home/taro\"></TD></TR>\n\n"
            "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"CHKSHELL\">ログインシェル</TD>\n"
            "<TD><SELECT              NAME=\"SHELL\" SIZE=\"1\">\n"
            "      <OPTION VALUE=\"/bin/sh\" SELECTED>/bin/sh\n"
            "      <OPTION VALUE=\"/bin/bash\" >/bin/bash\n"
            "      <OPTION VALUE=\"/bin/sh\" >/bin/sh\n"
            "      <OPTION VALUE=\"\" >\n"
            "      <OPTION VALUE=\"\" >\n"
            "      <OPTION VALUE=\"\" >\n"
            "    </SELECT></TD></TR>\n"
            "<TR><TD>現在の鍵</TD>\n<TD>ホームディレクトリがないため、鍵は書き込めません。</TD></TR>\n"
            "<TR><TD COLSPAN=\"2\" ALIGN=\"RIGHT\">\n"
            "<INPUT TYPE=\"BUTTON\" VALUE=\" 変 更 \" onClick=\"CheckModData()\">\n"
            "<INPUT TYPE=\"RESET\"  VALUE=\" 中 止 \"></TD></TR>\n\n"
            "</TABLE>\n</FORM>\n</CENTER>\n</BODY>\n</HTML>\n");
  // The scripts stand between the header and the form, in this order.
  const std::vector<std::string> functions = {"CheckPass()", "ChkUid()", "ChkGcos()", "ChkDir()",
                                              "CheckModData()\n"};
  size_t last = 0;
  for (const std::string& function : functions) {
    const size_t at = page.find("function " + function);
    ASSERT_NE(at, std::string::npos) << function;
    EXPECT_GT(at, last) << function;
    last = at;
  }
  EXPECT_EQ(page.find("function CheckName()"), std::string::npos);
}

TEST_F(UserModFormTest, UnknownNameShowsUidAndGidZero) {
  Params({{"NAME", "ghost"}});
  const std::string page = Utf8(Capture(PrintUserModForm));
  EXPECT_NE(page.find("VALUE=\"ghost\" ><FONT SIZE=\"+1\">ghost</FONT>"), std::string::npos);
  EXPECT_NE(page.find("NAME=\"UID\" SIZE=\"30\" MAXLENGTH=\"10\" VALUE=\"0\">"), std::string::npos);
  EXPECT_NE(page.find("<OPTION VALUE=\"root\" SELECTED>root\n"), std::string::npos);
  EXPECT_NE(page.find("<OPTION VALUE=\"\" SELECTED>\n"), std::string::npos);  // no shell
}

TEST_F(UserModFormTest, LargeUidShowsUnsignedAndMissingGroupEmpty) {
  Users({{"big", 4294967293u, 777, "a<b", "/h", "/bin/sh"}});
  Params({{"NAME", "big"}});
  const std::string page = Utf8(Capture(PrintUserModForm));
  EXPECT_NE(page.find("VALUE=\"4294967293\">"), std::string::npos);
  EXPECT_NE(page.find("<OPTION VALUE=\"\" SELECTED>\n      <OPTION VALUE=\"staff\" >"),
            std::string::npos);
  EXPECT_NE(page.find("VALUE=\"a&lt;b\">"), std::string::npos);
}

TEST_F(UserModFormTest, RefusesAnEmptyNameAndSystemAccounts) {
  for (const char* name : {"", "root", "daemon"}) {
    Reset();
    Params({{"NAME", name}});
    EXPECT_EQ(Capture(PrintUserModForm), MessagePage("ユーザーが選択されていません<BR>\n<BR>\n"))
        << name;
  }
}

}  // namespace
}  // namespace orvanta::test
