// The counts of sign-in attempts, in a file of its own beside the change
// lock and under a lock of its own: the change lock is held for as long as
// a tool runs, a sign-in must not wait for that.
//
// One line per pair: "address name count first last pending mark", the
// times in seconds since the epoch, pending the start times of the
// attempts still being checked ("t1,t2", "-" for none), mark the pair's
// last success (0: none; lines of older versions end before it). The line
// of a name across all addresses has the address "*", and as its mark the
// start of its last checked attempt. The values come printable, so no
// blank or newline is inside one. A caller of the program chooses
// REMOTE_ADDR: an address keeps at most kMaxStoredAddress bytes and the
// file at most kMaxEntries lines, so reading it stays cheap whatever is
// sent.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <sstream>
#include <vector>

#include "access/access.h"
#include "hosttools/hosttools.h"

namespace orvanta {

namespace {

constexpr char kAttemptsSuffix[] = ".logins";
constexpr long kPairMaxFailures = 10;
constexpr long kNameMaxFailures = 30;
// Failures are counted, a limit is kept and a success remembered this long.
constexpr std::time_t kWindowSeconds = 15 * 60;
// A name past its failures gets one checked attempt this often.
constexpr std::time_t kNameCheckSpacing = 30;
// A check takes milliseconds; an attempt pending this long belongs to a run
// that died during it, and counts as a failure.
constexpr std::time_t kAbandonedSeconds = 60;
constexpr size_t kMaxEntries = 1000;
constexpr off_t kMaxFileBytes = 512 * 1024;
constexpr char kNonePending[] = "-";
constexpr char kAnyAddress[] = "*";
constexpr char kEscapedAnyAddress[] = "\\x2A";

struct Attempts {
  std::string address, name;
  long count = 0;
  std::time_t first = 0, last = 0;
  std::vector<std::time_t> pending = {};
  std::time_t mark = 0;
};

bool IsNameLine(const Attempts& entry) { return entry.address == kAnyAddress; }

std::vector<std::time_t> ParsePending(const std::string& field) {
  std::vector<std::time_t> pending;
  if (field == kNonePending) return pending;
  std::istringstream times(field);
  for (std::string time; std::getline(times, time, ',');) pending.push_back(std::stoll(time));
  return pending;
}

std::string FormatPending(const std::vector<std::time_t>& pending) {
  if (pending.empty()) return kNonePending;
  std::string field;
  for (const std::time_t time : pending) {
    field += (field.empty() ? "" : ",") + std::to_string(time);
  }
  return field;
}

// A value as one field: printable, cut to kMaxStoredAddress bytes, never
// empty (a request may come without an address) and never the mark of a
// name's own line.
std::string Field(std::string_view value) {
  if (value.empty()) return "-";
  std::string field = Printable(value.substr(0, kMaxStoredAddress));
  field.resize(std::min(field.size(), kMaxStoredAddress));
  return field == kAnyAddress ? kEscapedAnyAddress : field;
}

std::vector<Attempts> ParseAttempts(const std::string& text) {
  std::vector<Attempts> all;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line) && all.size() < kMaxEntries;) {
    std::istringstream fields(line);
    Attempts entry;
    std::string pending;
    if (fields >> entry.address >> entry.name >> entry.count >> entry.first >> entry.last >>
        pending) {
      try {
        entry.pending = ParsePending(pending);
      } catch (const std::exception&) {
        continue;
      }
      if (!(fields >> entry.mark)) entry.mark = 0;
      all.push_back(std::move(entry));
    }
  }
  return all;
}

std::string FormatAttempts(const std::vector<Attempts>& all) {
  std::string text;
  for (const Attempts& entry : all) {
    text += entry.address + " " + entry.name + " " + std::to_string(entry.count) + " " +
            std::to_string(entry.first) + " " + std::to_string(entry.last) + " " +
            FormatPending(entry.pending) + " " + std::to_string(entry.mark) + "\n";
  }
  return text;
}

// Attempts whose runs died while checking count as failures from then on.
void CountAbandoned(Attempts& entry, std::time_t now) {
  std::erase_if(entry.pending, [&](std::time_t started) {
    if (now - started < kAbandonedSeconds) return false;
    ++entry.count;
    entry.last = now;
    return true;
  });
}

bool IsLimited(const Attempts& entry, std::time_t now) {
  const long most = IsNameLine(entry) ? kNameMaxFailures : kPairMaxFailures;
  return entry.count >= most && now - entry.last < kWindowSeconds;
}

// Failures older than the window, and a limit whose window passed without
// a failure, are forgotten.
void ForgetOldFailures(Attempts& entry, std::time_t now) {
  if (IsLimited(entry, now) || !entry.pending.empty() || now - entry.first < kWindowSeconds) return;
  entry.count = 0;
  entry.first = entry.last = now;
}

bool HasNothingToRemember(const Attempts& entry, std::time_t now) {
  return entry.count == 0 && entry.pending.empty() &&
         (IsNameLine(entry) || now - entry.mark >= kWindowSeconds);
}

// At the bound, the limits in force and then the most recent entries stay.
void Bound(std::vector<Attempts>& kept, std::time_t now, size_t room) {
  if (kept.size() <= room) return;
  std::stable_sort(kept.begin(), kept.end(), [now](const Attempts& a, const Attempts& b) {
    const bool a_limited = IsLimited(a, now), b_limited = IsLimited(b, now);
    if (a_limited != b_limited) return a_limited;
    return std::max(a.last, a.mark) > std::max(b.last, b.mark);
  });
  kept.resize(room);
}

// The attempts file, opened and locked for this process; root's alone, as
// the change lock beside it is.
class AttemptsFile {
 public:
  AttemptsFile() {
    const std::string path = ChangeLockPath() + kAttemptsSuffix;
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    struct stat info {};
    if (fd_ >= 0 && (fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
                     flock(fd_, LOCK_EX) != 0)) {
      close(fd_);
      fd_ = -1;
    }
    if (fd_ < 0) ErrorLogLine("cannot count logins in " + Printable(path) + "; none is let in");
  }
  ~AttemptsFile() {
    if (fd_ >= 0) close(fd_);
  }
  AttemptsFile(const AttemptsFile&) = delete;
  AttemptsFile& operator=(const AttemptsFile&) = delete;

  bool usable() const { return fd_ >= 0; }

  std::vector<Attempts> Read() const {
    std::string text;
    char buffer[4096];
    ssize_t length = 0;
    off_t offset = 0;
    while (offset < kMaxFileBytes && (length = pread(fd_, buffer, sizeof buffer, offset)) > 0) {
      text.append(buffer, static_cast<size_t>(length));
      offset += length;
    }
    return ParseAttempts(text);
  }

  bool Write(const std::vector<Attempts>& all) const {
    const std::string text = FormatAttempts(all);
    return ftruncate(fd_, 0) == 0 &&
           pwrite(fd_, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
  }

 private:
  int fd_ = -1;
};

// Reads the file, hands the pair's entry and the name's own line (new ones
// when there are none) to `change` with the old failures of every entry
// forgotten, and writes it back without the entries that hold nothing;
// false when the file cannot be used.
template <typename Change>
bool ChangeAttempts(std::string_view name, std::string_view address, Change change) {
  const AttemptsFile file;
  if (!file.usable()) return false;
  const std::time_t now = std::time(nullptr);
  std::vector<Attempts> kept;
  Attempts pair{Field(address), Field(name), 0, now, now};
  Attempts whole{kAnyAddress, pair.name, 0, now, now};
  for (Attempts& entry : file.Read()) {
    CountAbandoned(entry, now);
    ForgetOldFailures(entry, now);
    if (entry.name == pair.name && entry.address == pair.address) {
      pair = std::move(entry);
    } else if (entry.name == whole.name && IsNameLine(entry)) {
      whole = std::move(entry);
    } else if (!HasNothingToRemember(entry, now)) {
      kept.push_back(std::move(entry));
    }
  }
  change(pair, whole, now);
  Bound(kept, now, kMaxEntries - 2);
  for (Attempts* entry : {&pair, &whole}) {
    if (!HasNothingToRemember(*entry, now)) kept.push_back(std::move(*entry));
  }
  return file.Write(kept);
}

// Ends one of the pair's pending attempts.
void EndPending(Attempts& pair) {
  if (!pair.pending.empty()) pair.pending.erase(pair.pending.begin());
}

}  // namespace

LoginAttempt CountLoginAttempt(std::string_view name, std::string_view address) {
  bool too_many = false;
  const bool kept =
      ChangeAttempts(name, address, [&](Attempts& pair, Attempts& whole, std::time_t now) {
        const bool pair_spent =
            pair.count + static_cast<long>(pair.pending.size()) >= kPairMaxFailures;
        const bool signed_in_here = pair.mark != 0 && now - pair.mark < kWindowSeconds;
        const bool name_waits =
            IsLimited(whole, now) && !signed_in_here && now - whole.mark < kNameCheckSpacing;
        too_many = pair_spent || name_waits;
        if (too_many) return;
        pair.pending.push_back(now);
        whole.mark = now;
      });
  if (too_many) return LoginAttempt::TooMany;
  return kept ? LoginAttempt::Counted : LoginAttempt::Uncounted;
}

void RecordLoginSuccess(std::string_view name, std::string_view address) {
  ChangeAttempts(name, address, [](Attempts& pair, Attempts&, std::time_t now) {
    EndPending(pair);
    pair.count = 0;
    pair.mark = now;
  });
}

void RecordLoginPassed(std::string_view name, std::string_view address) {
  ChangeAttempts(name, address, [](Attempts& pair, Attempts&, std::time_t) { EndPending(pair); });
}

void RecordLoginFailure(std::string_view name, std::string_view address) {
  ChangeAttempts(name, address, [](Attempts& pair, Attempts& whole, std::time_t now) {
    EndPending(pair);
    for (Attempts* entry : {&pair, &whole}) {
      ++entry->count;
      entry->last = now;
    }
  });
}

bool ForgetLoginAttempts(std::string_view name) {
  const AttemptsFile file;
  if (!file.usable()) return false;
  std::vector<Attempts> all = file.Read();
  std::erase_if(all, [field = Field(name)](const Attempts& entry) { return entry.name == field; });
  return file.Write(all);
}

}  // namespace orvanta
