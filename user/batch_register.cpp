// POST BATCHADD: one account per line of LINES, "name,password,uid,group,
// comment" with the batch's DIR, SHELL and EXPIRE. Every line is checked as
// a single registration is; a line that fails does not stop the others.
#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "cgi/cgi.h"
#include "cgi/messages_texts.h"
#include "hosttools/hosttools.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/batch_texts.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

constexpr size_t kMaxBatchLines = 1000;
// The comment takes everything after the fourth comma.
constexpr size_t kMaxFields = 5;
constexpr size_t kMinFields = 2;

struct BatchLine {
  size_t number;  // counted from 1 over every line of LINES
  std::vector<std::string> fields;
};

bool IsSkipped(std::string_view line) {
  return line.find_first_not_of(" \t") == std::string_view::npos || line.front() == '#';
}

std::vector<std::string> SplitFields(std::string_view line) {
  std::vector<std::string> fields;
  while (fields.size() + 1 < kMaxFields) {
    const size_t comma = line.find(',');
    if (comma == std::string_view::npos) break;
    fields.emplace_back(line.substr(0, comma));
    line.remove_prefix(comma + 1);
  }
  fields.emplace_back(line);
  return fields;
}

// The account lines: split at LF, a CR before it dropped, blank lines and
// lines starting with '#' left out.
std::vector<BatchLine> AccountLines(std::string_view text) {
  std::vector<BatchLine> lines;
  size_t number = 0;
  while (!text.empty()) {
    const size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!IsSkipped(line)) lines.push_back({number, SplitFields(line)});
  }
  return lines;
}

NewAccount AccountOf(const BatchLine& line) {
  const auto field = [&](size_t i) { return i < line.fields.size() ? line.fields[i] : ""; };
  return {field(0),     field(1),       field(2),        field(3),
          field(4),     Param("DIR"),   Param("SHELL"),  Param("EXPIRE")};
}

std::optional<std::uint32_t> UidOf(const NewAccount& account) { return ParseId(account.uid); }

// The message texts end in a line break that a table cell does not need.
std::string CellText(std::string text) {
  constexpr std::string_view kBreak = "<BR>\n";
  if (text.ends_with(kBreak)) text.resize(text.size() - kBreak.size());
  return text;
}

struct Batch {
  bool check_only = false;
  FoundUsers database;  // the accounts of the batch's names, uids and homes
                        // (and the homes of the lines above that passed)
  FoundUsers earlier;   // the lines above that passed every check
  size_t problems = 0;  // lines not registered (or, only checking, refused)
};

// The reason the line cannot be registered, in the single registration's
// words; "" when it passes.
std::string LineProblem(const BatchLine& line, const NewAccount& account, const Batch& batch) {
  if (line.fields.size() < kMinFields) return kBatchFieldCount;
  if (!ScopeAllowsNewAccount(account)) return NoteRefusedByScope(account.name);
  if (CannotHashPassword(account)) return CellText(kMessageUserAddFailed);
  std::string problem = UserAddFieldsProblem(account, batch.database);
  if (problem.empty()) problem = UserAddTakenProblem(account, batch.database);
  if (problem.empty()) problem = UserAddTakenProblem(account, batch.earlier);
  return problem;
}

struct Outcome {
  std::string text;  // HTML
  bool passed;
};

// Checks and, unless only checking, registers one line.
Outcome RegisterLine(const BatchLine& line, Batch& batch) {
  NewAccount account = AccountOf(line);
  FillFromScope(account, batch.earlier.taken_uids);
  if (std::string problem = LineProblem(line, account, batch); !problem.empty()) {
    return {CellText(std::move(problem)), false};
  }
  // Counted whether or not the tool then succeeds, so that a check-only run
  // and a real run report the same lines.
  batch.earlier.by_name[account.name];
  if (const auto uid = UidOf(account)) batch.earlier.taken_uids.insert(*uid);
  // Its home is the account's from now on, made or not.
  batch.database.home_holders.push_back({account.name, NewHomeOf(account)});
  if (batch.check_only) return {kBatchCheckedOnly, true};
  account.dir = DirWithSlash(account.dir);
  const StoreResult result = AddAccount(account);
  if (result == StoreResult::Done || result == StoreResult::DoneWithoutPassword) {
    WriteOperationLog("ADD", account.name);
  } else if (result == StoreResult::FailedGroupKept) {
    WriteOperationLog("GADD", account.name);
  }
  // Taken again by the next line's change, after its password is hashed.
  ReleaseChangeLock();
  switch (result) {
    case StoreResult::Done:
      return {kBatchRegistered, true};
    case StoreResult::DoneWithoutPassword:
      return {kPasswordNotSet, false};
    case StoreResult::NameTaken:
      return {NameTakenProblem(account.name), false};
    case StoreResult::FailedGroupKept:
      return {GroupKeptProblem(account.name), false};
    default:
      break;
  }
  return {CellText(kMessageUserAddFailed), false};
}

}  // namespace

void RegisterBatch() {
  if (LacksUserAddTool()) throw ErrorCode{kErrorUserAddFailed};
  const std::vector<BatchLine> lines = AccountLines(Param("LINES"));
  if (lines.size() > kMaxBatchLines) ThrowMessage(kBatchTooManyLines);
  Batch batch;
  batch.check_only = HasParam("CHECKONLY");
  std::set<std::string, std::less<>> names;
  std::set<std::uint32_t> uids;
  std::set<std::string, std::less<>> homes;
  for (const BatchLine& line : lines) {
    const NewAccount account = AccountOf(line);
    names.insert(account.name);
    if (const auto uid = UidOf(account)) uids.insert(*uid);
    homes.insert(NewHomeOf(account));
  }
  batch.database = FindUsers(names, uids, homes);

  // Row by row, so a long batch shows its progress and the web server
  // does not give up on a response that stays silent for a minute.
  RowProgress progress(lines.size(), true);
  PrintPageHeader();
  std::fputs(kBatchResultCaption, stdout);
  std::fputs(kBatchResultHeading, stdout);
  progress.EndHeading();
  if (!batch.check_only) IgnoreStopSignals();
  for (const BatchLine& line : lines) {
    const Outcome outcome = RegisterLine(line, batch);
    if (!outcome.passed) ++batch.problems;
    std::printf(kBatchRowFormat, line.number, Html(line.fields[0]).c_str(), outcome.text.c_str());
    progress.EndRow();
  }
  std::fputs("</TABLE>\n", stdout);
  std::printf(kBatchSummaryFormat, lines.size(), batch.problems);
  PrintPageFooter();
}

}  // namespace orvanta
