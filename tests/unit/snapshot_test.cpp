// The three orders of the user list.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cgi/cgi.h"

namespace orvanta {
namespace {

std::vector<std::string> NamesAfterSort(const std::string& order) {
  gCGIData.clear();
  SetParam("SORT", order);
  gUserList = {{"zed", 1000, 100, "", "", ""},
               {"\xa4\xa2", 5, 100, "", "", ""},  // an EUC-JP name
               {"abc", 4294967294u, 100, "", "", ""},
               {"ab", 1000, 100, "", "", ""},
               {"root", 0, 0, "", "", ""}};
  SortUserList();
  std::vector<std::string> names;
  for (const UserEntry& user : gUserList) names.push_back(user.name);
  return names;
}

TEST(SortUserList, FollowsTheSortSetting) {
  const std::vector<std::string> database = {"zed", "\xa4\xa2", "abc", "ab", "root"};
  EXPECT_EQ(NamesAfterSort(""), database);
  EXPECT_EQ(NamesAfterSort("sort_by_uid"), database);
  EXPECT_EQ(NamesAfterSort("SORT_BY_NAME"),
            (std::vector<std::string>{"ab", "abc", "root", "zed", "\xa4\xa2"}));
  // Unsigned uids: 4294967294 after 1000; equal uids keep database order.
  EXPECT_EQ(NamesAfterSort("SORT_BY_UID"),
            (std::vector<std::string>{"root", "\xa4\xa2", "zed", "ab", "abc"}));
}

}  // namespace
}  // namespace orvanta
