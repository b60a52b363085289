// The command lines orvanta.cgi hands to /bin/sh, observed with strace, and
// what the stand-in tools then receive: exact texts (every blank counts),
// one shell word per request value, no program beyond the shell and the
// tool, and a shell environment that holds nothing but the fixed PATH.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"
#include "tests/support/trace.h"

namespace orvanta::test {
namespace {

constexpr char kShellPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";
constexpr const char* kTools[] = {"useradd", "usermod", "userdel", "groupadd", "groupdel",
                                  "chpasswd", "chage", "tar"};

// ---------------------------------------------------------------------------
// Helpers for expected texts.

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// ---------------------------------------------------------------------------

// A working directory with recording stand-ins for the five tools and a small
// account database.
class Bench {
 public:
  Bench() {
    for (const char* tool : kTools) box.AddRecordingTool(tool, 0);
    box.SetAccounts(
        "root:x:0:0:root:/root:/bin/bash\n"
        "sysacct:x:999:999:System:/var/lib/sysacct:/usr/sbin/nologin\n"
        "taro:x:1001:100:Taro:/home/taro:/bin/sh\n"
        "x$(id):x:1003:100::/home/x:/bin/sh\n",
        "root:x:0:\n"
        "users:x:100:\n"
        "sysgrp:x:999:\n"
        "staff:x:1100:\n"
        "g;b:x:1400:\n"
        "users`id`:x:1500:\n");
    box.SetShadow("taro:$y$j9T$salt$hash:19000:0:99999:7::1:\nx$(id):x:19000::::::\n");
    // taro's home is one the rules let userdel -r take.
    std::filesystem::create_directories(box.PathOf("root/home/taro"));
    EXPECT_EQ(chown(box.PathOf("root/home/taro").c_str(), 1001, 100), 0);
    std::filesystem::create_directory(box.PathOf("archive"));
  }


  void Configure(const std::string& extra) const {
    box.SetConfig("USERADD=" + box.PathOf("useradd") + "\nUSERMOD=" + box.PathOf("usermod") +
                  "\nUSERDEL=" + box.PathOf("userdel") + "\nGROUPADD=" + box.PathOf("groupadd") +
                  "\nGROUPDEL=" + box.PathOf("groupdel") + "\nCHPASSWD=" +
                  box.PathOf("chpasswd") + "\nCHAGE=" + box.PathOf("chage") + "\nSYSTEMUID=999\nSYSTEMGID=999\n" +
                  "SHELL1=/bin/sh\nSHELL2=/bin/false\n" + Fill(extra));
  }

  // Replaces @BOX@ with this directory and @useradd@ etc. with the tools.
  std::string Fill(std::string text) const {
    for (const char* tool : kTools) {
      text = Replace(text, std::string("@") + tool + "@", box.PathOf(tool));
    }
    return Replace(text, "@BOX@", box.dir());
  }

  // Runs the request under strace; returns the successful execs after the
  // program's own.
  std::vector<Exec> RunTraced(const CgiRequest& request, CgiResult* result = nullptr) const {
    const std::string trace = box.PathOf("execve.trace");
    const CgiResult got = box.Run(request, StraceArgs(trace));
    EXPECT_EQ(got.exit_status, 0);
    if (result != nullptr) *result = got;
    std::vector<Exec> execs = SuccessfulExecs(box.ReadFile("execve.trace"));
    EXPECT_FALSE(execs.empty()) << "strace saw no execve";
    if (execs.empty()) return execs;
    EXPECT_EQ(execs.front().path, CgiProgramPath());
    execs.erase(execs.begin());
    return execs;
  }

  CgiSandbox box;
};

// One command line and what the shell then started for it.
struct Step {
  std::string line;               // argv[2] of /bin/sh
  std::vector<std::string> argv;  // argv of the program the shell ran
};

// Checks that the only execs were, per step, /bin/sh with exactly the line
// and then the named program with exactly its arguments.
void ExpectSteps(const Bench& bench, const std::vector<Exec>& execs,
                 const std::vector<Step>& steps) {
  std::vector<std::string> seen;
  for (const Exec& exec : execs) {
    std::string shown = exec.path;
    for (const std::string& arg : exec.argv) shown += " [" + arg + "]";
    seen.push_back(shown);
  }
  ASSERT_EQ(execs.size(), steps.size() * 2) << ::testing::PrintToString(seen);
  for (size_t i = 0; i < steps.size(); ++i) {
    const Exec& shell = execs[2 * i];
    const Exec& child = execs[2 * i + 1];
    const std::vector<std::string> argv = [&] {
      std::vector<std::string> filled;
      for (const std::string& arg : steps[i].argv) filled.push_back(bench.Fill(arg));
      return filled;
    }();
    EXPECT_EQ(shell.path, "/bin/sh");
    EXPECT_EQ(shell.argv, (std::vector<std::string>{"sh", "-c", bench.Fill(steps[i].line)}));
    EXPECT_EQ(shell.envp, std::vector<std::string>{kShellPath});
    ASSERT_FALSE(argv.empty());
    EXPECT_EQ(child.path, argv[0]);
    EXPECT_EQ(child.argv, argv);
  }
}

std::string ToolOf(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

struct CommandCase {
  const char* what;
  std::string config;  // settings besides the tools and thresholds
  std::string body;    // the POST body
  std::vector<Step> steps;
};

TEST(CommandLineTest, CommandLinesAndToolArgumentsAreExact) {
  const Step password_step = {"@chpasswd@ -e", {"@chpasswd@", "-e"}};
  const std::vector<CommandCase> cases = {
      {"registration with every field and OPTION",
       "OPTION=-m -k /etc/skel\n",
       "COMMAND=WILLBEADD&NAME=hanako&PASS=pw1234&UID=1500&GID=staff&GCOS=Hanako+Sato"
       "&DIR=/home&SHELL=/bin/sh",
       {{"@useradd@  -c 'Hanako Sato'  -d /home/hanako -g staff -s /bin/sh"
         " -u 1500 -m -k /etc/skel  hanako",
         {"@useradd@", "-c", "Hanako Sato", "-d", "/home/hanako", "-g", "staff", "-s",
          "/bin/sh", "-u", "1500", "-m", "-k", "/etc/skel", "hanako"}},
        password_step}},
      {"registration with NAME, PASS and SHELL only (all other fields empty): the home stated",
       "",
       "COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&UID=&GID=&GCOS=&DIR=&SHELL=/bin/false",
       {{"@useradd@  -d /home/hanako -s /bin/false hanako",
         {"@useradd@", "-d", "/home/hanako", "-s", "/bin/false", "hanako"}},
        password_step}},
      {"registration with an expiry date",
       "",
       "COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&SHELL=/bin/sh&EXPIRE=2027-03-31",
       {{"@useradd@  -d /home/hanako -s /bin/sh -e 2027-03-31 hanako",
         {"@useradd@", "-d", "/home/hanako", "-s", "/bin/sh", "-e", "2027-03-31", "hanako"}},
        password_step}},
      {"ageing of a locked account: every day count, the forced change, the expiry saved",
       "",
       "COMMAND=TOBEAGED&NAME=taro&CHKMAX=on&MAXDAYS=90&CHKMIN=on&MINDAYS=00001&CHKWARN=on"
       "&WARNDAYS=-1&CHKINACT=on&INACTDAYS=30&CHKEXPIRE=on&EXPIRE=2027-03-31&FORCE=on",
       {{"@chage@ -M 90 -m 1 -W -1 -I 30 -d 0 taro",
         {"@chage@", "-M", "90", "-m", "1", "-W", "-1", "-I", "30", "-d", "0", "taro"}}}},
      {"ageing of the expiry alone, taken away",
       "",
       "COMMAND=TOBEAGED&NAME=x%24%28id%29&MAXDAYS=5&CHKEXPIRE=on&EXPIRE=",
       {{"@chage@ -E -1 'x$(id)'", {"@chage@", "-E", "-1", "x$(id)"}}}},
      {"modification with only CHKSHELL",
       "",
       "COMMAND=TOBEMOD&NAME=taro&PASS=secret&UID=1001&GID=users&GCOS=Taro&DIR=/home/"
       "&SHELL=/bin/false&CHKSHELL=on",
       {{"@usermod@  -s /bin/false taro", {"@usermod@", "-s", "/bin/false", "taro"}}}},
      {"modification with every box but CHKPASS",
       "",
       "COMMAND=TOBEMOD&NAME=taro&UID=1501&GID=users&GCOS=Taro+Y&DIR=/home/&SHELL=/bin/false"
       "&CHKGCOS=1&CHKDIR=&CHKGID=x&CHKSHELL=on&CHKUID=on",
       {{"@usermod@  -c 'Taro Y'  -d /home/taro -g users -s /bin/false -u 1501 taro",
         {"@usermod@", "-c", "Taro Y", "-d", "/home/taro", "-g", "users", "-s", "/bin/false", "-u",
          "1501", "taro"}}}},
      {"modification with no box ticked",
       "",
       "COMMAND=TOBEMOD&NAME=taro&SHELL=/bin/false",
       {{"@usermod@  taro", {"@usermod@", "taro"}}}},
      {"deletion (HOME missing: the home goes)",
       "",
       "COMMAND=WILLBEDEL&NAME=taro",
       {{"@userdel@ -r taro", {"@userdel@", "-r", "taro"}}}},
      {"deletion keeping the home", "", "COMMAND=WILLBEDEL&NAME=taro&HOME=keep",
       {{"@userdel@ taro", {"@userdel@", "taro"}}}},
      {"deletion archiving the home, then taking it",
       "ARCHIVE_DIR=@BOX@/archive\nTAR=@tar@\n",
       "COMMAND=WILLBEDEL&NAME=taro&HOME=archive",
       {{"@tar@ -czf - -C @BOX@/root/home -- taro",
         {"@tar@", "-czf", "-", "-C", "@BOX@/root/home", "--", "taro"}},
        {"@userdel@ -r taro", {"@userdel@", "-r", "taro"}}}},
      {"group registration with GID (leading zeros kept)",
       "",
       "COMMAND=GP_WILLBEADD&GNAME=staff2&GID=01300",
       {{"@groupadd@  -g 01300 staff2", {"@groupadd@", "-g", "01300", "staff2"}}}},
      {"group registration without GID",
       "",
       "COMMAND=GP_WILLBEADD&GNAME=staff2&GID=",
       {{"@groupadd@  staff2", {"@groupadd@", "staff2"}}}},
      {"group deletion",
       "",
       "COMMAND=GP_WILLBEDEL&GNAME=staff",
       {{"@groupdel@ staff", {"@groupdel@", "staff"}}}},
      {"lock", "", "COMMAND=TOBELOCK&ACTION=LOCK&NAME=taro",
       {{"@usermod@ -L -e 1 taro", {"@usermod@", "-L", "-e", "1", "taro"}}}},
      {"unlock of an account with the lock's date and none saved", "",
       "COMMAND=TOBELOCK&ACTION=UNLOCK&NAME=taro",
       {{"@usermod@ -U -e '' taro", {"@usermod@", "-U", "-e", "", "taro"}}}},
      // Shell safety: every value reaches the tool as one argument.
      {"registration comment with a quote",
       "",
       "COMMAND=WILLBEADD&NAME=obrien&PASS=abc123&GCOS=O%27Brien&DIR=/home/&SHELL=/bin/sh",
       {{"@useradd@  -c 'O'\\''Brien'  -d /home/obrien -s /bin/sh obrien",
         {"@useradd@", "-c", "O'Brien", "-d", "/home/obrien", "-s", "/bin/sh", "obrien"}},
        password_step}},
      {"modification comment with a quote and a command substitution",
       "",
       "COMMAND=TOBEMOD&NAME=taro&GCOS=it%27s+%24%28id%29&CHKGCOS=on",
       {{"@usermod@  -c 'it'\\''s $(id)'  taro", {"@usermod@", "-c", "it's $(id)", "taro"}}}},
      {"registration shell with a semicolon, offered by a setting",
       "SHELL3=/bin/sh;touch @BOX@/pwned\n",
       "COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&SHELL=/bin/sh%3Btouch+@BOX@/pwned",
       {{"@useradd@  -d /home/hanako -s '/bin/sh;touch @BOX@/pwned' hanako",
         {"@useradd@", "-d", "/home/hanako", "-s", "/bin/sh;touch @BOX@/pwned", "hanako"}},
        password_step}},
      {"modification shell with a semicolon, offered by a setting",
       "SHELL3=/bin/sh;touch @BOX@/pwned\n",
       "COMMAND=TOBEMOD&NAME=taro&SHELL=/bin/sh%3Btouch+@BOX@/pwned&CHKSHELL=on",
       {{"@usermod@  -s '/bin/sh;touch @BOX@/pwned' taro",
         {"@usermod@", "-s", "/bin/sh;touch @BOX@/pwned", "taro"}}}},
      {"registration group name with a semicolon",
       "",
       "COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&GID=g%3Bb&SHELL=/bin/sh",
       {{"@useradd@  -d /home/hanako -g 'g;b' -s /bin/sh hanako",
         {"@useradd@", "-d", "/home/hanako", "-g", "g;b", "-s", "/bin/sh", "hanako"}},
        password_step}},
      {"registration directory and group with command substitutions",
       "",
       "COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&DIR=/home/%24%28id%29/&GID=users%60id%60"
       "&SHELL=/bin/sh",
       {{"@useradd@  -d '/home/$(id)/hanako' -g 'users`id`' -s /bin/sh hanako",
         {"@useradd@", "-d", "/home/$(id)/hanako", "-g", "users`id`", "-s", "/bin/sh", "hanako"}},
        password_step}},
      {"registration uid with a blank",
       "",
       "COMMAND=WILLBEADD&NAME=hanako&UID=+1500&PASS=a%7Cb%3Bc1&SHELL=/bin/sh",
       {{"@useradd@  -d /home/hanako -s /bin/sh -u ' 1500' hanako",
         {"@useradd@", "-d", "/home/hanako", "-s", "/bin/sh", "-u", " 1500", "hanako"}},
        password_step}},
      {"deletion of an account whose name holds a command substitution",
       "",
       "COMMAND=WILLBEDEL&NAME=x%24%28id%29",
       {{"@userdel@ 'x$(id)'", {"@userdel@", "x$(id)"}}}},
      {"group registration gid with a blank",
       "",
       "COMMAND=GP_WILLBEADD&GNAME=staff2&GID=+1300",
       {{"@groupadd@  -g ' 1300' staff2", {"@groupadd@", "-g", " 1300", "staff2"}}}},
      {"group deletion of a group whose name holds a semicolon",
       "",
       "COMMAND=GP_WILLBEDEL&GNAME=g%3Bb",
       {{"@groupdel@ 'g;b'", {"@groupdel@", "g;b"}}}},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Bench bench;
    bench.Configure(c.config);
    CgiRequest request = Post(bench.Fill(c.body));
    const std::vector<Exec> execs = bench.RunTraced(request);
    ExpectSteps(bench, execs, c.steps);
    // What the stand-ins recorded: the same arguments, one per value, and
    // standard input for chpasswd alone.
    for (const Step& step : c.steps) {
      std::vector<std::string> args;
      for (size_t i = 1; i < step.argv.size(); ++i) args.push_back(bench.Fill(step.argv[i]));
      const std::string tool = ToolOf(bench.Fill(step.argv[0]));
      // The recorder ends each call with a line "--", which tar's line
      // holds too; strace's argv above pins its arguments.
      if (tool == "tar") continue;
      EXPECT_EQ(bench.box.CallsOf(tool), std::vector<std::vector<std::string>>{args});
      if (tool != "chpasswd") {
        EXPECT_EQ(bench.box.ReadFile(tool + ".input"), "") << tool;
      }
    }
    EXPECT_FALSE(bench.box.Exists("pwned"));
  }
}

// The password is on no command line (every local user can read those): the
// tool runs without it, then chpasswd -e reads "name:hash" on its input.
TEST(CommandLineTest, PasswordReachesChpasswdOnItsInputOnly) {
  struct PasswordCase {
    const char* what;
    std::string config;
    std::string body;
    std::string name, password;
    std::vector<std::string> lines;  // before chpasswd's
  };
  const std::vector<PasswordCase> cases = {
      {"registration",
       "USE_CRYPT=YES\n",
       "COMMAND=WILLBEADD&NAME=hanako&PASS=Secret12&SHELL=/bin/sh",
       "hanako",
       "Secret12",
       {"@useradd@  -d /home/hanako -s /bin/sh hanako"}},
      {"modification with CHKPASS and CHKSHELL",
       "",
       "COMMAND=TOBEMOD&NAME=taro&PASS=NewPass9&CHKPASS=on&SHELL=/bin/false&CHKSHELL=on",
       "taro",
       "NewPass9",
       {"@usermod@  -s /bin/false taro"}},
      {"modification with CHKPASS only, hashed whatever USE_CRYPT says",
       "USE_CRYPT=NO\n",
       "COMMAND=TOBEMOD&NAME=taro&PASS=abc123&CHKPASS=",
       "taro",
       "abc123",
       {}},
  };
  for (const PasswordCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Bench bench;
    bench.Configure(c.config);
    const std::time_t from = std::time(nullptr);
    const std::vector<Exec> execs = bench.RunTraced(Post(c.body));
    const std::time_t to = std::time(nullptr);
    std::vector<std::string> lines;
    for (const Exec& exec : execs) {
      if (exec.path == "/bin/sh") lines.push_back(exec.argv.at(2));
      for (const std::string& arg : exec.argv) EXPECT_EQ(arg.find(c.password), std::string::npos);
    }
    std::vector<std::string> expected;
    for (const std::string& line : c.lines) expected.push_back(bench.Fill(line));
    expected.push_back(bench.Fill("@chpasswd@ -e"));
    EXPECT_EQ(lines, expected);
    const std::string input = bench.box.ReadFile("chpasswd.input");
    const std::string head = c.name + ":";
    ASSERT_EQ(input.size(), head.size() + 13 + 1) << input;
    ASSERT_TRUE(input.starts_with(head) && input.ends_with("\n")) << input;
    ExpectDesHashOf(input.substr(head.size(), 13), c.password, from, to);
  }
}
TEST(CommandLineTest, ShellEnvironmentIsOnlyTheFixedPath) {
  const Bench bench;
  bench.Configure("");
  CgiRequest request =
      Post(bench.Fill("COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&DIR=/home/&SHELL=/bin/sh"));
  request.extra_env = {"HTTP_X_EVIL=1", "LD_LIBRARY_PATH=@BOX@/evil-libs", "IFS=/",
                       "ENV=@BOX@/evil-rc", "BASH_ENV=@BOX@/evil-rc"};
  for (std::string& entry : request.extra_env) entry = bench.Fill(entry);
  bench.box.WriteFile("evil-rc", "touch " + bench.box.PathOf("pwned") + "\n");

  const std::string trace = bench.box.PathOf("execve.trace");
  ASSERT_EQ(bench.box.Run(request, StraceArgs(trace)).exit_status, 0);
  const std::vector<Exec> execs = SuccessfulExecs(bench.box.ReadFile("execve.trace"));
  ASSERT_EQ(execs.size(), 5u);
  // The program itself did get the hostile environment ...
  const std::vector<std::string>& own = execs[0].envp;
  EXPECT_NE(std::find(own.begin(), own.end(), "HTTP_X_EVIL=1"), own.end());
  EXPECT_NE(std::find(own.begin(), own.end(), bench.Fill("LD_LIBRARY_PATH=@BOX@/evil-libs")),
            own.end());
  // ... but each shell got the fixed PATH alone, and the tools nothing of it.
  for (size_t i = 1; i < execs.size(); ++i) {
    SCOPED_TRACE(execs[i].path);
    if (execs[i].path == "/bin/sh") {
      EXPECT_EQ(execs[i].envp, std::vector<std::string>{kShellPath});
    }
    for (const std::string& entry : execs[i].envp) {
      EXPECT_FALSE(entry.starts_with("HTTP_") || entry.starts_with("LD_") ||
                   entry.starts_with("IFS=") || entry.starts_with("ENV=") ||
                   entry.starts_with("BASH_ENV=") || entry.starts_with("NSS_WRAPPER") ||
                   entry.starts_with("REQUEST_METHOD=") || entry.starts_with("CONTENT_LENGTH="))
          << entry;
    }
  }
  ExpectSteps(bench, std::vector<Exec>(execs.begin() + 1, execs.end()),
              {{"@useradd@  -d /home/hanako -s /bin/sh hanako",
                {"@useradd@", "-d", "/home/hanako", "-s", "/bin/sh", "hanako"}},
               {"@chpasswd@ -e", {"@chpasswd@", "-e"}}});
  EXPECT_FALSE(bench.box.Exists("pwned"));
}

TEST(CommandLineTest, OptionLikeNamesRunNoTool) {
  struct RefusalCase {
    const char* what;
    std::string body;
    std::string page;
  };
  const std::string kDeletionHead =
      "<TABLE BORDER BGCOLOR=\"#FFFFFF\">\n"
      "<CAPTION><B><FONT SIZE=\"+1\">ユーザーを削除しました。</FONT></B></CAPTION>\n"
      "<TR BGCOLOR=\"#D0D0FF\"><TH>ユーザー名</TH><TH>結果</TH></TR>\n";
  const std::vector<RefusalCase> cases = {
      {"registration of --help",
       "COMMAND=WILLBEADD&NAME=--help&PASS=abc123&UID=1500&SHELL=/bin/sh",
       MessagePage("ユーザーの登録に失敗しました。<BR>\n<BR>\n")},
      {"registration of -ou0", "COMMAND=WILLBEADD&NAME=-ou0&PASS=abc123&GID=staff&SHELL=/bin/sh",
       MessagePage("ユーザーの登録に失敗しました。<BR>\n<BR>\n")},
      {"group registration of --help", "COMMAND=GP_WILLBEADD&GNAME=--help&GID=1300",
       MessagePage("グループの登録に失敗しました。<BR>\n<BR>\n")},
      {"modification of --help", "COMMAND=TOBEMOD&NAME=--help&CHKSHELL=on&SHELL=/bin/sh",
       MessagePage("ユーザーが選択されていません<BR>\n<BR>\n")},
      {"deletion of --help", "COMMAND=WILLBEDEL&NAME=--help",
       Framed(
           kDeletionHead +
           "<TR BGCOLOR=\"#FFFFFF\"><TD>--help</TD><TD>削除が禁止されているユーザーです</TD></TR>\n"
           "</TABLE>\n")},
  };
  for (const RefusalCase& c : cases) {
    SCOPED_TRACE(c.what);
    const Bench bench;
    bench.Configure("");
    CgiResult result;
    const std::vector<Exec> execs = bench.RunTraced(Post(c.body), &result);
    EXPECT_EQ(Utf8(result.out), Utf8(c.page));
    EXPECT_EQ(result.out, c.page);
    EXPECT_TRUE(execs.empty()) << execs.size() << " programs were run, the first "
                               << (execs.empty() ? "" : execs[0].path);
    for (const char* tool : {"useradd", "usermod", "userdel", "groupadd", "groupdel"}) {
      EXPECT_FALSE(bench.box.Exists(std::string(tool) + ".calls")) << tool;
    }
    EXPECT_FALSE(bench.box.Exists("orvanta.log"));
  }
}

}  // namespace
}  // namespace orvanta::test
