// The new account's home directory is opened to everyone (r-x for user,
// group and others), and nothing else is. DIR and NAME come from the
// request, so DIR+NAME may name an existing file (NAME=shadow, DIR=/etc/), a
// link, or a directory of another account; such a path is left as it is.
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "user/user.h"

namespace orvanta {

namespace {

constexpr mode_t kOpenToEveryone = S_IRUSR | S_IXUSR | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH;
constexpr mode_t kModeBits = 07777;

constexpr char kNotADirectory[] = "no directory of its own there (missing, a file or a link)";
constexpr char kNoSuchAccount[] = "the account is not in the account database";
constexpr char kOtherOwner[] = "the directory does not belong to the new account";
constexpr char kModeNotChanged[] = "its mode could not be changed";

// The path is request text: the line names no part of it.
void LeaveAsItIs(const char* reason) {
  std::fprintf(stderr, "orvanta: home directory of the new account left as it is: %s\n", reason);
}

// Opens up the directory at `fd`; returns why not, or nullptr when done.
const char* OpenUp(int fd, const std::string& name) {
  const passwd* account = getpwnam(name.c_str());
  if (account == nullptr) return kNoSuchAccount;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != account->pw_uid) {
    return kOtherOwner;
  }
  if (fchmod(fd, (info.st_mode & kModeBits) | kOpenToEveryone) != 0) return kModeNotChanged;
  return nullptr;
}

NewHomeStep& ActiveNewHomeStep() {
  static NewHomeStep step;
  return step;
}

}  // namespace

void SetNewHomeStep(NewHomeStep step) { ActiveNewHomeStep() = std::move(step); }

void OpenUpNewHome(const std::string& name, const std::string& path) {
  if (ActiveNewHomeStep()) {
    ActiveNewHomeStep()(name, path);
    return;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    LeaveAsItIs(kNotADirectory);
    return;
  }
  const char* refusal = OpenUp(fd, name);
  close(fd);
  if (refusal != nullptr) LeaveAsItIs(refusal);
}

}  // namespace orvanta
