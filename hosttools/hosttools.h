// Host tools: the one place that hands a command line to the shell, and the
// one shell-quoting helper every action uses to put request values on it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace orvanta {

// How long a request waits for the change lock, how long a tool may run,
// and how long a stopped tool has between TERM and KILL. A test build of the
// program shortens them; nothing at run time can.
#ifndef ORVANTA_LOCK_WAIT_SECONDS
#define ORVANTA_LOCK_WAIT_SECONDS 60
#endif
#ifndef ORVANTA_TOOL_TIMEOUT_SECONDS
#define ORVANTA_TOOL_TIMEOUT_SECONDS 120
#endif
#ifndef ORVANTA_KILL_GRACE_SECONDS
#define ORVANTA_KILL_GRACE_SECONDS 5
#endif
inline constexpr int kChangeLockWaitSeconds = ORVANTA_LOCK_WAIT_SECONDS;
inline constexpr int kToolTimeoutSeconds = ORVANTA_TOOL_TIMEOUT_SECONDS;
inline constexpr int kToolKillGraceSeconds = ORVANTA_KILL_GRACE_SECONDS;

// Runs one command line through /bin/sh, under the change lock, and returns
// its wait status as system(3) does: 0 means the tool succeeded. A tool that
// runs longer than kToolTimeoutSeconds is stopped and counts as failed; so
// does every tool of a request that could not take the lock. `input` is the
// tool's standard input (otherwise /dev/null): secrets such as password
// hashes go there, since every local user can read a command line.
int RunCommandLine(const std::string& line, std::string_view input = {});
// The same for a step that may take long (a home's archive): the tool's
// standard output goes to `output`, a descriptor the caller opened (or
// kOutputToErrorLog), and it is stopped after `timeout_seconds`. A
// replaced runner gets the line with no input.
inline constexpr int kOutputToErrorLog = -1;
int RunCommandLineTo(const std::string& line, int output, int timeout_seconds);
// The same for a tool that only reads what it is given (a check of a
// request value): it runs as nobody (uid and gid 65534, no other groups),
// outside the change lock since it changes nothing, with `input` on its
// standard input and its standard output returned in `output`, which must
// stay below a pipe's capacity. A replaced runner gets the line and the
// input, and `output` stays empty.
inline constexpr unsigned kNobodyId = 65534;
int RunCommandLineAsNobody(const std::string& line, std::string_view input, std::string& output);

// Takes the exclusive lock on LOCKFILE (default orvanta.lock) at the first
// call, waiting up to kChangeLockWaitSeconds, and keeps it until the process
// ends or lets it go. Returns whether it is held; a request that once failed to take it
// does not wait again. With a replaced runner nothing runs, and nothing is
// locked: the call answers true.
bool HoldChangeLock();
// LOCKFILE, or orvanta.lock when it names none; files that only change
// under the lock live beside it.
std::string ChangeLockPath();
// Lets a held lock go; the next tool run takes it again. A batch does this
// after each account, so other requests never wait for a whole batch.
void ReleaseChangeLock();

// From a long request's first change on, SIGTERM and SIGHUP (a web server
// whose client went away, a closed terminal) are ignored, so that every
// change is made and recorded; the runner gives the tools the defaults back.
void IgnoreStopSignals();

// Replaces the runner (tests record the lines and inputs instead of running
// them); an empty function restores the shell.
using CommandRunner = std::function<int(const std::string& line, std::string_view input)>;
void SetCommandRunner(CommandRunner runner);
bool CommandRunnerReplaced();

// A request value as one shell word: unchanged when every byte is in
// [A-Za-z0-9_@%+=:,./-] (the empty value included), otherwise single-quoted.
std::string ShellWord(std::string_view value);
// A request value that stands between single quotes the caller writes:
// each ' becomes '\'' so the quoted text stays one word.
std::string ShellQuotedBody(std::string_view value);

}  // namespace orvanta
