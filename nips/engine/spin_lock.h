// The driver's spin-lock wrapper: a kernel spin lock and the IRQL saved when
// it was acquired, restored on release.
#pragma once

#include <ntddk.h>

struct NipsSpinLock {
  KSPIN_LOCK lock;
  KIRQL oldIrql;
};

// Returns 1 for a null lock, else 0.
ULONG SpinLockInit(NipsSpinLock* spinLock);
// IRQL: <= DISPATCH_LEVEL; returns at DISPATCH_LEVEL.
VOID SpinLockAcquire(NipsSpinLock* spinLock);
// IRQL: DISPATCH_LEVEL; returns at the IRQL saved by the acquisition.
VOID SpinLockRelease(NipsSpinLock* spinLock);
