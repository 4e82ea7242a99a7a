// The SMB, NetBIOS and port-scan detectors through the whole plug-in: a
// started plug-in over the built-in table, a configuration cycle through the
// control requests with every row enabled, packets in, verdicts and intrusion
// reports out.
#include <gtest/gtest.h>

#include <optional>

#include "detectors/attacks.h"
#include "kt_hooks.h"
#include "nips/engine/plugin.h"
#include "testlib/engine_support.h"

namespace dtest {
namespace {

constexpr ULONG kLevel = 2;
constexpr ULONG kBlockReaction = 3;
constexpr ULONG64 kActionParam = 0xA11CE;

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    kt::SetSystemTime(kt::SystemTimeFromUnix(1700000000, 0));
    plugin_.emplace();
    ASSERT_TRUE((*plugin_)->Start());
  }

  void TearDown() override {
    plugin_.reset();
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
    EXPECT_EQ(kt::HeldSpinLockCount(), 0);
  }

  NipsPlugin* plugin() { return plugin_->get(); }

  // Every row of the built-in table at one level whose reaction blocks.
  void EnableEveryRow(ULONG blockHost = 0) {
    ASSERT_EQ(testlib::Configure(
                  plugin(), testlib::MakeHeader({1, kBlockReaction, 1, 1}, blockHost, kActionParam),
                  testlib::RecordsForAllRows(g_signatureTable, kLevel)),
              STATUS_SUCCESS);
  }

  // One inspection; true when it delivered exactly one verdict and report.
  bool Inspect(FakePacket& packet) {
    packet.ClearRecord();
    return plugin()->InspectPacket(&packet) == kInspectDelivered && packet.DeliveredOnce();
  }

  std::optional<testlib::PluginHolder> plugin_;
};

void ExpectAllowed(const FakePacket& packet) {
  EXPECT_EQ(packet.verdict().action, static_cast<ULONG>(FW_ACTION_ALLOW));
  EXPECT_EQ(packet.report().signatureId, 0u);
  EXPECT_EQ(packet.report().reaction, 0u);
}

TEST_F(EndToEndTest, EachAttackIsBlockedAndReportedOnItsLastPacket) {
  EnableEveryRow();
  for (AttackSequence& attack : AllAttacks()) {
    SCOPED_TRACE(attack.name);
    const size_t last = attack.packets.size() - 1;
    for (size_t i = 0; i < last; ++i) {
      ASSERT_TRUE(Inspect(*attack.packets[i])) << i;
      ExpectAllowed(*attack.packets[i]);
    }
    FakePacket& packet = *attack.packets[last];
    ASSERT_TRUE(Inspect(packet));
    EXPECT_EQ(packet.verdict().action, static_cast<ULONG>(FW_ACTION_BLOCK_PACKET));
    EXPECT_EQ(packet.verdict().actionParameter, kActionParam);
    EXPECT_EQ(packet.report().signatureId, attack.signatureId);
    EXPECT_EQ(packet.report().severity, kLevel);
    EXPECT_EQ(packet.report().reaction, kBlockReaction);
    EXPECT_EQ(packet.report().additionalDataIndex, 0u);
  }
}

TEST_F(EndToEndTest, BlockHostWhenTheBankSaysSo) {
  EnableEveryRow(1);
  auto packet = ToServer("10.21.0.1", 445, SisCopy());
  ASSERT_TRUE(Inspect(*packet));
  EXPECT_EQ(packet->verdict().action, static_cast<ULONG>(FW_ACTION_BLOCK_HOST));
  EXPECT_EQ(packet->report().signatureId, 6175u);
}

TEST_F(EndToEndTest, StatefulAttacksNeedTheirWholeSequenceAndStartAgainAfterAMatch) {
  EnableEveryRow();
  for (AttackSequence& attack : AllAttacks()) {
    if (attack.packets.size() == 1) continue;
    SCOPED_TRACE(attack.name);
    for (auto& packet : attack.packets) ASSERT_TRUE(Inspect(*packet));
    ASSERT_EQ(attack.packets.back()->report().signatureId, attack.signatureId);
    // The match removed the source's record: the same sequence again matches
    // only on its last packet.
    for (size_t i = 0; i + 1 < attack.packets.size(); ++i) {
      ASSERT_TRUE(Inspect(*attack.packets[i]));
      ExpectAllowed(*attack.packets[i]);
    }
    ASSERT_TRUE(Inspect(*attack.packets.back()));
    EXPECT_EQ(attack.packets.back()->report().signatureId, attack.signatureId);
  }
}

TEST_F(EndToEndTest, NothingMatchesWhileTheRowsAreDisabled) {
  // Fresh start: the default bank enables nothing.
  for (AttackSequence& attack : AllAttacks()) {
    for (auto& packet : attack.packets) {
      ASSERT_TRUE(Inspect(*packet)) << attack.name;
      ExpectAllowed(*packet);
    }
  }
}

TEST_F(EndToEndTest, SignaturesWithoutARunningDetectorNeverMatch) {
  // 2230 has a detector but no protocol bit; 3702 has no detector at all.
  ASSERT_EQ(testlib::Configure(plugin(), testlib::MakeHeader({kBlockReaction, 1, 1, 1}),
                               {testlib::Record(2230, 1), testlib::Record(3702, 1)}),
            STATUS_SUCCESS);
  for (AttackSequence& attack : AllAttacks()) {
    for (auto& packet : attack.packets) {
      ASSERT_TRUE(Inspect(*packet)) << attack.name;
      ExpectAllowed(*packet);
    }
  }
}

TEST_F(EndToEndTest, OneMailslotWriteMatchingBothChecksReportsTheEarlierPosition) {
  EnableEveryRow();
  // Unterminated name and max parameter count 0: 3802 and 3804 both match;
  // ids ascend in the policy, so 3802 holds the earlier position.
  auto packet = ToServer("10.21.0.2", 139, MailslotWrite("\\MAILSLOT\\BROWSE", 0));
  ASSERT_TRUE(Inspect(*packet));
  EXPECT_EQ(packet->report().signatureId, 3802u);
}

TEST_F(EndToEndTest, BenignSmbTcpAndUdpTrafficIsAllowed) {
  EnableEveryRow();
  std::vector<std::unique_ptr<FakePacket>> benign;
  benign.push_back(ToServer("10.21.1.1", 445, Negotiate(0)));
  benign.push_back(ToServer("10.21.1.1", 445, Smb2Write(112, 400)));
  benign.push_back(ToServer("10.21.1.1", 445, NtlmAuthenticate()));
  benign.push_back(
      ToServer("10.21.1.1", 139, MailslotWrite(std::string("\\MAILSLOT\\BROWSE") + '\0', 2)));
  benign.push_back(
      FakePacket::Tcp("10.21.1.1", 445, kVictim, kClientPort, kSegmentFlags, Smb2Reply(100, 96)));
  benign.push_back(FakePacket::Tcp("10.21.1.2", 50000, kVictim, 80, kTcpFlagSyn, Bytes()));
  benign.push_back(FakePacket::Udp("10.21.1.3", 53, kVictim, 50000, Bytes(40, 0)));
  for (auto& packet : benign) {
    ASSERT_TRUE(Inspect(*packet));
    ExpectAllowed(*packet);
  }
}

}  // namespace
}  // namespace dtest
