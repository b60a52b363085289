// Expected texts are written in UTF-8 in the tests and compared as the
// EUC-JP bytes the program writes.
#pragma once

#include <string>
#include <string_view>

namespace orvanta::test {

// UTF-8 to EUC-JP; fails the running test on text without an EUC-JP form.
std::string Euc(std::string_view utf8);
// EUC-JP to UTF-8, for readable failure messages.
std::string Utf8(std::string_view euc);

}  // namespace orvanta::test
