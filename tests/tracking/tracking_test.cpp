// The tracking store: hash, address match, bounded tables, caches, teardown, clock, threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <random>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "kt_hooks.h"
#include "nips/engine/pool.h"
#include "nips/tracking/tracking.h"

namespace {

constexpr ULONG kTagHost = kt::Tag("Qvat"), kTagPort = kt::Tag("Qvps"), kTagConv = kt::Tag("Qvst");
const NTSTATUS kNoMemory = STATUS_INSUFFICIENT_RESOURCES;  // 0xC000009A

HostAddress Address(ULONG version, std::initializer_list<int> bytes) {
  HostAddress a{};
  std::copy(bytes.begin(), bytes.end(), a.bytes);
  a.version = version;
  return a;
}
HostAddress Ipv4(int a, int b, int c, int d) { return Address(4, {a, b, c, d}); }
HostAddress NthIpv4(ULONG n) { return Ipv4(10, (n >> 16) & 0xFF, (n >> 8) & 0xFF, n & 0xFF); }
HostAddress With(HostAddress a, size_t byte, int value) {  // a copy with one byte changed
  a.bytes[byte] = static_cast<UCHAR>(value);
  return a;
}
const HostAddress kV6 = Address(6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});

struct ConversationKey {
  HostAddress source, destination;
  USHORT sourcePort, destinationPort, kind;
};
ConversationRecord* Find(const ConversationKey& k) {
  return FindConversationRecord(&k.source, &k.destination, k.sourcePort, k.destinationPort, k.kind);
}
NTSTATUS Create(const ConversationKey& k, ConversationRecord** record = nullptr) {
  return CreateConversationRecord(&k.source, &k.destination, k.sourcePort, k.destinationPort,
                                  k.kind, record);
}
ConversationKey NthConversation(ULONG n) {
  return {NthIpv4(n), Ipv4(10, 200, 0, 1), static_cast<USHORT>(1024 + n), 135, 2};
}

bool ConversationPresent(const ConversationKey& k) {  // lookups leaving no reference behind
  ConversationRecord* r = Find(k);
  return r != nullptr && (ReleaseConversationRecord(r, true), true);
}
bool HostPresent(const HostAddress& source) {
  HostRecord* r = FindHostRecord(&source);
  return r != nullptr && (ReleaseHostRecord(r), true);
}
NTSTATUS CreateUnheld(const HostAddress& source) { return CreateHostRecord(&source, nullptr); }
HostRecord* CreateHeld(const HostAddress& source) {
  HostRecord* record = nullptr;
  EXPECT_EQ(CreateHostRecord(&source, &record), STATUS_SUCCESS);
  return record;
}
size_t ListLength(const LIST_ENTRY* head) {
  size_t n = 0;
  for (const LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) ++n;
  return n;
}

// Every test ends with the store torn down and the ledger empty.
class TrackingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    g_lookasideFlags = 0;
    ctx_ = static_cast<TrackingContext*>(
        ExAllocatePoolWithTag(g_poolType, sizeof(TrackingContext), kPoolTagEngine));
    ASSERT_NE(ctx_, nullptr);
    ASSERT_EQ(InitTrackingContext(ctx_), STATUS_SUCCESS);
    ASSERT_EQ(g_trackingContext, ctx_);
  }
  void TearDown() override {
    FreeTrackingContext();
    EXPECT_EQ(g_trackingContext, nullptr);
    ExFreePoolWithTag(ctx_, kPoolTagEngine);
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
    EXPECT_EQ(kt::HeldSpinLockCount(), 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  }
  TrackingContext* ctx_ = nullptr;
};

// Buckets by hand: h = sum(w_i * 31^(7-i)) mod 2^32, mod 511, with w_i = byte[2i] + 256 *
// byte[2i+1] and 31^7 mod 2^32 = 1742810335. The version is not hashed.
TEST(TrackingHash, KnownVectors) {
  const std::pair<HostAddress, ULONG> vectors[] = {
      {With(Address(6, {}), 15, 1), 256},  // w7 = 256: the second byte of a word is the high one
      {Address(6, {1}), 378},              // w0 = 1: h = 1742810335 = 511 * 3410587 + 378
      {Ipv4(192, 168, 1, 10), 98},  // h = 3783967873 after the wrap (unbounded 372, big-endian 46)
      {With(Ipv4(192, 168, 1, 10), 15, 1), 354},  // the 12 bytes after IPv4 are hashed too
      {kV6, 303}};
  for (const auto& [address, bucket] : vectors) {
    HostAddress otherVersion = address;
    otherVersion.version ^= 4 ^ 6;
    EXPECT_EQ(TrackingBucket(&address), bucket);
    EXPECT_EQ(TrackingBucket(&otherVersion), bucket);
  }
}

TEST(TrackingMatch, VersionAndComparedBytes) {
  const HostAddress v4 = Ipv4(192, 168, 1, 10), v5 = Address(5, {192, 168, 1, 10});
  const std::tuple<HostAddress, HostAddress, bool> cases[] = {
      {v4, With(With(v4, 4, 9), 15, 9), true},  // IPv4 with other trailing bytes
      {v4, With(v4, 3, 11), false},
      {kV6, With(kV6, 15, 2), false},
      {v4, Address(6, {192, 168, 1, 10}), false},
      {v5, v5, false}};  // version 5 never matches
  int row = 0;
  for (const auto& [a, b, match] : cases) {
    EXPECT_EQ(TrackingAddressesMatch(&a, &b), match) << row;
    EXPECT_EQ(TrackingAddressesMatch(&b, &a), match) << row++;
  }
}

// Record 0 is held by a caller and is the least recent; record 1 is found just before the first
// creation past the bound. Each such creation evicts exactly the least recent record: 0, then 3,
// 5, 7, 9, while 1 and 2, 4, 6, 8, 10, each found just before its turn, stay.
TEST_F(TrackingTest, FullHostTableEvictsLeastRecentlyUsed) {
  HostRecord* held = CreateHeld(NthIpv4(0));
  held->sig6500Count = 41;
  for (ULONG i = 1; i < kMaxHostRecords; ++i) ASSERT_EQ(CreateUnheld(NthIpv4(i)), STATUS_SUCCESS);
  EXPECT_EQ(ctx_->hostCount, kMaxHostRecords) << "no eviction up to the bound";
  EXPECT_TRUE(HostPresent(NthIpv4(1)));
  for (ULONG i = 0; i < 5; ++i) {
    ASSERT_EQ(CreateUnheld(NthIpv4(kMaxHostRecords + i)), STATUS_SUCCESS);
    EXPECT_EQ(ctx_->hostCount, kMaxHostRecords) << i;
    EXPECT_FALSE(HostPresent(NthIpv4(i == 0 ? 0 : 2 * i + 1))) << i;
    EXPECT_TRUE(HostPresent(NthIpv4(2 * i + 2))) << i;
  }
  EXPECT_TRUE(HostPresent(NthIpv4(1)));
  EXPECT_TRUE(HostPresent(NthIpv4(kMaxHostRecords + 4)));
  EXPECT_EQ(ListLength(&ctx_->hostRecency), kMaxHostRecords);
  EXPECT_EQ(kt::PoolOutstanding(kTagHost), kMaxHostRecords + 1);
  EXPECT_EQ(std::pair(held->refCount, held->sig6500Count), std::pair(1u, 41u));
  EXPECT_EQ(kt::LookasideKept(&ctx_->hostRecordCache), 0);
  ReleaseHostRecord(held);
  EXPECT_EQ(kt::LookasideKept(&ctx_->hostRecordCache), 1);
}

// Run at DISPATCH_LEVEL, as detectors do: each lock restores the IRQL it found.
TEST_F(TrackingTest, RemovedRecordStaysReadableAndSecondRemovalDoesNothing) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const HostAddress source = Ipv4(192, 0, 2, 7);
  HostRecord *creator = CreateHeld(source), *other = FindHostRecord(&source);
  ASSERT_EQ(creator, other);
  EXPECT_EQ(creator->refCount, 3u);
  creator->sig6100Count = 5;
  LockHostRecord(creator);  // port items are taken under the record's lock only
  for (PortItem** list : {&creator->tcpScanPorts, &creator->tcpScanPorts, &creator->udpScanPorts}) {
    PortItem* item = AllocPortItem();
    ASSERT_NE(item, nullptr);
    item->next = std::exchange(*list, item);
  }
  UnlockHostRecord(creator);
  for (HostRecord* removed : {other, creator}) {
    RemoveHostRecord(removed);
    EXPECT_EQ(std::pair(creator->refCount, ctx_->hostCount), std::pair(2u, 0u));
  }
  EXPECT_TRUE(IsListEmpty(&ctx_->hostRecency));
  EXPECT_FALSE(HostPresent(source));
  ReleaseHostRecord(other);
  EXPECT_EQ(kt::LookasideKept(&ctx_->hostRecordCache), 0);
  EXPECT_EQ(creator->sig6100Count, 5u);
  EXPECT_TRUE(TrackingAddressesMatch(&creator->key, &source));
  ReleaseHostRecord(creator);  // the port lists go back with the record
  EXPECT_EQ(kt::LookasideKept(&ctx_->hostRecordCache), 1);
  EXPECT_EQ(kt::LookasideKept(&ctx_->portItemCache), 3);
  HostRecord* again = CreateHeld(source);  // the reused record comes back clean
  EXPECT_EQ(std::pair(again->sig6100Count, again->tcpScanPorts), std::pair(0u, (PortItem*)nullptr));
  ReleaseHostRecord(again);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);
}

// Lookups by the full key (the source only through its bucket), then removal (twice) while held.
TEST_F(TrackingTest, ConversationIsFoundOnlyByItsFullKeyAndOutlivesItsRemoval) {
  const HostAddress s = Ipv4(192, 168, 1, 10), d = Ipv4(10, 0, 0, 1);
  ConversationRecord* created = nullptr;
  ASSERT_EQ(Create({s, d, 49152, 445, 2}, &created), STATUS_SUCCESS);
  ASSERT_EQ(Create(NthConversation(2)), STATUS_SUCCESS);
  EXPECT_EQ(created->refCount, 2);
  const std::pair<ConversationKey, bool> lookups[] = {
      {{s, d, 49152, 445, 2}, true},
      {{s, With(d, 3, 2), 49152, 445, 2}, false},
      {{s, With(d, 12, 0x55), 49152, 445, 2}, true},  // trailing bytes of an IPv4 destination
      {{s, d, 49153, 445, 2}, false},
      {{s, d, 49152, 139, 2}, false},
      {{s, d, 49152, 445, 3}, false},
      {{With(Ipv4(172, 16, 0, 1), 14, 181), d, 49152, 445, 2}, true},  // also in bucket 98
      {{With(s, 3, 11), d, 49152, 445, 2}, false}};
  int row = 0;
  for (const auto& [key, found] : lookups) {
    ConversationRecord* record = Find(key);
    EXPECT_EQ(record, found ? created : nullptr) << row++;
    if (record != nullptr) ReleaseConversationRecord(record, true);
  }
  EXPECT_EQ(created->refCount, 2) << "every lookup gave its reference back";
  for (int removal = 0; removal < 2; ++removal) {
    RemoveConversationRecord(created);
    EXPECT_EQ(std::pair(created->refCount, ctx_->conversationCount), std::pair(1, 1u));
  }
  EXPECT_FALSE(ConversationPresent({s, d, 49152, 445, 2}));
  EXPECT_EQ(created->sourcePort, 49152);
  EXPECT_EQ(kt::LookasideKept(&ctx_->conversationRecordCache), 0);
  SpinLockAcquire(&ctx_->conversationLock);  // a lock holder releases without it
  ReleaseConversationRecord(created, false);
  SpinLockRelease(&ctx_->conversationLock);
  EXPECT_EQ(kt::LookasideKept(&ctx_->conversationRecordCache), 1);
}

TEST_F(TrackingTest, FullConversationTableEvictsOneRecordPerCreation) {
  for (ULONG i = 0; i < kMaxConversationRecords; ++i)
    ASSERT_EQ(Create(NthConversation(i)), STATUS_SUCCESS);
  EXPECT_EQ(ctx_->conversationCount, kMaxConversationRecords);
  EXPECT_TRUE(ConversationPresent(NthConversation(0)));  // now the most recent
  for (ULONG i = 0; i < 10; ++i) {  // the evicted record is reused at once: no more in the pool
    ASSERT_EQ(Create(NthConversation(kMaxConversationRecords + i)), STATUS_SUCCESS);
    EXPECT_EQ(ctx_->conversationCount, kMaxConversationRecords);
    EXPECT_EQ(kt::PoolOutstanding(kTagConv), kMaxConversationRecords);
  }
  EXPECT_TRUE(ConversationPresent(NthConversation(0)));
  for (ULONG i = 1; i <= 10; ++i) EXPECT_FALSE(ConversationPresent(NthConversation(i))) << i;
  EXPECT_TRUE(ConversationPresent(NthConversation(11)));
  EXPECT_EQ(ListLength(&ctx_->conversationRecency), kMaxConversationRecords);
}

TEST_F(TrackingTest, TeardownFreesEverythingAndDisablesTheStore) {
  for (ULONG i = 0; i < kMaxConversationRecords + 40; ++i) {  // both tables past full
    ASSERT_EQ(Create(NthConversation(i)), STATUS_SUCCESS);
    if (i >= kMaxHostRecords + 40) continue;
    HostRecord* record = CreateHeld(NthIpv4(i));
    LockHostRecord(record);
    record->udpScanPorts = AllocPortItem();
    record->udpScanPorts->next = nullptr;
    UnlockHostRecord(record);
    ReleaseHostRecord(record);
  }
  FreeTrackingContext();
  EXPECT_EQ(g_trackingContext, nullptr);
  for (ULONG tag : {kTagHost, kTagPort, kTagConv}) EXPECT_EQ(kt::PoolOutstanding(tag), 0u);
  const HostAddress source = NthIpv4(600);
  HostRecord* host = reinterpret_cast<HostRecord*>(0x1);  // must be cleared
  ConversationRecord* conversation = reinterpret_cast<ConversationRecord*>(0x1);
  EXPECT_EQ(FindHostRecord(&source), nullptr);
  EXPECT_EQ(Find(NthConversation(0)), nullptr);
  EXPECT_EQ(CreateHostRecord(&source, &host), kNoMemory);
  EXPECT_EQ(host, nullptr);
  EXPECT_EQ(Create(NthConversation(0), &conversation), kNoMemory);
  EXPECT_EQ(conversation, nullptr);
  EXPECT_EQ(AllocPortItem(), nullptr);
  FreeTrackingContext();  // a second teardown does nothing
  EXPECT_EQ(InitTrackingContext(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(g_trackingContext, nullptr);
}

// Each cache failing on its own fails only its own creations, adding nothing; the fixture's
// ledger check covers leaks. Ports first: nothing is cached yet.
TEST_F(TrackingTest, CacheFailureReturnsInsufficientResources) {
  FreeTrackingContext();
  g_lookasideFlags = POOL_NX_ALLOCATION;  // the driver-wide flags reach every cache
  ASSERT_EQ(InitTrackingContext(ctx_), STATUS_SUCCESS);
  ULONG n = 0;
  for (ULONG failing : {kTagPort, kTagHost, kTagConv}) {
    SCOPED_TRACE(kt::TagName(failing));
    kt::FailAllocationsWithTag(failing);
    const HostAddress source = NthIpv4(++n);
    HostRecord* host = reinterpret_cast<HostRecord*>(0x1);  // must be cleared on failure
    ConversationRecord* conversation = reinterpret_cast<ConversationRecord*>(0x1);
    EXPECT_EQ(CreateHostRecord(&source, &host), failing == kTagHost ? kNoMemory : STATUS_SUCCESS);
    EXPECT_EQ(Create(NthConversation(n), &conversation),
              failing == kTagConv ? kNoMemory : STATUS_SUCCESS);
    PortItem* item = AllocPortItem();
    kt::ClearPoolFaults();
    EXPECT_EQ(host == nullptr, failing == kTagHost);
    EXPECT_EQ(conversation == nullptr, failing == kTagConv);
    EXPECT_EQ(item == nullptr, failing == kTagPort);
    EXPECT_TRUE(item == nullptr || kt::PoolTypeOf(item) == NonPagedPoolNx);
    EXPECT_TRUE(host == nullptr || kt::PoolTypeOf(host) == NonPagedPoolNx);
    if (host != nullptr) ReleaseHostRecord(host);
    if (conversation != nullptr) ReleaseConversationRecord(conversation, true);
    if (item != nullptr) FreePortItem(item);
  }
  EXPECT_EQ(std::pair(ctx_->hostCount, ctx_->conversationCount), std::pair(2u, 2u));
}

// -1.5 ms truncates to -1 (a floor gives -2); 0x1FFFFFFF6 ms: 10 ms before the low 32 bits wrap.
TEST_F(TrackingTest, ClockTruncatesToMsAndStampAgesSurviveTheWrap) {
  kt::SetSystemTime(-15000);
  EXPECT_EQ(CurrentTimeMs(), -1);
  kt::SetSystemTime(0x1FFFFFFF6LL * kt::kUnitsPerMs);
  const ULONG stamp = CurrentStampMs();
  kt::AdvanceSystemTimeMs(25);
  const ULONG now = CurrentStampMs();
  EXPECT_EQ(std::tuple(stamp, now, StampAgeMs(now, stamp)), std::tuple(0xFFFFFFF6u, 15u, 25u));
  kt::AdvanceSystemTimeMs(0x100000000LL);  // a whole wrap later the stamp reads alike
  EXPECT_EQ(CurrentStampMs(), now);
}

// Threads on overlapping keys beyond the bounds: finds, creations, evictions, removals interleave.
constexpr int kThreads = 4;
constexpr ULONG kHostKeys = 700, kConversationKeys = 1400;  // above 512 and 1024
std::atomic<int> g_faults;  // records with another key, port lists not matching their count

void HostStep(std::minstd_rand& rng) {
  const HostAddress source = NthIpv4(rng() % kHostKeys);
  HostRecord* record = FindHostRecord(&source);
  ASSERT_TRUE(record != nullptr || CreateHostRecord(&source, &record) == STATUS_SUCCESS);
  LockHostRecord(record);  // the port-scan pattern: push the newest port, drop the oldest past four
  if (PortItem* item = AllocPortItem()) {
    item->port = static_cast<USHORT>(rng());
    item->next = std::exchange(record->tcpScanPorts, item);
    ++record->tcpScanPortCount;
  }
  if (record->tcpScanPortCount > 4) {
    PortItem** link = &record->tcpScanPorts;
    ULONG walked = 1;
    for (; (*link)->next != nullptr; ++walked) link = &(*link)->next;
    g_faults += walked != record->tcpScanPortCount;
    FreePortItem(std::exchange(*link, nullptr));
    --record->tcpScanPortCount;
  }
  UnlockHostRecord(record);
  if (rng() % 8 == 0) RemoveHostRecord(record);
  g_faults += !TrackingAddressesMatch(&record->key, &source);
  ReleaseHostRecord(record);
}

void ConversationStep(std::minstd_rand& rng) {
  const ULONG n = rng() % kConversationKeys;
  ConversationKey k = NthConversation(n % kHostKeys);
  k.sourcePort = static_cast<USHORT>(n), k.kind = static_cast<USHORT>(2 + n % 3);
  ConversationRecord* record = Find(k);
  ASSERT_TRUE(record != nullptr || Create(k, &record) == STATUS_SUCCESS);
  if (rng() % 8 == 0) RemoveConversationRecord(record);
  g_faults += record->sourcePort != k.sourcePort || record->kind != k.kind;
  ReleaseConversationRecord(record, true);
}

template <typename Record>
void CheckTable(const LIST_ENTRY* recency, const LIST_ENTRY* buckets, ULONG count, ULONG bound) {
  for (const LIST_ENTRY* e = recency->Flink; e != recency; e = e->Flink) {
    const Record* record = CONTAINING_RECORD(const_cast<LIST_ENTRY*>(e), Record, recencyLink);
    EXPECT_EQ(static_cast<LONG64>(record->refCount), 1) << "only the table's reference is left";
    EXPECT_NE(record->bucketLink.Flink, nullptr);
  }
  size_t inBuckets = 0;
  for (ULONG b = 0; b < kTrackingBuckets; ++b) inBuckets += ListLength(&buckets[b]);
  EXPECT_EQ(std::pair(ListLength(recency), inBuckets), std::pair(size_t{count}, size_t{count}));
  EXPECT_LE(count, bound + kThreads);  // the unlocked count check lets racers overshoot a little
}

TEST_F(TrackingTest, ConcurrentDetectorsKeepTheTablesConsistent) {
  g_faults = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::minstd_rand rng(static_cast<uint32_t>(t + 1));
      for (int i = 0; i < 20000; ++i) rng() % 2 == 0 ? HostStep(rng) : ConversationStep(rng);
      EXPECT_EQ(kt::HeldSpinLockCount(), 0);
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(g_faults.load(), 0);
  CheckTable<HostRecord>(&ctx_->hostRecency, ctx_->hostBuckets, ctx_->hostCount, kMaxHostRecords);
  CheckTable<ConversationRecord>(&ctx_->conversationRecency, ctx_->conversationBuckets,
                                 ctx_->conversationCount, kMaxConversationRecords);
  EXPECT_GT(ctx_->hostCount, kMaxHostRecords / 2) << "the tables were kept full";
}

}  // namespace
