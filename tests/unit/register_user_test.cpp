// Registration: the exact command lines, the result page, refusals and the
// log record.
#include <crypt.h>
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/euc.h"
#include "tests/support/pages.h"
#include "tests/support/program_state.h"
#include "user/user.h"

namespace orvanta::test {
namespace {

constexpr char kResultHeading[] =
    "<TR BGCOLOR=\"#D0D0FF\">\n<TH NOWRAP>ユーザー</TH>\n<TH NOWRAP>ユーザーＩＤ</TH>\n"
    "<TH NOWRAP>グループＩＤ</TH>\n<TH NOWRAP>ユーザー氏名</TH>\n"
    "<TH NOWRAP>ホームディレクトリー</TH>\n<TH NOWRAP>ログインシェル</TH></TR>\n\n";

class RegisterUserTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    Users({{"root", 0, 0, "root", "/root", "/bin/bash"},
           {"taro", 1000, 100, "", "/home/taro", "/bin/sh"},
           {"<b>", 1001, 100, "", "", ""}});
    Groups({{"root", 0}, {"users", 100}, {"a;b", 200}, {"admins", 1200}, {"wheel2", 1300}});
    // A password and a shell the server's checks accept; cases override them.
    Params({{"COMMAND", "WILLBEADD"}, {"REMOTE_ADDR", "192.0.2.1"},
            {"USERADD", "/usr/sbin/useradd"}, {"PASS", "abc123"}, {"SHELL1", "/bin/sh"},
            {"SHELL2", "/bin/zsh"}, {"SHELL", "/bin/sh"}, {"PROTECTED_GROUPS", "admins wheel"}});
  }
};

struct LineCase {
  const char* label;
  std::map<std::string, std::string> fields;
  std::string line;
};

TEST_F(RegisterUserTest, BuildsTheCommandLinePieceByPiece) {
  const std::vector<LineCase> cases = {
      {"name, password and shell: the default home stated", {{"NAME", "hanako"}},
       "/usr/sbin/useradd  -d /home/hanako -s /bin/sh hanako"},
      {"every field",
       {{"NAME", "hanako"}, {"GCOS", "Hanako Sato"}, {"DIR", "/home"}, {"GID", "users"},
        {"SHELL", "/bin/zsh"}, {"UID", "1500"}, {"OPTION", "-m"}},
       "/usr/sbin/useradd  -c 'Hanako Sato'  -d /home/hanako -g users -s /bin/zsh "
       "-u 1500 -m  hanako"},
      {"directory already ending in a slash",
       {{"NAME", "hanako"}, {"DIR", "/home/"}},
       "/usr/sbin/useradd  -d /home/hanako -s /bin/sh hanako"},
      {"option only", {{"NAME", "hanako"}, {"OPTION", "-m -k /etc/skel"}},
       "/usr/sbin/useradd  -d /home/hanako -s /bin/sh -m -k /etc/skel  hanako"},
      // Values the shell would otherwise read as syntax go in as one word.
      {"quote inside the comment", {{"NAME", "hanako"}, {"GCOS", "O'Brien"}},
       "/usr/sbin/useradd  -c 'O'\\''Brien'  -d /home/hanako -s /bin/sh hanako"},
      {"comment closing its quotes", {{"NAME", "hanako"}, {"GCOS", "x'; reboot; '"}},
       "/usr/sbin/useradd  -c 'x'\\''; reboot; '\\'''  -d /home/hanako -s /bin/sh hanako"},
      {"shell with a separator, when offered",
       {{"NAME", "hanako"}, {"SHELL3", "/bin/sh;id"}, {"SHELL", "/bin/sh;id"}},
       "/usr/sbin/useradd  -d /home/hanako -s '/bin/sh;id' hanako"},
      {"directory with a command substitution", {{"NAME", "hanako"}, {"DIR", "/home/$(id)/"}},
       "/usr/sbin/useradd  -d '/home/$(id)/hanako' -s /bin/sh hanako"},
      {"a quoted group, a uid with a blank", {{"NAME", "hanako"}, {"GID", "a;b"}, {"UID", " 1500"}},
       "/usr/sbin/useradd  -d /home/hanako -g 'a;b' -s /bin/sh -u ' 1500' hanako"},
  };
  for (const LineCase& test_case : cases) {
    Reset();
    Params(test_case.fields);
    Capture(RegisterUser);
    EXPECT_EQ(commands, (std::vector<std::string>{test_case.line, "/usr/sbin/chpasswd -e"}))
        << test_case.label;
    ASSERT_EQ(inputs.size(), 2u) << test_case.label;
    EXPECT_EQ(inputs[0], "") << test_case.label;
  }
}

// The password is never on a command line: chpasswd reads the program's own
// hash, whatever USE_CRYPT says, since a line is readable by every user.
TEST_F(RegisterUserTest, HashGoesToChpasswdInputOnly) {
  for (const char* use_crypt : {"YES", "NO"}) {
    Reset();
    Params({{"NAME", "hanako"}, {"PASS", "a'bc12"}, {"USE_CRYPT", use_crypt},
            {"CHPASSWD", "/sbin/chpasswd -R /srv/x"}});
    Capture(RegisterUser);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[1], "/sbin/chpasswd -R /srv/x -e");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(inputs[1], match, std::regex("hanako:([./0-9A-Za-z]{13})\n")))
        << inputs[1];
    const std::string hash = match[1];
    EXPECT_STREQ(crypt("a'bc12", hash.substr(0, 2).c_str()), hash.c_str());
  }
}

// useradd made the account, chpasswd failed: the account stays with
// useradd's locked password, and its record is written.
TEST_F(RegisterUserTest, AccountWithoutItsPasswordIsReportedAndRecorded) {
  Params({{"NAME", "hanako"}});
  results = {{1, 1 << 8}};
  EXPECT_EQ(Utf8(Capture(RegisterUser)),
            Utf8(MessagePage("登録しましたが、パスワードを設定できませんでした。<BR>\n")));
  EXPECT_TRUE(std::regex_match(LogText(), std::regex("ADD,hanako,192\\.0\\.2\\.1,.*\n")))
      << LogText();
}
TEST_F(RegisterUserTest, WritesTheResultPageThenTheLogRecord) {
  Params({{"NAME", "hanako"}, {"GCOS", "Hanako Sato"}, {"DIR", "/home"}, {"GID", "users"},
          {"SHELL", "/bin/sh"}, {"UID", "1500"}});
  const std::string page = Capture(RegisterUser);
  EXPECT_EQ(Utf8(page), Utf8(Framed(std::string("<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
                                                "<CAPTION><FONT SIZE=\"+2\">ユーザー登録しました。"
                                                "</FONT></CAPTION>\n\n") +
                                    kResultHeading +
                                    "<TR BGCOLOR=\"#FFFFFF\">\n<TD NOWRAP>hanako</TD>\n"
                                    "<TD NOWRAP>1500</TD>\n<TD NOWRAP>users</TD>\n"
                                    "<TD NOWRAP>Hanako Sato</TD>\n<TD NOWRAP>/home/hanako</TD>\n"
                                    "<TD NOWRAP>/bin/sh</TD></TR>\n\n</TABLE>\n<BR>\n"
                                    "<P>パスワードの強さ: 3（0〜100）</P>\n")));
  EXPECT_TRUE(std::regex_match(
      LogText(), std::regex("ADD,hanako,192\\.0\\.2\\.1,\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}\n")))
      << LogText();
}

// A refused password set with the override: its own record and system log line.
TEST_F(RegisterUserTest, TheOverrideGoesToTheLogAndTheSystemLog) {
  Params({{"NAME", "hanako"}, {"PASS", "ab1!1ba"}, {"WEAKPW", "on"}});
  Capture(RegisterUser);
  EXPECT_TRUE(std::regex_match(LogText(), std::regex("ADD,hanako,.*\nWEAKPW,hanako,.*\n")))
      << LogText();
  ASSERT_EQ(audit_lines.size(), 2u);
  EXPECT_TRUE(audit_lines[1].ends_with(" command=WEAKPW name=hanako result=done")) << audit_lines[1];
}

TEST_F(RegisterUserTest, EmptyFieldsShowLineBreaksAndTheBareName) {
  Params({{"NAME", "hanako"}});
  EXPECT_EQ(Capture(RegisterUser),
            Framed(std::string("<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
                               "<CAPTION><FONT SIZE=\"+2\">ユーザー登録しました。"
                               "</FONT></CAPTION>\n\n") +
                   kResultHeading +
                   "<TR BGCOLOR=\"#FFFFFF\">\n<TD NOWRAP>hanako</TD>\n<TD><BR></TD>\n"
                   "<TD NOWRAP></TD>\n<TD><BR></TD>\n<TD NOWRAP>hanako</TD>\n"
                   "<TD NOWRAP>/bin/sh</TD></TR>\n\n</TABLE>\n<BR>\n"
                   "<P>パスワードの強さ: 3（0〜100）</P>\n"));
}

TEST_F(RegisterUserTest, ResultPageEscapesTheRequestValues) {
  Params({{"NAME", "hanako"}, {"GCOS", "a&b"}, {"DIR", "/home/<d>/"}, {"SHELL3", "\"/bin/sh\""},
          {"SHELL", "\"/bin/sh\""}});
  const std::string page = Capture(RegisterUser);
  EXPECT_NE(page.find("<TD NOWRAP>hanako</TD>\n<TD><BR></TD>\n<TD NOWRAP></TD>\n"
                      "<TD NOWRAP>a&amp;b</TD>\n<TD NOWRAP>/home/&lt;d&gt;/hanako</TD>\n"

                      "<TD NOWRAP>&quot;/bin/sh&quot;</TD></TR>"),
            std::string::npos)
      << page;
}

struct RefusalCase {
  const char* label;
  std::map<std::string, std::string> fields;
  std::map<size_t, int> results;  // runner answers
  std::string page_message;       // UTF-8, as the message page shows it
  size_t commands_run;
};

TEST_F(RegisterUserTest, RefusalsWriteOnlyTheirMessagePage) {
  const std::vector<RefusalCase> cases = {
      {"name taken", {{"NAME", "taro"}}, {}, "ユーザー名(taro)はすでに登録されています。<BR>\n", 0},
      {"name with a '<', escaped in the message",
       {{"NAME", "<b>"}},
       {},
       "ユーザー名に使用できない文字(&lt;)が含まれています<BR>\n",
       0},
      {"uid taken", {{"NAME", "hanako"}, {"UID", "1000"}}, {},
       "ユーザーＩＤ(1000)がはすでに登録されています。<BR>\n", 0},
      {"uid taken, more than ten digits", {{"NAME", "hanako"}, {"UID", "00000000001000"}}, {},
       "ユーザーＩＤ(1000)がはすでに登録されています。<BR>\n", 0},
      {"letters in the uid", {{"NAME", "hanako"}, {"UID", "abc"}}, {},
       "ユーザーＩＤに数字以外の文字が含まれています<BR>\n", 0},
      {"digits then letters", {{"NAME", "hanako"}, {"UID", "1000x"}}, {},
       "ユーザーＩＤに数字以外の文字が含まれています<BR>\n", 0},
      {"empty password, even with USE_CRYPT",
       {{"NAME", "hanako"}, {"PASS", ""}, {"USE_CRYPT", "YES"}},
       {},
       "パスワードが入力されていません。<BR>\n",
       0},
      {"no USERADD setting, before the field checks",
       {{"NAME", "hanako"}, {"USERADD", ""}, {"PASS", ""}},
       {},
       "ユーザーの登録に失敗しました。<BR>\n<BR>\n",
       0},
      {"a shell the forms do not offer", {{"NAME", "hanako"}, {"SHELL", "/var/tmp/x"}}, {},
       "ログインシェル(/var/tmp/x)は使用できません。<BR>\n", 0},
      {"no shell", {{"NAME", "hanako"}, {"SHELL", ""}}, {},
       "ログインシェル()は使用できません。<BR>\n", 0},
      {"a protected primary group", {{"NAME", "hanako"}, {"GID", "admins"}}, {},
       "グループ(admins)は使用できません。<BR>\n", 0},
      {"a protected primary group by gid", {{"NAME", "hanako"}, {"GID", "1200"}}, {},
       "グループ(1200)は使用できません。<BR>\n", 0},
      {"the name of a protected group, which useradd would create", {{"NAME", "wheel"}}, {},
       "グループ(wheel)は使用できません。<BR>\n", 0},
      {"tool fails and the account is not there", {{"NAME", "hanako"}}, {{0, 1 << 8}},
       "ユーザーの登録に失敗しました。<BR>\n<BR>\n", 1},
      {"name the tool would take for an option", {{"NAME", "--help"}}, {},
       "ユーザーの登録に失敗しました。<BR>\n<BR>\n", 0},
  };
  for (const RefusalCase& test_case : cases) {
    Reset();
    Params(test_case.fields);
    results = test_case.results;
    const std::string page = Capture(RegisterUser);
    EXPECT_EQ(Utf8(page), Utf8(MessagePage(test_case.page_message))) << test_case.label;
    EXPECT_EQ(commands.size(), test_case.commands_run) << test_case.label;
    EXPECT_FALSE(LogExists()) << test_case.label;
  }
}

TEST_F(RegisterUserTest, CheckNameIsCaseSensitive) {
  Params({{"NAME", "Taro"}});
  EXPECT_EQ(Capture(RegisterUser),
            MessagePage("ユーザー名に使用できない文字(T)が含まれています<BR>\n"));
  EXPECT_TRUE(commands.empty());
}

TEST_F(RegisterUserTest, LargeUidIsLookedUpUnsigned) {
  Users({{"big", 4294967293u, 100, "", "", ""}});
  Params({{"NAME", "hanako"}, {"UID", "4294967293"}});
  EXPECT_EQ(Capture(RegisterUser),
            MessagePage("ユーザーＩＤ(4294967293)がはすでに登録されています。<BR>\n"));
}

}  // namespace
}  // namespace orvanta::test
