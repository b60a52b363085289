#include "tests/support/trace.h"

#include <crypt.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>

#include "user/user.h"

namespace orvanta::test {

namespace {

// A cursor over one execve line.
class TraceLine {
 public:
  explicit TraceLine(std::string_view text) : text_(text) {}

  bool Take(std::string_view literal) {
    if (text_.substr(at_, literal.size()) != literal) return false;
    at_ += literal.size();
    return true;
  }

  // One quoted string as strace writes it (-xx gives \xHH for every byte).
  std::optional<std::string> String() {
    if (!Take("\"")) return std::nullopt;
    std::string out;
    while (at_ < text_.size() && text_[at_] != '"') {
      char c = text_[at_++];
      if (c == '\\' && at_ < text_.size()) {
        const char e = text_[at_++];
        if (e == 'x' && at_ + 2 <= text_.size()) {
          c = static_cast<char>(std::stoi(std::string(text_.substr(at_, 2)), nullptr, 16));
          at_ += 2;
        } else if (e == 'n') {
          c = '\n';
        } else if (e == 't') {
          c = '\t';
        } else {
          c = e;
        }
      }
      out += c;
    }
    if (!Take("\"")) return std::nullopt;
    if (Take("...")) return std::nullopt;  // truncated by strace
    return out;
  }

  std::optional<std::vector<std::string>> List() {
    if (!Take("[")) return std::nullopt;
    std::vector<std::string> items;
    if (Take("]")) return items;
    while (true) {
      std::optional<std::string> item = String();
      if (!item) return std::nullopt;
      items.push_back(*item);
      if (Take("]")) return items;
      if (!Take(", ")) return std::nullopt;
    }
  }

  std::string_view Rest() const { return text_.substr(at_); }

 private:
  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace

std::vector<std::string> StraceArgs(const std::string& output) {
  // -v and -xx: whole environments, every byte as \xHH; -s: no string cut
  // short; -qq and signal=none: nothing but the calls.
  return {"/usr/bin/strace", "-f", "-qq",         "-v", "-xx", "-s", "100000", "-e",
          "trace=execve",    "-e", "signal=none", "-o", output};
}

std::vector<Exec> SuccessfulExecs(const std::string& trace) {
  constexpr std::string_view kUnfinished = " <unfinished ...>";
  constexpr std::string_view kResumed = "<... execve resumed>";
  std::vector<Exec> execs;
  // With -f, another process's line can split an execve in two; its first
  // half waits here, by pid, for the rest.
  std::map<std::string, std::string> pending;
  std::istringstream in(trace);
  for (std::string line; std::getline(in, line);) {
    const size_t blank = line.find(' ');
    if (blank == std::string::npos) continue;
    const size_t start = line.find_first_not_of(' ', blank);
    if (start == std::string::npos) continue;
    const std::string pid = line.substr(0, blank);
    std::string call = line.substr(start);
    if (call.ends_with(kUnfinished)) {
      pending[pid] = call.substr(0, call.size() - kUnfinished.size());
      continue;
    }
    if (call.starts_with(kResumed)) {
      const auto first = pending.find(pid);
      if (first == pending.end()) continue;
      call = first->second + call.substr(kResumed.size());
      pending.erase(first);
    }
    TraceLine reader(call);
    if (!reader.Take("execve(")) continue;
    std::optional<std::string> path = reader.String();
    std::optional<std::vector<std::string>> argv;
    std::optional<std::vector<std::string>> envp;
    if (path && reader.Take(", ")) argv = reader.List();
    if (argv && reader.Take(", ")) envp = reader.List();
    if (!envp || !reader.Take(") = ")) {
      ADD_FAILURE() << "unreadable strace line: " << line;
      continue;
    }
    if (!reader.Rest().starts_with("0")) continue;  // a failed lookup on PATH
    execs.push_back({*path, *argv, *envp});
  }
  return execs;
}

void ExpectDesHashOf(const std::string& hash, const std::string& password, std::time_t from,
                     std::time_t to) {
  ASSERT_EQ(hash.size(), 13u) << hash;
  std::set<std::string> salts;
  for (std::time_t t = from; t <= to; ++t) {
    salts.insert(SaltForTime(static_cast<std::uint32_t>(t)));
  }
  EXPECT_TRUE(salts.count(hash.substr(0, 2)))
      << "salt of " << hash << " is not from the run's time";
  const char* again = crypt(password.c_str(), hash.c_str());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(std::string(again), hash) << "not the DES hash of \"" << password << "\"";
}

std::vector<std::string> ShellCommandLines(const std::string& trace) {
  std::vector<std::string> lines;
  for (const Exec& exec : SuccessfulExecs(trace)) {
    if (exec.path == "/bin/sh" && exec.argv.size() == 3) lines.push_back(exec.argv[2]);
  }
  return lines;
}

}  // namespace orvanta::test
