// Whether the store may read the bind password file (LDAP_BINDPW_FILE).
#include <sys/stat.h>

#include "ldap/ldap.h"

namespace orvanta {

bool IsTrustedPasswordFile(int fd, bool setuid) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  return !setuid || (info.st_uid == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)) == 0);
}

}  // namespace orvanta
