// Lock and deletion requests take the change lock for one account at a
// time, read each account again under it, and write the saved expiry
// dates once per 100 accounts.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/cgi_process.h"
#include "tests/support/euc.h"

namespace orvanta::test {
namespace {

constexpr int kAccounts = 150;

std::string NameOf(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "u%03d", i);
  return name;
}

// A stand-in for usermod and userdel that notes, per call, how many lines
// the saved dates file has ("none" before it exists); on its first call it
// starts another waiter for the change lock and takes the last account out
// of the database, as another request would between two of ours; on its
// second call it notes whether that waiter got the lock in between.
std::string StandIn(const CgiSandbox& box, const std::string& last) {
  const std::string dir = box.dir();
  return "#!/bin/sh\n"
         "cd " + dir + "\n"
         "n=$(cat count 2>/dev/null || echo 0); n=$((n+1)); echo $n > count\n"
         "if [ -e orvanta.lock.expiry ]; then wc -l < orvanta.lock.expiry >> seen;"
         " else echo none >> seen; fi\n"
         "if [ $n = 1 ]; then (flock orvanta.lock -c 'touch between') & sleep 0.5\n"
         "  sed -i '/^" + last + ":/d' test.passwd\n"
         "  touch -d @$(($(date +%s) + 5)) test.passwd; fi\n"
         "if [ $n = 2 ] && [ -e between ]; then echo waiter-ran >> seen; fi\n";
}

struct Bench {
  explicit Bench(int accounts) {
    std::string passwd = "root:x:0:0::/root:/bin/sh\n";
    std::string shadow;
    std::string body;
    for (int i = 1; i <= accounts; ++i) {
      passwd += NameOf(i) + ":x:" + std::to_string(2000 + i) + ":100::/nonexistent:/bin/sh\n";
      shadow += NameOf(i) + ":$y$x:19000:0:99999:7::20500:\n";
      body += "&NAME=" + NameOf(i);
    }
    box.SetAccounts(passwd, "root:x:0:\nusers:x:100:\n");
    box.SetShadow(shadow);
    box.WriteFile("tool", StandIn(box, NameOf(accounts)));
    chmod(box.PathOf("tool").c_str(), 0755);
    box.SetConfig("SYSTEMUID=999\nSYSTEMGID=999\nUSERMOD=" + box.PathOf("tool") +
                  "\nUSERDEL=" + box.PathOf("tool") + "\n");
    names = body;
  }
  std::vector<std::string> Seen() const {
    std::vector<std::string> lines;
    std::string text = box.ReadFile("seen");
    for (size_t at; (at = text.find('\n')) != std::string::npos; text.erase(0, at + 1)) {
      lines.push_back(text.substr(0, at));
    }
    return lines;
  }
  CgiSandbox box;
  std::string names;
};

TEST(PerAccountLockTest, LockTakesTheLockPerAccountAndWritesDatesPer100) {
  Bench bench(kAccounts);
  const CgiResult result = bench.box.Run(Post("COMMAND=TOBELOCK&ACTION=LOCK" + bench.names));
  // Every call before the 101st finds no file; then it holds 100 lines.
  std::vector<std::string> expected;
  for (int call = 1; call < kAccounts; ++call) {
    expected.push_back(call <= 100 ? "none" : "100");
    if (call == 2) expected.push_back("waiter-ran");
  }
  EXPECT_EQ(bench.Seen(), expected);
  std::string dates;
  for (int i = 1; i < kAccounts; ++i) {
    dates += NameOf(i) + ":" + std::to_string(2000 + i) + ":20500\n";
  }
  EXPECT_EQ(bench.box.ReadFile("orvanta.lock.expiry"), dates);
  // The account gone meanwhile is refused and gets no record.
  const std::vector<std::string> records = bench.box.LogRecords();
  ASSERT_EQ(records.size(), kAccounts - 1u);
  EXPECT_EQ(records.back(), "LOCK," + NameOf(kAccounts - 1));
  EXPECT_NE(Utf8(result.out).find("<TD>" + NameOf(kAccounts) + "</TD><TD>変更が禁止されています</TD>"),
            std::string::npos);
}

TEST(PerAccountLockTest, DeletionTakesTheLockPerAccount) {
  Bench bench(3);
  const CgiResult result = bench.box.Run(Post("COMMAND=WILLBEDEL&HOME=keep" + bench.names));
  EXPECT_NE(Utf8(result.out).find("<TD>u003</TD><TD>削除が禁止されているユーザーです</TD>"),
            std::string::npos);
  EXPECT_EQ(bench.Seen(), (std::vector<std::string>{"none", "none", "waiter-ran"}));
  EXPECT_EQ(bench.box.LogRecords(), (std::vector<std::string>{"DEL,u001", "DEL,u002"}));
}

}  // namespace
}  // namespace orvanta::test
