// The forms' field checks, repeated on the server: a hand-made request is
// held to the same rules as the scripts, with the same messages. Characters
// are counted as the browser counts them in an EUC-JP page.
#include <algorithm>
#include <cstring>

#include "page/page.h"
#include "page/scripts_texts.h"

namespace orvanta {

namespace {

constexpr char kNameChars[] = "abcdefghijklmnopqrstuvwxyz0123456789_-+.";
constexpr std::string_view kIdeographicSpace = "\xA1\xA1";

// Bytes of one EUC-JP character starting at `pos`: SS2 and one byte, SS3 and
// two, a two-byte JIS X 0208 character, or one byte.
size_t CharWidth(std::string_view text, size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  size_t width = 1;
  if (lead == 0x8E || (lead >= 0xA1 && lead <= 0xFE)) width = 2;
  if (lead == 0x8F) width = 3;
  return std::min(width, text.size() - pos);
}

std::vector<std::string_view> Characters(std::string_view text) {
  std::vector<std::string_view> out;
  for (size_t pos = 0; pos < text.size();) {
    const size_t width = CharWidth(text, pos);
    out.push_back(text.substr(pos, width));
    pos += width;
  }
  return out;
}

// isNaN(c) is false for a digit and for every character that Number() reads
// as white space (it converts to 0).
bool LooksLikeDigit(std::string_view c) {
  if (c == kIdeographicSpace) return true;
  return c.size() == 1 && std::strchr("0123456789 \t\n\v\f\r", c[0]) != nullptr;
}

bool IsNameChar(std::string_view c) {
  return c.size() == 1 && std::strchr(kNameChars, c[0]) != nullptr;
}

struct NameTexts {
  const char* empty;
  const char* digit;
  const char* length;
  const char* char_before;
};

std::string NameProblem(std::string_view name, const NameTexts& texts) {
  if (name.empty()) return texts.empty;
  const std::vector<std::string_view> chars = Characters(name);
  if (LooksLikeDigit(chars.front())) return texts.digit;
  if (chars.size() < 3 || chars.size() > 8) return texts.length;
  const auto refused = std::find_if_not(chars.begin(), chars.end(), IsNameChar);
  if (refused != chars.end()) {
    return std::string(texts.char_before) + Html(*refused) + kNameCharAfter;
  }
  // "..." would name a directory above the homes, not an account.
  if (name.find_first_not_of('.') == std::string_view::npos) {
    return std::string(texts.char_before) + "." + kNameCharAfter;
  }
  return "";
}

// Refused by the scripts' range test: before `lowest` or after '}' (so every
// non-ASCII byte), or ':' which separates the account database's fields.
std::string TextProblem(std::string_view text, char lowest, const char* char_text,
                        const char* colon_text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < static_cast<unsigned char>(lowest) || byte > '}') return char_text;
    if (c == ':') return colon_text;
  }
  return "";
}

}  // namespace

std::string UserNameProblem(std::string_view name) {
  return NameProblem(name, {kUserNameEmpty, kUserNameDigit, kUserNameLength, kUserNameCharBefore});
}

std::string GroupNameProblem(std::string_view name) {
  return NameProblem(name,
                     {kGroupNameEmpty, kGroupNameDigit, kGroupNameLength, kGroupNameCharBefore});
}

std::string PasswordProblem(std::string_view pass, int max_length) {
  if (pass.empty()) return kPassEmpty;
  const size_t length = Characters(pass).size();
  if (length < 6 || length > static_cast<size_t>(max_length)) {
    return max_length == kLongPasswordMax ? kPassLengthLong : kPassLengthShort;
  }
  size_t lower = 0;
  size_t upper = 0;
  size_t digits = 0;
  for (char c : pass) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < '!' || byte > '}') return kPassChar;
    if (c >= 'a' && c <= 'z') ++lower;
    if (c >= 'A' && c <= 'Z') ++upper;
    if (c >= '0' && c <= '9') ++digits;
  }
  if (lower == length || upper == length || digits == length) {
    return std::string(kPassSimple1) + "<BR>\n" + kPassSimple2;
  }
  return "";
}

std::string CommentProblem(std::string_view gcos) {
  return TextProblem(gcos, ' ', kGcosChar, kGcosColon);
}

std::string HomeDirProblem(std::string_view dir) {
  return TextProblem(dir, '!', kDirChar, kDirColon);
}

bool IsAboveSystemIds(std::uint32_t id, std::uint32_t threshold) {
  return id > threshold && !IsReservedId(id);
}

std::string IdNotNumberProblem(IdKind kind) {
  return kind == IdKind::User ? kUidNotNumber : kGidNotNumber;
}

std::string IdValueProblem(std::uint32_t id, std::uint32_t threshold, IdKind kind) {
  const std::string label = (kind == IdKind::User ? kUidLabel : kGidLabel) + std::to_string(id);
  if (IsReservedId(id)) return label + kReservedIdEnd + "<BR>\n" + kCannotRegister;
  if (id <= threshold) {
    return label + kSystemIdMiddle + std::to_string(threshold) + kSystemIdEnd + "<BR>\n" +
           kCannotRegister;
  }
  return "";
}

std::string IdProblem(std::string_view text, std::uint32_t threshold, IdKind kind) {
  if (text.empty()) return "";
  const std::optional<std::uint32_t> id = ParseId(text);
  if (!id) return IdNotNumberProblem(kind);
  return IdValueProblem(*id, threshold, kind);
}

std::string GroupMissingProblem(std::string_view group) {
  return kGroupMissingBefore + Html(group) + kGroupMissingAfter;
}

std::optional<long> ParseDays(std::string_view text) {
  if (text == "-1") return -1;
  if (text.empty() || text.size() > 5 ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  return std::stol(std::string(text));
}

std::string DaysProblem(std::string_view text, const char* label) {
  return ParseDays(text) ? "" : std::string(label) + kDaysRangeAfter;
}

std::string ExpiryDateProblem(std::string_view text) {
  if (text.empty()) return "";
  const std::optional<long> days = DaysOfDate(text);
  if (!days) return kExpireNotDate;
  return *days <= kLockedExpiryDays ? kExpireTooEarly : "";
}

}  // namespace orvanta
