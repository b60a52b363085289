// The passwords the registration, modification and batch pages set:
// typed ones pass the quality check unless an operator who may sets a
// refused one anyway (WEAKPW, with its own record); generated ones
// (GENPASS, a batch line's "*") are shown on the result page this once
// and kept nowhere.
#include <cstdio>

#include "cgi/cgi.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/user.h"
#include "user/user_texts.h"

namespace orvanta {

namespace {

// The record, and through it the system log line, of a refused password
// set all the same.
constexpr char kWeakPasswordCode[] = "WEAKPW";

}  // namespace

bool OffersGeneratedPasswords(int max_length) { return max_length == kLongPasswordMax; }

bool MayAllowWeakPasswords() { return CurrentScope().MayDo(Action::WeakPw); }

void PrintGeneratePasswordBox(int max_length) {
  if (OffersGeneratedPasswords(max_length)) std::fputs(kGeneratePasswordBox, stdout);
}

void PrintWeakPasswordRow() {
  if (MayAllowWeakPasswords()) std::fputs(kWeakPasswordRow, stdout);
}

void PrintFirstLoginRow() { std::fputs(kFirstLoginRow, stdout); }

bool RequestedWeakOverride(std::string_view name) {
  if (!HasParam("WEAKPW")) return false;
  if (!MayAllowWeakPasswords()) RefuseByScope(name);
  return true;
}

bool RequestedGeneration(int max_length) {
  if (!HasParam("GENPASS")) return false;
  if (!OffersGeneratedPasswords(max_length)) ThrowMessage(kGenerateNotOffered);
  return true;
}

std::string GenerateAccountPassword(const std::string& name, const std::string& comment,
                                    std::string& password, PasswordOutcome& outcome) {
  PasswordVerdict verdict;
  password = GeneratePassword(name, comment, verdict);
  if (password.empty()) return kGenerateFailed;
  outcome = {true, false, verdict.score};
  return "";
}

std::string PasswordQualityProblem(const std::string& password, const std::string& name,
                                   const std::string& comment, bool allow_weak,
                                   PasswordOutcome& outcome) {
  const PasswordVerdict verdict = CheckPasswordQuality(password, name, comment);
  if (verdict.refusal == nullptr) {
    outcome = {false, false, verdict.score};
    return "";
  }
  if (allow_weak) {
    outcome = {false, true, -1};
    return "";
  }
  return std::string(verdict.refusal) + (MayAllowWeakPasswords() ? kQualityOverrideHint : "");
}

std::string PasswordNotes(const PasswordOutcome& outcome, const std::string& password,
                          bool first_login) {
  std::string notes;
  if (outcome.generated) notes += FormatText(kGeneratedNoteFormat, Html(password).c_str());
  if (outcome.score >= 0) notes += FormatText(kScoreNoteFormat, outcome.score);
  if (outcome.weak) notes += kWeakNote;
  if (first_login) notes += kFirstLoginNote;
  return notes;
}

void RecordWeakPassword(const PasswordOutcome& outcome, const std::string& name) {
  if (outcome.weak) WriteOperationLog(kWeakPasswordCode, name);
}

}  // namespace orvanta
