// In-process runs of one page or action: a fresh parameter table and
// snapshot, the command lines recorded instead of run, standard output
// captured, and a private working directory for the operation log.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cgi/cgi.h"

namespace orvanta::test {

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // A fresh start inside one test, for table-driven cases.
  void Reset() {
    TearDown();
    SetUp();
  }

  // Request parameters and settings, as the table holds them.
  void Params(const std::map<std::string, std::string>& entries);
  // Accounts and groups the database yields, in this order, after those
  // given before.
  void Users(const std::vector<UserEntry>& users);
  void Groups(const std::vector<GroupEntry>& groups);

  // Runs `step`; returns what it wrote, or the page the error handler wrote
  // for the code it threw.
  std::string Capture(const std::function<void()>& step);

  // The command lines handed to the runner, in order.
  std::vector<std::string> commands;
  // What each of them got on standard input ("" for none).
  std::vector<std::string> inputs;
  // Exit status the recorded runner answers, by call (0 when not listed).
  std::map<size_t, int> results;

  // The system log's lines, each after its priority and a blank; nobody
  // is known to act until a test sets an operator.
  std::vector<std::string> audit_lines;

  std::string LogText() const;
  bool LogExists() const;
  std::string work_dir;

 private:
  std::string previous_dir_;
  AccountEntries entries_;
};

}  // namespace orvanta::test
