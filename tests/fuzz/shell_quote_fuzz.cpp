// The shell-quoting helpers read back by the POSIX word reader: a value
// (a request value holds no NUL; the input's NULs separate values) is one
// word as ShellWord writes it and between the quotes around
// ShellQuotedBody, also on one line with the others.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosttools/hosttools.h"
#include "tests/fuzz/support/shell_words.h"

namespace {

using orvanta::fuzz::SplitShellWords;
using Words = std::vector<std::string>;

Words ValuesOf(std::string_view text) {
  Words values;
  while (true) {
    const size_t end = text.find('\0');
    values.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) return values;
    text.remove_prefix(end + 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string line = "tool";
  Words expected = {"tool"};
  for (const std::string& value : ValuesOf({reinterpret_cast<const char*>(data), size})) {
    const std::string quoted = "'" + orvanta::ShellQuotedBody(value) + "'";
    if (SplitShellWords(quoted) != std::optional<Words>({value})) std::abort();
    line += " -c " + quoted;
    expected.insert(expected.end(), {"-c", value});
    // The empty value is written as nothing at all; callers leave it out.
    if (value.empty()) continue;
    const std::string word = orvanta::ShellWord(value);
    if (SplitShellWords(word) != std::optional<Words>({value})) std::abort();
    line += " " + word;
    expected.push_back(value);
  }
  if (SplitShellWords(line) != expected) std::abort();
  return 0;
}
