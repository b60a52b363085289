// orvanta.cgi with ACCOUNTS=ldap against a throw-away slapd: every action
// changes the directory, gives the tools backend's page and log record, and
// touches exactly the entries it names, also for names full of filter and
// DN syntax.
#include "tests/support/directory.h"

#include <crypt.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <regex>
#include <set>
#include <thread>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

constexpr char kPasswd[] =
    "root:x:0:0:root:/root:/bin/bash\n"
    "sysacct:x:999:999:System:/var/lib/sysacct:/usr/sbin/nologin\n"
    "taro:x:1001:100:Taro Yamada:/home/taro:/bin/sh\n"
    "jiro:x:1002:1200:Jiro Suzuki:/home/jiro:/bin/sh\n";
constexpr char kGroup[] =
    "root:x:0:\nusers:x:100:\nsysgrp:x:999:\nstaff:x:1100:taro,jiro\ndevel:x:1200:jiro\n";
constexpr char kShadow[] =
    "root:*:19000::::::\ntaro:$6$salt$hash:19000::::::\njiro:!:19000::::::\n";
// An account and a group named with filter and DN syntax, and a name that
// is taken by an entry that is no account.
constexpr char kHostile[] = "h*)(+=\\";
constexpr char kHostileForm[] = "h%2A%29%28%2B%3D%5C";
constexpr char kLdif[] =
    "dn: uid=h*)(\\2B\\3D\\5C,ou=people,dc=orvanta,dc=test\n"
    "objectClass: inetOrgPerson\nobjectClass: posixAccount\nuid: h*)(+=\\\ncn: H\nsn: H\n"
    "uidNumber: 10000\ngidNumber: 100\nhomeDirectory: /home/hostile\n\n"
    "dn: uid=etcacct,ou=people,dc=orvanta,dc=test\n"
    "objectClass: inetOrgPerson\nobjectClass: posixAccount\nuid: etcacct\ncn: E\nsn: E\n"
    "uidNumber: 1003\ngidNumber: 100\nhomeDirectory: /etc\n\n"
    "dn: uid=saburo,ou=people,dc=orvanta,dc=test\n"
    "objectClass: inetOrgPerson\nuid: saburo\ncn: Saburo\nsn: Saburo\n\n"
    "dn: cn=g*)(\\3D\\5C,ou=groups,dc=orvanta,dc=test\n"
    "objectClass: posixGroup\ncn: g*)(=\\\ngidNumber: 1300\nmemberUid: h*)(+=\\\n\n";
// The host's own accounts: the counter skips their ids too.
constexpr char kHostPasswd[] = "root:x:0:0::/root:/bin/sh\nlocal:x:10001:100::/:/bin/sh\n";
constexpr char kHostGroup[] = "root:x:0:\nlocalgrp:x:10000:jiro\n";
// What the recording home tool leaves of a registration's home.
constexpr char kHomeLeft[] =
    "orvanta: home directory of the new account left as it is: no directory of its own there "
    "(missing, a file or a link)\n";
constexpr char kShown[] =
    "uid uidNumber gidNumber gecos homeDirectory loginShell shadowExpire "
    "description memberUid";

// A host: a working directory with its settings, pointed at the server.
struct Host {
  Host() {
    box.SetAccounts(kHostPasswd, kHostGroup);
    home_tool = box.AddRecordingTool("home", 0);
  }
  void Configure(const DirectoryServer& server, const std::string& extra = "") const {
    box.SetConfig(
        "SYSTEMUID=999\nSYSTEMGID=999\nCRYPT_METHOD=YESCRYPT\nUSE_CRYPT=YES\n"
        "SHELL1=/bin/sh\nSHELL2=/bin/bash\nSHELL3=/bin/false\n"
        "DEF_DIR=/srv/home\nHOME_ROOTS=/home/ /srv/home\nHOME_CREATE=" +
        home_tool + " create\nHOME_DELETE=" + home_tool + " delete\nHOME_ARCHIVE=" + home_tool +
        " archive\nARCHIVE_DIR=/srv/archive\n" + server.Settings() + extra);
  }
  std::string Send(const std::string& body) const { return box.Run(Post(body)).out; }
  CgiSandbox box;
  std::string home_tool;
};

// An archive's time stamp as STAMP.
std::string Unstamped(const std::string& text) {
  static const std::regex kStamp(R"(-[0-9]{8}-[0-9]{4}\.tar\.gz)");
  return std::regex_replace(text, kStamp, "-STAMP.tar.gz");
}

// The rows of a page's result table, in UTF-8.
std::vector<std::string> Rows(const std::string& page) {
  static const std::regex kRow(R"(<TR BGCOLOR="#FFFFFF">([\s\S]*?)(</TR>|\n</TABLE>))");
  const std::string text = Unstamped(Utf8(page));
  std::vector<std::string> rows;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), kRow); it != std::sregex_iterator();
       ++it) {
    rows.push_back((*it)[1]);
  }
  return rows;
}

std::string Cells(const std::vector<std::string>& cells) {
  std::string row = "\n";
  for (const std::string& cell : cells) row += cell + "\n";
  row.pop_back();
  return row;
}

TEST(DirectoryTest, ActionsChangeTheDirectoryAsTheToolsWould) {
  struct Case {
    const char* what;
    std::string body;
    std::string page;               // the whole page, a message, or else
    std::vector<std::string> rows;  // the rows of its result table
    std::vector<std::string> log;
    std::string filter;  // the entries looked at afterwards (kShown)
    std::string entries;
    std::string home_calls;  // the recording home tool's calls
    std::string config = "";
  };
  const std::string taro =
      "dn: uid=taro,ou=people,dc=orvanta,dc=test\nuid: taro\ngecos: Taro Yamada\nuidNumber: "
      "1001\ngidNumber: 100\nhomeDirectory: /home/taro\nloginShell: /bin/sh\n\n";
  const std::vector<Case> cases = {
      {"registration with a uid; settings in the request are dropped",
       "COMMAND=WILLBEADD&NAME=hanako&PASS=Secret12&UID=1500&GID=staff&GCOS=Hanako+Sato"
       "&DIR=/home&SHELL=/bin/sh&ACCOUNTS=tools&LDAP_PEOPLE_BASE=dc%3Dorvanta%2Cdc%3Dtest",
       "",
       {Cells({"<TD NOWRAP>hanako</TD>", "<TD NOWRAP>1500</TD>", "<TD NOWRAP>staff</TD>",
               "<TD NOWRAP>Hanako Sato</TD>", "<TD NOWRAP>/home/hanako</TD>",
               "<TD NOWRAP>/bin/sh</TD>"})},
       {"ADD,hanako"},
       "(uid=hanako)",
       "dn: uid=hanako,ou=people,dc=orvanta,dc=test\nuid: hanako\nuidNumber: 1500\ngidNumber: "
       "1100\nhomeDirectory: /home/hanako\ngecos: Hanako Sato\nloginShell: /bin/sh\n\n",
       "create\n/home/hanako\n--\n"},
      {"registration from the counter skips the ids the directory and the host use",
       "COMMAND=WILLBEADD&NAME=shiro&PASS=Secret12&UID=&GID=1200&GCOS=&DIR=&SHELL=/bin/bash",
       "",
       {Cells({"<TD NOWRAP>shiro</TD>", "<TD><BR></TD>", "<TD NOWRAP>1200</TD>", "<TD><BR></TD>",
               "<TD NOWRAP>shiro</TD>", "<TD NOWRAP>/bin/bash</TD>"})},
       {"ADD,shiro"},
       "(|(uid=shiro)(cn=idcounter))",
       "dn: cn=idcounter,dc=orvanta,dc=test\ngidNumber: 10000\nuidNumber: 10003\n\n"
       "dn: uid=shiro,ou=people,dc=orvanta,dc=test\nuid: shiro\nuidNumber: 10002\ngidNumber: "
       "1200\nhomeDirectory: /srv/home/shiro\nloginShell: /bin/bash\n\n",
       "create\n/srv/home/shiro\n--\n"},
      {"a typed uid the host's own accounts use",
       "COMMAND=WILLBEADD&NAME=hanako&PASS=Secret12&UID=10001&GID=staff&DIR=/home/&SHELL=/bin/sh",
       "ユーザーＩＤ(10001)はこのホストで使われています。<BR>\n",
       {},
       {},
       "(uid=hanako)",
       "",
       ""},
      {"a typed gid the host's own groups use", "COMMAND=GP_WILLBEADD&GNAME=newgrp&GID=10000",
       "グループＩＤ(10000)はこのホストで使われています。<BR>\n", {}, {}, "(cn=newgrp)", "", ""},
      {"a member of a protected group of the host is out of reach",
       "COMMAND=TOBEMOD&NAME=jiro&CHKSHELL=on&SHELL=/bin/false",
       "ユーザーが選択されていません<BR>\n<BR>\n",
       {},
       {},
       "(uid=jiro)",
       "dn: uid=jiro,ou=people,dc=orvanta,dc=test\nuid: jiro\ngecos: Jiro Suzuki\nuidNumber: "
       "1002\ngidNumber: 1200\nhomeDirectory: /home/jiro\nloginShell: /bin/sh\n\n",
       "",
       "PROTECTED_GROUPS=localgrp\n"},
      {"a name an entry holds that is no account (alreadyExists)",
       "COMMAND=WILLBEADD&NAME=saburo&PASS=Secret12&UID=1500&GID=staff&DIR=/home/&SHELL=/bin/sh",
       "ユーザー名(saburo)はすでに登録されています。<BR>\n",
       {},
       {},
       "(uid=saburo)",
       "dn: uid=saburo,ou=people,dc=orvanta,dc=test\nuid: saburo\n\n",
       ""},
      {"modification of the ticked attributes",
       "COMMAND=TOBEMOD&NAME=taro&GCOS=Taro+Y.&SHELL=/bin/false&GID=devel&UID=1700&CHKGCOS=on"
       "&CHKSHELL=on&CHKGID=on",
       "",
       {Cells({"<TD NOWRAP>taro</TD>", "<TD NOWRAP>1700</TD>", "<TD NOWRAP>devel</TD>",
               "<TD NOWRAP>Taro Y.</TD>", "<TD NOWRAP>taro</TD>", "<TD NOWRAP>/bin/false</TD>"})},
       {"MOD,taro"},
       "(uid=taro)",
       "dn: uid=taro,ou=people,dc=orvanta,dc=test\nuid: taro\nuidNumber: 1001\nhomeDirectory: "
       "/home/taro\ngecos: Taro Y.\ngidNumber: 1200\nloginShell: /bin/false\n\n",
       ""},
      {"a uid another account has (constraintViolation)",
       "COMMAND=TOBEMOD&NAME=taro&UID=1002&CHKUID=on",
       "ユーザー情報変更に失敗しました。<BR>\n<BR>\n",
       {},
       {},
       "(uid=taro)",
       taro,
       ""},
      {"locking",
       "COMMAND=TOBELOCK&NAME=taro&NAME=sysacct&NAME=taro&ACTION=LOCK",
       "",
       {"<TD>taro</TD><TD>ロックしました。</TD>", "<TD>sysacct</TD><TD>変更が禁止されています</TD>",
        "<TD>taro</TD><TD>できませんでした</TD>"},
       {"LOCK,taro"},
       "(uid=taro)",
       taro.substr(0, taro.size() - 1) +
           "shadowExpire: 1\ndescription: orvanta-saved-expire:none\n\n",
       ""},
      {"members put in (one already) and taken out",
       std::string("COMMAND=GP_TOBEMEM&GNAME=staff&ADDNAME=") + kHostileForm +
           "&ADDNAME=taro&DELNAME=jiro",
       "",
       {std::string("<TD>") + kHostile + "</TD><TD>追加</TD><TD>追加しました。</TD>",
        "<TD>taro</TD><TD>追加</TD><TD>追加しました。</TD>",
        "<TD>jiro</TD><TD>削除</TD><TD>削除しました。</TD>"},
       {std::string("MADD,") + kHostile + ":staff", "MADD,taro:staff", "MDEL,jiro:staff"},
       "(cn=staff)",
       std::string("dn: cn=staff,ou=groups,dc=orvanta,dc=test\ngidNumber: 1100\nmemberUid: "
                   "taro\nmemberUid: ") +
           kHostile + "\n\n",
       ""},
      {"deletion takes the accounts out of their groups; '*' and EUC-JP match nothing",
       std::string("COMMAND=WILLBEDEL&NAME=jiro&NAME=*&NAME=") + kHostileForm + "&NAME=%A4%A2",
       "",
       {"<TD>jiro</TD><TD>削除しました。</TD>",
        "<TD>*</TD><TD>削除が禁止されているユーザーです</TD>",
        std::string("<TD>") + kHostile + "</TD><TD>削除しました。</TD>",
        "<TD>あ</TD><TD>削除が禁止されているユーザーです</TD>"},
       {"DEL,jiro", std::string("DEL,") + kHostile},
       "(|(objectClass=posixGroup)(uid=jiro))",
       "dn: cn=root,ou=groups,dc=orvanta,dc=test\ngidNumber: 0\n\n"
       "dn: cn=users,ou=groups,dc=orvanta,dc=test\ngidNumber: 100\n\n"
       "dn: cn=sysgrp,ou=groups,dc=orvanta,dc=test\ngidNumber: 999\n\n"
       "dn: cn=staff,ou=groups,dc=orvanta,dc=test\ngidNumber: 1100\nmemberUid: taro\n\n"
       "dn: cn=devel,ou=groups,dc=orvanta,dc=test\ngidNumber: 1200\n\n"
       "dn: cn=g*)(\\3D\\5C,ou=groups,dc=orvanta,dc=test\ngidNumber: 1300\n\n",
       "delete\n/home/jiro\n--\ndelete\n/home/hostile\n--\n"},
      {"deletion keeping the home: no HOME_DELETE", "COMMAND=WILLBEDEL&NAME=taro&HOME=keep", "",
       {"<TD>taro</TD><TD>削除しました（ホームディレクトリは残しました）。</TD>"}, {"DEL,taro"},
       "(uid=taro)", "", ""},
      {"deletion archiving the home: HOME_ARCHIVE, then HOME_DELETE",
       "COMMAND=WILLBEDEL&NAME=taro&HOME=archive", "",
       {"<TD>taro</TD><TD>削除しました（ホームディレクトリは/srv/archive/taro-STAMP.tar.gzに"
        "保存しました）。</TD>"},
       {"DEL,taro"}, "(uid=taro)", "",
       "archive\ntaro\n/home/taro\n/srv/archive/taro-STAMP.tar.gz\n--\ndelete\n/home/taro\n--\n"},
      {"an archive that fails deletes nothing", "COMMAND=WILLBEDEL&NAME=taro&HOME=archive", "",
       {"<TD>taro</TD><TD>ホームディレクトリを保存できなかったため、削除しませんでした。</TD>"}, {},
       "(uid=taro)", taro, "", "HOME_ARCHIVE=/bin/false\n"},
      {"a home outside HOME_ROOTS: nothing added, no HOME_CREATE",
       "COMMAND=WILLBEADD&NAME=etc&PASS=Secret12&UID=1500&GID=staff&DIR=/&SHELL=/bin/sh",
       "ホームディレクトリ(/etc)は使用できません。<BR>\n", {}, {}, "(uid=etc)", "", ""},
      {"a stored home outside HOME_ROOTS: the entry goes, HOME_DELETE does not run",
       "COMMAND=WILLBEDEL&NAME=etcacct", "",
       {"<TD>etcacct</TD><TD>削除しました（ホームディレクトリは残しました）。</TD>"},
       {"DEL,etcacct"}, "(uid=etcacct)", "", ""},
      {"group registration from the counter",

       "COMMAND=GP_WILLBEADD&GNAME=webteam&GID=",
       "",
       {Cells({"<TD NOWRAP>webteam</TD>", "<TD NOWRAP><BR></TD>"})},
       {"GADD,webteam"},
       "(|(cn=webteam)(cn=idcounter))",
       "dn: cn=idcounter,dc=orvanta,dc=test\nuidNumber: 10000\ngidNumber: 10002\n\n"
       "dn: cn=webteam,ou=groups,dc=orvanta,dc=test\ngidNumber: 10001\n\n",
       ""},
      {"a batch: lines taken in the directory, or by an entry that is no account",
       "COMMAND=BATCHADD&DIR=/home&SHELL=/bin/sh&LINES=goro%2CSecret12%2C%2Cstaff%2CGoro%0D%0A"
       "taro%2CSecret12%0D%0Asaburo%2CSecret12%2C%2Cstaff",
       "",
       {"<TD>1</TD><TD>goro</TD><TD>登録しました</TD><TD NOWRAP>1 / 3 件</TD>",
        "<TD>2</TD><TD>taro</TD><TD>ユーザー名(taro)はすでに登録されています。</TD>"
        "<TD NOWRAP>2 / 3 件</TD>",
        "<TD>3</TD><TD>saburo</TD><TD>ユーザー名(saburo)はすでに登録されています。</TD>"
        "<TD NOWRAP>3 / 3 件</TD>"},
       {"ADD,goro"},
       "(uid=goro)",
       "dn: uid=goro,ou=people,dc=orvanta,dc=test\nuid: goro\nuidNumber: 10002\ngidNumber: "
       "1100\nhomeDirectory: /home/goro\ngecos: Goro\nloginShell: /bin/sh\n\n",
       "create\n/home/goro\n--\n"},
      {"group deletion keeps a primary group",
       "COMMAND=GP_WILLBEDEL&GNAME=devel&GNAME=staff&GNAME=*",
       "",
       {"<TD>devel</TD><TD>削除できませんでした。</TD>", "<TD>staff</TD><TD>削除しました。</TD>",
        "<TD>*</TD><TD>削除が禁止されているグループです。</TD>"},
       {"GDEL,staff"},
       "(|(cn=devel)(cn=staff))",
       "dn: cn=devel,ou=groups,dc=orvanta,dc=test\ngidNumber: 1200\nmemberUid: jiro\n\n",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Host host;
    const DirectoryServer server(host.box, kPasswd, kGroup, kShadow, kLdif);
    host.Configure(server, c.config);
    const std::string page = host.Send(c.body);
    if (c.rows.empty()) {
      EXPECT_EQ(Utf8(page), Utf8(MessagePage(c.page)));
    } else {
      EXPECT_EQ(Rows(page), c.rows);
    }
    EXPECT_EQ(host.box.LogRecords(), c.log);
    EXPECT_EQ(server.Search(c.filter, kShown), c.entries);
    EXPECT_EQ(host.box.Exists("home.calls") ? Unstamped(host.box.ReadFile("home.calls")) : "",
              c.home_calls);
  }
}

std::string FromBase64(const std::string& text) {
  static constexpr std::string_view kDigits =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    if (c == '=') break;
    bits = (bits << 6) | static_cast<unsigned>(kDigits.find(c));
    if ((count += 6) >= 8) out += static_cast<char>((bits >> (count -= 8)) & 0xFF);
  }
  return out;
}

// The value of one attribute of the account (ldapsearch writes some in base64).
std::string ValueOf(const DirectoryServer& server, const std::string& name, const char* attribute) {
  static const std::regex kValue("\n[A-Za-z]+(::?) ([^\n]*)\n");
  const std::string ldif = server.Search("(uid=" + name + ")", attribute);
  std::smatch match;
  if (!std::regex_search(ldif, match, kValue)) return "";
  return match[1] == "::" ? FromBase64(match[2]) : match[2].str();
}

TEST(DirectoryTest, PasswordsAreCryptHashesThatLocksSwap) {
  const Host host;
  const DirectoryServer server(
      host.box, kPasswd, kGroup, kShadow,
      "dn: uid=shiro,ou=people,dc=orvanta,dc=test\nobjectClass: inetOrgPerson\n"
      "objectClass: posixAccount\nobjectClass: shadowAccount\nuid: shiro\ncn: S\nsn: S\n"
      "uidNumber: 1600\ngidNumber: 100\nhomeDirectory: /home/shiro\n"
      "userPassword: {CRYPT}x\nshadowExpire: 20500\n\n");
  host.Configure(server);
  host.Send(
      "COMMAND=WILLBEADD&NAME=hanako&PASS=Secret12&UID=1500&GID=staff&DIR=/home/&SHELL=/bin/sh");
  const std::string stored = ValueOf(server, "hanako", "userPassword");
  ASSERT_TRUE(stored.starts_with("{CRYPT}$y$")) << stored;
  const std::string hash = stored.substr(7);
  EXPECT_EQ(crypt("Secret12", hash.c_str()), hash);
  EXPECT_EQ(ValueOf(server, "hanako", "shadowLastChange"),
            std::to_string(std::time(nullptr) / 86400));
  // The change at the first login is the ageing page's forced change.
  host.Send("COMMAND=WILLBEADD&NAME=goro&PASS=Secret12&UID=1510&GID=staff&DIR=/home/"
            "&SHELL=/bin/sh&FORCE=on");
  EXPECT_EQ(ValueOf(server, "goro", "shadowLastChange"), "0");

  struct Step {
    const char* body;
    std::string row;
    std::string password;
    std::string expire;
    std::string saved = "";  // the description
  };
  const std::string none = "orvanta-saved-expire:none";
  const std::vector<Step> steps = {
      {"NAME=hanako&ACTION=LOCK", "ロックしました。", "{CRYPT}!" + hash, "1", none},
      {"NAME=hanako&ACTION=LOCK", "ロックしました。", "{CRYPT}!" + hash, "1", none},
      {"NAME=hanako&ACTION=UNLOCK", "ロックを解除しました。", stored, ""},
      // As usermod -U: "!" alone stays, or the account would need no password.
      {"NAME=jiro&ACTION=UNLOCK", "ロックを解除しました。", "{CRYPT}!", ""},
      // A date is saved in the entry and given back, a second lock keeping it.
      {"NAME=shiro&ACTION=LOCK", "ロックしました。", "{CRYPT}!x", "1",
       "orvanta-saved-expire:20500"},
      {"NAME=shiro&ACTION=LOCK", "ロックしました。", "{CRYPT}!x", "1",
       "orvanta-saved-expire:20500"},
      {"NAME=shiro&ACTION=UNLOCK", "ロックを解除しました。", "{CRYPT}x", "20500"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.body);
    const std::string name = std::string(step.body).substr(5, std::string(step.body).find('&') - 5);
    EXPECT_EQ(Rows(host.Send(std::string("COMMAND=TOBELOCK&") + step.body)),
              std::vector<std::string>{"<TD>" + name + "</TD><TD>" + step.row + "</TD>"});
    EXPECT_EQ(ValueOf(server, name, "userPassword"), step.password);
    EXPECT_EQ(ValueOf(server, name, "shadowExpire"), step.expire);
    EXPECT_EQ(ValueOf(server, name, "description"), step.saved);
  }
}

// Ageing: the ticked values' shadow attributes (-1 deletes one); while a
// lock's 1 stands, the expiry goes to the date the lock saved, which the
// form shows and the unlock gives back. A registration's expiry in days.
TEST(DirectoryTest, AgeingChangesTheShadowAttributes) {
  const Host host;
  const DirectoryServer server(
      host.box, kPasswd, kGroup, kShadow,
      "dn: uid=shiro,ou=people,dc=orvanta,dc=test\nobjectClass: inetOrgPerson\n"
      "objectClass: posixAccount\nobjectClass: shadowAccount\nuid: shiro\ncn: S\nsn: S\n"
      "uidNumber: 1600\ngidNumber: 100\nhomeDirectory: /home/shiro\n"
      "userPassword: {CRYPT}x\nshadowLastChange: 20000\nshadowMax: 30\n\n");
  host.Configure(server);
  constexpr const char* kAttributes[] = {"shadowLastChange", "shadowMax",    "shadowMin",
                                         "shadowWarning",    "shadowInactive", "shadowExpire",
                                         "description"};
  struct Step {
    const char* body;
    std::vector<std::string> values;  // kAttributes' after the step
  };
  const std::vector<Step> steps = {
      {"COMMAND=TOBEAGED&NAME=shiro&CHKMAX=on&MAXDAYS=90&CHKMIN=on&MINDAYS=1&CHKWARN=on"
       "&WARNDAYS=7&CHKINACT=on&INACTDAYS=30&CHKEXPIRE=on&EXPIRE=2027-03-31&FORCE=on",
       {"0", "90", "1", "7", "30", "20908", ""}},
      {"COMMAND=TOBEAGED&NAME=shiro&CHKMAX=on&MAXDAYS=-1&CHKINACT=on&INACTDAYS=-1&MINDAYS=5",
       {"0", "", "1", "7", "", "20908", ""}},
      {"COMMAND=TOBELOCK&ACTION=LOCK&NAME=shiro",
       {"0", "", "1", "7", "", "1", "orvanta-saved-expire:20908"}},
      {"COMMAND=TOBEAGED&NAME=shiro&CHKEXPIRE=on&EXPIRE=2028-01-01",
       {"0", "", "1", "7", "", "1", "orvanta-saved-expire:21184"}},
      {"COMMAND=TOBELOCK&ACTION=UNLOCK&NAME=shiro", {"0", "", "1", "7", "", "21184", ""}},
      {"COMMAND=TOBEAGED&NAME=shiro&CHKEXPIRE=on&EXPIRE=", {"0", "", "1", "7", "", "", ""}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.body);
    host.Send(step.body);
    std::vector<std::string> values;
    for (const char* attribute : kAttributes) values.push_back(ValueOf(server, "shiro", attribute));
    EXPECT_EQ(values, step.values);
    if (std::string(step.body).find("EXPIRE=2028") != std::string::npos) {
      EXPECT_NE(host.Send("COMMAND=WILLBEAGED&NAME=shiro")
                    .find("NAME=\"EXPIRE\" SIZE=\"10\" MAXLENGTH=\"10\" VALUE=\"2028-01-01\">"),
                std::string::npos);
    }
  }
  host.Send("COMMAND=WILLBEADD&NAME=hanako&PASS=Secret12&GID=staff&DIR=/home/&SHELL=/bin/sh"
            "&EXPIRE=2027-03-31");
  EXPECT_EQ(ValueOf(server, "hanako", "shadowExpire"), "20908");
  EXPECT_EQ(host.box.LogRecords(),
            (std::vector<std::string>{"AGE,shiro", "AGE,shiro", "LOCK,shiro", "AGE,shiro",
                                      "UNLOCK,shiro", "AGE,shiro", "ADD,hanako"}));
}

// SSH keys are sshPublicKey values of the auxiliary class ldapPublicKey,
// which the first key adds; the form's digest guards against values another
// writer changed meanwhile, and only 鍵をすべて削除 takes them all away.
TEST(DirectoryTest, KeysAreSshPublicKeyValues) {
  const Host host;
  const DirectoryServer server(host.box, kPasswd, kGroup, kShadow);
  host.Configure(server);
  const std::string first =
      "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBkclsC4Fhq3okF0/ihQWGNS2B/Qs/fBOIEp3MIrKtvU k@x";
  ASSERT_EQ(std::system(("ssh-keygen -q -t ed25519 -N '' -C second -f " + host.box.PathOf("k2"))
                            .c_str()),
            0);
  std::string second = host.box.ReadFile("k2.pub");
  second.pop_back();
  const auto encoded = [](const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
    return out;
  };
  const auto keys = [&] { return server.Search("(uid=hanako)", "objectClass sshPublicKey"); };
  const std::string entry = "dn: uid=hanako,ou=people,dc=orvanta,dc=test\nobjectClass: "
                            "inetOrgPerson\nobjectClass: posixAccount\nobjectClass: shadowAccount\n";
  const auto digest = [&] {
    static const std::regex kDigest("NAME=\"KEYDIGEST\" VALUE=\"([0-9a-f]{64})\"");
    std::smatch match;
    const std::string form = host.Send("COMMAND=WILLBEMOD&NAME=hanako");
    return std::regex_search(form, match, kDigest) ? match[1].str() : "";
  };

  host.Send("COMMAND=WILLBEADD&NAME=hanako&PASS=Secret12&GID=staff&DIR=/home/&SHELL=/bin/sh"
            "&KEYS=" + encoded(first));
  EXPECT_EQ(keys(), entry + "objectClass: ldapPublicKey\nsshPublicKey: " + first + "\n\n");
  const std::string shown = digest();
  EXPECT_NE(host.Send("COMMAND=WILLBEMOD&NAME=hanako")
                .find("<TT>SHA256:2ykmOCsL1kLFQ6H633s9oPjduYfN1eZl5NPUoQbP23g</TT><BR>"),
            std::string::npos);

  const std::string both = "COMMAND=TOBEMOD&NAME=hanako&CHKKEYS=on&KEYS=" +
                           encoded(first + "\n" + second) + "&KEYDIGEST=";
  // A digest of other values: nothing is written.
  EXPECT_NE(Utf8(host.Send(both + std::string(64, '0'))).find("鍵ファイルが変更されています"),
            std::string::npos);
  EXPECT_EQ(keys(), entry + "objectClass: ldapPublicKey\nsshPublicKey: " + first + "\n\n");
  host.Send(both + shown);
  EXPECT_EQ(keys(), entry + "objectClass: ldapPublicKey\nsshPublicKey: " + first +
                        "\nsshPublicKey: " + second + "\n\n");
  host.Send("COMMAND=TOBEMOD&NAME=hanako&CHKKEYS=on&KEYSCLEAR=on&KEYS=&KEYDIGEST=" + digest());
  EXPECT_EQ(keys(), entry + "objectClass: ldapPublicKey\n\n");
  EXPECT_EQ(host.box.LogRecords(),
            (std::vector<std::string>{"ADD,hanako", "KEY,hanako", "KEY,hanako", "KEY,hanako"}));
}

TEST(DirectoryTest, ConcurrentRegistrationsFromManyHostsGetDistinctIds) {
  constexpr int kRegistrations = 50;
  const Host first;
  const DirectoryServer server(first.box, kPasswd, kGroup, kShadow);
  // Every registration from a host of its own: no shared change lock.
  std::vector<std::unique_ptr<Host>> hosts;
  for (int i = 0; i < kRegistrations; ++i) {
    hosts.push_back(std::make_unique<Host>());
    hosts.back()->Configure(server);
  }
  std::vector<std::thread> threads;
  for (int i = 0; i < kRegistrations; ++i) {
    threads.emplace_back([&hosts, i] {
      hosts[i]->Send("COMMAND=WILLBEADD&NAME=user" + std::to_string(i) +
                     "&PASS=Secret12&UID=&GID=staff&DIR=/home/&SHELL=/bin/sh");
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<std::string> uids;
  const std::string ldif = server.Search("(uid=user*)", "uidNumber");
  static const std::regex kUid("uidNumber: (\\d+)");
  for (auto it = std::sregex_iterator(ldif.begin(), ldif.end(), kUid); it != std::sregex_iterator();
       ++it) {
    uids.insert((*it)[1]);
  }
  EXPECT_EQ(uids.size(), size_t{kRegistrations}) << ldif;
}

TEST(DirectoryTest, ListsEveryAccountPageByPage) {
  constexpr int kAccounts = 2500;
  std::string ldif;
  for (int i = 0; i < kAccounts; ++i) {
    const std::string n = std::to_string(20000 + i);
    ldif += "dn: uid=u" + n +
            ",ou=people,dc=orvanta,dc=test\nobjectClass: account\n"
            "objectClass: posixAccount\nuid: u" +
            n + "\ncn: u\nuidNumber: " + n + "\ngidNumber: 100\nhomeDirectory: /home/u\n\n";
  }
  const Host host;
  const DirectoryServer server(host.box, kPasswd, kGroup, kShadow, ldif);
  host.Configure(server);
  const std::string page = host.box.Run(Get("COMMAND=VIEW")).out;
  size_t rows = 0;
  for (size_t at = page.find("<TR><TD>"); at != std::string::npos;
       at = page.find("<TR><TD>", at + 1)) {
    ++rows;
  }
  EXPECT_EQ(rows, size_t{kAccounts} + 4);
  EXPECT_NE(page.find("<TD>u22499</TD>"), std::string::npos);
}

TEST(DirectoryTest, ListPagesAreTheSameWhetherTheServerSortsAndPagesOrNot) {
  std::string ldif;
  for (int i = 0; i < 300; ++i) {
    const std::string n = std::to_string(20000 + i);
    ldif += "dn: uid=u" + n + ",ou=people,dc=orvanta,dc=test\nobjectClass: account\n"
            "objectClass: posixAccount\nuid: u" + n + "\ncn: u\nuidNumber: " + n +
            "\ngidNumber: 100\nhomeDirectory: /home/u\ngecos: Person " + n + "\n\n";
  }
  const char* queries[] = {"COMMAND=VIEW&FROM=100", "COMMAND=DEL&FIND=u2010",
                           "COMMAND=MOD&FIND=20150", "COMMAND=VIEW&FROM=99999",
                           "COMMAND=GVIEW&FIND=100", "COMMAND=GDEL"};
  std::vector<std::string> pages[2];
  for (const bool sorts : {false, true}) {
    const Host host;
    const DirectoryServer server(host.box, kPasswd, kGroup, kShadow, ldif, false, sorts);
    host.Configure(server, "SORT=SORT_BY_UID\nLIST_PAGE_SIZE=100\nLIST_SYSTEM=NO\n");
    for (const char* query : queries) pages[sorts].push_back(host.box.Run(Get(query)).out);
    // The directory's accounts log in on other hosts: no last login to show or search.
    EXPECT_EQ(host.box.Run(Get("COMMAND=LOCK")).out.find(Euc("最終ログイン")), std::string::npos);
    EXPECT_NE(host.box.Run(Get("COMMAND=AGE&UNUSED=30"))
                  .out.find(Euc("ディレクトリのアカウントには最終ログインの記録がないため")),
              std::string::npos);
  }
  EXPECT_EQ(pages[0], pages[1]);
  EXPECT_NE(pages[1][1].find(Euc("10件中 1〜10件")), std::string::npos) << Utf8(pages[1][1]);
  EXPECT_NE(pages[1][2].find("<TD>u20150</TD>"), std::string::npos) << Utf8(pages[1][2]);
  EXPECT_NE(pages[1][3].find(Euc("件中 1〜100件")), std::string::npos) << Utf8(pages[1][3]);
}

constexpr char kUnreachablePage[] = "ディレクトリサーバーに接続できませんでした。<BR>\n<BR>\n";
constexpr char kNoModulePage[] =
    "ディレクトリのアカウントを扱うには、パッケージ orvanta-ldap のインストールが必要です。\n<BR>\n";

// Settings that reach no server (servers that do not answer: directory_down_test.cpp):
// the registration says so, with one line; without the module, it names the
// package to install.
TEST(DirectoryTest, SettingsThatReachNoServerSayItWithOneLineEach) {
  struct Case {
    const char* what;
    std::string settings;
    std::string error_line;
    std::string module = ORVANTA_LDAP_MODULE_BUILT;
    std::string status = "";
    std::string page = kUnreachablePage;
  };
  const std::vector<Case> cases = {
      {"a URI of another scheme", "LDAP_URI=http://example.org/\n",
       "orvanta: ldap: LDAP_URI (ldap://, ldaps:// or ldapi://), LDAP_PEOPLE_BASE and "
       "LDAP_GROUP_BASE are needed\n"},
      {"a wrong bind password", "LDAP_BINDPW_FILE=/dev/null\n",
       "orvanta: ldap: LDAP_BINDPW_FILE cannot be read or is readable by others\n"
       "orvanta: ldap bind @URI@: 49 (Invalid credentials)\n"},
      // Neither the directory nor the tool: nothing is changed at all.
      {"ACCOUNTS in upper case", "ACCOUNTS=LDAP\n",
       "orvanta: ACCOUNTS=LDAP is none of tools, ldap or empty: no account is changed\n"},
      // The package site without orvanta-ldap: the page says what to install.
      {"no directory store", "",
       "orvanta: ldap: the directory store is not loaded: /nonexistent/orvanta-ldap.so does not "
       "exist: ACCOUNTS=ldap needs the directory store, install the package orvanta-ldap\n",
       "/nonexistent/orvanta-ldap.so", "Status: 503 Service Unavailable\n", kNoModulePage},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Host host;
    const DirectoryServer server(host.box, kPasswd, kGroup, kShadow);
    host.Configure(server, c.settings + "GROUPADD=" + host.home_tool + " groupadd\n");
    CgiRequest request = Post("COMMAND=GP_WILLBEADD&GNAME=webteam&GID=1500");
    request.extra_env.push_back("ORVANTA_LDAP_MODULE=" + c.module);
    EXPECT_EQ(Utf8(host.box.Run(request).out), Utf8(c.status + MessagePage(c.page)));
    EXPECT_EQ(host.box.ReadFile(".stderr"),
              std::regex_replace(c.error_line, std::regex("@URI@"), server.Uri()));
    EXPECT_FALSE(host.box.Exists("orvanta.log"));
    EXPECT_TRUE(host.box.CallsOf("home").empty());
  }
}

// A host that reads near and writes far: the lists come from LDAP_READ_URI,
// while the checks before a change, the change and its result page use
// LDAP_URI alone. Here the two are unrelated servers, so each read shows
// where it went.
TEST(DirectoryTest, ChangesDecideAndWriteOnTheProviderAlone) {
  const Host host;
  const DirectoryServer provider(host.box, kPasswd, kGroup, kShadow,
                                 "dn: uid=shiro,ou=people,dc=orvanta,dc=test\n"
                                 "objectClass: account\nobjectClass: posixAccount\nuid: shiro\n"
                                 "cn: s\nuidNumber: 1005\ngidNumber: 100\nhomeDirectory: /home/s\n");
  const Host other;
  // The same bind password for both, as for a provider and its replicas.
  std::filesystem::create_directories(other.box.PathOf("ldap"));
  other.box.WriteFile("ldap/bindpw", host.box.ReadFile("ldap/bindpw"));
  const DirectoryServer reads(other.box, kPasswd, kGroup, kShadow);
  host.Configure(provider, "LDAP_READ_URI=" + reads.Uri() + "\n");
  EXPECT_EQ(Utf8(host.Send("COMMAND=WILLBEADD&NAME=shiro&PASS=Secret12&UID=&GID=staff&DIR=/home/"
                           "&SHELL=/bin/sh")),
            Utf8(MessagePage("ユーザー名(shiro)はすでに登録されています。<BR>\n")));
  const std::vector<std::string> rows = Rows(host.Send(
      "COMMAND=WILLBEADD&NAME=goro&PASS=Secret12&UID=1600&GID=staff&DIR=/home/&SHELL=/bin/sh"));
  ASSERT_EQ(rows.size(), 1U);
  EXPECT_NE(rows[0].find("goro"), std::string::npos);
  EXPECT_NE(provider.Search("(uid=goro)", "uidNumber"), "");
  EXPECT_EQ(reads.Search("(uid=goro)", "uidNumber"), "");
  const std::string list = host.box.Run(Get("COMMAND=VIEW")).out;
  EXPECT_NE(list.find("<TD>taro</TD>"), std::string::npos);
  EXPECT_EQ(list.find("<TD>goro</TD>"), std::string::npos);
  EXPECT_EQ(list.find("<TD>shiro</TD>"), std::string::npos);
  EXPECT_EQ(host.box.ReadFile(".stderr"), kHomeLeft);
}

// A provider and its syncrepl consumer: what the provider registers shows
// in the consumer's list, which the list pages read even while the
// provider hangs.
TEST(DirectoryTest, TheReplicaListsWhatTheProviderRegistered) {
  const Host host;
  const DirectoryServer provider(host.box, kPasswd, kGroup, kShadow);
  const DirectoryServer replica(host.box, "replica", provider);
  host.Configure(provider, "LDAP_READ_URI=" + replica.Uri() + "\nLDAP_TIMEOUT=1\n");
  host.Send("COMMAND=WILLBEADD&NAME=goro&PASS=Secret12&UID=1600&GID=staff&DIR=/home/&SHELL=/bin/sh");
  EXPECT_EQ(host.box.LogRecords(), std::vector<std::string>{"ADD,goro"});
  for (int wait = 0; wait < 100 && replica.Search("(uid=goro)", "1.1").empty(); ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(provider.Pid(), SIGSTOP);
  const std::string list = host.box.Run(Get("COMMAND=VIEW"), {"/usr/bin/timeout", "60"}).out;
  kill(provider.Pid(), SIGCONT);
  EXPECT_NE(list.find("<TD>goro</TD>"), std::string::npos);
  EXPECT_EQ(host.box.ReadFile(".stderr"), kHomeLeft);
}

// A listening socket that never answers.
struct SilentListener {
  SilentListener() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(fd, 8), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    port = std::to_string(ntohs(address.sin_port));
    uri = "ldap://127.0.0.1:" + port + "/";
  }
  ~SilentListener() { close(fd); }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  std::string port;
  std::string uri;
};

// A listener that grants StartTLS to its first client and then never says
// another word: the TLS handshake waits on silence.
struct GrantingListener : SilentListener {
  GrantingListener() : server([this] { Grant(); }) {}
  ~GrantingListener() {
    shutdown(fd, SHUT_RDWR);  // ends an accept still waiting
    server.join();
    if (client >= 0) close(client);
  }
  void Grant() {
    client = accept(fd, nullptr, nullptr);
    unsigned char request[256];
    // An extended request: 30 LL 02 01 ID ...
    if (client < 0 || read(client, request, sizeof request) < 5) return;
    const unsigned char granted[] = {0x30, 0x0c, 0x02, 0x01, request[4], 0x78, 0x07,
                                     0x0a, 0x01, 0x00, 0x04, 0x00, 0x04, 0x00};
    EXPECT_EQ(write(client, granted, sizeof granted), static_cast<ssize_t>(sizeof granted));
  }
  int client = -1;
  std::thread server;
};

// Each server of LDAP_URI that cannot be reached, or does not answer within
// the timeouts, costs one line and at most LDAP_CONNECT_TIMEOUT plus
// LDAP_TIMEOUT, waited without spinning, and the next one serves: over
// ldapi, plain, StartTLS and ldaps, whatever the first server does. The
// test's own bound on the run is far longer.
TEST(DirectoryTest, ServersThatFailArePassedOverForTheNext) {
  const Host host;
  const DirectoryServer server(host.box, kPasswd, kGroup, kShadow, "", true);
  const Host stopped_host;
  const DirectoryServer stopped(stopped_host.box, kPasswd, kGroup, kShadow, "", true);
  const SilentListener silent;
  const GrantingListener granting;
  const SilentListener closed_port;
  const std::string closed = closed_port.uri;
  close(closed_port.fd);
  const auto ldaps = [](const std::string& port) { return "ldaps://localhost:" + port + "/"; };
  const auto plain = [](int port) { return "ldap://localhost:" + std::to_string(port) + "/"; };
  const std::string good_ldaps = ldaps(std::to_string(server.ldaps_port()));
  const std::string good_starttls = plain(server.starttls_port());
  const std::string stopped_ldaps = ldaps(std::to_string(stopped.ldaps_port()));
  const std::string stopped_starttls = plain(stopped.starttls_port());
  const std::string silent_ldaps = ldaps(silent.port);
  const std::string starttls = "LDAP_STARTTLS=YES\n";
  const std::string timed_out = ": -5 (Timed out)\n";
  const struct {
    const char* what;
    std::string uris;
    std::string settings;
    std::string error_line;
  } cases[] = {
      {"a closed port", closed + " " + server.Uri(), "",
       "orvanta: ldap bind " + closed + ": -1 (Can't contact LDAP server)\n"},
      {"a silent listener", silent.uri + " " + server.Uri(), "",
       "orvanta: ldap bind " + silent.uri + timed_out},
      {"a stopped server", stopped.Uri() + " " + server.Uri(), "",
       "orvanta: ldap bind " + stopped.Uri() + timed_out},
      {"ldaps, a silent listener", silent_ldaps + " " + good_ldaps, "",
       "orvanta: ldap bind " + silent_ldaps + timed_out},
      {"ldaps, a stopped server", stopped_ldaps + " " + good_ldaps, "",
       "orvanta: ldap bind " + stopped_ldaps + timed_out},
      {"StartTLS, a stopped server", stopped_starttls + " " + good_starttls, starttls,
       "orvanta: ldap StartTLS " + stopped_starttls + timed_out},
      {"StartTLS granted, then silence", granting.uri + " " + good_starttls, starttls,
       "orvanta: ldap StartTLS " + granting.uri + timed_out},
  };
  constexpr double kTimeouts = 2;  // LDAP_CONNECT_TIMEOUT + LDAP_TIMEOUT
  constexpr double kSlack = 1.5;
  constexpr double kMostCpuSeconds = 0.5;
  kill(stopped.Pid(), SIGSTOP);
  int group = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "team" + std::to_string(++group);
    host.Configure(server, "LDAP_URI=" + c.uris + "\nLDAP_CACERT=" + server.TlsFile("ca.crt") +
                               "\nLDAP_CONNECT_TIMEOUT=1\nLDAP_TIMEOUT=1\n" + c.settings);
    host.box.WriteFile(".stderr", "");
    const auto start = std::chrono::steady_clock::now();
    const CgiResult result = host.box.Run(
        Post("COMMAND=GP_WILLBEADD&GNAME=" + name + "&GID="), {"/usr/bin/timeout", "60"});
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_LT(took.count(), kTimeouts + kSlack);
    EXPECT_LT(result.cpu_seconds, kMostCpuSeconds);
    EXPECT_NE(server.Search("(cn=" + name + ")", "1.1"), "");
    EXPECT_EQ(host.box.ReadFile(".stderr"), c.error_line);
  }
  kill(stopped.Pid(), SIGCONT);
}

// A change reaches the directory before it takes the change lock: while a
// request waits on a hung provider, the requests of others may take the
// lock (as the test does here, again and again).
TEST(DirectoryTest, AHungProviderHoldsNoLock) {
  const Host host;
  const DirectoryServer stopped(host.box, kPasswd, kGroup, kShadow);
  host.Configure(stopped, "LDAP_TIMEOUT=2\nGROUPADD=" + host.home_tool + " groupadd\n");
  const int lock = open(host.box.PathOf("orvanta.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC,
                        0600);
  kill(stopped.Pid(), SIGSTOP);
  for (const char* body :
       {"COMMAND=GP_WILLBEADD&GNAME=webteam&GID=", "COMMAND=WILLBEDEL&NAME=taro&HOME=keep"}) {
    SCOPED_TRACE(body);
    std::atomic<bool> done = false;
    std::thread request([&] {
      host.box.Run(Post(body), {"/usr/bin/timeout", "60"});
      done = true;
    });
    int tries = 0;
    int taken = 0;
    for (; !done; ++tries) {
      if (flock(lock, LOCK_EX | LOCK_NB) == 0) {
        flock(lock, LOCK_UN);
      } else {
        ++taken;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    request.join();
    EXPECT_GT(tries, 20);  // the request did wait on the server
    EXPECT_EQ(taken, 0);
  }
  kill(stopped.Pid(), SIGCONT);
  close(lock);
}

// The counter hands out no id above LDAP_MAX_ID: a full range is a failed
// registration.
TEST(DirectoryTest, NoIdAboveTheMaximum) {
  const Host host;
  const DirectoryServer server(host.box, kPasswd, kGroup, kShadow);
  host.Configure(server, "LDAP_MAX_ID=10001\n");
  const std::string body = "PASS=Secret12&UID=&GID=staff&DIR=/home/&SHELL=/bin/sh";
  host.Send("COMMAND=WILLBEADD&NAME=goro&" + body);
  EXPECT_EQ(Utf8(host.Send("COMMAND=WILLBEADD&NAME=rokuro&" + body)),
            Utf8(MessagePage("ユーザーの登録に失敗しました。<BR>\n<BR>\n")));
  EXPECT_EQ(server.Search("(|(uid=goro)(uid=rokuro))", "uidNumber"),
            "dn: uid=goro,ou=people,dc=orvanta,dc=test\nuidNumber: 10000\n\n");
  EXPECT_EQ(host.box.ReadFile(".stderr"),
            kHomeLeft + std::string("orvanta: ldap: no free id left up to 10001 for uidNumber\n"));
}

// The hosts read the whole suffix: a name, an id or a home of an entry
// under another branch is taken there. By default the taken checks search
// where the people and group bases meet; LDAP_ID_SEARCH_BASE says where.
TEST(DirectoryTest, TakenWhereTheHostsLook) {
  const std::string outside =
      "dn: ou=other,dc=orvanta,dc=test\nobjectClass: organizationalUnit\nou: other\n\n"
      "dn: uid=outsider,ou=other,dc=orvanta,dc=test\nobjectClass: account\n"
      "objectClass: posixAccount\nuid: outsider\ncn: O\nuidNumber: 10000\ngidNumber: 100\n"
      "homeDirectory: /srv/home/outsider\n\n"
      "dn: cn=outgrp,ou=other,dc=orvanta,dc=test\nobjectClass: posixGroup\ncn: outgrp\n"
      "gidNumber: 10001\n\n";
  const std::string add = "COMMAND=WILLBEADD&PASS=Secret12&GID=staff&DIR=/srv/home/&SHELL=/bin/sh&";
  struct Case {
    const char* what;
    std::string settings, body;
    std::string page;  // the message, or "" when the change is made
    std::string filter, entries;
    std::string error_line = "";
  };
  const std::vector<Case> cases = {
      {"a name", "", add + "NAME=outsider&UID=1500",
       "ユーザー名(outsider)はすでに登録されています。<BR>\n", "(uidNumber=1500)", ""},
      {"a uid", "", add + "NAME=goro&UID=10000",
       "ユーザーＩＤ(10000)がはすでに登録されています。<BR>\n", "(uid=goro)", ""},
      {"a home", "", add + "NAME=inner&UID=&DIR=/srv/home/outsider/",
       "ホームディレクトリ(/srv/home/outsider/inner)は使用できません。<BR>\n", "(uid=inner)", "",
       "orvanta: home /srv/home/outsider/inner refused: another account's home, or inside or "
       "above one\n"},
      {"a uid from the counter passes it by (and the host's 10001)", "", add + "NAME=goro&UID=",
       "", "(uid=goro)",
       "dn: uid=goro,ou=people,dc=orvanta,dc=test\nuidNumber: 10002\n\n", kHomeLeft},
      {"a group name", "", "COMMAND=GP_WILLBEADD&GNAME=outgrp&GID=1500",
       "グループ名(outgrp)はすでに登録されています。<BR>\n", "(gidNumber=1500)", ""},
      {"a typed gid", "", "COMMAND=GP_WILLBEADD&GNAME=newgrp&GID=10001",
       "グループの登録に失敗しました。<BR>\n<BR>\n", "(cn=newgrp)", "",
       "orvanta: ldap: a group below LDAP_ID_SEARCH_BASE has the gidNumber 10001\n"},
      {"a gid from the counter passes it by (and the host's 10000)", "",
       "COMMAND=GP_WILLBEADD&GNAME=newgrp&GID=", "", "(cn=newgrp)",
       "dn: cn=newgrp,ou=groups,dc=orvanta,dc=test\ngidNumber: 10002\n\n"},
      {"LDAP_ID_SEARCH_BASE as narrow as the people", "LDAP_ID_SEARCH_BASE=ou=people,dc=orvanta,dc=test\n",
       add + "NAME=goro&UID=10000", "", "(uid=goro)",
       "dn: uid=goro,ou=people,dc=orvanta,dc=test\nuidNumber: 10000\n\n", kHomeLeft},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Host host;
    const DirectoryServer server(host.box, kPasswd, kGroup, kShadow, outside);
    host.Configure(server, c.settings);
    // A request naming the setting changes nothing.
    const std::string page =
        host.Send(c.body + "&LDAP_ID_SEARCH_BASE=ou%3Dpeople%2Cdc%3Dorvanta%2Cdc%3Dtest");
    if (!c.page.empty()) {
      EXPECT_EQ(Utf8(page), Utf8(MessagePage(c.page)));
    }
    EXPECT_EQ(host.box.LogRecords().size(), c.page.empty() ? 1u : 0u);
    EXPECT_EQ(server.Search(c.filter, c.filter.starts_with("(cn") ? "gidNumber" : "uidNumber"),
              c.entries);
    EXPECT_EQ(host.box.ReadFile(".stderr"), c.error_line);
  }
}

// People and groups in two naming contexts share no suffix: without
// LDAP_ID_SEARCH_BASE nothing can be found taken, so registrations fail
// with one line and no home command runs; with it they go through.
TEST(DirectoryTest, BasesThatShareNoSuffixNeedTheIdSearchBase) {
  const Host host;
  const DirectoryServer server(host.box, kPasswd, kGroup, kShadow, "", false, false,
                               "SLAPD_OTHER_TREE=1");
  const std::string no_base =
      "orvanta: ldap: LDAP_PEOPLE_BASE and LDAP_GROUP_BASE share no suffix: LDAP_ID_SEARCH_BASE is "
      "needed for registrations, home changes and home commands\n";
  const std::string registration =
      "COMMAND=WILLBEADD&NAME=goro&PASS=Secret12&UID=&GID=&DIR=/home/&SHELL=/bin/sh";
  const struct {
    const char* what;
    std::string settings, body;
    std::string page;    // the message, or the first row of a table
    std::string stderr_text;
  } cases[] = {
      {"a registration", "", registration, "ユーザーの登録に失敗しました。<BR>\n<BR>\n", no_base},
      {"a group registration", "", "COMMAND=GP_WILLBEADD&GNAME=newgrp&GID=",
       "グループの登録に失敗しました。<BR>\n<BR>\n", no_base},
      {"a deletion: the entry goes, its home stays", "", "COMMAND=WILLBEDEL&NAME=taro",
       "<TD>taro</TD><TD>削除しました（ホームディレクトリは残しました）。</TD>",
       no_base + "orvanta: HOME_DELETE not run for /home/taro: the taken checks have no base\n"},
      {"a group registration with the setting", "LDAP_ID_SEARCH_BASE=dc=orvanta,dc=test\n",
       "COMMAND=GP_WILLBEADD&GNAME=newgrp&GID=", "", ""},
      {"a registration with the setting", "LDAP_ID_SEARCH_BASE=dc=orvanta,dc=test\n",
       registration + "&GID=newgrp", "", kHomeLeft},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    host.Configure(server, "LDAP_GROUP_BASE=o=elsewhere\n" + c.settings);
    host.box.WriteFile(".stderr", "");
    const std::string page = host.Send(c.body);
    if (c.page.starts_with("<TD>")) {
      EXPECT_EQ(Rows(page), std::vector<std::string>{c.page});
    } else if (!c.page.empty()) {
      EXPECT_EQ(Utf8(page), Utf8(MessagePage(c.page)));
    }
    EXPECT_EQ(host.box.ReadFile(".stderr"), c.stderr_text);
  }
  EXPECT_EQ(host.box.LogRecords(),
            (std::vector<std::string>{"DEL,taro", "GADD,newgrp", "ADD,goro"}));
  EXPECT_EQ(host.box.CallsOf("home"),
            (std::vector<std::vector<std::string>>{{"create", "/home/goro"}}));
}

// RFC 2307's homeDirectory has no substring rule, and a server of that
// schema matches "(homeDirectory=PATH/*)" with nothing: the home rules then
// read every account, and still find the homes inside and above.
TEST(DirectoryTest, WithoutASubstringRuleEveryHomeIsRead) {
  const std::string every_home =
      "orvanta: ldap: the server's schema gives homeDirectory no substring rule: every account "
      "is read for the home rules\n";
  const std::string near = " refused: another account's home, or inside or above one\n";
  const struct {
    std::string body, home;
  } cases[] = {
      {"NAME=inner&DIR=/home/taro/", "/home/taro/inner"},
      {"NAME=team&DIR=/srv/home/", "/srv/home/team"},
  };
  const Host host;
  const DirectoryServer server(
      host.box, kPasswd, kGroup, kShadow,
      "dn: uid=deep,ou=people,dc=orvanta,dc=test\nobjectClass: account\n"
      "objectClass: posixAccount\nuid: deep\ncn: D\nuidNumber: 1600\ngidNumber: 100\n"
      "homeDirectory: /srv/home/team/deep\n\n",
      false, false, "SLAPD_STOCK_NIS=1");
  host.Configure(server);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    host.box.WriteFile(".stderr", "");
    EXPECT_EQ(Utf8(host.Send("COMMAND=WILLBEADD&PASS=Secret12&UID=&GID=staff&SHELL=/bin/sh&" +
                             c.body)),
              Utf8(MessagePage("ホームディレクトリ(" + c.home + ")は使用できません。<BR>\n")));
    EXPECT_EQ(host.box.ReadFile(".stderr"), every_home + "orvanta: home " + c.home + near);
  }
  EXPECT_FALSE(host.box.Exists("orvanta.log"));
}

// The server's certificate is always checked: StartTLS and ldaps reach the
// directory with the CA that signed it, and nothing without it.
TEST(DirectoryTest, TlsDemandsTheServersCertificate) {
  const Host host;
  const DirectoryServer server(host.box, kPasswd, kGroup, kShadow, "", true);
  const std::string plain_uri =
      "LDAP_URI=ldap://localhost:" + std::to_string(server.starttls_port()) + "/\n";
  const std::string starttls = plain_uri + "LDAP_STARTTLS=YES\n";
  const std::string ldaps = "LDAP_URI=ldaps://localhost:" + std::to_string(server.ldaps_port()) + "/\n";
  const std::string ca = "LDAP_CACERT=" + server.TlsFile("ca.crt") + "\n";
  const std::string other_ca = "LDAP_CACERT=" + server.TlsFile("other-ca.crt") + "\n";
  const std::string refused_starttls =
      "orvanta: ldap StartTLS ldap://localhost:" + std::to_string(server.starttls_port()) +
      "/: -11 (Connect error): (unknown\\x20error\\x20code)\n";
  const std::string refused_ldaps =
      "orvanta: ldap bind ldaps://localhost:" + std::to_string(server.ldaps_port()) +
      "/: -11 (Connect error): (unknown\\x20error\\x20code)\n";
  const struct {
    const char* what;
    std::string settings;
    std::string error_line;  // "" when the list shows the directory
  } cases[] = {
      {"StartTLS", starttls + ca, ""},
      {"ldaps", ldaps + ca, ""},
      {"StartTLS, another CA", starttls + other_ca, refused_starttls},
      {"ldaps, another CA", ldaps + other_ca, refused_ldaps},
      {"ldaps, no CA", ldaps, refused_ldaps},
      // Never a bind in clear text for a StartTLS meant but misspelt.
      {"StartTLS in lower case", plain_uri + "LDAP_STARTTLS=yes\n" + ca,
       "orvanta: LDAP_STARTTLS=yes is none of NO, YES or empty: the directory is not reached\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    host.Configure(server, c.settings);
    host.box.WriteFile(".stderr", "");
    const std::string page = host.box.Run(Get("COMMAND=VIEW")).out;
    EXPECT_EQ(page.find("<TD>taro</TD>") != std::string::npos, c.error_line.empty());
    EXPECT_EQ(host.box.ReadFile(".stderr"), c.error_line);
  }
}

TEST(DirectoryTest, TheLibraryReadsNoConfigurationOfItsOwn) {
  const Host host;
  const DirectoryServer server(host.box, kPasswd, kGroup, kShadow);
  host.Configure(server);
  host.box.WriteFile("ldaprc", "URI ldap://192.0.2.1/\n");
  const std::string trace = host.box.PathOf("open.trace");
  CgiRequest request = Get("COMMAND=VIEW");
  request.extra_env = {"LDAPRC=" + host.box.PathOf("ldaprc"), "LDAPURI=ldap://192.0.2.1/"};
  const CgiResult result = host.box.Run(
      request, {"/usr/bin/strace", "-f", "-qq", "-e", "trace=open,openat", "-o", trace});
  EXPECT_NE(result.out.find("<TD>taro</TD>"), std::string::npos);
  const std::string opened = host.box.ReadFile("open.trace");
  EXPECT_EQ(opened.find("ldap.conf"), std::string::npos) << opened;
  EXPECT_EQ(opened.find("ldaprc"), std::string::npos) << opened;
}

}  // namespace
}  // namespace orvanta::test
