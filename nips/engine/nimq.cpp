#include "nips/engine/nimq.h"

#include "nips/engine/pool.h"

namespace {

void WriteWord(NimQ* queue, ULONG offset, ULONG value) {
  RtlCopyMemory(queue->data + offset, &value, sizeof value);
}

ULONG ReadWord(const NimQ* queue, ULONG offset) {
  ULONG value;
  RtlCopyMemory(&value, queue->data + offset, sizeof value);
  return value;
}

// Caller holds the lock.
void ResetNimQ(NimQ* queue) {
  queue->used = 0;
  queue->lastRecord = 0;
  if (!queue->closed) KeClearEvent(&queue->readable);
}

}  // namespace

void InitNimQ(NimQ* queue) {
  SpinLockInit(&queue->lock);
  KeInitializeEvent(&queue->readable, NotificationEvent, FALSE);
  queue->closed = 0;
  queue->used = 0;
  queue->lastRecord = 0;
}

ULONG EnqueueNimQ(NimQ* queue, const NimqSegment* segments, ULONG count) {
  // Sum outside the lock; a sum that cannot fit in the queue is simply too big.
  ULONG64 payload = 0;
  for (ULONG i = 0; i < count; ++i) {
    if (segments[i].length > kNimqCapacity) {
      payload = kNimqCapacity;
      break;
    }
    payload += segments[i].length;
  }
  const ULONG64 total = sizeof(ULONG) + payload;

  ULONG result;
  SpinLockAcquire(&queue->lock);
  if (queue->closed) {
    SpinLockRelease(&queue->lock);
    return 1;
  }
  // Room for the record and for one later overflow marker.
  if (kNimqCapacity - queue->used >= total + sizeof(ULONG)) {
    queue->lastRecord = queue->used;
    WriteWord(queue, queue->used, static_cast<ULONG>(payload));
    queue->used += sizeof(ULONG);
    for (ULONG i = 0; i < count; ++i) {
      if (segments[i].length != 0) {
        RtlCopyMemory(queue->data + queue->used, segments[i].data, segments[i].length);
      }
      queue->used += static_cast<ULONG>(segments[i].length);
    }
    result = 0;
  } else {
    const bool markerLast = queue->used > queue->lastRecord &&
                            ReadWord(queue, queue->lastRecord) == kNimqOverflowMarker;
    if (!markerLast) {
      queue->lastRecord = queue->used;
      WriteWord(queue, queue->used, kNimqOverflowMarker);
      queue->used += sizeof(ULONG);
    }
    result = 1;
  }
  // The first record or marker of an empty queue wakes the reader.
  if (queue->lastRecord == 0) KeSetEvent(&queue->readable, 0, FALSE);
  SpinLockRelease(&queue->lock);
  return result;
}

ULONG DrainNimQ(NimQ* queue, PVOID userBuffer, ULONG64 userLength, ULONG64* size) {
  if (KeGetCurrentIrql() > APC_LEVEL) return kNimqBadIrql;
  KeWaitForSingleObject(&queue->readable, UserRequest, UserMode, FALSE, nullptr);

  ULONG code = kNimqDrained;
  PVOID copy = nullptr;
  ULONG copyLength = 0;
  SpinLockAcquire(&queue->lock);
  *size = queue->used;
  if (queue->used > userLength) {
    code = kNimqTooSmall;
  } else if (queue->used != 0) {
    copy = ExAllocatePoolWithTag(g_poolType, queue->used, kPoolTagEngine);
    if (copy == nullptr) {
      code = kNimqTooSmall;
    } else {
      copyLength = queue->used;
      RtlCopyMemory(copy, queue->data, copyLength);
      ResetNimQ(queue);
    }
  } else {
    ResetNimQ(queue);
  }
  SpinLockRelease(&queue->lock);

  // The user copy happens outside the lock: it may fault, and it is the
  // reader's time, not the writers'.
  if (copy != nullptr) {
    if (!NT_SUCCESS(KeGuardedCopyToUser(userBuffer, copy, copyLength))) code = kNimqCopyFaulted;
    ExFreePoolWithTag(copy, kPoolTagEngine);
  }
  return code;
}

void CloseNimQ(NimQ* queue) {
  SpinLockAcquire(&queue->lock);
  queue->closed = 1;
  KeSetEvent(&queue->readable, 0, FALSE);
  SpinLockRelease(&queue->lock);
}

ULONG NimqQueuedBytes(NimQ* queue) {
  SpinLockAcquire(&queue->lock);
  const ULONG used = queue->used;
  SpinLockRelease(&queue->lock);
  return used;
}
