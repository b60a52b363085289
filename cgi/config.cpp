// cfg_file.cfg: "KEY=value" lines stored into gCGIData after the request, so
// that a setting always wins over a parameter of the same name.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "cgi/cgi.h"

namespace orvanta {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Set-user-ID root trusts the settings only when nobody but root can have
// written them: the file names the programs that will run as root.
bool IsTrustedForSetuid(std::FILE* file) {
  struct stat info {};
  if (fstat(fileno(file), &info) != 0) return false;
  return S_ISREG(info.st_mode) && info.st_uid == 0 &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

void StoreConfigLine(std::string line) {
  const size_t cr = line.find('\r');
  if (cr != std::string::npos) line.resize(cr);
  const size_t lf = line.find('\n');
  if (lf != std::string::npos) line.resize(lf);
  if (line.empty() || line[0] == '#') return;
  const size_t equals = line.find('=');
  if (equals == std::string::npos) return;  // neither entry nor comment
  SetParam(line.substr(0, equals), line.substr(equals + 1));
}

}  // namespace

bool ReadConfigFile(const char* path) {
  File file(std::fopen(path, "r"));
  if (!file) return false;
  if (getuid() != geteuid() && !IsTrustedForSetuid(file.get())) return false;

  char* buffer = nullptr;
  size_t capacity = 0;
  ssize_t length = 0;
  while ((length = getline(&buffer, &capacity, file.get())) > 0) {
    StoreConfigLine(std::string(buffer, static_cast<size_t>(length)));
  }
  std::free(buffer);
  return true;
}

}  // namespace orvanta
