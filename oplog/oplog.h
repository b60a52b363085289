// Operation log: one line per completed change, appended to orvanta.log in
// the working directory.
#pragma once

#include <ctime>
#include <string>

namespace orvanta {

inline constexpr char kOperationLogName[] = "orvanta.log";

// Appends "OP,name,address,YYYY/MM/DD hh:mm\n", the operation chosen by the
// request's COMMAND. Returns false when the log could not be opened.
bool WriteOperationLog(std::string name);

// The record for a given COMMAND, name, address and time stamp.
std::string FormatOperationRecord(const std::string& command, const std::string& name,
                                  const std::string& address, const std::string& stamp);

}  // namespace orvanta
