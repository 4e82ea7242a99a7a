// Cost of the tracking store on the packet path: a host-record hit, a hit with
// its release, and creations into full tables (each evicts the least recently
// used record and reuses it through the lookaside cache).
#include <benchmark/benchmark.h>

#include <vector>

#include "kt_hooks.h"
#include "nips/engine/pool.h"
#include "nips/tracking/tracking.h"

namespace {

HostAddress NthIpv4(ULONG n) {
  HostAddress a{};
  a.bytes[0] = 10;
  a.bytes[1] = static_cast<UCHAR>(n >> 16);
  a.bytes[2] = static_cast<UCHAR>(n >> 8);
  a.bytes[3] = static_cast<UCHAR>(n);
  a.version = 4;
  return a;
}

// A started store on engine pool memory, torn down with the fixture.
class Store {
 public:
  Store() {
    kt::ResetWorld();
    memory_ = static_cast<TrackingContext*>(
        ExAllocatePoolWithTag(g_poolType, sizeof(TrackingContext), kPoolTagEngine));
    InitTrackingContext(memory_);
  }
  ~Store() {
    FreeTrackingContext();
    ExFreePoolWithTag(memory_, kPoolTagEngine);
  }

 private:
  TrackingContext* memory_;
};

std::vector<HostAddress> FillHostTable() {
  std::vector<HostAddress> sources;
  for (ULONG i = 0; i < kMaxHostRecords; ++i) {
    sources.push_back(NthIpv4(i));
    CreateHostRecord(&sources.back(), nullptr);
  }
  return sources;
}

// FindHostRecord alone; the references it hands out are given back after the
// timed loop.
void BM_FindHostRecordHit(benchmark::State& state) {
  Store store;
  const std::vector<HostAddress> sources = FillHostTable();
  std::vector<ULONG> references(sources.size(), 0);
  std::vector<HostRecord*> records(sources.size(), nullptr);
  size_t next = 0;
  for (auto _ : state) {
    HostRecord* record = FindHostRecord(&sources[next]);
    benchmark::DoNotOptimize(record);
    records[next] = record;
    ++references[next];
    next = next + 1 == sources.size() ? 0 : next + 1;
  }
  for (size_t i = 0; i < sources.size(); ++i) {
    for (ULONG n = 0; n < references[i]; ++n) ReleaseHostRecord(records[i]);
  }
}
BENCHMARK(BM_FindHostRecordHit);

// The detector pattern for a hit: find, then give the reference back.
void BM_FindAndReleaseHostRecord(benchmark::State& state) {
  Store store;
  const std::vector<HostAddress> sources = FillHostTable();
  size_t next = 0;
  for (auto _ : state) {
    HostRecord* record = FindHostRecord(&sources[next]);
    benchmark::DoNotOptimize(record);
    ReleaseHostRecord(record);
    next = next + 1 == sources.size() ? 0 : next + 1;
  }
}
BENCHMARK(BM_FindAndReleaseHostRecord);

// A creation into a full host table: one eviction, one cache reuse.
void BM_CreateHostRecordEvicting(benchmark::State& state) {
  Store store;
  FillHostTable();
  ULONG n = kMaxHostRecords;
  for (auto _ : state) {
    const HostAddress source = NthIpv4(n++);
    benchmark::DoNotOptimize(CreateHostRecord(&source, nullptr));
  }
}
BENCHMARK(BM_CreateHostRecordEvicting);

// The same for the conversation table, with the caller's reference given back.
void BM_CreateConversationRecordEvicting(benchmark::State& state) {
  Store store;
  const HostAddress destination = NthIpv4(0xFFFF);
  ULONG n = 0;
  for (; n < kMaxConversationRecords; ++n) {
    const HostAddress source = NthIpv4(n);
    CreateConversationRecord(&source, &destination, static_cast<USHORT>(n), 135, 2, nullptr);
  }
  for (auto _ : state) {
    const HostAddress source = NthIpv4(n);
    ConversationRecord* record = nullptr;
    CreateConversationRecord(&source, &destination, static_cast<USHORT>(n), 135, 2, &record);
    ReleaseConversationRecord(record, true);
    ++n;
  }
}
BENCHMARK(BM_CreateConversationRecordEvicting);

}  // namespace

BENCHMARK_MAIN();
