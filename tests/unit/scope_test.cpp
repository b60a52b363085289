// Operator scopes: the parser, the refusals of every page and action
// outside a scope, what a scope fills in, and the lists and menu it shows.
#include <gtest/gtest.h>

#include <fstream>

#include "app/app.h"
#include "tests/support/euc.h"
#include "tests/support/program_state.h"

namespace orvanta::test {
namespace {

constexpr char kTeacher[] = "groups=class;uids=2000-2999;actions=add,batch,mod,del,lock";

TEST(ScopeParse, TakesWellFormedScopesAndRefusesTheRest) {
  for (const char* good : {"*", "groups=class,club", "uids=10-20", "actions=", "actions=view,log",
                           kTeacher, "uids=0-4294967295"}) {
    EXPECT_TRUE(OperatorScope::Parse(good)) << good;
  }
  for (const char* bad : {"", "**", "groups=", "groups=a,,b", "groups=a b", "uids=20-10", "uids=5",
                          "uids=1-4294967296", "uids=-5", "uids= 1-5", "actions=fly",
                          "actions=add,", "groups=a;groups=b", "colour=red", "groups=a;",
                          "*;groups=a", "GROUPS=a"}) {
    EXPECT_FALSE(OperatorScope::Parse(bad)) << bad;
  }
  const OperatorScope teacher = *OperatorScope::Parse(kTeacher);
  EXPECT_TRUE(teacher.MayDo(Action::Batch));
  EXPECT_FALSE(teacher.MayDo(Action::View));
  EXPECT_TRUE(teacher.OwnsUid(2999));
  EXPECT_FALSE(teacher.OwnsUid(3000));
  EXPECT_FALSE(teacher.OwnsGroupName("club"));
  EXPECT_TRUE(OperatorScope::Parse("uids=1-2")->MayDo(Action::Log));
  // Keys and weak passwords only by everything or by name.
  for (const auto& [scope, keys] : {std::pair{"*", true}, {"actions=mod,keys,weakpw", true},
                                    {"uids=1-2", false}, {kTeacher, false}}) {
    EXPECT_EQ(OperatorScope::Parse(scope)->MayDo(Action::Keys), keys) << scope;
    EXPECT_EQ(OperatorScope::Parse(scope)->MayDo(Action::WeakPw), keys) << scope;
  }
}

class ScopeTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    Users({{"kid", 2001, 500, "", "/home/kid", "/bin/sh"},
           {"other", 3001, 100, "", "/home/other", "/bin/sh"},
           {"older", 1500, 500, "", "/home/older", "/bin/sh"}});
    Groups({{"users", 100}, {"class", 500}});
    Params({{"REQUEST_METHOD", "POST"}, {"USERADD", "/usr/sbin/useradd"},
            {"USERMOD", "/usr/sbin/usermod"}, {"USERDEL", "/usr/sbin/userdel"},
            {"GROUPADD", "/usr/sbin/groupadd"}, {"GROUPDEL", "/usr/sbin/groupdel"},
            {"SYSTEMUID", "999"}, {"SYSTEMGID", "99"}, {"SHELL1", "/bin/sh"},
            {"SHELL", "/bin/sh"}, {"PASS", "abc123"}});
    audit.clear();
    SetAuditWriter([this](int, const std::string& line) { audit.push_back(line); });
  }
  void TearDown() override {
    SetAuditWriter(nullptr);
    SetCurrentOperator({"", "*"});
    ProgramTest::TearDown();
  }
  std::string Run(const std::string& scope, const std::map<std::string, std::string>& fields,
                  const std::string& request_text = "") {
    SetCurrentOperator({"teacher", scope});
    Params(fields);
    gRequestText = request_text;
    return Capture([] {
      CheckOperatorScope();
      Dispatch();
    });
  }
  std::vector<std::string> audit;
};

TEST_F(ScopeTest, RefusesEveryActionOutsideTheScopeAndRunsNothing) {
  struct Case {
    const char* scope;
    std::map<std::string, std::string> fields;
    std::string request_text;
    const char* named;
  };
  const std::vector<Case> cases = {
      {kTeacher, {{"COMMAND", "WILLBEADD"}, {"NAME", "x"}, {"GID", "users"}}, "", "x"},
      {kTeacher, {{"COMMAND", "WILLBEADD"}, {"NAME", "x"}, {"UID", "3500"}}, "", "x"},
      {kTeacher, {{"COMMAND", "WILLBEMOD"}, {"NAME", "other"}}, "", "other"},
      {kTeacher, {{"COMMAND", "TOBEMOD"}, {"NAME", "older"}}, "", "older"},
      {kTeacher, {{"COMMAND", "TOBEMOD"}, {"NAME", "kid"}, {"CHKUID", ""}, {"UID", "3000"}}, "",
       "kid"},
      {kTeacher, {{"COMMAND", "TOBEMOD"}, {"NAME", "kid"}, {"CHKGID", ""}, {"GID", "100"}}, "",
       "kid"},
      {kTeacher, {{"COMMAND", "WILLBEDEL"}}, "COMMAND=WILLBEDEL&NAME=kid&NAME=other", "other"},
      {kTeacher, {{"COMMAND", "WILLBEDEL"}}, "COMMAND=WILLBEDEL&NAME=nosuch", "nosuch"},
      {kTeacher, {{"COMMAND", "TOBELOCK"}, {"ACTION", "LOCK"}}, "NAME=other", "other"},
      {kTeacher, {{"COMMAND", "TOBEAGED"}, {"NAME", "kid"}, {"FORCE", "on"}}, "", ""},
      {"actions=age;groups=class", {{"COMMAND", "TOBEAGED"}, {"NAME", "other"}, {"FORCE", "on"}},
       "", "other"},
      {kTeacher, {{"COMMAND", "GP_WILLBEADD"}, {"GNAME", "class"}}, "", ""},
      {"groups=class;actions=group", {{"COMMAND", "GP_WILLBEADD"}, {"GNAME", "club"}}, "",
       "club"},
      {"groups=class;actions=group", {{"COMMAND", "GP_WILLBEDEL"}}, "GNAME=users", "users"},
      {"groups=class;actions=member", {{"COMMAND", "GP_TOBEMEM"}, {"GNAME", "class"}},
       "ADDNAME=other", "other"},
      {"groups=class;actions=member", {{"COMMAND", "GP_TOBEMEM"}, {"GNAME", "users"}},
       "ADDNAME=kid", "users"},
      {kTeacher, {{"REQUEST_METHOD", "GET"}, {"COMMAND", "GDEL"}}, "", ""},
      {kTeacher, {{"REQUEST_METHOD", "GET"}, {"COMMAND", "GMEM"}}, "", ""},
      {"actions=add", {{"COMMAND", "WILLBEADD"}, {"NAME", "x"}, {"WEAKPW", "on"}}, "", "x"},
      {"actions=mod",
       {{"COMMAND", "TOBEMOD"}, {"NAME", "kid"}, {"CHKPASS", ""}, {"WEAKPW", "on"}}, "", "kid"},
      {"actions=batch", {{"COMMAND", "BATCHADD"}, {"LINES", "x,abc123"}, {"WEAKPW", "on"}}, "",
       ""},
  };
  for (const Case& test_case : cases) {
    Reset();
    const std::string page = Run(test_case.scope, test_case.fields, test_case.request_text);
    const std::string label = test_case.fields.at("COMMAND") + " " + test_case.request_text;
    EXPECT_NE(page.find(Euc("この操作は許可されていません。")), std::string::npos) << label;
    EXPECT_TRUE(commands.empty()) << label;
    ASSERT_EQ(audit.size(), 1u) << label;
    EXPECT_NE(audit[0].find(" command=" + test_case.fields.at("COMMAND") + " name=" +
                            test_case.named + " result=refused-by-scope"),
              std::string::npos)
        << label << ": " << audit[0];
  }
}

TEST_F(ScopeTest, AMalformedScopeGetsTheLoginPage) {
  const std::string page = Run("groups=", {{"COMMAND", "VIEW"}});
  EXPECT_EQ(page.rfind("Status: 401 Unauthorized\nWWW-Authenticate: Basic realm=\"orvanta\", "
                       "charset=\"UTF-8\"\n", 0), 0u) << page;
  EXPECT_NE(page.find(Euc("ログインしてください。")), std::string::npos);
}

TEST_F(ScopeTest, FillsAnEmptyUidAndGroupFromTheScope) {
  Run(kTeacher, {{"COMMAND", "WILLBEADD"}, {"NAME", "newkid"}});
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands[0], "/usr/sbin/useradd  -d /home/newkid -g class -s /bin/sh -u 2000 newkid");
  Reset();
  const std::string page = Run(kTeacher, {{"COMMAND", "BATCHADD"}, {"DIR", "/home/"},
                 {"LINES", "aaa,abc123\nbbb,abc123,,users\nccc,abc123"}});
  EXPECT_NE(page.find(Euc("<TD>bbb</TD><TD>この操作は許可されていません。</TD>")), std::string::npos);
  EXPECT_EQ(commands, (std::vector<std::string>{
                          "/usr/sbin/useradd  -d /home/aaa -g class -s /bin/sh -u 2000 aaa",
                          "/usr/sbin/chpasswd -e",
                          "/usr/sbin/useradd  -d /home/ccc -g class -s /bin/sh -u 2002 ccc",
                          "/usr/sbin/chpasswd -e"}));
}

TEST_F(ScopeTest, ListsAndMenuShowOnlyWhatTheOperatorMayActOn) {
  struct Case {
    const char* scope;
    const char* command;
    std::vector<std::string> shown, hidden;
  };
  const std::vector<Case> cases = {
      {kTeacher, "VIEW", {">kid<"}, {">other<", ">older<"}},
      {"groups=class;actions=view", "VIEW", {">kid<", ">other<"}, {}},
      {kTeacher, "MOD", {"VALUE=\"kid\""}, {">other<"}},
      {kTeacher, "LOCK", {">kid<"}, {">other<"}},
      {"groups=class", "GVIEW", {"<TD>class</TD>", "<TD>users</TD>"}, {}},
      {"groups=class;actions=group", "GDEL", {"<TD>class</TD>"}, {"<TD>users</TD>"}},
      {kTeacher, "MENU", {"COMMAND=BATCH\"", "COMMAND=LOCK\"", "COMMAND=LOG\""},
       {"COMMAND=GADD\"", "COMMAND=GMEM\"", "COMMAND=AGE\""}},
  };
  for (const Case& test_case : cases) {
    Reset();
    const std::string page =
        Run(test_case.scope, {{"REQUEST_METHOD", "GET"}, {"COMMAND", test_case.command}});
    for (const std::string& text : test_case.shown) {
      EXPECT_NE(page.find(text), std::string::npos) << test_case.command << " " << text;
    }
    for (const std::string& text : test_case.hidden) {
      EXPECT_EQ(page.find(text), std::string::npos) << test_case.command << " " << text;
    }
  }
}

// Without the log action the history is the operator's own records only,
// whatever OPERATOR asks for.
TEST_F(ScopeTest, HistoryWithoutTheLogActionShowsOnlyTheOperatorsRecords) {
  const std::string log = testing::TempDir() + "scope_history.log";
  std::ofstream(log) << "ADD,kid,10.0.0.1,2026/12/01 10:00,teacher\n"
                        "DEL,other,10.0.0.2,2026/12/01 11:00,admin\n";
  for (const auto& [scope, sees_admin] : {std::pair{kTeacher, false}, {"actions=log", true}}) {
    Reset();
    const std::string page = Run(scope, {{"REQUEST_METHOD", "GET"}, {"COMMAND", "LOG"},
                                         {"OPERATOR", "admin"}, {"LOGFILE", log}});
    EXPECT_EQ(page.find(">other<") != std::string::npos, sees_admin) << scope;
    EXPECT_EQ(page.find(">kid<") != std::string::npos, !sees_admin) << scope;
  }
}

}  // namespace
}  // namespace orvanta::test
