// Password hashing for the account tools: traditional DES with a salt from
// the current second, or, when CRYPT_METHOD asks for it, SHA-512 or yescrypt
// with salts from libxcrypt's crypt_gensalt (kernel randomness); and the one
// way a hash reaches the tools, on chpasswd's standard input.
#include <crypt.h>
#include <shadow.h>

#include <ctime>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "page/page.h"
#include "store/store.h"

namespace orvanta {

namespace {

struct Method {
  const char* setting;
  CryptMethod method;
  const char* prefix;  // crypt_gensalt's method prefix
};

constexpr char kDefaultChpasswd[] = "/usr/sbin/chpasswd";
// chpasswd reads "name:hash" lines; -e: the hash as it stands, without PAM.
constexpr char kChpasswdHashed[] = " -e";

constexpr Method kMethods[] = {
    {"", CryptMethod::Des, nullptr},
    {"DES", CryptMethod::Des, nullptr},
    {"SHA512", CryptMethod::Sha512, "$6$"},
    {"YESCRYPT", CryptMethod::Yescrypt, "$y$"},
};

// nullptr also when USE_CRYPT is unreadable: nobody can say then whether a
// password is to be hashed, so none is set.
const Method* ConfiguredMethod() {
  if (YesNoSetting("USE_CRYPT") == YesNo::Invalid) return nullptr;
  const std::string& setting = Setting("CRYPT_METHOD");
  for (const Method& entry : kMethods) {
    if (setting == entry.setting) return &entry;
  }
  return nullptr;
}

constexpr char kOperatorDefaultPrefix[] = "$y$";

std::string Crypted(const std::string& password, const char* salt) {
  if (salt == nullptr) return "";
  const char* hash = crypt(password.c_str(), salt);
  // libcrypt reports failure with NULL or with a text starting with '*';
  // handing either on would set a password nobody chose.
  if (hash == nullptr || hash[0] == '*') return "";
  return hash;
}

}  // namespace

CryptMethod ConfiguredCryptMethod() {
  const Method* method = ConfiguredMethod();
  return method != nullptr ? method->method : CryptMethod::Unknown;
}

bool RegistrationTakesLongPasswords() {
  return YesNoSetting("USE_CRYPT") != YesNo::No || Accounts().HashesEveryPassword();
}

int PasswordMaxLength(bool hashed) {
  const CryptMethod method = ConfiguredCryptMethod();
  const bool modern = method == CryptMethod::Sha512 || method == CryptMethod::Yescrypt;
  return hashed && modern ? kLongPasswordMax : kShortPasswordMax;
}

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
  const Method* method = ConfiguredMethod();
  if (method == nullptr) return "";
  // A NULL random source makes crypt_gensalt read the kernel's randomness.
  return Crypted(password, method->prefix == nullptr
                               ? MakeSalt()
                               : crypt_gensalt(method->prefix, 0, nullptr, 0));
}

std::string HashOperatorPassword(const std::string& password) {
  const Method* method = ConfiguredMethod();
  const char* prefix =
      method != nullptr && method->prefix != nullptr ? method->prefix : kOperatorDefaultPrefix;
  return Crypted(password, crypt_gensalt(prefix, 0, nullptr, 0));
}

bool SetPasswordHash(const std::string& name, const std::string& hash) {
  // Either would end or split the one line chpasswd reads.
  if (name.find_first_of(":\n") != std::string::npos) return false;
  const std::string& setting = Setting("CHPASSWD");
  const std::string line = (setting.empty() ? kDefaultChpasswd : setting) + kChpasswdHashed;
  if (RunCommandLine(line, name + ":" + hash + "\n") == 0) return true;
  // A tool may fail after it wrote the file: what shadow holds decides.
  const spwd* entry = getspnam(name.c_str());
  return entry != nullptr && entry->sp_pwdp != nullptr && hash == entry->sp_pwdp;
}

}  // namespace orvanta
