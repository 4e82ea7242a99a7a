// The Windows x64 build's additions to the kernel headers, given to every
// source of the driver image ahead of its own first line (-include); the
// Linux build never sees this file, kernel/include/ntddk.h declares the same
// names for the stand-in. Only what the kernel headers of the cross toolchain
// lack lives here, with the WDK's names and signatures.
#pragma once

#include <ntddk.h>

// Wide literals: WCHAR is the 16-bit wchar_t on Windows (char16_t in the
// stand-in, whose wchar_t is 32 bits).
#define NTTEXT(s) L##s

// The pool flag of Windows 8 and later for no-execute lookaside entries.
#ifndef POOL_NX_ALLOCATION
#define POOL_NX_ALLOCATION 512
#endif

// The WDK's barrier-free and acquire/release accessors. On x64 every aligned
// load already has acquire and every aligned store release ordering, so these
// are plain moves whose only job is to keep the compiler from tearing, fusing
// or reordering them, as the WDK's own volatile accesses do.
inline LONG ReadNoFence(LONG const volatile* source) {
  return __atomic_load_n(source, __ATOMIC_RELAXED);
}
inline VOID WriteNoFence(LONG volatile* destination, LONG value) {
  __atomic_store_n(destination, value, __ATOMIC_RELAXED);
}
inline PVOID ReadPointerAcquire(PVOID const volatile* source) {
  return __atomic_load_n(source, __ATOMIC_ACQUIRE);
}
inline VOID WritePointerRelease(PVOID volatile* destination, PVOID value) {
  __atomic_store_n(destination, value, __ATOMIC_RELEASE);
}

// IRQL: PASSIVE_LEVEL or APC_LEVEL, in the context of the process that owns
// userDestination. Copies length bytes into a caller's user buffer under a
// structured exception guard: a destination outside user space or a fault
// while writing gives STATUS_ACCESS_VIOLATION instead of a bug check. The
// source must be resident kernel memory. (nips/platform/windows_platform.cpp)
NTSTATUS KeGuardedCopyToUser(PVOID userDestination, const VOID* source, SIZE_T length);

// Marks a constant that the image keeps in its build-variable section.
#define NIPS_BUILD_VARIABLE __attribute__((section(".nipsver"), used))
