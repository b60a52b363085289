// The key file is written by a process that has become the account, and
// only into a home, .ssh and file of the account's own, unchanged since
// the form showed it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"

namespace orvanta::test {
namespace {

constexpr char kKey[] =
    "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIBkclsC4Fhq3okF0/ihQWGNS2B/Qs/fBOIEp3MIrKtvU k@x";
// SHA-256 of no bytes: the form's digest when there was no file.
constexpr char kNoFileDigest[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kNotOwned[] = "がこのユーザーのものでないか、リンクです。";
constexpr char kChanged[] = "鍵ファイルが変更されています";
constexpr char kNoHome[] = "ホームディレクトリがないため";

std::string FormValue(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_') {
      out += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", static_cast<unsigned char>(c));
      out += hex;
    }
  }
  return out;
}

struct KeyWrite {
  CgiSandbox box;
  std::string home = box.PathOf("root/home/taro");

  KeyWrite() {
    box.SetAccounts("root:x:0:0:root:/root:/bin/bash\ntaro:x:1500:100::/home/taro:/bin/sh\n",
                    "root:x:0:\nusers:x:100:\n");
    box.SetConfig("USERMOD=" + box.AddRecordingTool("usermod", 0) + "\nSYSTEMUID=999\n");
    std::filesystem::create_directories(home);
    EXPECT_EQ(chown(home.c_str(), 1500, 100), 0);
  }

  CgiResult Post(const std::string& digest, const std::vector<std::string>& prefix = {}) const {
    return box.Run(test::Post("COMMAND=TOBEMOD&NAME=taro&CHKKEYS=on&KEYS=" + FormValue(kKey) +
                              "&KEYDIGEST=" + digest),
                   prefix);
  }
};

TEST(KeyFileTest, WrittenAsTheAccountIntoItsOwnHome) {
  KeyWrite run;
  const CgiResult result = run.Post(
      kNoFileDigest, {"/usr/bin/strace", "-f", "-qq", "-o", run.box.PathOf("trace"), "-e",
                      "trace=setuid,rename,renameat,renameat2"});
  ASSERT_EQ(result.exit_status, 0) << result.out;
  EXPECT_NE(Utf8(result.out).find("ユーザー情報を変更しました。"), std::string::npos)
      << Utf8(result.out);
  EXPECT_EQ(run.box.ReadFile("root/home/taro/.ssh/authorized_keys"), std::string(kKey) + "\n");
  struct stat ssh {}, file {};
  ASSERT_EQ(lstat((run.home + "/.ssh").c_str(), &ssh), 0);
  ASSERT_EQ(lstat((run.home + "/.ssh/authorized_keys").c_str(), &file), 0);
  EXPECT_EQ(ssh.st_mode, S_IFDIR | 0700);
  EXPECT_EQ(file.st_mode, S_IFREG | 0600);
  EXPECT_EQ(ssh.st_uid, 1500u);
  EXPECT_EQ(file.st_uid, 1500u);
  EXPECT_EQ(run.box.LogRecords(), std::vector<std::string>{"KEY,taro"});
  EXPECT_TRUE(run.box.CallsOf("usermod").empty());
  // The form shows it with its fingerprint and the digest of the file now.
  const std::string form = run.box.Run(test::Post("COMMAND=WILLBEMOD&NAME=taro")).out;
  EXPECT_NE(form.find("<TT>SHA256:2ykmOCsL1kLFQ6H633s9oPjduYfN1eZl5NPUoQbP23g</TT><BR>"),
            std::string::npos);
  EXPECT_NE(form.find("KEYS\" ROWS=\"4\" COLS=\"60\" WRAP=\"OFF\">" + std::string(kKey) + "\n<"),
            std::string::npos);
  EXPECT_EQ(form.find(kNoFileDigest), std::string::npos);
  // The process that renamed the file into place had become uid 1500 first.
  std::istringstream lines(run.box.ReadFile("trace"));
  std::string line, account_pid, rename_pid;
  while (std::getline(lines, line)) {
    const std::string pid = line.substr(0, line.find(' '));
    if (!line.ends_with("= 0")) continue;
    if (line.find(" setuid(1500) ") != std::string::npos) account_pid = pid;
    if (line.find(", \"authorized_keys\") ") != std::string::npos) rename_pid = pid;
  }
  EXPECT_FALSE(rename_pid.empty()) << run.box.ReadFile("trace");
  EXPECT_EQ(rename_pid, account_pid) << run.box.ReadFile("trace");
}

TEST(KeyFileTest, RefusedWhereTheFileIsNotTheAccountsOrHasChanged) {
  struct Case {
    const char* what;
    std::string plant;  // shell commands; $H is the home
    const char* message;
    std::string left;   // a file that must be as planted afterwards, "" none
    std::string left_content;
  };
  const std::vector<Case> cases = {
      {".ssh a link to another folder",
       "mkdir -m 0700 $H/../elsewhere && chown 1500 $H/../elsewhere && ln -s ../elsewhere $H/.ssh",
       kNotOwned, "", ""},
      {"authorized_keys a link", "mkdir -m 0700 $H/.ssh && echo old > $H/other && chown -R 1500 $H "
       "&& ln -s ../other $H/.ssh/authorized_keys", kNotOwned, "other", "old\n"},
      {"home of another account", "chown 0 $H", kNotOwned, "", ""},
      {"file changed since the form showed it",
       "mkdir -m 0700 $H/.ssh && echo mine > $H/.ssh/authorized_keys && chown -R 1500 $H",
       kChanged, ".ssh/authorized_keys", "mine\n"},
      {"no home on disk", "rmdir $H", kNoHome, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    KeyWrite run;
    ASSERT_EQ(std::system(("H=" + run.home + "; " + c.plant).c_str()), 0);
    const CgiResult result = run.Post(kNoFileDigest);
    EXPECT_NE(Utf8(result.out).find(c.message), std::string::npos) << Utf8(result.out);
    EXPECT_FALSE(std::filesystem::exists(run.box.PathOf("root/home/elsewhere/authorized_keys")));
    if (!c.left.empty()) {
      EXPECT_EQ(run.box.ReadFile("root/home/taro/" + c.left), c.left_content);
    }
    EXPECT_TRUE(run.box.LogRecords().empty());
  }
}

// A registration's keys are a step after the account's: the account stays
// made and recorded when they cannot be written, and the page says so.
TEST(KeyFileTest, RegistrationWhoseKeysCannotBeWritten) {
  CgiSandbox box;
  box.SetAccounts("root:x:0:0:root:/root:/bin/bash\n", "root:x:0:\nusers:x:100:\n");
  const std::string passwd = box.PathOf("test.passwd");
  box.WriteFile("useradd", "#!/bin/sh\n{ cat " + passwd +
                               "; echo 'hanako:x:1500:100::/home/hanako:/bin/sh'; } > " + passwd +
                               ".new && mv " + passwd + ".new " + passwd + "\n");
  ASSERT_EQ(chmod(box.PathOf("useradd").c_str(), 0755), 0);
  box.SetConfig("SHELL1=/bin/sh\nUSERADD=" + box.PathOf("useradd") + "\n");
  const CgiResult result = box.Run(test::Post(
      "COMMAND=WILLBEADD&NAME=hanako&PASS=abc123&UID=&GID=&GCOS=&DIR=/home/&SHELL=/bin/sh&KEYS=" +
      FormValue(kKey)));
  EXPECT_NE(Utf8(result.out).find(std::string("登録しましたが、鍵を書き込めませんでした。") + kNoHome),
            std::string::npos)
      << Utf8(result.out);
  EXPECT_EQ(box.LogRecords(), std::vector<std::string>{"ADD,hanako"});
}

}  // namespace
}  // namespace orvanta::test
