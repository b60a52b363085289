// Request handling: what one run of the program is made of.
//
//   request.cpp   reads the CGI request into gCGIData and gRequestText
//   config.cpp    adds the entries of cfg_file.cfg to the same table
//   snapshot.cpp  copies the account and group databases into memory
//   dispatch.cpp  the entry point, the command tables and the one error handler
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta {

// ---- Failures -------------------------------------------------------------

// A failure is thrown as a bare integer before anything has been written;
// ReportError turns it into the whole response.
using ErrorCode = int;

inline constexpr ErrorCode kErrorMessageInGlobal = 0;  // text in gErrorMessage
inline constexpr ErrorCode kErrorNotCgi = 1;
inline constexpr ErrorCode kErrorNoRequestData = 2;
inline constexpr ErrorCode kErrorNoRoot = 110;
inline constexpr ErrorCode kErrorUnknownCommand = 111;
inline constexpr ErrorCode kErrorNoUserSelected = 112;
inline constexpr ErrorCode kErrorUserAddFailed = 113;
inline constexpr ErrorCode kErrorUserModFailed = 114;
inline constexpr ErrorCode kErrorGroupAddFailed = 115;

// Finished message for ErrorCode 0 (HTML, values already escaped).
extern std::string gErrorMessage;

// ---- Request and settings table ---------------------------------------------

// The run's one name/value table: REMOTE_ADDR and REQUEST_METHOD from the
// environment, then the request parameters, then the configuration entries.
extern std::map<std::string, std::string> gCGIData;

// The whole decoded request text; the deletion actions scan it for repeated
// fields and error 111 quotes it.
extern std::string gRequestText;

// Value of a parameter or setting; a missing name reads as "" and is added.
const std::string& Param(const std::string& name);
void SetParam(const std::string& name, std::string value);
// Whether the name was sent at all (does not add it).
bool HasParam(const std::string& name);

// Converts like the C library's atoi: leading blanks, a sign, digits up to
// the first other byte; no digits give 0.
int AtoiLike(const std::string& text);
// An id threshold setting (SYSTEMUID, SYSTEMGID) as an unsigned 32-bit number.
std::uint32_t IdThreshold(const std::string& key);

std::string ReadRequest();
std::string ReadPostBody();
std::string ReadQueryString();
void UrlDecode(std::string& text);
void ParseParameters(const std::string& text);

// Splits the decoded request text into its name/value pairs, in order: a
// name runs to the next '=' (a '&' does not end it), a value to the next '&';
// text without '=' is a name with an empty value.
void ForEachPair(std::string_view text,
                 const std::function<void(std::string_view name, std::string_view value)>& handle);

// Calls `handle` with the value of every field called `name` in the decoded
// request text, in request order (gCGIData keeps only the last of them).
void ForEachField(std::string_view text, std::string_view name,
                  const std::function<void(const std::string&)>& handle);

// Names that only the environment or cfg_file.cfg may set; a request
// parameter of such a name is dropped.
bool IsReservedParameterName(const std::string& name);

// ---- Configuration ------------------------------------------------------------

inline constexpr char kConfigFileName[] = "cfg_file.cfg";

// Adds every "KEY=value" line of the file to gCGIData. When the program runs
// set-user-ID, a file that root does not own or that group or others may
// write is treated as missing. Returns whether the file was read.
bool ReadConfigFile(const char* path);

// ---- Account snapshot -----------------------------------------------------------

struct UserEntry {
  std::string name;
  std::uint32_t uid = 0;
  std::uint32_t gid = 0;
  std::string gecos;
  std::string dir;
  std::string shell;
};

struct GroupEntry {
  std::string name;
  std::uint32_t gid = 0;
};

extern std::vector<UserEntry> gUserList;
extern std::map<std::string, UserEntry> gUserByName;
extern std::map<std::uint32_t, UserEntry> gUserByUid;
extern std::map<std::string, GroupEntry> gGroupByName;
extern std::map<std::uint32_t, GroupEntry> gGroupByGid;

// Name of the group with this gid; "" when there is none.
std::string GroupNameOf(std::uint32_t gid);

void LoadUsers();
void LoadGroups();
bool CompareUsersByName(const UserEntry& a, const UserEntry& b);
bool CompareUsersByUid(const UserEntry& a, const UserEntry& b);
// Orders gUserList as the SORT setting says.
void SortUserList();

// ---- Entry point and dispatch --------------------------------------------------

// Runs one request from start to end; always returns 0 (the exit status).
int RunRequest();
// Calls the one page or action named by REQUEST_METHOD and COMMAND.
void Dispatch();
// Writes the response that belongs to an error code.
void ReportError(ErrorCode code);

}  // namespace orvanta
