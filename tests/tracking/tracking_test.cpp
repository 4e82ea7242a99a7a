// The tracking store: bucket hash and address match, the bounded host and
// conversation tables (LRU eviction, removal while held), the caches and their
// failures, teardown, the clock, and several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <initializer_list>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "kt_hooks.h"
#include "nips/engine/pool.h"
#include "nips/tracking/tracking.h"

namespace {

constexpr ULONG kTagHost = kt::Tag("Qvat"), kTagPort = kt::Tag("Qvps");
constexpr ULONG kTagConversation = kt::Tag("Qvst");
const NTSTATUS kNoMemory = STATUS_INSUFFICIENT_RESOURCES;  // 0xC000009A

HostAddress Address(ULONG version, std::initializer_list<int> bytes) {
  HostAddress a{};
  size_t i = 0;
  for (int b : bytes) a.bytes[i++] = static_cast<UCHAR>(b);
  a.version = version;
  return a;
}
HostAddress Ipv4(int a, int b, int c, int d) { return Address(4, {a, b, c, d}); }
HostAddress NthIpv4(ULONG n) { return Ipv4(10, (n >> 16) & 0xFF, (n >> 8) & 0xFF, n & 0xFF); }

// A copy of the address with one byte or the version changed.
HostAddress With(HostAddress a, size_t byte, int value) {
  a.bytes[byte] = static_cast<UCHAR>(value);
  return a;
}
HostAddress AsVersion(HostAddress a, ULONG version) {
  a.version = version;
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

// Lookups that leave no reference behind.
bool ConversationPresent(const ConversationKey& k) {
  ConversationRecord* record = Find(k);
  if (record != nullptr) ReleaseConversationRecord(record, true);
  return record != nullptr;
}
bool HostPresent(const HostAddress& source) {
  HostRecord* record = FindHostRecord(&source);
  if (record != nullptr) ReleaseHostRecord(record);
  return record != nullptr;
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

void ExpectTagsFreed() {
  for (ULONG tag : {kTagHost, kTagPort, kTagConversation}) {
    EXPECT_EQ(kt::PoolOutstanding(tag), 0u) << kt::TagName(tag);
  }
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

// Buckets worked out by hand from h = sum(w_i * 31^(7-i)) mod 2^32, mod 511,
// with w_i = byte[2i] + 256 * byte[2i+1] and 31^7 mod 2^32 = 1742810335.
TEST(TrackingHash, KnownVectors) {
  const struct {
    const char* what;
    HostAddress address;
    ULONG bucket;
  } vectors[] = {
      // w7 = 256: the second byte of a word is the high one.
      {"byte 15 = 1", With(Address(6, {}), 15, 1), 256},
      // w0 = 1: h = 31^7 mod 2^32 = 1742810335 = 511 * 3410587 + 378.
      {"byte 0 = 1", Address(6, {1}), 378},
      // w0 = 0xA8C0, w1 = 0x0A01: h = 3783967873 after the 32-bit wrap (the
      // unbounded sum would land in bucket 372, big-endian words in 46).
      {"192.168.1.10", Ipv4(192, 168, 1, 10), 98},
      // The 12 bytes after an IPv4 address are hashed too: w7 = 256 adds 256.
      {"192.168.1.10 byte 15 = 1", With(Ipv4(192, 168, 1, 10), 15, 1), 354},
      {"2001:db8::1", kV6, 303},
  };
  for (const auto& v : vectors) {
    SCOPED_TRACE(v.what);
    EXPECT_EQ(TrackingBucket(&v.address), v.bucket);
    const HostAddress otherVersion = AsVersion(v.address, v.address.version == 4 ? 6 : 4);
    EXPECT_EQ(TrackingBucket(&otherVersion), v.bucket) << "version is not hashed";
  }
}

TEST(TrackingMatch, VersionAndComparedBytes) {
  const HostAddress v4 = Ipv4(192, 168, 1, 10), v5 = AsVersion(v4, 5);
  const struct {
    const char* what;
    HostAddress a, b;
    bool match;
  } cases[] = {
      {"IPv4 with other trailing bytes", v4, With(With(v4, 4, 9), 15, 9), true},
      {"IPv4 last address byte", v4, With(v4, 3, 11), false},
      {"IPv6 last byte", kV6, With(kV6, 15, 2), false},
      {"versions differ", v4, AsVersion(v4, 6), false},
      {"version 5 never matches", v5, v5, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(TrackingAddressesMatch(&c.a, &c.b), c.match);
    EXPECT_EQ(TrackingAddressesMatch(&c.b, &c.a), c.match);
  }
}

// Record 0 is held by a caller and is the least recent; record 1 is found just
// before the first creation past the bound. Each such creation evicts exactly
// the least recent record: 0, then 3, 5, 7, 9, while 1 and 2, 4, 6, 8, 10, each
// found just before its turn, stay.
TEST_F(TrackingTest, FullHostTableEvictsLeastRecentlyUsed) {
  HostRecord* held = CreateHeld(NthIpv4(0));
  held->sig6500Count = 41;
  for (ULONG i = 1; i < kMaxHostRecords; ++i) ASSERT_EQ(CreateUnheld(NthIpv4(i)), STATUS_SUCCESS);
  EXPECT_EQ(ctx_->hostCount, kMaxHostRecords) << "no eviction up to the bound";
  EXPECT_TRUE(HostPresent(NthIpv4(1)));
  for (ULONG i = 0; i < 5; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(CreateUnheld(NthIpv4(kMaxHostRecords + i)), STATUS_SUCCESS);
    EXPECT_EQ(ctx_->hostCount, kMaxHostRecords);
    EXPECT_FALSE(HostPresent(NthIpv4(i == 0 ? 0 : 2 * i + 1)));
    EXPECT_TRUE(HostPresent(NthIpv4(2 * i + 2)));
  }
  EXPECT_TRUE(HostPresent(NthIpv4(1)));
  EXPECT_TRUE(HostPresent(NthIpv4(kMaxHostRecords + 4)));
  EXPECT_EQ(ListLength(&ctx_->hostRecency), kMaxHostRecords);
  EXPECT_EQ(kt::PoolOutstanding(kTagHost), kMaxHostRecords + 1);
  EXPECT_EQ(held->refCount, 1u);
  EXPECT_EQ(held->sig6500Count, 41u);
  EXPECT_EQ(kt::LookasideKept(&ctx_->hostRecordCache), 0);
  ReleaseHostRecord(held);
  EXPECT_EQ(kt::LookasideKept(&ctx_->hostRecordCache), 1);
}

// Run at DISPATCH_LEVEL, as detectors do: each lock restores the IRQL it found.
TEST_F(TrackingTest, RemovedRecordStaysReadableAndSecondRemovalDoesNothing) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const HostAddress source = Ipv4(192, 0, 2, 7);
  HostRecord* creator = CreateHeld(source);
  HostRecord* other = FindHostRecord(&source);
  ASSERT_EQ(creator, other);
  EXPECT_EQ(creator->refCount, 3u);
  creator->sig6100Count = 5;
  LockHostRecord(creator);  // port items are taken under the record's lock only
  for (PortItem** list : {&creator->tcpScanPorts, &creator->tcpScanPorts, &creator->udpScanPorts}) {
    PortItem* item = AllocPortItem();
    ASSERT_NE(item, nullptr);
    item->next = *list;
    *list = item;
  }
  UnlockHostRecord(creator);
  for (int removal = 0; removal < 2; ++removal) {
    RemoveHostRecord(removal == 0 ? other : creator);
    EXPECT_EQ(creator->refCount, 2u);
    EXPECT_EQ(ctx_->hostCount, 0u);
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
  EXPECT_EQ(again->sig6100Count, 0u);
  EXPECT_EQ(again->tcpScanPorts, nullptr);
  ReleaseHostRecord(again);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);
}

// Lookups by key, then removal (twice) while held.
TEST_F(TrackingTest, ConversationIsFoundOnlyByItsFullKeyAndOutlivesItsRemoval) {
  const ConversationKey base{Ipv4(192, 168, 1, 10), Ipv4(10, 0, 0, 1), 49152, 445, 2};
  ConversationRecord* created = nullptr;
  ASSERT_EQ(Create(base, &created), STATUS_SUCCESS);
  ASSERT_EQ(Create(NthConversation(2)), STATUS_SUCCESS);
  EXPECT_EQ(created->refCount, 2);
  // 172.16.0.1 with byte 14 = 181 hashes to bucket 98 like 192.168.1.10.
  const HostAddress sameBucketSource = With(Ipv4(172, 16, 0, 1), 14, 181);
  auto with = [&](auto edit) {
    ConversationKey k = base;
    edit(k);
    return k;
  };
  const struct {
    const char* what;
    ConversationKey key;
    bool found;
  } lookups[] = {
      {"exact key", base, true},
      {"other destination", with([](auto& k) { k.destination.bytes[3] = 2; }), false},
      {"destination trailing bytes", with([](auto& k) { k.destination.bytes[12] = 0x55; }), true},
      {"other source port", with([](auto& k) { k.sourcePort = 49153; }), false},
      {"other destination port", with([](auto& k) { k.destinationPort = 139; }), false},
      {"other kind", with([](auto& k) { k.kind = 3; }), false},
      {"other source, same bucket", with([&](auto& k) { k.source = sameBucketSource; }), true},
      {"other source, other bucket", with([](auto& k) { k.source.bytes[3] = 11; }), false},
  };
  for (const auto& l : lookups) {
    SCOPED_TRACE(l.what);
    ConversationRecord* found = Find(l.key);
    EXPECT_EQ(found, l.found ? created : nullptr);
    if (found != nullptr) ReleaseConversationRecord(found, true);
  }
  EXPECT_EQ(created->refCount, 2) << "every lookup gave its reference back";
  for (int removal = 0; removal < 2; ++removal) {
    RemoveConversationRecord(created);
    EXPECT_EQ(created->refCount, 1);
    EXPECT_EQ(ctx_->conversationCount, 1u);
  }
  EXPECT_FALSE(ConversationPresent(base));
  EXPECT_EQ(created->sourcePort, base.sourcePort);
  EXPECT_EQ(kt::LookasideKept(&ctx_->conversationRecordCache), 0);
  SpinLockAcquire(&ctx_->conversationLock);  // a lock holder releases without it
  ReleaseConversationRecord(created, false);
  SpinLockRelease(&ctx_->conversationLock);
  EXPECT_EQ(kt::LookasideKept(&ctx_->conversationRecordCache), 1);
}

TEST_F(TrackingTest, FullConversationTableEvictsOneRecordPerCreation) {
  for (ULONG i = 0; i < kMaxConversationRecords; ++i) {
    ASSERT_EQ(Create(NthConversation(i)), STATUS_SUCCESS);
  }
  EXPECT_EQ(ctx_->conversationCount, kMaxConversationRecords);
  EXPECT_TRUE(ConversationPresent(NthConversation(0)));  // now the most recent
  for (ULONG i = 0; i < 10; ++i) {
    ASSERT_EQ(Create(NthConversation(kMaxConversationRecords + i)), STATUS_SUCCESS);
    EXPECT_EQ(ctx_->conversationCount, kMaxConversationRecords);
    // The evicted record is reused at once: the pool holds no more records.
    EXPECT_EQ(kt::PoolOutstanding(kTagConversation), kMaxConversationRecords);
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
  ExpectTagsFreed();
  const HostAddress source = NthIpv4(600);
  EXPECT_EQ(FindHostRecord(&source), nullptr);
  HostRecord* host = reinterpret_cast<HostRecord*>(0x1);  // must be cleared
  EXPECT_EQ(CreateHostRecord(&source, &host), kNoMemory);
  EXPECT_EQ(host, nullptr);
  EXPECT_EQ(Find(NthConversation(0)), nullptr);
  ConversationRecord* conversation = reinterpret_cast<ConversationRecord*>(0x1);
  EXPECT_EQ(Create(NthConversation(0), &conversation), kNoMemory);
  EXPECT_EQ(conversation, nullptr);
  EXPECT_EQ(AllocPortItem(), nullptr);
  FreeTrackingContext();  // a second teardown does nothing
  EXPECT_EQ(InitTrackingContext(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(g_trackingContext, nullptr);
}

// Each cache failing on its own fails only its own creations, adding nothing;
// the fixture's ledger check covers leaks. Ports first: nothing is cached yet.
TEST_F(TrackingTest, CacheFailureReturnsInsufficientResources) {
  FreeTrackingContext();
  g_lookasideFlags = POOL_NX_ALLOCATION;  // the driver-wide flags reach every cache
  ASSERT_EQ(InitTrackingContext(ctx_), STATUS_SUCCESS);
  ULONG n = 0;
  for (ULONG failing : {kTagPort, kTagHost, kTagConversation}) {  // ports first: none cached yet
    SCOPED_TRACE(kt::TagName(failing));
    kt::FailAllocationsWithTag(failing);
    const HostAddress source = NthIpv4(++n);
    HostRecord* host = reinterpret_cast<HostRecord*>(0x1);  // must be cleared on failure
    ConversationRecord* conversation = reinterpret_cast<ConversationRecord*>(0x1);
    EXPECT_EQ(CreateHostRecord(&source, &host), failing == kTagHost ? kNoMemory : STATUS_SUCCESS);
    EXPECT_EQ(Create(NthConversation(n), &conversation),
              failing == kTagConversation ? kNoMemory : STATUS_SUCCESS);
    PortItem* item = AllocPortItem();
    kt::ClearPoolFaults();
    EXPECT_EQ(host == nullptr, failing == kTagHost);
    EXPECT_EQ(conversation == nullptr, failing == kTagConversation);
    EXPECT_EQ(item == nullptr, failing == kTagPort);
    EXPECT_TRUE(item == nullptr || kt::PoolTypeOf(item) == NonPagedPoolNx);
    EXPECT_TRUE(host == nullptr || kt::PoolTypeOf(host) == NonPagedPoolNx);
    if (host != nullptr) ReleaseHostRecord(host);
    if (conversation != nullptr) ReleaseConversationRecord(conversation, true);
    if (item != nullptr) FreePortItem(item);
  }
  EXPECT_EQ(ctx_->hostCount, 2u);
  EXPECT_EQ(ctx_->conversationCount, 2u);
}

TEST_F(TrackingTest, ClockTruncatesToMsAndStampAgesSurviveTheWrap) {
  // -1.5 ms: truncation gives -1, a floor -2.
  for (const auto& [units, ms] :
       {std::pair<int64_t, int64_t>{133000000000012345LL, 13300000000001LL}, {-15000, -1}}) {
    kt::SetSystemTime(units);
    EXPECT_EQ(CurrentTimeMs(), ms) << units;
  }
  // 0x1FFFFFFF6 ms: the low 32 bits are 10 ms before their wrap.
  kt::SetSystemTime(0x1FFFFFFF6LL * kt::kUnitsPerMs);
  const ULONG stamp = CurrentStampMs();
  EXPECT_EQ(stamp, 0xFFFFFFF6u);
  kt::AdvanceSystemTimeMs(25);
  const ULONG now = CurrentStampMs();
  EXPECT_EQ(now, 15u);
  EXPECT_EQ(StampAgeMs(now, stamp), 25u);
  kt::AdvanceSystemTimeMs(0x100000000LL);  // a whole wrap later the stamp reads alike
  EXPECT_EQ(CurrentStampMs(), now);
}

// ---- Threads on overlapping keys, more than the bounds allow, so that finds,
// creations, evictions, removals and releases interleave.

constexpr int kThreads = 4;
constexpr ULONG kHostKeys = 700, kConversationKeys = 1400;  // above 512 and 1024

// Failed creations, records with another key, port lists not matching their count.
std::atomic<int> g_faults;

// The port-scan pattern: push the newest port, drop the oldest past four.
void RecordPort(HostRecord* record, USHORT port) {
  LockHostRecord(record);
  if (PortItem* item = AllocPortItem()) {
    item->port = port;
    item->next = record->tcpScanPorts;
    record->tcpScanPorts = item;
    ++record->tcpScanPortCount;
  }
  if (record->tcpScanPortCount > 4) {
    PortItem** link = &record->tcpScanPorts;
    ULONG walked = 1;
    for (; (*link)->next != nullptr; ++walked) link = &(*link)->next;
    if (walked != record->tcpScanPortCount) ++g_faults;
    FreePortItem(*link);
    *link = nullptr;
    --record->tcpScanPortCount;
  }
  UnlockHostRecord(record);
}

void HostStep(std::minstd_rand& rng) {
  const HostAddress source = NthIpv4(rng() % kHostKeys);
  HostRecord* record = FindHostRecord(&source);
  if (record == nullptr && CreateHostRecord(&source, &record) != STATUS_SUCCESS) {
    ++g_faults;
    return;
  }
  RecordPort(record, static_cast<USHORT>(rng()));
  if (rng() % 8 == 0) RemoveHostRecord(record);
  if (!TrackingAddressesMatch(&record->key, &source)) ++g_faults;
  ReleaseHostRecord(record);
}

void ConversationStep(std::minstd_rand& rng) {
  const ULONG n = rng() % kConversationKeys;
  ConversationKey k = NthConversation(n % kHostKeys);
  k.sourcePort = static_cast<USHORT>(n), k.kind = static_cast<USHORT>(2 + n % 3);
  ConversationRecord* record = Find(k);
  if (record == nullptr && Create(k, &record) != STATUS_SUCCESS) {
    ++g_faults;
    return;
  }
  if (rng() % 8 == 0) RemoveConversationRecord(record);
  if (record->sourcePort != k.sourcePort || record->kind != k.kind) ++g_faults;
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
  EXPECT_EQ(ListLength(recency), count);
  EXPECT_EQ(inBuckets, count);
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
  FreeTrackingContext();
  ExpectTagsFreed();
}

}  // namespace
