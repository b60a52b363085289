// orvanta.cgi driving the host's real shadow tools (useradd, usermod,
// userdel, groupadd, groupdel). Every tool is configured with --prefix, so
// it edits the etc/passwd, group, shadow and gshadow of a throwaway tree;
// nss_wrapper serves that same etc/passwd and etc/group to the program, so
// its lists show what the tools wrote. Home directories are named under
// /orvanta-test-home, which must not exist on the host: the tools never make
// a home without -m, and with --prefix userdel -r removes the one inside the
// tree. Each test checks that the host's own account files did not change.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"
#include "tests/support/trace.h"

namespace orvanta::test {
namespace {

constexpr char kHostHomeBase[] = "/orvanta-test-home";
constexpr char kClient[] = "198.51.100.23";

// ---------------------------------------------------------------------------
// The host's own account files, to prove the tests leave them alone.

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::uint64_t Checksum(std::string_view bytes) {  // FNV-1a, 64 bits
  std::uint64_t hash = 14695981039346656037u;
  for (unsigned char c : bytes) {
    hash ^= c;
    hash *= 1099511628211u;
  }
  return hash;
}

// One text per watched file or directory: its checksum, size and time of
// last change, or the names a directory holds.
std::vector<std::string> HostAccountState() {
  std::vector<std::string> state;
  for (const char* path : {"/etc/passwd", "/etc/group", "/etc/shadow", "/etc/gshadow",
                           "/etc/subuid", "/etc/subgid", "/var/log/lastlog", "/var/log/faillog"}) {
    struct stat info {};
    if (stat(path, &info) != 0) {
      state.push_back(std::string(path) + " missing");
      continue;
    }
    std::ostringstream line;
    line << path << " fnv1a=" << std::hex << Checksum(ReadWhole(path)) << std::dec
         << " size=" << info.st_size << " mtime=" << info.st_mtim.tv_sec << "."
         << info.st_mtim.tv_nsec;
    state.push_back(line.str());
  }
  for (const char* dir : {"/home", "/var/mail"}) {
    std::set<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
      names.insert(entry.path().filename().string());
    }
    std::string line = std::string(dir) + ":";
    for (const std::string& name : names) line += " " + name;
    state.push_back(line);
  }
  return state;
}

// ---------------------------------------------------------------------------
// The account database of the tree, and the pages that show it.

struct Account {
  std::string name;
  unsigned uid;
  unsigned gid;
  std::string gcos;
  std::string dir;
  std::string shell;
};

struct Group {
  std::string name;
  unsigned gid;
};

const std::vector<Account> kAccounts = {
    {"root", 0, 0, "root", "/root", "/bin/bash"},
    {"daemon", 1, 1, "daemon", "/usr/sbin", "/usr/sbin/nologin"},
    {"sysacct", 999, 999, "System Account", "/var/lib/sysacct", "/usr/sbin/nologin"},
    {"taro", 1001, 100, "Taro Yamada", "/orvanta-test-home/taro", "/bin/sh"},
    {"jiro", 1002, 1200, "Jiro Suzuki", "/orvanta-test-home/jiro", "/bin/sh"},
};

const std::vector<Group> kGroups = {
    {"root", 0}, {"daemon", 1}, {"users", 100}, {"sysgrp", 999}, {"staff", 1100}, {"devel", 1200},
};

std::string PasswdLine(const Account& a) {
  return a.name + ":x:" + std::to_string(a.uid) + ":" + std::to_string(a.gid) + ":" + a.gcos + ":" +
         a.dir + ":" + a.shell + "\n";
}

std::string PasswdText(const std::vector<Account>& accounts) {
  std::string text;
  for (const Account& a : accounts) text += PasswdLine(a);
  return text;
}

std::string ShadowLine(const std::string& name) {
  return name + ":" + (name == "root" ? "*" : "!") + ":19000:0:99999:7:::\n";
}

std::string ShadowText(const std::vector<Account>& accounts) {
  std::string text;
  for (const Account& a : accounts) text += ShadowLine(a.name);
  return text;
}

std::string GroupText(const std::vector<Group>& groups) {
  std::string text;
  for (const Group& g : groups) text += g.name + ":x:" + std::to_string(g.gid) + ":\n";
  return text;
}

std::string GshadowText(const std::vector<Group>& groups) {
  std::string text;
  for (const Group& g : groups) text += g.name + ":" + (g.name == "root" ? "*" : "!") + "::\n";
  return text;
}

std::string UserListPage(const std::vector<Account>& accounts, const std::vector<Group>& groups) {
  std::string body =
      "<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
      "<CAPTION><FONT SIZE=\"+2\">ユーザー一覧</FONT></CAPTION>\n\n";
  for (size_t i = 0; i < accounts.size(); ++i) {
    const Account& a = accounts[i];
    if (i % 10 == 0) {
      body +=
          "<TR BGCOLOR=\"#D0D0FF\"><TH><BR></TH>\n<TH NOWRAP>ユーザー</TH>\n"
          "<TH NOWRAP>ユーザーＩＤ</TH>\n<TH NOWRAP>グループＩＤ</TH>\n"
          "<TH NOWRAP>ユーザー氏名</TH>\n<TH NOWRAP>ホームディレクトリー</TH>\n"
          "<TH NOWRAP>ログインシェル</TH></TR>\n\n";
    }
    std::string group;
    for (const Group& g : groups) {
      if (g.gid == a.gid) group = g.name;
    }
    body += "<TR><TD>" + std::to_string(i) + "</TD>\n<TD>" + a.name + "</TD>\n<TD>" +
            std::to_string(a.uid) + "</TD>\n<TD>" + std::to_string(a.gid) + "(" + group +
            ")</TD>\n<TD NOWRAP>" + a.gcos + "</TD>\n<TD NOWRAP>" + a.dir + "</TD>\n<TD NOWRAP>" +
            a.shell + "</TD></TR>\n\n";
  }
  return Framed(body + "</TABLE>\n<BR>\n" +
                "<A HREF=\"./orvanta.cgi?COMMAND=VIEWCSV\">CSVファイルで保存</A>（一覧のすべての行）<BR>\n");
}

std::string GroupListPage(std::vector<Group> groups) {
  std::stable_sort(groups.begin(), groups.end(),
                   [](const Group& a, const Group& b) { return a.gid < b.gid; });
  std::string body =
      "<TABLE BORDER BGCOLOR=\"#FFFFFF\" WIDTH=\"300\">\n"
      "<CAPTION><FONT SIZE=\"+1\"><B>グループ一覧</B></FONT></CAPTION>\n\n";
  for (size_t i = 0; i < groups.size(); ++i) {
    if (i % 10 == 0) {
      body +=
          "<TR BGCOLOR=\"#D0D0FF\"><TH><BR></TH>\n<TH NOWRAP>グループ</TH>\n"
          "<TH NOWRAP>グループＩＤ</TH>\n";
    }
    body += "<TR><TD>" + std::to_string(i) + "</TD>\n<TD>" + groups[i].name + "</TD>\n<TD>" +
            std::to_string(groups[i].gid) + "</TD>\n";
  }
  return Framed(body + "</TABLE>\n<BR>\n" +
                "<A HREF=\"./orvanta.cgi?COMMAND=GVIEWCSV\">CSVファイルで保存</A>（一覧のすべての行）<BR>\n");
}

// The result page of a registration or a modification: the values sent,
// and the score of a password set.
std::string AccountResultPage(const std::string& caption, const std::string& name,
                              const std::string& uid_cell, const std::string& gid,
                              const std::string& gcos, const std::string& home,
                              const std::string& shell, int score = -1) {
  return Framed("<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n<CAPTION><FONT SIZE=\"+2\">" + caption +
                "</FONT></CAPTION>\n\n"
                "<TR BGCOLOR=\"#D0D0FF\">\n<TH NOWRAP>ユーザー</TH>\n"
                "<TH NOWRAP>ユーザーＩＤ</TH>\n<TH NOWRAP>グループＩＤ</TH>\n"
                "<TH NOWRAP>ユーザー氏名</TH>\n<TH NOWRAP>ホームディレクトリー</TH>\n"
                "<TH NOWRAP>ログインシェル</TH></TR>\n\n"
                "<TR BGCOLOR=\"#FFFFFF\">\n<TD NOWRAP>" +
                name + "</TD>\n" + uid_cell + "<TD NOWRAP>" + gid + "</TD>\n" +
                (gcos.empty() ? "<TD><BR></TD>\n" : "<TD NOWRAP>" + gcos + "</TD>\n") +
                "<TD NOWRAP>" + home + "</TD>\n<TD NOWRAP>" + shell +
                "</TD></TR>\n\n</TABLE>\n<BR>\n" +
                (score < 0 ? "" : "<P>パスワードの強さ: " + std::to_string(score) + "（0〜100）</P>\n"));
}

std::string ResultTable(const std::string& table_attributes, const std::string& caption,
                        const std::string& heading, const std::vector<std::string>& rows) {
  std::string body = "<TABLE BORDER BGCOLOR=\"#FFFFFF\"" + table_attributes + ">\n" +
                     "<CAPTION><B><FONT SIZE=\"+1\">" + caption + "</FONT></B></CAPTION>\n" +
                     "<TR BGCOLOR=\"#D0D0FF\"><TH>" + heading + "</TH><TH>結果</TH></TR>\n";
  for (const std::string& row : rows) body += "<TR BGCOLOR=\"#FFFFFF\">" + row + "</TR>\n";
  return Framed(body + "</TABLE>\n");
}

// ---------------------------------------------------------------------------
// Checks shared by the tests.

// Form encoding of one value: blanks as '+', anything else unusual as %XX.
std::string Enc(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : value) {
    if (std::isalnum(c) != 0 || c == '-' || c == '_' || c == '.' || c == '/') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

std::string LocalMinute(std::time_t t) {
  std::tm parts{};
  localtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y/%m/%d %H:%M", &parts);
  return text;
}

std::string RegexQuote(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (std::string_view(".^$|()[]{}*+?\\").find(c) != std::string_view::npos) out += '\\';
    out += c;
  }
  return out;
}

// The operation log holds exactly these records ("ADD,hanako", ...), each
// followed by the client's address and a time stamp of the run.
void ExpectLog(const std::string& log, const std::vector<std::string>& records, std::time_t from,
               std::time_t to) {
  std::set<std::string> minutes;
  for (std::time_t t = from; t <= to; ++t) minutes.insert(LocalMinute(t));
  std::vector<std::string> lines;
  std::istringstream in(log);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  EXPECT_TRUE(log.empty() || log.back() == '\n') << log;
  ASSERT_EQ(lines.size(), records.size()) << log;
  for (size_t i = 0; i < records.size(); ++i) {
    const std::regex pattern("^" + RegexQuote(records[i]) + "," + RegexQuote(kClient) +
                             ",(\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2})$");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[i], match, pattern)) << lines[i];
    EXPECT_TRUE(minutes.count(match[1].str())) << "time stamp " << match[1] << " not of the run";
  }
}

// The day count the tools write as the date of the last password change.
std::set<std::string> DaysOf(std::time_t from, std::time_t to) {
  return {std::to_string(from / 86400), std::to_string(to / 86400)};
}

// Splits "a:b:c" at every ':'.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, ':')) fields.push_back(field);
  if (!line.empty() && line.back() == ':') fields.push_back("");
  return fields;
}

// ---------------------------------------------------------------------------

// A working directory holding cfg_file.cfg and the --prefix tree root/.
class ToolTree {
 public:
  ToolTree() : root_(box.PathOf("root")) {
    std::filesystem::create_directories(root_ + "/etc");
    WriteEtc("passwd", PasswdText(kAccounts), 0644);
    WriteEtc("group", GroupText(kGroups), 0644);
    WriteEtc("shadow", ShadowText(kAccounts), 0600);
    WriteEtc("gshadow", GshadowText(kGroups), 0600);
    box.SetAccountFiles(root_ + "/etc/passwd", root_ + "/etc/group", root_ + "/etc/shadow");
    std::filesystem::create_directory(root_ + kHostHomeBase);
    Configure("");
  }

  void Configure(const std::string& extra) const {
    std::string config;
    for (const char* key : {"USERADD", "USERMOD", "USERDEL", "GROUPADD", "GROUPDEL"}) {
      std::string tool = key;
      std::transform(tool.begin(), tool.end(), tool.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      config += std::string(key) + "=/usr/sbin/" + tool + " --prefix " + root_ + "\n";
    }
    // The tree is the sandbox's HOME_CHECK_ROOT (see CgiSandbox::SetConfig).
    // Debian 12's chpasswd has -R (a chroot) but no --prefix. The shells
    // include relative ones, so that the tools' own refusals are seen.
    box.SetConfig(config + "CHPASSWD=/usr/sbin/chpasswd -R " + root_ +
                  "\nSYSTEMUID=999\nSYSTEMGID=999\nSHELL1=/bin/sh\nSHELL2=/bin/false\n"
                  "SHELL3=bin/sh\nSHELL4=bin/false\nHOME_ROOTS=" + kHostHomeBase + "\n" +
                  extra);
  }

  std::string Tool(const std::string& name) const {
    return "/usr/sbin/" + name + " --prefix " + root_;
  }

  std::string Etc(const std::string& name) const { return box.ReadFile("root/etc/" + name); }

  CgiResult Send(const std::string& body) const {
    CgiRequest request = Post(body);
    request.remote_addr = kClient;
    return box.Run(request);
  }

  // Sends the body under strace; returns the programs the run started.
  std::vector<Exec> SendTraced(const std::string& body, CgiResult* result) const {
    CgiRequest request = Post(body);
    request.remote_addr = kClient;
    const std::string trace = box.PathOf("execve.trace");
    *result = box.Run(request, StraceArgs(trace));
    std::vector<Exec> execs = SuccessfulExecs(box.ReadFile("execve.trace"));
    if (!execs.empty() && execs.front().path == CgiProgramPath()) execs.erase(execs.begin());
    // useradd and its kin start "nscd -i" and "sss_cache" to flush the host's
    // caches, where those are installed; they are the tool's, not ours.
    std::erase_if(execs, [](const Exec& exec) {
      return exec.path.ends_with("/nscd") || exec.path.ends_with("/sss_cache");
    });
    return execs;
  }

  // A home directory inside the tree, owned by the account, holding a file.
  void MakeHome(const Account& a) const {
    const std::string home = root_ + a.dir;
    std::filesystem::create_directories(home);
    std::ofstream(home + "/.profile") << "# " << a.name << "\n";
    ASSERT_EQ(chown(home.c_str(), a.uid, a.gid), 0);
    ASSERT_EQ(chown((home + "/.profile").c_str(), a.uid, a.gid), 0);
  }

  bool InTree(const std::string& path) const { return std::filesystem::exists(root_ + path); }

  std::string Log() const { return box.ReadFile("orvanta.log"); }

  CgiSandbox box;

 private:
  void WriteEtc(const std::string& name, const std::string& text, mode_t mode) const {
    box.WriteFile("root/etc/" + name, text);
    chmod((root_ + "/etc/" + name).c_str(), mode);
  }

  std::string root_;
};

class RealToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(geteuid(), 0u) << "the account tools need root";
    ASSERT_FALSE(std::filesystem::exists(kHostHomeBase))
        << kHostHomeBase << " exists on the host; the tests name homes under it";
    host_before_ = HostAccountState();
  }

  void TearDown() override {
    EXPECT_EQ(HostAccountState(), host_before_) << "the host's account files changed";
    EXPECT_FALSE(std::filesystem::exists(kHostHomeBase));
  }

 private:
  std::vector<std::string> host_before_;
};

// ---------------------------------------------------------------------------

TEST_F(RealToolsTest, RegistersAccounts) {
  struct Case {
    const char* what;
    std::string config;
    Account account;
    std::string group_name;
    std::string password;
    std::string dir;  // as typed in the form
    int score;        // of the password, under the tests' pwquality.conf
  };
  const std::vector<Case> cases = {
      {"password hashed (USE_CRYPT=YES), directory typed without '/'",
       "USE_CRYPT=YES\n",
       {"hanako", 1500, 1100, "Hanako Sato", "/orvanta-test-home/hanako", "/bin/sh"},
       "staff",
       "Secret12",
       "/orvanta-test-home",
       57},
      {"password hashed without USE_CRYPT too: never stored as typed",
       "",
       {"saburo", 1501, 1200, "Saburo", "/orvanta-test-home/saburo", "/bin/false"},
       "devel",
       "plain-pw",
       "/orvanta-test-home/",
       50},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ToolTree tree;
    tree.Configure(c.config);
    const Account& a = c.account;
    const std::string uid = std::to_string(a.uid);
    const std::time_t from = std::time(nullptr);
    CgiResult result;
    const std::vector<Exec> execs =
        tree.SendTraced("COMMAND=WILLBEADD&NAME=" + a.name + "&PASS=" + Enc(c.password) +
                            "&UID=" + uid + "&GID=" + c.group_name + "&GCOS=" + Enc(a.gcos) +
                            "&DIR=" + Enc(c.dir) + "&SHELL=" + Enc(a.shell),
                        &result);
    const std::time_t to = std::time(nullptr);

    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(Utf8(result.out), Utf8(AccountResultPage("ユーザー登録しました。", a.name,
                                                       "<TD NOWRAP>" + uid + "</TD>\n",
                                                       c.group_name, a.gcos, a.dir, a.shell,
                                                       c.score)));

    std::vector<Account> accounts = kAccounts;
    accounts.push_back(a);
    EXPECT_EQ(tree.Etc("passwd"), PasswdText(accounts));
    EXPECT_EQ(tree.Etc("group"), GroupText(kGroups));
    EXPECT_EQ(tree.Etc("gshadow"), GshadowText(kGroups));

    // shadow: the old lines, then name:password:day-of-change::::::
    const std::string shadow = tree.Etc("shadow");
    const std::string old_shadow = ShadowText(kAccounts);
    ASSERT_TRUE(shadow.starts_with(old_shadow)) << shadow;
    std::string added = shadow.substr(old_shadow.size());
    ASSERT_TRUE(added.ends_with("\n")) << added;
    added.pop_back();
    const std::vector<std::string> fields = Fields(added);
    ASSERT_EQ(fields.size(), 9u) << added;
    EXPECT_EQ(fields[0], a.name);
    ExpectDesHashOf(fields[1], c.password, from, to);
    EXPECT_TRUE(DaysOf(from, to).count(fields[2])) << added;
    EXPECT_EQ(std::vector<std::string>(fields.begin() + 3, fields.end()),
              std::vector<std::string>(6, ""));

    // The shell got the tool's line without the password, then chpasswd's,
    // which read the hash on its input; nothing else ran.
    ASSERT_EQ(execs.size(), 4u) << "sh, useradd, sh, chpasswd";
    std::vector<std::vector<std::string>> started;
    for (const Exec& exec : execs) started.push_back(exec.argv);
    EXPECT_EQ(started[0],
              (std::vector<std::string>{"sh", "-c",
                                        tree.Tool("useradd") + "  -c '" + a.gcos + "'  -d " +
                                            a.dir + " -g " + c.group_name + " -s " + a.shell +
                                            " -u " + uid + " " + a.name}));
    EXPECT_EQ(execs[1].path, "/usr/sbin/useradd");
    EXPECT_EQ(started[2], (std::vector<std::string>{
                              "sh", "-c", "/usr/sbin/chpasswd -R " + tree.box.PathOf("root") + " -e"}));
    EXPECT_EQ(execs[3].path, "/usr/sbin/chpasswd");

    ExpectLog(tree.Log(), {"ADD," + a.name}, from, to);
    EXPECT_EQ(Utf8(tree.box.Run(Get("COMMAND=VIEW")).out), Utf8(UserListPage(accounts, kGroups)));
  }
}

TEST_F(RealToolsTest, RefusedRegistrationShowsTheErrorAndChangesNothing) {
  const ToolTree tree;
  tree.Configure("USE_CRYPT=YES\n");
  CgiResult result;
  const std::vector<Exec> execs = tree.SendTraced(
      "COMMAND=WILLBEADD&NAME=hanako&PASS=Secret12&UID=1500&GID=staff&GCOS=Hanako"
      "&DIR=/orvanta-test-home/&SHELL=bin/sh",
      &result);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(Utf8(result.out), Utf8(MessagePage("ユーザーの登録に失敗しました。<BR>\n<BR>\n")));
  EXPECT_EQ(result.out, MessagePage("ユーザーの登録に失敗しました。<BR>\n<BR>\n"));
  std::vector<std::string> programs;
  for (const Exec& exec : execs) programs.push_back(exec.path);
  EXPECT_EQ(programs, (std::vector<std::string>{"/bin/sh", "/usr/sbin/useradd"}))
      << "useradd refuses the relative shell";
  EXPECT_EQ(tree.Etc("passwd"), PasswdText(kAccounts));
  EXPECT_EQ(tree.Etc("shadow"), ShadowText(kAccounts));
  EXPECT_FALSE(tree.box.Exists("orvanta.log"));
  EXPECT_EQ(Utf8(tree.box.Run(Get("COMMAND=VIEW")).out), Utf8(UserListPage(kAccounts, kGroups)));
}

TEST_F(RealToolsTest, ModifiesShellAndComment) {
  const ToolTree tree;
  const std::time_t from = std::time(nullptr);
  const CgiResult result = tree.Send(
      "COMMAND=TOBEMOD&NAME=taro&PASS=&UID=1001&GID=users&GCOS=Taro+Y.&DIR=/orvanta-test-home/"
      "&SHELL=/bin/false&CHKGCOS=on&CHKSHELL=on");
  const std::time_t to = std::time(nullptr);
  EXPECT_EQ(Utf8(result.out),
            Utf8(AccountResultPage("ユーザー情報を変更しました。", "taro", "<TD NOWRAP>1001</TD>\n",
                                   "users", "Taro Y.", "/orvanta-test-home/taro", "/bin/false")));
  std::vector<Account> accounts = kAccounts;
  accounts[3].gcos = "Taro Y.";
  accounts[3].shell = "/bin/false";
  EXPECT_EQ(tree.Etc("passwd"), PasswdText(accounts));
  EXPECT_EQ(tree.Etc("shadow"), ShadowText(kAccounts));
  ExpectLog(tree.Log(), {"MOD,taro"}, from, to);
  EXPECT_EQ(Utf8(tree.box.Run(Get("COMMAND=VIEW")).out), Utf8(UserListPage(accounts, kGroups)));
}

TEST_F(RealToolsTest, ModifiesPassword) {
  const ToolTree tree;
  tree.Configure("USE_CRYPT=NO\n");  // a changed password is hashed regardless
  const std::time_t from = std::time(nullptr);
  const CgiResult result = tree.Send(
      "COMMAND=TOBEMOD&NAME=jiro&PASS=NewPass9&UID=1002&GID=devel&GCOS=Jiro+Suzuki"
      "&DIR=/orvanta-test-home/&SHELL=/bin/sh&CHKPASS=on");
  const std::time_t to = std::time(nullptr);
  EXPECT_EQ(Utf8(result.out),
            Utf8(AccountResultPage("ユーザー情報を変更しました。", "jiro", "<TD NOWRAP>1002</TD>\n",
                                   "devel", "Jiro Suzuki", "/orvanta-test-home/jiro", "/bin/sh",
                                   61)));
  EXPECT_EQ(tree.Etc("passwd"), PasswdText(kAccounts));
  // Only jiro's line changes: new hash, new day of change, the rest kept.
  std::istringstream shadow(tree.Etc("shadow"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(shadow, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), kAccounts.size());
  for (size_t i = 0; i < kAccounts.size(); ++i) {
    if (kAccounts[i].name == "jiro") continue;
    EXPECT_EQ(lines[i] + "\n", ShadowLine(kAccounts[i].name));
  }
  const std::vector<std::string> fields = Fields(lines[4]);
  ASSERT_EQ(fields.size(), 9u) << lines[4];
  EXPECT_EQ(fields[0], "jiro");
  ExpectDesHashOf(fields[1], "NewPass9", from, to);
  EXPECT_TRUE(DaysOf(from, to).count(fields[2])) << lines[4];
  EXPECT_EQ(std::vector<std::string>(fields.begin() + 3, fields.end()),
            (std::vector<std::string>{"0", "99999", "7", "", "", ""}));
  ExpectLog(tree.Log(), {"MOD,jiro"}, from, to);
}

TEST_F(RealToolsTest, RefusedModificationChangesNothing) {
  struct Case {
    const char* what;
    std::string body;
    std::string page;
  };
  const std::string kFailed = MessagePage("ユーザー情報変更に失敗しました。<BR>\n<BR>\n");
  const std::string kNotSelected = MessagePage("ユーザーが選択されていません<BR>\n<BR>\n");
  const std::vector<Case> cases = {
      {"usermod refuses a relative shell", "COMMAND=TOBEMOD&NAME=taro&SHELL=bin/false&CHKSHELL=on",
       kFailed},
      {"usermod refuses a uid another account has", "COMMAND=TOBEMOD&NAME=taro&UID=1002&CHKUID=on",
       kFailed},
      {"a system account is not offered", "COMMAND=TOBEMOD&NAME=sysacct&SHELL=/bin/sh&CHKSHELL=on",
       kNotSelected},
      {"a name that is no account", "COMMAND=TOBEMOD&NAME=nobody9&SHELL=/bin/sh&CHKSHELL=on",
       kNotSelected},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ToolTree tree;
    const CgiResult result = tree.Send(c.body);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(Utf8(result.out), Utf8(c.page));
    EXPECT_EQ(tree.Etc("passwd"), PasswdText(kAccounts));
    EXPECT_EQ(tree.Etc("shadow"), ShadowText(kAccounts));
    EXPECT_FALSE(tree.box.Exists("orvanta.log"));
  }
}

// userdel -r only for a home of the account's own below HOME_ROOTS: jiro's
// is root's, victim's the root-owned /srv/victim.
TEST_F(RealToolsTest, DeletesAccountsInRequestOrder) {
  const ToolTree tree;
  std::vector<Account> accounts = kAccounts;
  accounts.push_back({"victim", 1003, 100, "", "/srv/victim", "/bin/sh"});
  tree.box.WriteFile("root/etc/passwd", PasswdText(accounts));
  tree.box.WriteFile("root/etc/shadow", ShadowText(accounts));
  std::filesystem::create_directories(tree.box.PathOf("root/srv/victim"));
  tree.MakeHome(kAccounts[3]);  // taro
  tree.MakeHome(kAccounts[4]);  // jiro
  ASSERT_EQ(chown(tree.box.PathOf("root/orvanta-test-home/jiro").c_str(), 0, 0), 0);
  const std::time_t from = std::time(nullptr);
  CgiResult result;
  const std::vector<Exec> execs = tree.SendTraced(
      "COMMAND=WILLBEDEL&NAME=taro&NAME=sysacct&NAME=jiro&NAME=victim&NAME=taro", &result);
  const std::time_t to = std::time(nullptr);
  std::vector<std::string> lines;
  for (const Exec& exec : execs) {
    if (exec.path == "/bin/sh") lines.push_back(exec.argv.at(2));
  }
  const std::string userdel = tree.Tool("userdel");
  EXPECT_EQ(lines, (std::vector<std::string>{userdel + " -r taro", userdel + " jiro",
                                             userdel + " victim"}));

  const std::string kept = "削除しました（ホームディレクトリは残しました）。</TD>";
  EXPECT_EQ(Utf8(result.out),
            Utf8(ResultTable("", "ユーザーを削除しました。", "ユーザー名",
                             {"<TD>taro</TD><TD>削除しました。</TD>",
                              "<TD>sysacct</TD><TD>削除が禁止されているユーザーです</TD>",
                              "<TD>jiro</TD><TD>" + kept, "<TD>victim</TD><TD>" + kept,
                              // A name again: no second run.
                              "<TD>taro</TD><TD>削除できませんでした</TD>"})));
  const std::vector<Account> left = {kAccounts[0], kAccounts[1], kAccounts[2]};
  EXPECT_EQ(tree.Etc("passwd"), PasswdText(left));
  EXPECT_EQ(tree.Etc("shadow"), ShadowText(left));
  EXPECT_EQ(tree.Etc("group"), GroupText(kGroups));
  EXPECT_FALSE(tree.InTree("/orvanta-test-home/taro")) << "userdel -r removes the home";
  EXPECT_TRUE(tree.InTree("/orvanta-test-home/jiro/.profile"));
  EXPECT_TRUE(tree.InTree("/srv/victim"));
  ExpectLog(tree.Log(), {"DEL,taro", "DEL,jiro", "DEL,victim"}, from, to);

  EXPECT_EQ(Utf8(tree.box.Run(Get("COMMAND=VIEW")).out), Utf8(UserListPage(left, kGroups)));
}

// The names an archive of the account made between the two moments may have.
std::set<std::string> ArchiveNames(const std::string& name, std::time_t from, std::time_t to) {
  std::set<std::string> names;
  for (std::time_t t = from; t <= to; ++t) {
    std::tm parts{};
    localtime_r(&t, &parts);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "-%Y%m%d-%H%M.tar.gz", &parts);
    names.insert(name + stamp);
  }
  return names;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// The real tar writes the home into ARCHIVE_DIR (0600) before userdel -r
// takes it (the lines themselves: command_line_test).
TEST_F(RealToolsTest, ArchivesTheHomeThenDeletes) {
  const ToolTree tree;
  const std::string archives = tree.box.PathOf("archive");
  std::filesystem::create_directory(archives);
  tree.Configure("ARCHIVE_DIR=" + archives + "\n");
  tree.MakeHome(kAccounts[3]);  // taro
  const std::time_t from = std::time(nullptr);
  const CgiResult result = tree.Send("COMMAND=WILLBEDEL&NAME=taro&HOME=archive");
  const std::time_t to = std::time(nullptr);
  const std::vector<std::string> files = FilesIn(archives);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_TRUE(ArchiveNames("taro", from, to).count(files[0])) << files[0];
  const std::string archive = archives + "/" + files[0];
  EXPECT_EQ(Utf8(result.out),
            Utf8(ResultTable("", "ユーザーを削除しました。", "ユーザー名",
                             {"<TD>taro</TD><TD>削除しました（ホームディレクトリは" + archive +
                              "に保存しました）。</TD>"})));
  EXPECT_EQ(std::filesystem::status(archive).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  ASSERT_EQ(std::system(("tar -tzf " + archive + " > " + tree.box.PathOf("listed")).c_str()), 0);
  EXPECT_EQ(tree.box.ReadFile("listed"), "taro/\ntaro/.profile\n");
  EXPECT_FALSE(tree.InTree("/orvanta-test-home/taro"));
  EXPECT_EQ(tree.Etc("passwd"),
            PasswdText({kAccounts[0], kAccounts[1], kAccounts[2], kAccounts[4]}));
  ExpectLog(tree.Log(), {"DEL,taro"}, from, to);
}

// Without a whole archive nothing is deleted: a full ARCHIVE_DIR (a 64 KiB
// tmpfs) has its partial archive removed, and a file of the archive's name
// is never overwritten.
TEST_F(RealToolsTest, NoDeletionWithoutAWholeArchive) {
  const ToolTree tree;
  const std::string archives = tree.box.PathOf("archive");
  std::filesystem::create_directory(archives);
  if (mount("orvanta-test", archives.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0) {
    GTEST_SKIP() << "no tmpfs may be mounted here";
  }
  struct Unmount {
    const std::string& dir;
    ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
  } unmount{archives};
  tree.Configure("ARCHIVE_DIR=" + archives + "\n");
  tree.MakeHome(kAccounts[3]);  // taro
  // Random bytes do not compress: the archive outgrows the tmpfs.
  ASSERT_EQ(std::system(("head -c 262144 /dev/urandom > " + tree.box.PathOf("root") +
                         "/orvanta-test-home/taro/noise").c_str()),
            0);
  const std::string not_archived =
      ResultTable("", "ユーザーを削除しました。", "ユーザー名",
                  {"<TD>taro</TD><TD>ホームディレクトリを保存できなかったため、削除しませんでした。</TD>"});
  EXPECT_EQ(Utf8(tree.Send("COMMAND=WILLBEDEL&NAME=taro&HOME=archive").out), Utf8(not_archived));
  EXPECT_TRUE(FilesIn(archives).empty()) << "the partial archive stays";
  EXPECT_NE(tree.box.ReadFile(".stderr").find("kept: taro (tar failed"), std::string::npos);
  const std::time_t now = std::time(nullptr);
  for (const std::string& name : ArchiveNames("taro", now, now + 60)) {
    tree.box.WriteFile("archive/" + name, "older\n");
  }
  EXPECT_EQ(Utf8(tree.Send("COMMAND=WILLBEDEL&NAME=taro&HOME=archive").out), Utf8(not_archived));
  for (const std::string& name : ArchiveNames("taro", now, now + 60)) {
    EXPECT_EQ(tree.box.ReadFile("archive/" + name), "older\n");
  }
  EXPECT_NE(tree.box.ReadFile(".stderr").find("kept: taro (the archive exists"), std::string::npos);
  EXPECT_EQ(tree.Etc("passwd"), PasswdText(kAccounts));
  EXPECT_TRUE(tree.InTree("/orvanta-test-home/taro/noise"));
  EXPECT_FALSE(tree.box.Exists("orvanta.log"));
}

TEST_F(RealToolsTest, RegistersGroups) {
  struct Case {
    const char* what;
    std::string name;
    std::string gid_typed;
    std::string page;             // empty: the result page
    std::optional<unsigned> gid;  // the gid in the tree; nullopt: the tool picks
  };
  const std::vector<Case> cases = {
      {"gid typed with leading zeros", "staffa", "01300", "", 1300u},
      {"no gid: the tool chooses", "staffb", "", "", std::nullopt},
      {"a gid with letters never reaches the tool", "staffc", "12x",
       MessagePage("グループＩＤに数字以外の文字が含まれています<BR>\n"), std::nullopt},
      {"a gid the database already holds, written with a leading zero", "staffd", "01100",
       MessagePage("グループＩＤ(1100)がはすでに登録されています。<BR>\n"), std::nullopt},
      {"a name the database already holds", "staff", "1300",
       MessagePage("グループ名(staff)はすでに登録されています。<BR>\n"), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ToolTree tree;
    const std::time_t from = std::time(nullptr);
    const CgiResult result =
        tree.Send("COMMAND=GP_WILLBEADD&GNAME=" + c.name + "&GID=" + c.gid_typed);
    const std::time_t to = std::time(nullptr);
    EXPECT_EQ(result.exit_status, 0);
    if (!c.page.empty()) {
      EXPECT_EQ(Utf8(result.out), Utf8(c.page));
      EXPECT_EQ(tree.Etc("group"), GroupText(kGroups));
      EXPECT_EQ(tree.Etc("gshadow"), GshadowText(kGroups));
      EXPECT_FALSE(tree.box.Exists("orvanta.log"));
      continue;
    }
    EXPECT_EQ(Utf8(result.out),
              Utf8(Framed("<TABLE BORDER BGCOLOR=\"#FFFFFF\" WIDTH=\"300\">\n"
                          "<CAPTION><FONT SIZE=\"+2\">グループ登録しました。</FONT></CAPTION>\n\n"
                          "<TR BGCOLOR=\"#D0D0FF\">\n<TH NOWRAP>グループ</TH>\n"
                          "<TH NOWRAP>グループＩＤ</TH>\n<TR BGCOLOR=\"#FFFFFF\">\n<TD NOWRAP>" +
                          c.name + "</TD>\n" +
                          (c.gid_typed.empty() ? "<TD NOWRAP><BR></TD>\n"
                                               : "<TD NOWRAP>" + c.gid_typed + "</TD>\n") +
                          "</TABLE>\n<BR>\n")));
    const std::string group = tree.Etc("group");
    const std::string old_group = GroupText(kGroups);
    ASSERT_TRUE(group.starts_with(old_group)) << group;
    std::smatch match;
    const std::string added = group.substr(old_group.size());
    ASSERT_TRUE(std::regex_match(added, match, std::regex("^" + c.name + ":x:([0-9]+):\n$")))
        << added;
    const unsigned gid = static_cast<unsigned>(std::stoul(match[1]));
    if (c.gid) {
      EXPECT_EQ(gid, *c.gid);
    } else {
      EXPECT_GT(gid, 999u) << "the tool chose a system gid";
      for (const Group& g : kGroups) EXPECT_NE(gid, g.gid) << "gid of " << g.name;
    }
    std::vector<Group> groups = kGroups;
    groups.push_back({c.name, gid});
    EXPECT_EQ(tree.Etc("gshadow"), GshadowText(groups));
    ExpectLog(tree.Log(), {"GADD," + c.name}, from, to);
    EXPECT_EQ(Utf8(tree.box.Run(Get("COMMAND=GVIEW")).out), Utf8(GroupListPage(groups)));
  }
}

TEST_F(RealToolsTest, DeletesGroupsInRequestOrder) {
  const ToolTree tree;
  const std::time_t from = std::time(nullptr);
  const CgiResult result =
      tree.Send("COMMAND=GP_WILLBEDEL&GNAME=staff&GNAME=sysgrp&GNAME=devel&GNAME=nosuchgroup");
  const std::time_t to = std::time(nullptr);
  EXPECT_EQ(Utf8(result.out),
            Utf8(ResultTable(" WIDTH=\"300\"", "グループを削除しました。", "グループ名",
                             {"<TD>staff</TD><TD>削除しました。</TD>",
                              "<TD>sysgrp</TD><TD>削除が禁止されているグループです。</TD>",
                              // groupdel keeps a group that is an account's primary group.
                              "<TD>devel</TD><TD>削除できませんでした。</TD>",
                              "<TD>nosuchgroup</TD><TD>削除が禁止されているグループです。</TD>"})));
  std::vector<Group> left = kGroups;
  left.erase(left.begin() + 4);  // staff
  EXPECT_EQ(tree.Etc("group"), GroupText(left));
  EXPECT_EQ(tree.Etc("gshadow"), GshadowText(left));
  EXPECT_EQ(tree.Etc("passwd"), PasswdText(kAccounts));
  ExpectLog(tree.Log(), {"GDEL,staff"}, from, to);
  EXPECT_EQ(Utf8(tree.box.Run(Get("COMMAND=GVIEW")).out), Utf8(GroupListPage(left)));
}

// The text with one line replaced (the line must be there).
TEST_F(RealToolsTest, RegistersABatch) {
  const ToolTree tree;
  std::string lines = "# class 2B\r\n";
  std::vector<std::string> expected_names;
  for (int i = 1; i <= 20; ++i) {
    const std::string name = "kb" + std::to_string(100 + i);
    if (i == 4) {
      lines += name + ",abc\r\n";  // password too short
    } else if (i == 9) {
      lines += name + ",abc123,,nogroup\r\n";
    } else if (i == 15) {
      lines += "kb101,abc123\r\n";  // the first line's name again
    } else {
      lines += name + ",abc123," + std::to_string(3000 + i) + ",staff,Student " +
               std::to_string(i) + "\r\n";
      expected_names.push_back(name);
    }
  }
  const std::time_t from = std::time(nullptr);
  const CgiResult result = tree.Send("COMMAND=BATCHADD&DIR=" + Enc(kHostHomeBase) +
                                     "&SHELL=%2Fbin%2Fsh&LINES=" + Enc(lines));
  const std::time_t to = std::time(nullptr);
  EXPECT_NE(Utf8(result.out).find("<P>20行のうち、3行に問題がありました。</P>"), std::string::npos)
      << Utf8(result.out);
  std::vector<std::string> records;
  std::string passwd = PasswdText(kAccounts);
  for (const std::string& name : expected_names) {
    const int i = std::stoi(name.substr(2)) - 100;
    passwd += name + ":x:" + std::to_string(3000 + i) + ":1100:Student " + std::to_string(i) +
              ":" + kHostHomeBase + "/" + name + ":/bin/sh\n";
    records.push_back("ADD," + name);
  }
  EXPECT_EQ(tree.Etc("passwd"), passwd);
  ExpectLog(tree.Log(), records, from, to);
}

// With USERGROUPS_ENAB, each account's group is made first and the account
// joins it with -N -g; a typed uid is the next one's floor, as in useradd.
TEST_F(RealToolsTest, GivesEachNewAccountAGroupOfItsOwn) {
  const ToolTree tree;
  tree.box.WriteFile("root/etc/login.defs", "USERGROUPS_ENAB yes\n");
  const std::time_t from = std::time(nullptr);
  const CgiResult result =
      tree.Send("COMMAND=BATCHADD&DIR=" + Enc(kHostHomeBase) +
                "&SHELL=%2Fbin%2Fsh&LINES=" + Enc("kc1,abc123\nkc2,abc123,4000\nkc3,abc123\n"));
  const std::time_t to = std::time(nullptr);
  EXPECT_NE(Utf8(result.out).find("<P>3行のうち、0行に問題がありました。</P>"), std::string::npos)
      << Utf8(result.out);
  std::string passwd = PasswdText(kAccounts);
  std::vector<Group> groups = kGroups;
  for (const auto& [name, id] : {std::pair{"kc1", 1003u}, {"kc2", 4000u}, {"kc3", 4001u}}) {
    passwd += PasswdLine({name, id, id, "", std::string(kHostHomeBase) + "/" + name, "/bin/sh"});
    groups.push_back({name, id});
  }
  EXPECT_EQ(tree.Etc("passwd"), passwd);
  EXPECT_EQ(tree.Etc("group"), GroupText(groups));
  EXPECT_EQ(tree.Etc("gshadow"), GshadowText(groups));
  ExpectLog(tree.Log(), {"ADD,kc1", "ADD,kc2", "ADD,kc3"}, from, to);
}

std::string WithLine(const std::string& text, const std::string& line, const std::string& by) {
  const size_t at = text.find(line);
  EXPECT_NE(at, std::string::npos) << line;
  return at == std::string::npos ? text : text.substr(0, at) + by + text.substr(at + line.size());
}

TEST_F(RealToolsTest, PutsPeopleIntoAGroupAndTakesThemOut) {
  const ToolTree tree;
  const std::time_t from = std::time(nullptr);
  tree.Send("COMMAND=GP_TOBEMEM&GNAME=staff&ADDNAME=taro&ADDNAME=jiro");
  EXPECT_EQ(tree.Etc("group"),
            WithLine(GroupText(kGroups), "staff:x:1100:\n", "staff:x:1100:taro,jiro\n"));
  EXPECT_EQ(tree.Etc("gshadow"),
            WithLine(GshadowText(kGroups), "staff:!::\n", "staff:!::taro,jiro\n"));
  const CgiResult result = tree.Send("COMMAND=GP_TOBEMEM&GNAME=staff&DELNAME=taro");
  const std::time_t to = std::time(nullptr);
  EXPECT_EQ(Utf8(result.out),
            Utf8(Framed("<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n<CAPTION><B><FONT SIZE=\"+1\">"
                        "グループ(staff)のメンバーを変更しました。</FONT></B></CAPTION>\n"
                        "<TR BGCOLOR=\"#D0D0FF\"><TH>ユーザー名</TH><TH>変更</TH><TH>結果</TH></TR>\n"
                        "<TR BGCOLOR=\"#FFFFFF\"><TD>taro</TD><TD>削除</TD><TD>削除しました。</TD>"
                        "</TR>\n</TABLE>\n")));
  EXPECT_EQ(tree.Etc("group"),
            WithLine(GroupText(kGroups), "staff:x:1100:\n", "staff:x:1100:jiro\n"));
  EXPECT_EQ(tree.Etc("gshadow"), WithLine(GshadowText(kGroups), "staff:!::\n", "staff:!::jiro\n"));
  EXPECT_EQ(tree.Etc("passwd"), PasswdText(kAccounts));
  ExpectLog(tree.Log(), {"MADD,taro:staff", "MADD,jiro:staff", "MDEL,taro:staff"}, from, to);
  // The group page reads the member list the tool wrote.
  const std::string page = tree.box.Run(Get("COMMAND=GMEM&GNAME=staff")).out;
  EXPECT_NE(page.find("NAME=\"DELNAME\" VALUE=\"jiro\""), std::string::npos);
  EXPECT_NE(page.find("NAME=\"ADDNAME\" VALUE=\"taro\""), std::string::npos);
}

TEST_F(RealToolsTest, LocksAndUnlocksAnAccount) {
  const ToolTree tree;
  const std::string hash =
      "$y$j9T$F5Jx5fExrKuPp53xLKQ..1$X3DX6M94c7o7TNuedaLIdQXqHabOxnxiMaoT.tChIA";
  const std::string open_line = "taro:" + hash + ":19000:0:99999:7::20500:\n";
  const std::string shadow = WithLine(ShadowText(kAccounts), ShadowLine("taro"), open_line);
  tree.box.WriteFile("root/etc/shadow", shadow);
  // taro's row of the lock list, from its check box to its state.
  const auto taro_row = [&] {
    const std::string page = Utf8(tree.box.Run(Get("COMMAND=LOCK")).out);
    const size_t row = page.find("VALUE=\"taro\"");
    return row == std::string::npos ? "" : page.substr(row, page.find("</TR>", row) - row);
  };
  EXPECT_TRUE(taro_row().ends_with("<TD NOWRAP>使用可能（有効期限 2026-02-16）</TD>"))
      << taro_row();
  const std::time_t from = std::time(nullptr);
  // Locked twice: the second lock keeps the date the first one saved.
  for (int lock = 0; lock < 2; ++lock) tree.Send("COMMAND=TOBELOCK&ACTION=LOCK&NAME=taro");
  EXPECT_EQ(tree.Etc("shadow"),
            WithLine(shadow, open_line, "taro:!" + hash + ":19000:0:99999:7::1:\n"));
  EXPECT_EQ(tree.box.ReadFile("orvanta.lock.expiry"), "taro:1001:20500\n");
  EXPECT_EQ(std::filesystem::status(tree.box.PathOf("orvanta.lock.expiry")).permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  // The lock's day 1 is not shown: the date it saved is.
  EXPECT_TRUE(taro_row().ends_with("<TD NOWRAP>ロック中（有効期限 2026-02-16）</TD>"))
      << taro_row();
  tree.Send("COMMAND=TOBELOCK&ACTION=UNLOCK&NAME=taro");
  const std::time_t to = std::time(nullptr);
  EXPECT_EQ(tree.Etc("shadow"), shadow);
  EXPECT_EQ(tree.box.ReadFile("orvanta.lock.expiry"), "");
  EXPECT_EQ(tree.Etc("passwd"), PasswdText(kAccounts));
  ExpectLog(tree.Log(), {"LOCK,taro", "LOCK,taro", "UNLOCK,taro"}, from, to);
}

// chage in the tree (-R: a chroot, Debian 12's chage has no --prefix): the
// ticked values land in shadow, and chage -l reads them back. On a locked
// account the date goes to the saved entry, and the unlock gives it back.
TEST_F(RealToolsTest, AgeingWithChage) {
  const ToolTree tree;
  const std::string chage = "/usr/bin/chage -R " + tree.box.PathOf("root");
  tree.Configure("CHAGE=" + chage + "\n");
  const std::time_t from = std::time(nullptr);
  tree.Send("COMMAND=TOBEAGED&NAME=taro&CHKMAX=on&MAXDAYS=90&CHKMIN=on&MINDAYS=1&CHKWARN=on"
            "&WARNDAYS=-1&CHKINACT=on&INACTDAYS=30&CHKEXPIRE=on&EXPIRE=2027-03-31&FORCE=on");
  EXPECT_EQ(tree.Etc("shadow"),
            WithLine(ShadowText(kAccounts), ShadowLine("taro"), "taro:!:0:1:90::30:20908:\n"));
  FILE* listing = popen(("LC_ALL=C " + chage + " -l taro").c_str(), "r");
  ASSERT_NE(listing, nullptr);
  std::string listed;
  for (char block[512]; std::fgets(block, sizeof block, listing) != nullptr;) listed += block;
  EXPECT_EQ(pclose(listing), 0);
  EXPECT_EQ(listed,
            "Last password change\t\t\t\t\t: password must be changed\n"
            "Password expires\t\t\t\t\t: password must be changed\n"
            "Password inactive\t\t\t\t\t: password must be changed\n"
            "Account expires\t\t\t\t\t\t: Mar 31, 2027\n"
            "Minimum number of days between password change\t\t: 1\n"
            "Maximum number of days between password change\t\t: 90\n"
            "Number of days of warning before password expires\t: -1\n");

  tree.Send("COMMAND=TOBELOCK&ACTION=LOCK&NAME=taro");
  tree.Send("COMMAND=TOBEAGED&NAME=taro&CHKEXPIRE=on&EXPIRE=2028-01-01");
  EXPECT_EQ(Fields(tree.Etc("shadow").substr(tree.Etc("shadow").find("taro:")))[7], "1");
  EXPECT_EQ(tree.box.ReadFile("orvanta.lock.expiry"), "taro:1001:21184\n");
  tree.Send("COMMAND=TOBELOCK&ACTION=UNLOCK&NAME=taro");
  const std::time_t to = std::time(nullptr);
  EXPECT_EQ(tree.Etc("shadow"),
            WithLine(ShadowText(kAccounts), ShadowLine("taro"), "taro:!:0:1:90::30:21184:\n"));
  ExpectLog(tree.Log(), {"AGE,taro", "LOCK,taro", "AGE,taro", "UNLOCK,taro"}, from, to);
}

}  // namespace
}  // namespace orvanta::test
