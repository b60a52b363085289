// An account of a lock or deletion request, read again under the change
// lock just before its change: the request's page and its first lookup
// may be minutes old by the time a long selection reaches it.
#include "hosttools/hosttools.h"
#include "user/user.h"

namespace orvanta {

StoreResult ReadAgainUnderLock(const UserEntry& before, const AccountGuard& guard, UserEntry& now) {
  if (!HoldChangeLock()) return StoreResult::Failed;
  const FoundUsers found = FindUsers({before.name});
  const UserEntry* user = ChangeableUser(found, before.name, guard);
  // The same account (a new one may have the name of one deleted meanwhile)
  // and still the operator's.
  if (user == nullptr || user->uid != before.uid || !OwnsAccountNamed(found, before.name)) {
    return StoreResult::Refused;
  }
  now = *user;
  return StoreResult::Done;
}

}  // namespace orvanta
