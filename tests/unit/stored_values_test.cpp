// What the databases hold, read as the actions read it: names and homes the
// program trusts, homes as normalised paths and which of them meet, the
// accounts near a home found in one pass, and archives named only after
// trusted names.
#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "page/page.h"
#include "store/store.h"
#include "tests/support/program_state.h"

namespace orvanta::test {
namespace {

TEST(StoredValuesTest, NamesTheActionsMayHandOn) {
  const struct {
    std::string name;
    bool trusted;
  } cases[] = {
      {"taro", true},          {"Taro.Long-name_99", true}, {"x$(id)", true}, {"a;b", true},
      {"h*)(+=\\", true},      {"\xa4\xa2", true},          {".profile", true}, {"a..b", true},
      {"", false},             {"-rf", false},              {"--help", false}, {".", false},
      {"..", false},           {"...", false},              {"../x", false},   {"a/b", false},
      {"a:b", false},          {"a,b", false},              {"a b", false},    {"a\tb", false},
      {"a\nb", false},         {std::string("a\0b", 3), false}, {"a\x7f", false}, {"\x1b[1m", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsTrustedStoredName(c.name), c.trusted) << "[" << c.name << "]";
  }
}

TEST(StoredValuesTest, HomesTheActionsMayActOn) {
  const struct {
    const char* home;
    bool trusted;
  } cases[] = {
      {"", true},           {"/", true},           {"/home/taro", true},    {"/home/taro/", true},
      {"/home/.taro", true}, {"/home/ta..ro", true}, {"/nonexistent", true},
      {"home/taro", false}, {"~taro", false},       {"//home/taro", false},  {"/home//taro", false},
      {"/home/taro//", false}, {"/home/./taro", false}, {"/home/../etc", false},
      {"/home/taro/..", false}, {"/home/taro/.", false}, {"/..", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsTrustedStoredHome(c.home), c.trusted) << c.home;
}

TEST(StoredValuesTest, HomesAreComparedAsNormalisedPaths) {
  const struct {
    const char* path;
    std::optional<std::string> normal;
  } normal_cases[] = {
      {"/srv/home/alice", "/srv/home/alice"},   {"/srv/home/alice/", "/srv/home/alice"},
      {"/srv/home/alice//", "/srv/home/alice"}, {"//srv//home/./alice", "/srv/home/alice"},
      {"/srv/home/x/../alice", "/srv/home/alice"}, {"/../../srv/home", "/srv/home"},
      {"/", "/"},                               {"/..", "/"},
      {"srv/home", std::nullopt},               {"", std::nullopt},
  };
  for (const auto& c : normal_cases) EXPECT_EQ(NormalisedPath(c.path), c.normal) << c.path;

  const struct {
    const char* a;
    const char* b;
    bool meet;
  } overlap_cases[] = {
      {"/srv/home/alice", "/srv/home/alice", true},
      {"/srv/home/alice/sub", "/srv/home/alice", true},
      {"/srv/home/team", "/srv/home/team/deep", true},
      {"/", "/srv", true},
      {"/srv/home/alice", "/srv/home/alice2", false},
      {"/srv/home/alice2", "/srv/home/alice", false},
      {"/srv/home/a", "/srv/home/b", false},
  };
  for (const auto& c : overlap_cases) {
    EXPECT_EQ(PathsOverlap(c.a, c.b), c.meet) << c.a << " " << c.b;
    EXPECT_EQ(PathsOverlap(c.b, c.a), c.meet) << c.b << " " << c.a;
  }
  EXPECT_EQ(PathParents("/srv/home/team/deep"),
            (std::vector<std::string>{"/srv/home/team", "/srv/home", "/srv"}));
  EXPECT_TRUE(PathParents("/srv").empty());
}

class HomeHoldersTest : public ProgramTest {};

// One pass finds the accounts whose homes are, hold or lie in the paths
// asked about, each with its home normalised; neighbours and lookalikes
// are not among them.
TEST_F(HomeHoldersTest, FindsTheHomesThatMeetThePathsAskedAbout) {
  Users({{"alice", 2001, 100, "", "/srv/home/alice", ""},
         {"bob", 2002, 100, "", "/srv/home/bob/", ""},
         {"carol", 2003, 100, "", "/srv/home/x/../carol", ""},
         {"deep", 2004, 100, "", "/srv/home/team/deep", ""},
         {"alice2", 2005, 100, "", "/srv/home/alice2", ""},
         {"rooted", 2006, 100, "", "/srv/home", ""},
         {"slash", 2007, 100, "", "/", ""},
         {"relative", 2008, 100, "", "srv/home/alice", ""}});
  const struct {
    std::string asked;
    std::vector<std::string> holders;  // "name=home"
  } cases[] = {
      {"/srv/home/alice", {"alice=/srv/home/alice", "rooted=/srv/home", "slash=/"}},
      {"/srv/home/alice/.ssh", {"alice=/srv/home/alice", "rooted=/srv/home", "slash=/"}},
      {"/srv/home/bob/x", {"bob=/srv/home/bob", "rooted=/srv/home", "slash=/"}},
      {"/srv/home/carol/", {"carol=/srv/home/carol", "rooted=/srv/home", "slash=/"}},
      {"/srv/home/team", {"deep=/srv/home/team/deep", "rooted=/srv/home", "slash=/"}},
      {"/srv/other", {"slash=/"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> holders;
    for (const HomeHolder& holder : FindUsers({}, {}, {c.asked}).home_holders) {
      holders.push_back(holder.name + "=" + holder.home);
    }
    EXPECT_EQ(holders, c.holders) << c.asked;
  }
}

class ArchiveNameTest : public ProgramTest {};

// The archive lies in ARCHIVE_DIR under the name and the minute, whatever
// the stored name: a name that would lead elsewhere gets none.
TEST_F(ArchiveNameTest, OnlyTrustedNamesNameAnArchive) {
  Params({{"ARCHIVE_DIR", "/var/backups/homes"}});
  const std::regex shape(R"(/var/backups/homes/taro-[0-9]{8}-[0-9]{4}\.tar\.gz)");
  const std::optional<std::string> taro = ArchivePathOf("taro");
  ASSERT_TRUE(taro.has_value());
  EXPECT_TRUE(std::regex_match(*taro, shape)) << *taro;
  for (const char* name : {"../../../../tmp/x", "a/b", "-rf", "..", "", "a b", "x,y"}) {
    EXPECT_EQ(ArchivePathOf(name), std::nullopt) << name;
  }
}

}  // namespace
}  // namespace orvanta::test
