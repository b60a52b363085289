// The new account's home directory is opened to everyone (r-x for user,
// group and others), and nothing else is. The tools backend's home rules
// refused a path that existed when they looked, but a directory backend's
// HOME_CREATE may leave anything there: a file, a link or a directory of
// another account is left as it is. The path is looked at below
// HOME_CHECK_ROOT, where the rules looked and the tools made it.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include "store/store.h"

namespace orvanta {

namespace {

constexpr mode_t kOpenToEveryone = S_IRUSR | S_IXUSR | S_IRGRP | S_IXGRP | S_IROTH | S_IXOTH;
constexpr mode_t kModeBits = 07777;

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
  const char* reason = nullptr;
  const int fd = OpenHomeDirectory(path, &reason);
  if (fd < 0) {
    LeaveAsItIs(reason);
    return;
  }
  const char* refusal = OpenUp(fd, name);
  close(fd);
  if (refusal != nullptr) LeaveAsItIs(refusal);
}

}  // namespace orvanta
