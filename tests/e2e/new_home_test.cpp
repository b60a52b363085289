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

void MakeDirectory(const std::string& path, mode_t mode, uid_t owner) {
  ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
  ASSERT_EQ(chown(path.c_str(), owner, 100), 0);
  ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(NewHomeTest, OnlyTheNewAccountsOwnDirectoryIsOpenedUp) {
  struct Case {
    const char* what;
    std::function<void(const CgiSandbox&)> plant;  // in homes/, before the run
    bool account_made;                             // the tool adds hanako (uid 1500)
    std::string inspected;                         // below homes/
    std::optional<mode_t> mode;                    // afterwards; nullopt: nothing there
    std::string stderr_reason;                     // "" for no line
  };
  const std::vector<Case> cases = {
      {"directory of the new account",
       [](const CgiSandbox& box) { MakeDirectory(box.PathOf("homes/hanako"), 0700, kNewUid); },
       true, "hanako", S_IFDIR | 0755, ""},
      {"set-group-ID directory of the new account: r-x is added, the rest kept",
       [](const CgiSandbox& box) { MakeDirectory(box.PathOf("homes/hanako"), 02710, kNewUid); },
       true, "hanako", S_IFDIR | 02755, ""},
      {"existing file of the new account",
       [](const CgiSandbox& box) {
         box.WriteFile("homes/hanako", "secret\n");
         ASSERT_EQ(chmod(box.PathOf("homes/hanako").c_str(), 0600), 0);
         ASSERT_EQ(chown(box.PathOf("homes/hanako").c_str(), kNewUid, 100), 0);
       },
       true, "hanako", S_IFREG | 0600, kNotADirectory},
      {"directory of another account",
       [](const CgiSandbox& box) { MakeDirectory(box.PathOf("homes/hanako"), 0700, 0); },
       true, "hanako", S_IFDIR | 0700, kOtherOwner},
      {"link to a directory of the new account",
       [](const CgiSandbox& box) {
         MakeDirectory(box.PathOf("homes/target"), 0700, kNewUid);
         ASSERT_EQ(symlink(box.PathOf("homes/target").c_str(), box.PathOf("homes/hanako").c_str()),
                   0);
       },
       true, "target", S_IFDIR | 0700, kNotADirectory},
      {"nothing at the path", [](const CgiSandbox&) {}, true, "hanako", std::nullopt,
       kNotADirectory},
      {"the tool made no account",
       [](const CgiSandbox& box) { MakeDirectory(box.PathOf("homes/hanako"), 0700, kNewUid); },
       false, "hanako", S_IFDIR | 0700, kNoSuchAccount},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CgiSandbox box;
    box.SetAccounts("root:x:0:0:root:/root:/bin/bash\n", "root:x:0:\nusers:x:100:\n");
    // The stand-in adds the account to the database the program reads, by
    // renaming a new file over it as useradd does (nss_wrapper rereads a
    // file changed within the same second only when it was replaced).
    const std::string passwd = box.PathOf("test.passwd");
    box.WriteFile("useradd", std::string("#!/bin/sh\n") +
                                 (c.account_made ? "{ cat " + passwd +
                                                       "; echo 'hanako:x:1500:100::/x:/bin/sh'; } > " +
                                                       passwd + ".new\nmv " + passwd + ".new " +
                                                       passwd + "\n"
                                                 : ""));
    ASSERT_EQ(chmod(box.PathOf("useradd").c_str(), 0755), 0);
    box.SetConfig("SHELL1=/bin/sh\nUSERADD=" + box.PathOf("useradd") + "\n");
    std::filesystem::create_directory(box.PathOf("homes"));
    c.plant(box);

    const CgiResult result = box.Run(
        Post("COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&UID=&GID=&GCOS=&DIR=" +
             box.PathOf("homes/") + "&SHELL=/bin/sh"));
    EXPECT_NE(result.out.find(Euc("ユーザー登録しました。")), std::string::npos)
        << Utf8(result.out);
    EXPECT_EQ(ModeOf(box.PathOf("homes/" + c.inspected)), c.mode);
    EXPECT_EQ(box.ReadFile(".stderr"),
              c.stderr_reason.empty() ? "" : kLeftAsItIs + c.stderr_reason);
  }
}

// The host's own useradd, without --prefix, in a mount namespace of the
// test's own: /home, /var/log and /etc (an overlay whose login.defs says
// HOME_MODE 0700) are the namespace's, so the host's files stay as they are.
TEST(NewHomeTest, RealUseraddHomeEndsUpOpen) {
  if (std::system("unshare --mount --propagation private true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "no mount namespace can be made here";
  }
  struct Case {
    const char* what;
    std::string name;
    std::string plant;  // shell commands before the run
    std::string seen;   // stat -c '%F %a %U' of /home/NAME afterwards
  };
  const std::vector<Case> cases = {
      {"home made by useradd -m with HOME_MODE 0700", "newacct", "", "directory 755 newacct\n"},
      {"an existing file at the home's path", "filed",
       "printf x > /home/filed; chmod 600 /home/filed; ", "regular file 600 root\n"},
  };
  const std::string host_passwd = ReadWhole("/etc/passwd");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CgiSandbox box;
    box.SetAccountFiles("/etc/passwd", "/etc/group");
    box.SetConfig("SHELL1=/bin/sh\nUSERADD=/usr/sbin/useradd -m\n");
    std::filesystem::create_directories(box.PathOf("upper"));
    std::filesystem::create_directories(box.PathOf("work"));
    const std::string script =
        "set -e\n"
        "mount -t tmpfs tmpfs /home\n"
        "mount -t tmpfs tmpfs /var/log\n"
        "mount -t overlay overlay -o lowerdir=/etc,upperdir=" + box.PathOf("upper") +
        ",workdir=" + box.PathOf("work") + " /etc\n"
        "sed -i '/^HOME_MODE/d' /etc/login.defs\n"
        "echo 'HOME_MODE 0700' >> /etc/login.defs\n" +
        c.plant + "\n\"$@\"\n"
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
