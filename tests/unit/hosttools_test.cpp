// Shell quoting and the runner: what the shell receives is exactly one
// argument per value, and the shell sees nothing of the CGI environment.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"

namespace orvanta {
namespace {

TEST(ShellWord, LeavesPlainValuesAloneAndQuotesTheRest) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"taro", "taro"},
      {"/home/taro", "/home/taro"},
      {"user@x.example,a=b:c%d+e_f-g", "user@x.example,a=b:c%d+e_f-g"},
      {"", ""},
      {"a b", "'a b'"},
      {"a'b", "'a'\\''b'"},
      {"$(id)", "'$(id)'"},
      {"`id`", "'`id`'"},
      {"a;b", "'a;b'"},
      {"*", "'*'"},
      {"~root", "'~root'"},
      {"a\nb", "'a\nb'"},
      {"\xa4\xa2", "'\xa4\xa2'"},
  };
  for (const auto& [value, word] : cases) EXPECT_EQ(ShellWord(value), word) << value;
}

TEST(ShellQuotedBody, KeepsTheQuotedTextOneWord) {
  EXPECT_EQ(ShellQuotedBody("O'Brien"), "O'\\''Brien");
  EXPECT_EQ(ShellQuotedBody("a b $x"), "a b $x");
}

// The real runner takes the change lock at its first run: keep the lock
// file out of whatever directory the tests are started in.
void LockFileInTempDir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/orvanta-lock-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  SetParam("LOCKFILE", dir + "/orvanta.lock");
}

// Every byte from 1 to 255, and nasty combinations, survive the real shell
// as one argument.
TEST(ShellWord, RoundTripsThroughTheShell) {
  LockFileInTempDir();
  std::string every_byte;
  for (int c = 1; c < 256; ++c) every_byte += static_cast<char>(c);
  const std::vector<std::string> values = {every_byte, "'", "''", "'\\''", "a'b'c", " ", "\\",
                                           "-n", "$(touch /tmp/x)", "\"$HOME\""};
  char dir_pattern[] = "/tmp/orvanta-quote-XXXXXX";
  const std::string dir = mkdtemp(dir_pattern);
  for (const std::string& value : values) {
    const std::string out = dir + "/out";
    const std::string comment = "'" + ShellQuotedBody(value) + "'";
    ASSERT_EQ(RunCommandLine("printf '%s|' " + ShellWord(value) + " " + comment + " > " + out), 0);
    std::ifstream in(out, std::ios::binary);
    std::stringstream got;
    got << in.rdbuf();
    EXPECT_EQ(got.str(), value + "|" + value + "|");
  }
  std::filesystem::remove_all(dir);
}

TEST(RunCommandLine, ReturnsTheWaitStatusAndResetsTheEnvironment) {
  LockFileInTempDir();
  EXPECT_EQ(RunCommandLine("true"), 0);
  EXPECT_NE(RunCommandLine("exit 3"), 0);
  EXPECT_NE(RunCommandLine("/nonexistent/tool"), 0);

  setenv("HTTP_X_EVIL", "1", 1);
  setenv("IFS", "/", 1);
  char dir_pattern[] = "/tmp/orvanta-env-XXXXXX";
  const std::string dir = mkdtemp(dir_pattern);
  ASSERT_EQ(RunCommandLine("env > " + dir + "/env"), 0);
  std::ifstream in(dir + "/env");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    // The shell itself adds PWD and SHLVL to what it was given.
    if (line.rfind("PWD=", 0) != 0 && line.rfind("SHLVL=", 0) != 0 && line.rfind("_=", 0) != 0) {
      lines.push_back(line);
    }
  }
  EXPECT_EQ(lines, std::vector<std::string>{"PATH=/usr/sbin:/usr/bin:/sbin:/bin"});
  unsetenv("HTTP_X_EVIL");
  unsetenv("IFS");
  std::filesystem::remove_all(dir);
}

// A batch lets the lock go between its accounts: another request (another
// open file, as flock counts) can take it then, and not while a tool runs.
TEST(ChangeLock, IsHeldFromAToolRunUntilLetGo) {
  LockFileInTempDir();
  const auto others_can_take = [] {
    const int fd = open(Param("LOCKFILE").c_str(), O_RDWR | O_CLOEXEC);
    const bool taken = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (fd >= 0) close(fd);
    return taken;
  };
  ASSERT_EQ(RunCommandLine("true"), 0);
  EXPECT_FALSE(others_can_take());
  ReleaseChangeLock();
  EXPECT_TRUE(others_can_take());
  ASSERT_EQ(RunCommandLine("true"), 0);
  EXPECT_FALSE(others_can_take());
  ReleaseChangeLock();
}

}  // namespace
}  // namespace orvanta
