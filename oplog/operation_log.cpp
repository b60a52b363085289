// Appends one record per completed change to the operation log.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
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

// The result of a change in the system log, by whether its record was kept.
constexpr char kAuditDone[] = "done";
constexpr char kAuditRecordLost[] = "done-record-lost";

// The operator field holds no comma, so the record's fields stay countable.
constexpr std::string_view kEscapedComma = "\\x2C";

constexpr std::array<Operation, 6> kOperations = {{
    {"WILLBEADD", "ADD"},
    {"TOBEMOD", "MOD"},
    {"WILLBEDEL", "DEL"},
    {"GP_WILLBEADD", "GADD"},
    {"GP_WILLBEDEL", "GDEL"},
    {"TOBEAGED", "AGE"},
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

// One write per record, so concurrent appends never interleave. A short
// write (a full disk) is cut off again: a part of a record would join the
// next record into one line that names neither change.
// Returns why the record was not written, or nullptr when it was.
const char* WriteWholeRecord(int fd, const std::string& record) {
  struct stat before {};
  if (fstat(fd, &before) != 0) return "could not be examined";
  if (write(fd, record.data(), record.size()) == static_cast<ssize_t>(record.size())) {
    return nullptr;
  }
  if (ftruncate(fd, before.st_size) != 0) return "could not be written, and a part is left in it";
  return "could not be written";
}

const char* AppendRecord(const std::string& path, const std::string& record) {
  const char* failure = nullptr;
  const int fd = OpenOwnLogFile(path, O_WRONLY | O_APPEND | O_CREAT, failure);
  if (fd < 0) return failure;
  failure = WriteWholeRecord(fd, record);
  close(fd);
  return failure;
}

// The end of every record: the address, the time and, when someone is
// known to act, the operator as a fifth field.
std::string RecordEnd(const std::string& address, const std::string& stamp,
                      const std::string& who) {
  std::string end = OneLine(address) + "," + stamp;
  if (!who.empty()) end += "," + OperatorField(who);
  return end + "\n";
}

std::string RecordOf(std::string_view code, const std::string& name, const std::string& address,
                     const std::string& stamp, const std::string& who) {
  return std::string(code) + "," + OneLine(name) + "," + RecordEnd(address, stamp, who);
}

std::string Stamp() {
  char stamp[1024];
  FormatDateTime(stamp);
  return stamp;
}

bool AppendToLog(const std::string& record) {
  const std::string path = OperationLogPath();
  const char* failure = AppendRecord(path, record);
  if (failure == nullptr) return true;
  // The change was made: only the record is lost, and someone must know.
  ErrorLogLine("record lost: " + Printable(path) + " " + failure + ": " +
               Printable(record.substr(0, record.size() - 1)));
  return false;
}

// Every change made reaches the system log too, even when its record is
// lost: the journal is where the administrators look for who did it.
bool RecordChange(std::string_view code, const std::string& name, const std::string& record) {
  const bool kept = AppendToLog(record);
  AuditEvent(code, name, kept ? kAuditDone : kAuditRecordLost);
  return kept;
}

const Operation* OperationOf(const std::string& command) {
  for (const Operation& operation : kOperations) {
    if (command == operation.command) return &operation;
  }
  return nullptr;
}

OperationLogWriter& ActiveLogWriter() {
  static OperationLogWriter writer;
  return writer;
}

}  // namespace

std::string OperationLogPath() {
  const std::string& setting = Setting("LOGFILE");
  return setting.empty() ? kOperationLogName : setting;
}

// The process runs as root: never follow a link planted at the log's name,
// and never wait on a FIFO there before IsOwnLogFile can refuse it.
int OpenOwnLogFile(const std::string& path, int access, const char*& failure) {
  const int fd = open(path.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    failure = "cannot be opened";
    return -1;
  }
  if (!IsOwnLogFile(fd)) {
    close(fd);
    failure = "is not a regular file with one link owned by root";
    errno = 0;
    return -1;
  }
  return fd;
}

void SetOperationLogWriter(OperationLogWriter writer) { ActiveLogWriter() = std::move(writer); }

std::string OperatorField(std::string_view who) {
  std::string field;
  for (const char c : Printable(who)) {
    if (c == ',') {
      field += kEscapedComma;
    } else {
      field += c;
    }
  }
  return field;
}

std::string FormatOperationRecord(const std::string& command, const std::string& name,
                                  const std::string& address, const std::string& stamp,
                                  const std::string& who) {
  const Operation* operation = OperationOf(command);
  if (operation == nullptr) return RecordEnd(address, stamp, who);
  return RecordOf(operation->code, name, address, stamp, who);
}

bool WriteOperationLog(std::string name) {
  if (ActiveLogWriter()) return ActiveLogWriter()(name);
  const std::string& command = Param("COMMAND");
  const Operation* operation = OperationOf(command);
  return RecordChange(operation != nullptr ? operation->code : command, name,
                      FormatOperationRecord(command, name, Param("REMOTE_ADDR"), Stamp(),
                                            CurrentOperator().name));
}

bool WriteOperationLog(std::string_view code, std::string name) {
  if (ActiveLogWriter()) return ActiveLogWriter()(name);
  return RecordChange(code, name,
                      RecordOf(code, name, Param("REMOTE_ADDR"), Stamp(), CurrentOperator().name));
}

}  // namespace orvanta
