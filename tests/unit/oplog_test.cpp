// The operation log: record format, how the file is opened, and the
// system log line of each change.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <filesystem>
#include <regex>

#include "cgi/cgi.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "tests/support/program_state.h"

namespace orvanta::test {
namespace {

TEST(FormatOperationRecord, OneLinePerChange) {
  const std::vector<std::array<std::string, 5>> cases = {
      {"WILLBEADD", "taro", "192.0.2.1", "", "ADD,taro,192.0.2.1,2027/01/31 09:05\n"},
      {"TOBEMOD", "taro", "", "", "MOD,taro,,2027/01/31 09:05\n"},
      {"WILLBEDEL", "a,b", "::1", "", "DEL,a,b,::1,2027/01/31 09:05\n"},
      {"GP_WILLBEADD", "dev", "10.0.0.1", "", "GADD,dev,10.0.0.1,2027/01/31 09:05\n"},
      {"GP_WILLBEDEL", "dev", "10.0.0.1", "", "GDEL,dev,10.0.0.1,2027/01/31 09:05\n"},
      {"WILLBEADD", "a\r\nb", "1\n2", "", "ADD,a  b,1 2,2027/01/31 09:05\n"},
      // The operator, when known, is one more field that stays one.
      {"TOBEMOD", "a,b", "::1", "x,y 2027/01/31 09:05\n\\",
       "MOD,a,b,::1,2027/01/31 09:05,x\\x2Cy\\x202027/01/31\\x2009:05\\x0A\\x5C\n"},
  };
  for (const auto& [command, name, address, who, record] : cases) {
    EXPECT_EQ(FormatOperationRecord(command, name, address, "2027/01/31 09:05", who), record);
  }
}

TEST(FormatDateTime, PadsEveryFieldInLocalTime) {
  setenv("TZ", "Asia/Tokyo", 1);
  tzset();
  // 2027-03-04 22:09 UTC is 07:09 on 5 March in Tokyo.
  EXPECT_EQ(FormatDateTimeAt(1804198140), "2027/03/05 07:09");
  EXPECT_EQ(FormatDateTimeAt(1804172400), "2027/03/05 00:00");  // 15:00 UTC: midnight in Tokyo
  // In UTC the same moment is still the evening before.
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FormatDateTimeAt(1804198140), "2027/03/04 22:09");
  unsetenv("TZ");
  tzset();
}

class OperationLogTest : public ProgramTest {
 protected:
  void SetUp() override {
    ProgramTest::SetUp();
    Params({{"COMMAND", "WILLBEDEL"}, {"REMOTE_ADDR", "192.0.2.1"}});
  }
};

TEST_F(OperationLogTest, CreatesTheFileAndAppends) {
  const mode_t old_mask = umask(022);
  EXPECT_TRUE(WriteOperationLog("taro"));
  EXPECT_TRUE(WriteOperationLog("jiro"));
  umask(old_mask);
  EXPECT_TRUE(std::regex_match(LogText(), std::regex("DEL,taro,192\\.0\\.2\\.1,\\d{4}/\\d{2}/"
                                                     "\\d{2} \\d{2}:\\d{2}\nDEL,jiro,192\\.0\\.2"
                                                     "\\.1,\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}\n")));
  struct stat info {};
  ASSERT_EQ(stat("orvanta.log", &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
}

// Each change is one system log line through the seam, a lost record too.
TEST_F(OperationLogTest, EveryChangeGoesToTheSystemLog) {
  SetCurrentOperator({.name = "ken sato"});
  Params({{"REMOTE_ADDR", "192.0.2.1 x"}});
  EXPECT_TRUE(WriteOperationLog("taro"));
  EXPECT_TRUE(WriteOperationLog("LOCK", "jiro"));
  Params({{"COMMAND", "GP_WILLBEADD"}});
  ASSERT_EQ(chdir("/proc"), 0);
  EXPECT_FALSE(WriteOperationLog("dev"));
  ASSERT_EQ(chdir(work_dir.c_str()), 0);
  const std::string head = std::to_string(LOG_AUTHPRIV | LOG_NOTICE) +
                           " operator=ken\\x20sato address=192.0.2.1\\x20x command=";
  EXPECT_EQ(audit_lines, (std::vector<std::string>{
                             head + "DEL name=taro result=done",
                             head + "LOCK name=jiro result=done",
                             head + "GADD name=dev result=done-record-lost",
                         }));
  EXPECT_TRUE(std::regex_match(LogText(), std::regex("DEL,taro,[^\n]*,ken\\\\x20sato\n"
                                                     "LOCK,jiro,[^\n]*,ken\\\\x20sato\n")));
}

TEST_F(OperationLogTest, EmptyAddressLeavesTwoCommas) {
  Params({{"REMOTE_ADDR", ""}});
  WriteOperationLog("taro");
  EXPECT_TRUE(std::regex_match(LogText(), std::regex("DEL,taro,,[0-9/: ]{16}\n")));
}

TEST_F(OperationLogTest, NeverFollowsASymbolicLink) {
  const std::string target = work_dir + "/elsewhere";
  ASSERT_EQ(symlink(target.c_str(), "orvanta.log"), 0);
  EXPECT_FALSE(WriteOperationLog("taro"));
  EXPECT_FALSE(std::filesystem::exists(target));
}

// A write cut short (a full disk; here the file-size limit of a child that
// writes the record) leaves the log as it was before it, and says so.
TEST_F(OperationLogTest, ShortWriteLeavesNoPartOfTheRecord) {
  ASSERT_TRUE(WriteOperationLog("taro"));
  const std::string before = LogText();
  int stderr_pipe[2];
  ASSERT_EQ(pipe(stderr_pipe), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit room{};
    getrlimit(RLIMIT_FSIZE, &room);
    room.rlim_cur = before.size() + 10;
    std::signal(SIGXFSZ, SIG_IGN);
    const bool ready = dup2(stderr_pipe[1], STDERR_FILENO) == STDERR_FILENO &&
                       setrlimit(RLIMIT_FSIZE, &room) == 0;
    _exit(ready && !WriteOperationLog("hanako") ? 0 : 1);
  }
  close(stderr_pipe[1]);
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(LogText(), before);
  char buffer[512];
  const ssize_t length = read(stderr_pipe[0], buffer, sizeof buffer);
  close(stderr_pipe[0]);
  const std::string lost(buffer, static_cast<size_t>(std::max<ssize_t>(length, 0)));
  EXPECT_TRUE(std::regex_match(lost, std::regex("orvanta: record lost: orvanta\\.log could not be "
                                                "written: DEL,hanako,192\\.0\\.2\\.1,[0-9/]{10}"
                                                "\\\\x20[0-9:]{5}\n")))
      << lost;
  EXPECT_TRUE(WriteOperationLog("jiro"));
  EXPECT_TRUE(std::regex_match(LogText(), std::regex("DEL,taro,[^\n]*\nDEL,jiro,[^\n]*\n")));
}

TEST_F(OperationLogTest, UnwritableDirectoryGivesNoRecord) {
  ASSERT_EQ(chdir("/proc"), 0);  // not writable, even for root
  EXPECT_FALSE(WriteOperationLog("taro"));
  ASSERT_EQ(chdir(work_dir.c_str()), 0);
}

}  // namespace
}  // namespace orvanta::test
