// Operation log: one line per completed change, appended to LOGFILE
// (default orvanta.log in the working directory).
#pragma once

#include <ctime>
#include <functional>
#include <string>

namespace orvanta {

// The log file when LOGFILE does not name another.
inline constexpr char kOperationLogName[] = "orvanta.log";

// Appends "OP,name,address,YYYY/MM/DD hh:mm\n", the operation chosen by the
// request's COMMAND. Returns false, and writes nothing, when the log cannot
// be opened or is not a regular file with one link (owned by root when the
// program runs as root).
bool WriteOperationLog(std::string name);

// Replaces the log writer (the fuzz targets record the names instead of
// appending them); an empty function restores the file.
using OperationLogWriter = std::function<bool(const std::string& name)>;
void SetOperationLogWriter(OperationLogWriter writer);

// The record for a given COMMAND, name, address and time stamp.
std::string FormatOperationRecord(const std::string& command, const std::string& name,
                                  const std::string& address, const std::string& stamp);

}  // namespace orvanta
