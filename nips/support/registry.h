// Registry open, query and set helpers used by the driver's entry path.
// IRQL: PASSIVE_LEVEL for every routine. Failures are silent: a null handle,
// or false.
#pragma once

#include <ntddk.h>

// Root selectors of OpenRegistryKey. Any other value that passes
// IsRegistryHandle is an open key handle the path is relative to.
constexpr LONG_PTR kRegistryRootAbsolute = -1;
// The machine hive, sign-extended as a pointer-sized value.
constexpr LONG_PTR kRegistryRootMachine = static_cast<LONG>(0x80000002u);

// First attempt of QueryRegistryValue: callers' buffers of at most
// kRegistryScratchThreshold bytes are read through a stack area of
// kRegistryScratchBytes.
constexpr ULONG kRegistryScratchBytes = 400;
constexpr ULONG kRegistryScratchThreshold = 398;

// False for 0, -1 and the three reserved selector values around the machine
// hive; every other value is a handle.
bool IsRegistryHandle(LONG_PTR value);

// Opens root\path (see the selectors above) for KEY_ALL_ACCESS when write is
// set, else KEY_READ. Returns the kernel handle, or null.
HANDLE OpenRegistryKey(LONG_PTR root, PCWSTR path, bool write);
// Closes key only when it passes the handle test.
VOID CloseRegistryKey(HANDLE key);

// Reads the value (the default value for a null or empty name). On success
// returns its type and full data length and copies min(bufferSize, length)
// bytes of data to buffer. type and dataLength may be null.
bool QueryRegistryValue(HANDLE key, PCWSTR name, PULONG type, PVOID buffer, ULONG bufferSize,
                        PULONG dataLength);
// REG_SZ or REG_EXPAND_SZ only; the copy is NUL-terminated at
// min(data length / 2, capacity - 1) characters.
bool QueryRegistryString(HANDLE key, PCWSTR name, WCHAR* buffer, ULONG capacity);

bool SetRegistryValue(HANDLE key, PCWSTR name, ULONG type, const VOID* data, ULONG size);
bool SetRegistryDword(HANDLE key, PCWSTR name, ULONG value);
