// The time-based salt and the DES hash handed to the tools.
#include <crypt.h>
#include <gtest/gtest.h>

#include "app/app.h"
#include "tests/support/program_state.h"
#include "user/user.h"

namespace orvanta {
namespace {

TEST(SaltForTime, TakesSixBitsPerCharacter) {
  const std::vector<std::pair<std::uint32_t, std::string>> cases = {
      {0, "aa"}, {63, "/a"}, {64, "ab"}, {4095, "//"}, {4096, "aa"}, {26, "Aa"}, {52 * 64, "a0"}};
  for (const auto& [seconds, salt] : cases) EXPECT_EQ(SaltForTime(seconds), salt) << seconds;
}

TEST(MakeSalt, IsTheSaltOfTheCurrentSecond) {
  const std::uint32_t before = static_cast<std::uint32_t>(std::time(nullptr));
  const std::string salt = MakeSalt();
  const std::uint32_t after = static_cast<std::uint32_t>(std::time(nullptr));
  EXPECT_TRUE(salt == SaltForTime(before) || salt == SaltForTime(after)) << salt;
}

TEST(HashPassword, GivesTheTraditionalDesForm) {
  for (const std::string password : {"abc123", "", "longer than eight"}) {
    const std::string hash = HashPassword(password);
    ASSERT_EQ(hash.size(), 13u) << password;
    EXPECT_STREQ(crypt(password.c_str(), hash.substr(0, 2).c_str()), hash.c_str());
  }
  // Only the first eight characters take part.
  const std::string long_hash = HashPassword("abcdefghXYZ");
  EXPECT_STREQ(crypt("abcdefgh", long_hash.substr(0, 2).c_str()), long_hash.c_str());
}

class HashedPasswordTest : public test::ProgramTest {};

// The directory keeps every password hashed, so its forms and checks allow
// the modern methods' long passwords even without USE_CRYPT.
TEST_F(HashedPasswordTest, WhenTheToolsOrTheDirectoryStoreAHash) {
  const std::vector<std::pair<std::map<std::string, std::string>, bool>> cases = {
      {{}, false},
      {{{"USE_CRYPT", "YES"}}, true},
      {{{"ACCOUNTS", "ldap"}}, true},
      {{{"ACCOUNTS", "tools"}, {"USE_CRYPT", "NO"}}, false},
  };
  for (const auto& [settings, hashed] : cases) {
    Reset();
    Params(settings);
    ChooseAccountStore();
    EXPECT_EQ(RegistrationTakesLongPasswords(), hashed) << testing::PrintToString(settings);
  }
}

}  // namespace
}  // namespace orvanta
