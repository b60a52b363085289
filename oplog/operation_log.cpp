// Appends one record per completed change to the operation log.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>

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

// A hard link would make root append to whatever file it names; a file
// another user owns was not made by this program.
bool IsOwnLogFile(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_nlink == 1 &&
         (geteuid() != 0 || info.st_uid == 0);
}

// The process runs as root: never follow a link planted at the log's name,
// and never wait on a FIFO there before IsOwnLogFile can refuse it. One
// write per record, so concurrent appends never interleave.
// Returns why the record was not written, or nullptr when it was.
const char* AppendRecord(const std::string& path, const std::string& record) {
  const int fd = open(path.c_str(),
                      O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) return "cannot be opened";
  const char* failure = nullptr;
  if (!IsOwnLogFile(fd)) {
    failure = "is not a regular file with one link owned by root";
  } else if (write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
    failure = "could not be written";
  }
  close(fd);
  return failure;
}

OperationLogWriter& ActiveLogWriter() {
  static OperationLogWriter writer;
  return writer;
}

}  // namespace

void SetOperationLogWriter(OperationLogWriter writer) { ActiveLogWriter() = std::move(writer); }

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
  if (ActiveLogWriter()) return ActiveLogWriter()(name);
  const std::string& setting = Setting("LOGFILE");
  const std::string path = setting.empty() ? kOperationLogName : setting;
  char stamp[1024];
  FormatDateTime(stamp);
  const std::string record =
      FormatOperationRecord(Param("COMMAND"), name, Param("REMOTE_ADDR"), stamp);
  const char* failure = AppendRecord(path, record);
  if (failure == nullptr) return true;
  // The change was made: only the record is lost, and someone must know.
  ErrorLogLine("record lost: " + Printable(path) + " " + failure + ": " +
               Printable(record.substr(0, record.size() - 1)));
  return false;
}

}  // namespace orvanta
