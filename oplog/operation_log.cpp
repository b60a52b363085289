// Appends one record per completed change to the operation log.
#include <fcntl.h>
#include <unistd.h>

#include <array>

#include "cgi/cgi.h"
#include "oplog/oplog.h"
#include "page/page.h"

namespace orvanta {

namespace {

struct Operation {
  const char* command;
  const char* code;
};

constexpr std::array<Operation, 5> kOperations = {{
    {"WILLBEADD", "ADD"},
    {"TOBEMOD", "MOD"},
    {"WILLBEDEL", "DEL"},
    {"GP_WILLBEADD", "GADD"},
    {"GP_WILLBEDEL", "GDEL"},
}};

// One change is always one line: line breaks inside a field become blanks.
std::string OneLine(std::string field) {
  for (char& c : field) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return field;
}

}  // namespace

std::string FormatOperationRecord(const std::string& command, const std::string& name,
                                  const std::string& address, const std::string& stamp) {
  std::string record;
  for (const Operation& operation : kOperations) {
    if (command == operation.command) {
      record += operation.code;
      record += "," + OneLine(name) + ",";
    }
  }
  record += OneLine(address) + "," + stamp + "\n";
  return record;
}

bool WriteOperationLog(std::string name) {
  // The process runs as root: never follow a link planted at the log's name.
  const int fd = open(kOperationLogName, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                      0666);
  if (fd < 0) return false;
  char stamp[1024];
  FormatDateTime(stamp);
  const std::string record =
      FormatOperationRecord(Param("COMMAND"), name, Param("REMOTE_ADDR"), stamp);
  // One write per record, so concurrent appends never interleave.
  const ssize_t written = write(fd, record.data(), record.size());
  close(fd);
  return written == static_cast<ssize_t>(record.size());
}

}  // namespace orvanta
