// The change lock: every tool run of one request happens while the program
// holds an exclusive flock on the lock file, so concurrent requests never
// meet on the account tools' own locks (which give up after a few tries).
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"

namespace orvanta {

namespace {

constexpr char kDefaultLockFile[] = "orvanta.lock";
constexpr long kRetryNanoseconds = 20'000'000;

enum class LockState { NotTried, Held, Failed };

LockState& State() {
  static LockState state = LockState::NotTried;
  return state;
}

bool WaitForLock(int fd) {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - start.tv_sec >= kChangeLockWaitSeconds) return false;
    const timespec pause{0, kRetryNanoseconds};
    nanosleep(&pause, nullptr);
  }
  return true;
}

// Held until the process ends: the descriptor is never closed, and tools do
// not inherit it.
bool TakeLock() {
  const std::string& setting = Setting("LOCKFILE");
  const std::string path = setting.empty() ? kDefaultLockFile : setting;
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::fprintf(stderr, "orvanta: cannot open the lock file %s; nothing changed\n", path.c_str());
    return false;
  }
  if (!WaitForLock(fd)) {
    close(fd);
    std::fprintf(stderr, "orvanta: the lock %s stayed taken for %d seconds; nothing changed\n",
                 path.c_str(), kChangeLockWaitSeconds);
    return false;
  }
  return true;
}

}  // namespace

bool HoldChangeLock() {
  if (State() == LockState::NotTried) State() = TakeLock() ? LockState::Held : LockState::Failed;
  return State() == LockState::Held;
}

}  // namespace orvanta
