// The operation log as the real program writes it: whatever happens to the
// log, the page the user sees stays the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <regex>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"

namespace orvanta::test {
namespace {

class OperationLogRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string groupadd = box_.AddRecordingTool("groupadd", 0);
    box_.SetConfig("GROUPADD=" + groupadd + "\n");
  }
  CgiResult Register(const std::string& remote_user = "") {
    CgiRequest request = Post("COMMAND=GP_WILLBEADD&GNAME=dev&GID=1200");
    request.extra_env = {"REMOTE_USER=" + remote_user};
    return box_.Run(request);
  }
  CgiSandbox box_;
};

// The web server's REMOTE_USER, when it names someone, is the fifth field,
// made one field whatever it holds.
TEST_F(OperationLogRun, MissingLogIsCreatedWithOneLinePerChange) {
  ASSERT_FALSE(box_.Exists("orvanta.log"));
  Register();
  Register();
  Register("ken,x y");
  const std::string record = "GADD,dev,192\\.0\\.2\\.10,\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}";
  EXPECT_TRUE(std::regex_match(box_.ReadFile("orvanta.log"),
                               std::regex("(" + record + "\n){2}" + record +
                                          ",ken\\\\x2Cx\\\\x20y\n")))
      << box_.ReadFile("orvanta.log");
}

TEST_F(OperationLogRun, UnopenableLogLeavesThePageAsItIs) {
  const std::string page = Register().out;
  ASSERT_NE(page.find(Euc("グループ登録しました。")), std::string::npos);
  ASSERT_EQ(unlink(box_.PathOf("orvanta.log").c_str()), 0);

  // A symbolic link at the log's name is never followed.
  ASSERT_EQ(symlink(box_.PathOf("target").c_str(), box_.PathOf("orvanta.log").c_str()), 0);
  EXPECT_EQ(Register().out, page);
  EXPECT_FALSE(box_.Exists("target"));
  ASSERT_EQ(unlink(box_.PathOf("orvanta.log").c_str()), 0);

  // Something that cannot be opened for writing.
  ASSERT_EQ(mkdir(box_.PathOf("orvanta.log").c_str(), 0755), 0);
  EXPECT_EQ(Register().out, page);
  EXPECT_EQ(box_.CallsOf("groupadd").size(), 3u);
}

// Root appends only to a log of its own: a hard link could name any file,
// and a file another user owns was not made by the program.
TEST(OperationLogFile, OnlyRootsOwnSingleLinkFileGetsARecord) {
  const std::vector<std::pair<const char*, std::function<void(const CgiSandbox&)>>> cases = {
      {"hard link to another file",
       [](const CgiSandbox& box) {
         box.WriteFile("other", "kept\n");
         ASSERT_EQ(link(box.PathOf("other").c_str(), box.PathOf("orvanta.log").c_str()), 0);
       }},
      {"owned by another user",
       [](const CgiSandbox& box) {
         box.WriteFile("orvanta.log", "kept\n");
         ASSERT_EQ(chown(box.PathOf("orvanta.log").c_str(), 65534, 65534), 0);
       }},
  };
  for (const auto& [what, plant] : cases) {
    SCOPED_TRACE(what);
    CgiSandbox box;
    box.SetConfig("GROUPADD=" + box.AddRecordingTool("groupadd", 0) + "\n");
    plant(box);
    const CgiResult result = box.Run(Post("COMMAND=GP_WILLBEADD&GNAME=dev&GID=1200"));
    EXPECT_NE(result.out.find(Euc("グループ登録しました。")), std::string::npos);
    EXPECT_EQ(box.ReadFile("orvanta.log"), "kept\n");
    const std::string errors = box.ReadFile(".stderr");
    EXPECT_EQ(errors.rfind("orvanta: record lost: orvanta.log is not a regular file with one "
                           "link owned by root: GADD,dev,192.0.2.10,",
                           0),
              0u)
        << errors;
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
  }
}

TEST_F(OperationLogRun, FailingToolWritesNoRecord) {
  const std::string groupadd = box_.AddRecordingTool("failing-groupadd", 9);
  box_.SetConfig("GROUPADD=" + groupadd + "\n");
  Register();
  EXPECT_EQ(box_.CallsOf("failing-groupadd").size(), 1u);
  EXPECT_FALSE(box_.Exists("orvanta.log"));
}

}  // namespace
}  // namespace orvanta::test
