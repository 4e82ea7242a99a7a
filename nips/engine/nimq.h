// NimQ: the in-memory queue of log records that user mode drains through
// control request 6. Writers never block: a full queue drops records and
// leaves one overflow marker.
#pragma once

#include <ntddk.h>

#include "nips/engine/spin_lock.h"

constexpr ULONG kNimqCapacity = 0x20000;
constexpr ULONG kNimqOverflowMarker = 0xFFFFFFFF;

// DrainNimQ results.
constexpr ULONG kNimqDrained = 0;      // copied (or nothing queued)
constexpr ULONG kNimqTooSmall = 2;     // user buffer too small, or no memory; queue kept
constexpr ULONG kNimqBadIrql = 3;      // called above APC_LEVEL
constexpr ULONG kNimqCopyFaulted = 4;  // the user copy faulted; records lost

struct NimQ {
  NipsSpinLock lock;
  KEVENT readable;  // signalled while records are queued, and for good once closed
  UCHAR closed;
  UCHAR data[kNimqCapacity];
  ULONG used;        // bytes of data in use
  ULONG lastRecord;  // offset of the length word of the last record or marker
};

struct NimqSegment {
  const void* data;
  ULONG64 length;
};

// IRQL: PASSIVE_LEVEL (plug-in construction).
void InitNimQ(NimQ* queue);
// IRQL: <= DISPATCH_LEVEL. Appends one record made of the segments; 0 when
// written, 1 when dropped.
ULONG EnqueueNimQ(NimQ* queue, const NimqSegment* segments, ULONG count);
// IRQL: <= APC_LEVEL (returns kNimqBadIrql above). Blocks until records are
// queued (or the queue is closed), then moves them into the user buffer.
ULONG DrainNimQ(NimQ* queue, PVOID userBuffer, ULONG64 userLength, ULONG64* size);
// IRQL: <= DISPATCH_LEVEL. Bytes queued and not yet drained, a snapshot for
// a reader that wants to keep up before the queue fills.
ULONG NimqQueuedBytes(NimQ* queue);
// IRQL: <= DISPATCH_LEVEL. Closes the queue for good and wakes the reader.
void CloseNimQ(NimQ* queue);
