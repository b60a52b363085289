// The authorized keys field: each line checked on its own. sshd refuses a
// whole line for one option it does not know, and `ssh-keygen -l` reads
// past a garbage line and accepts any option, so the options are parsed
// here against a short list and only the key itself goes to ssh-keygen,
// run as nobody, one line at a time.
#include <algorithm>
#include <array>
#include <cctype>

#include "hosttools/hosttools.h"
#include "page/page.h"
#include "user/keys_texts.h"
#include "user/user.h"

namespace orvanta {

namespace {

constexpr char kKeyReadLine[] = "ssh-keygen -l -f /dev/stdin";
constexpr size_t kMinRsaBits = 2048;

// The key types a line may start with (after its options), and the types
// ssh-keygen names them by.
constexpr std::array<std::string_view, 7> kKeyTypes = {
    "ssh-ed25519",          "ecdsa-sha2-nistp256", "ecdsa-sha2-nistp384",
    "ecdsa-sha2-nistp521",  "sk-ssh-ed25519@openssh.com",
    "sk-ecdsa-sha2-nistp256@openssh.com", "ssh-rsa"};
constexpr std::array<std::string_view, 5> kReportedTypes = {"(ED25519)", "(ECDSA)",
                                                            "(ED25519-SK)", "(ECDSA-SK)", "(RSA)"};
constexpr std::string_view kRsaReported = "(RSA)";

// Options without a value, and options whose value is quoted.
constexpr std::array<std::string_view, 7> kFlagOptions = {
    "restrict",   "no-agent-forwarding", "no-port-forwarding", "no-pty",
    "no-user-rc", "no-x11-forwarding",   "no-touch-required"};
constexpr std::array<std::string_view, 3> kValueOptions = {"from", "expiry-time", "command"};
constexpr std::array<std::string_view, 1> kExpiryOption = {"expiry-time"};

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool Listed(std::string_view word, auto list, bool any_case) {
  return std::any_of(list.begin(), list.end(), [&](std::string_view known) {
    return known.size() == word.size() &&
           std::equal(known.begin(), known.end(), word.begin(), [&](char a, char b) {
             return any_case ? a == std::tolower(static_cast<unsigned char>(b)) : a == b;
           });
  });
}

std::string_view FirstWord(std::string_view text) {
  return text.substr(0, std::min(text.find_first_of(" \t"), text.size()));
}

// expiry-time takes YYYYMMDD, YYYYMMDDHHMM or YYYYMMDDHHMMSS, with an
// optional Z.
bool IsExpiryTime(std::string_view value) {
  if (!value.empty() && value.back() == 'Z') value.remove_suffix(1);
  return (value.size() == 8 || value.size() == 12 || value.size() == 14) &&
         std::all_of(value.begin(), value.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
}

// The options at the start of `line` as sshd reads them: names joined by
// commas, a value in double quotes with \" for a quote inside, up to the
// first blank outside quotes. Sets `rest` to the key that follows; returns
// the problem, or "".
std::string OptionsProblem(std::string_view line, size_t number, std::string_view& rest) {
  size_t pos = 0;
  while (true) {
    const size_t name_end = std::min(line.find_first_of("=, \t", pos), line.size());
    const std::string_view name = line.substr(pos, name_end - pos);
    pos = name_end;
    std::string value;
    const bool has_value = pos < line.size() && line[pos] == '=';
    if (has_value) {
      if (++pos >= line.size() || line[pos] != '"') return FormatText(kKeyQuotingFormat, number);
      for (++pos; pos < line.size() && line[pos] != '"'; ++pos) {
        if (line[pos] == '\\' && pos + 1 < line.size() && line[pos + 1] == '"') ++pos;
        value += line[pos];
      }
      if (pos++ >= line.size()) return FormatText(kKeyQuotingFormat, number);
    }
    const bool allowed = has_value ? Listed(name, kValueOptions, true) &&
                                         (!Listed(name, kExpiryOption, true) || IsExpiryTime(value))
                                   : Listed(name, kFlagOptions, true);
    if (!allowed) return FormatText(kKeyOptionRefusedFormat, number, Html(name).c_str());
    if (pos >= line.size()) return FormatText(kKeyTypeRefusedFormat, number);
    if (IsBlank(line[pos])) break;
    if (line[pos] != ',') return FormatText(kKeyQuotingFormat, number);
    ++pos;
  }
  while (pos < line.size() && IsBlank(line[pos])) ++pos;
  rest = line.substr(pos);
  return "";
}

// ssh-keygen's one line for a key: "BITS SHA256:... COMMENT (TYPE)\n".
struct KeyReport {
  size_t bits = 0;
  std::string fingerprint;
  std::string_view type;
};

std::optional<KeyReport> ReadKey(std::string_view key) {
  std::string output;
  if (RunCommandLineAsNobody(kKeyReadLine, std::string(key) + "\n", output) != 0) return {};
  if (output.empty() || output.back() != '\n' || output.find('\n') != output.size() - 1) {
    return {};
  }
  output.pop_back();
  std::string_view line = output;
  KeyReport report;
  size_t digits = 0;
  while (digits < line.size() && std::isdigit(static_cast<unsigned char>(line[digits])) &&
         digits < 6) {
    report.bits = report.bits * 10 + static_cast<size_t>(line[digits++] - '0');
  }
  if (digits == 0 || digits >= line.size() || line[digits] != ' ') return {};
  const std::string_view fingerprint = FirstWord(line.substr(digits + 1));
  if (!fingerprint.starts_with("SHA256:")) return {};
  report.fingerprint = fingerprint;
  const size_t type_start = line.rfind(' ');
  report.type = line.substr(type_start + 1);
  const auto known = std::find(kReportedTypes.begin(), kReportedTypes.end(), report.type);
  if (known == kReportedTypes.end()) return {};
  report.type = *known;
  return report;
}

bool HasControlBytes(std::string_view line) {
  return std::any_of(line.begin(), line.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return (byte < 0x20 && c != '\t') || byte == 0x7f;
  });
}

std::string_view Trimmed(std::string_view line) {
  while (!line.empty() && (IsBlank(line.front()) || line.front() == '\r')) line.remove_prefix(1);
  while (!line.empty() && (IsBlank(line.back()) || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

// As sshd reads a line: options come first when its first word is no key
// type; a lone word (ssh-dss, garbage) counts as a key type, unless it has
// the signs of options or a key type follows it.
bool StartsWithOptions(std::string_view line) {
  const std::string_view first = FirstWord(line);
  if (Listed(first, kKeyTypes, false)) return false;
  std::string_view after = line.substr(first.size());
  while (!after.empty() && IsBlank(after.front())) after.remove_prefix(1);
  return first.find_first_of("=,\"") != std::string_view::npos ||
         Listed(FirstWord(after), kKeyTypes, false);
}

// One line that is neither blank nor a comment.
std::string KeyLineProblem(std::string_view line, size_t number, std::string& fingerprint) {
  if (line.size() > kMaxKeyLineBytes) return FormatText(kKeyLineTooLongFormat, number);
  if (HasControlBytes(line)) return FormatText(kKeyTypeRefusedFormat, number);
  std::string_view key = line;
  if (StartsWithOptions(line)) {
    if (std::string problem = OptionsProblem(line, number, key); !problem.empty()) return problem;
  }
  if (!Listed(FirstWord(key), kKeyTypes, false)) return FormatText(kKeyTypeRefusedFormat, number);
  const std::optional<KeyReport> report = ReadKey(key);
  if (!report) return FormatText(kKeyTypeRefusedFormat, number);
  if (report->type == kRsaReported && report->bits < kMinRsaBits) {
    return FormatText(kKeyShortRsaFormat, number);
  }
  fingerprint = report->fingerprint;
  return "";
}

}  // namespace

std::string KeyFingerprint(std::string_view line) {
  std::string fingerprint;
  return KeyLineProblem(Trimmed(line), 0, fingerprint).empty() ? fingerprint : "";
}

KeyCheck CheckAuthorizedKeys(std::string_view field) {
  KeyCheck check;
  size_t number = 0;
  size_t keys = 0;
  while (!field.empty()) {
    const size_t end = std::min(field.find('\n'), field.size());
    const std::string_view line = Trimmed(field.substr(0, end));
    field.remove_prefix(std::min(end + 1, field.size()));
    ++number;
    if (line.empty()) continue;
    AuthorizedKey key{std::string(line), ""};
    if (line.front() != '#') {
      if (++keys > kMaxAuthorizedKeys) {
        check.problem = FormatText(kKeyTooManyFormat, kMaxAuthorizedKeys);
        break;
      }
      check.problem = KeyLineProblem(line, number, key.fingerprint);
      if (!check.problem.empty()) break;
    }
    check.keys.push_back(std::move(key));
  }
  if (!check.problem.empty()) check.keys.clear();
  return check;
}

}  // namespace orvanta
