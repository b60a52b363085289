// The last logins of the lock and ageing lists: a column read for the
// page's own rows, and the search UNUSED, which reads them for every
// account the list would show, after the cheaper test of the password's
// last change has left out the new ones.
#include <charconv>
#include <cstdio>
#include <ctime>

#include "cgi/cgi.h"
#include "page/page.h"
#include "user/last_login_texts.h"
#include "user/user.h"

namespace orvanta {

namespace {

constexpr long kMaxUnusedDays = 99999;
constexpr std::int64_t kSecondsPerDay = 86400;

const char* RecordsName(LoginRecords records) {
  switch (records) {
    case LoginRecords::Lastlog2:
      return "lastlog2";
    case LoginRecords::Wtmpdb:
      return "wtmpdb";
    case LoginRecords::Lastlog:
      break;
  }
  return "lastlog";
}

// What UNUSED compares with: now less the days, in seconds and in days.
struct UnusedSince {
  std::int64_t seconds;
  long day;
};

UnusedSince UnusedSinceOf(long days) {
  const std::int64_t now = std::time(nullptr);
  return {now - days * kSecondsPerDay, static_cast<long>(now / kSecondsPerDay) - days};
}

// A last change of 0 asks for a change at the next login: no date.
bool ChangedBefore(long last_change, const UnusedSince& since) {
  return last_change > 0 && last_change <= since.day;
}

bool NotLoggedInSince(const LastLogins& logins, std::string_view name, const UnusedSince& since) {
  const auto found = logins.times.find(name);
  return found == logins.times.end() ? logins.since <= since.seconds
                                     : found->second <= since.seconds;
}

std::vector<LoginAccount> AccountsOf(const UserTable& users,
                                     const std::vector<std::uint32_t>& rows) {
  std::vector<LoginAccount> accounts;
  accounts.reserve(rows.size());
  for (const std::uint32_t index : rows) accounts.push_back({users[index].name, users[index].uid});
  return accounts;
}

// Refuses the search when the records cannot tell who logged in since.
void CheckRecordsTell(const LastLogins& logins, const UnusedSince& since) {
  if (!logins.read) ThrowMessage(kUnusedUnreadable);
  if (logins.since > since.seconds) {
    ThrowMessage(FormatText(kUnusedRecordsTooShortFormat,
                            FormatDateTimeAt(static_cast<std::time_t>(logins.since)).c_str()));
  }
}

}  // namespace

std::optional<long> UnusedDays() {
  const std::string& text = Param("UNUSED");
  if (text.empty()) return std::nullopt;
  if (!Accounts().KeepsLastLogins()) ThrowMessage(kUnusedInDirectory);
  long days = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, days);
  if (error != std::errc() || stop != end || text[0] == '+' || days < 1 || days > kMaxUnusedDays) {
    ThrowMessage(kUnusedDaysWrong);
  }
  return days;
}

LastLoginColumn::LastLoginColumn(const UserTable& users, const std::vector<std::uint32_t>& rows) {
  if (Accounts().KeepsLastLogins()) logins_ = ReadLastLogins(AccountsOf(users, rows));
}

void LastLoginColumn::PutHeading(RowWriter& out) const {
  if (!logins_) return;
  out.Put(kLastLoginHeadingBefore);
  out.Put(RecordsName(logins_->records));
  out.Put(kLastLoginHeadingAfter);
}

void LastLoginColumn::PutCell(RowWriter& out, std::string_view name) const {
  if (!logins_) return;
  out.Put("<TD NOWRAP>");
  const auto found = logins_->times.find(name);
  if (!logins_->read) {
    out.Put(kLastLoginUnknown);
  } else if (found == logins_->times.end()) {
    out.Put(kLastLoginNever);
  } else {
    out.Put(FormatDateTimeAt(static_cast<std::time_t>(found->second)));
  }
  out.Put("</TD>\n");
}

std::vector<std::uint32_t> UnusedAccounts(const UserTable& users,
                                          const std::vector<std::uint32_t>& shown, long days,
                                          const LockStateMap& states) {
  const UnusedSince since = UnusedSinceOf(days);
  std::vector<std::uint32_t> old;
  for (const std::uint32_t index : shown) {
    const auto found = states.find(users[index].name);
    if (found != states.end() && ChangedBefore(found->second.last_change, since)) {
      old.push_back(index);
    }
  }
  const LastLogins logins = ReadLastLogins(AccountsOf(users, old));
  CheckRecordsTell(logins, since);
  std::vector<std::uint32_t> unused;
  for (const std::uint32_t index : old) {
    if (NotLoggedInSince(logins, users[index].name, since)) unused.push_back(index);
  }
  return unused;
}

bool IsStillUnused(const UserEntry& user, long days) {
  const UnusedSince since = UnusedSinceOf(days);
  const std::optional<PasswordAgeing> ageing = Accounts().Ageing(user);
  if (!ageing || !ChangedBefore(ageing->last_change, since)) return false;
  const LastLogins logins = ReadLastLogins({{user.name, user.uid}});
  return logins.read && NotLoggedInSince(logins, user.name, since);
}

}  // namespace orvanta
