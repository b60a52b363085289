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
// A process that let the lock go waits a little longer than one retry of
// the others before it takes it again, so that a request waiting for the
// lock gets it between two accounts of a long request.
constexpr long kTurnNanoseconds = 25'000'000;

enum class LockState { NotTried, Held, Failed };

struct Lock {
  LockState state = LockState::NotTried;
  int fd = -1;
  bool let_go = false;  // held before in this run: others get their turn first
};

Lock& TheLock() {
  static Lock lock;
  return lock;
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

// Held until the process ends or the lock is let go; tools do not inherit
// the descriptor.
int TakeLock() {
  const std::string path = ChangeLockPath();
  const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    std::fprintf(stderr, "orvanta: cannot open the lock file %s; nothing changed\n", path.c_str());
    return -1;
  }
  if (!WaitForLock(fd)) {
    close(fd);
    std::fprintf(stderr, "orvanta: the lock %s stayed taken for %d seconds; nothing changed\n",
                 path.c_str(), kChangeLockWaitSeconds);
    return -1;
  }
  return fd;
}

}  // namespace

std::string ChangeLockPath() {
  const std::string& setting = Setting("LOCKFILE");
  return setting.empty() ? kDefaultLockFile : setting;
}

bool HoldChangeLock() {
  if (CommandRunnerReplaced()) return true;
  Lock& lock = TheLock();
  if (lock.state == LockState::NotTried) {
    if (lock.let_go) {
      const timespec turn{0, kTurnNanoseconds};
      nanosleep(&turn, nullptr);
    }
    lock.fd = TakeLock();
    lock.state = lock.fd >= 0 ? LockState::Held : LockState::Failed;
  }
  return lock.state == LockState::Held;
}

void ReleaseChangeLock() {
  Lock& lock = TheLock();
  if (lock.state != LockState::Held) return;
  close(lock.fd);
  lock = Lock{};
  lock.let_go = true;
}

}  // namespace orvanta
