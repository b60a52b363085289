// Start-up of a set-user-ID run. Whoever starts the program chooses what the
// process inherits: environment, working directory, descriptors, groups,
// umask, resource limits, interval timers, signal dispositions and mask.
// Before anything is read or run as root, each of them is replaced by a
// fixed value, so that no library root calls reads the caller's variables
// and the account tools start the same way whoever called (a caller's
// `ulimit -f 1` once cut useradd off in the middle of writing the account
// files).
#include <fcntl.h>
#include <grp.h>
#include <sys/auxv.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <string>
#include <string_view>

#include "cgi/cgi.h"

namespace orvanta {

namespace {

constexpr char kNullDevice[] = "/dev/null";
constexpr char kOwnExecutable[] = "/proc/self/exe";
constexpr int kExitWithoutStandardDescriptors = 1;
constexpr int kFirstInheritedDescriptor = STDERR_FILENO + 1;
constexpr mode_t kToolUmask = S_IWGRP | S_IWOTH;  // 022
constexpr rlim_t kStackSoftLimit = rlim_t{8} * 1024 * 1024;
constexpr rlim_t kOpenFilesLimit = 1024;
// They survive execve: a caller's SIGALRM once killed a batch between a
// change and its record.
constexpr int kIntervalTimers[] = {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF};
// All a set-user-ID run keeps of an environment, as NAME=value.
constexpr std::string_view kSetuidEnvironment[] = {kFixedPath, "LDAPNOINIT=1"};

struct Limit {
  int resource;
  rlim_t soft;
  rlim_t hard;
  // The kernel does not apply this limit to root's own processes: where
  // root may not raise its hard value (a container without
  // CAP_SYS_RESOURCE), the soft value goes up to the hard one instead.
  bool root_exempt;
};

const Limit kToolLimits[] = {
    {RLIMIT_FSIZE, RLIM_INFINITY, RLIM_INFINITY, false},
    {RLIMIT_CPU, RLIM_INFINITY, RLIM_INFINITY, false},
    {RLIMIT_DATA, RLIM_INFINITY, RLIM_INFINITY, false},
    {RLIMIT_AS, RLIM_INFINITY, RLIM_INFINITY, false},
    {RLIMIT_NPROC, RLIM_INFINITY, RLIM_INFINITY, true},
    {RLIMIT_STACK, kStackSoftLimit, RLIM_INFINITY, false},
    {RLIMIT_NOFILE, kOpenFilesLimit, kOpenFilesLimit, false},
    {RLIMIT_CORE, 0, 0, false},
};

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

bool SetLimit(const Limit& limit) {
  const rlimit wanted{limit.soft, limit.hard};
  if (setrlimit(limit.resource, &wanted) == 0) return true;
  rlimit current{};
  if (!limit.root_exempt || getrlimit(limit.resource, &current) != 0) return false;
  current.rlim_cur = current.rlim_max;
  return setrlimit(limit.resource, &current) == 0;
}

// Where the program's own executable lies; "" when it cannot be told.
std::string ProgramDirectory() {
  char path[PATH_MAX];
  const ssize_t length = readlink(kOwnExecutable, path, sizeof path);
  if (length <= 0 || static_cast<size_t>(length) == sizeof path) return "";
  const std::string program(path, static_cast<size_t>(length));
  const size_t slash = program.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : program.substr(0, slash);
}

}  // namespace

bool StartedSetuid() { return getuid() != geteuid(); }

bool SecureRun() { return getauxval(AT_SECURE) != 0; }

void ResetEnvironment() {
  clearenv();
  for (const std::string_view entry : kSetuidEnvironment) {
    const size_t equals = entry.find('=');
    const std::string name(entry.substr(0, equals));
    const std::string value(entry.substr(equals + 1));
    if (setenv(name.c_str(), value.c_str(), 1) != 0) throw ErrorCode{kErrorNoRoot};
  }
}

void OpenStandardDescriptors() {
  // In order, so that /dev/null lands on the lowest closed one each time.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (!IsOpen(fd) && open(kNullDevice, O_RDWR) != fd) _exit(kExitWithoutStandardDescriptors);
  }
}

void EnterProgramDirectory() {
  const std::string directory = ProgramDirectory();
  if (directory.empty() || chdir(directory.c_str()) != 0) throw ErrorCode{kErrorNoRoot};
  // The directory entered, not the path: a rename after chdir changes nothing.
  struct stat info {};
  if (stat(".", &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != 0 ||
      (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw ErrorCode{kErrorNoRoot};
  }
}

void TakeRootGroupOnly() {
  if (setgid(0) != 0 || setgroups(0, nullptr) != 0) throw ErrorCode{kErrorNoRoot};
}

void SetToolUmask() { umask(kToolUmask); }

void SetToolResourceLimits() {
  for (const Limit& limit : kToolLimits) {
    if (!SetLimit(limit)) throw ErrorCode{kErrorNoRoot};
  }
}

void CloseInheritedDescriptors() {
  if (close_range(kFirstInheritedDescriptor, UINT_MAX, 0) != 0) throw ErrorCode{kErrorNoRoot};
}

void ClearIntervalTimers() {
  const itimerval off{};
  for (const int timer : kIntervalTimers) {
    if (setitimer(timer, &off, nullptr) != 0) throw ErrorCode{kErrorNoRoot};
  }
}

void ResetSignals() {
  struct sigaction default_action {};
  default_action.sa_handler = SIG_DFL;
  sigemptyset(&default_action.sa_mask);
  for (int signal = 1; signal < NSIG; ++signal) {
    // The C library keeps two real-time signals for itself and refuses them.
    if (signal != SIGKILL && signal != SIGSTOP) sigaction(signal, &default_action, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

}  // namespace orvanta
