// Password hashing for the account tools: the traditional DES crypt(3) form
// with a salt taken from the current second.
#include <crypt.h>

#include <ctime>

#include "user/user.h"

namespace orvanta {

std::string SaltForTime(std::uint32_t seconds) {
  constexpr std::uint32_t kMask = 63;
  return {kSaltAlphabet[seconds & kMask], kSaltAlphabet[(seconds >> 6) & kMask]};
}

const char* MakeSalt() {
  static char salt[3];
  const std::string made = SaltForTime(static_cast<std::uint32_t>(std::time(nullptr)));
  salt[0] = made[0];
  salt[1] = made[1];
  salt[2] = '\0';
  return salt;
}

std::string HashPassword(const std::string& password) {
  const char* salt = MakeSalt();
  const char* hash = crypt(password.c_str(), salt);
  // libcrypt reports failure with NULL or with a text starting with '*';
  // handing either to the tool would set a password nobody chose.
  if (hash == nullptr || hash[0] == '*') return "";
  return hash;
}

}  // namespace orvanta
