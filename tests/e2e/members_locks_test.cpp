// Group membership (GMEM, GP_TOBEMEM) and account locking (LOCK, TOBELOCK)
// through the real program: the exact command lines the shell gets, the
// rows and records, every refusal running no tool, and the lists offering
// check boxes only where the actions would act.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"
#include "tests/support/trace.h"

namespace orvanta::test {
namespace {

// boss is protected by sudo, twin is yielded twice, noshadow has no shadow
// entry; wheel is protected, dup yielded twice, 27 is a name usermod -G
// would read as a gid, and a,b one the program does not trust.
constexpr char kPasswd[] =
    "root:x:0:0:root:/root:/bin/bash\n"
    "sysacct:x:999:999:System:/var/lib/sysacct:/usr/sbin/nologin\n"
    "taro:x:1001:100:Taro:/home/taro:/bin/sh\n"
    "jiro:x:1002:100:Jiro <J>:/home/jiro:/bin/sh\n"
    "x$(id):x:1003:100::/home/x:/bin/sh\n"
    "boss:x:1004:100::/home/boss:/bin/sh\n"
    "twin:x:1005:100::/home/twin:/bin/sh\n"
    "twin:x:1006:100::/home/twin2:/bin/sh\n"
    "nobody:x:65534:65534::/nonexistent:/usr/sbin/nologin\n"
    "noshadow:x:1007:100::/home/noshadow:/bin/sh\n";
constexpr char kGroup[] =
    "root:x:0:\nsudo:x:27:boss\nusers:x:100:\nsysgrp:x:999:\nstaff:x:1100:taro,ghost\n"
    "g;b:x:1200:\n27:x:1300:\na,b:x:1400:\nwheel:x:1500:\ndup:x:1600:\ndup:x:1601:\n"
    "nogroup:x:65534:\n";
// taro expires on day 20500, jiro is locked, x$(id) locked the old way.
constexpr char kShadow[] =
    "root:*:19000:0:99999:7:::\nsysacct:*:19000:0:99999:7:::\n"
    "taro:$y$j9T$salt$hash:19000:0:99999:7::20500:\njiro:!$y$j9T$salt$hash:19000:0:99999:7::1:\n"
    "x$(id):!$y$j9T$salt$hash:19000:0:99999:7:::\nboss:$y$j9T$salt$hash:19000:0:99999:7:::\n"
    "twin:$y$j9T$salt$hash:19000:0:99999:7:::\nnobody:*:19000:0:99999:7:::\n";
constexpr char kSaved[] = "orvanta.lock.expiry";

constexpr char kAdd[] = "追加";
constexpr char kRemove[] = "削除";
constexpr char kAdded[] = "追加しました。";
constexpr char kRemoved[] = "削除しました。";
constexpr char kLocked[] = "ロックしました。";
constexpr char kUnlocked[] = "ロックを解除しました。";
constexpr char kFailed[] = "できませんでした";
constexpr char kRefused[] = "変更が禁止されています";

std::string MemberRow(const std::string& name, const std::string& way,
                      const std::string& outcome) {
  return "<TR BGCOLOR=\"#FFFFFF\"><TD>" + name + "</TD><TD>" + way + "</TD><TD>" + outcome +
         "</TD></TR>\n";
}

std::string MembersResult(const std::string& group, const std::vector<std::string>& rows) {
  std::string body = "<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n<CAPTION><B><FONT SIZE=\"+1\">グループ(" +
                     group +
                     ")のメンバーを変更しました。</FONT></B></CAPTION>\n"
                     "<TR BGCOLOR=\"#D0D0FF\"><TH>ユーザー名</TH><TH>変更</TH><TH>結果</TH></TR>\n";
  for (const std::string& row : rows) body += row;
  return Framed(body + "</TABLE>\n");
}

std::string LockRow(const std::string& name, const std::string& outcome) {
  return "<TR BGCOLOR=\"#FFFFFF\"><TD>" + name + "</TD><TD>" + outcome + "</TD></TR>\n";
}

std::string LockResult(const std::vector<std::string>& rows) {
  std::string body =
      "<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n<CAPTION><B><FONT "
      "SIZE=\"+1\">ユーザーのロックを変更しました。</FONT></B></CAPTION>\n"
      "<TR BGCOLOR=\"#D0D0FF\"><TH>ユーザー名</TH><TH>結果</TH></TR>\n";
  for (const std::string& row : rows) body += row;
  return Framed(body + "</TABLE>\n");
}

class MembersLocksTest : public ::testing::Test {
 protected:
  MembersLocksTest() {
    usermod_ = box_.AddRecordingTool("usermod", 0);
    failing_ = box_.AddRecordingTool("failing", 1);
    box_.SetAccounts(kPasswd, kGroup);
    box_.SetShadow(kShadow);
  }

  void Configure(const std::string& usermod) const {
    box_.SetConfig("SYSTEMUID=999\nSYSTEMGID=999\nUSERMOD=" + usermod + "\nUSERDEL=" + usermod +
                   "\n");
  }

  // The command lines the run handed to /bin/sh, seen with strace.
  std::vector<std::string> ShellLines(const CgiRequest& request, CgiResult* result) const {
    const std::string trace = box_.PathOf("execve.trace");
    *result = box_.Run(request, StraceArgs(trace));
    return ShellCommandLines(box_.ReadFile("execve.trace"));
  }

  CgiSandbox box_;
  std::string usermod_;
  std::string failing_;
};

struct ActionCase {
  const char* what;
  std::string body;
  std::string page;
  std::vector<std::string> lines;  // after USERMOD's path
  std::vector<std::string> records;
  bool tool_fails = false;
  bool no_tool = false;  // USERMOD set empty
  std::string saved_before = "";  // the saved expiry dates
  std::string saved_after = "";
};

TEST_F(MembersLocksTest, ActsOnlyOnWhatMayChange) {
  const std::string every_refused_account =
      "ADDNAME=sysacct&ADDNAME=nobody&ADDNAME=boss&ADDNAME=twin&ADDNAME=ghost&DELNAME=ghost"
      "&DELNAME=--help&ADDNAME=root";
  const std::vector<ActionCase> cases = {
      {"members added and removed in request order, values quoted",
       "COMMAND=GP_TOBEMEM&GNAME=staff&ADDNAME=jiro&DELNAME=taro&ADDNAME=x%24%28id%29",
       MembersResult("staff",
                     {MemberRow("jiro", kAdd, kAdded), MemberRow("taro", kRemove, kRemoved),
                      MemberRow("x$(id)", kAdd, kAdded)}),
       {" -a -G staff jiro", " -r -G staff taro", " -a -G staff 'x$(id)'"},
       {"MADD,jiro:staff", "MDEL,taro:staff", "MADD,x$(id):staff"}},
      {"a group name with a semicolon", "COMMAND=GP_TOBEMEM&GNAME=g%3Bb&DELNAME=taro",
       MembersResult("g;b", {MemberRow("taro", kRemove, kRemoved)}),
       {" -r -G 'g;b' taro"},
       {"MDEL,taro:g;b"}},
      {"lock saves the dates, a second lock keeps the first's",
       "COMMAND=TOBELOCK&NAME=taro&ACTION=LOCK&NAME=x%24%28id%29&NAME=jiro",
       LockResult({LockRow("taro", kLocked), LockRow("x$(id)", kLocked), LockRow("jiro", kLocked)}),
       {" -L -e 1 taro", " -L -e 1 'x$(id)'", " -L -e 1 jiro"},
       {"LOCK,taro", "LOCK,x$(id)", "LOCK,jiro"}, false, false, "jiro:1002:19999\n",
       "jiro:1002:19999\ntaro:1001:20500\nx$(id):1003:\n"},
      {"unlock gives the saved dates back, ignores another uid's",
       "COMMAND=TOBELOCK&ACTION=UNLOCK&NAME=jiro&NAME=taro&NAME=x%24%28id%29",
       LockResult({LockRow("jiro", kUnlocked), LockRow("taro", kUnlocked),
                   LockRow("x$(id)", kUnlocked)}),
       {" -U -e 19999 jiro", " -U taro", " -U -e '' 'x$(id)'"},
       {"UNLOCK,jiro", "UNLOCK,taro", "UNLOCK,x$(id)"}, false, false,
       "jiro:1002:19999\ntaro:999:20000\nx$(id):1003:\n", ""},
      {"unlock without a saved date clears only the lock's",
       "COMMAND=TOBELOCK&ACTION=UNLOCK&NAME=jiro&NAME=x%24%28id%29",
       LockResult({LockRow("jiro", kUnlocked), LockRow("x$(id)", kUnlocked)}),
       {" -U -e '' jiro", " -U 'x$(id)'"}, {"UNLOCK,jiro", "UNLOCK,x$(id)"}},
      {"a name repeated is acted on once",
       "COMMAND=GP_TOBEMEM&GNAME=staff&ADDNAME=jiro&ADDNAME=jiro",
       MembersResult("staff", {MemberRow("jiro", kAdd, kAdded), MemberRow("jiro", kAdd, kFailed)}),
       {" -a -G staff jiro"},
       {"MADD,jiro:staff"}},
      {"a name repeated in a lock request is acted on once",
       "COMMAND=TOBELOCK&ACTION=LOCK&NAME=taro&NAME=taro&NAME=boss&NAME=boss",
       LockResult({LockRow("taro", kLocked), LockRow("taro", kFailed), LockRow("boss", kRefused),
                   LockRow("boss", kRefused)}),
       {" -L -e 1 taro"}, {"LOCK,taro"}, false, false, "", "taro:1001:20500\n"},
      {"a failing tool", "COMMAND=GP_TOBEMEM&GNAME=staff&DELNAME=taro",
       MembersResult("staff", {MemberRow("taro", kRemove, kFailed)}), {" -r -G staff taro"}, {},
       true},
      {"a failing lock saves nothing", "COMMAND=TOBELOCK&ACTION=LOCK&NAME=taro",
       LockResult({LockRow("taro", kFailed)}), {" -L -e 1 taro"}, {}, true},
      {"no tool setting", "COMMAND=TOBELOCK&ACTION=LOCK&NAME=taro",
       LockResult({LockRow("taro", kFailed)}), {}, {}, false, true},
      {"a name both added and removed",
       "COMMAND=GP_TOBEMEM&GNAME=staff&ADDNAME=jiro&DELNAME=jiro&ADDNAME=x%24%28id%29",
       MembersResult("staff",
                     {MemberRow("jiro", kAdd, kRefused), MemberRow("jiro", kRemove, kRefused),
                      MemberRow("x$(id)", kAdd, kAdded)}),
       {" -a -G staff 'x$(id)'"},
       {"MADD,x$(id):staff"}},
      {"system, reserved, protected, repeated, unknown and option-like accounts",
       "COMMAND=GP_TOBEMEM&GNAME=staff&" + every_refused_account,
       MembersResult("staff", {MemberRow("sysacct", kAdd, kRefused),
                               MemberRow("nobody", kAdd, kRefused),
                               MemberRow("boss", kAdd, kRefused), MemberRow("twin", kAdd, kRefused),
                               MemberRow("ghost", kAdd, kRefused),
                               MemberRow("ghost", kRemove, kRefused),
                               MemberRow("--help", kRemove, kRefused),
                               MemberRow("root", kAdd, kRefused)}),
       {},
       {}},
      {"accounts that may not be locked, or have no shadow entry",
       "COMMAND=TOBELOCK&ACTION=LOCK&NAME=sysacct&NAME=nobody&NAME=boss&NAME=twin&NAME=ghost"
       "&NAME=noshadow",
       LockResult({LockRow("sysacct", kRefused), LockRow("nobody", kRefused),
                   LockRow("boss", kRefused), LockRow("twin", kRefused),
                   LockRow("ghost", kRefused), LockRow("noshadow", kRefused)}),
       {},
       {}},
      {"an ACTION that is neither LOCK nor UNLOCK",
       "COMMAND=TOBELOCK&ACTION=lock&NAME=taro&NAME=jiro",
       LockResult({LockRow("taro", kRefused), LockRow("jiro", kRefused)}), {}, {}},
      {"no ACTION", "COMMAND=TOBELOCK&NAME=taro", LockResult({LockRow("taro", kRefused)}), {}, {}},
      {"a deleted account's saved date goes with it (its home is none of its own: kept)",
       "COMMAND=WILLBEDEL&NAME=taro",
       Framed("<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
              "<CAPTION><B><FONT SIZE=\"+1\">ユーザーを削除しました。</FONT></B></CAPTION>\n"
              "<TR BGCOLOR=\"#D0D0FF\"><TH>ユーザー名</TH><TH>結果</TH></TR>\n"
              "<TR BGCOLOR=\"#FFFFFF\"><TD>taro</TD>"
              "<TD>削除しました（ホームディレクトリは残しました）。</TD></TR>\n</TABLE>\n"),
       {" taro"},
       {"DEL,taro"},
       false,
       false,
       "jiro:1002:\ntaro:1001:20500\n",
       "jiro:1002:\n"},
  };
  for (const ActionCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string& tool = c.tool_fails ? failing_ : usermod_;
    Configure(c.no_tool ? "" : tool);
    box_.WriteFile("orvanta.log", "");
    box_.WriteFile(kSaved, c.saved_before);
    CgiResult result;
    const std::vector<std::string> lines = ShellLines(Post(c.body), &result);
    EXPECT_EQ(Utf8(result.out), Utf8(c.page));
    std::vector<std::string> expected;
    for (const std::string& line : c.lines) expected.push_back(tool + line);
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(box_.LogRecords(), c.records);
    EXPECT_EQ(box_.ReadFile(kSaved), c.saved_after);
  }
}

// A tool that fails after making its change: rows and records follow what
// the databases then hold, not the exit status.
TEST_F(MembersLocksTest, AFailedToolIsJudgedByWhatItChanged) {
  const struct {
    std::string body, next_shadow, next_group, page, record, saved;
  } cases[] = {
      {"COMMAND=TOBELOCK&ACTION=LOCK&NAME=taro",
       std::regex_replace(kShadow, std::regex("taro:(.*)::20500:"), "taro:!$1::1:"), kGroup,
       LockResult({LockRow("taro", kLocked)}), "LOCK,taro", "taro:1001:20500\n"},
      {"COMMAND=GP_TOBEMEM&GNAME=staff&DELNAME=taro", kShadow,
       std::regex_replace(kGroup, std::regex("taro,ghost"), "ghost"),
       MembersResult("staff", {MemberRow("taro", kRemove, kRemoved)}), "MDEL,taro:staff", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    box_.SetAccounts(kPasswd, kGroup);
    box_.SetShadow(kShadow);
    box_.WriteFile("orvanta.log", "");
    box_.WriteFile(kSaved, "");
    // An older time than the files it replaces: nss_wrapper reads a file
    // again when its time of change differs, to the second.
    for (const auto& [name, text] : {std::pair{"shadow", c.next_shadow}, {"group", c.next_group}}) {
      box_.WriteFile(std::string("next.") + name, text);
      std::filesystem::last_write_time(box_.PathOf(std::string("next.") + name), {});
    }
    Configure("mv next.shadow test.shadow && mv next.group test.group && " + failing_);
    EXPECT_EQ(Utf8(box_.Run(Post(c.body)).out), Utf8(c.page));
    EXPECT_EQ(box_.LogRecords(), std::vector<std::string>{c.record});
    EXPECT_EQ(box_.ReadFile(kSaved), c.saved);
  }
}

// The saved dates are read only from a regular root-owned file with one
// link: nothing is locked through a link planted at its name.
TEST_F(MembersLocksTest, LockRefusesAPlantedSavedDatesFile) {
  Configure(usermod_);
  box_.WriteFile("elsewhere", "");
  std::filesystem::create_symlink(box_.PathOf("elsewhere"), box_.PathOf(kSaved));
  EXPECT_EQ(Utf8(box_.Run(Post("COMMAND=TOBELOCK&ACTION=LOCK&NAME=taro")).out),
            Utf8(LockResult({LockRow("taro", kFailed)})));
  EXPECT_TRUE(box_.CallsOf("usermod").empty());
  EXPECT_EQ(box_.ReadFile("elsewhere"), "");
}

// Groups the action would refuse change nobody, whoever is named.
TEST_F(MembersLocksTest, RefusedGroupsChangeNobody) {
  Configure(usermod_);
  for (const std::string group : {"27", "a%2Cb", "nosuch", "users", "sysgrp", "nogroup", "wheel",
                                  "dup", ""}) {
    SCOPED_TRACE(group);
    const CgiResult result =
        box_.Run(Post("COMMAND=GP_TOBEMEM&GNAME=" + group + "&ADDNAME=jiro&DELNAME=taro"));
    const bool untrusted = group == "a%2Cb";
    const std::string shown = untrusted ? "a,b" : group;
    const std::string outcome =
        untrusted ? "グループ名(a,b)は使用できない名前のため、操作できません。" : kRefused;
    EXPECT_EQ(Utf8(result.out),
              Utf8(MembersResult(shown, {MemberRow("jiro", kAdd, outcome),
                                         MemberRow("taro", kRemove, outcome)})));
  }
  EXPECT_TRUE(box_.CallsOf("usermod").empty());
  EXPECT_FALSE(box_.Exists("orvanta.log"));
}

// Every match of the pattern, in page order, as its groups joined by '='.
std::vector<std::string> AllOf(const std::string& page, const std::string& pattern) {
  const std::regex expression(pattern);
  std::vector<std::string> found;
  for (std::sregex_iterator it(page.begin(), page.end(), expression), end; it != end; ++it) {
    std::string groups = (*it)[1];
    for (size_t i = 2; i < it->size(); ++i) groups += "=" + (*it)[i].str();
    found.push_back(groups);
  }
  return found;
}

// The check boxes of a list page, as "FIELD=value".
std::vector<std::string> CheckBoxes(const std::string& page) {
  return AllOf(page, "<INPUT TYPE=\"CHECKBOX\" NAME=\"([A-Z]+)\" VALUE=\"([^\"]*)\">");
}

TEST_F(MembersLocksTest, GroupPagesOfferWhatTheActionTakes) {
  Configure(usermod_);
  // Members first (ghost has no account), then the accounts above SYSTEMUID
  // that are not: boss, twin and twin listed without a box.
  const std::string page = box_.Run(Get("COMMAND=GMEM&GNAME=staff")).out;
  EXPECT_EQ(CheckBoxes(page),
            (std::vector<std::string>{"DELNAME=taro", "ADDNAME=jiro", "ADDNAME=x$(id)",
                                      "ADDNAME=noshadow"}));
  EXPECT_EQ(AllOf(page, "</TD>\n<TD>([^<]*)</TD>\n<TD>"),
            (std::vector<std::string>{"taro", "ghost", "jiro", "x$(id)", "boss", "twin", "twin",
                                      "noshadow"}));
  EXPECT_NE(page.find("<TD>1002</TD>\n<TD NOWRAP>Jiro &lt;J&gt;</TD></TR>"), std::string::npos);
  EXPECT_NE(page.find("<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"GP_TOBEMEM\">\n"
                      "<INPUT TYPE=\"HIDDEN\" NAME=\"GNAME\" VALUE=\"staff\">\n"),
            std::string::npos);

  // The selector offers the groups the action takes, by name.
  const std::string selector = box_.Run(Get("COMMAND=GMEM")).out;
  EXPECT_EQ(AllOf(selector, "<OPTION VALUE=\"([^\"]*)\" >"),
            (std::vector<std::string>{"g;b", "staff"}));
  EXPECT_NE(selector.find("<FORM ACTION=\"./orvanta.cgi\" METHOD=\"GET\">\n"
                          "<INPUT TYPE=\"HIDDEN\" NAME=\"COMMAND\" VALUE=\"GMEM\">\n"),
            std::string::npos);

  // A group the action refuses is shown without a form or a check box.
  for (const char* group : {"wheel", "users", "27", "dup"}) {
    const std::string refused = box_.Run(Get(std::string("COMMAND=GMEM&GNAME=") + group)).out;
    EXPECT_NE(refused.find(Euc("メンバーでないユーザー")), std::string::npos) << group;
    EXPECT_EQ(refused.find("<FORM"), std::string::npos) << group;
    EXPECT_TRUE(CheckBoxes(refused).empty()) << group;
  }
  EXPECT_EQ(Utf8(box_.Run(Get("COMMAND=GMEM&GNAME=a<b")).out),
            Utf8(MessagePage("グループ(a&lt;b)は登録されていません。<BR>\n")));
}

TEST_F(MembersLocksTest, LockPageShowsStatesAndOffersWhatTheActionTakes) {
  Configure(usermod_);
  const std::string page = Utf8(box_.Run(Get("COMMAND=LOCK")).out);
  EXPECT_EQ(CheckBoxes(page), (std::vector<std::string>{"NAME=taro", "NAME=jiro", "NAME=x$(id)"}));
  // Accounts above SYSTEMUID only: taro, jiro, x$(id), boss, twin, twin,
  // noshadow; beside the state the expiry date, none for jiro's lock
  // without a saved one.
  EXPECT_EQ(AllOf(page, "<TD NOWRAP>([^<]*)</TD></TR>"),
            (std::vector<std::string>{"使用可能（有効期限 2026-02-16）", "ロック中", "パスワードのみロック", "使用可能",
                                      "使用可能", "使用可能", "不明"}));
  EXPECT_NE(page.find("<TR><TD><INPUT TYPE=\"CHECKBOX\" NAME=\"NAME\" VALUE=\"jiro\">1</TD>\n"
                      "<TD>jiro</TD>\n<TD>1002</TD>\n<TD NOWRAP>Jiro &lt;J&gt;</TD>\n"),
            std::string::npos);
  EXPECT_NE(page.find("</TABLE>\n<BR>\n"
                      "<BUTTON TYPE=\"SUBMIT\" NAME=\"ACTION\" VALUE=\"LOCK\">ロック</BUTTON>\n"
                      "<BUTTON TYPE=\"SUBMIT\" NAME=\"ACTION\" VALUE=\"UNLOCK\">ロック解除</BUTTON>\n"),
            std::string::npos);
}

}  // namespace
}  // namespace orvanta::test
