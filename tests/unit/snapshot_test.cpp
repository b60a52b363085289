// The account table: the three orders of the user list, names yielded
// twice, and the one-pass lookups of the actions.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cgi/cgi.h"

namespace orvanta {
namespace {

const std::vector<UserEntry> kDatabase = {{"zed", 1000, 100, "Zed", "/home/zed", "/bin/sh"},
                                          {"\xa4\xa2", 5, 100, "", "", ""},  // an EUC-JP name
                                          {"abc", 4294967294u, 100, "", "", ""},
                                          {"ab", 1000, 100, "", "", ""},
                                          {"root", 0, 0, "", "", ""},
                                          {"zed", 2000, 200, "", "", ""}};

class AccountTables : public ::testing::Test {
 protected:
  void SetUp() override {
    gCGIData.clear();
    SetAccountEntries(AccountEntries{kDatabase, {{"users", 100}, {"staff", 200}, {"users", 300}}});
  }
  void TearDown() override { SetAccountEntries(std::nullopt); }

  std::vector<std::string> Names(const std::string& order) {
    SetParam("SORT", order);
    ForgetAccounts();
    const UserTable& users = AllUsers();
    std::vector<std::string> names;
    for (size_t i = 0; i < users.size(); ++i) names.emplace_back(users[i].name);
    return names;
  }
};

TEST_F(AccountTables, ListFollowsTheSortSetting) {
  const std::vector<std::string> database = {"zed", "\xa4\xa2", "abc", "ab", "root", "zed"};
  EXPECT_EQ(Names(""), database);
  EXPECT_EQ(Names("sort_by_uid"), database);
  EXPECT_EQ(Names("SORT_BY_NAME"),
            (std::vector<std::string>{"ab", "abc", "root", "zed", "zed", "\xa4\xa2"}));
  // Unsigned uids: 4294967294 after 2000; equal uids keep database order.
  EXPECT_EQ(Names("SORT_BY_UID"),
            (std::vector<std::string>{"root", "\xa4\xa2", "zed", "ab", "zed", "abc"}));
  const UserTable& users = AllUsers();
  EXPECT_EQ(users[2].gecos, "Zed");
  EXPECT_EQ(users[2].dir, "/home/zed");
  EXPECT_EQ(users[2].shell, "/bin/sh");
  for (size_t i = 0; i < users.size(); ++i) {
    EXPECT_EQ(users.IsRepeatedName(i), users[i].name == "zed") << users[i].name;
  }
}

TEST_F(AccountTables, GroupsKeepTheLastEntryAndKnowRepeatedNames) {
  const GroupTables& groups = AllGroups();
  EXPECT_EQ(groups.by_name.at("users").gid, 300u);
  EXPECT_EQ(groups.NameOf(100), "users");
  EXPECT_EQ(groups.NameOf(7), "");
  EXPECT_EQ(groups.repeated_names, (std::set<std::string, std::less<>>{"users"}));
}

TEST_F(AccountTables, FindUsersSeesEveryEntryOfTheNamesInOnePass) {
  const FoundUsers found = FindUsers({"zed", "ab", "ghost"}, {5, 6});
  EXPECT_EQ(found.taken_uids, (std::set<std::uint32_t>{5}));
  EXPECT_EQ(found.by_name.at("zed").size(), 2u);
  EXPECT_EQ(found.Single("zed"), nullptr);
  ASSERT_NE(found.Single("ab"), nullptr);
  EXPECT_EQ(found.Single("ab")->uid, 1000u);
  EXPECT_FALSE(found.Exists("ghost"));
}

}  // namespace
}  // namespace orvanta
