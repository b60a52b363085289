// Loading the directory store. A set-user-ID root run loads only the
// installed module, and only when nobody but root can have written it or
// any directory above it; the dynamic loader then resolves the same path
// through the same directories, which only root could have changed since.
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "ldap/ldap.h"

namespace orvanta {

namespace {

constexpr char kModuleOverride[] = "ORVANTA_LDAP_MODULE";
constexpr char kNotLoaded[] = "ldap: the directory store is not loaded: ";
constexpr char kUntrusted[] = " is not root's alone (nor is every directory above it)";
constexpr char kOtherVersion[] = " is of another version of the program";
constexpr char kNotInstalled[] =
    " does not exist: ACCOUNTS=ldap needs the directory store, install the package orvanta-ldap";

const OrvantaDirectoryHost*& Host() {
  static const OrvantaDirectoryHost* host = nullptr;
  return host;
}

bool IsRootsAlone(const char* path, bool directory) {
  struct stat info {};
  if (lstat(path, &info) != 0) return false;
  const bool kind = directory ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode);
  return kind && info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The store, or nullptr with `problem` set for the one line on stderr.
const OrvantaDirectoryStore* Load(const std::string& path, std::string& problem) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) {
    problem = Printable(path) + ": " + std::strerror(errno);
    return nullptr;
  }
  if (SecureRun() && !IsTrustedModule(path)) {
    problem = Printable(path) + kUntrusted;
    return nullptr;
  }
  void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    problem = dlerror();
    return nullptr;
  }
  const auto open = reinterpret_cast<OrvantaDirectoryOpen>(dlsym(module, ORVANTA_DIRECTORY_OPEN));
  const OrvantaDirectoryStore* store =
      open == nullptr ? nullptr : open(ORVANTA_DIRECTORY_VERSION, Host());
  if (store == nullptr) problem = Printable(path) + kOtherVersion;
  return store;
}

}  // namespace

void SetDirectoryHost(const OrvantaDirectoryHost* host) { Host() = host; }

std::string DirectoryModulePath() {
  const std::optional<std::string> chosen = ProcessVariable(kModuleOverride);
  if (SecureRun() || !chosen) return ORVANTA_LDAP_MODULE_PATH;
  return *chosen;
}

bool DirectoryModuleInstalled() {
  const std::string path = DirectoryModulePath();
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 || errno != ENOENT) return true;
  ErrorLogLine(kNotLoaded + Printable(path) + kNotInstalled);
  return false;
}

bool IsTrustedModule(const std::string& path) {
  if (!path.starts_with('/')) return false;
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    if (!IsRootsAlone(path.substr(0, slash).c_str(), true)) return false;
  }
  return IsRootsAlone("/", true) && IsRootsAlone(path.c_str(), false);
}

const OrvantaDirectoryStore* LoadedDirectoryStore() {
  static const OrvantaDirectoryStore* store = nullptr;
  static bool tried = false;
  if (!tried) {
    tried = true;
    std::string problem;
    store = Load(DirectoryModulePath(), problem);
    if (store == nullptr) ErrorLogLine(kNotLoaded + problem);
  }
  return store;
}

}  // namespace orvanta
