// Host tools: the one place that hands a command line to the shell, and the
// one shell-quoting helper every action uses to put request values on it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace orvanta {

// The only environment a shell started by the program sees.
inline constexpr char kToolPath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// Runs one command line through /bin/sh and returns its wait status as
// system(3) does: 0 means the tool succeeded.
int RunCommandLine(const std::string& line);

// Replaces the runner (tests record the lines instead of running them);
// an empty function restores the shell.
using CommandRunner = std::function<int(const std::string& line)>;
void SetCommandRunner(CommandRunner runner);

// A request value as one shell word: unchanged when every byte is in
// [A-Za-z0-9_@%+=:,./-] (the empty value included), otherwise single-quoted.
std::string ShellWord(std::string_view value);
// A request value that stands between single quotes the caller writes:
// each ' becomes '\'' so the quoted text stays one word.
std::string ShellQuotedBody(std::string_view value);

}  // namespace orvanta
