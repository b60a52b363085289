// What a run started, read from the output of `strace -f -v -xx -e
// trace=execve`: each program with its arguments and environment. Also the
// check of the DES hashes the program hands to the account tools, which the
// tests find in those arguments or in the files the tools write.
#pragma once

#include <ctime>
#include <string>
#include <vector>

namespace orvanta::test {

struct Exec {
  std::string path;
  std::vector<std::string> argv;
  std::vector<std::string> envp;
};

// The command line to put before a program (CgiSandbox::Run's `prefix`) so
// that strace writes every execve of it and of its children to `output`.
std::vector<std::string> StraceArgs(const std::string& output);

// The execve calls that succeeded, in the order strace reported them. A line
// that cannot be read fails the running test.
std::vector<Exec> SuccessfulExecs(const std::string& trace);
// The command lines of those execs that were `/bin/sh -c LINE`, in order.
std::vector<std::string> ShellCommandLines(const std::string& trace);

// A 13-character DES crypt hash of `password`, salted with the second at
// which it was made (some second of [from, to]).
void ExpectDesHashOf(const std::string& hash, const std::string& password, std::time_t from,
                     std::time_t to);

}  // namespace orvanta::test
