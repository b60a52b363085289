// The host's records of logins. Debian 12's lastlog is read by hand: a
// fixed-size record per uid, so a page reads only its own rows' records.
// Debian 13 keeps them in SQLite databases whose formats belong to their
// libraries: liblastlog2 (one entry per name) and libwtmpdb (a log of every
// login, rotated), loaded with dlopen here and nowhere else. Both open only
// the path they are given, which comes from the settings file or is the
// packages' own; the set-user-ID run has dropped the caller's environment
// before any of them runs.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "cgi/cgi.h"
#include "store/store.h"

namespace orvanta {

namespace {

constexpr char kLastlogPath[] = "/var/log/lastlog";
constexpr char kLastlog2Path[] = "/var/lib/lastlog/lastlog2.db";
constexpr char kWtmpdbPath[] = "/var/lib/wtmpdb/wtmp.db";
constexpr char kLastlog2Library[] = "liblastlog2.so.2";
constexpr char kWtmpdbLibrary[] = "libwtmpdb.so.0";

// struct lastlog on Debian's 64-bit architectures: a 32-bit time, then the
// line (32 bytes) and the host (256 bytes).
constexpr off_t kLastlogRecordSize = 4 + 32 + 256;

// Above this many accounts lastlog2 is read whole rather than one name at
// a time (each read opens the database).
constexpr size_t kLastlog2ReadsPerName = 1000;

// wtmpdb's entry of a login (its header's USER_PROCESS), times in µs.
constexpr char kWtmpdbLoginType[] = "3";
constexpr std::int64_t kMicrosecondsPerSecond = 1000000;

struct RecordsPlace {
  LoginRecords records;
  std::string path;
};

constexpr std::pair<LoginRecords, std::string_view> kRecordKinds[] = {
    {LoginRecords::Lastlog, "lastlog:"},
    {LoginRecords::Lastlog2, "lastlog2:"},
    {LoginRecords::Wtmpdb, "wtmpdb:"},
};

bool Exists(const char* path) { return access(path, F_OK) == 0; }

// LASTLOG as KIND:PATH, an absolute path; nullopt (with a line on stderr)
// for anything else.
std::optional<RecordsPlace> ConfiguredPlace(const std::string& setting) {
  for (const auto& [records, prefix] : kRecordKinds) {
    if (setting.starts_with(prefix) && setting.size() > prefix.size() &&
        setting[prefix.size()] == '/') {
      return RecordsPlace{records, setting.substr(prefix.size())};
    }
  }
  ErrorLogLine("LASTLOG is not lastlog:PATH, lastlog2:PATH or wtmpdb:PATH: " + Printable(setting));
  return std::nullopt;
}

std::optional<RecordsPlace> RecordsOfHost() {
  if (HasSetting("LASTLOG")) return ConfiguredPlace(Setting("LASTLOG"));
  if (Exists(kLastlog2Path)) return RecordsPlace{LoginRecords::Lastlog2, kLastlog2Path};
  if (Exists(kWtmpdbPath)) return RecordsPlace{LoginRecords::Wtmpdb, kWtmpdbPath};
  return RecordsPlace{LoginRecords::Lastlog, kLastlogPath};
}

void LogUnreadable(const std::string& path, std::string_view why) {
  ErrorLogLine("login records " + Printable(path) + ": " + std::string(why));
}

// The library's message, which it allocated, as text; freed.
std::string TakeMessage(char* message) {
  std::string text = message == nullptr ? "failed" : message;
  std::free(message);
  return text;
}

bool ReadLastlog(const std::string& path, const std::vector<LoginAccount>& accounts,
                 LastLogins& logins) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    LogUnreadable(path, std::strerror(errno));
    return false;
  }
  bool read = true;
  for (const LoginAccount& account : accounts) {
    std::int32_t time = 0;
    const ssize_t got =
        pread(fd, &time, sizeof time, static_cast<off_t>(account.uid) * kLastlogRecordSize);
    if (got < 0) {
      LogUnreadable(path, std::strerror(errno));
      read = false;
      break;
    }
    // Past the end of the file, or a zero time: never logged in.
    if (got == sizeof time && time != 0) logins.times.emplace(account.name, time);
  }
  close(fd);
  return read;
}

// A library loaded for the rest of the run; nullptr (with a line on
// stderr) when it is missing.
void* OpenLibrary(const char* soname) {
  void* library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) ErrorLogLine(dlerror());
  return library;
}

// One of its functions; nullptr (with a line on stderr) when it has none
// of the name, and without a line when the library is missing.
template <typename Function>
Function* LibrarySymbol(void* library, const char* name) {
  if (library == nullptr) return nullptr;
  void* symbol = dlsym(library, name);
  if (symbol == nullptr) ErrorLogLine(dlerror());
  return reinterpret_cast<Function*>(symbol);
}

// liblastlog2's interface (lastlog2.h).
struct Ll2Context;
using Ll2NewContext = Ll2Context*(const char* path);
using Ll2UnrefContext = void(Ll2Context* context);
using Ll2ReadEntry = int(Ll2Context* context, const char* user, std::int64_t* time, char** tty,
                         char** rhost, char** service, char** error);
using Ll2Visit = int(const char* user, std::int64_t time, const char* tty, const char* rhost,
                     const char* service, const char* error);
using Ll2ReadAll = int(Ll2Context* context, Ll2Visit* visit, char** error);

// ll2_read_all's callback takes no pointer of the caller's.
LastLogins* gLastlog2Filling = nullptr;

int KeepLastlog2Entry(const char* user, std::int64_t time, const char*, const char*, const char*,
                      const char*) {
  if (user != nullptr && time != 0) gLastlog2Filling->times.emplace(user, time);
  return 0;
}

bool ReadLastlog2(const std::string& path, const std::vector<LoginAccount>& accounts,
                  LastLogins& logins) {
  static void* const library = OpenLibrary(kLastlog2Library);
  static auto* const new_context = LibrarySymbol<Ll2NewContext>(library, "ll2_new_context");
  static auto* const unref = LibrarySymbol<Ll2UnrefContext>(library, "ll2_unref_context");
  static auto* const read_entry = LibrarySymbol<Ll2ReadEntry>(library, "ll2_read_entry");
  static auto* const read_all = LibrarySymbol<Ll2ReadAll>(library, "ll2_read_all");
  if (new_context == nullptr || unref == nullptr || read_entry == nullptr || read_all == nullptr) {
    return false;
  }
  if (!Exists(path.c_str())) {
    LogUnreadable(path, std::strerror(ENOENT));
    return false;
  }
  Ll2Context* context = new_context(path.c_str());
  if (context == nullptr) return false;
  bool read = true;
  char* error = nullptr;
  if (accounts.size() > kLastlog2ReadsPerName) {
    gLastlog2Filling = &logins;
    read = read_all(context, KeepLastlog2Entry, &error) == 0;
    gLastlog2Filling = nullptr;
    if (!read) LogUnreadable(path, TakeMessage(error));
  } else {
    for (const LoginAccount& account : accounts) {
      std::int64_t time = 0;
      char *tty = nullptr, *rhost = nullptr, *service = nullptr;
      const std::string name(account.name);
      const int result = read_entry(context, name.c_str(), &time, &tty, &rhost, &service, &error);
      for (char* text : {tty, rhost, service}) std::free(text);
      if (result == -ENOENT) {
        std::free(error);
        error = nullptr;
        continue;
      }
      if (result != 0) {
        LogUnreadable(path, TakeMessage(error));
        read = false;
        break;
      }
      if (time != 0) logins.times.emplace(account.name, time);
    }
  }
  unref(context);
  return read;
}

// libwtmpdb's interface (wtmpdb.h): every entry, newest first, as SQLite
// hands out rows.
using WtmpdbVisit = int(void* data, int columns, char** values, char** names);
using WtmpdbReadAll = int(const char* path, WtmpdbVisit* visit, void* data, char** error);

struct WtmpdbFilling {
  LastLogins* logins;
  const std::set<std::string_view, std::less<>>* wanted;
};

int KeepWtmpdbEntry(void* data, int columns, char** values, char** names) {
  auto& filling = *static_cast<WtmpdbFilling*>(data);
  const char *type = nullptr, *user = nullptr, *login = nullptr;
  for (int column = 0; column < columns; ++column) {
    const std::string_view name = names[column] == nullptr ? "" : names[column];
    if (name == "Type") type = values[column];
    if (name == "User") user = values[column];
    if (name == "Login") login = values[column];
  }
  if (login == nullptr) return 0;
  const std::int64_t seconds = std::strtoll(login, nullptr, 10) / kMicrosecondsPerSecond;
  // Newest first: the last row is the oldest the log keeps.
  filling.logins->since = seconds;
  if (type == nullptr || user == nullptr || std::strcmp(type, kWtmpdbLoginType) != 0) return 0;
  if (filling.wanted->count(user) != 0) filling.logins->times.emplace(user, seconds);
  return 0;
}

bool ReadWtmpdb(const std::string& path, const std::vector<LoginAccount>& accounts,
                LastLogins& logins) {
  static auto* const read_all =
      LibrarySymbol<WtmpdbReadAll>(OpenLibrary(kWtmpdbLibrary), "wtmpdb_read_all_v2");
  if (read_all == nullptr) return false;
  // A missing file would be made by SQLite.
  if (!Exists(path.c_str())) {
    LogUnreadable(path, std::strerror(ENOENT));
    return false;
  }
  std::set<std::string_view, std::less<>> wanted;
  for (const LoginAccount& account : accounts) wanted.insert(account.name);
  // An empty log knows nothing before now.
  logins.since = std::time(nullptr);
  WtmpdbFilling filling{&logins, &wanted};
  char* error = nullptr;
  if (read_all(path.c_str(), KeepWtmpdbEntry, &filling, &error) != 0) {
    LogUnreadable(path, TakeMessage(error));
    return false;
  }
  return true;
}

}  // namespace

LastLogins ReadLastLogins(const std::vector<LoginAccount>& accounts) {
  LastLogins logins;
  const std::optional<RecordsPlace> place = RecordsOfHost();
  if (!place) return logins;
  logins.records = place->records;
  switch (place->records) {
    case LoginRecords::Lastlog:
      logins.read = ReadLastlog(place->path, accounts, logins);
      break;
    case LoginRecords::Lastlog2:
      logins.read = ReadLastlog2(place->path, accounts, logins);
      break;
    case LoginRecords::Wtmpdb:
      logins.read = ReadWtmpdb(place->path, accounts, logins);
      break;
  }
  if (!logins.read) logins.times.clear();
  return logins;
}

}  // namespace orvanta
