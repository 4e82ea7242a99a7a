// Connection-tracking store: per-source host records and per-conversation
// records in two bounded hash tables with least-recently-used eviction,
// shared by the stateful detectors through one global context pointer.
// Every operation may run at IRQL <= DISPATCH_LEVEL unless noted.
#pragma once

#include <ntddk.h>

#include "nips/engine/spin_lock.h"
#include "nips/host/firewall.h"

constexpr ULONG kTrackingBuckets = 511;
constexpr ULONG kMaxHostRecords = 512;
constexpr ULONG kMaxConversationRecords = 1024;
constexpr USHORT kHostRecordCacheDepth = 32;
constexpr USHORT kPortItemCacheDepth = 2048;
constexpr USHORT kConversationCacheDepth = 2048;

struct PortItem {
  PortItem* next;
  ULONG lastSeen;  // low 32 bits of CurrentTimeMs
  USHORT port;     // host order
};

struct Sig6178PortState {
  UCHAR seen[8];
  USHORT seenCount;
};

struct HostRecord {
  LIST_ENTRY bucketLink;  // Flink is null once the record has left the table
  LIST_ENTRY recencyLink;
  NipsSpinLock lock;
  ULONG refCount;
  HostAddress key;
  ULONG tcpScanPortCount;
  ULONG udpScanPortCount;
  USHORT tcpScanHighPortSkip;
  USHORT udpScanHighPortSkip;
  PortItem* tcpScanPorts;
  PortItem* udpScanPorts;
  ULONG sig6045Count, sig6045Stamp, sig6045Aux;
  ULONG sig6200Stamp, sig6200Count;
  ULONG sig6201Stamp, sig6201Count;
  ULONG sig6500Count, sig6500Stamp;
  ULONG sig6100Count, sig6100Stamp;
  ULONG sig6146State;
  ULONG sig6178Start, sig6178Count;
  Sig6178PortState sig6178Ports[4];
};

struct ConversationRecord {
  LIST_ENTRY bucketLink;
  LIST_ENTRY recencyLink;
  LONG refCount;
  HostAddress destination;
  USHORT destinationPort;  // host order
  USHORT sourcePort;       // host order
  USHORT kind;
};

struct TrackingContext {
  NipsSpinLock hostLock;
  NPAGED_LOOKASIDE_LIST hostRecordCache;
  NPAGED_LOOKASIDE_LIST portItemCache;
  NPAGED_LOOKASIDE_LIST conversationRecordCache;
  ULONG hostCount;
  LIST_ENTRY hostRecency;
  LIST_ENTRY hostBuckets[kTrackingBuckets];
  ULONG conversationCount;
  NipsSpinLock conversationLock;
  LIST_ENTRY conversationRecency;
  LIST_ENTRY conversationBuckets[kTrackingBuckets];
};

// The one store, or null before creation and after teardown. Written only by
// init and teardown, which the engine never runs while detectors use the store.
extern TrackingContext* g_trackingContext;

// Bucket of an address: the eight little-endian 16-bit words of all 16 bytes
// folded base 31 in unsigned 32-bit arithmetic, mod 511. IRQL: any.
ULONG TrackingBucket(const HostAddress* address);
// Same version, and the first 4 bytes for IPv4 or all 16 for IPv6; any other
// version never matches. IRQL: any.
bool TrackingAddressesMatch(const HostAddress* a, const HostAddress* b);

// IRQL: PASSIVE_LEVEL. Memory comes from the engine, which also frees it.
// STATUS_INVALID_PARAMETER for a null pointer, else STATUS_SUCCESS.
NTSTATUS InitTrackingContext(TrackingContext* context);
// IRQL: PASSIVE_LEVEL. No detector may use the store while it runs; does
// nothing when no store exists.
VOID FreeTrackingContext();

// IRQL: <= DISPATCH_LEVEL. The record carries one reference for the caller,
// or null when not found or no store exists.
HostRecord* FindHostRecord(const HostAddress* source);
// IRQL: <= DISPATCH_LEVEL. STATUS_SUCCESS, or STATUS_INSUFFICIENT_RESOURCES
// when no record can be allocated or no store exists. With an out pointer the
// caller gets one reference (null on failure); without, it gets none.
NTSTATUS CreateHostRecord(const HostAddress* source, HostRecord** record);
// IRQL: <= DISPATCH_LEVEL. Gives back one reference; the last frees the
// record and its port lists.
VOID ReleaseHostRecord(HostRecord* record);
// IRQL: <= DISPATCH_LEVEL. Takes the record out of its table if still there;
// the caller's reference is untouched.
VOID RemoveHostRecord(HostRecord* record);
// IRQL: <= DISPATCH_LEVEL; the lock raises to DISPATCH_LEVEL. While holding
// it a caller may only use AllocPortItem/FreePortItem of the store.
VOID LockHostRecord(HostRecord* record);
// IRQL: DISPATCH_LEVEL; returns at the IRQL saved by LockHostRecord.
VOID UnlockHostRecord(HostRecord* record);
// IRQL: <= DISPATCH_LEVEL. Contents undefined; null when the cache and the
// pool are exhausted or no store exists. Takes no lock.
PortItem* AllocPortItem();
// IRQL: <= DISPATCH_LEVEL. Takes no lock.
VOID FreePortItem(PortItem* item);

// IRQL: <= DISPATCH_LEVEL. The bucket comes from the source address, the
// match from the destination, both ports and kind. One reference for the
// caller, or null.
ConversationRecord* FindConversationRecord(const HostAddress* source,
                                           const HostAddress* destination, USHORT sourcePort,
                                           USHORT destinationPort, USHORT kind);
// IRQL: <= DISPATCH_LEVEL. STATUS_SUCCESS with one reference for the caller
// in *record, or STATUS_INSUFFICIENT_RESOURCES with *record null.
NTSTATUS CreateConversationRecord(const HostAddress* source, const HostAddress* destination,
                                  USHORT sourcePort, USHORT destinationPort, USHORT kind,
                                  ConversationRecord** record);
// IRQL: <= DISPATCH_LEVEL. Detectors pass takeLock = true; false means the
// caller already holds the conversation lock.
VOID ReleaseConversationRecord(ConversationRecord* record, bool takeLock);
// IRQL: <= DISPATCH_LEVEL. As RemoveHostRecord; null does nothing.
VOID RemoveConversationRecord(ConversationRecord* record);

// IRQL: any. System time in milliseconds (signed division of the 100-ns
// system time); callers keep the low 32 bits as stamps.
LONG64 CurrentTimeMs();

// Stamp helpers: a stamp is the low 32 bits of CurrentTimeMs, and an age the
// unsigned 32-bit difference, which stays right across the wrap (~49.7 days).
inline ULONG CurrentStampMs() { return static_cast<ULONG>(CurrentTimeMs()); }
inline ULONG StampAgeMs(ULONG now, ULONG stamp) { return now - stamp; }
