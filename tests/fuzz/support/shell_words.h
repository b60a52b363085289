// The fuzz targets' reading of a command line as /bin/sh reads it, written
// from the POSIX shell rules rather than from the program's quoting.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::fuzz {

// The words of a line that holds nothing but words: blanks separate them;
// single quotes, double quotes and backslashes quote and are removed.
// nullopt when the shell would do more than that with the line (an
// unquoted $ ` ; | & < > ( ) * ? [ or newline, a ~ or # at the start of a
// word, a $ or ` between double quotes), when a quote is left open, or when
// the line holds a NUL byte (the shell would get only the text before it).
std::optional<std::vector<std::string>> SplitShellWords(std::string_view line);

}  // namespace orvanta::fuzz
