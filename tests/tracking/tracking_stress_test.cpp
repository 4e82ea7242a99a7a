// Several threads use the store the way detectors do, on overlapping keys and
// with more keys than the bounds allow, so that finds, creations, evictions,
// removals and releases interleave. Bounded by iteration count.
#include <atomic>
#include <thread>
#include <vector>

#include "tracking/tracking_fixture.h"

namespace tracking_test {
namespace {

constexpr int kThreads = 4;
constexpr int kIterations = 20000;
constexpr ULONG kHostKeys = 700;           // above the 512 bound
constexpr ULONG kConversationKeys = 1400;  // above the 1024 bound
constexpr ULONG kPortsKept = 4;

struct Rng {
  uint32_t state;
  uint32_t Next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
  }
};

// Counts what a holder saw that it must never see.
struct Faults {
  std::atomic<int> wrongKey{0};
  std::atomic<int> failedCreate{0};
  std::atomic<int> badPortList{0};
};

// The port-scan pattern: under the record's lock, push the newest port and
// drop the oldest past a few.
void RecordPort(HostRecord* record, USHORT port, Faults& faults) {
  LockHostRecord(record);
  PortItem* item = AllocPortItem();
  if (item != nullptr) {
    item->port = port;
    item->lastSeen = 0;
    item->next = record->tcpScanPorts;
    record->tcpScanPorts = item;
    ++record->tcpScanPortCount;
  }
  if (record->tcpScanPortCount > kPortsKept) {
    PortItem** link = &record->tcpScanPorts;
    ULONG walked = 0;
    while ((*link)->next != nullptr) {
      link = &(*link)->next;
      ++walked;
    }
    if (walked + 1 != record->tcpScanPortCount) faults.badPortList.fetch_add(1);
    FreePortItem(*link);
    *link = nullptr;
    --record->tcpScanPortCount;
  }
  UnlockHostRecord(record);
}

void HostStep(Rng& rng, Faults& faults) {
  const HostAddress source = NthIpv4(rng.Next() % kHostKeys);
  HostRecord* record = FindHostRecord(&source);
  if (record == nullptr && CreateHostRecord(&source, &record) != STATUS_SUCCESS) {
    faults.failedCreate.fetch_add(1);
    return;
  }
  RecordPort(record, static_cast<USHORT>(rng.Next()), faults);
  if (rng.Next() % 8 == 0) RemoveHostRecord(record);
  // Removed or evicted by anyone meanwhile, the record is still ours to read.
  if (!TrackingAddressesMatch(&record->key, &source)) faults.wrongKey.fetch_add(1);
  ReleaseHostRecord(record);
}

void ConversationStep(Rng& rng, Faults& faults) {
  const ULONG n = rng.Next() % kConversationKeys;
  const HostAddress source = NthIpv4(n % kHostKeys);
  const HostAddress destination = Ipv4(10, 250, 0, static_cast<int>(n % 3));
  const USHORT sourcePort = static_cast<USHORT>(40000 + n);
  const USHORT kind = static_cast<USHORT>(2 + n % 3);
  ConversationRecord* record = FindConversationRecord(&source, &destination, sourcePort, 135, kind);
  if (record == nullptr && CreateConversationRecord(&source, &destination, sourcePort, 135, kind,
                                                    &record) != STATUS_SUCCESS) {
    faults.failedCreate.fetch_add(1);
    return;
  }
  if (rng.Next() % 8 == 0) RemoveConversationRecord(record);
  if (record->sourcePort != sourcePort || record->kind != kind ||
      !TrackingAddressesMatch(&record->destination, &destination)) {
    faults.wrongKey.fetch_add(1);
  }
  ReleaseConversationRecord(record, true);
}

template <typename Record>
void CheckTable(const LIST_ENTRY* recency, const LIST_ENTRY* buckets, ULONG count, ULONG bound) {
  size_t inRecency = 0;
  for (const LIST_ENTRY* e = recency->Flink; e != recency; e = e->Flink) {
    const Record* record = CONTAINING_RECORD(const_cast<LIST_ENTRY*>(e), Record, recencyLink);
    EXPECT_EQ(static_cast<LONG64>(record->refCount), 1) << "only the table's reference is left";
    EXPECT_NE(record->bucketLink.Flink, nullptr);
    ++inRecency;
  }
  size_t inBuckets = 0;
  for (ULONG b = 0; b < kTrackingBuckets; ++b) {
    for (const LIST_ENTRY* e = buckets[b].Flink; e != &buckets[b]; e = e->Flink) ++inBuckets;
  }
  EXPECT_EQ(inRecency, count);
  EXPECT_EQ(inBuckets, count);
  // The unlocked check of the count lets racing creations overshoot a little.
  EXPECT_LE(count, bound + kThreads);
}

TEST_F(TrackingTest, ConcurrentDetectorsKeepTheTablesConsistent) {
  Faults faults;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &faults] {
      Rng rng{0x9E3779B9u * static_cast<uint32_t>(t + 1)};
      for (int i = 0; i < kIterations; ++i) {
        if (rng.Next() % 2 == 0) {
          HostStep(rng, faults);
        } else {
          ConversationStep(rng, faults);
        }
      }
      EXPECT_EQ(kt::HeldSpinLockCount(), 0);
    });
  }
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(faults.wrongKey.load(), 0);
  EXPECT_EQ(faults.failedCreate.load(), 0);
  EXPECT_EQ(faults.badPortList.load(), 0);
  TrackingContext* context = Context();
  CheckTable<HostRecord>(&context->hostRecency, context->hostBuckets, context->hostCount,
                         kMaxHostRecords);
  CheckTable<ConversationRecord>(&context->conversationRecency, context->conversationBuckets,
                                 context->conversationCount, kMaxConversationRecords);
  EXPECT_GT(context->hostCount, kMaxHostRecords / 2) << "the tables were kept full";

  FreeTrackingContext();
  EXPECT_EQ(kt::PoolOutstanding(kTagHost), 0u);
  EXPECT_EQ(kt::PoolOutstanding(kTagPort), 0u);
  EXPECT_EQ(kt::PoolOutstanding(kTagConversation), 0u);
}

}  // namespace
}  // namespace tracking_test
