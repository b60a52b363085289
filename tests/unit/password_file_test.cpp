// The bind password file is trusted like the settings file, and more: when
// the program runs set-user-ID nobody but root may read it either. The
// directory store module is trusted only when root alone can replace it.
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

TEST(PasswordFileTest, SetuidRunsLoadOnlyAStoreRootAloneCanReplace) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files to root and others";
  struct Case {
    const char* what;
    mode_t directory_mode;
    uid_t directory_owner;
    mode_t module_mode;
    uid_t module_owner;
    bool trusted;
  };
  const Case cases[] = {
      {"root's, 0755 and 0644", 0755, 0, 0644, 0, true},
      {"a group-writable directory", 0775, 0, 0644, 0, false},
      {"a world-writable sticky directory", 01777, 0, 0644, 0, false},
      {"another owner's directory", 0755, 1, 0644, 0, false},
      {"a group-writable module", 0755, 0, 0664, 0, false},
      {"another owner's module", 0755, 0, 0644, 1, false},
  };
  // In a directory of its own right below /: wherever the checkout lies
  // (under /tmp, say), the directories above the build's module need not be
  // root's alone.
  char pattern[] = "/orvanta-store-trust-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path base = pattern;
  ASSERT_EQ(chmod(base.c_str(), 0755), 0);
  const std::filesystem::path module = base / "orvanta" / "orvanta-ldap.so";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(module.parent_path());
    std::filesystem::copy_file(ORVANTA_LDAP_MODULE_BUILT, module);
    ASSERT_EQ(chmod(module.parent_path().c_str(), c.directory_mode), 0);
    ASSERT_EQ(chown(module.parent_path().c_str(), c.directory_owner, 0), 0);
    ASSERT_EQ(chmod(module.c_str(), c.module_mode), 0);
    ASSERT_EQ(chown(module.c_str(), c.module_owner, 0), 0);
    EXPECT_EQ(IsTrustedModule(module), c.trusted);
  }
  ASSERT_EQ(chown(module.c_str(), 0, 0), 0);
  ASSERT_TRUE(IsTrustedModule(module));
  std::filesystem::create_directory_symlink("orvanta", base / "link");
  EXPECT_FALSE(IsTrustedModule(base / "link" / "orvanta-ldap.so")) << "a link above it";
  EXPECT_FALSE(IsTrustedModule("orvanta/orvanta-ldap.so")) << "a relative path";
  std::filesystem::remove_all(base);
}

}  // namespace
}  // namespace orvanta
