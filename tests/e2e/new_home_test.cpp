// After a registration only the new account's own home directory is opened
// to everyone; whatever else DIR+NAME names keeps its mode.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"

namespace orvanta::test {
namespace {

constexpr uid_t kNewUid = 1500;
constexpr char kLeftAsItIs[] = "orvanta: home directory of the new account left as it is: ";
constexpr char kNotADirectory[] = "no directory of its own there (missing, a file or a link)\n";
constexpr char kNoSuchAccount[] = "the account is not in the account database\n";
constexpr char kOtherOwner[] = "the directory does not belong to the new account\n";

std::optional<mode_t> ModeOf(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return std::nullopt;
  return info.st_mode;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// What the tool leaves at the home's path ($H, below the sandbox's
// HOME_CHECK_ROOT): the home rules let only a path through where nothing is.
TEST(NewHomeTest, OnlyTheNewAccountsOwnDirectoryIsOpenedUp) {
  struct Case {
    const char* what;
    std::string plant;            // shell commands of the stand-in useradd
    bool account_made;            // the tool adds hanako (uid 1500)
    std::string inspected;        // below root/home/
    std::optional<mode_t> mode;   // afterwards; nullopt: nothing there
    std::string stderr_reason;    // "" for no line
  };
  const std::string kOwnDirectory = "mkdir $H && chown 1500:100 $H && chmod ";
  const std::vector<Case> cases = {
      {"directory of the new account", kOwnDirectory + "0700 $H", true, "hanako",
       S_IFDIR | 0755, ""},
      {"set-group-ID directory of the new account: r-x is added, the rest kept",
       kOwnDirectory + "02710 $H", true, "hanako", S_IFDIR | 02755, ""},
      {"existing file of the new account",
       "echo secret > $H && chmod 0600 $H && chown 1500:100 $H", true, "hanako",
       S_IFREG | 0600, kNotADirectory},
      {"directory of another account", "mkdir -m 0700 $H", true, "hanako", S_IFDIR | 0700,
       kOtherOwner},
      {"link to a directory of the new account",
       "mkdir -m 0700 $H.d && chown 1500 $H.d && ln -s $H.d $H", true, "hanako.d",
       S_IFDIR | 0700, kNotADirectory},
      {"nothing at the path", "", true, "hanako", std::nullopt, kNotADirectory},
      {"the tool made no account", kOwnDirectory + "0700 $H", false, "hanako", S_IFDIR | 0700,
       kNoSuchAccount},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CgiSandbox box;
    box.SetAccounts("root:x:0:0:root:/root:/bin/bash\n", "root:x:0:\nusers:x:100:\n");
    // The stand-in adds the account to the database the program reads, by
    // renaming a new file over it as useradd does (nss_wrapper rereads a
    // file changed within the same second only when it was replaced).
    const std::string passwd = box.PathOf("test.passwd");
    box.WriteFile("useradd", "#!/bin/sh\nH=" + box.PathOf("root/home/hanako") + "\n" + c.plant +
                                 "\n" +
                                 (c.account_made ? "{ cat " + passwd +
                                                       "; echo 'hanako:x:1500:100::/x:/bin/sh'; } > " +
                                                       passwd + ".new\nmv " + passwd + ".new " +
                                                       passwd + "\n"
                                                 : ""));
    ASSERT_EQ(chmod(box.PathOf("useradd").c_str(), 0755), 0);
    box.SetConfig("SHELL1=/bin/sh\nUSERADD=" + box.PathOf("useradd") + "\n");

    const CgiResult result = box.Run(
        Post("COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&UID=&GID=&GCOS=&DIR=/home/&SHELL=/bin/sh"));
    EXPECT_NE(result.out.find(Euc("ユーザー登録しました。")), std::string::npos)
        << Utf8(result.out);
    EXPECT_EQ(ModeOf(box.PathOf("root/home/" + c.inspected)), c.mode);

    EXPECT_EQ(box.ReadFile(".stderr"),
              c.stderr_reason.empty() ? "" : kLeftAsItIs + c.stderr_reason);
  }
}

// The host's own useradd, without --prefix, in a mount namespace of the
// test's own: /home, /var/log and /etc (an overlay whose login.defs says
// HOME_MODE 0700) are the namespace's, so the host's files stay as they are;
// the home rules look at the namespace's /.
TEST(NewHomeTest, RealUseraddHomeEndsUpOpen) {
  if (std::system("unshare --mount --propagation private true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no mount namespace can be made here";
  }
  struct Case {
    const char* what;
    std::string name;
    std::string seen;   // stat -c '%F %a %U' of /home/NAME afterwards
  };
  const std::vector<Case> cases = {
      {"home made by useradd -m with HOME_MODE 0700", "newacct", "directory 755 newacct\n"},
  };
  const std::string host_passwd = ReadWhole("/etc/passwd");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CgiSandbox box;
    box.SetAccountFiles("/etc/passwd", "/etc/group");
    box.SetConfig("SHELL1=/bin/sh\nUSERADD=/usr/sbin/useradd -m\nHOME_CHECK_ROOT=/\n");
    std::filesystem::create_directories(box.PathOf("upper"));
    std::filesystem::create_directories(box.PathOf("work"));
    const std::string script =
        "set -e\n"
        "mount -t tmpfs -o mode=0755 tmpfs /home\n"
        "mount -t tmpfs tmpfs /var/log\n"
        "mount -t overlay overlay -o lowerdir=/etc,upperdir=" + box.PathOf("upper") +
        ",workdir=" + box.PathOf("work") + " /etc\n"
        "sed -i '/^HOME_MODE/d' /etc/login.defs\n"
        "echo 'HOME_MODE 0700' >> /etc/login.defs\n"
        "\"$@\"\n"

        "stat -c '%F %a %U' /home/" + c.name + " > " + box.PathOf("home.stat") + "\n";

    const CgiResult result = box.Run(
        Post("COMMAND=WILLBEADD&NAME=" + c.name +
             "&PASS=abc123&UID=&GID=&GCOS=&DIR=/home/&SHELL=/bin/sh"),
        {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script, "sh"});
    EXPECT_EQ(result.exit_status, 0) << box.ReadFile(".stderr");
    EXPECT_NE(result.out.find(Euc("ユーザー登録しました。")), std::string::npos)
        << Utf8(result.out) << box.ReadFile(".stderr");
    EXPECT_EQ(box.ReadFile("home.stat"), c.seen);
    EXPECT_FALSE(std::filesystem::exists("/home/" + c.name)) << "on the host";
  }
  EXPECT_EQ(ReadWhole("/etc/passwd"), host_passwd);
}

}  // namespace
}  // namespace orvanta::test
