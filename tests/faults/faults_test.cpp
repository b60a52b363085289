// What a request does when things go wrong around it: the client leaves, the
// log cannot be written, another request holds the lock too long, a tool is
// killed or hangs. Runs the test build whose waits are a few seconds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>
#include <string>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

const std::string kShortWaits = ORVANTA_SHORTWAITS_CGI_PATH;

size_t Lines(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

class FaultTest : public ::testing::Test {
 protected:
  FaultTest() {
    box_.SetAccounts("root:x:0:0:root:/root:/bin/bash\ntaro:x:1001:1100::/home/taro:/bin/sh\n",
                     "root:x:0:\nstaff:x:1100:\n");
  }

  // A tool that runs `body` (a shell fragment) after recording its call.
  std::string Tool(const std::string& name, const std::string& body) const {
    const std::string path = box_.PathOf(name);
    box_.WriteFile(name, "#!/bin/sh\necho \"$@\" >> '" + path + ".calls'\n" + body + "\n");
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    return path;
  }

  CgiSandbox box_;
};

// Behind a server that writes to a pipe, the browser navigating away leaves
// no reader: every account is still deleted and every deletion logged.
TEST_F(FaultTest, ClientGoneDuringALongDeletion) {
  const std::string long_name(60, 'n');
  std::string passwd = "root:x:0:0:root:/root:/bin/bash\n";
  std::string body = "COMMAND=WILLBEDEL";
  constexpr int kAccounts = 700;
  for (int i = 0; i < kAccounts; ++i) {
    const std::string name = long_name + std::to_string(i);
    passwd += name + ":x:" + std::to_string(2000 + i) + ":1100::/home/x:/bin/sh\n";
    body += "&NAME=" + name;
  }
  box_.SetAccounts(passwd, "root:x:0:\nstaff:x:1100:\n");
  box_.SetConfig("SYSTEMUID=999\nUSERDEL=" + Tool("userdel", "exit 0") + "\n");
  CgiRequest request = Post(body);
  request.client_gone = true;
  EXPECT_EQ(box_.Run(request).exit_status, 0);
  EXPECT_EQ(Lines(box_.ReadFile("userdel.calls")), static_cast<size_t>(kAccounts));
  EXPECT_EQ(Lines(box_.ReadFile("orvanta.log")), static_cast<size_t>(kAccounts));
}

// The change is made and the page says so; the lost record is reported.
TEST_F(FaultTest, UnwritableLogKeepsThePageAndReportsTheRecord) {
  box_.SetConfig("SYSTEMUID=999\nUSERDEL=" + Tool("userdel", "exit 0") + "\n");
  const std::string written = box_.Run(Post("COMMAND=WILLBEDEL&NAME=taro")).out;
  std::filesystem::remove(box_.PathOf("orvanta.log"));
  std::filesystem::create_directory(box_.PathOf("orvanta.log"));
  std::filesystem::remove(box_.PathOf(".stderr"));
  EXPECT_EQ(box_.Run(Post("COMMAND=WILLBEDEL&NAME=taro")).out, written);
  const std::string errors = box_.ReadFile(".stderr");
  EXPECT_EQ(Lines(errors), 1u) << errors;
  EXPECT_NE(errors.find("orvanta.log"), std::string::npos) << errors;
  EXPECT_NE(errors.find("DEL"), std::string::npos) << errors;
  EXPECT_NE(errors.find("taro"), std::string::npos) << errors;
}

// Another request holding the lock longer than the wait: the ordinary
// failure, no tool, no record.
TEST_F(FaultTest, LockHeldLongerThanTheWait) {
  box_.SetConfig("SYSTEMUID=999\nUSERDEL=" + Tool("userdel", "exit 0") +
                 "\nGROUPADD=" + Tool("groupadd", "exit 0") + "\nLOCKFILE=" +
                 box_.PathOf("held.lock") + "\n");
  const int fd = open(box_.PathOf("held.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  const std::string page =
      Utf8(box_.Run(Post("COMMAND=WILLBEDEL&NAME=taro"), {}, kShortWaits).out);
  EXPECT_NE(page.find("<TD>taro</TD><TD>削除できませんでした</TD>"), std::string::npos) << page;
  EXPECT_EQ(Utf8(box_.Run(Post("COMMAND=GP_WILLBEADD&GNAME=devel&GID="), {}, kShortWaits).out),
            Utf8(MessagePage("グループの登録に失敗しました。<BR>\n<BR>\n")));
  close(fd);
  EXPECT_FALSE(box_.Exists("userdel.calls"));
  EXPECT_FALSE(box_.Exists("groupadd.calls"));
  EXPECT_FALSE(box_.Exists("orvanta.log"));
  EXPECT_NE(box_.ReadFile(".stderr").find("held.lock"), std::string::npos);
}

// A tool that dies of a signal, or hangs until it is stopped, has failed.
TEST_F(FaultTest, KilledOrHungToolsFail) {
  for (const std::string& behaviour :
       {std::string("kill -KILL $$"), std::string("sleep 60 & echo $! > '" + box_.PathOf("pid") +
                                                  "'; wait")}) {
    SCOPED_TRACE(behaviour);
    box_.SetConfig("SYSTEMUID=999\nGROUPADD=" + Tool("groupadd", behaviour) + "\n");
    EXPECT_EQ(Utf8(box_.Run(Post("COMMAND=GP_WILLBEADD&GNAME=devel&GID="), {}, kShortWaits).out),
              Utf8(MessagePage("グループの登録に失敗しました。<BR>\n<BR>\n")));
    EXPECT_FALSE(box_.Exists("orvanta.log"));
  }
  // The hung tool's own child went with it.
  const std::string pid = box_.ReadFile("pid");
  ASSERT_FALSE(pid.empty());
  const std::string proc = "/proc/" + pid.substr(0, pid.find('\n'));
  for (int i = 0; i < 100 && std::filesystem::exists(proc); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));  // init reaps it
  }
  EXPECT_FALSE(std::filesystem::exists(proc));
}

}  // namespace
}  // namespace orvanta::test
