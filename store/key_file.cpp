// ~/.ssh/authorized_keys of an account on this machine, read and written
// by a child that has become the account: root following a link the
// account put at .ssh would write wherever the link points. The child
// starts from the home that root's walk opened without following links,
// takes the account's groups and ids, stays non-dumpable (the account
// could otherwise read what the program holds in memory) and execs
// nothing. A write replaces the file whole, only while it still has the
// bytes the form showed.
#include <fcntl.h>
#include <grp.h>
#include <nettle/sha2.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "hosttools/hosttools.h"
#include "store/store.h"

namespace orvanta {

namespace {

constexpr char kSshDir[] = ".ssh";
constexpr char kKeyFileName[] = "authorized_keys";
constexpr char kTempName[] = ".authorized_keys.orvanta";
// A field of 100 keys of 16 KiB, with room for the file's comments.
constexpr size_t kMaxKeyFileBytes = 2 * 1024 * 1024;
constexpr int kOpenFlags = O_NOFOLLOW | O_CLOEXEC;

// The child's exit codes.
enum ChildExit { kExitDone = 0, kExitNotOwned = 2, kExitChanged = 3, kExitFailed = 4 };

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool IsOwnedBy(int fd, const UserEntry& user, mode_t type) {
  struct stat info {};
  return fstat(fd, &info) == 0 && info.st_uid == user.uid && (info.st_mode & S_IFMT) == type &&
         (type != S_IFREG || info.st_nlink == 1);
}

bool BecomeAccount(const UserEntry& user) {
  if (user.uid == 0 || user.gid == 0) return false;
  if (prctl(PR_SET_DUMPABLE, 0) != 0) return false;
  if (initgroups(user.name.c_str(), user.gid) != 0 || setgid(user.gid) != 0 ||
      setuid(user.uid) != 0) {
    return false;
  }
  uid_t ruid = 0, euid = 0, suid = 0;
  gid_t rgid = 0, egid = 0, sgid = 0;
  return getresuid(&ruid, &euid, &suid) == 0 && getresgid(&rgid, &egid, &sgid) == 0 &&
         ruid == user.uid && euid == user.uid && suid == user.uid && rgid == user.gid &&
         egid == user.gid && sgid == user.gid && prctl(PR_GET_DUMPABLE) == 0;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t done = write(fd, bytes.data(), bytes.size());
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(done));
  }
  return true;
}

// The file's bytes as the account sees them; a missing .ssh or file is "".
// `ssh` is left open (or -1 when missing) for a write.
ChildExit ReadAsAccount(int home, const UserEntry& user, int& ssh, std::string& content) {
  if (!IsOwnedBy(home, user, S_IFDIR)) return kExitNotOwned;
  ssh = openat(home, kSshDir, O_RDONLY | O_DIRECTORY | kOpenFlags);
  if (ssh < 0) return errno == ENOENT ? kExitDone : kExitNotOwned;
  if (!IsOwnedBy(ssh, user, S_IFDIR)) return kExitNotOwned;
  const Fd file(openat(ssh, kKeyFileName, O_RDONLY | O_NONBLOCK | kOpenFlags));
  if (file.get() < 0) return errno == ENOENT ? kExitDone : kExitNotOwned;
  if (!IsOwnedBy(file.get(), user, S_IFREG)) return kExitNotOwned;
  char buffer[8192];
  ssize_t got = 0;
  while ((got = read(file.get(), buffer, sizeof buffer)) > 0) {
    content.append(buffer, static_cast<size_t>(got));
    if (content.size() > kMaxKeyFileBytes) return kExitFailed;
  }
  return got == 0 ? kExitDone : kExitFailed;
}

// A temporary file beside the old one, synced, then renamed over it.
ChildExit ReplaceAsAccount(int home, int ssh, const std::string& content) {
  if (ssh < 0) {
    if (mkdirat(home, kSshDir, 0700) != 0) return kExitFailed;
    ssh = openat(home, kSshDir, O_RDONLY | O_DIRECTORY | kOpenFlags);
    if (ssh < 0) return kExitFailed;
  }
  unlinkat(ssh, kTempName, 0);
  const Fd temp(openat(ssh, kTempName, O_WRONLY | O_CREAT | O_EXCL | kOpenFlags, 0600));
  if (temp.get() < 0) return kExitFailed;
  const bool written = WriteAll(temp.get(), content) && fchmod(temp.get(), 0600) == 0 &&
                       fsync(temp.get()) == 0 &&
                       renameat(ssh, kTempName, ssh, kKeyFileName) == 0;
  if (!written) {
    unlinkat(ssh, kTempName, 0);
    return kExitFailed;
  }
  return fsync(ssh) == 0 ? kExitDone : kExitFailed;
}

struct ChildRun {
  KeyFileResult result = KeyFileResult::Failed;
  std::string content;
};

KeyFileResult ResultOf(int status) {
  if (!WIFEXITED(status)) return KeyFileResult::Failed;
  switch (WEXITSTATUS(status)) {
    case kExitDone:
      return KeyFileResult::Done;
    case kExitNotOwned:
      return KeyFileResult::NotOwned;
    case kExitChanged:
      return KeyFileResult::Changed;
    default:
      return KeyFileResult::Failed;
  }
}

// Reads what the child sends until it closes the pipe, for at most the
// tools' time; a child that takes longer (a hung file server) is killed.
bool ReadFromChild(int fd, pid_t child, std::string& content) {
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  char buffer[8192];
  while (true) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const long left_ms = (kToolTimeoutSeconds - (now.tv_sec - start.tv_sec)) * 1000L;
    pollfd ready{fd, POLLIN, 0};
    const int polled = left_ms > 0 ? poll(&ready, 1, static_cast<int>(left_ms)) : 0;
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) {
      kill(child, SIGKILL);
      return false;
    }
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return got == 0;
    content.append(buffer, static_cast<size_t>(got));
    if (content.size() > kMaxKeyFileBytes) {
      kill(child, SIGKILL);
      return false;
    }
  }
}

// Runs the read, or with `replacement` the write, in a child that has
// become the account.
ChildRun RunAsAccount(const UserEntry& user, const std::string* replacement,
                      const std::string& shown_digest) {
  const char* reason = nullptr;
  const Fd home(OpenHomeDirectory(user.dir, &reason));
  if (home.get() < 0) {
    const bool missing = errno == ENOENT;
    std::fprintf(stderr, "orvanta: keys of %s not %s: %s\n", user.name.c_str(),
                 replacement != nullptr ? "written" : "read", reason != nullptr ? reason : "");
    return {missing ? KeyFileResult::NoHome : KeyFileResult::NotOwned, ""};
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return {};
  std::fflush(stdout);
  const pid_t child = fork();
  if (child < 0) {
    close(ends[0]);
    close(ends[1]);
    return {};
  }
  if (child == 0) {
    close(ends[0]);
    signal(SIGPIPE, SIG_DFL);
    if (!BecomeAccount(user)) _exit(kExitFailed);
    int ssh = -1;
    std::string content;
    ChildExit exit = ReadAsAccount(home.get(), user, ssh, content);
    if (exit == kExitDone && replacement == nullptr && !WriteAll(ends[1], content)) {
      exit = kExitFailed;
    }
    if (exit == kExitDone && replacement != nullptr) {
      exit = KeyFileDigest(content) != shown_digest ? kExitChanged
                                                    : ReplaceAsAccount(home.get(), ssh, *replacement);
    }
    _exit(exit);
  }
  close(ends[1]);
  ChildRun run;
  const bool whole = ReadFromChild(ends[0], child, run.content);
  close(ends[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  run.result = whole ? ResultOf(status) : KeyFileResult::Failed;
  if (run.result != KeyFileResult::Done) run.content.clear();
  return run;
}

}  // namespace

std::string KeyFileDigest(std::string_view content) {
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, content.size(), reinterpret_cast<const std::uint8_t*>(content.data()));
  std::uint8_t digest[SHA256_DIGEST_SIZE];
  sha256_digest(&context, sizeof digest, digest);
  std::string hex;
  for (const std::uint8_t byte : digest) {
    constexpr char kHex[] = "0123456789abcdef";
    hex += kHex[byte >> 4];
    hex += kHex[byte & 0xf];
  }
  return hex;
}

KeyFile ReadKeyFile(const UserEntry& user) {
  ChildRun run = RunAsAccount(user, nullptr, "");
  return {run.result, std::move(run.content)};
}

KeyFileResult WriteKeyFile(const UserEntry& user, const std::string& content,
                           const std::string& shown_digest) {
  if (!HoldChangeLock()) return KeyFileResult::Failed;
  return RunAsAccount(user, &content, shown_digest).result;
}

}  // namespace orvanta
