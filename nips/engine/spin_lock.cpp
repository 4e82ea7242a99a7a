#include "nips/engine/spin_lock.h"

ULONG SpinLockInit(NipsSpinLock* spinLock) {
  if (spinLock == nullptr) return 1;
  KeInitializeSpinLock(&spinLock->lock);
  return 0;
}

VOID SpinLockAcquire(NipsSpinLock* spinLock) {
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&spinLock->lock);
  spinLock->oldIrql = old;  // written only while the lock is held
}

VOID SpinLockRelease(NipsSpinLock* spinLock) {
  KIRQL old = spinLock->oldIrql;
  KeReleaseSpinLock(&spinLock->lock, old);
}
