#include "tests/support/euc.h"

#include <gtest/gtest.h>
#include <iconv.h>

namespace orvanta::test {

namespace {

std::string Convert(std::string_view text, const char* to, const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    ADD_FAILURE() << "iconv cannot convert " << from << " to " << to;
    return {};
  }
  std::string in(text);
  std::string out(in.size() * 2 + 16, '\0');
  char* src = in.data();
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  const size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1)) {
    ADD_FAILURE() << "text is not valid " << from << " at byte " << (in.size() - src_left);
  }
  out.resize(out.size() - dst_left);
  return out;
}

}  // namespace

std::string Euc(std::string_view utf8) { return Convert(utf8, "EUC-JP", "UTF-8"); }
std::string Utf8(std::string_view euc) { return Convert(euc, "UTF-8", "EUC-JP"); }

}  // namespace orvanta::test
