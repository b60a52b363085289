// Where home directories may be. A request names a new home (DIR and NAME);
// the tools make it and give it to the new account, and userdel -r removes
// it as root. DIR=/etc/ with NAME=cron.d would give the account a directory
// whose files root runs, so a home lies strictly below one of HOME_ROOTS and
// is reached through directories that only root can change, none of them a
// link. The same walk decides whether userdel may take a home with the
// account, and finds the directory a new home's r-x is added to.
//
// The walk starts at HOME_CHECK_ROOT (default "/"): where the tools work on
// another tree (useradd --prefix), the paths are that tree's.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cgi/cgi.h"
#include "page/page.h"
#include "store/store.h"
#include "store/store_texts.h"

namespace orvanta {

namespace {

constexpr char kDefaultHomeBase[] = "/home/";
constexpr char kDefaultCheckRoot[] = "/";
constexpr mode_t kWritableByOthers = S_IWGRP | S_IWOTH;
constexpr int kWalkFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Why a path is not used, for the error log (the page says only that it is
// not).

constexpr char kNotPlain[] = "not an absolute path free of ., .. and //";
constexpr char kNotBelowRoots[] = "not below one of HOME_ROOTS";
constexpr char kNoCheckRoot[] = "HOME_CHECK_ROOT cannot be opened";
constexpr char kLinkOnTheWay[] = "a link, or no directory, on the way";
constexpr char kOpenOnTheWay[] =
    "a directory on the way is not root's, or group or others may write it";
constexpr char kThereAlready[] = "something is there already";
constexpr char kAnotherAccounts[] = "another account's home, or inside or above one";
constexpr char kNoOwnDirectory[] = "no directory of its own there (missing, a file or a link)";
constexpr char kUnusedRoot[] = "HOME_ROOTS entry not used (no absolute directory, or /): ";

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool IsPlainAbsolute(std::string_view path) {
  if (path.size() < 2 || path.front() != '/') return false;
  for (std::string_view part : PathComponents(path)) {
    if (part.empty() || part == "." || part == "..") return false;
  }
  return true;
}

std::string CheckRoot() {
  const std::string& root = Setting("HOME_CHECK_ROOT");
  return root.empty() ? kDefaultCheckRoot : root;
}

std::optional<std::string> RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return std::nullopt;
  return std::string(resolved);
}

// An entry as written, without its trailing '/': the directory backend's
// homes are paths of the hosts or a file server, not of this machine.
std::optional<std::string> WrittenRoot(std::string_view entry) {
  while (entry.size() > 1 && entry.back() == '/') entry.remove_suffix(1);
  if (!IsPlainAbsolute(entry)) return std::nullopt;
  return std::string(entry);
}

// The entry resolved inside the check root (whose real path is `base`, ""
// for "/"), as a path of that tree.
std::optional<std::string> ResolvedRoot(std::string_view entry, const std::string& base) {
  if (entry.empty() || entry.front() != '/') return std::nullopt;
  const std::optional<std::string> resolved = RealPath(base + std::string(entry));
  if (!resolved || !resolved->starts_with(base)) return std::nullopt;
  const std::string inside = resolved->substr(base.size());
  if (inside.size() < 2 || inside.front() != '/') return std::nullopt;
  return inside;
}

std::vector<std::string> ReadRoots(const std::string& text, bool as_written) {
  std::vector<std::string> roots;
  std::optional<std::string> base;
  if (!as_written) {
    base = RealPath(CheckRoot());
    if (!base) {
      ErrorLogLine(kNoCheckRoot);
      return roots;
    }
    if (*base == "/") base->clear();
  }
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = std::min(text.find_first_of(" \t", pos), text.size());
    const std::string_view entry = std::string_view(text).substr(pos, end - pos);
    pos = end + 1;
    if (entry.empty()) continue;
    const std::optional<std::string> root =
        as_written ? WrittenRoot(entry) : ResolvedRoot(entry, *base);
    if (root) {
      roots.push_back(*root);
    } else {
      ErrorLogLine(kUnusedRoot + Printable(entry));
    }
  }
  return roots;
}

// HOME_ROOTS (else DEF_DIR, else /home/), each entry resolved once per run.
const std::vector<std::string>& HomeRoots() {
  static std::string read_for;
  static std::vector<std::string> roots;
  std::string text = Setting("HOME_ROOTS");
  if (text.empty()) text = Setting("DEF_DIR").empty() ? kDefaultHomeBase : Setting("DEF_DIR");
  const bool as_written = !Accounts().MakesHomesHere();
  const std::string key = text + '\n' + CheckRoot() + (as_written ? "\nwritten" : "\nresolved");
  if (key != read_for) {
    roots = ReadRoots(text, as_written);
    read_for = key;
  }
  return roots;
}

bool IsBelowRoots(std::string_view path) {
  for (const std::string& root : HomeRoots()) {
    if (path.size() > root.size() + 1 && path.starts_with(root) && path[root.size()] == '/') {
      return true;
    }
  }
  return false;
}

bool IsRootsAlone(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == 0 &&
         (info.st_mode & kWritableByOthers) == 0;
}

// Goes down from the check root (itself included) through the directories
// that hold the path's last component, without following a link; each one
// that exists must be root's alone. Returns why not, or nullptr with
// `parent` open on the directory holding the last component (left closed
// when a directory on the way does not exist yet).
const char* WalkToParent(const std::vector<std::string_view>& parts, Descriptor& parent) {
  Descriptor dir(open(CheckRoot().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return kNoCheckRoot;
  for (size_t i = 0;; ++i) {
    if (!IsRootsAlone(dir.get())) return kOpenOnTheWay;
    if (i + 1 >= parts.size()) break;
    const int next = openat(dir.get(), std::string(parts[i]).c_str(), kWalkFlags);
    if (next < 0) return errno == ENOENT ? nullptr : kLinkOnTheWay;
    dir = Descriptor(next);
  }
  parent = std::move(dir);
  return nullptr;
}

// The rules that need no look at the disk; nullptr when they pass.
const char* LexicalRefusal(std::string_view path) {
  if (!IsPlainAbsolute(path)) return kNotPlain;
  if (!IsBelowRoots(path)) return kNotBelowRoots;
  return nullptr;
}

bool IsThere(const Descriptor& parent, std::string_view name) {
  struct stat info {};
  return fstatat(parent.get(), std::string(name).c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 ||
         errno != ENOENT;
}

// Whether an account of the name has the (plain) path as its home.
bool IsOwnHome(std::string_view path, std::string_view name, const FoundUsers& found) {
  return std::any_of(found.home_holders.begin(), found.home_holders.end(),
                     [&](const HomeHolder& holder) {
                       return holder.name == name && holder.home == path;
                     });
}

// Whether an account of another name has a home that is the (plain) path,
// lies inside it or holds it. Only homes strictly below a root count: "/",
// "/nonexistent" or a root itself hold no one's files.
bool MeetsAnotherHome(std::string_view path, std::string_view name, const FoundUsers& found) {
  return std::any_of(found.home_holders.begin(), found.home_holders.end(),
                     [&](const HomeHolder& holder) {
                       return holder.name != name && IsBelowRoots(holder.home) &&
                              PathsOverlap(path, holder.home);
                     });
}

const char* HomeRefusal(const std::string& path, std::string_view name, const FoundUsers& found,
                        bool new_home) {
  if (const char* refusal = LexicalRefusal(path)) return refusal;
  if (MeetsAnotherHome(path, name, found)) return kAnotherAccounts;
  // A store's home commands may act on a file server: nothing here to
  // look at.
  if (!Accounts().MakesHomesHere()) return nullptr;
  const std::vector<std::string_view> parts = PathComponents(path);
  Descriptor parent;
  if (const char* refusal = WalkToParent(parts, parent)) return refusal;
  // The home of an account of the same name is there, and the name is
  // refused as taken right after: that message says more.
  if (new_home && parent.get() >= 0 && IsThere(parent, parts.back()) &&
      !IsOwnHome(path, name, found)) {
    return kThereAlready;
  }
  return nullptr;
}

std::string HomeProblem(const std::string& path, std::string_view name, const FoundUsers& found,
                        bool new_home) {
  const char* refusal = HomeRefusal(path, name, found, new_home);
  if (refusal == nullptr) return "";
  ErrorLogLine("home " + Printable(path) + " refused: " + refusal);
  return FormatText(kHomeRefusedFormat, Html(path).c_str());
}

}  // namespace

std::string NewHomeOf(const NewAccount& account) {
  const std::string& base = account.dir.empty() ? Setting("DEF_DIR") : account.dir;
  return DirWithSlash(base.empty() ? kDefaultHomeBase : base) + account.name;
}

std::string NewHomeProblem(const NewAccount& account, const FoundUsers& found) {
  return HomeProblem(NewHomeOf(account), account.name, found, true);
}

std::string ChangedHomeProblem(const std::string& path, std::string_view name,
                               const FoundUsers& found) {
  return HomeProblem(path, name, found, false);
}

const char* HomeRefusalNow(std::string_view name, const std::string& path) {
  if (const char* refusal = LexicalRefusal(path)) return refusal;
  if (MeetsAnotherHome(path, name, FindUsers({}, {}, {path}))) return kAnotherAccounts;
  return nullptr;
}

std::string PathInCheckRoot(std::string_view path) {
  std::string root = CheckRoot();
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root + std::string(path);
}

int OpenHomeDirectory(std::string_view path, const char** reason) {
  *reason = LexicalRefusal(path);
  if (*reason != nullptr) return -1;
  const std::vector<std::string_view> parts = PathComponents(path);
  Descriptor parent;
  *reason = WalkToParent(parts, parent);
  if (*reason != nullptr) return -1;
  const int fd =
      parent.get() < 0 ? -1 : openat(parent.get(), std::string(parts.back()).c_str(), kWalkFlags);
  if (fd < 0) *reason = kNoOwnDirectory;
  return fd;
}

std::string DirWithSlash(const std::string& dir) {
  return dir.empty() || dir.back() == '/' ? dir : dir + "/";
}

bool MayRemoveHome(const UserEntry& user) {
  const char* reason = nullptr;
  const Descriptor home(OpenHomeDirectory(user.dir, &reason));
  struct stat info {};
  return home.get() >= 0 && fstat(home.get(), &info) == 0 && info.st_uid == user.uid &&
         HomeRefusalNow(user.name, user.dir) == nullptr;
}

}  // namespace orvanta
