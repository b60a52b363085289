// The user lists as CSV files (GET VIEWCSV, LOCKCSV, AGECSV): every row the
// list's filter shows, not only one page, and the sample file of the batch
// page (BATCHSAMPLE). Each export goes to the system log with its count.
#include <string>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/batch_lines.h"
#include "user/user.h"

namespace orvanta {

namespace {

constexpr const char* kUserHeadings[] = {"NAME", "UID", "GID", "GROUP", "GCOS", "DIR", "SHELL"};
constexpr const char* kLockHeadings[] = {"NAME", "UID", "GCOS", "STATE", "EXPIRE"};
constexpr const char* kAgeHeadings[] = {"NAME",     "UID",      "LASTCHANGE", "FORCED",
                                        "MAXDAYS",  "MINDAYS",  "WARNDAYS",   "INACTDAYS",
                                        "EXPIRE"};
constexpr const char* kSampleRows[][9] = {
    {"hanako", "Abc123xy", "", "", "Kato, Hanako", "", "", "", ""},
    {"jiro", "Xyz789qw", "1601", "", "Jiro Sato", "", "/bin/sh", "2027-03-31", ""},
};

template <size_t N>
void PutHeadings(CsvWriter& csv, const char* const (&headings)[N]) {
  for (const char* heading : headings) csv.Text(heading);
  csv.EndRow();
}

// The export's line in the system log: the list and how many rows it held.
void NoteExport(const char* list, const CsvWriter& csv) {
  AuditExport(list, csv.rows() - 1);
}

const char* StateWord(LockState state) {
  switch (state) {
    case LockState::Locked:
      return "locked";
    case LockState::PasswordOnly:
      return "password-locked";
    case LockState::Open:
      return "open";
    case LockState::Unknown:
      break;
  }
  return "unknown";
}

void PutDate(CsvWriter& csv, long days) { csv.Text(DateOfDays(days)); }

}  // namespace

void ExportUserList() {
  ListFilter filter;
  if (!ListShowsEveryAccount(UserListMode::List)) filter.OwnedOnly();
  const UserTable& users = AllUsers();
  const std::vector<std::uint32_t> shown = ShownUsers(users, filter);
  const GroupTables& groups = AllGroups();
  CsvWriter csv("users.csv");
  PutHeadings(csv, kUserHeadings);
  for (const std::uint32_t index : shown) {
    users.Prefetch(index);
    const UserTable::Row user = users[index];
    csv.Text(user.name);
    csv.Number(user.uid);
    csv.Number(user.gid);
    csv.Text(groups.NameOf(user.gid));
    csv.Text(user.gecos);
    csv.Text(user.dir);
    csv.Text(user.shell);
    csv.EndRow();
  }
  NoteExport("users", csv);
}

void ExportLockList() {
  ListFilter filter;
  const UserTable& users = AllUsers();
  const std::vector<std::uint32_t> shown =
      ShownUsers(users, filter.AboveSystemIdsOnly().OwnedOnly());
  const auto states = Accounts().LockStates();
  CsvWriter csv("locks.csv");
  PutHeadings(csv, kLockHeadings);
  for (const std::uint32_t index : shown) {
    const UserTable::Row user = users[index];
    const auto found = states.find(user.name);
    const LockSummary summary = found == states.end() ? LockSummary{} : found->second;
    csv.Text(user.name);
    csv.Number(user.uid);
    csv.Text(user.gecos);
    csv.Text(StateWord(summary.state));
    PutDate(csv, summary.expire_days);
    csv.EndRow();
  }
  NoteExport("locks", csv);
}

void ExportAgeingList() {
  ListFilter filter;
  if (!ListShowsEveryAccount(UserListMode::SelectForAge)) filter.OwnedOnly();
  const UserTable& users = AllUsers();
  const std::vector<std::uint32_t> shown = ShownUsers(users, filter);
  const auto all = Accounts().AllAgeing();
  CsvWriter csv("ageing.csv");
  PutHeadings(csv, kAgeHeadings);
  for (const std::uint32_t index : shown) {
    const UserTable::Row user = users[index];
    const auto found = all.find(user.name);
    const PasswordAgeing ageing = found == all.end() ? PasswordAgeing{} : found->second;
    csv.Text(user.name);
    csv.Number(user.uid);
    // Day 0 is no date: the next login asks for a new password.
    PutDate(csv, ageing.last_change > 0 ? ageing.last_change : -1);
    csv.Number(ageing.last_change == 0 ? 1 : 0);
    csv.Days(ageing.max_days);
    csv.Days(ageing.min_days);
    csv.Days(ageing.warn_days);
    csv.Days(ageing.inactive_days);
    PutDate(csv, ageing.expire_days);
    csv.EndRow();
  }
  NoteExport("ageing", csv);
}

void PrintBatchSample() {
  CsvWriter csv("sample.csv");
  for (const BatchColumn& column : kBatchColumns) csv.Text(column.heading);
  csv.EndRow();
  for (const auto& row : kSampleRows) {
    for (const char* cell : row) csv.Text(cell);
    csv.EndRow();
  }
}

}  // namespace orvanta
