// Lists cut into pages: which rows a page holds, and which rows FIND and
// LIST_SYSTEM let through to be paged.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "access/access.h"
#include "cgi/cgi.h"
#include "page/page.h"

namespace orvanta {
namespace {

struct WindowCase {
  size_t total, page_size;
  const char* from;
  size_t first, count;
};

TEST(PageWindows, FromPicksTheFirstRowAndFallsBackToTheFirstPage) {
  const WindowCase cases[] = {
      {450, 0, "200", 0, 450},  // no pages: every row, FROM ignored
      {450, 200, "", 0, 200},   {450, 200, "200", 200, 200}, {450, 200, "400", 400, 50},
      {450, 200, "7", 7, 200},  {450, 200, "449", 449, 1},   {450, 200, "450", 0, 200},
      {450, 200, "-1", 0, 200}, {450, 200, "2x", 0, 200},    {450, 200, " 5", 0, 200},
      {450, 200, "99999999999999999999999", 0, 200},         {0, 200, "0", 0, 0},
  };
  for (const WindowCase& c : cases) {
    const PageWindow window = WindowOf(c.total, c.page_size, c.from);
    EXPECT_EQ(window.first, c.first) << c.total << " " << c.page_size << " " << c.from;
    EXPECT_EQ(window.count, c.count) << c.total << " " << c.page_size << " " << c.from;
  }
}

const std::vector<UserEntry> kAccounts = {
    {"root", 0, 0, "root", "/root", ""},
    {"taro", 1000, 100, "Taro \xc5\xc4\xc3\xe6", "", ""},  // 田中 in EUC-JP
    {"hanako", 1001, 100, "Hanako", "", ""},
    {"nobody", 65534, 65534, "", "", ""},
    {"u1000x", 1500, 100, "taro's", "", ""},
};

struct FindCase {
  const char* settings;  // LIST_PAGE_SIZE, LIST_SYSTEM
  const char* find;
  std::vector<std::string> shown;
};

class ListFilters : public ::testing::Test {
 protected:
  void SetUp() override {
    SetAccountEntries(AccountEntries{kAccounts, {}});
  }
  void TearDown() override { SetAccountEntries(std::nullopt); }
};

TEST_F(ListFilters, FindAndListSystemChooseTheRows) {
  const FindCase cases[] = {
      {"200 YES", "", {"root", "taro", "hanako", "nobody", "u1000x"}},
      {"200 NO", "", {"taro", "hanako", "u1000x"}},
      {"200 YES", "taro", {"taro", "u1000x"}},            // name or comment
      {"200 YES", "Taro", {"taro"}},                      // case-sensitive
      {"200 YES", "\xc5\xc4", {"taro"}},                  // EUC-JP bytes
      {"200 YES", "1000", {"taro", "u1000x"}},            // uid, or the name
      {"200 YES", "01001", {"hanako"}},                   // digits as a number
      {"200 NO", "65534", {}},                            // after LIST_SYSTEM
      {"200 YES", "0", {"root", "u1000x"}},               // uid 0, and "0" in a name
      {"0 YES", "taro", {"root", "taro", "hanako", "nobody", "u1000x"}},  // no pages: no search
      {"200 maybe", "", {"root", "taro", "hanako", "nobody", "u1000x"}},
  };
  for (const FindCase& c : cases) {
    gCGIData.clear();
    const std::string settings = c.settings;
    SetParam("LIST_PAGE_SIZE", settings.substr(0, settings.find(' ')));
    SetParam("LIST_SYSTEM", settings.substr(settings.find(' ') + 1));
    SetParam("SYSTEMUID", "999");
    SetParam("FIND", c.find);
    const UserTable& users = AllUsers();
    std::vector<std::string> shown;
    for (std::uint32_t index : ShownUsers(users, ListFilter())) {
      shown.emplace_back(users[index].name);
    }
    EXPECT_EQ(shown, c.shown) << c.settings << " FIND=" << c.find;
  }
}

TEST_F(ListFilters, GroupsMatchByNameOrGid) {
  gCGIData.clear();
  SetParam("LIST_PAGE_SIZE", "10");
  SetParam("LIST_SYSTEM", "NO");
  SetParam("SYSTEMGID", "999");
  const GroupEntry staff{"staff", 1000}, wheel{"wheel", 10}, nogroup{"nogroup", 65534};
  SetParam("FIND", "");
  const ListFilter all;
  EXPECT_TRUE(all.ShowsGroup(staff));
  EXPECT_FALSE(all.ShowsGroup(wheel));
  EXPECT_FALSE(all.ShowsGroup(nogroup));
  SetParam("FIND", "1000");
  EXPECT_TRUE(ListFilter().ShowsGroup(staff));
  SetParam("FIND", "aff");
  EXPECT_TRUE(ListFilter().ShowsGroup(staff));
  SetParam("FIND", "Staff");
  EXPECT_FALSE(ListFilter().ShowsGroup(staff));
}

}  // namespace
}  // namespace orvanta
