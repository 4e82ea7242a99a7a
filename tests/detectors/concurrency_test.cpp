// Packets of one source inspected from two threads at once, for a bounded
// number of iterations, through a plug-in with every row enabled: the
// stateful detectors share that source's host record. Run under
// ThreadSanitizer this shows the record's fields are serialised; the pool
// ledger shows that no reference and no port item is lost.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <optional>
#include <thread>

#include "detectors/attacks.h"
#include "kt_hooks.h"
#include "nips/engine/plugin.h"
#include "nips/tracking/tracking.h"
#include "testlib/engine_support.h"

namespace dtest {
namespace {

constexpr char kSource[] = "10.40.0.1";
constexpr int kIterations = 600;  // per thread
constexpr int kThreads = 2;
constexpr uint16_t kTcpPorts = 25;
constexpr uint16_t kUdpPorts = 60;
constexpr int kShortMessages = 4;
constexpr int kRareEvery = 50;

struct Tally {
  std::atomic<int> delivered{0};
  std::atomic<int> tcpScan{0};
  std::atomic<int> udpScan{0};
  std::atomic<int> ntlm{0};
  std::atomic<int> flood{0};
};

enum Family : int { kTcpScan = 1, kUdpScan = 2, kNtlmBurst = 4, kShortFlood = 8, kAll = 15 };

// The packets one thread sends, its own objects (the fake records calls).
struct ThreadPackets {
  std::vector<std::unique_ptr<FakePacket>> packets;
  // Sent every kRareEvery iterations: they reset the authentication count,
  // which would otherwise never reach its threshold.
  std::vector<std::unique_ptr<FakePacket>> rare;

  ThreadPackets(int thread, int families) {
    // Distinct destination ports per thread, so that both threads grow the
    // same lists: 2 x 25 TCP ports (threshold 20), 2 x 60 UDP ports (100).
    if (families & kTcpScan) {
      for (uint16_t i = 0; i < kTcpPorts; ++i) {
        packets.push_back(FakePacket::Tcp(kSource, kClientPort, kVictim,
                                          static_cast<uint16_t>(1 + i + kTcpPorts * thread),
                                          kTcpFlagSyn, Bytes()));
      }
    }
    if (families & kUdpScan) {
      for (uint16_t i = 0; i < kUdpPorts; ++i) {
        packets.push_back(FakePacket::Udp(kSource, kClientPort, kVictim,
                                          static_cast<uint16_t>(200 + i + kUdpPorts * thread),
                                          Bytes(1, 0)));
      }
    }
    if (families & kNtlmBurst) {
      packets.push_back(ToServer(kSource, 445, NtlmAuthenticate()));
      rare.push_back(ToServer(kSource, 445, Trans2(40, 40, 5, 120)));  // not an open request
      rare.push_back(ToServer(kSource, 445, Smb1(120, 0x71)));  // Tree Disconnect
    }
    if (families & kShortFlood) {
      for (int i = 0; i < kShortMessages; ++i) {
        packets.push_back(ToServer(kSource, 139, ShortSessionMessage()));
      }
    }
  }
};

void Count(Tally* tally, ULONG signatureId) {
  switch (signatureId) {
    case 3700:
      ++tally->tcpScan;
      break;
    case 3701:
      ++tally->udpScan;
      break;
    case 6045:
      ++tally->ntlm;
      break;
    case 6100:
      ++tally->flood;
      break;
  }
}

class DetectorConcurrencyTest : public ::testing::TestWithParam<int> {};

TEST_P(DetectorConcurrencyTest, OneSourceFromTwoThreads) {
  const int families = GetParam();
  kt::ResetWorld();
  kt::SetSystemTime(kt::SystemTimeFromUnix(1700000000, 0));  // one window for the whole run
  Tally tally;
  {
    testlib::PluginHolder plugin;
    ASSERT_TRUE(plugin->Start());
    ASSERT_EQ(testlib::Configure(plugin.get(), testlib::MakeHeader({3, 3, 3, 3}),
                                 testlib::RecordsForAllRows(g_signatureTable, 1)),
              STATUS_SUCCESS);

    std::array<std::optional<ThreadPackets>, kThreads> packets;
    for (int t = 0; t < kThreads; ++t) packets[t].emplace(t, families);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ++ready;
        while (ready.load() < kThreads) std::this_thread::yield();
        auto inspect = [&](FakePacket* packet) {
          packet->ClearRecord();
          if (plugin->InspectPacket(packet) != kInspectDelivered) return;
          if (!packet->DeliveredOnce()) return;
          ++tally.delivered;
          Count(&tally, packet->report().signatureId);
        };
        for (int i = 0; i < kIterations; ++i) {
          for (auto& packet : packets[t]->packets) inspect(packet.get());
          if (i % kRareEvery == 0) {
            for (auto& packet : packets[t]->rare) inspect(packet.get());
          }
        }
      });
    }
    for (auto& thread : threads) thread.join();

    const int perIteration = static_cast<int>(packets[0]->packets.size());
    const int rare = static_cast<int>(packets[0]->rare.size()) * (kIterations / kRareEvery);
    EXPECT_EQ(tally.delivered.load(), kThreads * (kIterations * perIteration + rare));
    // Alone, each stateful detector reaches its threshold repeatedly and no
    // other matches. Mixed, the scans' matches drop the record (and with it
    // the other counts) too often for a fixed expectation.
    if (families != kAll) {
      const int matches[] = {tally.tcpScan.load(), tally.udpScan.load(), tally.ntlm.load(),
                             tally.flood.load()};
      const int bits[] = {kTcpScan, kUdpScan, kNtlmBurst, kShortFlood};
      for (int i = 0; i < 4; ++i) {
        if (families == bits[i]) {
          EXPECT_GT(matches[i], 0) << i;
        } else {
          EXPECT_EQ(matches[i], 0) << i;
        }
      }
    }
    // Upper bounds: each match needs its threshold's worth of packets.
    EXPECT_LE(tally.tcpScan.load(), kThreads * kIterations * kTcpPorts / 20);
    EXPECT_LE(tally.udpScan.load(), kThreads * kIterations * kUdpPorts / 100);
    EXPECT_LE(tally.ntlm.load(), kThreads * kIterations / 21);
    EXPECT_LE(tally.flood.load(), kThreads * kIterations * kShortMessages / 201);

    // The source's record, if present, holds only the table's reference.
    HostAddress source = testlib::MakeAddress(kSource);
    if (HostRecord* record = FindHostRecord(&source)) {
      EXPECT_EQ(record->refCount, 2u);  // the table's and ours
      EXPECT_LE(record->tcpScanPortCount, 19u);
      EXPECT_LE(record->udpScanPortCount, 99u);
      ReleaseHostRecord(record);
    }
    EXPECT_EQ(kt::HeldSpinLockCount(), 0);
  }
  EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
}

INSTANTIATE_TEST_SUITE_P(Families, DetectorConcurrencyTest,
                         ::testing::Values(kTcpScan, kUdpScan, kNtlmBurst, kShortFlood, kAll));

}  // namespace
}  // namespace dtest
