// Group pages and actions: the list and deletion form, the deletion, the
// registration form and the registration.
#include <gtest/gtest.h>

#include <regex>

#include "group/group.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"
#include "tests/support/program_state.h"

namespace orvanta::test {
namespace {

class GroupTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    Groups({{"root", 0}, {"adm", 4}, {"users", 100}, {"staff", 50}, {"a<b", 200},
            {"nogroup", 4294967294u}});
    Params({{"REMOTE_ADDR", "192.0.2.1"}, {"SYSTEMGID", "99"},
            {"GROUPADD", "/usr/sbin/groupadd"}, {"GROUPDEL", "/usr/sbin/groupdel"}});
  }
};

constexpr char kGroupHeading[] =
    "<TR BGCOLOR=\"#D0D0FF\"><TH><BR></TH>\n<TH NOWRAP>グループ</TH>\n"
    "<TH NOWRAP>グループＩＤ</TH>\n";

TEST_F(GroupTest, ListsGroupsInGidOrder) {
  EXPECT_EQ(Utf8(Capture([] { PrintGroupList(GroupListMode::List); })),
            Utf8(Framed(std::string("<TABLE BORDER BGCOLOR=\"#FFFFFF\" WIDTH=\"300\">\n"
                                    "<CAPTION><FONT SIZE=\"+1\"><B>グループ一覧</B></FONT>"
                                    "</CAPTION>\n\n") +
                        kGroupHeading +
                        "<TR><TD>0</TD>\n<TD>root</TD>\n<TD>0</TD>\n"
                        "<TR><TD>1</TD>\n<TD>adm</TD>\n<TD>4</TD>\n"
                        "<TR><TD>2</TD>\n<TD>staff</TD>\n<TD>50</TD>\n"
                        "<TR><TD>3</TD>\n<TD>users</TD>\n<TD>100</TD>\n"
                        "<TR><TD>4</TD>\n<TD>a&lt;b</TD>\n<TD>200</TD>\n"
                        "<TR><TD>5</TD>\n<TD>nogroup</TD>\n<TD>4294967294</TD>\n"
                        "</TABLE>\n<BR>\n"
                        "<A HREF=\"./orvanta.cgi?COMMAND=GVIEWCSV\">CSVファイルで保存</A>"
                        "（一覧のすべての行）<BR>\n")));
}

TEST_F(GroupTest, GroupListFileNamesItsRowsInTheSystemLog) {
  Params({{"COMMAND", "GVIEWCSV"}});
  EXPECT_TRUE(Capture(ExportGroupList).ends_with("nogroup,4294967294,\r\n"));
  ASSERT_EQ(audit_lines.size(), 1u);
  EXPECT_TRUE(audit_lines[0].ends_with(
      " address=192.0.2.1 command=GVIEWCSV name=groups result=exported-6-rows"))
      << audit_lines[0];
}

TEST_F(GroupTest, DeletionFormOffersGroupsAboveSystemGid) {
  EXPECT_EQ(
      Utf8(Capture([] { PrintGroupList(GroupListMode::SelectForDelete); })),
      Utf8(Framed(std::string("<FORM ACTION=\"./orvanta.cgi\" METHOD=\"POST\">\n"
                              "<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"GP_WILLBEDEL\">\n"
                              "<TABLE BORDER BGCOLOR=\"#FFFFFF\" WIDTH=\"300\">\n"
                              "<CAPTION><FONT SIZE=\"+2\"><B>グループ削除</B></FONT></CAPTION>\n\n") +
                  kGroupHeading +
                  "<TR><TD>0</TD>\n<TD>root</TD>\n<TD>0</TD>\n"
                  "<TR><TD>1</TD>\n<TD>adm</TD>\n<TD>4</TD>\n"
                  "<TR><TD>2</TD>\n<TD>staff</TD>\n<TD>50</TD>\n"
                  "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"GNAME\" VALUE=\"users\">3</TD>\n"
                  "<TD>users</TD>\n<TD>100</TD>\n"
                  "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"GNAME\" VALUE=\"a&lt;b\">4</TD>\n"
                  "<TD>a&lt;b</TD>\n<TD>200</TD>\n"
                  "<TR><TD>5</TD>\n<TD>nogroup</TD>\n<TD>4294967294</TD>\n"
                  "</TABLE>\n<BR>\n"
                  "<INPUT TYPE=\"SUBMIT\" VALUE=\" 削 除 \">\n"
                  "<INPUT TYPE=\"RESET\"  VALUE=\" 中 止 \">\n"
                  "</FORM>")));
}

TEST_F(GroupTest, HeadingRepeatsEveryTenRowsAndMissingSystemGidProtectsOnlyGidZero) {
  for (std::uint32_t gid = 1000; gid < 1006; ++gid) Groups({{"g" + std::to_string(gid), gid}});
  Params({{"SYSTEMGID", ""}});
  const std::string page = Capture([] { PrintGroupList(GroupListMode::SelectForDelete); });
  const std::string heading = Euc(kGroupHeading);
  std::vector<std::string> after;
  for (size_t at = page.find(heading); at != std::string::npos; at = page.find(heading, at + 1)) {
    after.push_back(page.substr(at + heading.size(), 60));
  }
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0].substr(0, 12), "<TR><TD>0</T");
  EXPECT_EQ(after[1].substr(0, 58), "<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"GNAME\" VALUE=\"g1005\">");
  EXPECT_EQ(page.find("VALUE=\"root\""), std::string::npos);
  EXPECT_NE(page.find("VALUE=\"staff\">2</TD>"), std::string::npos);
  // adm is one of the groups protected by default.
  EXPECT_EQ(page.find("VALUE=\"adm\""), std::string::npos);
}

std::string GroupDeletePage(const std::string& rows_utf8) {
  return Framed("<TABLE BORDER BGCOLOR=\"#FFFFFF\" WIDTH=\"300\">\n"
                "<CAPTION><B><FONT SIZE=\"+1\">グループを削除しました。</FONT></B></CAPTION>\n"
                "<TR BGCOLOR=\"#D0D0FF\"><TH>グループ名</TH><TH>結果</TH></TR>\n" +
                rows_utf8 + "</TABLE>\n");
}

std::string GroupRow(const std::string& name, const std::string& outcome) {
  return "<TR BGCOLOR=\"#FFFFFF\"><TD>" + name + "</TD><TD>" + outcome + "</TD></TR>\n";
}

TEST_F(GroupTest, DeletesEveryTickedGroupInOrder) {
  Groups({{"admins", 1200}});
  Params({{"COMMAND", "GP_WILLBEDEL"}, {"PROTECTED_GROUPS", "admins"}});
  results = {{1, 1 << 8}};
  const std::string page = Capture([] {
    DeleteGroups(
        "COMMAND=GP_WILLBEDEL&GNAME=users&GNAME=users&GNAME=adm&GNAME=admins&GNAME=ghost&"
        "GNAME=a<b");
  });
  EXPECT_EQ(Utf8(page),
            Utf8(GroupDeletePage(GroupRow("users", "削除しました。") +
                                 GroupRow("users", "削除できませんでした。") +
                                 GroupRow("adm", "削除が禁止されているグループです。") +
                                 GroupRow("admins", "削除が禁止されているグループです。") +
                                 GroupRow("ghost", "削除が禁止されているグループです。") +
                                 GroupRow("a&lt;b", "削除できませんでした。"))));
  EXPECT_EQ(commands,
            (std::vector<std::string>{"/usr/sbin/groupdel users", "/usr/sbin/groupdel 'a<b'"}));
  EXPECT_TRUE(std::regex_match(LogText(), std::regex("GDEL,users,192\\.0\\.2\\.1,[0-9/: ]{16}\n")))
      << LogText();
}

TEST_F(GroupTest, DeletionWithNothingTicked) {
  EXPECT_EQ(Capture([] { DeleteGroups("COMMAND=GP_WILLBEDEL"); }), GroupDeletePage(""));
  EXPECT_TRUE(commands.empty());
}

TEST_F(GroupTest, RegistrationFormCarriesItsScriptsAndFields) {
  const std::string page = Capture(PrintGroupAddForm);
  const std::string form = Euc("<FORM ACTION=\"./orvanta.cgi\" METHOD=\"POST\" NAME=\"form\">\n");
  ASSERT_NE(page.find(form), std::string::npos);
  EXPECT_EQ(Utf8(page.substr(page.find(form))),
            "<FORM ACTION=\"./orvanta.cgi\" METHOD=\"POST\" NAME=\"form\">\n"
            "<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"GP_WILLBEADD\">\n"
            "<INPUT TYPE=\"HIDDEN\" NAME=\"SYSTEM_GID\" VALUE=\"99\">\n"
            "<TABLE>\n<CAPTION><FONT SIZE=\"+2\">グループ登録</CAPTION>\n"
            "<TR><TD NOWRAP>グループ名</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\"   NAME=\"GNAME\" SIZE=\"15\" MAXLENGTH=\"10\" ></TD>\n"
            "<TD NOWRAP>グループＩＤ</TD>\n"
            "<TD><INPUT TYPE=\"TEXT\"   NAME=\"GID\"  SIZE=\"15\" MAXLENGTH=\"10\"></TD></TR>\n"
            "<TR><TD COLSPAN=\"4\" ALIGN=\"RIGHT\">\n"
            "<INPUT TYPE=\"BUTTON\" VALUE=\" 設 定 \" onClick=\"CheckAddGData()\">\n"
            "<INPUT TYPE=\"RESET\"  VALUE=\" 中 止 \"></TD></TR>\n"
            "</TABLE>\n</FORM>\n</CENTER>\n</BODY>\n</HTML>\n");
  const std::string script_start = PageHeader() + "<SCRIPT language=\"JavaScript\">\n<!--\n";
  EXPECT_EQ(page.substr(0, script_start.size()), script_start);
  EXPECT_LT(page.find("function CheckGName()"), page.find("function ChkGid()"));
  EXPECT_LT(page.find("function ChkGid()"), page.find("function CheckAddGData()"));
  EXPECT_NE(page.find("//-->\n</SCRIPT>\n\n" + form), std::string::npos);
}

struct GroupAddCase {
  const char* label;
  std::map<std::string, std::string> fields;
  std::vector<std::string> lines;
  std::string page_or_message;  // UTF-8 gid cell, or the message page text
  bool registered;
};

TEST_F(GroupTest, RegistersAfterTheDuplicateChecks) {
  const std::vector<GroupAddCase> cases = {
      {"with gid", {{"GNAME", "dev"}, {"GID", "1200"}},
       {"/usr/sbin/groupadd  -g 1200 dev"}, "<TD NOWRAP>1200</TD>\n", true},
      {"without gid", {{"GNAME", "dev"}}, {"/usr/sbin/groupadd  dev"},
       "<TD NOWRAP><BR></TD>\n", true},
      {"gid with leading zeros passed as typed", {{"GNAME", "dev"}, {"GID", "01200"}},
       {"/usr/sbin/groupadd  -g 01200 dev"}, "<TD NOWRAP>01200</TD>\n", true},
      {"name taken", {{"GNAME", "users"}, {"GID", "200"}}, {},
       "グループ名(users)はすでに登録されています。<BR>\n", false},
      {"name with a '<', escaped", {{"GNAME", "a<b"}}, {},
       "グループ名に使用できない文字(&lt;)が含まれています<BR>\n", false},
      {"gid taken", {{"GNAME", "dev"}, {"GID", "0100"}}, {},
       "グループＩＤ(100)がはすでに登録されています。<BR>\n", false},
      {"gid taken, more than ten digits", {{"GNAME", "dev"}, {"GID", "0000000000100"}}, {},
       "グループＩＤ(100)がはすでに登録されています。<BR>\n", false},
      {"letters in the gid", {{"GNAME", "dev"}, {"GID", "abc"}}, {},
       "グループＩＤに数字以外の文字が含まれています<BR>\n", false},
      {"name the tool would take for an option", {{"GNAME", "--help"}}, {},
       "グループの登録に失敗しました。<BR>\n<BR>\n", false},
      {"a protected name, even when no such group exists", {{"GNAME", "wheel"}}, {},
       "グループ(wheel)は使用できません。<BR>\n", false},
      {"no GROUPADD setting, before the field checks", {{"GNAME", "--"}, {"GROUPADD", ""}}, {},
       "グループの登録に失敗しました。<BR>\n<BR>\n", false},
      {"gid with a leading blank quoted", {{"GNAME", "dev"}, {"GID", " 1200"}},
       {"/usr/sbin/groupadd  -g ' 1200' dev"}, "<TD NOWRAP> 1200</TD>\n", true},
  };
  for (const GroupAddCase& test_case : cases) {
    Reset();
    Params({{"COMMAND", "GP_WILLBEADD"}});
    Params(test_case.fields);
    const std::string page = Capture(RegisterGroup);
    EXPECT_EQ(commands, test_case.lines) << test_case.label;
    if (test_case.registered) {
      EXPECT_EQ(Utf8(page),
                Utf8(Framed("<TABLE BORDER BGCOLOR=\"#FFFFFF\" WIDTH=\"300\">\n"
                            "<CAPTION><FONT SIZE=\"+2\">グループ登録しました。</FONT></CAPTION>\n\n"
                            "<TR BGCOLOR=\"#D0D0FF\">\n<TH NOWRAP>グループ</TH>\n"
                            "<TH NOWRAP>グループＩＤ</TH>\n<TR BGCOLOR=\"#FFFFFF\">\n"
                            "<TD NOWRAP>dev</TD>\n" +
                            test_case.page_or_message + "</TABLE>\n<BR>\n")))
          << test_case.label;
      EXPECT_TRUE(std::regex_match(LogText(), std::regex("GADD,dev,192\\.0\\.2\\.1,[0-9/: ]{16}\n")))
          << test_case.label;
    } else {
      EXPECT_EQ(Utf8(page), Utf8(MessagePage(test_case.page_or_message))) << test_case.label;
      EXPECT_FALSE(LogExists()) << test_case.label;
    }
  }
}

TEST_F(GroupTest, FailingGroupToolGivesItsPage) {
  Params({{"COMMAND", "GP_WILLBEADD"}, {"GNAME", "dev"}});
  results = {{0, 9 << 8}};
  EXPECT_EQ(Capture(RegisterGroup), MessagePage("グループの登録に失敗しました。<BR>\n<BR>\n"));
  EXPECT_FALSE(LogExists());
}

TEST_F(GroupTest, LongNameIsRefusedBeforeTheDuplicateCheck) {
  const std::string name(3000, 'n');
  Groups({{name, 3000}});
  Params({{"GNAME", name}});
  EXPECT_EQ(Capture(RegisterGroup), MessagePage("グループ名は3〜8文字にしてください<BR>\n"));
}

}  // namespace
}  // namespace orvanta::test
