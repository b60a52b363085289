// The second factor's store: one line per operator who ever enrolled,
// "name generation secret last recovery pending-secret pending-session
// pending-until", "-" for an empty field and the recovery codes' digests
// joined by ",". It lies beside the operators file and not in it, so that
// a sign-in, which stores the last counter, does not change the line the
// sessions fingerprint. Every change holds an exclusive lock of a file of
// its own (the store itself is replaced, not rewritten), which
// orvanta-operator takes as well.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "access/access.h"

namespace orvanta {

namespace {

constexpr char kStoreSuffix[] = ".totp";
constexpr char kLockSuffix[] = ".totp.lock";
constexpr char kEmptyField[] = "-";
constexpr char kDigestSeparator = ',';
constexpr mode_t kLockMode = 0600;
// A store of this many bytes is none the program wrote.
constexpr size_t kMaxStoreBytes = 1024 * 1024;

std::string StorePath() { return Setting("OPERATORS") + kStoreSuffix; }

// The store holds every operator's secret: nobody but the program's user
// (root) may read it or have written it.
bool IsRunnersAlone(int fd, mode_t forbidden) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
         (info.st_mode & forbidden) == 0;
}

std::string FieldOf(const std::string& value) { return value.empty() ? kEmptyField : value; }

std::string ValueOf(const std::string& field) { return field == kEmptyField ? "" : field; }

std::string JoinDigests(const std::vector<std::string>& digests) {
  std::string field;
  for (const std::string& digest : digests) {
    field += (field.empty() ? "" : std::string(1, kDigestSeparator)) + digest;
  }
  return field;
}

std::vector<std::string> SplitDigests(const std::string& field) {
  std::vector<std::string> digests;
  std::istringstream parts(field);
  for (std::string digest; std::getline(parts, digest, kDigestSeparator);) {
    if (IsSecretText(digest)) digests.push_back(digest);
  }
  return digests;
}

bool IsSecretHex(const std::string& value) {
  return value.empty() || (value.size() == kTotpSecretBytes * 2 && HexBytes(value).has_value());
}

std::optional<TotpEntry> ParseEntry(const std::string& line) {
  std::istringstream fields(line);
  TotpEntry entry;
  std::string secret, recovery, pending_secret, pending_session;
  if (!(fields >> entry.name >> entry.generation >> secret >> entry.last_counter >> recovery >>
        pending_secret >> pending_session >> entry.pending_until)) {
    return std::nullopt;
  }
  entry.secret = ValueOf(secret);
  entry.recovery = SplitDigests(ValueOf(recovery));
  entry.pending_secret = ValueOf(pending_secret);
  entry.pending_session = ValueOf(pending_session);
  if (!IsOperatorName(entry.name) || !IsSecretHex(entry.secret) ||
      !IsSecretHex(entry.pending_secret)) {
    return std::nullopt;
  }
  return entry;
}

std::string FormatEntry(const TotpEntry& entry) {
  return entry.name + " " + std::to_string(entry.generation) + " " + FieldOf(entry.secret) + " " +
         std::to_string(entry.last_counter) + " " + FieldOf(JoinDigests(entry.recovery)) + " " +
         FieldOf(entry.pending_secret) + " " + FieldOf(entry.pending_session) + " " +
         std::to_string(entry.pending_until) + "\n";
}

void Unusable(const std::string& path, const std::string& reason) {
  ErrorLogLine("the second factor's store " + Printable(path) + " is unusable: " + reason +
               "; nobody is signed in with it");
}

std::optional<std::vector<TotpEntry>> ReadStore(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::vector<TotpEntry>{};
    Unusable(path, std::strerror(errno));
    return std::nullopt;
  }
  if (!IsRunnersAlone(fd, S_IRWXG | S_IRWXO)) {
    close(fd);
    Unusable(path, "not a regular file of root's alone (mode 0600)");
    return std::nullopt;
  }
  std::string text;
  char buffer[4096];
  ssize_t length = 0;
  while (text.size() <= kMaxStoreBytes && (length = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(length));
  }
  close(fd);
  if (text.size() > kMaxStoreBytes) {
    Unusable(path, "too large");
    return std::nullopt;
  }
  std::vector<TotpEntry> entries;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (std::optional<TotpEntry> entry = ParseEntry(line)) entries.push_back(std::move(*entry));
  }
  return entries;
}

// The lock's descriptor, or -1 (with a line on stderr).
int LockStore(const std::string& path) {
  const int fd =
      open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kLockMode);
  if (fd < 0) {
    Unusable(path, std::strerror(errno));
    return -1;
  }
  if (!IsRunnersAlone(fd, S_IWGRP | S_IWOTH) || flock(fd, LOCK_EX) != 0) {
    close(fd);
    Unusable(path, "the lock is not a file of root's alone, or cannot be taken");
    return -1;
  }
  return fd;
}

}  // namespace

std::optional<std::vector<TotpEntry>> ReadTotpStore() { return ReadStore(StorePath()); }

bool ChangeTotpStore(const std::function<bool(std::vector<TotpEntry>&)>& change) {
  const std::string path = StorePath();
  const int lock = LockStore(Setting("OPERATORS") + kLockSuffix);
  if (lock < 0) return false;
  std::optional<std::vector<TotpEntry>> entries = ReadStore(path);
  bool kept = entries.has_value();
  if (kept && change(*entries)) {
    std::string text;
    for (const TotpEntry& entry : *entries) text += FormatEntry(entry);
    kept = ReplaceFile(path, text);
    if (!kept) Unusable(path, std::strerror(errno));
  }
  close(lock);
  return kept;
}

TotpEntry& TotpEntryOf(std::vector<TotpEntry>& entries, std::string_view name) {
  const auto found = std::find_if(entries.begin(), entries.end(),
                                  [&](const TotpEntry& entry) { return entry.name == name; });
  if (found != entries.end()) return *found;
  entries.emplace_back().name = name;
  return entries.back();
}

const TotpEntry* FindTotpEntry(const std::vector<TotpEntry>& entries, std::string_view name) {
  const auto found = std::find_if(entries.begin(), entries.end(),
                                  [&](const TotpEntry& entry) { return entry.name == name; });
  return found != entries.end() ? &*found : nullptr;
}

bool ReadTotpGenerations(std::vector<OperatorEntry>& operators) {
  const std::optional<std::vector<TotpEntry>> entries = ReadTotpStore();
  if (!entries) return false;
  for (OperatorEntry& entry : operators) {
    const TotpEntry* totp = FindTotpEntry(*entries, entry.name);
    entry.totp_generation = totp != nullptr ? totp->generation : 0;
  }
  return true;
}

}  // namespace orvanta
