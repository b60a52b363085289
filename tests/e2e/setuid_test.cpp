// The program installed set-user-ID root and started by an unprivileged
// caller: settings come only from the installation's own directory, which
// must be root's alone, and the tools start from a process in which nothing
// of the caller's is left.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

constexpr uid_t kCaller = 65534;
constexpr char kRegistration[] =
    "COMMAND=WILLBEADD&NAME=probeusr&PASS=abc123&UID=&GID=&GCOS=&DIR=/home/"
    "&SHELL=/bin/sh";
constexpr int kCapSysResource = 24;

std::string NoRootPage() {
  return MessagePage(
      "root権限を得ることができませんでした<BR>\n"
      "orvantaのインストールが不完全です。<BR>\n<BR>\n");
}

// Whether a set-user-ID root program here may raise a hard resource limit:
// it gets the capabilities of the bounding set.
bool RootMayRaiseHardLimits() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("CapBnd:")) {
      return ((std::stoull(line.substr(7), nullptr, 16) >> kCapSysResource) & 1) != 0;
    }
  }
  return false;
}

// The caller's working directory (the sandbox, owned by the caller) with
// the installation inside it: install/ holds the set-user-ID copy of the
// program and the settings that name the tools.
class Installation {
 public:
  Installation() {
    std::filesystem::create_directory(install_);
    EXPECT_EQ(chmod(install_.c_str(), 0755), 0);
    std::filesystem::copy_file(CgiProgramPath(), Install("orvanta.cgi"));
    EXPECT_EQ(chown(Install("orvanta.cgi").c_str(), 0, 0), 0);
    EXPECT_EQ(chmod(Install("orvanta.cgi").c_str(), 04755), 0);
    EXPECT_EQ(chown(box.dir().c_str(), kCaller, kCaller), 0);
  }

  const std::string& install_dir() const { return install_; }
  std::string Install(const std::string& name) const { return install_ + "/" + name; }

  // Root's settings in the installation directory; homes go to the
  // sandbox's tree (see CgiSandbox::SetConfig). The shell the registrations
  // ask for is offered, and a stand-in sets their passwords.
  void SetInstalledConfig(const std::string& content) const {
    box.WriteFile("install/pwquality.conf", kLenientPasswordQuality);
    box.WriteFile("install/cfg_file.cfg", "HOME_CHECK_ROOT=" + box.PathOf("root") + "\n" + content +
                                              "\nSHELL1=/bin/sh\nCHPASSWD=" +
                                              box.AddRecordingTool("chpasswd", 0) +
                                              "\nPWQUALITY_CONF=" +
                                              box.PathOf("install/pwquality.conf") + "\n");
  }

  // Runs the set-user-ID copy as the caller from the sandbox, after the
  // shell commands `setup` have changed what the caller's process hands down.
  CgiResult RunAsCaller(const CgiRequest& request, const std::string& setup = "") const {
    return box.Run(request,
                   {"/bin/sh", "-c", setup + "exec \"$@\"", "sh", "/usr/bin/setpriv",
                    "--reuid=65534", "--regid=65534", "--groups=100"},
                   Install("orvanta.cgi"));
  }

  CgiSandbox box;

 private:
  std::string install_ = box.PathOf("install");
};

// The sandboxes live in /tmp.
bool TempIsNosuid() {
  struct statvfs mount {};
  return statvfs("/tmp", &mount) != 0 || (mount.f_flag & ST_NOSUID) != 0;
}

TEST(SetuidTest, CallersDirectoryChoosesNothing) {
  if (TempIsNosuid()) GTEST_SKIP() << "the temporary directory is mounted nosuid";
  struct Case {
    const char* what;
    std::function<void(const Installation&, CgiRequest&)> plant;
  };
  const std::vector<Case> cases = {
      {"no settings file", [](const Installation&, CgiRequest&) {}},
      {"a link to the program's own environment",
       [](const Installation& setup, CgiRequest& request) {
         EXPECT_EQ(symlink("/proc/self/environ", setup.box.PathOf("cfg_file.cfg").c_str()), 0);
         request.extra_env.push_back("SMUGGLED=x\nUSERADD=" + setup.box.PathOf("payload"));
       }},
      {"a settings file of the caller's own",
       [](const Installation& setup, CgiRequest&) {
         setup.box.SetConfig("USERADD=" + setup.box.PathOf("payload") + "\n");
         EXPECT_EQ(chown(setup.box.PathOf("cfg_file.cfg").c_str(), kCaller, kCaller), 0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Installation setup;
    const std::string useradd = setup.box.AddRecordingTool("install/useradd", 0);
    setup.SetInstalledConfig("USERADD=" + useradd + "\n");
    setup.box.WriteFile("payload", "#!/bin/sh\ntouch " + setup.box.PathOf("payload.ran") + "\n");
    ASSERT_EQ(chmod(setup.box.PathOf("payload").c_str(), 0755), 0);
    ASSERT_EQ(chown(setup.box.PathOf("payload").c_str(), kCaller, kCaller), 0);
    CgiRequest request = Post(kRegistration);
    c.plant(setup, request);

    EXPECT_EQ(setup.RunAsCaller(request).exit_status, 0);
    EXPECT_FALSE(setup.box.Exists("payload.ran"));
    EXPECT_EQ(setup.box.CallsOf("install/useradd"),
              (std::vector<std::vector<std::string>>{
                  {"-d", "/home/probeusr", "-s", "/bin/sh", "probeusr"}}));

  }
}

TEST(SetuidTest, InstallationDirectoryOthersMayWriteGivesCode110) {
  if (TempIsNosuid()) GTEST_SKIP() << "the temporary directory is mounted nosuid";
  struct Case {
    const char* what;
    mode_t mode;
    uid_t owner;
  };
  const std::vector<Case> cases = {
      {"group-writable", 0775, 0},
      {"world-writable, sticky", 01777, 0},
      {"owned by the caller", 0755, kCaller},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Installation setup;
    const std::string useradd = setup.box.AddRecordingTool("install/useradd", 0);
    setup.SetInstalledConfig("USERADD=" + useradd + "\n");
    ASSERT_EQ(chown(setup.install_dir().c_str(), c.owner, 0), 0);
    ASSERT_EQ(chmod(setup.install_dir().c_str(), c.mode), 0);

    const CgiResult result = setup.RunAsCaller(Post(kRegistration));
    EXPECT_EQ(Utf8(result.out), Utf8(NoRootPage()));
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(setup.box.CallsOf("install/useradd").empty());
    EXPECT_FALSE(setup.box.Exists("install/orvanta.log"));
  }
}

// The operators file holds every operator's hash, the second factor's
// store their secrets, and the sessions' directory decides who is signed
// in: each is used only when it is root's and nobody else may write it
// (the files: nor read it). With any other, a
// sign-in gets 110 and starts no session.
TEST(SetuidTest, OperatorsAndSessionsOnlyRootsAlone) {
  if (TempIsNosuid()) GTEST_SKIP() << "the temporary directory is mounted nosuid";
  struct Case {
    const char* what;
    const char* path;  // the one that differs from root's alone
    mode_t mode;
    uid_t owner;
    bool refused;
  };
  const std::vector<Case> cases = {
      {"both root's alone", "sessions", 0700, 0, false},
      {"operators group-readable", "operators", 0640, 0, true},
      {"operators writable by others", "operators", 0602, 0, true},
      {"operators the caller's", "operators", 0600, kCaller, true},
      {"second factors group-readable", "operators.totp", 0640, 0, true},
      {"second factors the caller's", "operators.totp", 0600, kCaller, true},
      {"sessions writable by others", "sessions", 0733, 0, true},
      {"sessions the caller's", "sessions", 0700, kCaller, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Installation setup;
    setup.SetInstalledConfig("OPERATORS=" + setup.Install("operators") +
                             "\nSESSION_DIR=" + setup.Install("sessions") + "\n");
    setup.box.WriteFile("install/operators",
                        "admin:$5$MX6VcZh77piiplm0$6dKuwItSohPe489l9OEmuLYO2RGsd8psKxUZR6MhYJB:*\n");
    ASSERT_EQ(chmod(setup.Install("operators").c_str(), 0600), 0);
    setup.box.WriteFile("install/operators.totp", "");
    ASSERT_EQ(chmod(setup.Install("operators.totp").c_str(), 0600), 0);
    ASSERT_EQ(mkdir(setup.Install("sessions").c_str(), 0700), 0);
    ASSERT_EQ(chown(setup.Install(c.path).c_str(), c.owner, 0), 0);
    ASSERT_EQ(chmod(setup.Install(c.path).c_str(), c.mode), 0);

    const CgiResult result =
        setup.RunAsCaller(Post("COMMAND=LOGIN&OPERATOR=admin&PASSWORD=s3cret+pass"));
    EXPECT_EQ(Utf8(result.out) == Utf8(NoRootPage()), c.refused) << Utf8(result.out);
    EXPECT_EQ(result.out.starts_with("Status: 303 See Other\n"), !c.refused);
  }
}

// The directory store comes only from its installed path: the build's own,
// which every test run names in ORVANTA_LDAP_MODULE, is not loaded. Where
// none is installed, that is one line and nothing runs.
TEST(SetuidTest, DirectoryStoreOnlyFromItsInstalledPath) {
  if (TempIsNosuid()) GTEST_SKIP() << "the temporary directory is mounted nosuid";
  if (std::filesystem::exists(ORVANTA_LDAP_MODULE_INSTALLED)) GTEST_SKIP() << "a store is installed";
  const Installation setup;
  const std::string groupadd = setup.box.AddRecordingTool("install/groupadd", 0);
  setup.SetInstalledConfig("ACCOUNTS=ldap\nGROUPADD=" + groupadd + "\n");

  const CgiResult result = setup.RunAsCaller(Post("COMMAND=GP_WILLBEADD&GNAME=webteam&GID=1500"));
  EXPECT_EQ(Utf8(result.out),
            Utf8("Status: 503 Service Unavailable\n" +
                 MessagePage("ディレクトリのアカウントを扱うには、パッケージ orvanta-ldap の"
                             "インストールが必要です。\n<BR>\n")));
  // The dynamic loader's own line on nss_wrapper, which it does not load
  // into a set-user-ID run, aside.
  std::string errors = setup.box.ReadFile(".stderr");
  errors.erase(0, errors.find("orvanta: "));
  EXPECT_EQ(errors, std::string("orvanta: ldap: the directory store is not loaded: ") +
                        ORVANTA_LDAP_MODULE_INSTALLED +
                        " does not exist: ACCOUNTS=ldap needs the directory store, install the "
                        "package orvanta-ldap\n");
  EXPECT_TRUE(setup.box.CallsOf("install/groupadd").empty());
  EXPECT_FALSE(setup.box.Exists("install/orvanta.log"));
}

// A stand-in useradd that writes down what it sees of its own process.
std::string AddProbe(const Installation& setup) {
  const std::string out = setup.Install("probe.out");
  setup.box.WriteFile("install/probe",
                      "#!/bin/sh\n"
                      "out=" + out + "\n"
                      "grep -E '^(Uid|Gid|SigBlk|SigIgn):' /proc/self/status > \"$out\"\n"
                      "echo \"groups $(id -G)\" >> \"$out\"\n"
                      "echo \"umask $(umask)\" >> \"$out\"\n"
                      "echo \"file size $(ulimit -S -f) $(ulimit -H -f)\" >> \"$out\"\n"
                      "echo \"open files $(ulimit -S -n) $(ulimit -H -n)\" >> \"$out\"\n"
                      "echo descriptors $(ls /proc/self/fd) >> \"$out\"\n"
                      "echo \"stderr $(readlink /proc/self/fd/2)\" >> \"$out\"\n"
                      "exit 0\n");
  EXPECT_EQ(chmod(setup.Install("probe").c_str(), 0755), 0);
  return setup.Install("probe");
}

// Setup for RunAsCaller: the program is started through perl, which arms
// all three interval timers (1 ms, repeating) with their signals ignored;
// stderr closed, as the probe's clean process expects.
constexpr char kArmIntervalTimers[] =
    "exec 2>&-; set -- perl -MTime::HiRes=setitimer,ITIMER_REAL,ITIMER_VIRTUAL,ITIMER_PROF -e '"
    "$SIG{$_} = \"IGNORE\" for qw(ALRM VTALRM PROF); "
    "setitimer($_, 0.001, 0.001) for ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF; "
    "exec @ARGV or die' \"$@\"; ";

TEST(SetuidTest, ToolStartsFromACleanProcess) {
  if (TempIsNosuid()) GTEST_SKIP() << "the temporary directory is mounted nosuid";
  // ls lists its own descriptor of /proc/self/fd as 3: the lowest free one.
  const std::string clean =
      "Uid:\t0\t0\t0\t0\n"
      "Gid:\t0\t0\t0\t0\n"
      "SigBlk:\t0000000000000000\n"
      "SigIgn:\t0000000000000000\n"
      "groups 0\n"
      "umask 0022\n"
      "file size unlimited unlimited\n"
      "open files 1024 1024\n"
      "descriptors 0 1 2 3\n"
      "stderr /dev/null\n";
  struct Case {
    const char* what;
    std::string setup;
    bool refused;  // the limit cannot be undone here: page 110, no tool
  };
  const std::vector<Case> cases = {
      {"umask 000, soft file-size limit, SIGINT ignored, descriptor 7, stderr closed",
       "umask 000; ulimit -S -f 8; trap '' INT; exec 7</dev/null 2>&-; ", false},
      {"hard file-size limit", "ulimit -f 8; ", !RootMayRaiseHardLimits()},
      // Ignored until the signals are reset, then every millisecond: a run
      // that kept the timers would die before its page.
      {"interval timers armed, their signals ignored", kArmIntervalTimers, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Installation setup;
    setup.SetInstalledConfig("USERADD=" + AddProbe(setup) + "\n");

    const CgiResult result = setup.RunAsCaller(Post(kRegistration), c.setup);
    EXPECT_EQ(result.exit_status, 0);
    if (c.refused) {
      EXPECT_EQ(Utf8(result.out), Utf8(NoRootPage()));
      EXPECT_FALSE(setup.box.Exists("install/probe.out"));
    } else {
      EXPECT_NE(result.out.find(Euc("ユーザー登録しました。")), std::string::npos)
          << Utf8(result.out);
      EXPECT_EQ(setup.box.ReadFile("install/probe.out"), clean);
    }
  }
}

}  // namespace
}  // namespace orvanta::test
