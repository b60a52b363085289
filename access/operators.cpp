// The operators file: one "name:hash:scope" line per operator the program
// logs in itself, and the check of a password against its hash.
#include <crypt.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "access/access.h"

namespace orvanta {

namespace {

constexpr size_t kMaxOperatorName = 32;
constexpr char kFieldSeparator = ':';
constexpr char kTempSuffix[] = ".XXXXXX";
constexpr mode_t kRootOnlyMode = 0600;

bool IsOperatorNameByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
}

// The file holds every operator's hash: nobody but root may read it, and
// nobody but root may have written it.
bool IsRootsAlone(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0) return false;
  return S_ISREG(info.st_mode) && info.st_uid == 0 &&
         (info.st_mode & (S_IRGRP | S_IWGRP | S_IROTH | S_IWOTH)) == 0;
}

std::optional<OperatorEntry> ParseOperatorLine(std::string_view line) {
  const size_t first = line.find(kFieldSeparator);
  if (first == std::string_view::npos) return std::nullopt;
  const size_t second = line.find(kFieldSeparator, first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  OperatorEntry entry{std::string(line.substr(0, first)),
                      std::string(line.substr(first + 1, second - first - 1)),
                      std::string(line.substr(second + 1))};
  if (!IsOperatorName(entry.name) || entry.hash.empty()) return std::nullopt;
  return entry;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t length = 0;
  while ((length = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(length));
  }
  return text;
}

bool WriteWhole(int fd, const std::string& text) {
  return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

// The rename itself is made lasting too.
void SyncDirectoryOf(const std::string& path) {
  const std::string directory = path.substr(0, path.find_last_of('/') + 1);
  const int fd = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool ReplaceFile(const std::string& path, const std::string& text) {
  std::string temp = path + kTempSuffix;
  const int fd = mkstemp(temp.data());
  if (fd < 0) return false;
  const bool written = fchmod(fd, kRootOnlyMode) == 0 && WriteWhole(fd, text) && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temp.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(temp.c_str());
    errno = error;
    return false;
  }
  SyncDirectoryOf(path);
  return true;
}

bool IsOperatorName(std::string_view name) {
  if (name.empty() || name.size() > kMaxOperatorName) return false;
  for (char c : name) {
    if (!IsOperatorNameByte(c)) return false;
  }
  return true;
}

std::string OperatorLine(const OperatorEntry& entry) {
  return entry.name + kFieldSeparator + entry.hash + kFieldSeparator + entry.scope + "\n";
}

std::optional<std::vector<OperatorEntry>> ReadOperators(const std::string& path, bool root_alone) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  if (root_alone && !IsRootsAlone(fd)) {
    close(fd);
    return std::nullopt;
  }
  const std::string text = ReadAll(fd);
  close(fd);
  std::vector<OperatorEntry> entries;
  size_t start = 0;
  for (size_t number = 1; start < text.size(); ++number) {
    const size_t end = std::min(text.find('\n', start), text.size());
    const std::string_view line = std::string_view(text).substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (std::optional<OperatorEntry> entry = ParseOperatorLine(line)) {
      entries.push_back(std::move(*entry));
    } else {
      ErrorLogLine(path + ": line " + std::to_string(number) + " is no operator; ignored");
    }
  }
  return entries;
}

bool PasswordMatches(const std::string& password, const std::string& hash) {
  // crypt_data is large: not on the stack.
  const auto data = std::make_unique<crypt_data>();
  const char* made = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
  if (made == nullptr || made[0] == '*') return false;
  // Every byte is compared, so the time taken tells nothing of where a
  // guess went wrong.
  return SameSecret(made, hash);
}

}  // namespace orvanta
