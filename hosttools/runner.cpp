// The one runner of command lines. It does what system(3) does, except that
// the shell gets a fixed PATH and nothing else of the CGI environment (a
// program running as root must not see HTTP_* headers, LD_* or IFS), reads
// no input, writes its output to the server's error log instead of into the
// page (or to a file the caller opened), runs only under the change lock,
// and is stopped when it hangs: nobody else could stop a process that runs
// as root. Its standard input is /dev/null, or a pipe that already holds
// the whole input the caller gave. A check tool runs as nobody instead.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"

namespace orvanta {

namespace {

CommandRunner& ActiveRunner() {
  static CommandRunner runner;
  return runner;
}

constexpr int kShellFailed = 127 << 8;

// The read end of a pipe that holds all of `input`, or /dev/null when there
// is none; -1 when neither can be had. Inputs are one line, far below the
// pipe's capacity, so writing it all before the tool starts cannot block.
int InputDescriptor(std::string_view input) {
  if (input.empty()) return open("/dev/null", O_RDONLY | O_CLOEXEC);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  const bool whole =
      write(ends[1], input.data(), input.size()) == static_cast<ssize_t>(input.size());
  close(ends[1]);
  if (!whole) {
    close(ends[0]);
    return -1;
  }
  // The tool reads it as an ordinary blocking descriptor.
  fcntl(ends[0], F_SETFL, fcntl(ends[0], F_GETFL) & ~O_NONBLOCK);
  return ends[0];
}

// Waits up to `seconds` for the child; SIGCHLD is blocked by the caller, so
// none is lost between the check and the wait.
bool WaitFor(pid_t child, int seconds, int& status) {
  timespec deadline{};
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += seconds;
  sigset_t child_signal;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  while (true) {
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) return true;
    if (done < 0 && errno != EINTR) {
      status = kShellFailed;
      return true;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec > deadline.tv_sec ||
        (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec)) {
      return false;
    }
    timespec left{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (left.tv_nsec < 0) {
      left.tv_sec -= 1;
      left.tv_nsec += 1'000'000'000;
    }
    sigtimedwait(&child_signal, nullptr, &left);
  }
}

// TERM to the tool's whole process group, KILL after a grace period.
int StopHungTool(pid_t child, const std::string& line, int seconds) {
  std::fprintf(stderr, "orvanta: stopped after %d seconds: %s\n", seconds, line.c_str());
  kill(-child, SIGTERM);
  int status = 0;
  if (!WaitFor(child, kToolKillGraceSeconds, status)) {
    kill(-child, SIGKILL);
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
  }
  return kShellFailed;
}

// Where the tool writes and how long it may run.
struct ToolRun {
  int output = kOutputToErrorLog;
  int timeout_seconds = kToolTimeoutSeconds;
  bool as_nobody = false;
};

// Gives up every privilege for nobody's ids and checks that all of the real,
// effective and saved ids are nobody's.
bool BecomeNobody() {
  if (setgroups(0, nullptr) != 0 || setgid(kNobodyId) != 0 || setuid(kNobodyId) != 0) return false;
  uid_t ruid = 0, euid = 0, suid = 0;
  gid_t rgid = 0, egid = 0, sgid = 0;
  return getresuid(&ruid, &euid, &suid) == 0 && getresgid(&rgid, &egid, &sgid) == 0 &&
         ruid == kNobodyId && euid == kNobodyId && suid == kNobodyId && rgid == kNobodyId &&
         egid == kNobodyId && sgid == kNobodyId;
}

int RunThroughShell(const std::string& line, std::string_view input, ToolRun run) {
  // A pipe belongs to its maker and is 0600: nobody's tool could not open
  // root's as /dev/stdin, so that child makes its own after giving up root.
  const int input_fd = run.as_nobody ? STDIN_FILENO : InputDescriptor(input);
  if (input_fd < 0) return kShellFailed;
  std::fflush(stdout);
  sigset_t child_signal;
  sigset_t previous;
  sigemptyset(&child_signal);
  sigaddset(&child_signal, SIGCHLD);
  sigprocmask(SIG_BLOCK, &child_signal, &previous);
  const pid_t child = fork();
  if (child < 0) {
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (!run.as_nobody) close(input_fd);
    return -1;
  }
  if (child == 0) {
    // Its own process group, so that a hung tool is stopped with all it
    // started; the dispositions the program changed (SIGPIPE, SIGTERM,
    // SIGHUP) and the mask back to their defaults, since an ignored signal
    // survives exec.
    setpgid(0, 0);
    for (const int changed : {SIGPIPE, SIGTERM, SIGHUP}) signal(changed, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (run.as_nobody) {
      if (!BecomeNobody()) _exit(127);
      const int own_input = InputDescriptor(input);
      if (own_input < 0) _exit(127);
      if (own_input != STDIN_FILENO) {
        dup2(own_input, STDIN_FILENO);
        close(own_input);
      }
    }
    // dup2 clears close-on-exec on the copy only: the tool gets no
    // descriptor above 2.
    if (input_fd == STDIN_FILENO) {
      fcntl(STDIN_FILENO, F_SETFD, 0);
    } else {
      dup2(input_fd, STDIN_FILENO);
    }
    dup2(run.output == kOutputToErrorLog ? STDERR_FILENO : run.output, STDOUT_FILENO);
    char path_entry[sizeof kFixedPath];
    std::snprintf(path_entry, sizeof path_entry, "%s", kFixedPath);
    char* const environment[] = {path_entry, nullptr};
    char shell_name[] = "sh";
    char dash_c[] = "-c";
    char* const argv[] = {shell_name, dash_c, const_cast<char*>(line.c_str()), nullptr};
    execve("/bin/sh", argv, environment);
    _exit(127);
  }
  if (!run.as_nobody) close(input_fd);
  setpgid(child, child);
  int status = 0;
  if (!WaitFor(child, run.timeout_seconds, status)) {
    status = StopHungTool(child, line, run.timeout_seconds);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return status;
}

}  // namespace

void IgnoreStopSignals() {
  signal(SIGTERM, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
}

void SetCommandRunner(CommandRunner runner) { ActiveRunner() = std::move(runner); }

bool CommandRunnerReplaced() { return static_cast<bool>(ActiveRunner()); }

int RunCommandLine(const std::string& line, std::string_view input) {
  if (ActiveRunner()) return ActiveRunner()(line, input);
  if (!HoldChangeLock()) return kShellFailed;
  return RunThroughShell(line, input, {});
}

int RunCommandLineTo(const std::string& line, int output, int timeout_seconds) {
  if (ActiveRunner()) return ActiveRunner()(line, {});
  if (!HoldChangeLock()) return kShellFailed;
  return RunThroughShell(line, {}, {output, timeout_seconds});
}

int RunCommandLineAsNobody(const std::string& line, std::string_view input, std::string& output) {
  output.clear();
  if (ActiveRunner()) return ActiveRunner()(line, input);
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return kShellFailed;
  const int status = RunThroughShell(line, input, {ends[1], kToolTimeoutSeconds, true});
  close(ends[1]);
  // The tool has ended and the write end is closed here: the read ends at
  // what it wrote (a tool that filled the pipe was stopped as hung).
  fcntl(ends[0], F_SETFL, O_NONBLOCK);
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(ends[0], buffer, sizeof buffer)) > 0) output.append(buffer, got);
  close(ends[0]);
  return status;
}

}  // namespace orvanta
