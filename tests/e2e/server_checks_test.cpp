// The forms' checks repeated by orvanta.cgi on hand-made requests, the id and
// group rules, the accounts no request may change, and the password hashes.
#include <crypt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

std::string FormValue(const std::string& bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : bytes) {
    out += '%';
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

// Fields as a form would post them, values given in UTF-8 and sent as EUC-JP.
std::string Body(const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    body += (body.empty() ? "" : "&") + name + "=" + FormValue(Euc(value));
  }
  return body;
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next;
  }
  return out;
}

std::string LineBreaksAsHtml(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("<BR>\n") : std::string(1, c);
  return out;
}

struct FieldCase {
  std::string check, value, system, script, server;
};

std::vector<FieldCase> SharedFieldCases() {
  std::ifstream in(std::string(ORVANTA_SOURCE_DIR) + "/tests/data/field_checks.tsv");
  std::vector<FieldCase> cases;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> columns;
    std::istringstream split(line);
    for (std::string column; std::getline(split, column, '\t');) columns.push_back(Unescape(column));
    if (line.back() == '\t') columns.emplace_back();
    EXPECT_EQ(columns.size(), 5u) << line;
    if (columns.size() == 5) {
      cases.push_back({columns[0], columns[1], columns[2], columns[3], columns[4]});
    }
  }
  return cases;
}

class ServerChecks : public ::testing::Test {
 protected:
  ServerChecks() {
    for (const char* tool : {"useradd", "usermod", "userdel", "groupadd", "groupdel", "chage"}) {
      box_.AddRecordingTool(tool, 0);
    }
    box_.SetShadow("taro:x:19000:0:99999:7:::\n");
    box_.SetAccounts(
        "root:x:0:0:root:/root:/bin/bash\n"
        "nobody:x:65534:65534:nobody:/nonexistent:/usr/sbin/nologin\n"
        "taro:x:1010:100:Taro:/home/taro:/bin/sh\n"
        "admin:x:1002:1100::/home/admin:/bin/sh\n"
        "keeper:x:1003:4::/home/keeper:/bin/sh\n"
        "twice:x:1004:1100::/home/twice:/bin/sh\n"
        "twice:x:1005:1100::/home/twice2:/bin/sh\n"
        "big:x:3000000000:1100::/home/big:/bin/sh\n",
        "root:x:0:\n"
        "adm:x:4:\n"
        "sudo:x:27:admin\n"
        "users:x:100:\n"
        "staff:x:1100:\n"
        "0:x:1200:\n"
        "nogroup:x:65534:\n"
        "dup:x:1300:\n"
        "dup:x:1301:\n"
        "admins:x:1400:\n");
  }

  void Configure(const std::string& extra) const {
    std::string config;
    for (const char* key : {"USERADD", "USERMOD", "USERDEL", "GROUPADD", "GROUPDEL", "CHAGE"}) {
      std::string tool(key);
      for (char& c : tool) c = static_cast<char>(std::tolower(c));
      config += std::string(key) + "=" + box_.PathOf(tool) + "\n";
    }
    box_.SetConfig(config + "SHELL1=/bin/sh\n" + extra);
  }

  size_t Calls(const std::string& tool) const { return box_.CallsOf(tool).size(); }

  CgiSandbox box_;
};

std::vector<std::pair<std::string, std::string>> Registration(const std::string& field,
                                                              const std::string& value) {
  std::vector<std::pair<std::string, std::string>> fields = {
      {"COMMAND", "WILLBEADD"}, {"NAME", "hanako"}, {"PASS", "abc123"}, {"UID", ""},
      {"GID", "staff"},         {"GCOS", "Hanako"}, {"DIR", "/home/"}, {"SHELL", "/bin/sh"},
      {"EXPIRE", ""}};
  for (auto& [name, old] : fields) {
    if (name == field) old = value;
  }
  return fields;
}

// Every case of the scripts' table, sent as a hand-made request: the server
// refuses with the script's message, or lets the value through to the tool.
TEST_F(ServerChecks, RepeatsEveryFieldCheckOfTheForms) {
  const std::map<std::string, std::string> field_of = {
      {"CheckName", "NAME"},      {"CheckPass", "PASS"},       {"CheckPass64", "PASS"},
      {"ChkUid", "UID"},          {"ChkGcos", "GCOS"},         {"ChkDir", "DIR"},
      {"CheckGName", "GNAME"},    {"ChkGid", "GID"},           {"ChkExpire", "EXPIRE"},
      {"ChkMaxDays", "MAXDAYS"},  {"ChkMinDays", "MINDAYS"},   {"ChkWarnDays", "WARNDAYS"},
      {"ChkInactDays", "INACTDAYS"}};
  // The ageing form's boxes; its expiry is sent there too.
  const std::map<std::string, std::string> box_of = {{"MAXDAYS", "CHKMAX"},
                                                     {"MINDAYS", "CHKMIN"},
                                                     {"WARNDAYS", "CHKWARN"},
                                                     {"INACTDAYS", "CHKINACT"},
                                                     {"EXPIRE", "CHKEXPIRE"}};
  const std::vector<FieldCase> cases = SharedFieldCases();
  ASSERT_GT(cases.size(), 100u);
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(c.check + " [" + c.value + "] system [" + c.system + "]");
    ASSERT_EQ(field_of.count(c.check), 1u);
    const bool group = c.check == "CheckGName" || c.check == "ChkGid";
    const std::string system = c.system == "-" ? "999" : c.system;
    std::string settings = "SYSTEMGID=999\nSYSTEMUID=" + system + "\n";
    if (c.check == "ChkGid") settings = "SYSTEMUID=999\nSYSTEMGID=" + system + "\n";
    if (c.check == "CheckPass64") settings += "USE_CRYPT=YES\nCRYPT_METHOD=SHA512\n";
    Configure(settings);
    std::filesystem::remove(box_.PathOf("useradd.calls"));
    std::filesystem::remove(box_.PathOf("groupadd.calls"));
    std::filesystem::remove(box_.PathOf("chage.calls"));
    const std::string field = field_of.at(c.check);
    std::vector<std::string> bodies = {
        group ? Body({{"COMMAND", "GP_WILLBEADD"},
                      {"GNAME", field == "GNAME" ? c.value : "devel"},
                      {"GID", field == "GID" ? c.value : ""}})
              : Body(Registration(field, c.value))};
    std::vector<std::string> tools = {group ? "groupadd" : "useradd"};
    if (box_of.count(field) != 0) {
      const std::string ageing =
          Body({{"COMMAND", "TOBEAGED"}, {"NAME", "taro"}, {box_of.at(field), "on"},
                {field, c.value}});
      bodies = field == "EXPIRE" ? std::vector{bodies[0], ageing} : std::vector{ageing};
      tools = field == "EXPIRE" ? std::vector<std::string>{"useradd", "chage"}
                                : std::vector<std::string>{"chage"};
    }
    const std::string expected = c.server == "=" ? c.script : c.server;
    for (size_t i = 0; i < bodies.size(); ++i) {
      const CgiResult result = box_.Run(Post(bodies[i]));
      if (expected.empty()) {
        EXPECT_EQ(Calls(tools[i]), 1u) << Utf8(result.out);
      } else {
        EXPECT_EQ(Utf8(result.out), Utf8(MessagePage(LineBreaksAsHtml(expected) + "<BR>\n")));
        EXPECT_EQ(Calls(tools[i]), 0u);
      }
    }
  }
}

// The user forms' GID names a group as the tools read -g: digits only are a
// gid, anything else a name. A modification may keep the account's group.
TEST_F(ServerChecks, GroupRuleOfTheUserForms) {
  Configure("SYSTEMUID=999\nSYSTEMGID=999\nPROTECTED_GROUPS=sudo admins wheel\n");
  struct Case {
    const char* command;
    const char* gid;
    const char* message;  // "" when the tool runs
  };
  const char* kBelow = "グループＩＤ(%s)がシステムＩＤ(999)以下です。<BR>\n登録できません。<BR>\n";
  auto below = [&](const std::string& k) {
    std::string text = kBelow;
    return text.replace(text.find("%s"), 2, k);
  };
  const std::vector<Case> cases = {
      {"WILLBEADD", "staff", ""},
      {"WILLBEADD", "1100", ""},
      {"WILLBEADD", "01100", ""},
      {"WILLBEADD", "000000001100", ""},
      {"WILLBEADD", "users", "100"},
      {"WILLBEADD", "100", "100"},
      {"WILLBEADD", "0", "0"},       // digits: gid 0, not the group named "0"
      {"WILLBEADD", "1200", ""},     // the group named "0", by its number
      {"WILLBEADD", "sudo", "27"},
      {"WILLBEADD", "nogroup", "reserved"},
      {"WILLBEADD", "ghost", "missing"},
      {"WILLBEADD", "4294967296", "missing"},
      {"WILLBEADD", "admins", "protected"},
      {"WILLBEADD", "1400", "protected"},
      {"TOBEMOD", "users", ""},      // taro's own group
      {"TOBEMOD", "100", ""},
      {"TOBEMOD", "adm", "4"},
      {"TOBEMOD", "1100", ""},
      {"TOBEMOD", "ghost", "missing"},
      {"TOBEMOD", "admins", "protected"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.command) + " GID=" + c.gid);
    for (const char* tool : {"useradd", "usermod"}) {
      std::filesystem::remove(box_.PathOf(std::string(tool) + ".calls"));
    }
    const bool add = std::string(c.command) == "WILLBEADD";
    const std::string body =
        add ? Body(Registration("GID", c.gid))
            : Body({{"COMMAND", "TOBEMOD"}, {"NAME", "taro"}, {"CHKGID", "on"}, {"GID", c.gid}});
    const CgiResult result = box_.Run(Post(body));
    const std::string message = c.message;
    std::string expected;
    if (message == "missing") {
      expected = std::string("グループ(") + c.gid + ")は登録されていません。<BR>\n";
    } else if (message == "protected") {
      expected = std::string("グループ(") + c.gid + ")は使用できません。<BR>\n";
    } else if (message == "reserved") {
      expected = "グループＩＤ(65534)は使用できません。<BR>\n登録できません。<BR>\n";
    } else if (!message.empty()) {
      expected = below(message);
    }
    if (expected.empty()) {
      EXPECT_EQ(Calls(add ? "useradd" : "usermod"), 1u) << Utf8(result.out);
    } else {
      EXPECT_EQ(Utf8(result.out), Utf8(MessagePage(expected)));
      EXPECT_EQ(Calls(add ? "useradd" : "usermod"), 0u);
    }
  }
}

// A modification may keep the account's uid, whatever the threshold, and is
// held to the id rules for any other; unticked fields are not checked.
TEST_F(ServerChecks, ModificationChecksOnlyTheTickedFields) {
  Configure("SYSTEMUID=1005\nSYSTEMGID=999\n");
  struct Case {
    std::vector<std::pair<std::string, std::string>> fields;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{{"CHKSHELL", "on"}, {"SHELL", "/bin/sh"}, {"PASS", ""}, {"UID", "x"}, {"GCOS", ":"},
        {"DIR", ":"}},
       ""},
      {{{"CHKUID", "on"}, {"UID", "1010"}}, ""},
      {{{"CHKUID", "on"}, {"UID", "1005"}},
       "ユーザーＩＤ(1005)がシステムＩＤ(1005)以下です。<BR>\n登録できません。"},
      {{{"CHKUID", "on"}, {"UID", "65535"}}, "ユーザーＩＤ(65535)は使用できません。<BR>\n登録できません。"},
      {{{"CHKPASS", "on"}, {"PASS", ""}}, "パスワードが入力されていません。"},
      {{{"CHKPASS", "on"}, {"CHKUID", "on"}, {"PASS", "aaaaaa"}, {"UID", "x"}},
       "パスワードが単純すぎます。<BR>\nアルファベットと数字等を混ぜてください。"},
      {{{"CHKGCOS", "on"}, {"CHKDIR", "on"}, {"GCOS", "a:b"}, {"DIR", "a b"}},
       "コメントに不正な文字(:)が含まれています"},
      {{{"CHKDIR", "on"}, {"DIR", "/x:y/"}}, "ホームディレクトリに不正な文字(:)が含まれています"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(box_.PathOf("usermod.calls"));
    std::vector<std::pair<std::string, std::string>> fields = {{"COMMAND", "TOBEMOD"},
                                                               {"NAME", "taro"}};
    fields.insert(fields.end(), c.fields.begin(), c.fields.end());
    const CgiResult result = box_.Run(Post(Body(fields)));
    SCOPED_TRACE(Body(fields));
    if (c.message.empty()) {
      EXPECT_EQ(Calls("usermod"), 1u) << Utf8(result.out);
    } else {
      EXPECT_EQ(Utf8(result.out), Utf8(MessagePage(c.message + "<BR>\n")));
      EXPECT_EQ(Calls("usermod"), 0u);
    }
  }
}

// Members of a protected group (by primary group or membership), names the
// database yields twice, and reserved ids are never offered, never changed
// and never deleted.
TEST_F(ServerChecks, ProtectedAccountsAndGroupsAreOutOfReach) {
  const std::string no_user = Utf8(MessagePage("ユーザーが選択されていません<BR>\n<BR>\n"));
  for (const std::string& extra : {std::string(""), std::string("PROTECTED_GROUPS=adm\n")}) {
    Configure("SYSTEMUID=999\nSYSTEMGID=999\n" + extra);
    const bool sudo_protected = extra.empty();
    struct Case {
      std::string name;
      bool changeable;
    };
    const std::vector<Case> accounts = {{"taro", true},     {"admin", !sudo_protected},
                                        {"keeper", false},  {"twice", false},
                                        {"nobody", false},  {"big", true}};
    const std::string list = box_.Run(Get("COMMAND=DEL")).out;
    for (const Case& account : accounts) {
      SCOPED_TRACE(account.name + " with [" + extra + "]");
      const std::string box = "<INPUT TYPE=\"CHECKBOX\" NAME=\"NAME\" VALUE=\"" + account.name + "\">";
      EXPECT_EQ(list.find(box) != std::string::npos, account.changeable);
      const std::string form = Utf8(box_.Run(Post("COMMAND=WILLBEMOD&NAME=" + account.name)).out);
      EXPECT_EQ(form == no_user, !account.changeable);
      std::filesystem::remove(box_.PathOf("userdel.calls"));
      box_.Run(Post("COMMAND=WILLBEDEL&NAME=" + account.name));
      EXPECT_EQ(Calls("userdel"), account.changeable ? 1u : 0u);
    }
  }
  EXPECT_NE(box_.Run(Get("COMMAND=VIEW")).out.find("<TD>3000000000</TD>\n<TD>1100(staff)</TD>"),
            std::string::npos);

  // A protected group above SYSTEMGID is neither offered nor deleted.
  Configure("SYSTEMUID=999\nSYSTEMGID=999\nPROTECTED_GROUPS=adm admins\n");
  const std::string groups = box_.Run(Get("COMMAND=GDEL")).out;
  for (const auto& [group, offered] : std::vector<std::pair<std::string, bool>>{
           {"staff", true}, {"dup", false}, {"nogroup", false}, {"users", false},
           {"admins", false}}) {
    SCOPED_TRACE(group);
    EXPECT_EQ(groups.find("VALUE=\"" + group + "\">") != std::string::npos, offered);
    std::filesystem::remove(box_.PathOf("groupdel.calls"));
    box_.Run(Post("COMMAND=GP_WILLBEDEL&GNAME=" + group));
    EXPECT_EQ(Calls("groupdel"), offered ? 1u : 0u);
  }
  const std::string add_form = box_.Run(Get("COMMAND=ADD")).out;
  EXPECT_EQ(add_form.find("VALUE=\"nogroup\""), std::string::npos);
  EXPECT_NE(add_form.find("VALUE=\"staff\""), std::string::npos);
  EXPECT_EQ(add_form.find("VALUE=\"admins\""), std::string::npos);
}

// A tool that exits non-zero may still have made its change (useradd whose
// home could not be made, exit 12): the database after it decides the page
// and the record. The stand-ins replace the files, as the real tools do.
TEST_F(ServerChecks, AFailedToolIsJudgedByWhatTheDatabaseHoldsNow) {
  const std::string passwd = box_.PathOf("test.passwd");
  const std::string group = box_.PathOf("test.group");
  const std::string shadow = box_.PathOf("test.shadow");
  const auto rewrite = [](const std::string& file, const std::string& edit) {
    return edit + " '" + file + "' > '" + file + ".new' && mv '" + file + ".new' '" + file + "'\n";
  };
  struct Case {
    const char* what;
    const char* tool;
    std::string edit;  // what the stand-in does to the files before it fails
    std::string body;
    std::string shown;  // UTF-8 text the page shows
    std::vector<std::string> records;
  };
  const std::vector<Case> cases = {
      {"useradd made the account", "useradd",
       rewrite(passwd, "{ cat; echo 'hanako:x:1500:1100::/home/hanako:/bin/sh'; } <"),
       Body(Registration("UID", "1500")), "ユーザー登録しました。", {"ADD,hanako"}},
      {"useradd made nothing", "useradd", "", Body(Registration("UID", "1500")),
       "ユーザーの登録に失敗しました。", {}},
      {"usermod changed the shell", "usermod",
       rewrite(passwd, "sed 's|^taro:\\(.*\\):/bin/sh$|taro:\\1:/bin/false|'"),
       "COMMAND=TOBEMOD&NAME=taro&CHKSHELL=on&SHELL=/bin/false", "ユーザー情報を変更しました。",
       {"MOD,taro"}},
      {"usermod changed nothing", "usermod", "",
       "COMMAND=TOBEMOD&NAME=taro&CHKSHELL=on&SHELL=/bin/false", "ユーザー情報変更に失敗しました。",
       {}},
      {"groupadd made the group", "groupadd",
       rewrite(group, "{ cat; echo 'devel:x:1500:'; } <"), "COMMAND=GP_WILLBEADD&GNAME=devel&GID=",
       "グループ登録しました。", {"GADD,devel"}},
      {"groupdel removed the group", "groupdel", rewrite(group, "grep -v '^staff:'"),
       "COMMAND=GP_WILLBEDEL&GNAME=staff", "<TD>staff</TD><TD>削除しました。</TD>",
       {"GDEL,staff"}},
      {"groupdel removed nothing", "groupdel", "", "COMMAND=GP_WILLBEDEL&GNAME=staff",
       "<TD>staff</TD><TD>削除できませんでした。</TD>", {}},
      {"chage wrote every ticked value", "chage",
       rewrite(shadow, "sed 's|^taro:x:19000:0:99999:|taro:x:0:0:90:|'"),
       "COMMAND=TOBEAGED&NAME=taro&CHKMAX=on&MAXDAYS=90&FORCE=on", "パスワード期限を変更しました。",
       {"AGE,taro"}},
      {"chage wrote only some", "chage", rewrite(shadow, "sed 's|^taro:x:19000:|taro:x:0:|'"),
       "COMMAND=TOBEAGED&NAME=taro&CHKMAX=on&MAXDAYS=90&FORCE=on",
       "パスワード期限の変更に失敗しました。", {}},
  };
  Configure("SYSTEMUID=999\nSYSTEMGID=999\nSHELL2=/bin/false\n");
  const std::string passwd_before = box_.ReadFile("test.passwd");
  const std::string group_before = box_.ReadFile("test.group");
  const std::string shadow_before = box_.ReadFile("test.shadow");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    box_.WriteFile("test.passwd", passwd_before);
    box_.WriteFile("test.group", group_before);
    box_.WriteFile("test.shadow", shadow_before);
    std::filesystem::remove(box_.PathOf("orvanta.log"));
    box_.WriteFile(c.tool, "#!/bin/sh\n" + c.edit + "exit 1\n");
    const std::string out = Utf8(box_.Run(Post(c.body)).out);
    EXPECT_NE(out.find(c.shown), std::string::npos) << out;
    EXPECT_EQ(box_.LogRecords(), c.records);
  }
}

// A home lies strictly below HOME_ROOTS and is reached from HOME_CHECK_ROOT
// (the sandbox's root/) through root's directories, none a link; a new one
// is nowhere yet and no other account's. A refusal runs no tool.
TEST_F(ServerChecks, HomesOnlyWhereHomesBelong) {
  const std::string root = box_.PathOf("root");
  for (const char* dir : {"/home/hanako", "/home/taro", "/home/real", "/home/open"}) {
    ASSERT_TRUE(std::filesystem::create_directory(root + dir));
  }
  ASSERT_EQ(chmod((root + "/home/open").c_str(), 0775), 0);
  ASSERT_EQ(symlink("real", (root + "/home/link").c_str()), 0);
  struct Case {
    std::string command, fields, settings;
    std::string message;  // "" when the tool runs
  };
  const auto refused = [](const std::string& path) {
    return "ホームディレクトリ(" + path + ")は使用できません。";
  };
  const std::vector<Case> cases = {
      {"WILLBEADD", "NAME=apt&DIR=/usr/local/lib/python3.11/dist-packages/", "",
       refused("/usr/local/lib/python3.11/dist-packages/apt")},
      {"WILLBEADD", "NAME=socket.d&DIR=/etc/systemd/system/", "",
       refused("/etc/systemd/system/socket.d")},
      {"WILLBEADD", "NAME=.ssh&DIR=/root/", "", refused("/root/.ssh")},
      {"WILLBEADD", "NAME=cron.d&DIR=/etc/", "", refused("/etc/cron.d")},
      {"WILLBEADD", "NAME=hanako&DIR=/../../etc/", "", refused("/../../etc/hanako")},
      {"WILLBEADD", "NAME=hanako&DIR=/home//", "", refused("/home//hanako")},
      {"WILLBEADD", "NAME=hanako&DIR=/", "", refused("/hanako")},
      {"WILLBEADD", "NAME=hanako&DIR=/home/", "HOME_ROOTS=/ /home/..\n", refused("/home/hanako")},
      {"WILLBEADD", "NAME=hanako&DIR=/home/link/", "", refused("/home/link/hanako")},
      {"WILLBEADD", "NAME=hanako&DIR=/home/open/", "", refused("/home/open/hanako")},
      {"WILLBEADD", "NAME=hanako&DIR=/home/", "", refused("/home/hanako")},  // exists
      {"WILLBEADD", "NAME=twice2&DIR=/home/", "", refused("/home/twice2")},  // twice's
      // taro's own home is there: the name is taken, which says more.
      {"WILLBEADD", "NAME=taro&DIR=/home/", "", "ユーザー名(taro)はすでに登録されています。"},
      {"WILLBEADD", "NAME=hanako&DIR=/home/real/", "", ""},
      {"WILLBEADD", "NAME=hanako&DIR=/home/real/", "HOME_ROOTS=/home/link\n", ""},
      {"TOBEMOD", "NAME=taro&CHKDIR=on&DIR=/etc/", "", refused("/etc/taro")},
      {"TOBEMOD", "NAME=taro&CHKDIR=on&DIR=/home/", "", ""},  // exists: a modification's may
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command + " " + c.fields + " " + c.settings);
    Configure("SYSTEMUID=999\nSYSTEMGID=999\n" + c.settings);
    const std::string tool = c.command == "TOBEMOD" ? "usermod" : "useradd";
    std::filesystem::remove(box_.PathOf(tool + ".calls"));
    const CgiResult result =
        box_.Run(Post("COMMAND=" + c.command + "&PASS=abc123&SHELL=/bin/sh&" + c.fields));
    EXPECT_EQ(Calls(tool), c.message.empty() ? 1u : 0u) << Utf8(result.out);
    if (!c.message.empty()) {
      EXPECT_EQ(Utf8(result.out), Utf8(MessagePage(c.message + "<BR>\n")));
    }
  }
  EXPECT_EQ(box_.LogRecords(), (std::vector<std::string>{"ADD,hanako", "ADD,hanako", "MOD,taro"}));
}

// After userdel fails, whether the account is gone decides the row and the
// record (userdel exits 12 when it removed the account but not its home).
TEST_F(ServerChecks, FailedDeletionReportsWhatHappened) {
  const std::string passwd = box_.PathOf("test.passwd");
  for (const bool gone : {false, true}) {
    SCOPED_TRACE(gone);
    box_.WriteFile("userdel", "#!/bin/sh\n" +
                                  (gone ? "grep -v '^taro:' " + passwd + " > " + passwd +
                                              ".new; mv " + passwd + ".new " + passwd + "\n"
                                        : std::string()) +
                                  "exit 12\n");
    Configure("SYSTEMUID=999\nSYSTEMGID=999\n");
    const std::string page = Utf8(box_.Run(Post("COMMAND=WILLBEDEL&NAME=taro")).out);
    EXPECT_NE(page.find(gone ? "<TD>taro</TD><TD>削除しました（ホームディレクトリは残しました）。"
                             : "<TD>taro</TD><TD>削除できませんでした</TD>"),
              std::string::npos)
        << page;
    EXPECT_EQ(box_.LogRecords(), gone ? std::vector<std::string>{"DEL,taro"}
                                      : std::vector<std::string>{});
  }
}

// Without a tool setting nothing runs: the request's values would otherwise
// begin the command line.
TEST_F(ServerChecks, NoToolSettingRunsNothing) {
  box_.SetConfig("SYSTEMUID=999\nSYSTEMGID=999\n");
  const struct {
    std::string body;
    std::string page;
  } cases[] = {
      {"COMMAND=TOBEMOD&NAME=taro&CHKSHELL=on&SHELL=/bin/sh",
       "ユーザー情報変更に失敗しました。<BR>\n<BR>\n"},
      {"COMMAND=GP_WILLBEADD&GNAME=devel&GID=", "グループの登録に失敗しました。<BR>\n<BR>\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Utf8(box_.Run(Post(c.body)).out), Utf8(MessagePage(c.page))) << c.body;
  }
  EXPECT_FALSE(box_.Exists("orvanta.log"));
}

// Each CRYPT_METHOD hands the tool a hash that crypt(3) verifies; an unknown
// method, or a USE_CRYPT that is neither YES nor NO, fails only requests
// that would hash, before any field check.
TEST_F(ServerChecks, PasswordHashMethods) {
  const std::string password = "Secret-pass-longer-than-8";
  for (const auto& [method, prefix] : std::vector<std::pair<std::string, std::string>>{
           {"SHA512", "$6$"}, {"YESCRYPT", "$y$"}}) {
    SCOPED_TRACE(method);
    Configure("SYSTEMUID=999\nSYSTEMGID=999\nUSE_CRYPT=YES\nCRYPT_METHOD=" + method + "\n");
    std::filesystem::remove(box_.PathOf("chpasswd.input"));
    box_.Run(Post(Body(Registration("PASS", password))));
    box_.Run(Post(Body(Registration("PASS", password))));
    std::istringstream input(box_.ReadFile("chpasswd.input"));
    std::vector<std::string> hashes;
    for (std::string line; std::getline(input, line);) {
      ASSERT_TRUE(line.starts_with("hanako:")) << line;
      const std::string hash = line.substr(7);
      EXPECT_EQ(hash.rfind(prefix, 0), 0u) << hash;
      EXPECT_EQ(std::string(crypt(password.c_str(), hash.c_str())), hash);
      hashes.push_back(hash);
    }
    ASSERT_EQ(hashes.size(), 2u);
    EXPECT_NE(hashes[0], hashes[1]) << "two registrations share a salt";
  }

  const std::string long_field = "NAME=\"PASS\" SIZE=\"30\" MAXLENGTH=\"64\"";
  EXPECT_NE(box_.Run(Get("COMMAND=ADD")).out.find(long_field), std::string::npos);
  std::filesystem::remove(box_.PathOf("useradd.calls"));
  const std::string unreadable =
      "orvanta: USE_CRYPT=yes is none of NO, YES or empty: no password is set\n";
  for (const auto& [broken, line_per_run] : std::vector<std::pair<std::string, std::string>>{
           {"USE_CRYPT=YES\nCRYPT_METHOD=MD5\n", ""},
           {"USE_CRYPT=yes\nCRYPT_METHOD=YESCRYPT\n", unreadable}}) {
    SCOPED_TRACE(broken);
    Configure("SYSTEMUID=999\nSYSTEMGID=999\n" + broken);
    std::filesystem::remove(box_.PathOf("usermod.calls"));
    box_.WriteFile(".stderr", "");
    EXPECT_EQ(Utf8(box_.Run(Post(Body(Registration("NAME", "Bad!")))).out),
              Utf8(MessagePage("ユーザーの登録に失敗しました。<BR>\n<BR>\n")));
    EXPECT_EQ(Utf8(box_.Run(Post("COMMAND=TOBEMOD&NAME=taro&CHKPASS=on&PASS=x")).out),
              Utf8(MessagePage("ユーザー情報変更に失敗しました。<BR>\n<BR>\n")));
    box_.Run(Post("COMMAND=TOBEMOD&NAME=taro&CHKSHELL=on&SHELL=/bin/sh"));
    EXPECT_EQ(Calls("usermod"), 1u);
    EXPECT_EQ(Calls("useradd"), 0u);
    EXPECT_EQ(box_.ReadFile(".stderr"), line_per_run + line_per_run + line_per_run);
  }
}

}  // namespace
}  // namespace orvanta::test
