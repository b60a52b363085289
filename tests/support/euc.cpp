#include "tests/support/euc.h"

#include <gtest/gtest.h>

#include "tools/iconv_text.h"

namespace orvanta::test {

namespace {

std::string Convert(std::string_view text, const char* to, const char* from) {
  std::optional<std::string> converted = ConvertText(text, to, from);
  if (!converted) {
    ADD_FAILURE() << "text cannot be converted from " << from << " to " << to;
    return {};
  }
  return *converted;
}

}  // namespace

std::string Euc(std::string_view utf8) { return Convert(utf8, "EUC-JP", "UTF-8"); }
std::string Utf8(std::string_view euc) { return Convert(euc, "UTF-8", "EUC-JP"); }

}  // namespace orvanta::test
