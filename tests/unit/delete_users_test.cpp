// Deletion: one row per posted NAME in request order, one run and one
// record per allowed account.
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/euc.h"
#include "tests/support/pages.h"
#include "tests/support/program_state.h"
#include "user/user.h"

namespace orvanta::test {
namespace {

// The accounts have no home the tool may remove.
constexpr char kKept[] = "削除しました（ホームディレクトリは残しました）。";

class DeleteUsersTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    Users({{"root", 0, 0, "", "", ""},
           {"daemon", 499, 1, "", "", ""},
           {"edge", 500, 100, "", "", ""},
           {"taro", 1000, 100, "", "", ""},
           {"jiro", 1001, 100, "", "", ""},
           {"a<b", 1002, 100, "", "", ""}});
    Params({{"COMMAND", "WILLBEDEL"}, {"REMOTE_ADDR", "192.0.2.1"},
            {"USERDEL", "/usr/sbin/userdel"}, {"SYSTEMUID", "499"}});
  }

  static std::string Page(const std::string& rows_utf8) {
    return Framed("<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
                  "<CAPTION><B><FONT SIZE=\"+1\">ユーザーを削除しました。</FONT></B></CAPTION>\n"
                  "<TR BGCOLOR=\"#D0D0FF\"><TH>ユーザー名</TH><TH>結果</TH></TR>\n" +
                  rows_utf8 + "</TABLE>\n");
  }
  static std::string Row(const std::string& name, const std::string& outcome) {
    return "<TR BGCOLOR=\"#FFFFFF\"><TD>" + name + "</TD><TD>" + outcome + "</TD></TR>\n";
  }
};

TEST_F(DeleteUsersTest, HandlesEveryNameInRequestOrder) {
  results = {{1, 1 << 8}};  // the second run fails
  const std::string page =
      Capture([] { DeleteUsers("COMMAND=WILLBEDEL&NAME=taro&NAME=edge&NAME=root&NAME=jiro"); });
  EXPECT_EQ(Utf8(page), Utf8(Page(Row("taro", kKept) +
                                   Row("edge", "削除できませんでした") +
                                   Row("root", "削除が禁止されているユーザーです") +
                                   Row("jiro", kKept))));
  EXPECT_EQ(commands, (std::vector<std::string>{"/usr/sbin/userdel taro",
                                                "/usr/sbin/userdel edge",
                                                "/usr/sbin/userdel jiro"}));
  EXPECT_TRUE(std::regex_match(LogText(),
                               std::regex("DEL,taro,192\\.0\\.2\\.1,[0-9/: ]{16}\n"
                                          "DEL,jiro,192\\.0\\.2\\.1,[0-9/: ]{16}\n")))
      << LogText();
}

TEST_F(DeleteUsersTest, NoTickedBoxGivesOnlyTheHeading) {
  EXPECT_EQ(Capture([] { DeleteUsers("COMMAND=WILLBEDEL"); }), Page(""));
  EXPECT_TRUE(commands.empty());
}

TEST_F(DeleteUsersTest, RefusesSystemAndUnknownNames) {
  const std::string page = Capture(
      [] { DeleteUsers("NAME=daemon&NAME=ghost&NAME=%3Bid&NAME=--help&NAME=a<b&NAME="); });
  EXPECT_EQ(Utf8(page),
            Utf8(Page(Row("daemon", "削除が禁止されているユーザーです") +
                      Row("ghost", "削除が禁止されているユーザーです") +
                      Row(";id", "削除が禁止されているユーザーです") +
                      Row("--help", "削除が禁止されているユーザーです") +
                      Row("a&lt;b", kKept) +
                      Row("", "削除が禁止されているユーザーです"))));
  EXPECT_EQ(commands, std::vector<std::string>{"/usr/sbin/userdel 'a<b'"});
}

TEST_F(DeleteUsersTest, SameNameTwiceRunsOnce) {
  const std::string page = Capture([] { DeleteUsers("NAME=taro&NAME=taro&"); });
  EXPECT_EQ(Utf8(page), Utf8(Page(Row("taro", kKept) +
                                   Row("taro", "削除できませんでした"))));
  EXPECT_EQ(commands, std::vector<std::string>{"/usr/sbin/userdel taro"});
}

// Without a USERDEL setting nothing runs: an allowed account gets the
// failure row, a protected one still the refusal.
TEST_F(DeleteUsersTest, WithoutSystemUidOnlyRootIsProtected) {
  Params({{"SYSTEMUID", ""}, {"USERDEL", ""}});
  const std::string page = Capture([] { DeleteUsers("NAME=root&NAME=daemon"); });
  EXPECT_EQ(Utf8(page), Utf8(Page(Row("root", "削除が禁止されているユーザーです") +
                                   Row("daemon", "削除できませんでした"))));
  EXPECT_TRUE(commands.empty());
}

// A HOME that is no choice the store offers, or two different ones, runs
// nothing for any name.
TEST_F(DeleteUsersTest, RefusesAHomeChoiceNotOffered) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"HOME=bogus", "bogus"},
      {"HOME=archive", "archive"},  // no ARCHIVE_DIR
      {"HOME=", ""},
      {"HOME=keep&HOME=remove", "remove"},
      {"HOME=%3Cx%3E", "&lt;x&gt;"},
  };
  for (const auto& [fields, shown] : cases) {
    SCOPED_TRACE(fields);
    commands.clear();
    const std::string page = Capture([&] { DeleteUsers("NAME=taro&" + fields); });
    EXPECT_EQ(Utf8(page),
              Utf8(MessagePage("ホームディレクトリの扱い(" + shown + ")は選択できません。<BR>\n")));
    EXPECT_TRUE(commands.empty());
    EXPECT_FALSE(LogExists());
  }
}

}  // namespace
}  // namespace orvanta::test
