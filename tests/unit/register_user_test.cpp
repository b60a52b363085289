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
    Groups({{"root", 0}, {"users", 100}, {"a b", 200}});
    // A password the server's field checks accept; cases override it.
    Params({{"COMMAND", "WILLBEADD"}, {"REMOTE_ADDR", "192.0.2.1"},
            {"USERADD", "/usr/sbin/useradd"}, {"PASS", "abc123"}});
  }
};

struct LineCase {
  const char* label;
  std::map<std::string, std::string> fields;
  std::string line;
};

TEST_F(RegisterUserTest, BuildsTheCommandLinePieceByPiece) {
  const std::vector<LineCase> cases = {
      {"name and password only: the default home stated", {{"NAME", "hanako"}},
       "/usr/sbin/useradd  -d /home/hanako -p abc123 hanako"},
      {"every field, typed password",
       {{"NAME", "hanako"}, {"GCOS", "Hanako Sato"}, {"DIR", "/home"}, {"GID", "users"},
        {"PASS", "abc123"}, {"SHELL", "/bin/sh"}, {"UID", "1500"}, {"OPTION", "-m"}},
       "/usr/sbin/useradd  -c 'Hanako Sato'  -d /home/hanako -g users -p abc123 -s /bin/sh "
       "-u 1500 -m  hanako"},
      {"directory already ending in a slash",
       {{"NAME", "hanako"}, {"DIR", "/home/"}},
       "/usr/sbin/useradd  -d /home/hanako -p abc123 hanako"},
      {"USE_CRYPT in lower case passes the typed password",
       {{"NAME", "hanako"}, {"PASS", "abc123"}, {"USE_CRYPT", "yes"}},
       "/usr/sbin/useradd  -d /home/hanako -p abc123 hanako"},
      {"option only", {{"NAME", "hanako"}, {"OPTION", "-m -k /etc/skel"}},
       "/usr/sbin/useradd  -d /home/hanako -p abc123 -m -k /etc/skel  hanako"},
      // Values the shell would otherwise read as syntax go in as one word.
      {"quote inside the comment", {{"NAME", "hanako"}, {"GCOS", "O'Brien"}},
       "/usr/sbin/useradd  -c 'O'\\''Brien'  -d /home/hanako -p abc123 hanako"},
      {"comment closing its quotes", {{"NAME", "hanako"}, {"GCOS", "x'; reboot; '"}},
       "/usr/sbin/useradd  -c 'x'\\''; reboot; '\\'''  -d /home/hanako -p abc123 hanako"},
      {"shell with a separator", {{"NAME", "hanako"}, {"SHELL", "/bin/sh;id"}},
       "/usr/sbin/useradd  -d /home/hanako -p abc123 -s '/bin/sh;id' hanako"},
      {"directory with a command substitution", {{"NAME", "hanako"}, {"DIR", "/home/$(id)/"}},
       "/usr/sbin/useradd  -d '/home/$(id)/hanako' -p abc123 hanako"},
      {"typed password with a quote", {{"NAME", "hanako"}, {"PASS", "a'bc12"}},
       "/usr/sbin/useradd  -d /home/hanako -p 'a'\\''bc12' hanako"},
      {"group and uid with blanks", {{"NAME", "hanako"}, {"GID", "a b"}, {"UID", " 1500"}},
       "/usr/sbin/useradd  -d /home/hanako -g 'a b' -p abc123 -u ' 1500' hanako"},
  };
  for (const LineCase& test_case : cases) {
    Reset();
    Params(test_case.fields);
    Capture(RegisterUser);
    EXPECT_EQ(commands, (std::vector<std::string>{test_case.line})) << test_case.label;
  }
}

TEST_F(RegisterUserTest, HashesThePasswordWhenUseCryptIsYes) {
  Params({{"NAME", "hanako"}, {"PASS", "abc123"}, {"USE_CRYPT", "YES"}, {"SHELL", "/bin/sh"}});
  Capture(RegisterUser);
  ASSERT_EQ(commands.size(), 1u);
  std::smatch match;
  ASSERT_TRUE(std::regex_match(commands[0], match,
                               std::regex("/usr/sbin/useradd  -d /home/hanako -p "
                                          "'([./0-9A-Za-z]{13})' -s "
                                          "/bin/sh hanako")))
      << commands[0];
  const std::string hash = match[1];
  EXPECT_STREQ(crypt("abc123", hash.substr(0, 2).c_str()), hash.c_str());
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
                                    "<TD NOWRAP>/bin/sh</TD></TR>\n\n</TABLE>\n<BR>\n")));
  EXPECT_TRUE(std::regex_match(
      LogText(), std::regex("ADD,hanako,192\\.0\\.2\\.1,\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}\n")))
      << LogText();
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
                   "<TD NOWRAP></TD></TR>\n\n</TABLE>\n<BR>\n"));
}

TEST_F(RegisterUserTest, ResultPageEscapesTheRequestValues) {
  Params({{"NAME", "hanako"}, {"GCOS", "a&b"}, {"DIR", "/home/<d>/"}, {"SHELL", "\"/bin/sh\""}});
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
      {"letters in the uid", {{"NAME", "hanako"}, {"UID", "abc"}}, {},
       "ユーザーＩＤに数字以外の文字が含まれています<BR>\n", 0},
      {"digits then letters", {{"NAME", "hanako"}, {"UID", "1000x"}}, {},
       "ユーザーＩＤに数字以外の文字が含まれています<BR>\n", 0},
      {"empty password, even with USE_CRYPT",
       {{"NAME", "hanako"}, {"PASS", ""}, {"USE_CRYPT", "YES"}},
       {},
       "パスワードが入力されていません。<BR>\n",
       0},
      {"no USERADD setting", {{"NAME", "hanako"}, {"USERADD", ""}, {"UID", "1500"}}, {},
       "ユーザーの登録に失敗しました。<BR>\n<BR>\n", 0},
      {"tool fails", {{"NAME", "hanako"}}, {{0, 1 << 8}},
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
