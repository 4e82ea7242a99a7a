// Stress: one loaded driver, several threads inspecting the example captures'
// packets from ever new source addresses (so the tracking tables fill and
// evict), while other threads swap the policy, drain the log and fetch
// evidence. Bounded in time (NIPS_STRESS_SECONDS, default 3). Run under TSan
// it is the race check of the packet path against the control path; in every
// build it checks the per-packet promises and an empty pool at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/capture.h"
#include "hostsim/decode.h"
#include "hostsim/driver_host.h"
#include "hostsim/packet.h"
#include "kt_hooks.h"
#include "nips/driver/content_driver.h"
#include "nips/engine/additional_data.h"
#include "nips/engine/config.h"
#include "nips/engine/log.h"
#include "nips/engine/plugin.h"
#include "nips/engine/signature.h"
#include "nips/tracking/tracking.h"
#include "testlib/engine_support.h"
#include "testlib/nimq_reader.h"

namespace {

struct Packet {
  hostsim::LinkLayer link;
  std::vector<uint8_t> bytes;
};

std::vector<Packet> ExamplePackets() {
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(NIPS_SOURCE_DIR "/examples")) {
    if (entry.path().extension() == ".pcap") paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<Packet> packets;
  for (const std::string& path : paths) {
    hostsim::CaptureReader reader;
    std::string error;
    if (!reader.Open(path, &error) || !reader.linkLayer()) continue;
    hostsim::CaptureFrame frame;
    while (reader.Next(&frame, &error) == hostsim::CaptureReader::ReadStatus::kFrame) {
      packets.push_back({*reader.linkLayer(),
                         std::vector<uint8_t>(frame.data, frame.data + frame.capturedLength)});
    }
  }
  return packets;
}

constexpr int kInspectors = 3;
constexpr uint32_t kPacketsPerSource = 16;
constexpr ULONG kDrainBytes = 0x8000;

struct Tally {
  std::atomic<uint64_t> inspected{0}, reports{0}, broken{0}, swaps{0}, drains{0}, fetches{0};
};

void Inspector(hostsim::DriverHost* host, const std::vector<Packet>* packets, int index,
               const std::atomic<bool>* stop, Tally* tally) {
  hostsim::SimPacket packet;
  uint32_t sent = 0;
  while (!stop->load()) {
    for (const Packet& p : *packets) {
      const uint32_t source = sent++ / kPacketsPerSource;
      hostsim::DecodedPacket decoded;
      if (hostsim::DecodeFrame(p.link, p.bytes.data(), p.bytes.size(), &decoded) !=
          hostsim::DecodeResult::kOk) {
        continue;
      }
      // A new IPv4 source every few packets, per thread: far more hosts than
      // the table holds.
      if (decoded.source.version == 4) {
        decoded.source.bytes[0] = 10;
        decoded.source.bytes[1] = static_cast<UCHAR>(index);
        decoded.source.bytes[2] = static_cast<UCHAR>(source >> 8);
        decoded.source.bytes[3] = static_cast<UCHAR>(source);
      }
      packet.Reset(decoded);
      const std::optional<LONG> answer = host->Inspect(&packet);
      const hostsim::VerdictRecord& verdict = packet.verdict();
      if (!answer) {
        tally->broken.fetch_add(1);
      } else if (*answer == kInspectDelivered) {
        tally->inspected.fetch_add(1);
        tally->reports.fetch_add(verdict.signatureId != 0);
        if (verdict.verdictCalls != 1 || verdict.reportCalls != 1) tally->broken.fetch_add(1);
      } else if (verdict.verdictCalls != 0 || verdict.reportCalls != 0) {
        tally->broken.fetch_add(1);
      }
      if (stop->load()) return;
    }
  }
}

NTSTATUS Configure(hostsim::DriverHost* host, ULONG level) {
  uint64_t returned = 0;
  BankHeader header = testlib::MakeHeader({1, 2, 3, 3});
  std::vector<PolicyRecord> records = testlib::RecordsForAllRows(g_signatureTable, level);
  NTSTATUS status =
      host->Control(kControlSetBankHeader, &header, sizeof header, nullptr, 0, &returned);
  if (status == STATUS_SUCCESS) {
    status = host->Control(kControlApplyPolicy, records.data(), records.size() * sizeof records[0],
                           nullptr, 0, &returned);
  }
  if (status == STATUS_SUCCESS) {
    status = host->Control(kControlEnforce, nullptr, 0, nullptr, 0, &returned);
  }
  return status;
}

TEST(DriverStressTest, InspectionPolicySwapsDrainsAndEvidenceTogether) {
  kt::ResetWorld();
  const std::vector<Packet> packets = ExamplePackets();
  ASSERT_FALSE(packets.empty());
  const char* seconds = getenv("NIPS_STRESS_SECONDS");
  const auto duration = std::chrono::milliseconds(
      static_cast<int64_t>(1000 * (seconds != nullptr ? atof(seconds) : 3.0)));
  Tally tally;
  {
    hostsim::CoreDriver core;
    hostsim::DriverHost host(&core);
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    ASSERT_EQ(Configure(&host, 3), STATUS_SUCCESS);
    uint64_t returned = 0;
    ULONG mask = kLogLifecycle | kLogMalformed | kLogError | kLogInfo;
    ASSERT_EQ(host.Control(kControlSetLogMask, &mask, sizeof mask, nullptr, 0, &returned),
              STATUS_SUCCESS);

    std::atomic<bool> stop{false};
    std::atomic<bool> drainerDone{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < kInspectors; ++i) {
      threads.emplace_back(Inspector, &host, &packets, i, &stop, &tally);
    }
    // Policy swaps: every row between levels 1 (report) and 4 (block).
    threads.emplace_back([&] {
      for (ULONG level = 1; !stop.load(); level = level % kMaxLevel + 1) {
        if (Configure(&host, level) == STATUS_SUCCESS) tally.swaps.fetch_add(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    // Evidence fetches over every slot.
    threads.emplace_back([&] {
      std::vector<uint8_t> text(kAdditionalDataSlotBytes);
      for (ULONG slot = 0; !stop.load(); slot = (slot + 1) % (kAdditionalDataSlots + 2)) {
        uint64_t got = 0;
        ULONG index = slot;
        if (host.Control(kControlGetAdditionalData, &index, sizeof index, text.data(), text.size(),
                         &got) == STATUS_SUCCESS) {
          tally.fetches.fetch_add(1);
        }
      }
    });
    // The log reader: request 6 waits for records; request 7 at the end
    // releases it.
    std::thread drainer([&] {
      std::vector<uint8_t> user(kDrainBytes);
      while (!stop.load()) {
        ULONG64 request[2] = {reinterpret_cast<ULONG64>(user.data()), user.size()};
        ULONG64 reply[2] = {0, 0};
        uint64_t got = 0;
        const NTSTATUS status =
            host.Control(kControlDrainLog, request, sizeof request, reply, sizeof reply, &got);
        if (status != STATUS_SUCCESS) break;
        tally.drains.fetch_add(1);
        std::vector<testlib::LogRecord> records;
        if (!testlib::DecodeNimq(user.data(), std::min<ULONG64>(reply[1], user.size()), &records)) {
          tally.broken.fetch_add(1);
        }
      }
      drainerDone.store(true);
    });

    // The host count is read without its lock, as the creation's own bound
    // check reads it: a sample of the table's size, often enough to see it full.
    ASSERT_NE(g_contentDriver, nullptr);
    ULONG mostHosts = 0;
    ULONG* hostCount = &g_contentDriver->plugin()->tracking->hostCount;
    for (const auto end = std::chrono::steady_clock::now() + duration;
         std::chrono::steady_clock::now() < end;) {
      mostHosts = std::max<ULONG>(mostHosts, __atomic_load_n(hostCount, __ATOMIC_RELAXED));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop.store(true);
    for (std::thread& t : threads) t.join();
    // The drain may be waiting: close the log, as user mode does before unload.
    for (int i = 0; i < 100 && !drainerDone.load(); ++i) {
      host.Control(kControlCloseLog, nullptr, 0, nullptr, 0, &returned);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    drainer.join();
    ASSERT_NE(g_contentDriver, nullptr);
    // More sources than the table holds went through it. The bound is checked
    // before the lock, so creations racing at the bound may each leave one
    // record over it (one evicts at most one): never more than the racers.
    // (Matches remove their source's record, so the count also dips below.)
    EXPECT_GE(mostHosts, kMaxHostRecords);
    EXPECT_LT(mostHosts, kMaxHostRecords + kInspectors);
    EXPECT_LT(__atomic_load_n(hostCount, __ATOMIC_RELAXED), kMaxHostRecords + kInspectors);
    host.Unload();
  }
  printf("inspected %llu, reports %llu, policy swaps %llu, drains %llu, evidence fetches %llu\n",
         static_cast<unsigned long long>(tally.inspected.load()),
         static_cast<unsigned long long>(tally.reports.load()),
         static_cast<unsigned long long>(tally.swaps.load()),
         static_cast<unsigned long long>(tally.drains.load()),
         static_cast<unsigned long long>(tally.fetches.load()));
  EXPECT_EQ(tally.broken.load(), 0u);
  EXPECT_GT(tally.inspected.load(), 0u);
  EXPECT_GT(tally.reports.load(), 0u);
  EXPECT_GT(tally.swaps.load(), 0u);
  EXPECT_GT(tally.drains.load(), 0u);
  EXPECT_GT(tally.fetches.load(), 0u);
  EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  kt::ResetWorld();
}

}  // namespace
