// Cost of the per-request work that grows with its input: decoding and
// splitting a large body, scanning it for repeated fields, and writing the
// user list of a large account database.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cgi/cgi.h"
#include "user/user.h"

namespace orvanta {
namespace {

std::string DeletionBody(int names) {
  std::string body = "COMMAND=WILLBEDEL";
  for (int i = 0; i < names; ++i) body += "&NAME=user%2B" + std::to_string(i);
  return body;
}

void BM_DecodeAndSplit(benchmark::State& state) {
  const std::string body = DeletionBody(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    std::string text = body;
    UrlDecode(text);
    gCGIData.clear();
    ParseParameters(text);
    benchmark::DoNotOptimize(gCGIData);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}
BENCHMARK(BM_DecodeAndSplit)->Range(8, 8 << 10);

void BM_ScanRepeatedFields(benchmark::State& state) {
  std::string text = DeletionBody(static_cast<int>(state.range(0)));
  UrlDecode(text);
  for (auto _ : state) {
    size_t seen = 0;
    ForEachField(text, "NAME", [&](const std::string& value) { seen += value.size(); });
    benchmark::DoNotOptimize(seen);
  }
}
BENCHMARK(BM_ScanRepeatedFields)->Range(8, 8 << 10);

void BM_UserListPage(benchmark::State& state) {
  AccountEntries entries;
  for (int i = 0; i < state.range(0); ++i) {
    entries.users.push_back({"user" + std::to_string(i), static_cast<std::uint32_t>(1000 + i),
                             100, "Comment " + std::to_string(i),
                             "/home/user" + std::to_string(i), "/bin/bash"});
  }
  entries.groups.push_back({"users", 100});
  SetAccountEntries(entries);
  // The page goes to /dev/null; the report still needs the real stdout.
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  std::FILE* sink = std::fopen("/dev/null", "w");
  dup2(fileno(sink), STDOUT_FILENO);
  // Each page reads the accounts again, as each request does.
  for (auto _ : state) {
    ForgetAccounts();
    PrintUserList(UserListMode::SelectForDelete);
  }
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::fclose(sink);
  SetAccountEntries(std::nullopt);
}
BENCHMARK(BM_UserListPage)->Range(10, 10000);

}  // namespace
}  // namespace orvanta
