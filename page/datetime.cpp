// The time stamp of the operation log: local time to the minute; and the
// calendar dates of shadow(5)'s day counts, which know no time zone.
#include <charconv>
#include <chrono>
#include <cstdio>

#include "page/page.h"

namespace orvanta {

std::string FormatDateTimeAt(std::time_t moment) {
  std::tm local {};
  localtime_r(&moment, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
  return text;
}

void FormatDateTime(char* buffer) {
  // Callers supply at least 17 bytes, enough for any four-digit year.
  constexpr std::size_t kStampSize = 17;
  std::snprintf(buffer, kStampSize, "%s", FormatDateTimeAt(std::time(nullptr)).c_str());
}

namespace {

constexpr size_t kDateLength = 10;  // YYYY-MM-DD

// The digits of text[from, from + count) as a number; nullopt for anything else.
std::optional<int> DigitsAt(std::string_view text, size_t from, size_t count) {
  int value = 0;
  const char* first = text.data() + from;
  const auto [end, error] = std::from_chars(first, first + count, value);
  if (error != std::errc() || end != first + count || *first == '-' || *first == '+') {
    return std::nullopt;
  }
  return value;
}

}  // namespace

std::optional<long> DaysOfDate(std::string_view text) {
  if (text.size() != kDateLength || text[4] != '-' || text[7] != '-') return std::nullopt;
  const std::optional<int> year = DigitsAt(text, 0, 4);
  const std::optional<int> month = DigitsAt(text, 5, 2);
  const std::optional<int> day = DigitsAt(text, 8, 2);
  if (!year || !month || !day) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year{*year},
                                         std::chrono::month{static_cast<unsigned>(*month)},
                                         std::chrono::day{static_cast<unsigned>(*day)}};
  if (!date.ok()) return std::nullopt;
  return std::chrono::sys_days(date).time_since_epoch().count();
}

std::string DateOfDays(long days) {
  if (days < 0) return "";
  const std::chrono::year_month_day date{std::chrono::sys_days(std::chrono::days(days))};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()));
  return text;
}

}  // namespace orvanta
