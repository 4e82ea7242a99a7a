// Low-resource sweep: the driver's whole life (entry, a configuration cycle,
// every example capture through the firewall core with its evidence fetched,
// unload) with each distinct allocation call site failed in turn, then with
// allocations failed at random from a printed seed. Every run must end in one
// of the entry routine's own statuses or with clean verdicts, and leave the
// pool ledger empty.
//
// NIPS_SWEEP_SEED=<n> replays the random runs of one seed;
// NIPS_SWEEP_RANDOM_RUNS=<n> changes their number (default 12).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hostsim/capture.h"
#include "hostsim/decode.h"
#include "hostsim/driver_host.h"
#include "hostsim/packet.h"
#include "kt_hooks.h"
#include "nips/driver/content_driver.h"
#include "nips/engine/additional_data.h"
#include "nips/engine/config.h"
#include "nips/engine/plugin.h"
#include "nips/engine/signature.h"
#include "testlib/engine_support.h"
#include "testlib/nimq_reader.h"

namespace {

struct Frame {
  hostsim::LinkLayer link;
  int64_t seconds;
  int64_t microseconds;
  std::vector<uint8_t> bytes;
};

// Every frame of every example capture, read once.
const std::vector<std::vector<Frame>>& Examples() {
  static const std::vector<std::vector<Frame>> captures = [] {
    std::vector<std::string> paths;
    for (const auto& entry : std::filesystem::directory_iterator(NIPS_SOURCE_DIR "/examples")) {
      if (entry.path().extension() == ".pcap") paths.push_back(entry.path());
    }
    std::sort(paths.begin(), paths.end());
    std::vector<std::vector<Frame>> all;
    for (const std::string& path : paths) {
      hostsim::CaptureReader reader;
      std::string error;
      if (!reader.Open(path, &error) || !reader.linkLayer()) continue;
      std::vector<Frame> frames;
      hostsim::CaptureFrame frame;
      while (reader.Next(&frame, &error) == hostsim::CaptureReader::ReadStatus::kFrame) {
        frames.push_back({*reader.linkLayer(), frame.seconds, frame.microseconds,
                          std::vector<uint8_t>(frame.data, frame.data + frame.capturedLength)});
      }
      all.push_back(std::move(frames));
    }
    return all;
  }();
  return captures;
}

// What one run came to; runs are tallied by it.
struct Outcome {
  NTSTATUS entry = STATUS_SUCCESS;
  bool attached = false;
  std::set<NTSTATUS> controlFailures;  // statuses of refused configuration requests
  uint64_t inspected = 0;
  uint64_t reports = 0;
  uint64_t detectorFailures = 0;
};

// The entry routine's statuses when an allocation fails (success: only the
// version link was lost).
bool IsEntryStatus(NTSTATUS status) {
  return status == STATUS_SUCCESS || status == STATUS_ILL_FORMED_SERVICE_ENTRY ||
         status == STATUS_NO_MEMORY || status == STATUS_UNSUCCESSFUL;
}

// One life of the driver; failures are reported through gtest, with `what`.
Outcome RunOnce(const std::string& what) {
  SCOPED_TRACE(what);
  Outcome out;
  {
    hostsim::CoreDriver core;
    hostsim::DriverHost host(&core);
    out.entry = host.Load();
    EXPECT_TRUE(IsEntryStatus(out.entry)) << std::hex << out.entry;
    if (out.entry == STATUS_SUCCESS) {
      uint64_t returned = 0;
      const BankHeader header = testlib::MakeHeader({1, 2, 3, 3});
      std::vector<PolicyRecord> records = testlib::RecordsForAllRows(g_signatureTable, 3);
      const ULONG mask = 0xFF;
      const NTSTATUS statuses[] = {
          host.Control(kControlSetBankHeader, const_cast<BankHeader*>(&header), sizeof header,
                       nullptr, 0, &returned),
          host.Control(kControlApplyPolicy, records.data(), records.size() * sizeof records[0],
                       nullptr, 0, &returned),
          host.Control(kControlEnforce, nullptr, 0, nullptr, 0, &returned),
          host.Control(kControlSetLogMask, const_cast<ULONG*>(&mask), sizeof mask, nullptr, 0,
                       &returned)};
      for (NTSTATUS status : statuses) {
        if (status != STATUS_SUCCESS) out.controlFailures.insert(status);
      }
      hostsim::SimPacket packet;
      for (const std::vector<Frame>& capture : Examples()) {
        for (const Frame& frame : capture) {
          std::unique_ptr<uint8_t[]> copy(new uint8_t[frame.bytes.size()]);
          std::copy(frame.bytes.begin(), frame.bytes.end(), copy.get());
          hostsim::DecodedPacket decoded;
          if (hostsim::DecodeFrame(frame.link, copy.get(), frame.bytes.size(), &decoded) !=
              hostsim::DecodeResult::kOk) {
            continue;
          }
          kt::SetSystemTime(kt::SystemTimeFromUnix(frame.seconds, frame.microseconds));
          packet.Reset(decoded);
          const std::optional<LONG> answer = host.Inspect(&packet);
          if (!answer) break;  // the plug-in never attached
          out.attached = true;
          const hostsim::VerdictRecord& verdict = packet.verdict();
          if (*answer == kInspectDelivered) {
            ++out.inspected;
            EXPECT_EQ(verdict.verdictCalls, 1u);
            EXPECT_EQ(verdict.reportCalls, 1u);
            out.reports += verdict.signatureId != 0;
            if (verdict.additionalDataIndex != 0) {
              ULONG slot = verdict.additionalDataIndex;
              std::vector<uint8_t> text(kAdditionalDataSlotBytes);
              host.Control(kControlGetAdditionalData, &slot, sizeof slot, text.data(), text.size(),
                           &returned);
            }
          } else {
            EXPECT_TRUE(*answer == kInspectNotInspected ||
                        *answer == static_cast<LONG>(kInspectDetectorFailed))
                << *answer;
            out.detectorFailures += *answer == static_cast<LONG>(kInspectDetectorFailed);
            EXPECT_EQ(verdict.verdictCalls, 0u);
            EXPECT_EQ(verdict.reportCalls, 0u);
          }
        }
        // A drain per capture, as a log reader would.
        if (g_contentDriver != nullptr && testlib::LogReadable(g_contentDriver->plugin())) {
          const NTSTATUS drained = testlib::DrainRaw(g_contentDriver->plugin()).status;
          if (drained != STATUS_SUCCESS) out.controlFailures.insert(drained);
        }
      }
      host.Unload();
    }
  }
  EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  return out;
}

std::string Describe(const Outcome& o) {
  char text[160];
  snprintf(text, sizeof text, "entry %08x attached %d refused-requests %zu detector-failures %s",
           static_cast<unsigned>(o.entry), o.attached, o.controlFailures.size(),
           o.detectorFailures ? "some" : "none");
  return text;
}

uint64_t EnvNumber(const char* name, uint64_t fallback) {
  const char* value = getenv(name);
  return value != nullptr && *value != 0 ? strtoull(value, nullptr, 0) : fallback;
}

// Never inlined, and the barrier after the call keeps it from being a tail
// call (which would make the caller's call the site): one call site each.
__attribute__((noinline)) void* AllocateFromOneSite(ULONG tag) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
  asm volatile("" ::: "memory");
  return p;
}
__attribute__((noinline)) void* TakeFromList(NPAGED_LOOKASIDE_LIST* list) {
  void* p = ExAllocateFromNPagedLookasideList(list);
  asm volatile("" ::: "memory");
  return p;
}

class AllocationSweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    ASSERT_FALSE(Examples().empty());
  }
  void TearDown() override { kt::ResetWorld(); }
};

TEST_F(AllocationSweepTest, EveryCallSiteFailedInTurnEndsCleanly) {
  kt::RecordAllocationSites(true);
  const Outcome clean = RunOnce("without faults");
  std::vector<kt::AllocationSite> sites = kt::AllocationSites();
  kt::RecordAllocationSites(false);
  ASSERT_EQ(clean.entry, STATUS_SUCCESS);
  ASSERT_TRUE(clean.attached);
  ASSERT_GT(clean.reports, 0u);
  // Sorted by tag and hits so the output reads the same from run to run.
  std::sort(sites.begin(), sites.end(), [](const auto& a, const auto& b) {
    return std::tie(a.tag, a.hits) < std::tie(b.tag, b.hits);
  });
  // Each site at every one of its hits (a run costs milliseconds), so that
  // each tracked host and port of the examples meets a failure once; sites
  // hit more often than kMaxHitsPerSite are failed at hits spread evenly.
  constexpr uint64_t kMaxHitsPerSite = 256;
  std::map<std::string, int> tally;
  size_t runs = 0;
  for (const kt::AllocationSite& site : sites) {
    const uint64_t step = (site.hits + kMaxHitsPerSite - 1) / kMaxHitsPerSite;
    for (uint64_t hit = 1; hit <= site.hits; hit += step) {
      kt::ResetWorld();
      kt::FailAllocationSite(site.site, hit);
      const Outcome o = RunOnce(kt::SiteName(site.site) + " tag " + kt::TagName(site.tag) +
                                " hit " + std::to_string(hit));
      EXPECT_EQ(kt::InjectedAllocationFailures(), 1u)
          << kt::SiteName(site.site) << " was not reached at hit " << hit;
      ++tally[Describe(o)];
      ++runs;
    }
  }
  printf("allocation sites: %zu, runs: %zu\n", sites.size(), runs);
  for (const kt::AllocationSite& site : sites) {
    printf("  site %s tag '%s' hits %llu\n", kt::SiteName(site.site).c_str(),
           kt::TagName(site.tag).c_str(), static_cast<unsigned long long>(site.hits));
  }
  for (const auto& [outcome, count] : tally) printf("  %4d runs: %s\n", count, outcome.c_str());
  // The driver allocates in entry (engine, tracking, evidence, strings), at
  // configuration and per tracked host: far more than a handful of sites.
  EXPECT_GE(sites.size(), 6u);
}

TEST_F(AllocationSweepTest, RandomFailuresFromAPrintedSeedEndCleanly) {
  const uint64_t seed =
      EnvNumber("NIPS_SWEEP_SEED",
                static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
  const uint64_t runs = EnvNumber("NIPS_SWEEP_RANDOM_RUNS", 12);
  printf("random sweep seed %llu (replay: NIPS_SWEEP_SEED=%llu)\n",
         static_cast<unsigned long long>(seed), static_cast<unsigned long long>(seed));
  std::map<std::string, int> tally;
  uint64_t injected = 0;
  for (uint64_t run = 0; run < runs; ++run) {
    kt::ResetWorld();
    // From one in 4 (most runs end in entry) to one in 4096 (deep in the scan).
    const uint32_t oneIn = 4u << (run % 11);
    kt::FailAllocationsRandomly(seed + run, oneIn);
    const Outcome o = RunOnce("seed " + std::to_string(seed) + " run " + std::to_string(run) +
                              " one in " + std::to_string(oneIn));
    injected += kt::InjectedAllocationFailures();
    ++tally[Describe(o)];
  }
  for (const auto& [outcome, count] : tally) printf("  %4d runs: %s\n", count, outcome.c_str());
  printf("failures injected: %llu\n", static_cast<unsigned long long>(injected));
  EXPECT_GT(injected, 0u);
}

// The modes themselves: a site fails at the chosen hit only, a cached
// lookaside entry does not shield its caller, and a seed replays.
TEST_F(AllocationSweepTest, SiteAndRandomModesFailWhatTheySay) {
  constexpr ULONG kTag = kt::Tag("Swpt");
  auto allocate = [] { return AllocateFromOneSite(kTag); };
  kt::RecordAllocationSites(true);
  void* first = allocate();
  void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);  // another site
  std::vector<kt::AllocationSite> sites = kt::AllocationSites();
  ASSERT_EQ(sites.size(), 2u);
  ExFreePoolWithTag(first, kTag);
  ExFreePoolWithTag(second, kTag);
  const void* lambdaSite = nullptr;
  {
    kt::RecordAllocationSites(true);
    ExFreePoolWithTag(allocate(), kTag);
    lambdaSite = kt::AllocationSites().at(0).site;
  }
  kt::FailAllocationSite(lambdaSite, 2);
  void* hit1 = allocate();
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  void* hit2 = allocate();
  void* hit3 = allocate();
  EXPECT_NE(hit1, nullptr);
  EXPECT_NE(other, nullptr);
  EXPECT_EQ(hit2, nullptr);
  EXPECT_NE(hit3, nullptr);
  EXPECT_EQ(kt::InjectedAllocationFailures(), 1u);
  for (void* p : {hit1, other, hit3}) ExFreePoolWithTag(p, kTag);

  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 24, kTag, 4);
  auto fromList = [&] { return TakeFromList(&list); };
  kt::RecordAllocationSites(true);
  ExFreeToNPagedLookasideList(&list, fromList());
  ASSERT_EQ(kt::LookasideKept(&list), 1);
  const void* listSite = kt::AllocationSites().at(0).site;
  kt::FailAllocationSite(listSite, 1);
  EXPECT_EQ(fromList(), nullptr);
  EXPECT_EQ(kt::LookasideKept(&list), 1);
  void* cached = fromList();
  EXPECT_NE(cached, nullptr);
  ExFreeToNPagedLookasideList(&list, cached);
  ExDeleteNPagedLookasideList(&list);

  auto pattern = [&](uint64_t seed) {
    kt::FailAllocationsRandomly(seed, 3);
    std::vector<bool> failed;
    for (int i = 0; i < 64; ++i) {
      void* p = allocate();
      failed.push_back(p == nullptr);
      if (p != nullptr) ExFreePoolWithTag(p, kTag);
    }
    kt::ClearPoolFaults();
    return failed;
  };
  const std::vector<bool> a = pattern(7);
  EXPECT_EQ(pattern(7), a);
  EXPECT_NE(pattern(8), a);
  const auto failures = std::count(a.begin(), a.end(), true);
  EXPECT_GT(failures, 5);
  EXPECT_LT(failures, 40);
  EXPECT_EQ(kt::PoolOutstanding(), 0u);
}

}  // namespace
