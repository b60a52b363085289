// Reading cfg_file.cfg into the parameter table.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "cgi/cgi.h"

namespace orvanta {
namespace {

class ConfigFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gCGIData.clear();
    path_ = ::testing::TempDir() + "cfg_test_" + std::to_string(getpid()) + ".cfg";
  }
  void TearDown() override { std::remove(path_.c_str()); }

  std::map<std::string, std::string> Read(const std::string& content) {
    std::ofstream(path_, std::ios::binary) << content;
    EXPECT_TRUE(ReadConfigFile(path_.c_str()));
    return gCGIData;
  }

  std::string path_;
};

TEST_F(ConfigFileTest, StoresEveryEntryLine) {
  const std::map<std::string, std::string> expected = {
      {"SORT", "SORT_BY_NAME"},
      {"USERADD", "/usr/sbin/useradd -m"},
      {"OPTION", "-k=/etc/skel"},
      {"SHELL1", "/bin/bash # not a comment"},
      {" #X", "1"},
      {"", "empty key"},
      {"EMPTY", ""},
      {"SORT ", " SORT_BY_UID"},
  };
  EXPECT_EQ(Read("SORT=SORT_BY_UID\n"
                 "SORT=SORT_BY_NAME\n"
                 "USERADD=/usr/sbin/useradd -m\n"
                 "OPTION=-k=/etc/skel\n"
                 "# COMMENT=1\n"
                 "#\n"
                 "\n"
                 "SHELL1=/bin/bash # not a comment\n"
                 " #X=1\n"
                 "=empty key\n"
                 "EMPTY=\n"
                 "SORT = SORT_BY_UID\n"
                 "a line without an equals sign\n"
                 "   \n"),
            expected);
}

TEST_F(ConfigFileTest, CarriageReturnLineEndsReadLikeLineFeeds) {
  const std::map<std::string, std::string> expected = {{"A", "1"}, {"B", "2"}, {"C", "x"}};
  EXPECT_EQ(Read("A=1\r\nB=2\r\nC=x\ry\r\n"), expected);
}

TEST_F(ConfigFileTest, LastLineHasNoLineFeed) {
  const std::map<std::string, std::string> expected = {{"A", "1"}};
  EXPECT_EQ(Read("A=1"), expected);
}

TEST_F(ConfigFileTest, LongLinesStayWhole) {
  const std::string value(5000, 'v');
  const std::map<std::string, std::string> expected = {{"USERADD", value}};
  EXPECT_EQ(Read("USERADD=" + value + "\n"), expected);
}

TEST_F(ConfigFileTest, EntriesReplaceRequestParameters) {
  SetParam("COMMAND", "ADD");
  EXPECT_EQ(Read("COMMAND=DEFAULT\n").at("COMMAND"), "DEFAULT");
}

TEST_F(ConfigFileTest, MissingFileIsNoError) {
  SetParam("COMMAND", "ADD");
  EXPECT_FALSE(ReadConfigFile("/nonexistent/cfg_file.cfg"));
  EXPECT_EQ(gCGIData.size(), 1u);
}

}  // namespace
}  // namespace orvanta
