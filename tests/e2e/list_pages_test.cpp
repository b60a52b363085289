// Every list page cut into pages by the real program: the search form
// above the table, the count and links below it, row numbers that go on
// from page to page, and what FIND and LIST_SYSTEM leave in.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

// root, then u000 to u299 (uid 1000 up, comment "Person N"), then a<&b;
// the groups root, staff (u000 and u001 are members) and g000 to g249.
std::string Passwd() {
  std::string passwd = "root:x:0:0:root:/root:/bin/sh\n";
  for (int i = 0; i < 300; ++i) {
    char line[96];
    std::snprintf(line, sizeof line, "u%03d:x:%d:100:Person %d:/home/u%03d:/bin/sh\n", i, 1000 + i,
                  i, i);
    passwd += line;
  }
  return passwd + "a<&b:x:5000:100::/home/ab:/bin/sh\n";
}

std::string Group() {
  std::string group = "root:x:0:\nstaff:x:1100:u000,u001\n";
  for (int i = 0; i < 250; ++i) {
    char line[48];
    std::snprintf(line, sizeof line, "g%03d:x:%d:\n", i, 2000 + i);
    group += line;
  }
  return group;
}

// The lock list searches for unused accounts too.
std::string FindForm(const std::string& command, const std::string& extra,
                     const std::string& find) {
  const std::string unused =
      command == "LOCK"
          ? "未使用 <INPUT TYPE=\"TEXT\" NAME=\"UNUSED\" VALUE=\"\" SIZE=\"6\">日以上\n"
          : "";
  return Euc("<FORM ACTION=\"./orvanta.cgi\" METHOD=\"GET\">\n"
             "<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"" + command + "\">\n" + extra +
             "検索 <INPUT TYPE=\"TEXT\" NAME=\"FIND\" VALUE=\"" + find + "\" SIZE=\"20\">\n" +
             unused + "<INPUT TYPE=\"SUBMIT\" VALUE=\" 検 索 \">\n</FORM>\n");
}

std::string Link(const std::string& query, int from, const std::string& label) {
  return "<A HREF=\"./orvanta.cgi?" + query + "&amp;FROM=" + std::to_string(from) + "\">" + label +
         "</A>";
}

struct PageCase {
  const char* query;
  std::string form;   // the search form
  std::string row;    // a row of the page, from its number on
  std::string links;  // UTF-8
};

class ListPages : public ::testing::Test {
 protected:
  void SetUp() override {
    box_.SetAccounts(Passwd(), Group());
    box_.SetConfig("SYSTEMUID=999\nSYSTEMGID=999\nLIST_PAGE_SIZE=100\nLIST_SYSTEM=NO\n");
  }
  void Expect(const PageCase& c) const {
    const std::string page = box_.Run(Get(c.query)).out;
    EXPECT_NE(page.find(c.form), std::string::npos) << c.query << "\n" << Utf8(page);
    EXPECT_NE(page.find(c.row), std::string::npos) << c.query << " " << c.row;
    EXPECT_NE(page.find(Euc(c.links)), std::string::npos) << c.query << "\n" << Utf8(page);
    EXPECT_EQ(page.find("<TD>root</TD>"), std::string::npos) << c.query;
  }
  CgiSandbox box_;
};

TEST_F(ListPages, UserListsPageAndSearch) {
  for (const char* command : {"VIEW", "DEFAULT", "MOD", "DEL", "LOCK"}) {
    const std::string sent = command;
    const std::string kept = sent == "DEFAULT" ? "VIEW" : sent;
    const std::string q = "COMMAND=" + kept;
    Expect({("COMMAND=" + sent + "&FROM=100").c_str(), FindForm(kept, "", ""),
            "100</TD>\n<TD>u100</TD>",
            "301件中 101〜200件<BR>\n" + Link(q, 0, "最初") + " / " + Link(q, 0, "前へ") + " / " +
                Link(q, 200, "次へ") + " / " + Link(q, 300, "最後") + "<BR>\n"});
    // Person 1, 10-19, 100-199: 111 rows; the second page starts with u189.
    const std::string found = q + "&amp;FIND=Person%201";
    Expect({("COMMAND=" + sent + "&FIND=Person+1&FROM=100").c_str(),
            FindForm(kept, "", "Person 1"), "100</TD>\n<TD>u189</TD>",
            "111件中 101〜111件<BR>\n" + Link(found, 0, "最初") + " / " + Link(found, 0, "前へ") +
                " / 次へ / 最後<BR>\n"});
    Expect({("COMMAND=" + sent + "&FIND=%3C%26").c_str(), FindForm(kept, "", "&lt;&amp;"),
            "0</TD>\n<TD>a&lt;&amp;b</TD>", "1件中 1〜1件<BR>\n最初 / 前へ / 次へ / 最後<BR>\n"});
  }
}

TEST_F(ListPages, GroupListsPageAndSearchByGid) {
  for (const char* command : {"GVIEW", "GDEL"}) {
    const std::string q = std::string("COMMAND=") + command;
    Expect({(q + "&FROM=200").c_str(), FindForm(command, "", ""), "200</TD>\n<TD>g199</TD>",
            "251件中 201〜251件<BR>\n" + Link(q, 0, "最初") + " / " + Link(q, 100, "前へ") +
                " / 次へ / 最後<BR>\n"});
    Expect({(q + "&FIND=2150").c_str(), FindForm(command, "", "2150"), "0</TD>\n<TD>g150</TD>",
            "1件中 1〜1件<BR>\n"});
  }
}

TEST_F(ListPages, MembersPageTheAccountsToAdd) {
  const std::string q = "COMMAND=GMEM&amp;GNAME=staff";
  const std::string gname = "<INPUT TYPE=\"HIDDEN\" NAME=\"GNAME\" VALUE=\"staff\">\n";
  // 298 accounts that are not members: u002 to u299 and a<&b.
  Expect({"COMMAND=GMEM&GNAME=staff&FROM=100", FindForm("GMEM", gname, ""),
          "VALUE=\"u102\"></TD>\n<TD>u102</TD>",
          "299件中 101〜200件<BR>\n" + Link(q, 0, "最初") + " / " + Link(q, 0, "前へ") + " / " +
              Link(q, 200, "次へ") + " / " + Link(q, 200, "最後") + "<BR>\n"});
  const std::string page = box_.Run(Get("COMMAND=GMEM&GNAME=staff&FROM=100")).out;
  EXPECT_NE(page.find("VALUE=\"u000\""), std::string::npos) << "the members stay whole";
}

TEST_F(ListPages, UnreadableSettingsListEveryRowWithOneLineEach) {
  box_.SetConfig("SYSTEMUID=999\nLIST_PAGE_SIZE=20x\nLIST_SYSTEM=no\n");
  box_.WriteFile(".stderr", "");
  const std::string page = box_.Run(Get("COMMAND=VIEW&FIND=u1")).out;
  EXPECT_NE(page.find("<TD>root</TD>"), std::string::npos);
  EXPECT_NE(page.find("<TD>a&lt;&amp;b</TD>"), std::string::npos);
  EXPECT_EQ(page.find("NAME=\"FIND\""), std::string::npos);
  EXPECT_EQ(box_.ReadFile(".stderr"),
            "orvanta: LIST_PAGE_SIZE=20x is no whole number: every row on one page\n"
            "orvanta: LIST_SYSTEM=no is none of YES, NO or empty: the system's ids are listed\n");
}

}  // namespace
}  // namespace orvanta::test
