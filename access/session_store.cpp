// The session store: one file per session in SESSION_DIR, named by the
// SHA-256 digest of the session's id (the id itself stays with the
// browser), holding one line "operator fingerprint start last address
// token stage" (stage "full", "code" or "enrol"; lines of older versions
// end before it and are full sessions). The directory itself is locked (flock) for each look or change,
// which takes a few file operations: it is not the change lock, which a
// tool may hold for minutes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <sstream>

#include "access/access.h"
#include "hosttools/hosttools.h"

namespace orvanta {

namespace {

constexpr char kDefaultName[] = "sessions";
constexpr size_t kMaxRecordBytes = 512;
// A scan looks at no more directory entries than this, whatever else the
// directory holds.
constexpr size_t kMaxScanned = 4 * kMaxSessions;
constexpr mode_t kStoreMode = 0700;
constexpr mode_t kRecordMode = 0600;
// The words of SessionStage, in its order.
constexpr const char* kStageWords[] = {"full", "code", "enrol"};

std::string StorePath() {
  const std::string& setting = Setting("SESSION_DIR");
  if (!setting.empty()) return setting;
  const std::string lock = ChangeLockPath();
  return lock.substr(0, lock.find_last_of('/') + 1) + kDefaultName;
}

// Root's alone to change, as the program's own directory must be.
bool IsRunnersDirectory(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::optional<SessionRecord> ParseRecord(const std::string& digest, const std::string& text) {
  std::istringstream fields(text);
  SessionRecord record;
  record.digest = digest;
  if (!(fields >> record.operator_name >> record.fingerprint >> record.start >> record.last >>
        record.address >> record.form_token)) {
    return std::nullopt;
  }
  if (!IsOperatorName(record.operator_name) || !IsSecretText(record.fingerprint) ||
      !IsSecretText(record.form_token)) {
    return std::nullopt;
  }
  std::string stage;
  if (!(fields >> stage)) return record;
  const auto word = std::find(std::begin(kStageWords), std::end(kStageWords), stage);
  if (word == std::end(kStageWords)) return std::nullopt;
  record.stage = static_cast<SessionStage>(word - std::begin(kStageWords));
  return record;
}

std::string FormatRecord(const SessionRecord& record) {
  return record.operator_name + " " + record.fingerprint + " " + std::to_string(record.start) +
         " " + std::to_string(record.last) + " " + record.address + " " + record.form_token + " " +
         kStageWords[static_cast<size_t>(record.stage)] + "\n";
}

[[noreturn]] void Unusable(const std::string& path, const char* reason) {
  ErrorLogLine("the sessions cannot be kept in " + Printable(path) + ": " + reason +
               "; nobody is signed in");
  throw ErrorCode{kErrorNoRoot};
}

}  // namespace

SessionStore::SessionStore() {
  const std::string path = StorePath();
  if (mkdir(path.c_str(), kStoreMode) != 0 && errno != EEXIST) Unusable(path, std::strerror(errno));
  fd_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd_ < 0) Unusable(path, std::strerror(errno));
  if (!IsRunnersDirectory(fd_)) {
    close(fd_);
    Unusable(path, "not a directory of root's alone");
  }
  if (flock(fd_, LOCK_EX) != 0) {
    close(fd_);
    Unusable(path, std::strerror(errno));
  }
}

SessionStore::~SessionStore() { close(fd_); }

std::optional<SessionRecord> SessionStore::Read(const std::string& digest) const {
  const int fd = openat(fd_, digest.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  char buffer[kMaxRecordBytes];
  ssize_t length = -1;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid()) {
    length = read(fd, buffer, sizeof buffer);
  }
  close(fd);
  if (length <= 0) return std::nullopt;
  return ParseRecord(digest, std::string(buffer, static_cast<size_t>(length)));
}

bool SessionStore::Write(const SessionRecord& record) const {
  const int fd = openat(fd_, record.digest.c_str(),
                        O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, kRecordMode);
  if (fd < 0) return false;
  const std::string text = FormatRecord(record);
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && written;
}

void SessionStore::Remove(const std::string& digest) const { unlinkat(fd_, digest.c_str(), 0); }

std::vector<SessionRecord> SessionStore::ReadAll() const {
  std::vector<SessionRecord> all;
  const int listing = dup(fd_);
  DIR* directory = listing >= 0 ? fdopendir(listing) : nullptr;
  if (directory == nullptr) {
    if (listing >= 0) close(listing);
    return all;
  }
  size_t scanned = 0;
  while (const dirent* entry = readdir(directory)) {
    if (++scanned > kMaxScanned) break;
    if (!IsSecretText(entry->d_name)) continue;
    if (std::optional<SessionRecord> record = Read(entry->d_name)) {
      all.push_back(std::move(*record));
    }
  }
  closedir(directory);
  return all;
}

}  // namespace orvanta
