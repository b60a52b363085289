// The count of failed logins per operator name and client address, in a
// file of its own beside the change lock and under a lock of its own: the
// change lock is held for as long as a tool runs, a login must not wait
// for that.
//
// One line per pair: "address name count first last pending", the times in
// seconds since the epoch, pending the start times of the attempts still
// being checked ("t1,t2", "-" for none); the values come printable, so no
// blank or newline is inside one.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <sstream>
#include <vector>

#include "access/access.h"
#include "hosttools/hosttools.h"

namespace orvanta {

namespace {

constexpr char kAttemptsSuffix[] = ".logins";
constexpr long kMaxFailures = 10;
constexpr std::time_t kFailureWindowSeconds = 15 * 60;
constexpr std::time_t kLockOutSeconds = 15 * 60;
// A check takes milliseconds; an attempt pending this long belongs to a run
// that died during it, and counts as a failure.
constexpr std::time_t kAbandonedSeconds = 60;
constexpr char kNonePending[] = "-";

struct Attempts {
  std::string address, name;
  long count = 0;
  std::time_t first = 0, last = 0;
  std::vector<std::time_t> pending = {};
};

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

// A value as one field: printable, and never empty (a request may come
// without an address).
std::string Field(std::string_view value) { return value.empty() ? "-" : Printable(value); }

std::vector<Attempts> ParseAttempts(const std::string& text) {
  std::vector<Attempts> all;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
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
            FormatPending(entry.pending) + "\n";
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

bool IsLockedOut(const Attempts& entry, std::time_t now) {
  return entry.count >= kMaxFailures && now - entry.last < kLockOutSeconds;
}

// A pair neither locked out, checking, nor inside its window has nothing to
// remember.
bool IsStale(const Attempts& entry, std::time_t now) {
  return !IsLockedOut(entry, now) && entry.pending.empty() &&
         now - entry.first >= kFailureWindowSeconds;
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
    while ((length = pread(fd_, buffer, sizeof buffer, offset)) > 0) {
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

// Reads the file, hands the pair's entry (a new one when there is none) to
// `change` with every stale entry of other pairs dropped, and writes it
// back; false when the file cannot be used.
template <typename Change>
bool ChangeAttempts(std::string_view name, std::string_view address, Change change) {
  const AttemptsFile file;
  if (!file.usable()) return false;
  const std::time_t now = std::time(nullptr);
  std::vector<Attempts> kept;
  Attempts pair{Field(address), Field(name)};
  for (Attempts& entry : file.Read()) {
    CountAbandoned(entry, now);
    if (entry.address == pair.address && entry.name == pair.name) {
      pair = std::move(entry);
    } else if (!IsStale(entry, now)) {
      kept.push_back(std::move(entry));
    }
  }
  if (IsStale(pair, now)) pair = Attempts{pair.address, pair.name, 0, now, now};
  if (change(pair, now)) kept.push_back(std::move(pair));
  return file.Write(kept);
}

// Ends one of the pair's pending attempts.
void EndPending(Attempts& pair) {
  if (!pair.pending.empty()) pair.pending.erase(pair.pending.begin());
}

}  // namespace

LoginAttempt CountLoginAttempt(std::string_view name, std::string_view address) {
  bool locked_out = false;
  const bool kept = ChangeAttempts(name, address, [&](Attempts& pair, std::time_t now) {
    locked_out = IsLockedOut(pair, now);
    if (!locked_out) pair.pending.push_back(now);
    return true;
  });
  if (locked_out) return LoginAttempt::LockedOut;
  return kept ? LoginAttempt::Counted : LoginAttempt::Uncounted;
}

void ClearLoginAttempts(std::string_view name, std::string_view address) {
  ChangeAttempts(name, address, [](Attempts& pair, std::time_t) {
    EndPending(pair);
    pair.count = 0;
    return !pair.pending.empty();
  });
}

void RecordLoginFailure(std::string_view name, std::string_view address) {
  ChangeAttempts(name, address, [](Attempts& pair, std::time_t now) {
    EndPending(pair);
    ++pair.count;
    pair.last = now;
    return true;
  });
}

}  // namespace orvanta
