// Connection-tracking store. Both tables share one design: a bucket array of
// circular chains, a recency list (least recently used first), a count and a
// spin lock that guards all of it together with the reference counts of the
// table's records. No function here holds two locks at once, and records whose
// last reference goes away are given back to their cache after the table lock
// is dropped, so a lock covers only one chain walk or one list edit.
#include "nips/tracking/tracking.h"

#include "nips/engine/pool.h"

TrackingContext* g_trackingContext = nullptr;

namespace {

constexpr ULONG kHashMultiplier = 31;
constexpr ULONG kIpv4AddressBytes = 4;
constexpr ULONG kIpv6AddressBytes = 16;
constexpr ULONG kIpVersion4 = 4;
constexpr ULONG kIpVersion6 = 6;
constexpr LONG64 kSystemTimeUnitsPerMs = 10000;

static_assert(sizeof(HostAddress::bytes) == kIpv6AddressBytes, "an address is 16 bytes");

// Init and teardown publish the context; detectors on other processors read
// it, so both sides go through the pointer barriers.
TrackingContext* Store() {
  return static_cast<TrackingContext*>(
      ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&g_trackingContext)));
}

void PublishStore(TrackingContext* context) {
  WritePointerRelease(reinterpret_cast<PVOID volatile*>(&g_trackingContext), context);
}

// The counts are written under their table's lock but read without it to
// decide on an eviction, hence the no-fence accessors.
ULONG ReadCount(const ULONG* count) {
  return static_cast<ULONG>(ReadNoFence(reinterpret_cast<LONG const volatile*>(count)));
}

void AddToCount(ULONG* count, LONG delta) {
  LONG volatile* word = reinterpret_cast<LONG volatile*>(count);
  WriteNoFence(word, ReadNoFence(word) + delta);
}

HostRecord* HostFromBucketLink(LIST_ENTRY* link) {
  return CONTAINING_RECORD(link, HostRecord, bucketLink);
}

HostRecord* HostFromRecencyLink(LIST_ENTRY* link) {
  return CONTAINING_RECORD(link, HostRecord, recencyLink);
}

ConversationRecord* ConversationFromBucketLink(LIST_ENTRY* link) {
  return CONTAINING_RECORD(link, ConversationRecord, bucketLink);
}

ConversationRecord* ConversationFromRecencyLink(LIST_ENTRY* link) {
  return CONTAINING_RECORD(link, ConversationRecord, recencyLink);
}

// Caller holds the host lock. Unlinks a record that is in the table and
// reports whether the table's reference was the last one.
bool TakeHostOutOfTable(TrackingContext* context, HostRecord* record) {
  RemoveEntryList(&record->bucketLink);
  RemoveEntryList(&record->recencyLink);
  record->bucketLink.Flink = nullptr;
  AddToCount(&context->hostCount, -1);
  return --record->refCount == 0;
}

// No lock: the record has no reference left, so nobody else can reach it.
void FreeHostRecord(TrackingContext* context, HostRecord* record) {
  PortItem* lists[] = {record->tcpScanPorts, record->udpScanPorts};
  for (PortItem* item : lists) {
    while (item != nullptr) {
      PortItem* next = item->next;
      ExFreeToNPagedLookasideList(&context->portItemCache, item);
      item = next;
    }
  }
  ExFreeToNPagedLookasideList(&context->hostRecordCache, record);
}

// Caller holds the conversation lock (or is tearing down).
bool DropConversationReference(ConversationRecord* record) { return --record->refCount <= 0; }

// Caller holds the conversation lock; as TakeHostOutOfTable.
bool TakeConversationOutOfTable(TrackingContext* context, ConversationRecord* record) {
  RemoveEntryList(&record->bucketLink);
  RemoveEntryList(&record->recencyLink);
  record->bucketLink.Flink = nullptr;
  AddToCount(&context->conversationCount, -1);
  return DropConversationReference(record);
}

bool ConversationMatches(const ConversationRecord* record, const HostAddress* destination,
                         USHORT sourcePort, USHORT destinationPort, USHORT kind) {
  return TrackingAddressesMatch(&record->destination, destination) &&
         record->destinationPort == destinationPort && record->sourcePort == sourcePort &&
         record->kind == kind;
}

}  // namespace

// IRQL: any.
ULONG TrackingBucket(const HostAddress* address) {
  ULONG hash = 0;
  for (ULONG i = 0; i < kIpv6AddressBytes; i += 2) {
    const ULONG word =
        static_cast<ULONG>(address->bytes[i]) | static_cast<ULONG>(address->bytes[i + 1]) << 8;
    hash = hash * kHashMultiplier + word;
  }
  return hash % kTrackingBuckets;
}

// IRQL: any.
bool TrackingAddressesMatch(const HostAddress* a, const HostAddress* b) {
  if (a->version != b->version) return false;
  if (a->version == kIpVersion4) return RtlEqualMemory(a->bytes, b->bytes, kIpv4AddressBytes);
  if (a->version == kIpVersion6) return RtlEqualMemory(a->bytes, b->bytes, kIpv6AddressBytes);
  return false;
}

// IRQL: PASSIVE_LEVEL.
NTSTATUS InitTrackingContext(TrackingContext* context) {
  if (context == nullptr) return STATUS_INVALID_PARAMETER;
  SpinLockInit(&context->hostLock);
  SpinLockInit(&context->conversationLock);
  InitializeListHead(&context->hostRecency);
  InitializeListHead(&context->conversationRecency);
  for (ULONG i = 0; i < kTrackingBuckets; ++i) {
    InitializeListHead(&context->hostBuckets[i]);
    InitializeListHead(&context->conversationBuckets[i]);
  }
  context->hostCount = 0;
  context->conversationCount = 0;
  ExInitializeNPagedLookasideList(&context->hostRecordCache, nullptr, nullptr, g_lookasideFlags,
                                  sizeof(HostRecord), kPoolTagHostRecord, kHostRecordCacheDepth);
  ExInitializeNPagedLookasideList(&context->portItemCache, nullptr, nullptr, g_lookasideFlags,
                                  sizeof(PortItem), kPoolTagPortItem, kPortItemCacheDepth);
  ExInitializeNPagedLookasideList(&context->conversationRecordCache, nullptr, nullptr,
                                  g_lookasideFlags, sizeof(ConversationRecord),
                                  kPoolTagConversation, kConversationCacheDepth);
  PublishStore(context);
  return STATUS_SUCCESS;
}

// IRQL: PASSIVE_LEVEL. Takes no lock: the engine stops inspection first.
VOID FreeTrackingContext() {
  TrackingContext* context = Store();
  if (context == nullptr) return;
  // Only the recency lists are walked: they hold every record of a table.
  while (!IsListEmpty(&context->hostRecency)) {
    HostRecord* record = HostFromRecencyLink(RemoveHeadList(&context->hostRecency));
    record->bucketLink.Flink = nullptr;
    if (--record->refCount == 0) FreeHostRecord(context, record);
  }
  context->hostCount = 0;
  while (!IsListEmpty(&context->conversationRecency)) {
    ConversationRecord* record =
        ConversationFromRecencyLink(RemoveHeadList(&context->conversationRecency));
    ExFreeToNPagedLookasideList(&context->conversationRecordCache, record);
  }
  context->conversationCount = 0;
  ExDeleteNPagedLookasideList(&context->hostRecordCache);
  ExDeleteNPagedLookasideList(&context->portItemCache);
  ExDeleteNPagedLookasideList(&context->conversationRecordCache);
  PublishStore(nullptr);
}

// IRQL: <= DISPATCH_LEVEL.
HostRecord* FindHostRecord(const HostAddress* source) {
  TrackingContext* context = Store();
  if (context == nullptr) return nullptr;
  LIST_ENTRY* bucket = &context->hostBuckets[TrackingBucket(source)];
  HostRecord* found = nullptr;
  SpinLockAcquire(&context->hostLock);
  for (LIST_ENTRY* link = bucket->Flink; link != bucket; link = link->Flink) {
    HostRecord* record = HostFromBucketLink(link);
    if (TrackingAddressesMatch(&record->key, source)) {
      ++record->refCount;
      RemoveEntryList(&record->recencyLink);
      InsertTailList(&context->hostRecency, &record->recencyLink);
      found = record;
      break;
    }
  }
  SpinLockRelease(&context->hostLock);
  return found;
}

// IRQL: <= DISPATCH_LEVEL.
NTSTATUS CreateHostRecord(const HostAddress* source, HostRecord** record) {
  if (record != nullptr) *record = nullptr;
  TrackingContext* context = Store();
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  // The count is checked before the lock, so racing creations may leave the
  // table a few records over its bound for a moment; each evicts at most one.
  if (ReadCount(&context->hostCount) >= kMaxHostRecords) {
    HostRecord* evicted = nullptr;
    SpinLockAcquire(&context->hostLock);
    if (!IsListEmpty(&context->hostRecency)) {
      HostRecord* oldest = HostFromRecencyLink(context->hostRecency.Flink);
      if (TakeHostOutOfTable(context, oldest)) evicted = oldest;
    }
    SpinLockRelease(&context->hostLock);
    if (evicted != nullptr) FreeHostRecord(context, evicted);
  }

  HostRecord* created =
      static_cast<HostRecord*>(ExAllocateFromNPagedLookasideList(&context->hostRecordCache));
  if (created == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(created, sizeof(*created));
  SpinLockInit(&created->lock);
  // Not yet visible to other processors: its first counts need no lock.
  if (record != nullptr) {
    *record = created;
    created->refCount = 1;
  }
  created->key = *source;

  LIST_ENTRY* bucket = &context->hostBuckets[TrackingBucket(source)];
  SpinLockAcquire(&context->hostLock);
  ++created->refCount;  // the table's reference
  InsertTailList(bucket, &created->bucketLink);
  InsertTailList(&context->hostRecency, &created->recencyLink);
  AddToCount(&context->hostCount, 1);
  SpinLockRelease(&context->hostLock);
  return STATUS_SUCCESS;
}

// IRQL: <= DISPATCH_LEVEL.
VOID ReleaseHostRecord(HostRecord* record) {
  TrackingContext* context = Store();
  if (record == nullptr || context == nullptr) return;
  SpinLockAcquire(&context->hostLock);
  const bool last = --record->refCount == 0;
  SpinLockRelease(&context->hostLock);
  if (last) FreeHostRecord(context, record);
}

// IRQL: <= DISPATCH_LEVEL.
VOID RemoveHostRecord(HostRecord* record) {
  TrackingContext* context = Store();
  if (record == nullptr || context == nullptr) return;
  bool last = false;
  SpinLockAcquire(&context->hostLock);
  if (record->bucketLink.Flink != nullptr) last = TakeHostOutOfTable(context, record);
  SpinLockRelease(&context->hostLock);
  if (last) FreeHostRecord(context, record);
}

// IRQL: <= DISPATCH_LEVEL.
VOID LockHostRecord(HostRecord* record) { SpinLockAcquire(&record->lock); }

// IRQL: DISPATCH_LEVEL.
VOID UnlockHostRecord(HostRecord* record) { SpinLockRelease(&record->lock); }

// IRQL: <= DISPATCH_LEVEL.
PortItem* AllocPortItem() {
  TrackingContext* context = Store();
  if (context == nullptr) return nullptr;
  return static_cast<PortItem*>(ExAllocateFromNPagedLookasideList(&context->portItemCache));
}

// IRQL: <= DISPATCH_LEVEL.
VOID FreePortItem(PortItem* item) {
  TrackingContext* context = Store();
  if (item == nullptr || context == nullptr) return;
  ExFreeToNPagedLookasideList(&context->portItemCache, item);
}

// IRQL: <= DISPATCH_LEVEL. Also safe without a store (returns null), so a
// detector never depends on call order for that case.
ConversationRecord* FindConversationRecord(const HostAddress* source,
                                           const HostAddress* destination, USHORT sourcePort,
                                           USHORT destinationPort, USHORT kind) {
  TrackingContext* context = Store();
  if (context == nullptr) return nullptr;
  LIST_ENTRY* bucket = &context->conversationBuckets[TrackingBucket(source)];
  ConversationRecord* found = nullptr;
  SpinLockAcquire(&context->conversationLock);
  for (LIST_ENTRY* link = bucket->Flink; link != bucket; link = link->Flink) {
    ConversationRecord* record = ConversationFromBucketLink(link);
    if (ConversationMatches(record, destination, sourcePort, destinationPort, kind)) {
      ++record->refCount;
      RemoveEntryList(&record->recencyLink);
      InsertTailList(&context->conversationRecency, &record->recencyLink);
      found = record;
      break;
    }
  }
  SpinLockRelease(&context->conversationLock);
  return found;
}

// IRQL: <= DISPATCH_LEVEL. A null out pointer is tolerated: the caller then
// gets no reference, as with CreateHostRecord.
NTSTATUS CreateConversationRecord(const HostAddress* source, const HostAddress* destination,
                                  USHORT sourcePort, USHORT destinationPort, USHORT kind,
                                  ConversationRecord** record) {
  if (record != nullptr) *record = nullptr;
  TrackingContext* context = Store();
  if (context == nullptr) return STATUS_INSUFFICIENT_RESOURCES;

  if (ReadCount(&context->conversationCount) >= kMaxConversationRecords) {
    ConversationRecord* evicted = nullptr;
    SpinLockAcquire(&context->conversationLock);
    if (!IsListEmpty(&context->conversationRecency)) {
      ConversationRecord* oldest = ConversationFromRecencyLink(context->conversationRecency.Flink);
      if (TakeConversationOutOfTable(context, oldest)) evicted = oldest;
    }
    SpinLockRelease(&context->conversationLock);
    if (evicted != nullptr) {
      ExFreeToNPagedLookasideList(&context->conversationRecordCache, evicted);
    }
  }

  ConversationRecord* created = static_cast<ConversationRecord*>(
      ExAllocateFromNPagedLookasideList(&context->conversationRecordCache));
  if (created == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(created, sizeof(*created));
  created->destination = *destination;
  created->destinationPort = destinationPort;
  created->sourcePort = sourcePort;
  created->kind = kind;
  created->refCount = 1;  // the table's

  LIST_ENTRY* bucket = &context->conversationBuckets[TrackingBucket(source)];
  SpinLockAcquire(&context->conversationLock);
  InsertTailList(bucket, &created->bucketLink);
  InsertTailList(&context->conversationRecency, &created->recencyLink);
  if (record != nullptr) {
    ++created->refCount;  // the caller's
    *record = created;
  }
  AddToCount(&context->conversationCount, 1);
  SpinLockRelease(&context->conversationLock);
  return STATUS_SUCCESS;
}

// IRQL: <= DISPATCH_LEVEL.
VOID ReleaseConversationRecord(ConversationRecord* record, bool takeLock) {
  TrackingContext* context = Store();
  if (record == nullptr || context == nullptr) return;
  if (!takeLock) {
    // The caller holds the conversation lock; the cache takes no driver lock.
    if (DropConversationReference(record)) {
      ExFreeToNPagedLookasideList(&context->conversationRecordCache, record);
    }
    return;
  }
  SpinLockAcquire(&context->conversationLock);
  const bool last = DropConversationReference(record);
  SpinLockRelease(&context->conversationLock);
  if (last) ExFreeToNPagedLookasideList(&context->conversationRecordCache, record);
}

// IRQL: <= DISPATCH_LEVEL.
VOID RemoveConversationRecord(ConversationRecord* record) {
  TrackingContext* context = Store();
  if (record == nullptr || context == nullptr) return;
  bool last = false;
  SpinLockAcquire(&context->conversationLock);
  if (record->bucketLink.Flink != nullptr) last = TakeConversationOutOfTable(context, record);
  SpinLockRelease(&context->conversationLock);
  if (last) ExFreeToNPagedLookasideList(&context->conversationRecordCache, record);
}

// IRQL: any. C++ division truncates toward zero, as the kernel's does.
LONG64 CurrentTimeMs() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  return now.QuadPart / kSystemTimeUnitsPerMs;
}
