// Ids as the server reads them; apart from the field rules, since the
// directory store reads ids too.
#include <algorithm>

#include "page/page.h"

namespace orvanta {

namespace {

constexpr char kDigits[] = "0123456789";
constexpr size_t kMaxIdDigits = 10;  // 4294967295

}  // namespace

std::optional<std::uint32_t> ParseId(std::string_view text) {
  text.remove_prefix(std::min(text.find_first_not_of(' '), text.size()));
  if (text.empty() || text.find_first_not_of(kDigits) != std::string_view::npos) {
    return std::nullopt;
  }
  // Leading zeros change nothing, as for useradd and the scripts; what is
  // left fits in 64 bits or is too large anyway.
  text.remove_prefix(std::min(text.find_first_not_of('0'), text.size() - 1));
  if (text.size() > kMaxIdDigits) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) value = value * 10 + static_cast<std::uint64_t>(c - '0');
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

bool IsDigitsOnly(std::string_view text) {
  return text.find_first_not_of(kDigits) == std::string_view::npos;
}

bool IsReservedId(std::uint32_t id) {
  return std::find(std::begin(kReservedIds), std::end(kReservedIds), id) != std::end(kReservedIds);
}

}  // namespace orvanta
