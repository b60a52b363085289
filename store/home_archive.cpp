// The archive a deletion writes of a home before the home goes: tar's
// output into a new file of ARCHIVE_DIR that only root may read. Only a
// whole archive counts: tar's exit 0 (1 means a file changed while it was
// read) and the file on the disk; anything less removes the file, and the
// account stays.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "page/page.h"
#include "store/store.h"

namespace orvanta {

namespace {

constexpr char kDefaultTar[] = "/bin/tar";
// The archive goes to tar's standard output; "--" keeps a home whose name
// starts with '-' a name.
constexpr char kTarOptions[] = " -czf - -C ";
constexpr char kEndOfOptions[] = " -- ";
constexpr char kArchiveSuffix[] = ".tar.gz";
constexpr char kStampFormat[] = "-%Y%m%d-%H%M";
constexpr std::string_view kStampShape = "-dddddddd-dddd";
constexpr int kDefaultArchiveTimeout = 600;
constexpr long kLongestArchiveTimeout = 7L * 24 * 60 * 60;
constexpr mode_t kArchiveMode = 0600;
constexpr int kCreateFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

constexpr char kBadTimeout[] = "ARCHIVE_TIMEOUT is no number of seconds from 1 to 604800; 600 used";
constexpr char kNotArchived[] = "home not archived, account kept: ";
constexpr char kNoLock[] = " (the change lock was not taken)";
constexpr char kNotItsOwn[] = " (not a home the rules let go)";
constexpr char kUntrustedName[] = " (no archive is named after such a name)";
constexpr char kNoArchiveDir[] = " (ARCHIVE_DIR unusable)";
constexpr char kNotCreated[] = " (the archive exists or cannot be made)";
constexpr char kIncomplete[] = " (tar failed or the archive did not reach the disk)";

// Whether the file is NAME-YYYYmmdd-HHMM.tar.gz, one name in ARCHIVE_DIR.
bool IsArchiveFileOf(std::string_view file, std::string_view name) {
  const size_t suffix = sizeof kArchiveSuffix - 1;
  if (file.find('/') != std::string_view::npos || file.size() < name.size() + suffix ||
      !file.starts_with(name) || !file.ends_with(kArchiveSuffix)) {
    return false;
  }
  const std::string_view stamp = file.substr(name.size(), file.size() - name.size() - suffix);
  if (stamp.size() != kStampShape.size()) return false;
  for (size_t i = 0; i < stamp.size(); ++i) {
    const bool digit = stamp[i] >= '0' && stamp[i] <= '9';
    if (kStampShape[i] == 'd' ? !digit : stamp[i] != kStampShape[i]) return false;
  }
  return true;
}

// The archive's name in ARCHIVE_DIR, made only of a name the program
// trusts (a stored "../x" or "a/b" would put it elsewhere); nullopt for
// any other.
std::optional<std::string> ArchiveFileName(const std::string& name) {
  if (!IsTrustedStoredName(name)) return std::nullopt;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, kStampFormat, &local);
  std::string file = name + stamp + kArchiveSuffix;
  if (!IsArchiveFileOf(file, name)) return std::nullopt;
  return file;
}

bool IsArchiveDirectory(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  return !SecureRun() || (info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0);
}

// ARCHIVE_DIR opened, as checked; -1 when it is not usable.
int OpenArchiveDir() {
  const std::string& dir = Setting("ARCHIVE_DIR");
  if (dir.empty()) return -1;
  const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0 && !IsArchiveDirectory(fd)) {
    close(fd);
    return -1;
  }
  return fd;
}

// tar of the home from its parent, as this machine reaches them (the
// home rules walked both: only root can change the parent).
std::string TarLine(const std::string& home) {
  const size_t slash = home.rfind('/');
  const std::string parent = slash == 0 ? "/" : home.substr(0, slash);
  const std::string& tar = Setting("TAR");
  return (tar.empty() ? kDefaultTar : tar) + kTarOptions + ShellWord(PathInCheckRoot(parent)) +
         kEndOfOptions + ShellWord(home.substr(slash + 1));
}

// Writes the archive into the new file `out` and makes sure it is whole.
bool WriteArchive(const std::string& home, int out) {
  const bool written = RunCommandLineTo(TarLine(home), out, ArchiveTimeoutSeconds()) == 0 &&
                       fsync(out) == 0;
  return close(out) == 0 && written;
}

std::string NotArchived(const UserEntry& user, const char* reason) {
  ErrorLogLine(kNotArchived + Printable(user.name) + reason);
  return "";
}

}  // namespace

std::optional<std::string> ArchivePathOf(const std::string& name) {
  const std::optional<std::string> file = ArchiveFileName(name);
  if (!file) return std::nullopt;
  return DirWithSlash(Setting("ARCHIVE_DIR")) + *file;
}

int ArchiveTimeoutSeconds() {
  const std::string& text = Setting("ARCHIVE_TIMEOUT");
  if (text.empty()) return kDefaultArchiveTimeout;
  char* end = nullptr;
  const long seconds = std::strtol(text.c_str(), &end, 10);
  if (text.front() < '0' || text.front() > '9' || *end != '\0' || seconds < 1 ||
      seconds > kLongestArchiveTimeout) {
    ErrorLogLine(kBadTimeout);
    return kDefaultArchiveTimeout;
  }
  return static_cast<int>(seconds);
}

bool ArchiveDirIsUsable() {
  const int fd = OpenArchiveDir();
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::string ArchiveHome(const UserEntry& user) {
  // Checks, the new file and tar all under the lock: no other change of
  // the account or its home comes between.
  if (!HoldChangeLock()) return NotArchived(user, kNoLock);
  const std::optional<std::string> file = ArchiveFileName(user.name);
  if (!file) return NotArchived(user, kUntrustedName);
  if (!MayRemoveHome(user)) return NotArchived(user, kNotItsOwn);
  const int dir = OpenArchiveDir();
  if (dir < 0) return NotArchived(user, kNoArchiveDir);
  // Made in the directory that was checked, never through a link.
  const int out = openat(dir, file->c_str(), kCreateFlags, kArchiveMode);
  if (out < 0) {
    close(dir);
    return NotArchived(user, kNotCreated);
  }
  // The file and its entry on the disk before the home goes.
  const bool kept = WriteArchive(user.dir, out) && fsync(dir) == 0;
  if (!kept) unlinkat(dir, file->c_str(), 0);
  close(dir);
  if (!kept) return NotArchived(user, kIncomplete);
  return DirWithSlash(Setting("ARCHIVE_DIR")) + *file;
}

}  // namespace orvanta
