// POST BATCHADD: one account per line of LINES or of the CSV file,
// "name,password,uid,group,comment" or the columns a header line names,
// with the batch's DIR, SHELL and EXPIRE where a line has none. Every line
// is checked as a single registration is; a line that fails does not stop
// the others.
#include <algorithm>
#include <cstdio>
#include <string_view>
#include <vector>

#include "cgi/cgi.h"
#include "cgi/messages_texts.h"
#include "hosttools/hosttools.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/batch_lines.h"
#include "user/batch_texts.h"
#include "user/keys_texts.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

constexpr size_t kMaxBatchLines = 1000;
constexpr char kFileField[] = "CSVFILE";
constexpr char kEncodingField[] = "ENCODING";

// A value of the line, or the form's when the line leaves it empty.
std::string OrForm(const std::string& value, const char* field) {
  return value.empty() ? Param(field) : value;
}

NewAccount AccountOf(const BatchLine& line) {
  return {line.name,
          line.password,
          line.uid,
          line.group,
          line.gcos,
          OrForm(line.dir, "DIR"),
          OrForm(line.shell, "SHELL"),
          OrForm(line.expire, "EXPIRE")};
}

// The line's keys as their file holds them; "" for none.
struct LineKeys {
  std::string content, problem;
};
LineKeys KeysOf(const BatchLine& line, const std::string& name) {
  if (line.keys.empty()) return {};
  if (!CurrentScope().MayDo(Action::Keys)) return {"", NoteRefusedByScope(name)};
  if (!Accounts().KeepsKeys()) return {"", kKeysFailed};
  const KeyCheck check = CheckAuthorizedKeys(line.keys);
  LineKeys keys{"", check.problem};
  for (const AuthorizedKey& key : check.keys) keys.content += key.line + "\n";
  return keys;
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
// words; "" when it passes. The keys are checked last, once the account
// passed, and kept in `keys`.
std::string LineProblem(const BatchLine& line, const NewAccount& account, const Batch& batch,
                        LineKeys& keys) {
  if (!line.problem.empty()) return line.problem;
  if (!ScopeAllowsNewAccount(account)) return NoteRefusedByScope(account.name);
  if (CannotHashPassword(account)) return CellText(kMessageUserAddFailed);
  std::string problem = UserAddFieldsProblem(account, batch.database);
  if (problem.empty()) problem = UserAddTakenProblem(account, batch.database);
  if (problem.empty()) problem = UserAddTakenProblem(account, batch.earlier);
  if (!problem.empty()) return problem;
  keys = KeysOf(line, account.name);
  return keys.problem;
}

struct Outcome {
  std::string text;  // HTML
  bool passed;
};

// Checks and, unless only checking, registers one line.
Outcome RegisterLine(const BatchLine& line, Batch& batch) {
  NewAccount account = AccountOf(line);
  FillFromScope(account, batch.earlier.taken_uids);
  LineKeys keys;
  if (std::string problem = LineProblem(line, account, batch, keys); !problem.empty()) {
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
  // The keys are written under the same hold of the change lock, as a
  // single registration writes them.
  const KeyFileResult written = result == StoreResult::Done && !keys.content.empty()
                                    ? WriteRequestedKeys(account.name, keys.content, false)
                                    : KeyFileResult::Done;
  if (result == StoreResult::Done || result == StoreResult::DoneWithoutPassword) {
    WriteOperationLog("ADD", account.name);
  } else if (result == StoreResult::FailedGroupKept) {
    WriteOperationLog("GADD", account.name);
  }
  if (result == StoreResult::Done && !keys.content.empty() && written == KeyFileResult::Done) {
    WriteOperationLog("KEY", account.name);
  }
  // Taken again by the next line's change, after its password is hashed.
  ReleaseChangeLock();
  switch (result) {
    case StoreResult::Done:
      if (written != KeyFileResult::Done) {
        return {FormatText(kKeysAddFailedFormat, KeyFileProblem(written)), false};
      }
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

// The text whose lines the batch registers: the file's, or else the
// pasted lines (EUC-JP, as the page posts them).
struct BatchText {
  std::string text;
  BatchEncoding encoding;
};

BatchText RequestedBatchText() {
  const std::string& file = Param(kFileField);
  const std::string& pasted = Param("LINES");
  if (file.empty()) return {pasted, BatchEncoding::Pasted};
  if (!pasted.empty()) ThrowMessage(kBatchFileAndLines);
  if (file.find('\0') != std::string::npos) ThrowMessage(kBatchNotText);
  const BatchEncoding encoding = ChooseEncoding(Param(kEncodingField), file);
  std::string_view text = file;
  if (encoding == BatchEncoding::Utf8WithBom) text.remove_prefix(kByteOrderMark.size());
  return {std::string(text), encoding};
}

const char* EncodingNote(BatchEncoding encoding) {
  switch (encoding) {
    case BatchEncoding::Utf8:
      return kBatchEncodingUtf8;
    case BatchEncoding::Utf8WithBom:
      return kBatchEncodingUtf8Bom;
    case BatchEncoding::Cp932:
      return kBatchEncodingCp932;
    case BatchEncoding::Pasted:
      break;
  }
  return "";
}

}  // namespace

void RegisterBatch() {
  if (LacksUserAddTool()) throw ErrorCode{kErrorUserAddFailed};
  const BatchText text = RequestedBatchText();
  const std::vector<BatchLine> lines = ReadBatchLines(text.text);
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
  std::fputs(EncodingNote(text.encoding), stdout);
  std::fputs(kBatchResultCaption, stdout);
  std::fputs(kBatchResultHeading, stdout);
  progress.EndHeading();
  if (!batch.check_only) IgnoreStopSignals();
  for (const BatchLine& line : lines) {
    const Outcome outcome = RegisterLine(line, batch);
    if (!outcome.passed) ++batch.problems;
    std::printf(kBatchRowFormat, line.number, Html(line.name).c_str(), outcome.text.c_str());
    progress.EndRow();
  }
  std::fputs("</TABLE>\n", stdout);
  std::printf(kBatchSummaryFormat, lines.size(), batch.problems);
  PrintPageFooter();
}

}  // namespace orvanta
