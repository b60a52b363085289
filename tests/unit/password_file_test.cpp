// The bind password file is trusted like the settings file, and more: when
// the program runs set-user-ID nobody but root may read it either.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "ldap/ldap.h"

namespace orvanta {
namespace {

TEST(PasswordFileTest, SetuidRunsTrustOnlyRootsPrivateRegularFile) {
  struct Case {
    const char* what;
    mode_t mode;
    uid_t owner;
    bool setuid;
    bool trusted;
  };
  const Case cases[] = {
      {"root's, 0600", 0600, 0, true, true},
      {"root's, 0400", 0400, 0, true, true},
      {"readable by the group", 0640, 0, true, false},
      {"readable by others", 0604, 0, true, false},
      {"writable by the group", 0620, 0, true, false},
      {"another owner's", 0600, 1, true, false},
      {"readable by others, not set-user-ID", 0644, 1, false, true},
  };
  const std::string path = std::filesystem::temp_directory_path() / "orvanta-bindpw-test";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchmod(fd, c.mode), 0);
    ASSERT_EQ(fchown(fd, c.owner, 0), 0);
    EXPECT_EQ(IsTrustedPasswordFile(fd, c.setuid), c.trusted);
    close(fd);
    unlink(path.c_str());
  }
  const int directory = open("/", O_RDONLY | O_DIRECTORY);
  EXPECT_FALSE(IsTrustedPasswordFile(directory, false)) << "not a regular file";
  close(directory);
}

}  // namespace
}  // namespace orvanta
