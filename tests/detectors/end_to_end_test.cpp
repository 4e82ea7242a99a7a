// The SMB, NetBIOS and port-scan detectors through the whole plug-in: a
// started plug-in over the built-in table, a configuration cycle through the
// control requests, packets in, verdicts and intrusion reports out; and one
// source's packets inspected from two threads at once.
#include <atomic>
#include <optional>
#include <thread>

#include "detector_fixture.h"
#include "nips/engine/plugin.h"
#include "testlib/engine_support.h"

namespace dtest {
namespace {

constexpr ULONG kLevel = 2;
constexpr ULONG kBlockReaction = 3;
constexpr ULONG64 kActionParam = 0xA11CE;

struct Attack {
  ULONG id;
  std::vector<std::unique_ptr<FakePacket>> packets;  // the last one matches
};

// One complete attack per signature, each from its own source so that
// attacks never share tracking state.
std::vector<Attack> AllAttacks() {
  std::vector<Attack> all;
  auto add = [&](ULONG id, ULONG count, const PacketMaker& make) {
    all.push_back({id, {}});
    const std::string source = "10.20.0." + std::to_string(all.size());
    for (ULONG i = 1; i <= count; ++i) all.back().packets.push_back(make(i, source));
  };
  for (const Detector& t : Detectors()) {
    add(t.id, 1, [&](int, const std::string& s) { return Segment(t.Port(), t.match[0], s); });
  }
  for (const Tracker& t : Trackers()) add(t.id, t.perMatch, t.packet);
  return all;
}

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    kt::SetSystemTime(BaseTime());
    plugin_.emplace();
    ASSERT_TRUE((*plugin_)->Start());
  }
  void TearDown() override {
    plugin_.reset();
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
    EXPECT_EQ(kt::HeldSpinLockCount(), 0);
  }

  // Every row of the built-in table at one level whose reaction blocks.
  void EnableEveryRow() {
    ASSERT_EQ(testlib::Configure(plugin_->get(),
                                 testlib::MakeHeader({1, kBlockReaction, 1, 1}, 0, kActionParam),
                                 testlib::RecordsForAllRows(g_signatureTable, kLevel)),
              STATUS_SUCCESS);
  }

  // One inspection that delivered exactly one verdict and report; returns the
  // reported signature (0 when allowed).
  ULONG Inspect(FakePacket& packet) {
    packet.ClearRecord();
    EXPECT_EQ((*plugin_)->InspectPacket(&packet), kInspectDelivered);
    EXPECT_TRUE(packet.DeliveredOnce());
    const bool allowed = packet.verdict().action == static_cast<ULONG>(FW_ACTION_ALLOW);
    EXPECT_EQ(allowed, packet.report().signatureId == 0);
    return packet.report().signatureId;
  }

  std::optional<testlib::PluginHolder> plugin_;
};

// Twice: the stateful attacks need their whole sequence again after a match
// removed the source's record.
TEST_F(EndToEndTest, EachAttackIsBlockedAndReportedOnItsLastPacket) {
  EnableEveryRow();
  for (Attack& attack : AllAttacks()) {
    SCOPED_TRACE(attack.id);
    for (int round = 0; round < 2; ++round) {
      const size_t last = attack.packets.size() - 1;
      for (size_t i = 0; i < last; ++i) ASSERT_EQ(Inspect(*attack.packets[i]), 0u) << i;
      const FakePacket& packet = *attack.packets[last];
      ASSERT_EQ(Inspect(*attack.packets[last]), attack.id);
      EXPECT_EQ(packet.verdict().action, static_cast<ULONG>(FW_ACTION_BLOCK_PACKET));
      EXPECT_EQ(packet.verdict().actionParameter, kActionParam);
      EXPECT_EQ(packet.report().severity, kLevel);
      EXPECT_EQ(packet.report().reaction, kBlockReaction);
      EXPECT_EQ(packet.report().additionalDataIndex, 0u);
    }
  }
}

TEST_F(EndToEndTest, BenignSmbTcpAndUdpTrafficIsAllowed) {
  EnableEveryRow();
  std::unique_ptr<FakePacket> benign[] = {
      Segment(445, Negotiate(0)),
      Segment(445, Smb2Write(112, 400)),
      Segment(445, NtlmAuthenticate()),
      Segment(139, MailslotWrite(std::string("\\MAILSLOT\\BROWSE") + '\0', 2)),
      Segment(kFrom | 445, Smb2Reply(100, 96)),
      Segment(80, {}, "10.21.1.2", kTcpFlagSyn),
      FakePacket::Udp("10.21.1.3", 53, "10.9.9.9", 50000, Bytes(40, 0)),
  };
  for (auto& packet : benign) EXPECT_EQ(Inspect(*packet), 0u);
}

// ---- Concurrency ----------------------------------------------------------------

// Packets of one source inspected from two threads at once through a plug-in
// with every row enabled: the stateful detectors share the source's record.
// Under ThreadSanitizer this shows its fields are serialised; the pool ledger
// shows that no reference and no port item is lost. Parameter: the stateful
// family sent, or -1 for all of them.
class DetectorConcurrencyTest : public EndToEndTest, public ::testing::WithParamInterface<int> {};

TEST_P(DetectorConcurrencyTest, OneSourceFromTwoThreads) {
  constexpr int kIterations = 600;                   // per thread
  constexpr int kPerIteration[] = {25, 60, 1, 4};    // packets of each family
  const std::vector<Tracker> families = Trackers();  // all within one window
  EnableEveryRow();
  std::vector<std::unique_ptr<FakePacket>> packets[2], rare[2];
  for (int t = 0; t < 2; ++t) {
    for (int f = 0; f < 4; ++f) {
      // Distinct ports per thread, so that both threads grow the same lists.
      for (int i = 0; (GetParam() == -1 || GetParam() == f) && i < kPerIteration[f]; ++i) {
        packets[t].push_back(families[f].packet(1 + i + 100 * t, "10.40.0.1"));
      }
    }
    // Sent every 50 iterations: a Transaction2 tally and a Tree Disconnect.
    rare[t].push_back(Segment(445, Trans2(40, 40, 5, 120), "10.40.0.1"));
    rare[t].push_back(Segment(445, Smb1(120, 0x71), "10.40.0.1"));
  }
  std::atomic<int> ready{0}, matches[4] = {};
  std::thread threads[2];
  for (int t = 0; t < 2; ++t) {
    threads[t] = std::thread([&, t] {
      ++ready;
      while (ready.load() < 2) std::this_thread::yield();
      auto inspect = [&](FakePacket& packet) {
        const ULONG id = Inspect(packet);
        for (int f = 0; f < 4; ++f) matches[f] += id == families[f].id;
      };
      for (int i = 0; i < kIterations; ++i) {
        for (auto& packet : packets[t]) inspect(*packet);
        for (int r = 0; i % 50 == 0 && r < 2; ++r) inspect(*rare[t][r]);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  for (int f = 0; f < 4; ++f) {
    SCOPED_TRACE(families[f].id);
    // Each match needs its threshold's worth of packets. Alone, a family
    // matches repeatedly; mixed, the scans' matches drop the record (and with
    // it the other counts) too often for a fixed expectation.
    const bool sent = GetParam() == -1 || GetParam() == f;
    const int bound = 2 * kIterations * kPerIteration[f] / static_cast<int>(families[f].perMatch);
    EXPECT_LE(matches[f].load(), sent ? bound : 0);
    EXPECT_TRUE(GetParam() != f || matches[f].load() > 0);
  }
  HostAddress source = testlib::MakeAddress("10.40.0.1");
  if (HostRecord* record = FindHostRecord(&source)) {
    EXPECT_EQ(record->refCount, 2u);  // the table's and ours
    EXPECT_LE(record->tcpScanPortCount, 19u);
    EXPECT_LE(record->udpScanPortCount, 99u);
    ReleaseHostRecord(record);
  }
}

INSTANTIATE_TEST_SUITE_P(Families, DetectorConcurrencyTest, ::testing::Values(0, 1, 2, 3, -1));

}  // namespace
}  // namespace dtest
