// POST BATCHADD: one account per line of LINES, "name,password,uid,group,
// comment" with the batch's DIR, SHELL and EXPIRE. Every line is checked as
// a single registration is; a line that fails does not stop the others.
// A password "*" is generated: shown in the result table and offered once
// as a CSV file made in the page itself, never kept on the server.
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
constexpr size_t kPasswordField = 1;
// The password of a line whose password the program makes.
constexpr std::string_view kGenerateMark = "*";

struct BatchLine {
  size_t number;  // counted from 1 over every line of LINES
  std::vector<std::string> fields;
  // The change at the first login: the line's own, or the form's FORCE.
  bool change_at_first_login = false;
};

bool AsksGeneration(const BatchLine& line) {
  return line.fields.size() > kPasswordField && line.fields[kPasswordField] == kGenerateMark;
}

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
  return {field(0),      field(1),        field(2),          field(3),
          field(4),      Param("DIR"),    Param("SHELL"),    Param("EXPIRE"),
          line.change_at_first_login};
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
  bool offers_generated = false;  // "*" is taken
  bool allow_weak = false;        // WEAKPW
  bool shows_generated = false;   // the table has the generated passwords' column
  std::string csv;                // "name,password" of each generated one
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
  std::string generated = {};  // a generated password that was set
};

// "*" generated, or the typed password through the quality check; "" when
// the password may be set.
std::string SettleLinePassword(const BatchLine& line, NewAccount& account, const Batch& batch,
                               PasswordOutcome& password) {
  if (!AsksGeneration(line)) return "";
  if (!batch.offers_generated) return kGenerateNotOffered;
  return GenerateAccountPassword(account.name, account.gcos, account.password, password);
}

// Checks and, unless only checking, registers one line.
Outcome RegisterLine(const BatchLine& line, Batch& batch) {
  NewAccount account = AccountOf(line);
  FillFromScope(account, batch.earlier.taken_uids);
  PasswordOutcome password;
  std::string problem = SettleLinePassword(line, account, batch, password);
  if (problem.empty()) problem = LineProblem(line, account, batch);
  if (problem.empty() && !password.generated) {
    problem = PasswordQualityProblem(account.password, account.name, account.gcos,
                                     batch.allow_weak, password);
  }
  if (!problem.empty()) return {CellText(std::move(problem)), false};
  // Counted whether or not the tool then succeeds, so that a check-only run
  // and a real run report the same lines.
  batch.earlier.by_name[account.name];
  if (const auto uid = UidOf(account)) batch.earlier.taken_uids.insert(*uid);
  // Its home is the account's from now on, made or not.
  batch.database.home_holders.push_back({account.name, NewHomeOf(account)});
  if (batch.check_only) return {kBatchCheckedOnly, true};
  account.dir = DirWithSlash(account.dir);
  const StoreResult result = AddAccount(account);
  const bool password_set =
      result == StoreResult::Done || result == StoreResult::DoneWithoutForcedChange;
  if (password_set || result == StoreResult::DoneWithoutPassword) {
    WriteOperationLog("ADD", account.name);
  }
  if (password_set) RecordWeakPassword(password, account.name);
  if (result == StoreResult::FailedGroupKept) {
    WriteOperationLog("GADD", account.name);
  }
  // Taken again by the next line's change, after its password is hashed.
  ReleaseChangeLock();
  const std::string shown = password_set && password.generated ? account.password : "";
  switch (result) {
    case StoreResult::Done:
      return {password.weak ? kBatchRegisteredWeak : kBatchRegistered, true, shown};
    case StoreResult::DoneWithoutForcedChange:
      return {kFirstLoginNotSet, false, shown};
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

// The row's cell of the generated password, noted for the CSV file.
void PrintGeneratedCell(const std::string& name, const std::string& password, Batch& batch) {
  if (!batch.shows_generated) return;
  if (password.empty()) {
    std::fputs(kBatchNoPasswordCell, stdout);
    return;
  }
  std::printf(kBatchPasswordCellFormat, Html(password).c_str());
  // Quoted: a generated password may hold a comma.
  batch.csv += name + ",\"" + password + "\"\r\n";
}

void PrintCsvDownload(const Batch& batch) {
  if (batch.csv.empty()) return;
  std::printf(kBatchDownloadFormat, UrlEncoded(batch.csv).c_str());
}

}  // namespace

void RegisterBatch() {
  if (LacksUserAddTool()) throw ErrorCode{kErrorUserAddFailed};
  std::vector<BatchLine> lines = AccountLines(Param("LINES"));
  if (lines.size() > kMaxBatchLines) ThrowMessage(kBatchTooManyLines);
  Batch batch;
  batch.check_only = HasParam("CHECKONLY");
  batch.allow_weak = RequestedWeakOverride("");
  batch.offers_generated =
      OffersGeneratedPasswords(PasswordMaxLength(RegistrationTakesLongPasswords()));
  const bool first_login = HasParam("FORCE");
  std::set<std::string, std::less<>> names;
  std::set<std::uint32_t> uids;
  std::set<std::string, std::less<>> homes;
  for (BatchLine& line : lines) {
    line.change_at_first_login = line.change_at_first_login || first_login;
    if (AsksGeneration(line) && batch.offers_generated && !batch.check_only) {
      batch.shows_generated = true;
    }
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
  if (batch.shows_generated) std::fputs(kBatchPasswordHeading, stdout);
  progress.EndHeading();
  if (!batch.check_only) IgnoreStopSignals();
  for (const BatchLine& line : lines) {
    const Outcome outcome = RegisterLine(line, batch);
    if (!outcome.passed) ++batch.problems;
    std::printf(kBatchRowFormat, line.number, Html(line.fields[0]).c_str(), outcome.text.c_str());
    PrintGeneratedCell(line.fields[0], outcome.generated, batch);
    progress.EndRow();
  }
  std::fputs("</TABLE>\n", stdout);
  PrintCsvDownload(batch);
  std::printf(kBatchSummaryFormat, lines.size(), batch.problems);
  PrintPageFooter();
}

}  // namespace orvanta
