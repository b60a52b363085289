// POST BATCHADD: one account per line of LINES or of the CSV file,
// "name,password,uid,group,comment" or the columns a header line names,
// with the batch's DIR, SHELL and EXPIRE where a line has none. Every line
// is checked as a single registration is; a line that fails does not stop
// the others. A password "*" is generated: shown in the result table and
// offered once as a CSV file made in the page itself, never kept on the
// server.
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
// The password of a line whose password the program makes.
constexpr std::string_view kGenerateMark = "*";
// A FORCE cell that asks the change at the first login; an empty one
// leaves it to the form.
constexpr std::string_view kForceMark = "1";

bool AsksGeneration(const BatchLine& line) { return line.password == kGenerateMark; }

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
          OrForm(line.expire, "EXPIRE"),
          line.force == kForceMark || HasParam("FORCE")};
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
  bool offers_generated = false;  // "*" is taken
  bool allow_weak = false;        // WEAKPW
  bool shows_generated = false;   // the table has the generated passwords' column
  std::string csv;                // "name,password" of each generated one
  FoundUsers database;            // the accounts of the batch's names, uids and homes
                                  // (and the homes of the lines above that passed)
  FoundUsers earlier;             // the lines above that passed every check
  size_t problems = 0;            // lines not registered (or, only checking, refused)
};

// The reason the line cannot be registered, in the single registration's
// words; "" when it passes. The keys are checked last, once the account
// passed, and kept in `keys`.
std::string LineProblem(const BatchLine& line, const NewAccount& account, const Batch& batch,
                        LineKeys& keys) {
  if (!line.problem.empty()) return line.problem;
  if (!line.force.empty() && line.force != kForceMark && line.force != "0") {
    return kBatchForceValue;
  }
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
  LineKeys keys;
  PasswordOutcome password;
  std::string problem = SettleLinePassword(line, account, batch, password);
  if (problem.empty()) problem = LineProblem(line, account, batch, keys);
  if (problem.empty() && !password.generated) {
    problem = PasswordQualityProblem(account.password, account.name, account.gcos, batch.allow_weak,
                                     password);
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
  // The keys are written under the same hold of the change lock, as a
  // single registration writes them.
  const KeyFileResult written = password_set && !keys.content.empty()
                                    ? WriteRequestedKeys(account.name, keys.content, false)
                                    : KeyFileResult::Done;
  if (password_set || result == StoreResult::DoneWithoutPassword) {
    WriteOperationLog("ADD", account.name);
  } else if (result == StoreResult::FailedGroupKept) {
    WriteOperationLog("GADD", account.name);
  }
  if (password_set) RecordWeakPassword(password, account.name);
  if (password_set && !keys.content.empty() && written == KeyFileResult::Done) {
    WriteOperationLog("KEY", account.name);
  }
  // Taken again by the next line's change, after its password is hashed.
  ReleaseChangeLock();
  // Shown whatever else failed: the account has it, and nobody else knows it.
  const std::string shown = password_set && password.generated ? account.password : "";
  if (password_set && written != KeyFileResult::Done) {
    return {FormatText(kKeysAddFailedFormat, KeyFileProblem(written)), false, shown};
  }
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
  batch.allow_weak = RequestedWeakOverride("");
  batch.offers_generated =
      OffersGeneratedPasswords(PasswordMaxLength(RegistrationTakesLongPasswords()));
  std::set<std::string, std::less<>> names;
  std::set<std::uint32_t> uids;
  std::set<std::string, std::less<>> homes;
  for (const BatchLine& line : lines) {
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
  std::fputs(EncodingNote(text.encoding), stdout);
  std::fputs(kBatchResultCaption, stdout);
  std::fputs(kBatchResultHeading, stdout);
  if (batch.shows_generated) std::fputs(kBatchPasswordHeading, stdout);
  progress.EndHeading();
  if (!batch.check_only) IgnoreStopSignals();
  for (const BatchLine& line : lines) {
    const Outcome outcome = RegisterLine(line, batch);
    if (!outcome.passed) ++batch.problems;
    std::printf(kBatchRowFormat, line.number, Html(line.name).c_str(), outcome.text.c_str());
    PrintGeneratedCell(line.name, outcome.generated, batch);
    progress.EndRow();
  }
  std::fputs("</TABLE>\n", stdout);
  PrintCsvDownload(batch);
  std::printf(kBatchSummaryFormat, lines.size(), batch.problems);
  PrintPageFooter();
}

}  // namespace orvanta
