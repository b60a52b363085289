// Password ageing with the host's chage: one line of the ticked options,
// under the change lock. A locked account keeps the lock's day 1: a new
// expiry date goes to the saved entry that its unlock gives back.
#include <pwd.h>
#include <shadow.h>

#include "cgi/cgi.h"
#include "hosttools/hosttools.h"
#include "page/page.h"
#include "store/store.h"

namespace orvanta {

namespace {

constexpr char kDefaultChage[] = "/usr/bin/chage";
// The last change set to day 0: the next login asks for a new password.
constexpr char kForceChangeOption[] = " -d 0";

// chage's option for each ticked value, in the order of the form; the
// expiry goes as a day count, which chage takes as it is.
struct ChageOption {
  const char* option;
  std::optional<long> AgeingChanges::*change;
  long PasswordAgeing::*value;
};
constexpr ChageOption kChageOptions[] = {
    {" -M ", &AgeingChanges::max_days, &PasswordAgeing::max_days},
    {" -m ", &AgeingChanges::min_days, &PasswordAgeing::min_days},
    {" -W ", &AgeingChanges::warn_days, &PasswordAgeing::warn_days},
    {" -I ", &AgeingChanges::inactive_days, &PasswordAgeing::inactive_days},
    {" -E ", &AgeingChanges::expire_days, &PasswordAgeing::expire_days},
};

PasswordAgeing AgeingOf(const spwd& entry) {
  return {entry.sp_lstchg, entry.sp_max,   entry.sp_min,
          entry.sp_warn,   entry.sp_inact, entry.sp_expire};
}

std::string ChageOptions(const AgeingChanges& changes) {
  std::string options;
  for (const ChageOption& option : kChageOptions) {
    if (const std::optional<long>& days = changes.*option.change) {
      options += option.option + std::to_string(*days);
    }
  }
  if (changes.force_change) options += kForceChangeOption;
  return options;
}

std::string ChageLine(const std::string& name, const std::string& options) {
  const std::string& setting = Setting("CHAGE");
  return (setting.empty() ? kDefaultChage : setting) + options + " " + ShellWord(name);
}

// After chage failed: whether shadow holds every ticked value all the same
// (chage writes the entry whole or not at all).
bool AgeingChangedAnyway(const std::string& name, const AgeingChanges& changes) {
  const spwd* entry = getspnam(name.c_str());
  if (entry == nullptr) return false;
  const PasswordAgeing now = AgeingOf(*entry);
  for (const ChageOption& option : kChageOptions) {
    const std::optional<long>& days = changes.*option.change;
    if (days && *days != now.*option.value) return false;
  }
  return !changes.force_change || now.last_change == 0;
}

bool SaveLockedExpiry(const UserEntry& user, long days) {
  SavedExpiries saved;
  if (!saved.Load()) return false;
  const std::optional<std::uint32_t> date =
      days < 0 ? std::nullopt : std::optional<std::uint32_t>(static_cast<std::uint32_t>(days));
  return saved.Save(user.name, {user.uid, date});
}

}  // namespace

long OwnExpiryDays(const std::string& name, std::uint32_t uid, long expire_days,
                   const SavedExpiries& saved) {
  if (expire_days != kLockedExpiryDays) return expire_days;
  const SavedExpiry* entry = saved.Find(name, uid);
  return entry != nullptr && entry->days ? static_cast<long>(*entry->days) : -1;
}

std::optional<PasswordAgeing> ToolAgeing(const UserEntry& user) {
  const spwd* entry = getspnam(user.name.c_str());
  if (entry == nullptr) return std::nullopt;
  PasswordAgeing ageing = AgeingOf(*entry);
  if (ageing.expire_days == kLockedExpiryDays) {
    SavedExpiries saved;
    if (!saved.Read()) return std::nullopt;
    ageing.expire_days = OwnExpiryDays(user.name, user.uid, ageing.expire_days, saved);
  }
  return ageing;
}

bool ForcePasswordChangeWithTool(const std::string& name) {
  AgeingChanges forced;
  forced.force_change = true;
  return RunCommandLine(ChageLine(name, kForceChangeOption)) == 0 ||
         AgeingChangedAnyway(name, forced);
}

// One pass over the shadow database; the saved dates are read once, and
// only when a lock's date stands in for one.
std::map<std::string, PasswordAgeing, std::less<>> AllToolAgeing() {
  std::map<std::string, PasswordAgeing, std::less<>> all;
  setspent();
  while (const spwd* entry = getspent()) {
    if (entry->sp_namp != nullptr) all[entry->sp_namp] = AgeingOf(*entry);
  }
  endspent();
  std::optional<SavedExpiries> saved;
  for (auto& [name, ageing] : all) {
    if (ageing.expire_days != kLockedExpiryDays) continue;
    if (!saved) saved.emplace().Read();
    const passwd* account = getpwnam(name.c_str());
    ageing.expire_days = account == nullptr ? -1
                                            : OwnExpiryDays(name, account->pw_uid,
                                                            kLockedExpiryDays, *saved);
  }
  return all;
}

StoreResult ChangeAgeingWithTool(const UserEntry& user, AgeingChanges changes) {
  if (!HoldChangeLock()) return StoreResult::Failed;
  const spwd* entry = getspnam(user.name.c_str());
  if (entry == nullptr) return StoreResult::Refused;
  const bool saves_expiry = entry->sp_expire == kLockedExpiryDays && changes.expire_days;
  const long saved_days = changes.expire_days.value_or(-1);
  if (saves_expiry) changes.expire_days.reset();
  if (const std::string options = ChageOptions(changes); !options.empty()) {
    if (RunCommandLine(ChageLine(user.name, options)) != 0 &&
        !AgeingChangedAnyway(user.name, changes)) {
      return StoreResult::Failed;
    }
  }
  if (saves_expiry && !SaveLockedExpiry(user, saved_days)) return StoreResult::Failed;
  return StoreResult::Done;
}

}  // namespace orvanta
