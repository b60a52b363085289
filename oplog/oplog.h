// Operation log: one line per completed change, appended to LOGFILE
// (default orvanta.log in the working directory), one system log line for
// each, and the page that shows it.
#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace orvanta {

// The log file when LOGFILE does not name another.
inline constexpr char kOperationLogName[] = "orvanta.log";

// Appends "OP,name,address,YYYY/MM/DD hh:mm\n", the operation chosen by the
// request's COMMAND, with one write; when the run's operator is known,
// ",operator" (OperatorField) stands before the line feed. Returns false,
// and leaves no part of the record, when the log cannot be opened, is not a
// regular file with one link (owned by root when the program runs as root),
// or takes only a part (which is cut off again); stderr then names the
// record. Either way the change goes to the system log (AuditEvent) with
// the operation's code and "done", or "done-record-lost".
bool WriteOperationLog(std::string name);
// The same record with the code given: the actions whose rows are different
// operations (MADD and MDEL, LOCK and UNLOCK) name it per row.
bool WriteOperationLog(std::string_view code, std::string name);

// Replaces the log writer (the fuzz targets record the names instead of
// appending them); an empty function restores the file.
using OperationLogWriter = std::function<bool(const std::string& name)>;
void SetOperationLogWriter(OperationLogWriter writer);

// The log's path: LOGFILE, or kOperationLogName when it names none.
std::string OperationLogPath();
// Opens the log with `access` (open(2) flags) as every user of it must:
// never through a symbolic link, never waiting on a FIFO, and only a
// regular file with one link (owned by root when the program runs as root).
// Returns -1 and why in `failure` otherwise; errno is then open's when the
// file could not be opened at all, else 0.
int OpenOwnLogFile(const std::string& path, int access, const char*& failure);

// GET LOG (history_page.cpp): the log newest first, a page of records
// before the offset FROM, only those of NAME and of OPERATOR when given.
void PrintOperationHistory();
// GET LOGCSV: every record the history's filter shows, oldest first, as a
// CSV file (and its line in the system log).
void ExportOperationHistory();

// The record for a given COMMAND, name, address, time stamp and operator
// (none when empty).
std::string FormatOperationRecord(const std::string& command, const std::string& name,
                                  const std::string& address, const std::string& stamp,
                                  const std::string& who);

// An operator's name as a record holds it: Printable, and a comma as \x2C,
// so that it is one line, adds exactly one field, and (a blank being
// escaped) never reads as the time that ends a record without one.
std::string OperatorField(std::string_view who);

// Whether this run's operator sees every operator's records on the history
// page; otherwise only their own.
bool SeesWholeHistory();

}  // namespace orvanta
