// The store of this run and the lock states both stores read.
#include "page/page.h"
#include "store/store.h"

namespace orvanta {

namespace {

const AccountStore*& Chosen() {
  static const AccountStore* chosen = nullptr;
  return chosen;
}

}  // namespace

const AccountStore& Accounts() {
  const AccountStore* chosen = Chosen();
  return chosen != nullptr ? *chosen : HostToolStore();
}

void UseAccountStore(const AccountStore& store) { Chosen() = &store; }

LockState LockStateOf(bool password_locked, bool expired) {
  if (!password_locked) return LockState::Open;
  return expired ? LockState::Locked : LockState::PasswordOnly;
}

LockState ShadowLockState(std::string_view password, long expire_days) {
  return LockStateOf(password.starts_with('!'), expire_days == kLockedExpiryDays);
}

}  // namespace orvanta
