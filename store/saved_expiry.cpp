// The expiry dates of locked accounts, kept beside the lock file so that
// UNLOCK can give back the date LOCK replaced with 1. The file is only read
// and rewritten under the change lock, and only ever replaced whole: a
// crash leaves the old file or the new one, never half of either.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <optional>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "store/store.h"

namespace orvanta {

namespace {

constexpr char kSuffix[] = ".expiry";
constexpr char kTemporarySuffix[] = ".XXXXXX";
constexpr size_t kReadBlock = 65536;
// The lock and deletion actions write their changes once per this many
// accounts: a replacement per account would rewrite the file (and sync it)
// as often as the selection has accounts.
constexpr size_t kDeferredLimit = 100;

// Changes made but not yet written: an entry to set, or nullopt to drop.
std::map<std::string, std::optional<SavedExpiry>>& Deferred() {
  static std::map<std::string, std::optional<SavedExpiry>> changes;
  return changes;
}

std::string StorePath() { return ChangeLockPath() + kSuffix; }

void ReportStore(const std::string& path, const char* failure) {
  ErrorLogLine("saved expiry dates: " + Printable(path) + " " + failure);
}

// "name:uid:days", split at its last two colons; false for anything else.
bool ParseLine(std::string_view line, std::string& name, SavedExpiry& saved) {
  const size_t days_at = line.rfind(':');
  if (days_at == std::string_view::npos || days_at == 0) return false;
  const size_t uid_at = line.rfind(':', days_at - 1);
  if (uid_at == std::string_view::npos || uid_at == 0) return false;
  const std::optional<std::uint32_t> uid = ParseId(line.substr(uid_at + 1, days_at - uid_at - 1));
  const std::string_view days_text = line.substr(days_at + 1);
  const std::optional<std::uint32_t> days = ParseId(days_text);
  if (!uid || (!days_text.empty() && !days)) return false;
  name = line.substr(0, uid_at);
  saved = SavedExpiry{*uid, days};
  return true;
}

bool ReadAll(int fd, std::string& text) {
  char block[kReadBlock];
  for (;;) {
    const ssize_t got = read(fd, block, sizeof block);
    if (got == 0) return true;
    if (got < 0 && errno != EINTR) return false;
    if (got > 0) text.append(block, static_cast<size_t>(got));
  }
}

bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t put = write(fd, text.data(), text.size());
    if (put < 0 && errno != EINTR) return false;
    if (put > 0) text.remove_prefix(static_cast<size_t>(put));
  }
  return true;
}

// The rename itself is on disk only once its directory is.
bool SyncDirectoryOf(const std::string& path) {
  std::string directory = std::filesystem::path(path).parent_path().string();
  if (directory.empty()) directory = ".";
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

// A fresh 0600 file beside the old one (mkostemp: O_EXCL, never through a
// link), synced, then renamed over it.
bool ReplaceFile(const std::string& path, const std::string& text) {
  std::string temporary = path + kTemporarySuffix;
  const int fd = mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, text) && fsync(fd) == 0;
  const bool closed = close(fd) == 0;
  if (!written || !closed || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return SyncDirectoryOf(path);
}

}  // namespace

bool SavedExpiries::Load() {
  entries_.clear();
  return HoldChangeLock() && Read();
}

bool SavedExpiries::Read() {
  entries_.clear();
  if (!ReadFile()) return false;
  // What this run changed and has not written yet counts as written.
  for (const auto& [name, change] : Deferred()) {
    if (change) {
      entries_[name] = *change;
    } else {
      entries_.erase(name);
    }
  }
  return true;
}

bool SavedExpiries::ReadFile() {
  const std::string path = StorePath();
  // Opened as the operation log is: never through a link or a FIFO, and
  // only a regular file with one link that root owns.
  const char* failure = nullptr;
  const int fd = OpenOwnLogFile(path, O_RDONLY, failure);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    ReportStore(path, failure);
    return false;
  }
  std::string text;
  const bool read = ReadAll(fd, text);
  close(fd);
  if (!read) {
    ReportStore(path, "could not be read");
    return false;
  }
  for (size_t start = 0, end; start < text.size(); start = end + 1) {
    end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string name;
    SavedExpiry saved;
    if (ParseLine(std::string_view(text).substr(start, end - start), name, saved)) {
      entries_.emplace(std::move(name), std::move(saved));
    }
  }
  return true;
}

bool SavedExpiries::Holds(const std::string& name) const { return entries_.count(name) != 0; }

const SavedExpiry* SavedExpiries::Find(const std::string& name, std::uint32_t uid) const {
  const auto found = entries_.find(name);
  return found != entries_.end() && found->second.uid == uid ? &found->second : nullptr;
}

bool SavedExpiries::Save(const std::string& name, const SavedExpiry& saved) {
  entries_[name] = saved;
  return Write();
}

bool SavedExpiries::Forget(const std::string& name) {
  return entries_.erase(name) == 0 || Write();
}

bool SavedExpiries::Write() const {
  std::string text;
  for (const auto& [name, saved] : entries_) {
    text += name + ":" + std::to_string(saved.uid) + ":" +
            (saved.days ? std::to_string(*saved.days) : "") + "\n";
  }
  const std::string path = StorePath();
  if (HoldChangeLock() && ReplaceFile(path, text)) return true;
  ReportStore(path, "could not be rewritten");
  return false;
}

void DeferSavedExpiry(const std::string& name, std::optional<SavedExpiry> saved) {
  Deferred()[name] = saved;
  if (Deferred().size() >= kDeferredLimit) FlushSavedExpiries();
}

bool FlushSavedExpiries() {
  if (Deferred().empty()) return true;
  SavedExpiries merged;
  const bool loaded = merged.Load();
  Deferred().clear();
  return loaded && merged.Write();
}

bool ForgetSavedExpiry(const std::string& name) {
  SavedExpiries saved;
  if (!saved.Load()) return false;
  if (saved.Holds(name)) DeferSavedExpiry(name, std::nullopt);
  return true;
}

}  // namespace orvanta
