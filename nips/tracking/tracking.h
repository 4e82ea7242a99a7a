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

// The one store, or null before creation and after teardown.
extern TrackingContext* g_trackingContext;

// Bucket of an address: the eight little-endian 16-bit words of all 16 bytes
// folded base 31, mod 511.
ULONG TrackingBucket(const HostAddress* address);
bool TrackingAddressesMatch(const HostAddress* a, const HostAddress* b);

// IRQL: PASSIVE_LEVEL. Memory comes from the engine, which also frees it.
NTSTATUS InitTrackingContext(TrackingContext* context);
// IRQL: PASSIVE_LEVEL. No detector may use the store while it runs.
VOID FreeTrackingContext();

HostRecord* FindHostRecord(const HostAddress* source);
NTSTATUS CreateHostRecord(const HostAddress* source, HostRecord** record);
VOID ReleaseHostRecord(HostRecord* record);
VOID RemoveHostRecord(HostRecord* record);
VOID LockHostRecord(HostRecord* record);
VOID UnlockHostRecord(HostRecord* record);
PortItem* AllocPortItem();
VOID FreePortItem(PortItem* item);

ConversationRecord* FindConversationRecord(const HostAddress* source,
                                           const HostAddress* destination, USHORT sourcePort,
                                           USHORT destinationPort, USHORT kind);
NTSTATUS CreateConversationRecord(const HostAddress* source, const HostAddress* destination,
                                  USHORT sourcePort, USHORT destinationPort, USHORT kind,
                                  ConversationRecord** record);
VOID ReleaseConversationRecord(ConversationRecord* record, bool takeLock);
VOID RemoveConversationRecord(ConversationRecord* record);

// System time in milliseconds; callers keep the low 32 bits as stamps.
LONG64 CurrentTimeMs();
