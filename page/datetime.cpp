// The time stamp of the operation log: local time to the minute.
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

}  // namespace orvanta
