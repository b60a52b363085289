// POST TOBELOCK: locks (ACTION=LOCK) or unlocks (ACTION=UNLOCK) every posted
// NAME with usermod, one result row per NAME, in request order.
//
// A '!' before the password stops password logins only (keys and other
// PAM ways still get in), so a lock also sets the expiry date to
// kLockedExpiryDays, which the account check of every login refuses. The
// date it replaces is saved first (SavedExpiries) and given back by UNLOCK.
#include <shadow.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "ldap/ldap.h"
#include "oplog/oplog.h"
#include "page/page.h"
#include "user/lock_texts.h"
#include "user/user.h"

namespace orvanta {

namespace {

struct LockAction {
  const char* value;   // of ACTION, and the code of the log record
  const char* option;  // usermod's option
  const char* done;
};

constexpr LockAction kLockActions[] = {
    {"LOCK", " -L", kLockDone},
    {"UNLOCK", " -U", kUnlockDone},
};
constexpr const LockAction& kLock = kLockActions[0];
constexpr const LockAction& kUnlock = kLockActions[1];

// usermod -e with an empty date removes the expiry date.
constexpr char kNoExpiryOption[] = " -e ''";

const LockAction* ChosenAction() {
  for (const LockAction& action : kLockActions) {
    if (Param("ACTION") == action.value) return &action;
  }
  return nullptr;
}

void PrintRow(const std::string& name, const char* outcome) {
  std::printf(kLockRowFormat, Html(name).c_str(), outcome);
}

// What a lock changes in a shadow entry.
struct ShadowLock {
  std::string password;
  long expire_days = -1;
  bool operator==(const ShadowLock&) const = default;
  bool Locked() const { return ShadowLockState(password, expire_days) == LockState::Locked; }
};

ShadowLock ShadowLockOf(const spwd& entry) {
  return {entry.sp_pwdp == nullptr ? "" : entry.sp_pwdp, entry.sp_expire};
}

using ShadowLocks = std::map<std::string, ShadowLock, std::less<>>;

// The entries of the names from one pass over the shadow database, however
// many names: a getspnam each would read it once per name.
ShadowLocks ReadShadowLocks(const std::set<std::string, std::less<>>& names) {
  ShadowLocks found;
  setspent();
  while (const spwd* entry = getspent()) {
    if (entry->sp_namp != nullptr && names.count(entry->sp_namp) != 0) {
      found.emplace(entry->sp_namp, ShadowLockOf(*entry));
    }
  }
  endspent();
  return found;
}

// After a tool failed: whether the entry changed all the same, to the
// state the action makes (usermod writes shadow whole or not at all).
bool ChangedAnyway(const std::string& name, const ShadowLock& before, bool lock) {
  const spwd* entry = getspnam(name.c_str());
  if (entry == nullptr) return false;
  const ShadowLock after = ShadowLockOf(*entry);
  return after != before && after.Locked() == lock;
}

// The date to save: none for none, and none for the lock's own date.
std::optional<std::uint32_t> DateToSave(long expire_days) {
  if (expire_days < 0 || expire_days == kLockedExpiryDays || expire_days > UINT32_MAX) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(expire_days);
}

struct LockRequest {
  const LockAction* action = nullptr;  // nullptr: refuses every row
  AccountGuard guard;
  FoundUsers found;
  ShadowLocks shadow;                // the tools' accounts that may change
  SavedExpiries saved;               // read under the change lock
  bool saved_loaded = false;         // false: no tool runs
  std::map<std::string, bool> rows;  // names with a row: whether refused
};

// Without a tool setting the line would start with the request's values;
// without the saved dates read, a lock could lose one.
bool MayRunTool(const LockRequest& request) {
  return !Setting("USERMOD").empty() && request.saved_loaded;
}

bool LockWithTool(const UserEntry& user, const ShadowLock& before, LockRequest& request) {
  if (!MayRunTool(request)) return false;
  // A second lock keeps the date the first one saved.
  const bool saving = request.saved.Find(user.name, user.uid) == nullptr;
  if (saving && !request.saved.Save(user.name, {user.uid, DateToSave(before.expire_days)})) {
    return false;
  }
  const std::string line = Setting("USERMOD") + kLock.option + " -e " +
                           std::to_string(kLockedExpiryDays) + " " + ShellWord(user.name);
  if (RunCommandLine(line) == 0 || ChangedAnyway(user.name, before, true)) return true;
  if (saving) request.saved.Forget(user.name);
  return false;
}

// The saved date back; without one, only the lock's own date goes.
std::string UnlockExpiryOption(const SavedExpiry* saved, const ShadowLock& before) {
  if (saved != nullptr && saved->days) return " -e " + std::to_string(*saved->days);
  if (saved != nullptr || before.expire_days == kLockedExpiryDays) return kNoExpiryOption;
  return "";
}

bool UnlockWithTool(const UserEntry& user, const ShadowLock& before, LockRequest& request) {
  if (!MayRunTool(request)) return false;
  const SavedExpiry* saved = request.saved.Find(user.name, user.uid);
  const std::string line = Setting("USERMOD") + kUnlock.option +
                           UnlockExpiryOption(saved, before) + " " + ShellWord(user.name);
  if (RunCommandLine(line) != 0 && !ChangedAnyway(user.name, before, false)) return false;
  // The unlock happened: a date left behind is reported by Forget.
  request.saved.Forget(user.name);
  return true;
}

// The directory backend instead of the tool: the same rows and records.
void LockInDirectory(const std::string& name, const LockAction& action) {
  const DirectoryResult result = DirectoryLockUser(name, &action == &kLock);
  if (result == DirectoryResult::Done) {
    PrintRow(name, action.done);
    WriteOperationLog(action.value, name);
  } else {
    PrintRow(name, result == DirectoryResult::Refused ? kLockRefused : kLockFailed);
  }
}

void LockWithTools(const UserEntry& user, const ShadowLock& before, LockRequest& request) {
  const LockAction& action = *request.action;
  const bool done = &action == &kLock ? LockWithTool(user, before, request)
                                      : UnlockWithTool(user, before, request);
  PrintRow(user.name, done ? action.done : kLockFailed);
  if (done) WriteOperationLog(action.value, user.name);
}

void LockOne(const std::string& name, LockRequest& request) {
  // A name posted again was dealt with by its first row: no more lookups.
  if (const auto row = request.rows.find(name); row != request.rows.end()) {
    PrintRow(name, row->second ? kLockRefused : kLockFailed);
    return;
  }
  const UserEntry* user = request.action == nullptr
                              ? nullptr
                              : ChangeableUser(request.found, name, request.guard);
  // An account without a shadow entry has no password to lock (in the
  // directory: without a {CRYPT} password, which the lock answers).
  const auto before = request.shadow.find(name);
  const bool refused =
      user == nullptr || (!UsesDirectory() && before == request.shadow.end());
  request.rows.emplace(name, refused);
  if (refused) {
    PrintRow(name, kLockRefused);
  } else if (UsesDirectory()) {
    LockInDirectory(name, *request.action);
  } else {
    LockWithTools(*user, before->second, request);
  }
}

// For the tools: the shadow entries and saved dates, read under the change
// lock, of the accounts that may change.
void ReadToolState(const std::set<std::string, std::less<>>& names, LockRequest& request) {
  std::set<std::string, std::less<>> changeable;
  for (const std::string& name : names) {
    if (ChangeableUser(request.found, name, request.guard) != nullptr) changeable.insert(name);
  }
  if (changeable.empty()) return;
  request.saved_loaded = request.saved.Load();
  request.shadow = ReadShadowLocks(changeable);
}

}  // namespace

void LockUsers(const std::string& request_text) {
  LockRequest request;
  request.action = ChosenAction();
  // One pass over the database for all the names, however many.
  std::set<std::string, std::less<>> names;
  ForEachField(request_text, "NAME", [&](const std::string& name) { names.insert(name); });
  request.found = FindUsers(names);
  if (request.action != nullptr && !UsesDirectory()) ReadToolState(names, request);
  PrintPageHeader();
  std::fputs(kLockedCaption, stdout);
  std::fputs(kLockedHeading, stdout);
  ForEachField(request_text, "NAME", [&](const std::string& name) { LockOne(name, request); });
  std::fputs("</TABLE>\n", stdout);
  PrintPageFooter();
}

}  // namespace orvanta
