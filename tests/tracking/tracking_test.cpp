#include <vector>

#include "tracking/tracking_fixture.h"

namespace tracking_test {
namespace {

// ---- Bucket hash and address match ----

struct HashVector {
  const char* what;
  HostAddress address;
  ULONG bucket;
};

// Buckets worked out by hand from h = sum(w_i * 31^(7-i)) mod 2^32, mod 511,
// with w_i = byte[2i] + 256 * byte[2i+1] and 31^7 mod 2^32 = 1742810335.
TEST(TrackingHash, KnownVectors) {
  const HashVector vectors[] = {
      {"all zero", Address(6, {}), 0},
      // w7 = 256: the second byte of a word is the high one.
      {"byte 15 = 1", Address(6, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), 256},
      // w0 = 1: h = 31^7 mod 2^32 = 1742810335 = 511 * 3410587 + 378.
      {"byte 0 = 1", Address(6, {1}), 378},
      // w0 = 0xA8C0, w1 = 0x0A01: h = 3783967873 after the 32-bit wrap (the
      // unbounded sum would land in bucket 372, big-endian words in 46).
      {"192.168.1.10", Ipv4(192, 168, 1, 10), 98},
      // The 12 bytes after an IPv4 address are hashed too: w7 = 256 adds 256.
      {"192.168.1.10 byte 15 = 1",
       Address(4, {192, 168, 1, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}), 354},
      {"10.0.0.1", Ipv4(10, 0, 0, 1), 151},
      {"all 0xFF",
       Address(6, {255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255}),
       155},
      {"2001:db8::1", Address(6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}),
       303},
  };
  for (const HashVector& v : vectors) {
    EXPECT_EQ(TrackingBucket(&v.address), v.bucket) << v.what;
    HostAddress otherVersion = v.address;
    otherVersion.version = v.address.version == 4 ? 6 : 4;
    EXPECT_EQ(TrackingBucket(&otherVersion), v.bucket) << v.what << ": version is not hashed";
  }
}

struct MatchCase {
  const char* what;
  HostAddress a;
  HostAddress b;
  bool match;
};

TEST(TrackingMatch, VersionAndComparedBytes) {
  const HostAddress v4 = Ipv4(192, 168, 1, 10);
  const HostAddress v4OtherTail = Address(4, {192, 168, 1, 10, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9});
  const HostAddress v6 = Address(6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  const HostAddress v6LastByte =
      Address(6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2});
  const HostAddress v6FirstByte =
      Address(6, {0x21, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  HostAddress v4AsV6 = v4;
  v4AsV6.version = 6;
  HostAddress v5 = v4;
  v5.version = 5;
  const MatchCase cases[] = {
      {"same IPv4", v4, v4, true},
      {"IPv4 with other trailing bytes", v4, v4OtherTail, true},
      {"IPv4 last address byte", v4, Ipv4(192, 168, 1, 11), false},
      {"IPv4 first address byte", v4, Ipv4(193, 168, 1, 10), false},
      {"same IPv6", v6, v6, true},
      {"IPv6 last byte", v6, v6LastByte, false},
      {"IPv6 first byte", v6, v6FirstByte, false},
      {"versions differ", v4, v4AsV6, false},
      {"version 5 never matches", v5, v5, false},
  };
  for (const MatchCase& c : cases) {
    EXPECT_EQ(TrackingAddressesMatch(&c.a, &c.b), c.match) << c.what;
    EXPECT_EQ(TrackingAddressesMatch(&c.b, &c.a), c.match) << c.what << " (reversed)";
  }
}

// ---- Host table ----

TEST_F(TrackingTest, Ipv4TrailingBytesMatchOnlyWithinTheSameBucket) {
  HostRecord* record = CreateHeld(Ipv4(192, 168, 1, 10));
  ASSERT_NE(record, nullptr);
  // +511 in w7 keeps bucket 98; +256 moves to bucket 354.
  const HostAddress sameBucket =
      Address(4, {192, 168, 1, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0x01});
  const HostAddress otherBucket = Address(4, {192, 168, 1, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  ASSERT_EQ(TrackingBucket(&sameBucket), 98u);
  ASSERT_EQ(TrackingBucket(&otherBucket), 354u);

  HostRecord* found = FindHostRecord(&sameBucket);
  EXPECT_EQ(found, record);
  ReleaseHostRecord(found);
  EXPECT_EQ(FindHostRecord(&otherBucket), nullptr);
  HostAddress asV6 = Ipv4(192, 168, 1, 10);
  asV6.version = 6;
  EXPECT_EQ(FindHostRecord(&asV6), nullptr);
  EXPECT_EQ(record->refCount, 2u);
  ReleaseHostRecord(record);
}

TEST_F(TrackingTest, Ipv6InTheSameBucketStillComparesAllBytes) {
  const HostAddress a = Address(6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  const HostAddress b = Address(6, {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 2});
  ASSERT_EQ(TrackingBucket(&a), TrackingBucket(&b));
  ASSERT_EQ(CreateHostRecord(&a, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(FindHostRecord(&b), nullptr);
  EXPECT_TRUE(HostPresent(a));
}

TEST_F(TrackingTest, RecordOfAnUnknownVersionIsKeptButNeverFound) {
  HostAddress v5 = Ipv4(1, 2, 3, 4);
  v5.version = 5;
  ASSERT_EQ(CreateHostRecord(&v5, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Context()->hostCount, 1u);
  EXPECT_EQ(FindHostRecord(&v5), nullptr);
}

TEST_F(TrackingTest, NewRecordIsZeroedWithKeyAndReferences) {
  const HostAddress source = Address(4, {10, 1, 2, 3, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7});
  HostRecord* record = CreateHeld(source);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->refCount, 2u);                              // table and caller
  EXPECT_EQ(memcmp(&record->key, &source, sizeof(source)), 0);  // all 16 bytes copied
  EXPECT_EQ(record->tcpScanPorts, nullptr);
  EXPECT_EQ(record->udpScanPorts, nullptr);
  EXPECT_EQ(record->tcpScanPortCount + record->udpScanPortCount + record->tcpScanHighPortSkip +
                record->sig6045Count + record->sig6178Start + record->sig6178Ports[3].seenCount,
            0u);
  EXPECT_EQ(record->sig6178Ports[0].seen[7], 0);
  // A second record of the same source without an out pointer has only the
  // table's reference.
  ASSERT_EQ(CreateHostRecord(&source, nullptr), STATUS_SUCCESS);
  HostRecord* second = CONTAINING_RECORD(Context()->hostRecency.Blink, HostRecord, recencyLink);
  EXPECT_NE(second, record);
  EXPECT_EQ(second->refCount, 1u);
  EXPECT_EQ(Context()->hostCount, 2u);
  ReleaseHostRecord(record);
}

TEST_F(TrackingTest, FirstInsertedDuplicateWinsUntilRemoved) {
  const HostAddress source = Ipv4(172, 16, 0, 1);
  HostRecord* first = CreateHeld(source);
  HostRecord* second = CreateHeld(source);
  ASSERT_NE(first, second);
  HostRecord* found = FindHostRecord(&source);
  EXPECT_EQ(found, first);
  ReleaseHostRecord(found);
  RemoveHostRecord(first);
  found = FindHostRecord(&source);
  EXPECT_EQ(found, second);
  ReleaseHostRecord(found);
  ReleaseHostRecord(first);
  ReleaseHostRecord(second);
}

TEST_F(TrackingTest, FullTableEvictsLeastRecentlyUsedAndSparesOneFoundJustBefore) {
  for (ULONG i = 0; i < kMaxHostRecords; ++i) {
    ASSERT_EQ(CreateUnheld(NthIpv4(i)), STATUS_SUCCESS);
    ASSERT_EQ(Context()->hostCount, i + 1) << "no eviction below the bound";
  }
  EXPECT_TRUE(HostPresent(NthIpv4(0)));  // record 0 becomes the most recent

  const HostAddress newcomer = NthIpv4(kMaxHostRecords);
  ASSERT_EQ(CreateUnheld(newcomer), STATUS_SUCCESS);
  EXPECT_EQ(Context()->hostCount, kMaxHostRecords);
  // The evicted record went back to its cache and was reused at once.
  EXPECT_EQ(kt::PoolOutstanding(kTagHost), kMaxHostRecords);
  EXPECT_FALSE(HostPresent(NthIpv4(1)));
  EXPECT_TRUE(HostPresent(NthIpv4(0)));
  EXPECT_TRUE(HostPresent(newcomer));

  // Each creation evicts exactly the least recent one; a record found just
  // before is skipped every time.
  for (ULONG i = 1; i <= 5; ++i) {
    ASSERT_EQ(CreateUnheld(NthIpv4(kMaxHostRecords + i)), STATUS_SUCCESS);
    EXPECT_EQ(Context()->hostCount, kMaxHostRecords);
    EXPECT_FALSE(HostPresent(NthIpv4(2 * i))) << i;
    EXPECT_TRUE(HostPresent(NthIpv4(2 * i + 1))) << i;
  }
  EXPECT_EQ(kt::PoolOutstanding(kTagHost), kMaxHostRecords);
  EXPECT_EQ(ListLength(&Context()->hostRecency), kMaxHostRecords);
}

TEST_F(TrackingTest, EvictedRecordHeldByACallerStaysValid) {
  HostRecord* oldest = CreateHeld(NthIpv4(0));
  ASSERT_NE(oldest, nullptr);
  oldest->sig6500Count = 41;
  for (ULONG i = 1; i <= kMaxHostRecords; ++i) {
    ASSERT_EQ(CreateUnheld(NthIpv4(i)), STATUS_SUCCESS);
  }
  EXPECT_EQ(Context()->hostCount, kMaxHostRecords);
  EXPECT_EQ(oldest->bucketLink.Flink, nullptr);
  EXPECT_EQ(oldest->refCount, 1u);
  EXPECT_EQ(oldest->sig6500Count, 41u);
  EXPECT_FALSE(HostPresent(NthIpv4(0)));
  EXPECT_EQ(kt::LookasideKept(&Context()->hostRecordCache), 0);
  RemoveHostRecord(oldest);  // already out: must not unlink or count again
  EXPECT_EQ(Context()->hostCount, kMaxHostRecords);
  ReleaseHostRecord(oldest);
  EXPECT_EQ(kt::LookasideKept(&Context()->hostRecordCache), 1);
}

TEST_F(TrackingTest, RemovedRecordStaysReadableAndSecondRemovalDoesNothing) {
  const HostAddress source = Ipv4(192, 0, 2, 7);
  HostRecord* creator = CreateHeld(source);
  HostRecord* other = FindHostRecord(&source);
  ASSERT_EQ(creator, other);
  EXPECT_EQ(creator->refCount, 3u);
  creator->sig6100Count = 5;

  RemoveHostRecord(other);
  EXPECT_EQ(creator->bucketLink.Flink, nullptr);
  EXPECT_EQ(creator->refCount, 2u);
  EXPECT_EQ(Context()->hostCount, 0u);
  EXPECT_TRUE(IsListEmpty(&Context()->hostRecency));
  EXPECT_EQ(FindHostRecord(&source), nullptr);

  RemoveHostRecord(creator);
  EXPECT_EQ(creator->refCount, 2u);
  EXPECT_EQ(Context()->hostCount, 0u);

  ReleaseHostRecord(other);
  EXPECT_EQ(kt::LookasideKept(&Context()->hostRecordCache), 0);
  EXPECT_EQ(creator->sig6100Count, 5u);
  EXPECT_TRUE(TrackingAddressesMatch(&creator->key, &source));
  ReleaseHostRecord(creator);
  EXPECT_EQ(kt::LookasideKept(&Context()->hostRecordCache), 1);

  // A fresh record for the same source is a new, clean one.
  HostRecord* again = CreateHeld(source);
  EXPECT_EQ(again->sig6100Count, 0u);
  ReleaseHostRecord(again);
}

TEST_F(TrackingTest, PortListsGoBackToTheirCacheWithTheRecord) {
  HostRecord* record = CreateHeld(Ipv4(198, 51, 100, 1));
  LockHostRecord(record);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  // Port items are taken under the record's lock: no second driver lock.
  for (USHORT port = 1; port <= 5; ++port) {
    PortItem* item = AllocPortItem();
    ASSERT_NE(item, nullptr);
    item->port = port;
    PortItem** list = port <= 3 ? &record->tcpScanPorts : &record->udpScanPorts;
    item->next = *list;
    *list = item;
  }
  EXPECT_EQ(kt::HeldSpinLockCount(), 1);
  UnlockHostRecord(record);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(kt::PoolOutstanding(kTagPort), 5u);

  RemoveHostRecord(record);
  EXPECT_EQ(kt::LookasideKept(&Context()->portItemCache), 0) << "caller still holds it";
  ReleaseHostRecord(record);
  EXPECT_EQ(kt::LookasideKept(&Context()->portItemCache), 5);
  EXPECT_EQ(kt::LookasideKept(&Context()->hostRecordCache), 1);
}

TEST_F(TrackingTest, OperationsRunAtDispatchLevel) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  const HostAddress source = Ipv4(203, 0, 113, 9);
  HostRecord* record = CreateHeld(source);
  HostRecord* found = FindHostRecord(&source);
  EXPECT_EQ(found, record);
  ConversationRecord* conversation = nullptr;
  EXPECT_EQ(CreateConversationRecord(&source, &source, 1, 2, 3, &conversation), STATUS_SUCCESS);
  RemoveConversationRecord(conversation);
  ReleaseConversationRecord(conversation, true);
  RemoveHostRecord(found);
  ReleaseHostRecord(found);
  ReleaseHostRecord(record);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "each lock restores the IRQL it found";
  KeLowerIrql(old);
}

// ---- Conversation table ----

struct ConversationKey {
  HostAddress source;
  HostAddress destination;
  USHORT sourcePort;
  USHORT destinationPort;
  USHORT kind;
};

struct ConversationLookup {
  const char* what;
  ConversationKey key;
  bool found;
};

ConversationRecord* Find(const ConversationKey& k) {
  return FindConversationRecord(&k.source, &k.destination, k.sourcePort, k.destinationPort, k.kind);
}

NTSTATUS Create(const ConversationKey& k, ConversationRecord** record) {
  return CreateConversationRecord(&k.source, &k.destination, k.sourcePort, k.destinationPort,
                                  k.kind, record);
}

ConversationKey NthConversation(ULONG n) {
  return {NthIpv4(n), Ipv4(10, 200, 0, 1), static_cast<USHORT>(1024 + n), 135, 2};
}

bool ConversationPresent(const ConversationKey& k) {
  ConversationRecord* record = Find(k);
  if (record == nullptr) return false;
  ReleaseConversationRecord(record, true);
  return true;
}

TEST_F(TrackingTest, ConversationIsFoundOnlyByItsFullKey) {
  const ConversationKey base{Ipv4(192, 168, 1, 10), Ipv4(10, 0, 0, 1), 49152, 445, 2};
  ConversationRecord* created = nullptr;
  ASSERT_EQ(Create(base, &created), STATUS_SUCCESS);
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(created->refCount, 2);
  EXPECT_EQ(created->sourcePort, 49152);
  EXPECT_EQ(created->destinationPort, 445);
  EXPECT_EQ(created->kind, 2);
  ReleaseConversationRecord(created, true);

  // 172.16.0.1 with byte 14 = 181 hashes to bucket 98 like 192.168.1.10.
  const HostAddress sameBucketSource =
      Address(4, {172, 16, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 181, 0});
  ASSERT_EQ(TrackingBucket(&sameBucketSource), TrackingBucket(&base.source));
  const HostAddress otherBucketSource = Ipv4(192, 168, 1, 11);
  ASSERT_NE(TrackingBucket(&otherBucketSource), TrackingBucket(&base.source));
  HostAddress destinationAsV6 = base.destination;
  destinationAsV6.version = 6;

  auto with = [&](auto edit) {
    ConversationKey k = base;
    edit(k);
    return k;
  };
  const ConversationLookup lookups[] = {
      {"exact key", base, true},
      {"other destination", with([](ConversationKey& k) { k.destination = Ipv4(10, 0, 0, 2); }),
       false},
      {"destination with other trailing bytes",
       with([](ConversationKey& k) { k.destination.bytes[12] = 0x55; }), true},
      {"destination as IPv6", with([&](ConversationKey& k) { k.destination = destinationAsV6; }),
       false},
      {"other source port", with([](ConversationKey& k) { k.sourcePort = 49153; }), false},
      {"other destination port", with([](ConversationKey& k) { k.destinationPort = 139; }), false},
      {"ports swapped", with([](ConversationKey& k) {
         k.sourcePort = 445;
         k.destinationPort = 49152;
       }),
       false},
      {"other kind", with([](ConversationKey& k) { k.kind = 3; }), false},
      {"other source in the same bucket",
       with([&](ConversationKey& k) { k.source = sameBucketSource; }), true},
      {"other source in another bucket",
       with([&](ConversationKey& k) { k.source = otherBucketSource; }), false},
  };
  for (const ConversationLookup& l : lookups) {
    ConversationRecord* found = Find(l.key);
    EXPECT_EQ(found, l.found ? created : nullptr) << l.what;
    if (found != nullptr) ReleaseConversationRecord(found, true);
  }
  EXPECT_EQ(created->refCount, 1) << "every lookup gave its reference back";
}

TEST_F(TrackingTest, KindsKeepDetectorsApart) {
  ConversationRecord* byKind[3] = {};
  for (USHORT kind = 2; kind <= 4; ++kind) {
    const ConversationKey k{Ipv4(1, 1, 1, 1), Ipv4(2, 2, 2, 2), 5000, 135, kind};
    ASSERT_EQ(Create(k, &byKind[kind - 2]), STATUS_SUCCESS);
  }
  for (USHORT kind = 2; kind <= 4; ++kind) {
    ConversationRecord* found = Find({Ipv4(1, 1, 1, 1), Ipv4(2, 2, 2, 2), 5000, 135, kind});
    EXPECT_EQ(found, byKind[kind - 2]);
    ReleaseConversationRecord(found, true);
    ReleaseConversationRecord(byKind[kind - 2], true);
  }
  EXPECT_EQ(Context()->conversationCount, 3u);
}

TEST_F(TrackingTest, FullConversationTableEvictsOneRecordPerCreation) {
  for (ULONG i = 0; i < kMaxConversationRecords; ++i) {
    ConversationRecord* record = nullptr;
    ASSERT_EQ(Create(NthConversation(i), &record), STATUS_SUCCESS);
    ReleaseConversationRecord(record, true);
  }
  EXPECT_EQ(Context()->conversationCount, kMaxConversationRecords);
  EXPECT_TRUE(ConversationPresent(NthConversation(0)));  // now the most recent

  for (ULONG i = 0; i < 10; ++i) {
    ConversationRecord* record = nullptr;
    ASSERT_EQ(Create(NthConversation(kMaxConversationRecords + i), &record), STATUS_SUCCESS);
    ReleaseConversationRecord(record, true);
    EXPECT_EQ(Context()->conversationCount, kMaxConversationRecords);
    // The evicted record is reused at once: the pool holds no more records.
    EXPECT_EQ(kt::PoolOutstanding(kTagConversation), kMaxConversationRecords);
  }
  EXPECT_TRUE(ConversationPresent(NthConversation(0)));
  for (ULONG i = 1; i <= 10; ++i) EXPECT_FALSE(ConversationPresent(NthConversation(i))) << i;
  EXPECT_TRUE(ConversationPresent(NthConversation(11)));
  EXPECT_EQ(ListLength(&Context()->conversationRecency), kMaxConversationRecords);
}

TEST_F(TrackingTest, RemovedConversationStaysValidAndSecondRemovalDoesNothing) {
  ConversationRecord* record = nullptr;
  ASSERT_EQ(Create(NthConversation(1), &record), STATUS_SUCCESS);
  ASSERT_EQ(Create(NthConversation(2), nullptr), STATUS_SUCCESS);  // no caller reference
  EXPECT_EQ(Context()->conversationCount, 2u);

  RemoveConversationRecord(record);
  EXPECT_EQ(record->bucketLink.Flink, nullptr);
  EXPECT_EQ(record->refCount, 1);
  EXPECT_EQ(Context()->conversationCount, 1u);
  EXPECT_FALSE(ConversationPresent(NthConversation(1)));
  RemoveConversationRecord(record);
  RemoveConversationRecord(nullptr);
  EXPECT_EQ(record->refCount, 1);
  EXPECT_EQ(Context()->conversationCount, 1u);
  EXPECT_EQ(record->sourcePort, NthConversation(1).sourcePort);
  EXPECT_EQ(kt::LookasideKept(&Context()->conversationRecordCache), 0);

  // A caller that already holds the conversation lock releases without it.
  SpinLockAcquire(&Context()->conversationLock);
  ReleaseConversationRecord(record, false);
  SpinLockRelease(&Context()->conversationLock);
  EXPECT_EQ(kt::LookasideKept(&Context()->conversationRecordCache), 1);

  ConversationRecord* unheld =
      CONTAINING_RECORD(Context()->conversationRecency.Flink, ConversationRecord, recencyLink);
  EXPECT_EQ(unheld->refCount, 1);
  RemoveConversationRecord(unheld);
  EXPECT_EQ(kt::LookasideKept(&Context()->conversationRecordCache), 2);
  EXPECT_EQ(Context()->conversationCount, 0u);
}

// ---- Caches, lifecycle, failures ----

TEST_F(TrackingTest, CachesUseTheirTagsDepthsAndTheDriverWideFlags) {
  FreeTrackingContext();
  g_lookasideFlags = POOL_NX_ALLOCATION;
  ASSERT_EQ(InitTrackingContext(Context()), STATUS_SUCCESS);
  HostRecord* host = CreateHeld(Ipv4(1, 2, 3, 4));
  PortItem* item = AllocPortItem();
  ConversationRecord* conversation = nullptr;
  ASSERT_EQ(Create(NthConversation(0), &conversation), STATUS_SUCCESS);
  EXPECT_EQ(kt::PoolTagOf(host), kTagHost);
  EXPECT_EQ(kt::PoolTagOf(item), kTagPort);
  EXPECT_EQ(kt::PoolTagOf(conversation), kTagConversation);
  EXPECT_EQ(kt::PoolTypeOf(host), NonPagedPoolNx);
  EXPECT_EQ(kt::PoolTypeOf(item), NonPagedPoolNx);
  EXPECT_EQ(kt::PoolTypeOf(conversation), NonPagedPoolNx);
  FreePortItem(item);
  ReleaseHostRecord(host);
  ReleaseConversationRecord(conversation, true);

  // Depth: host records keep 32 for reuse and give the rest back to the pool.
  std::vector<HostRecord*> hosts;
  for (ULONG i = 0; i < 40; ++i) hosts.push_back(CreateHeld(NthIpv4(100 + i)));
  for (HostRecord* r : hosts) {
    RemoveHostRecord(r);
    ReleaseHostRecord(r);
  }
  EXPECT_EQ(kt::LookasideKept(&Context()->hostRecordCache), 32);
  EXPECT_EQ(kt::PoolOutstanding(kTagHost), 32u + 1u);  // + the record of 1.2.3.4

  std::vector<PortItem*> items;
  for (ULONG i = 0; i < 2100; ++i) items.push_back(AllocPortItem());
  for (PortItem* p : items) FreePortItem(p);
  EXPECT_EQ(kt::LookasideKept(&Context()->portItemCache), 2048);
  EXPECT_EQ(kt::PoolOutstanding(kTagPort), 2048u);

  // 2100 held conversations: those past 1024 evict, the holders keep them.
  std::vector<ConversationRecord*> conversations;
  for (ULONG i = 0; i < 2100; ++i) {
    ConversationRecord* r = nullptr;
    ASSERT_EQ(Create(NthConversation(i + 1), &r), STATUS_SUCCESS);
    conversations.push_back(r);
  }
  EXPECT_EQ(Context()->conversationCount, kMaxConversationRecords);
  for (ConversationRecord* r : conversations) {
    RemoveConversationRecord(r);
    ReleaseConversationRecord(r, true);
  }
  EXPECT_EQ(Context()->conversationCount, 0u);
  EXPECT_EQ(kt::LookasideKept(&Context()->conversationRecordCache), 2048);
}

TEST_F(TrackingTest, TeardownFreesEverythingAndDisablesTheStore) {
  for (ULONG i = 0; i < kMaxHostRecords + 40; ++i) {
    HostRecord* record = CreateHeld(NthIpv4(i));
    LockHostRecord(record);
    record->tcpScanPorts = AllocPortItem();
    record->tcpScanPorts->next = nullptr;
    record->udpScanPorts = AllocPortItem();
    record->udpScanPorts->next = nullptr;
    UnlockHostRecord(record);
    ReleaseHostRecord(record);
  }
  for (ULONG i = 0; i < kMaxConversationRecords + 40; ++i) {
    ASSERT_EQ(Create(NthConversation(i), nullptr), STATUS_SUCCESS);
  }
  FreeTrackingContext();
  EXPECT_EQ(g_trackingContext, nullptr);
  EXPECT_EQ(kt::PoolOutstanding(kTagHost), 0u);
  EXPECT_EQ(kt::PoolOutstanding(kTagPort), 0u);
  EXPECT_EQ(kt::PoolOutstanding(kTagConversation), 0u);

  const HostAddress source = NthIpv4(600);
  EXPECT_EQ(FindHostRecord(&source), nullptr);
  HostRecord* host = reinterpret_cast<HostRecord*>(0x1);  // must be cleared
  EXPECT_EQ(CreateHostRecord(&source, &host), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(host, nullptr);
  EXPECT_EQ(CreateHostRecord(&source, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Find(NthConversation(0)), nullptr);
  ConversationRecord* conversation = reinterpret_cast<ConversationRecord*>(0x1);
  EXPECT_EQ(Create(NthConversation(0), &conversation), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(conversation, nullptr);
  EXPECT_EQ(AllocPortItem(), nullptr);
  FreeTrackingContext();  // a second teardown does nothing
  EXPECT_EQ(InitTrackingContext(nullptr), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(g_trackingContext, nullptr);
}

TEST_F(TrackingTest, HostCacheFailureReturnsInsufficientResources) {
  const HostAddress source = Ipv4(192, 0, 2, 1);
  kt::FailAllocationsWithTag(kTagHost);
  HostRecord* record = reinterpret_cast<HostRecord*>(0x1);
  EXPECT_EQ(CreateHostRecord(&source, &record), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(CreateHostRecord(&source, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  // Other caches are untouched by the host tag.
  ConversationRecord* conversation = nullptr;
  EXPECT_EQ(Create(NthConversation(0), &conversation), STATUS_SUCCESS);
  ReleaseConversationRecord(conversation, true);
  EXPECT_EQ(Context()->hostCount, 0u);
  EXPECT_EQ(kt::PoolOutstanding(kTagHost), 0u);
  kt::ClearPoolFaults();
  EXPECT_EQ(CreateHostRecord(&source, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(HostPresent(source));
}

TEST_F(TrackingTest, HostCacheFailureAfterTheEvictionKeepsTheEviction) {
  // The oldest record is held, so evicting it does not refill the cache.
  HostRecord* oldest = CreateHeld(NthIpv4(0));
  for (ULONG i = 1; i < kMaxHostRecords; ++i) {
    ASSERT_EQ(CreateUnheld(NthIpv4(i)), STATUS_SUCCESS);
  }
  kt::FailAllocationsWithTag(kTagHost);
  const HostAddress newcomer = NthIpv4(kMaxHostRecords);
  EXPECT_EQ(CreateHostRecord(&newcomer, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Context()->hostCount, kMaxHostRecords - 1);
  EXPECT_EQ(oldest->bucketLink.Flink, nullptr);
  EXPECT_EQ(ListLength(&Context()->hostRecency), kMaxHostRecords - 1);
  // Below the bound now: a second failing creation evicts nothing.
  EXPECT_EQ(CreateHostRecord(&newcomer, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Context()->hostCount, kMaxHostRecords - 1);
  kt::ClearPoolFaults();
  ReleaseHostRecord(oldest);
  EXPECT_EQ(kt::PoolOutstanding(kTagHost), kMaxHostRecords);  // 511 in the table, 1 kept
}

TEST_F(TrackingTest, PortItemCacheFailureReturnsNull) {
  kt::FailAllocationsWithTag(kTagPort);
  EXPECT_EQ(AllocPortItem(), nullptr);
  EXPECT_EQ(kt::PoolOutstanding(kTagPort), 0u);
  kt::ClearPoolFaults();
  PortItem* item = AllocPortItem();
  ASSERT_NE(item, nullptr);
  FreePortItem(item);
  // A kept item is reused without the pool.
  kt::FailAllocationsWithTag(kTagPort);
  EXPECT_EQ(AllocPortItem(), item);
  FreePortItem(item);
}

TEST_F(TrackingTest, ConversationCacheFailureReturnsInsufficientResources) {
  ASSERT_EQ(Create(NthConversation(0), nullptr), STATUS_SUCCESS);
  kt::FailAllocationsWithTag(kTagConversation);
  ConversationRecord* record = reinterpret_cast<ConversationRecord*>(0x1);
  EXPECT_EQ(Create(NthConversation(1), &record), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(Context()->conversationCount, 1u);
  EXPECT_FALSE(ConversationPresent(NthConversation(1)));
  EXPECT_EQ(CreateUnheld(NthIpv4(1)), STATUS_SUCCESS);
  EXPECT_EQ(kt::PoolOutstanding(kTagConversation), 1u);
}

// ---- Clock ----

TEST_F(TrackingTest, CurrentTimeMsDividesTheSystemTimeTowardZero) {
  kt::SetSystemTime(133000000000012345LL);
  EXPECT_EQ(CurrentTimeMs(), 13300000000001LL);
  kt::SetSystemTime(-15000);  // -1.5 ms: truncation gives -1, a floor -2
  EXPECT_EQ(CurrentTimeMs(), -1);
  kt::SetSystemTime(-9999);
  EXPECT_EQ(CurrentTimeMs(), 0);
  kt::SetSystemTime(133000000000012345LL - 20000000);  // the clock was set back 2 s
  EXPECT_EQ(CurrentTimeMs(), 13299999998001LL);
}

TEST_F(TrackingTest, StampAgesStayRightAcrossTheWrap) {
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

}  // namespace
}  // namespace tracking_test
