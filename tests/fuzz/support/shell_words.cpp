#include "tests/fuzz/support/shell_words.h"

namespace orvanta::fuzz {

namespace {

constexpr std::string_view kBlanks = " \t";
// Unquoted, each of these starts an expansion, a pattern, a redirection or
// another command.
constexpr std::string_view kUnquotedSpecial = "$`;|&<>()*?[\n";
// Only at the start of a word: tilde expansion and a comment.
constexpr std::string_view kWordStartSpecial = "~#";
// Between double quotes a backslash quotes only these.
constexpr std::string_view kDoubleQuoteEscapable = "$`\"\\\n";

bool Holds(std::string_view set, char c) { return set.find(c) != std::string_view::npos; }

// Reads the quoted text after the opening quote at `pos` into `word`;
// returns the position of the closing quote, or npos.
size_t ReadSingleQuoted(std::string_view line, size_t pos, std::string& word) {
  const size_t close = line.find('\'', pos + 1);
  if (close != std::string_view::npos) word.append(line.substr(pos + 1, close - pos - 1));
  return close;
}

size_t ReadDoubleQuoted(std::string_view line, size_t pos, std::string& word) {
  for (size_t read = pos + 1; read < line.size(); ++read) {
    const char c = line[read];
    if (c == '"') return read;
    if (c == '$' || c == '`') return std::string_view::npos;
    if (c == '\\' && read + 1 < line.size() && Holds(kDoubleQuoteEscapable, line[read + 1])) {
      if (line[read + 1] == '\n') return std::string_view::npos;  // a continued line
      word += line[++read];
    } else {
      word += c;
    }
  }
  return std::string_view::npos;
}

}  // namespace

std::optional<std::vector<std::string>> SplitShellWords(std::string_view line) {
  if (line.find('\0') != std::string_view::npos) return std::nullopt;
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (size_t pos = 0; pos < line.size(); ++pos) {
    const char c = line[pos];
    if (Holds(kBlanks, c)) {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
      continue;
    }
    if (Holds(kUnquotedSpecial, c) || (!in_word && Holds(kWordStartSpecial, c))) {
      return std::nullopt;
    }
    in_word = true;
    if (c == '\\') {
      if (pos + 1 >= line.size() || line[pos + 1] == '\n') return std::nullopt;
      word += line[++pos];
    } else if (c == '\'' || c == '"') {
      pos = c == '\'' ? ReadSingleQuoted(line, pos, word) : ReadDoubleQuoted(line, pos, word);
      if (pos == std::string_view::npos) return std::nullopt;
    } else {
      word += c;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

}  // namespace orvanta::fuzz
