// Start and Stop with their failure paths; a whole cycle read back from the log.
#include <gtest/gtest.h>

#include <cstring>

#include "engine_fixture.h"
#include "nips/engine/additional_data.h"
#include "nips/tracking/tracking.h"

namespace enginetest {
namespace {

using PluginTest = EngineTest;

TEST_F(PluginTest, StartBuildsTheDefaultBankAndStopFreesEverything) {
  plugin_.reset();
  plugin_.emplace(table_);
  auto packet = TcpPacket();
  EXPECT_EQ(plugin()->InspectPacket(packet.get()), kInspectDelivered) << "no bank yet: allowed";
  EXPECT_EQ(packet->verdict().action, FW_ACTION_ALLOW);
  ASSERT_TRUE(plugin()->Start());
  EXPECT_EQ(plugin()->activeBank, &plugin()->banks[0]);
  EXPECT_EQ(plugin()->pendingBank, &plugin()->banks[1]);
  BankHeader header{};
  header.actionParam = 0x00000000FFFFFFFFull;
  for (ULONG& reaction : header.levelReaction) reaction = 1;
  EXPECT_EQ(memcmp(&plugin()->activeBank->header, &header, sizeof header), 0);
  EXPECT_EQ(memcmp(plugin()->activeBank->rows, table_.rows, sizeof table_.rows), 0);
  ASSERT_NE(plugin()->tracking, nullptr);
  EXPECT_EQ(g_trackingContext, plugin()->tracking);
  ASSERT_NE(g_additionalData, nullptr);
  EXPECT_EQ(std::count(g_additionalData, g_additionalData + kAdditionalDataBytes, 0),
            static_cast<ptrdiff_t>(kAdditionalDataBytes));
  ULONG slot = 0;
  ReserveAdditionalData(&slot);
  for (int i = 0; i < 2; ++i) {  // Stop is idempotent
    plugin()->Stop();
    EXPECT_EQ(plugin()->tracking, nullptr);
    EXPECT_EQ(g_trackingContext, nullptr);
    EXPECT_EQ(g_additionalData, nullptr);
    EXPECT_EQ(g_additionalDataNext, 0u);
    EXPECT_EQ(kt::PoolOutstanding(), 0u);
  }
  EXPECT_EQ(ReserveAdditionalData(&slot), nullptr);
}

TEST_F(PluginTest, StartWithoutMemoryUndoesWhatItDidAndCanBeRetried) {
  plugin()->Stop();
  LogEverything();
  // The tracking allocation fails silently; the evidence one is logged.
  const struct {
    bool tracking;
    const char* line;
  } cases[] = {{true, nullptr}, {false, "Unable to allocate space for g_additionalData.\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tracking);
    c.tracking ? kt::FailAllocationNumber(1) : kt::FailAllocationsWithTag(kt::kUntaggedPoolTag);
    EXPECT_FALSE(plugin()->Start());
    kt::ClearPoolFaults();
    EXPECT_EQ(plugin()->tracking, nullptr);
    EXPECT_EQ(g_trackingContext, nullptr);
    EXPECT_EQ(g_additionalData, nullptr);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
    if (c.line) {
      ExpectOnlyLine(plugin(), c.line, kLogError, kLogKindFlagged);
    } else {
      EXPECT_FALSE(testlib::LogReadable(plugin()));
    }
    plugin()->Stop();
  }
  EXPECT_TRUE(plugin()->Start());
}

// The acceptance walk: handshake, mask, header, policy, enforce, packets
// through test detectors, then the whole log read back byte for byte.
TEST_F(PluginTest, WholeConfigurationCycleAndLogBytes) {
  NipsPlugin* plugin = this->plugin();
  ASSERT_EQ(testlib::SendHandshake(plugin, {kHandshakeMagic, 8, 0, 0, 1701}), STATUS_SUCCESS);
  ASSERT_EQ(testlib::SendLogMask(plugin, 0x1F), STATUS_SUCCESS);
  ASSERT_EQ(testlib::SendHeader(plugin, testlib::MakeHeader({2, 3, 3, 3}, 1, 0x77)),
            STATUS_SUCCESS);
  ASSERT_EQ(testlib::SendPolicy(plugin, {Record(2231, 1), Record(2300, 2), Record(6204, 2, 0)}),
            STATUS_SUCCESS);
  ASSERT_EQ(testlib::SendEnforce(plugin), STATUS_SUCCESS);

  Script().result[47] = kDetectMatch;  // 6204: block (reaction 3), blockHost set
  auto blocked = FakePacket::Tcp("192.168.1.5", 51000, "192.168.1.9", 80, kTcpFlagAck,
                                 testlib::BytesOf("GET / HTTP/1.1\r\n"));
  EXPECT_EQ(plugin->InspectPacket(blocked.get()), kInspectDelivered);
  ASSERT_TRUE(blocked->DeliveredOnce());
  EXPECT_EQ(Outcome(*blocked), (std::vector<ULONG64>{FW_ACTION_BLOCK_HOST, 0x77, 2, 6204, 2, 3}));
  auto refused = FakePacket::Tcp("192.168.1.5", 51000, "192.168.1.9", 80, 0, {1});
  refused->SetAdapterIndex(0xFFFFFFFF);
  EXPECT_EQ(plugin->InspectPacket(refused.get()), kInspectNotInspected);

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
              {2, false, "Ignore potential loopback (-1) packet\n"}});
  auto drained = testlib::DrainRaw(plugin);
  ASSERT_EQ(drained.status, STATUS_SUCCESS);
  EXPECT_EQ(drained.size, expected.size());
  EXPECT_EQ(drained.returned, expected.size());
  EXPECT_EQ(drained.bytes, expected);
}

}  // namespace
}  // namespace enginetest
