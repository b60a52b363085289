// The program itself, above every feature: one run from start to end, the
// two command tables that name the pages and actions, the one error
// handler, and the choice of where the accounts are kept.
//
//   main.cpp             the entry point
//   dispatch.cpp         RunRequest, the command tables and ReportError
//   menu.cpp             the menu page (GET MENU)
//   directory_store.cpp  with the directory: what the loaded store is given
//                        of the program's own, and the snapshot's readers
//   operator_tool.cpp    orvanta-operator, which keeps the operators file
//                        and the operators' second factors
#pragma once

#include <string_view>

#include "access/access.h"

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

// orvanta-operator add|passwd|remove|list|unlock|totp|totp-reset|totp-codes
// [NAME] [--scope SCOPE] [--config FILE]: keeps the operators file named by
// OPERATORS in the settings file (`config` unless --config names another);
// unlock forgets the name's sign-in counts; totp enrols the operator's
// second factor (after a first code), totp-reset removes it, totp-codes
// makes a new set of recovery codes. Returns the exit status.
int RunOperatorTool(int argc, char** argv, const char* config);

}  // namespace orvanta
