#include "nips/engine/additional_data.h"

#include "nips/engine/pool.h"

UCHAR* g_additionalData = nullptr;
ULONG g_additionalDataNext = 0;
NipsSpinLock g_lockAdditionalData;

bool AllocateAdditionalData() {
  g_additionalDataNext = 0;
  // The one engine block without a tag.
  auto* store = static_cast<UCHAR*>(ExAllocatePool(g_poolType, kAdditionalDataBytes));
  if (store == nullptr) return false;
  RtlZeroMemory(store, kAdditionalDataBytes);
  g_additionalData = store;
  return true;
}

void FreeAdditionalData() {
  if (g_additionalData != nullptr) {
    ExFreePool(g_additionalData);
    g_additionalData = nullptr;
    g_additionalDataNext = 0;
  }
}

WCHAR* ReserveAdditionalData(ULONG* slotNumber) {
  *slotNumber = 0;
  UCHAR* store = g_additionalData;
  if (store == nullptr) return nullptr;
  SpinLockAcquire(&g_lockAdditionalData);
  const ULONG index = g_additionalDataNext;
  g_additionalDataNext = (index + 1) % kAdditionalDataSlots;
  SpinLockRelease(&g_lockAdditionalData);
  *slotNumber = index + 1;
  return reinterpret_cast<WCHAR*>(store + static_cast<SIZE_T>(index) * kAdditionalDataSlotBytes);
}

const WCHAR* AdditionalDataSlot(ULONG slotNumber) {
  UCHAR* store = g_additionalData;
  if (store == nullptr || slotNumber < 1 || slotNumber > kAdditionalDataSlots) return nullptr;
  return reinterpret_cast<const WCHAR*>(store + static_cast<SIZE_T>(slotNumber - 1) *
                                                    kAdditionalDataSlotBytes);
}

NTSTATUS GetAdditionalData(LONG slotNumber, PVOID output) {
  if (slotNumber < 1 || slotNumber > static_cast<LONG>(kAdditionalDataSlots)) {
    return STATUS_INVALID_PARAMETER;
  }
  const WCHAR* slot = AdditionalDataSlot(static_cast<ULONG>(slotNumber));
  if (slot == nullptr) return STATUS_UNSUCCESSFUL;
  RtlCopyMemory(output, slot, kAdditionalDataSlotBytes);
  return STATUS_SUCCESS;
}
