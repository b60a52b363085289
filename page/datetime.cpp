// The time stamp of the operation log: local time to the minute.
#include <cstdio>

#include "page/page.h"

namespace orvanta {

void FormatDateTimeAt(std::time_t moment, char* buffer, std::size_t size) {
  std::tm local {};
  localtime_r(&moment, &local);
  std::snprintf(buffer, size, "%04d/%02d/%02d %02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min);
}

void FormatDateTime(char* buffer) {
  // Callers supply at least 17 bytes, enough for any four-digit year.
  constexpr std::size_t kStampSize = 17;
  FormatDateTimeAt(std::time(nullptr), buffer, kStampSize);
}

}  // namespace orvanta
