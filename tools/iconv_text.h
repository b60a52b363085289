// Whole-text conversion between character sets with iconv(3), shared by the
// build-time catalogue converter and the tests' expected texts.
#pragma once

#include <iconv.h>

#include <optional>
#include <string>
#include <string_view>

namespace orvanta {

// nullopt when iconv lacks the pair or the text has no form in `to`.
inline std::optional<std::string> ConvertText(std::string_view text, const char* to,
                                              const char* from) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string in(text);
  // EUC-JP and UTF-8 never more than double a text's length.
  std::string out(in.size() * 2 + 16, '\0');
  char* src = in.data();
  size_t src_left = in.size();
  char* dst = out.data();
  size_t dst_left = out.size();
  const size_t rc = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1) || src_left != 0) return std::nullopt;
  out.resize(out.size() - dst_left);
  return out;
}

}  // namespace orvanta
