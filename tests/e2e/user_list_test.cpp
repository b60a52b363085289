// The start page and the two selection forms, run as the real program.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

constexpr char kPasswd[] =
    "root:x:0:0:root:/root:/bin/bash\n"
    "taro:x:1000:100:Taro Yamada:/home/taro:/bin/sh\n"
    "sys:x:499:4294967294:::\n"
    "big:x:4294967294:5::/home/big:\n";
constexpr char kGroup[] =
    "root:x:0:\n"
    "users:x:100:\n"
    "nogroup:x:4294967294:\n";

constexpr char kHeading[] =
    "<TR BGCOLOR=\"#D0D0FF\"><TH><BR></TH>\n<TH NOWRAP>ユーザー</TH>\n"
    "<TH NOWRAP>ユーザーＩＤ</TH>\n<TH NOWRAP>グループＩＤ</TH>\n"
    "<TH NOWRAP>ユーザー氏名</TH>\n<TH NOWRAP>ホームディレクトリー</TH>\n"
    "<TH NOWRAP>ログインシェル</TH></TR>\n\n";

// The four rows of kPasswd in database order; `sel` is put before the index
// of the rows whose uid lies above SYSTEMUID=499 and is not reserved (big's
// 4294967294, -2 in 32 bits, is).
std::string Rows(const std::string& type) {
  const auto sel = [&](const std::string& name) {
    return type.empty() ? std::string()
                        : "<INPUT TYPE=\"" + type + "\" NAME=\"NAME\" VALUE=\"" + name + "\">";
  };
  return std::string(kHeading) +
         "<TR><TD>0</TD>\n<TD>root</TD>\n<TD>0</TD>\n<TD>0(root)</TD>\n"
         "<TD NOWRAP>root</TD>\n<TD NOWRAP>/root</TD>\n<TD NOWRAP>/bin/bash</TD></TR>\n\n" +
         "<TR><TD>" + sel("taro") +
         "1</TD>\n<TD>taro</TD>\n<TD>1000</TD>\n<TD>100(users)</TD>\n"
         "<TD NOWRAP>Taro Yamada</TD>\n<TD NOWRAP>/home/taro</TD>\n"
         "<TD NOWRAP>/bin/sh</TD></TR>\n\n"
         "<TR><TD>2</TD>\n<TD>sys</TD>\n<TD>499</TD>\n<TD>4294967294(nogroup)</TD>\n"
         "<TD><BR></TD>\n<TD><BR></TD>\n<TD><BR></TD>\n\n" +
         "<TR><TD>3</TD>\n<TD>big</TD>\n<TD>4294967294</TD>\n<TD>5()</TD>\n"
         "<TD><BR></TD>\n<TD NOWRAP>/home/big</TD>\n<TD><BR></TD>\n\n";
}

class UserListPage : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.SetAccounts(kPasswd, kGroup);
    box_.SetConfig("SYSTEMUID=499\n");
  }
  CgiSandbox box_;
};

const std::string kCsvLink =
    "<A HREF=\"./orvanta.cgi?COMMAND=VIEWCSV\">CSVファイルで保存</A>（一覧のすべての行）<BR>\n";

TEST_F(UserListPage, ListsEveryAccountInDatabaseOrder) {
  const std::string expected =
      Framed("<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
             "<CAPTION><FONT SIZE=\"+2\">ユーザー一覧</FONT></CAPTION>\n\n" +
             Rows("") + "</TABLE>\n<BR>\n" + kCsvLink);
  for (const char* query : {"", "COMMAND=VIEW", "COMMAND=DEFAULT"}) {
    const CgiResult result = box_.Run(Get(query));
    EXPECT_EQ(Utf8(result.out), Utf8(expected)) << "query: " << query;
    EXPECT_EQ(result.out, expected);
    EXPECT_EQ(result.exit_status, 0);
  }
  EXPECT_EQ(box_.Run(Post("COMMAND=DEFAULT")).out, expected);
}

TEST_F(UserListPage, ModifySelectionHasRadioButtonsAboveSystemUid) {
  const std::string expected = Framed(
      "<FORM ACTION=\"./orvanta.cgi\" METHOD=\"POST\">\n"
      "<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"WILLBEMOD\">\n"
      "<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
      "<CAPTION><FONT SIZE=\"+2\">ユーザー情報変更</FONT></CAPTION>\n\n" +
      Rows("RADIO") +
      "</TABLE>\n<BR>\n"
      "<INPUT TYPE=\"SUBMIT\" VALUE=\" 変 更 \">\n"
      "<INPUT TYPE=\"RESET\"  VALUE=\" 中 止 \">\n"
      "</FORM>");
  EXPECT_EQ(Utf8(box_.Run(Get("COMMAND=MOD")).out), Utf8(expected));
}

TEST_F(UserListPage, DeleteSelectionHasCheckBoxesAboveSystemUid) {
  const std::string expected = Framed(
      "<FORM ACTION=\"./orvanta.cgi\" METHOD=\"POST\">\n"
      "<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"WILLBEDEL\">\n"
      "<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
      "<CAPTION><FONT SIZE=\"+2\">ユーザー削除</FONT></CAPTION>\n\n" +
      Rows("CHECKBOX") +
      "</TABLE>\n<BR>\n"
      "ホームディレクトリ: <INPUT TYPE=\"RADIO\" NAME=\"HOME\" VALUE=\"remove\" CHECKED>削除する\n"
      "<INPUT TYPE=\"RADIO\" NAME=\"HOME\" VALUE=\"keep\">残す\n<BR>\n"
      "<INPUT TYPE=\"SUBMIT\" VALUE=\" 削 除 \">\n"
      "<INPUT TYPE=\"RESET\"  VALUE=\" 中 止 \">\n"
      "</FORM>");
  EXPECT_EQ(box_.Run(Get("COMMAND=DEL")).out, expected);
}

TEST_F(UserListPage, DeleteSelectionOffersArchivesOnlyWithAnArchiveDirectory) {
  const std::string archive =
      "<INPUT TYPE=\"RADIO\" NAME=\"HOME\" VALUE=\"archive\">保存してから削除する\n<BR>\n";
  for (const std::string& dir : {box_.PathOf("nowhere"), box_.PathOf("cfg_file.cfg"), box_.dir()}) {
    box_.SetConfig("ARCHIVE_DIR=" + dir + "\n");
    const bool offered = Utf8(box_.Run(Get("COMMAND=DEL")).out).find(archive) != std::string::npos;
    EXPECT_EQ(offered, dir == box_.dir()) << dir;
  }
}

TEST_F(UserListPage, EmptyDatabaseGivesAnEmptyTable) {
  box_.SetAccounts("", "");
  EXPECT_EQ(box_.Run(Get("COMMAND=VIEW")).out,
            Framed("<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
                   "<CAPTION><FONT SIZE=\"+2\">ユーザー一覧</FONT></CAPTION>\n\n"
                   "</TABLE>\n<BR>\n" +
                   kCsvLink));
}

TEST_F(UserListPage, HeadingRepeatsEveryTenRows) {
  std::string passwd;
  for (int i = 0; i < 25; ++i) {
    passwd += "u" + std::to_string(i) + ":x:" + std::to_string(1000 + i) + ":100:c:/h:/bin/sh\n";
  }
  box_.SetAccounts(passwd, kGroup);
  const std::string page = box_.Run(Get("COMMAND=VIEW")).out;
  const std::string heading = Euc(kHeading);
  std::vector<std::string> rows_after_heading;
  for (size_t at = page.find(heading); at != std::string::npos;
       at = page.find(heading, at + 1)) {
    rows_after_heading.push_back(page.substr(at + heading.size(), 12));
  }
  EXPECT_EQ(rows_after_heading,
            (std::vector<std::string>{"<TR><TD>0</T", "<TR><TD>10</", "<TR><TD>20</"}));
}

TEST_F(UserListPage, SortSettingOrdersTheList) {
  box_.SetConfig("SORT=SORT_BY_UID\n");
  const std::string by_uid = box_.Run(Get("")).out;
  EXPECT_LT(by_uid.find("<TD>sys</TD>"), by_uid.find("<TD>taro</TD>"));
  EXPECT_LT(by_uid.find("<TD>taro</TD>"), by_uid.find("<TD>big</TD>"));
  box_.SetConfig("SORT=SORT_BY_NAME\n");
  const std::string by_name = box_.Run(Get("")).out;
  EXPECT_LT(by_name.find("<TD>big</TD>"), by_name.find("<TD>root</TD>"));
  EXPECT_LT(by_name.find("<TD>sys</TD>"), by_name.find("<TD>taro</TD>"));
}

TEST_F(UserListPage, RequestCannotChangeSettings) {
  const std::string plain = box_.Run(Get("COMMAND=DEL")).out;
  EXPECT_EQ(box_.Run(Get("COMMAND=DEL&SYSTEMUID=-1&SORT=SORT_BY_NAME")).out, plain);
}

TEST_F(UserListPage, NoSystemUidMakesAllButRootSelectable) {
  box_.SetConfig("");
  const std::string page = box_.Run(Get("COMMAND=DEL")).out;
  EXPECT_EQ(page.find("VALUE=\"root\""), std::string::npos);
  EXPECT_NE(page.find("VALUE=\"sys\">2</TD>"), std::string::npos);
}

TEST_F(UserListPage, NegativeSystemUidMakesNothingSelectable) {
  box_.SetConfig("SYSTEMUID=-1\n");
  EXPECT_EQ(box_.Run(Get("COMMAND=DEL")).out.find("<INPUT TYPE=\"CHECKBOX\""),
            std::string::npos);
}

TEST_F(UserListPage, AccountValuesAreEscaped) {
  box_.SetAccounts("a<b\"c:x:1000:100:x&y 'q':/home/<d>:/bin/\"sh\"\n", "g<1>:x:100:\n");
  const std::string page = box_.Run(Get("COMMAND=DEL")).out;
  EXPECT_NE(page.find("<INPUT TYPE=\"CHECKBOX\" NAME=\"NAME\" VALUE=\"a&lt;b&quot;c\">0</TD>\n"
                      "<TD>a&lt;b&quot;c</TD>\n<TD>1000</TD>\n<TD>100(g&lt;1&gt;)</TD>\n"
                      "<TD NOWRAP>x&amp;y &#39;q&#39;</TD>\n<TD NOWRAP>/home/&lt;d&gt;</TD>\n"
                      "<TD NOWRAP>/bin/&quot;sh&quot;</TD></TR>\n\n"),
            std::string::npos)
      << page;
}

}  // namespace
}  // namespace orvanta::test
