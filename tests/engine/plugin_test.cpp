// Start and Stop with their failure paths; a whole cycle read back from the log.
#include <gtest/gtest.h>

#include <cstring>

#include "engine_fixture.h"
#include "nips/engine/additional_data.h"
#include "nips/tracking/tracking.h"

namespace enginetest {
namespace {

using PluginTest = EngineTest;

TEST_F(PluginTest, FailedStartsAreUndoneThenStartBuildsTheDefaultBankAndStopFreesEverything) {
  plugin_.reset();
  plugin_.emplace(table_);
  auto packet = TcpPacket();
  EXPECT_EQ(plugin()->InspectPacket(packet.get()), kInspectDelivered) << "no bank yet: allowed";
  EXPECT_EQ(packet->verdict().action, FW_ACTION_ALLOW);
  LogEverything();
  const auto nothingLeft = [this] {
    EXPECT_EQ(std::tuple(plugin()->tracking, g_trackingContext, g_additionalData),
              std::tuple(nullptr, nullptr, nullptr));
    EXPECT_EQ(std::tuple(g_additionalDataNext, kt::PoolOutstanding()), std::tuple(0u, 0u))
        << kt::PoolLeakReport();
  };
  for (bool tracking : {true, false}) {  // the tracking allocation fails silently
    SCOPED_TRACE(tracking);
    tracking ? kt::FailAllocationNumber(1) : kt::FailAllocationsWithTag(kt::kUntaggedPoolTag);
    EXPECT_FALSE(plugin()->Start());
    kt::ClearPoolFaults();
    nothingLeft();
    if (tracking) {
      EXPECT_FALSE(testlib::LogReadable(plugin()));
    } else {
      ExpectOnlyLine(plugin(), "Unable to allocate space for g_additionalData.\n", kLogError,
                     kLogKindFlagged);
    }
    plugin()->Stop();
  }
  ASSERT_TRUE(plugin()->Start());
  const BankHeader header{0, 0, 0xFFFFFFFFull, {1, 1, 1, 1}};
  EXPECT_EQ(memcmp(&plugin()->activeBank->header, &header, sizeof header), 0);
  EXPECT_EQ(memcmp(plugin()->activeBank->rows, table_.rows, sizeof table_.rows), 0);
  ASSERT_NE(plugin()->tracking, nullptr);
  EXPECT_EQ(g_trackingContext, plugin()->tracking);
  ULONG slot = 0;
  ASSERT_NE(ReserveAdditionalData(&slot), nullptr);
  for (int i = 0; i < 2; ++i) {  // Stop is idempotent
    plugin()->Stop();
    nothingLeft();
  }
  EXPECT_EQ(ReserveAdditionalData(&slot), nullptr);
}

// Handshake, mask, header, policy, enforce, packets, then the whole log read back byte for byte.
TEST_F(PluginTest, WholeConfigurationCycleAndLogBytes) {
  NipsPlugin* const plugin = this->plugin();
  ASSERT_EQ(testlib::SendHandshake(plugin, {kHandshakeMagic, 8, 0, 0, 1701}), STATUS_SUCCESS);
  ASSERT_EQ(testlib::SendLogMask(plugin, 0x1F), STATUS_SUCCESS);
  ASSERT_EQ(testlib::SendHeader(plugin, testlib::MakeHeader({2, 3, 3, 3}, 1, 0x77)),
            STATUS_SUCCESS);
  ASSERT_EQ(testlib::SendPolicy(plugin, {Record(2231, 1), Record(2300, 2), Record(6204, 2, 0)}),
            STATUS_SUCCESS);
  ASSERT_EQ(testlib::SendEnforce(plugin), STATUS_SUCCESS);

  // 6204 matches: block (reaction 3), blockHost set; 2231 leaves evidence without a match. At
  // DISPATCH_LEVEL the verifier stops on a wait, a paged allocation or two spin locks held at once.
  Script().hook = [](ULONG row, PacketView* view) -> ULONG {
    if (row == 1) memcpy(ReserveAdditionalData(&view->additionalDataIndex), u"10.0.0.9", 18);
    return row == 47 ? kDetectMatch : kDetectNoMatch;
  };
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  auto blocked = FakePacket::Tcp("192.168.1.5", 51000, "192.168.1.9", 80, kTcpFlagAck,
                                 testlib::BytesOf("GET / HTTP/1.1\r\n"));
  EXPECT_EQ(plugin->InspectPacket(blocked.get()), kInspectDelivered);
  ASSERT_TRUE(blocked->DeliveredOnce());
  EXPECT_EQ(Outcome(*blocked), (std::vector<ULONG64>{FW_ACTION_BLOCK_HOST, 0x77, 2, 6204, 2, 3}));
  EXPECT_EQ(blocked->report().additionalDataIndex, 1u);
  auto refused = FakePacket::Tcp("192.168.1.5", 51000, "192.168.1.9", 80, 0, {1});
  refused->SetAdapterIndex(0xFFFFFFFF);
  EXPECT_EQ(plugin->InspectPacket(refused.get()), kInspectNotInspected);
  KeLowerIrql(old);
  EXPECT_EQ(kt::HeldSpinLockCount(), 0);

  const auto expected =
      Encode({{2, true, "Signature Id 2231, Function 1, Level 1\n"},
              {2, true, "Unsupported signature 2300\n"},
              {2, true, "Signature Id 6204, Function 47, Level 2\n"},
              {2, true, "Applied signature policy: 48 functions, 2 matched, 2 enabled.\n"},
              {2, true, "Enforced new configuration.\n"},
              {1, false, "No sigmask (check all sigs)\n"},
              {1, false, "[00] Sig 2231\n"},
              {2, true, "Invalid signature function index: 0xffffffff\n"},
              {1, false, "[02] Sig 6204\n"},
              {4, false, "Detect sig 6204, severity 2, reaction 3 -> Block Host\n"},
              {1, false, "Buffer content 10.0.0.9\n"},
              {2, false, "Ignore potential loopback (-1) packet\n"}});
  auto drained = testlib::DrainRaw(plugin);
  EXPECT_EQ(std::tuple(drained.status, drained.size, drained.returned),
            std::tuple(STATUS_SUCCESS, expected.size(), expected.size()));
  EXPECT_EQ(drained.bytes, expected);
}

}  // namespace
}  // namespace enginetest
