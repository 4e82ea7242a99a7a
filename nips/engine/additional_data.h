// Evidence store: a ring of 128 text slots that detectors fill and user mode
// reads back with control request 8, by the 1-based slot number that travels
// with the intrusion report.
#pragma once

#include <ntddk.h>

#include "nips/engine/spin_lock.h"

constexpr ULONG kAdditionalDataSlots = 128;
constexpr ULONG kAdditionalDataSlotBytes = 1024;
constexpr ULONG kAdditionalDataSlotChars = kAdditionalDataSlotBytes / sizeof(WCHAR);
constexpr ULONG kAdditionalDataBytes = kAdditionalDataSlots * kAdditionalDataSlotBytes;

// The store (null while the plug-in is not started), the 0-based slot the
// next reservation takes, and the lock that guards that index only.
extern UCHAR* g_additionalData;
extern ULONG g_additionalDataNext;
extern NipsSpinLock g_lockAdditionalData;

// IRQL: PASSIVE_LEVEL. Allocates the zero-filled store (untagged, from the
// driver's pool type) and initialises the ring; false when out of memory.
bool AllocateAdditionalData();
// IRQL: PASSIVE_LEVEL. Frees the store if it exists and resets the ring.
void FreeAdditionalData();

// IRQL: <= DISPATCH_LEVEL. Takes the next slot of the ring: returns its
// 512-character text area and stores its 1-based number in *slotNumber; null
// (and 0) when the store does not exist.
WCHAR* ReserveAdditionalData(ULONG* slotNumber);

// IRQL: <= DISPATCH_LEVEL. The text of slot k (1-based), or null when k is
// out of range or the store does not exist. The text is terminated within
// the slot by the detector that wrote it; readers must stay inside the slot.
const WCHAR* AdditionalDataSlot(ULONG slotNumber);

// IRQL: PASSIVE_LEVEL. Control request 8: copies slot k's 1024 bytes to
// output. STATUS_INVALID_PARAMETER when k is outside 1..128,
// STATUS_UNSUCCESSFUL when the store does not exist.
NTSTATUS GetAdditionalData(LONG slotNumber, PVOID output);
