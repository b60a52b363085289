// Last logins on the lock and ageing lists, read from a lastlog file made
// here as the host keeps it, and the search UNUSED: new accounts and
// recently changed passwords stay out, and the selection of every match
// carries it on and checks it again for each account.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"
#include "tests/support/pages.h"

namespace orvanta::test {
namespace {

constexpr long kDay = 86400;
constexpr size_t kLastlogRecord = 292;  // 32-bit time, line, host
constexpr char kUtc[] = "TZ=UTC";

struct Account {
  const char* name;
  int uid;
  long changed_days_ago;  // shadow's last change; -1 for 0 (change at the next login)
  long login_days_ago;    // -1 for none recorded
  bool unused_for_30;
};
constexpr Account kAccounts[] = {
    {"active", 2001, 400, 2, false},   {"idle", 2002, 400, 100, true},
    {"never", 2003, 400, -1, true},    {"fresh", 2004, 5, -1, false},
    {"renewed", 2005, 10, 100, false}, {"forced", 2006, -1, -1, false},
};

// The cell of a login at `moment`, the program running with TZ=UTC.
std::string Cell(std::time_t moment) {
  std::tm utc{};
  gmtime_r(&moment, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y/%m/%d %H:%M", &utc);
  return text;
}

void PutLastlogRecord(std::string& lastlog, int uid, std::time_t moment) {
  const auto time = static_cast<std::int32_t>(moment);
  lastlog.replace(uid * kLastlogRecord, sizeof time, reinterpret_cast<const char*>(&time),
                  sizeof time);
}

constexpr char kNamePattern[] = "VALUE=\"([a-z]+)\">";  // a row's check box or radio button

std::vector<std::string> AllOf(const std::string& page, const std::string& pattern) {
  std::vector<std::string> found;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(page.begin(), page.end(), re); it != std::sregex_iterator();
       ++it) {
    found.push_back((*it)[1]);
  }
  return found;
}

class LastLoginTest : public ::testing::Test {
 protected:
  LastLoginTest() : now_(std::time(nullptr)) {
    std::string passwd = "root:x:0:0::/root:/bin/sh\n";
    std::string shadow;
    std::string lastlog((2006 + 1) * kLastlogRecord, '\0');
    for (const Account& a : kAccounts) {
      const std::string name = a.name;
      passwd += name + ":x:" + std::to_string(a.uid) + ":100::/home/" + name + ":/bin/sh\n";
      const long changed = a.changed_days_ago < 0 ? 0 : now_ / kDay - a.changed_days_ago;
      shadow += name + ":$y$x:" + std::to_string(changed) + ":0:99999:7:::\n";
      if (a.login_days_ago >= 0) PutLastlogRecord(lastlog, a.uid, LoginOf(a));
      cells_.push_back(a.login_days_ago < 0 ? "記録なし" : Cell(LoginOf(a)));
      if (a.unused_for_30) unused_.push_back(a.name);
    }
    box_.SetAccounts(passwd, "root:x:0:\nstaff:x:100:\n");
    box_.SetShadow(shadow);
    box_.WriteFile("lastlog", lastlog);
    Configure("lastlog:" + box_.PathOf("lastlog"));
  }

  void Configure(const std::string& lastlog) {
    box_.SetConfig("SYSTEMUID=999\nSYSTEMGID=99\nLIST_SYSTEM=NO\nLIST_PAGE_SIZE=50\nLASTLOG=" +
                   lastlog + "\nUSERMOD=" + box_.AddRecordingTool("usermod", 0) + "\n");
  }

  std::string Send(CgiRequest request) const {
    request.extra_env = {kUtc};
    return Utf8(box_.Run(request).out);
  }
  std::time_t LoginOf(const Account& a) const { return now_ - a.login_days_ago * kDay; }

  std::time_t now_;
  CgiSandbox box_;
  std::vector<std::string> cells_, unused_;  // the last login cells; the names UNUSED=30 finds
};

TEST_F(LastLoginTest, BothListsShowTheRecordsAndFindTheUnusedAccounts) {
  // The lock list's last login comes before the state; the ageing list's ends the row.
  for (const auto& [command, cell] : {std::pair{"LOCK", "<TD NOWRAP>([^<]*)</TD>\n<TD NOWRAP>使用"},
                                      std::pair{"AGE", "<TD NOWRAP>([^<]*)</TD>\n</TR>"}}) {
    const std::string query = std::string("COMMAND=") + command;
    const std::string page = Send(Get(query));
    EXPECT_NE(page.find("<TH NOWRAP>最終ログイン（lastlog）</TH>\n"), std::string::npos) << page;
    EXPECT_EQ(AllOf(page, cell), cells_) << command;
    const std::string found = Send(Get(query + "&UNUSED=30"));
    EXPECT_EQ(AllOf(found, kNamePattern), unused_) << found;
    EXPECT_NE(
        found.find("未使用 <INPUT TYPE=\"TEXT\" NAME=\"UNUSED\" VALUE=\"30\" SIZE=\"6\">日以上\n"),
        std::string::npos);
    for (const char* wrong : {"0", "100000", "x", "+3", "-1", "3d"}) {
      EXPECT_EQ(Send(Get(query + "&UNUSED=" + wrong)),
                Utf8(MessagePage("未使用の日数は 1〜99999 の整数で入力してください。<BR>\n")))
          << wrong;
    }
  }
}

TEST_F(LastLoginTest, SelectionCarriesUnusedAndChecksEachAccountAgain) {
  const std::string offer = Send(Get("COMMAND=LOCK&UNUSED=30"));
  EXPECT_NE(offer.find("<INPUT TYPE=\"HIDDEN\" NAME=\"UNUSED\" VALUE=\"30\">\n"
                       "<INPUT TYPE=\"SUBMIT\" VALUE=\"検索に一致する 2 件すべて\">"),
            std::string::npos)
      << offer;
  const std::string confirm = Send(Get("COMMAND=LOCKALL&FIND=&UNUSED=30"));
  EXPECT_NE(confirm.find("<P>30 日以上使われていないアカウントに限ります。</P>\n"),
            std::string::npos);
  EXPECT_NE(confirm.find("<INPUT TYPE=\"HIDDEN\" NAME=\"UNUSED\" VALUE=\"30\">\n"
                         "<INPUT TYPE=\"HIDDEN\" NAME=\"NAME\" VALUE=\"idle\">\n"
                         "<INPUT TYPE=\"HIDDEN\" NAME=\"NAME\" VALUE=\"never\">\n"),
            std::string::npos)
      << confirm;
  // active and fresh were never in it; idle logged in after the confirmation.
  std::string lastlog = box_.ReadFile("lastlog");
  PutLastlogRecord(lastlog, 2002, now_);
  box_.WriteFile("lastlog", lastlog);
  const std::string run =
      Send(Post("COMMAND=TOBELOCK&ACTION=LOCK&SELECTION=4&FIND=&UNUSED=30"
                "&NAME=idle&NAME=never&NAME=active&NAME=fresh"));
  for (const char* row : {"<TD>idle</TD><TD>検索に一致しなくなりました</TD>",
                          "<TD>never</TD><TD>ロックしました。</TD>",
                          "<TD>active</TD><TD>検索に一致しなくなりました</TD>",
                          "<TD>fresh</TD><TD>検索に一致しなくなりました</TD>"}) {
    EXPECT_NE(run.find(row), std::string::npos) << row << "\n" << run;
  }
  EXPECT_EQ(box_.CallsOf("usermod").size(), 1u);
}

// Records that cannot be read (Debian 12 has neither library) show 不明, with
// one line in the error log, and UNUSED finds nothing rather than every account.
TEST_F(LastLoginTest, UnreadableRecordsFailClosed) {
  const struct {
    std::string setting, records;
  } cases[] = {
      {"lastlog:" + box_.PathOf("missing"), "lastlog"},
      {"lastlog2:" + box_.PathOf("missing.db"), "lastlog2"},
      {"wtmpdb:" + box_.PathOf("missing.db"), "wtmpdb"},
      {box_.PathOf("lastlog"), "lastlog"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.setting);
    Configure(c.setting);
    box_.WriteFile(".stderr", "");
    const std::string page = Send(Get("COMMAND=LOCK"));
    const std::string errors = box_.ReadFile(".stderr");
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_NE(page.find("<TH NOWRAP>最終ログイン（" + c.records + "）</TH>\n"), std::string::npos);
    EXPECT_EQ(AllOf(page, "<TD NOWRAP>(不明)</TD>\n<TD NOWRAP>").size(), std::size(kAccounts));
    EXPECT_EQ(Send(Get("COMMAND=LOCK&UNUSED=30")),
              Utf8(MessagePage(
                  "最終ログインの記録を読めないため、未使用のアカウントを探せません。<BR>\n")));
  }
}

// Debian 13's records, made with the writers of their own libraries (which
// Debian 12 does not have).
using WtmpdbLogin = std::int64_t(const char* path, int type, const char* user, std::uint64_t usec,
                                 const char* tty, const char* rhost, const char* service,
                                 char** error);
using Ll2NewContext = void*(const char* path);
using Ll2WriteEntry = int(void* context, const char* user, std::int64_t time, const char* tty,
                          const char* rhost, const char* service, char** error);

TEST_F(LastLoginTest, Debian13RecordsThroughTheirLibraries) {
  void* wtmpdb = dlopen("libwtmpdb.so.0", RTLD_NOW | RTLD_LOCAL);
  void* lastlog2 = dlopen("liblastlog2.so.2", RTLD_NOW | RTLD_LOCAL);
  if (wtmpdb == nullptr || lastlog2 == nullptr) GTEST_SKIP() << "no libwtmpdb0 and liblastlog2-2";
  auto* login = reinterpret_cast<WtmpdbLogin*>(dlsym(wtmpdb, "wtmpdb_login"));
  auto* context = reinterpret_cast<Ll2NewContext*>(dlsym(lastlog2, "ll2_new_context"));
  auto* write = reinterpret_cast<Ll2WriteEntry*>(dlsym(lastlog2, "ll2_write_entry"));
  const std::string wtmp = box_.PathOf("wtmp.db");
  void* ll2 = context(box_.PathOf("lastlog2.db").c_str());
  char* error = nullptr;
  // The wtmpdb log starts with a boot 500 days ago.
  constexpr int kBoot = 1, kLogin = 3;
  const std::uint64_t boot = static_cast<std::uint64_t>(now_ - 500 * kDay) * 1000000;
  ASSERT_GT(login(wtmp.c_str(), kBoot, "reboot", boot, "~", "6.12", nullptr, &error), 0);
  for (const Account& a : kAccounts) {
    if (a.login_days_ago < 0) continue;
    const std::int64_t time = LoginOf(a);
    ASSERT_GT(login(wtmp.c_str(), kLogin, a.name, static_cast<std::uint64_t>(time) * 1000000,
                    "pts/1", "192.0.2.7", "sshd", &error),
              0);
    ASSERT_EQ(write(ll2, a.name, time, "pts/1", "192.0.2.7", "sshd", &error), 0);
  }
  for (const std::string records : {"lastlog2", "wtmpdb"}) {
    Configure(records + ":" + box_.PathOf(records == "wtmpdb" ? "wtmp.db" : "lastlog2.db"));
    const std::string page = Send(Get("COMMAND=LOCK"));
    EXPECT_NE(page.find("<TH NOWRAP>最終ログイン（" + records + "）</TH>\n"), std::string::npos);
    EXPECT_EQ(AllOf(page, "<TD NOWRAP>([^<]*)</TD>\n<TD NOWRAP>使用可能"), cells_) << records;
    EXPECT_EQ(AllOf(Send(Get("COMMAND=LOCK&UNUSED=30")), kNamePattern), unused_) << records;
  }
  // Before its first record wtmpdb's log cannot tell.
  EXPECT_NE(Send(Get("COMMAND=LOCK&UNUSED=501")).find("より前のものが残っていません"),
            std::string::npos);
}

}  // namespace
}  // namespace orvanta::test
