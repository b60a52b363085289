// Password quality from the host's libpwquality, loaded with dlopen on the
// first page of a run that sets a password (the other pages never load it):
// the host's pwquality.conf (PWQUALITY_CONF names another), no GECOS check
// (it would look the account up in this host's database, where a new one
// is not yet), the account's name as the user, and the words of its
// comment and of the BADWORDS file as bad words. Generated passwords come
// from the same library and pass the same check.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cgi/cgi.h"
#include "store/store.h"
#include "store/store_texts.h"

namespace orvanta {

namespace {

constexpr char kLibrary[] = "libpwquality.so.1";
// What the library reads when no PWQUALITY_CONF names another (and its .d).
constexpr char kHostConfig[] = "/etc/security/pwquality.conf";
// Where cracklib keeps its dictionary on Debian, when the settings name none.
constexpr char kDefaultDictionary[] = "/var/cache/cracklib/cracklib_dict";
constexpr const char* kDictionaryFiles[] = {".pwd", ".pwi"};
constexpr int kGeneratedBits = 64;
constexpr int kGenerateTries = 5;
constexpr size_t kMaxBadWordsBytes = size_t{1} << 20;
constexpr char kWordSeparators[] = " \t\r\n,";

// libpwquality's settings and results (pwquality.h), fixed by its ABI.
constexpr int kSettingDictPath = 10;
constexpr int kSettingGecosCheck = 12;
constexpr int kSettingBadWords = 13;
constexpr int kSettingDictCheck = 15;
constexpr int kErrorConfigMissing = -3;

struct Refusal {
  int code;
  const char* text;
};

constexpr Refusal kRefusals[] = {
    {-14, kQualityTooShort},      {-10, kQualityDigits},      {-11, kQualityUppers},
    {-12, kQualityLowers},        {-13, kQualityOthers},      {-18, kQualityClasses},
    {-19, kQualityRepeated},      {-27, kQualityClassRepeated}, {-29, kQualitySequence},
    {-15, kQualityPalindrome},    {-22, kQualityDictionary},  {-25, kQualityUserName},
    {-28, kQualityBadWords},
};

struct Settings;  // pwquality_settings_t

struct Library {
  Settings* (*default_settings)();
  void (*free_settings)(Settings*);
  int (*read_config)(Settings*, const char*, void**);
  int (*set_int)(Settings*, int, int);
  int (*get_int)(Settings*, int, int*);
  int (*set_str)(Settings*, int, const char*);
  int (*get_str)(Settings*, int, const char**);
  int (*check)(Settings*, const char*, const char*, const char*, void**);
  int (*generate)(Settings*, int, char**);
};

struct Quality {
  Quality() = default;
  Quality(const Quality&) = delete;
  Quality& operator=(const Quality&) = delete;
  ~Quality() {
    if (settings != nullptr) library.free_settings(settings);
  }
  Library library{};
  Settings* settings = nullptr;
  std::string bad_words;  // pwquality.conf's and BADWORDS'
  std::string config_setting, bad_words_setting;  // what it was loaded for
};

template <typename Function>
bool Bind(void* handle, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(handle, name));
  return function != nullptr;
}

bool LoadLibrary(Library& library) {
  void* handle = dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return false;
  return Bind(handle, "pwquality_default_settings", library.default_settings) &&
         Bind(handle, "pwquality_free_settings", library.free_settings) &&
         Bind(handle, "pwquality_read_config", library.read_config) &&
         Bind(handle, "pwquality_set_int_value", library.set_int) &&
         Bind(handle, "pwquality_get_int_value", library.get_int) &&
         Bind(handle, "pwquality_set_str_value", library.set_str) &&
         Bind(handle, "pwquality_get_str_value", library.get_str) &&
         Bind(handle, "pwquality_check", library.check) &&
         Bind(handle, "pwquality_generate", library.generate);
}

bool Readable(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  close(fd);
  return true;
}

// cracklib without its dictionary refuses every password and writes to
// stderr on every check: the check is turned off instead, with one line.
void TurnOffMissingDictionary(Quality& quality) {
  int on = 0;
  if (quality.library.get_int(quality.settings, kSettingDictCheck, &on) != 0 || on == 0) return;
  const char* path = nullptr;
  quality.library.get_str(quality.settings, kSettingDictPath, &path);
  const std::string dictionary = path != nullptr && *path != '\0' ? path : kDefaultDictionary;
  for (const char* suffix : kDictionaryFiles) {
    if (Readable(dictionary + suffix)) continue;
    quality.library.set_int(quality.settings, kSettingDictCheck, 0);
    ErrorLogLine("password quality: no dictionary " + Printable(dictionary + suffix) +
                 ": the dictionary check is off");
    return;
  }
}

// BADWORDS names words of a program run as root: as cfg_file.cfg, a
// set-user-ID run takes them only from a regular file of root's that group
// and others cannot write.
bool IsTrustedWordFile(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return false;
  return !SecureRun() || (info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0);
}

std::string BadWordsFile() {
  const std::string& path = Setting("BADWORDS");
  if (path.empty()) return "";
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  struct stat info {};
  std::string words;
  const char* refusal = nullptr;
  if (fd < 0) {
    refusal = "cannot be opened";
  } else if (fstat(fd, &info) != 0 || !IsTrustedWordFile(info)) {
    refusal = "is not a regular file of root's that only root may write";
  } else if (static_cast<size_t>(info.st_size) > kMaxBadWordsBytes) {
    refusal = "is larger than 1 MiB";
  } else {
    words.resize(static_cast<size_t>(info.st_size));
    const ssize_t got = read(fd, words.data(), words.size());
    words.resize(got < 0 ? 0 : static_cast<size_t>(got));
  }
  if (fd >= 0) close(fd);
  if (refusal != nullptr) {
    ErrorLogLine("password quality: BADWORDS " + Printable(path) + " " + refusal + ": ignored");
  }
  return words;
}

// Blanks, line ends and commas between words become single blanks, as
// the library takes its list.
std::string WordList(const std::string& text) {
  std::string list;
  size_t at = text.find_first_not_of(kWordSeparators);
  while (at != std::string::npos) {
    const size_t end = text.find_first_of(kWordSeparators, at);
    if (!list.empty()) list += ' ';
    list += text.substr(at, end - at);
    at = text.find_first_not_of(kWordSeparators, end);
  }
  return list;
}

std::unique_ptr<Quality> Load() {
  auto quality = std::make_unique<Quality>();
  if (!LoadLibrary(quality->library)) {
    ErrorLogLine(std::string("password quality: ") + kLibrary + " cannot be loaded");
    return nullptr;
  }
  Library& library = quality->library;
  quality->settings = library.default_settings();
  if (quality->settings == nullptr) return nullptr;
  const std::string& config = Setting("PWQUALITY_CONF");
  quality->config_setting = config;
  quality->bad_words_setting = Setting("BADWORDS");
  const int status =
      library.read_config(quality->settings, config.empty() ? nullptr : config.c_str(), nullptr);
  if (status != 0 && (status != kErrorConfigMissing || !config.empty())) {
    ErrorLogLine("password quality: " + Printable(config.empty() ? kHostConfig : config) +
                 " not read: error " + std::to_string(status));
  }
  library.set_int(quality->settings, kSettingGecosCheck, 0);
  TurnOffMissingDictionary(*quality);
  const char* configured = nullptr;
  library.get_str(quality->settings, kSettingBadWords, &configured);
  quality->bad_words = WordList((configured != nullptr ? configured : std::string()) + " " +
                                BadWordsFile());
  return quality;
}

// Loaded on first use, once per run (again only for other settings, which
// in-process tests give).
Quality* RunQuality() {
  static std::unique_ptr<Quality> quality;
  static bool loaded = false;
  if (!loaded || (quality != nullptr && (quality->config_setting != Setting("PWQUALITY_CONF") ||
                                         quality->bad_words_setting != Setting("BADWORDS")))) {
    quality = Load();
    loaded = true;
  }
  return quality.get();
}

const char* RefusalText(int code) {
  for (const Refusal& refusal : kRefusals) {
    if (refusal.code == code) return refusal.text;
  }
  return kQualityUnchecked;
}

PasswordVerdict Check(Quality& quality, const std::string& password, const std::string& name,
                      const std::string& comment) {
  const std::string words = WordList(quality.bad_words + " " + comment);
  if (quality.library.set_str(quality.settings, kSettingBadWords, words.c_str()) != 0) {
    return {-1, kQualityUnchecked};
  }
  const int result =
      quality.library.check(quality.settings, password.c_str(), nullptr, name.c_str(), nullptr);
  if (result < 0) return {-1, RefusalText(result)};
  return {result, nullptr};
}

}  // namespace

PasswordVerdict CheckPasswordQuality(const std::string& password, const std::string& name,
                                     const std::string& comment) {
  Quality* quality = RunQuality();
  if (quality == nullptr) return {-1, kQualityUnchecked};
  return Check(*quality, password, name, comment);
}

std::string GeneratePassword(const std::string& name, const std::string& comment,
                             PasswordVerdict& verdict) {
  Quality* quality = RunQuality();
  if (quality == nullptr) return "";
  for (int attempt = 0; attempt < kGenerateTries; ++attempt) {
    char* made = nullptr;
    if (quality->library.generate(quality->settings, kGeneratedBits, &made) != 0 ||
        made == nullptr) {
      continue;
    }
    std::string password = made;
    explicit_bzero(made, std::strlen(made));
    std::free(made);
    verdict = Check(*quality, password, name, comment);
    if (verdict.refusal == nullptr) return password;
  }
  return "";
}

}  // namespace orvanta
