// The program itself, above every feature: one run from start to end, the
// two command tables that name the pages and actions, the one error
// handler, and the choice of where the accounts are kept.
//
//   main.cpp             the entry point
//   dispatch.cpp         RunRequest, the command tables and ReportError
//   menu.cpp             the menu page (GET MENU)
//   directory_store.cpp  with the directory: what the loaded store is given
//                        of the program's own, and the snapshot's readers
//   login.cpp            the operators' login (OPERATORS)
//   login_attempts.cpp   the count of failed logins per name and address
//   operator_tool.cpp    orvanta-operator, which keeps the operators file
#pragma once

#include <string_view>

#include "cgi/cgi.h"

namespace orvanta {

// Runs one request from start to end; always returns 0 (the exit status).
int RunRequest();
// Calls the one page or action named by REQUEST_METHOD and COMMAND.
void Dispatch();
// Writes the response that belongs to an error code.
void ReportError(ErrorCode code);
// Whether the GET page of the command is one the operator's scope opens.
bool MayOpenPage(std::string_view command);
// GET MENU: the menu of the pages the operator may open.
void PrintMenu();

// Once the settings are read, the one place that picks the store of the
// run (store/). With the directory (UsesDirectory): the snapshot reads the
// directory, and the directory store, when first used, gets the program's
// settings, change lock, runner and home steps.
void ChooseAccountStore();

// How long a failed login waits before its answer. A test build of the
// program shortens it; nothing at run time can.
#ifndef ORVANTA_LOGIN_FAILURE_WAIT_MILLISECONDS
#define ORVANTA_LOGIN_FAILURE_WAIT_MILLISECONDS 2000
#endif
inline constexpr long kLoginFailureWaitMilliseconds = ORVANTA_LOGIN_FAILURE_WAIT_MILLISECONDS;

// With OPERATORS set, after the switch to root and before anything reads an
// account: verifies the request's Basic credentials against the operators
// file and makes the operator the run's. Throws kErrorNotLoggedIn without
// valid ones (a failure is recorded and waited for), kErrorNoRoot when the
// file is missing or, when the run started set-user-ID, not root's alone.
// Without OPERATORS it does nothing.
void LogInOperator(bool started_setuid);

// After 10 failures for one name from one address within 15 minutes, that
// pair is locked out for 15 minutes. An attempt is noted before its check:
// Counted: it is pending until ClearLoginAttempts (a success) or
// RecordLoginFailure ends it, and one that never ends (its run died) counts
// as a failure after a minute, so that concurrent good logins never lock
// their pair out; Uncounted: the count could not be kept (stderr says why),
// so nobody is let in.
enum class LoginAttempt { Counted, LockedOut, Uncounted };
LoginAttempt CountLoginAttempt(std::string_view name, std::string_view address);
void ClearLoginAttempts(std::string_view name, std::string_view address);
void RecordLoginFailure(std::string_view name, std::string_view address);

// orvanta-operator add|passwd|remove|list [NAME] [--scope SCOPE] [--config FILE]:
// keeps the operators file named by OPERATORS in the settings file (`config`
// unless --config names another). Returns the exit status.
int RunOperatorTool(int argc, char** argv, const char* config);

}  // namespace orvanta
