// cfg_file.cfg: "KEY=value" lines stored into gCGIData after the request, so
// that a setting always wins over a parameter of the same name; and the
// settings that take only a few words.
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <iterator>
#include <optional>
#include <cstdio>
#include <memory>

#include "cgi/cgi.h"

namespace orvanta {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Set-user-ID root trusts the settings only when nobody but root can have
// written them: the file names the programs that will run as root.
bool IsTrustedForSetuid(std::FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return false;
  return S_ISREG(info.st_mode) && info.st_uid == 0 &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void StoreConfigLine(std::string line) {
  const size_t cr = line.find('\r');
  if (cr != std::string::npos) line.resize(cr);
  const size_t lf = line.find('\n');
  if (lf != std::string::npos) line.resize(lf);
  if (line.empty() || line[0] == '#') return;
  const size_t equals = line.find('=');
  if (equals == std::string::npos) return;  // neither entry nor comment
  SetParam(line.substr(0, equals), line.substr(equals + 1));
}

// The words a strict setting takes: missing or empty reads as the first.
constexpr std::string_view kYesNoWords[] = {"NO", "YES"};
constexpr std::string_view kAccountsWords[] = {"tools", "ldap"};
// Where WordOf finds none of the words.
constexpr size_t kNoWord = 2;

struct StrictSetting {
  SettingName name;
  const std::string_view* words;
  const char* unreadable;  // what the program does then
};

constexpr StrictSetting kStrictSettings[] = {
    {"USE_CRYPT", kYesNoWords, "no password is set"},
    {"REQUIRE_AUTH", kYesNoWords, "every request is refused"},
    {"LDAP_STARTTLS", kYesNoWords, "the directory is not reached"},
    {"ACCOUNTS", kAccountsWords, "no account is changed"},
    {"AUTH_BASIC", kYesNoWords, "Basic credentials are ignored"},
    {"REQUIRE_HTTPS", kYesNoWords, "every sign-in and session without HTTPS is refused"},
};

struct MinutesSetting {
  SettingName name;
  long default_minutes;
};

constexpr MinutesSetting kMinutesSettings[] = {
    {"SESSION_IDLE", kDefaultSessionIdleMinutes},
    {"SESSION_MAX", kDefaultSessionMaxMinutes},
};

// 0 or 1: which of the two words the setting holds; kNoWord for neither.
size_t WordOf(SettingName name, const std::string_view* words) {
  const std::string& value = Setting(name);
  if (value.empty() || value == words[0]) return 0;
  return value == words[1] ? 1 : kNoWord;
}

// LIST_PAGE_SIZE as a whole number; nullopt for anything else.
std::optional<size_t> PageSizeValue() {
  const std::string& text = Setting("LIST_PAGE_SIZE");
  if (text.empty()) return 0;
  size_t value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

// A minutes setting as a number; nullopt for a bad value, 0 when unset.
std::optional<long> MinutesValue(SettingName name) {
  const std::string& text = Setting(name);
  if (text.empty()) return 0;
  long value = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end || value < 1 || value > kMaxSessionMinutes) {
    return std::nullopt;
  }
  return value;
}

long Minutes(const MinutesSetting& setting) {
  const long value = MinutesValue(setting.name).value_or(0);
  return value > 0 ? value : setting.default_minutes;
}

constexpr std::string_view kTotpWords[] = {"off", "optional", "required"};

std::optional<TotpMode> TotpValue() {
  const std::string& value = Setting("TOTP");
  if (value.empty()) return TotpMode::Optional;
  for (size_t i = 0; i < std::size(kTotpWords); ++i) {
    if (value == kTotpWords[i]) return static_cast<TotpMode>(i);
  }
  return std::nullopt;
}

bool IsListSystemWord(const std::string& value) {
  return value.empty() || value == "YES" || value == "NO";
}

}  // namespace

size_t ListPageSize() { return PageSizeValue().value_or(0); }

bool ListsSystemIds() { return Setting("LIST_SYSTEM") != "NO"; }

long SessionIdleMinutes() { return Minutes(kMinutesSettings[0]); }

long SessionMaxMinutes() { return Minutes(kMinutesSettings[1]); }

TotpMode TotpSetting() { return TotpValue().value_or(TotpMode::Required); }

YesNo YesNoSetting(SettingName name) { return static_cast<YesNo>(WordOf(name, kYesNoWords)); }

AccountsBackend AccountsSetting() {
  return static_cast<AccountsBackend>(WordOf("ACCOUNTS", kAccountsWords));
}

void ReportInvalidSettings() {
  for (const StrictSetting& setting : kStrictSettings) {
    if (WordOf(setting.name, setting.words) != kNoWord) continue;
    ErrorLogLine(std::string(setting.name.c_str()) + "=" + Printable(Setting(setting.name)) +
                 " is none of " + std::string(setting.words[0]) + ", " +
                 std::string(setting.words[1]) + " or empty: " + setting.unreadable);
  }
  if (!PageSizeValue()) {
    ErrorLogLine("LIST_PAGE_SIZE=" + Printable(Setting("LIST_PAGE_SIZE")) +
                 " is no whole number: every row on one page");
  }
  for (const MinutesSetting& setting : kMinutesSettings) {
    if (MinutesValue(setting.name)) continue;
    ErrorLogLine(std::string(setting.name.c_str()) + "=" + Printable(Setting(setting.name)) +
                 " is no whole number of minutes from 1 to " +
                 std::to_string(kMaxSessionMinutes) + ": " +
                 std::to_string(setting.default_minutes));
  }
  if (!IsListSystemWord(Setting("LIST_SYSTEM"))) {
    ErrorLogLine("LIST_SYSTEM=" + Printable(Setting("LIST_SYSTEM")) +
                 " is none of YES, NO or empty: the system's ids are listed");
  }
  if (!TotpValue()) {
    ErrorLogLine("TOTP=" + Printable(Setting("TOTP")) +
                 " is none of off, optional, required or empty: every operator needs a code");
  }
}

bool ReadConfigFile(const char* path) {
  File file(std::fopen(path, "r"));
  if (!file) return false;
  if (getuid() != geteuid() && !IsTrustedForSetuid(file.get())) return false;

  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  while ((length = getline(&buffer, &capacity, file.get())) > 0) {
    StoreConfigLine(std::string(buffer, static_cast<size_t>(length)));
  }
  std::free(buffer);
  return true;
}

}  // namespace orvanta
