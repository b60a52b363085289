// A registration that gives the account a group of its own: the group
// first, then useradd -N -g, with the ids useradd would pick; the exact
// lines the shell gets, and the undo when useradd made nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/trace.h"

namespace orvanta::test {
namespace {

constexpr char kPasswd[] =
    "root:x:0:0:root:/root:/bin/bash\n"
    "sysacct:x:999:999::/:/bin/false\n"
    "taro:x:1001:100::/home/taro:/bin/sh\n"
    "jiro:x:1003:100::/home/jiro:/bin/sh\n"
    "far:x:70000:100::/home/far:/bin/sh\n";
constexpr char kGroups[] = "root:x:0:\nusers:x:100:\ntaken:x:1005:\nstaff:x:1100:\n";
constexpr char kUserGroups[] = "USERGROUPS_ENAB yes\n";

struct Case {
  const char* what;
  std::string login_defs;  // root/etc/login.defs
  std::string config;      // more settings
  std::string fields;      // more of the POST body
  std::vector<std::string> lines;
};

class OwnGroup {
 public:
  explicit OwnGroup(const Case& c, int useradd_exit = 0, int groupdel_exit = 0) {
    box.AddRecordingTool("useradd", useradd_exit);
    box.AddRecordingTool("groupdel", groupdel_exit);
    box.AddRecordingTool("chpasswd", 0);
    // groupadd makes the group it is asked for, as the real one does (the
    // time moved on, since nss_wrapper reads a file again only when its
    // modification second changed).
    const std::string group_file = box.PathOf("test.group");
    box.WriteFile("groupadd", "#!/bin/sh\nfor a; do n=$a; done\necho \"$n:x:4242:\" >> " +
                                  group_file + "\ntouch -d @$(($(date +%s) + 5)) " + group_file +
                                  "\n");
    chmod(box.PathOf("groupadd").c_str(), 0755);
    box.SetAccounts(kPasswd, kGroups);
    // root/etc is the tree LOGIN_DEFS names; tree/etc that of a --prefix.
    std::filesystem::create_directories(box.PathOf("root/etc"));
    std::filesystem::create_directories(box.PathOf("tree/etc"));
    box.WriteFile("root/etc/login.defs", c.login_defs);
    box.WriteFile("tree/etc/login.defs", kUserGroups);
    box.SetConfig(Fill("USERADD=@/useradd\nGROUPADD=@/groupadd\nGROUPDEL=@/groupdel\n"
                       "CHPASSWD=@/chpasswd\nSYSTEMUID=999\nSYSTEMGID=999\nSHELL1=/bin/sh\n" +
                       c.config));
  }

  std::string Fill(std::string text) const {
    for (size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, box.dir());
    return text;
  }

  // The lines the shell got, and the page.
  std::vector<std::string> Run(const std::string& body, std::string* page = nullptr) const {
    const CgiResult result = box.Run(Post(body), StraceArgs(box.PathOf("trace")));
    if (page != nullptr) *page = Utf8(result.out);
    return ShellCommandLines(box.ReadFile("trace"));
  }

  CgiSandbox box;
};

constexpr char kRegistration[] = "COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&SHELL=/bin/sh";

TEST(OwnGroupTest, GroupFirstWithTheIdsUseraddWouldPick) {
  const std::string old_line = "@/useradd  -d /home/hanako -s /bin/sh hanako";
  const std::vector<Case> cases = {
      {"above the highest uid of the range; its gid free", kUserGroups, "", "",
       {"@/groupadd  -g 1004 hanako",
        "@/useradd  -d /home/hanako -N -g hanako -s /bin/sh -u 1004 hanako"}},
      {"the uid's gid taken: groupadd picks", std::string(kUserGroups) + "UID_MIN 1005\n", "", "",
       {"@/groupadd  hanako",
        "@/useradd  -d /home/hanako -N -g hanako -s /bin/sh -u 1005 hanako"}},
      {"the highest used is the range's top: the lowest free",
       std::string(kUserGroups) + "UID_MIN 1001\nUID_MAX 1003\n", "", "",
       {"@/groupadd  -g 1002 hanako",
        "@/useradd  -d /home/hanako -N -g hanako -s /bin/sh -u 1002 hanako"}},
      {"the uid above GID_MAX", std::string(kUserGroups) + "GID_MAX 1003\n", "", "",
       {"@/groupadd  hanako",
        "@/useradd  -d /home/hanako -N -g hanako -s /bin/sh -u 1004 hanako"}},
      {"an empty range (UID_MIN 2000), comment and expiry",
       std::string(kUserGroups) + "UID_MIN\t2000 # a comment\n", "",
       "&GCOS=Hanako&EXPIRE=2027-03-31",
       {"@/groupadd  -g 2000 hanako",
        "@/useradd  -c 'Hanako'  -d /home/hanako -N -g hanako -s /bin/sh -u 2000 "
        "-e 2027-03-31 hanako"}},
      {"uid typed", kUserGroups, "", "&UID=1500",
       {"@/groupadd  -g 1500 hanako",
        "@/useradd  -d /home/hanako -N -g hanako -s /bin/sh -u 1500 hanako"}},
      {"no free uid: useradd's to report", std::string(kUserGroups) + "UID_MIN 1001\nUID_MAX 1001\n",
       "", "", {old_line}},
      {"USERGROUPS_ENAB no", "USERGROUPS_ENAB no\n", "", "", {old_line}},
      {"no login.defs", "", "", "", {old_line}},
      {"group typed", kUserGroups, "", "&GID=staff",
       {"@/useradd  -d /home/hanako -g staff -s /bin/sh hanako"}},
      {"OPTION handles the groups", kUserGroups, "OPTION=-m -K USERGROUPS_ENAB=no\n", "",
       {"@/useradd  -d /home/hanako -s /bin/sh -m -K USERGROUPS_ENAB=no  hanako"}},
      {"OPTION with -N among short options", kUserGroups, "OPTION=-mN\n", "",
       {"@/useradd  -d /home/hanako -s /bin/sh -mN  hanako"}},
      {"login.defs of the tool's --prefix", "", "USERADD=@/useradd --prefix=@/tree\nLOGIN_DEFS=\n",
       "", {"@/groupadd  -g 1004 hanako", "@/useradd --prefix=@/tree  -d /home/hanako -N -g hanako "
           "-s /bin/sh -u 1004 hanako"}},
  };
  for (const Case& c : cases) {
    OwnGroup bench(c);

    std::vector<std::string> expected;
    for (const std::string& line : c.lines) expected.push_back(bench.Fill(line));
    expected.push_back(bench.Fill("@/chpasswd -e"));
    EXPECT_EQ(bench.Run(kRegistration + c.fields), expected) << c.what;
    EXPECT_EQ(bench.box.LogRecords(), std::vector<std::string>{"ADD,hanako"}) << c.what;
  }
}

// useradd made nothing: the group goes again; when even that fails, the
// page and the record say that the group stays.
TEST(OwnGroupTest, GroupGoesAgainWhenUseraddMadeNothing) {
  for (const int groupdel_exit : {0, 1}) {
    OwnGroup bench({"", kUserGroups, "", "", {}}, 1, groupdel_exit);
    std::string page;
    EXPECT_EQ(bench.Run(kRegistration, &page),
              (std::vector<std::string>{
                  bench.Fill("@/groupadd  -g 1004 hanako"),
                  bench.Fill("@/useradd  -d /home/hanako -N -g hanako -s /bin/sh -u 1004 hanako"),
                  bench.Fill("@/groupdel hanako")}));
    EXPECT_NE(page.find(groupdel_exit == 0
                            ? "ユーザーの登録に失敗しました。<BR>"
                            : "ユーザーの登録に失敗しました。グループ(hanako)は登録されたまま残っています。"),
              std::string::npos);
    EXPECT_EQ(bench.box.LogRecords(), groupdel_exit == 0 ? std::vector<std::string>{}
                                                         : std::vector<std::string>{"GADD,hanako"});
  }
}

}  // namespace
}  // namespace orvanta::test
