// The settings reader on a file of the input's bytes: the table holds
// exactly the file's KEY=value lines, the last of a key winning, each line
// ended at its first CR or LF, comments and lines without '=' skipped,
// nothing trimmed.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

#include "cgi/cgi.h"

namespace {

// The file lives in memory; its /proc name opens it afresh at offset 0.
struct SettingsFile {
  int fd;
  std::string path;
};

const SettingsFile& File() {
  static const SettingsFile file = [] {
    const int fd = memfd_create("orvanta-fuzz-settings", 0);
    return SettingsFile{fd, "/proc/self/fd/" + std::to_string(fd)};
  }();
  return file;
}

std::map<std::string, std::string> ExpectedTable(std::string_view text) {
  std::map<std::string, std::string> table;
  while (!text.empty()) {
    std::string_view line = text.substr(0, text.find('\n'));
    text.remove_prefix(std::min(line.size() + 1, text.size()));
    line = line.substr(0, line.find('\r'));
    const size_t equals = line.find('=');
    if (line.starts_with('#') || equals == std::string_view::npos) continue;
    table[std::string(line.substr(0, equals))] = line.substr(equals + 1);
  }
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const SettingsFile& file = File();
  if (file.fd < 0 || ftruncate(file.fd, 0) != 0 ||
      pwrite(file.fd, data, size, 0) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  orvanta::gCGIData.clear();
  if (!orvanta::ReadConfigFile(file.path.c_str())) std::abort();
  if (orvanta::gCGIData != ExpectedTable({reinterpret_cast<const char*>(data), size})) {
    std::abort();
  }
  return 0;
}
