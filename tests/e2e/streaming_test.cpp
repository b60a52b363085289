// A batch whose client went away, and whose web server sends TERM and HUP
// while it runs, still makes every account and writes every record; the
// tools start with the default dispositions.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tests/support/cgi_process.h"

namespace orvanta::test {
namespace {

// useradd's stand-in: notes the signals it ignores, then sends TERM and
// HUP to the program (its parent, or the shell's parent).
constexpr char kSignallingTool[] =
    "#!/bin/sh\n"
    "grep SigIgn /proc/$$/status >> @/ignored\n"
    "p=$PPID; [ \"$(cat /proc/$p/comm)\" = sh ] && p=$(cut -d' ' -f4 /proc/$p/stat)\n"
    "kill -TERM $p; kill -HUP $p; sleep 0.1\n";

TEST(StreamingTest, GoneClientAndStopSignalsStopNoChange) {
  CgiSandbox box;
  std::string tool = kSignallingTool;
  for (size_t at; (at = tool.find('@')) != std::string::npos;) tool.replace(at, 1, box.dir());
  box.WriteFile("useradd", tool);
  chmod(box.PathOf("useradd").c_str(), 0755);
  box.SetAccounts("root:x:0:0::/root:/bin/sh\n", "root:x:0:\nstaff:x:1100:\n");
  box.SetConfig("USERADD=" + box.PathOf("useradd") + "\nSYSTEMUID=999\nSYSTEMGID=999\n"
                "SHELL1=/bin/sh\n");
  CgiRequest request = Post("COMMAND=BATCHADD&DIR=/home&SHELL=/bin/sh&LINES=" +
                            std::string("ka1,abc123,,staff%0Aka2,abc123,,staff%0Aka3,abc123,,staff"));
  request.client_gone = true;
  EXPECT_EQ(box.Run(request).exit_status, 0);
  EXPECT_EQ(box.LogRecords(), (std::vector<std::string>{"ADD,ka1", "ADD,ka2", "ADD,ka3"}));
  EXPECT_EQ(box.CallsOf("chpasswd").size(), 3u);
  // No signal ignored by a tool: neither PIPE nor TERM nor HUP.
  EXPECT_EQ(box.ReadFile("ignored"), "SigIgn:\t0000000000000000\n"
                                     "SigIgn:\t0000000000000000\n"
                                     "SigIgn:\t0000000000000000\n");
}

}  // namespace
}  // namespace orvanta::test
