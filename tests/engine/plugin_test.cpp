// The plug-in object: identity, start and stop with their failure paths, and
// a whole configuration cycle read back through the log.
#include <gtest/gtest.h>

#include <cstring>

#include "engine_fixture.h"
#include "nips/engine/additional_data.h"
#include "nips/engine/pool.h"
#include "nips/tracking/tracking.h"

namespace enginetest {
namespace {

using testlib::PluginHolder;

class PluginLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    Script().Reset();
  }
  void TearDown() override {
    kt::ClearPoolFaults();
    g_poolType = NonPagedPool;
    Script().Reset();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
};

TEST_F(PluginLifecycleTest, IdentityAndSlots) {
  PluginHolder plugin;
  HostPluginBase* base = plugin.get();
  const GUID id = {0xBEDD0FE7, 0x3763, 0x4389, {0x84, 0xD5, 0x36, 0xD6, 0x84, 0x4E, 0x30, 0xA7}};
  EXPECT_EQ(memcmp(base->GetPluginId(), &id, sizeof id), 0);
  EXPECT_EQ(base->GetPolicyType(), static_cast<ULONG>(FW_POLICY_TYPE_PACKET));
  // The base's words after the id: two pointer-sized zeros and a u32 1.
  const struct {
    ULONG_PTR zero[2] = {0, 0};
    ULONG one = 1;
  } words;
  EXPECT_EQ(memcmp(reinterpret_cast<const uint8_t*>(base) + sizeof(void*) + sizeof(GUID), &words,
                   sizeof words.zero + sizeof words.one),
            0);
  EXPECT_EQ(plugin->logMask, 0x78u);
  EXPECT_FALSE(testlib::LogReadable(plugin.get()));
  // Through the base's slot 0, before Start: no bank yet, still an allow.
  auto packet = FakePacket::Tcp("10.0.0.1", 1, "10.0.0.2", 2, 0, {1});
  EXPECT_EQ(base->InspectPacket(packet.get()), kInspectDelivered);
  EXPECT_TRUE(packet->DeliveredOnce());
  EXPECT_EQ(packet->verdict().action, FW_ACTION_ALLOW);
}

TEST_F(PluginLifecycleTest, StartBuildsTheDefaultBankAndStopFreesEverything) {
  kt::SetOsVersion(10, 0);
  g_poolType = NonPagedPoolNx;
  PluginHolder plugin;
  ASSERT_TRUE(plugin->Start());
  EXPECT_EQ(plugin->activeBank, &plugin->banks[0]);
  EXPECT_EQ(plugin->pendingBank, &plugin->banks[1]);
  EXPECT_EQ(plugin->pendingIndex, 1u);
  ConfigBank expected{};
  expected.header.actionParam = 0x00000000FFFFFFFFull;
  for (ULONG& reaction : expected.header.levelReaction) reaction = 1;
  const ConfigBank& bank = *plugin->activeBank;
  EXPECT_EQ(memcmp(&bank.header, &expected.header, sizeof expected.header), 0);
  EXPECT_EQ(memcmp(bank.rows, g_signatureTable.rows, sizeof bank.rows), 0);
  EXPECT_EQ(bank.recordCount, 0u);
  ASSERT_NE(plugin->tracking, nullptr);
  EXPECT_EQ(g_trackingContext, plugin->tracking);
  EXPECT_EQ(kt::PoolTagOf(plugin->tracking), kPoolTagEngine);
  EXPECT_EQ(kt::PoolTypeOf(plugin->tracking), NonPagedPoolNx);
  ASSERT_NE(g_additionalData, nullptr);
  EXPECT_EQ(kt::PoolTagOf(g_additionalData), kt::kUntaggedPoolTag);
  EXPECT_EQ(kt::PoolTypeOf(g_additionalData), NonPagedPoolNx);
  EXPECT_EQ(std::count(g_additionalData, g_additionalData + kAdditionalDataBytes, 0),
            static_cast<ptrdiff_t>(kAdditionalDataBytes));
  ULONG slot = 0;
  ReserveAdditionalData(&slot);
  ReserveAdditionalData(&slot);
  for (int i = 0; i < 2; ++i) {  // Stop is idempotent
    plugin->Stop();
    EXPECT_EQ(plugin->tracking, nullptr);
    EXPECT_EQ(g_trackingContext, nullptr);
    EXPECT_EQ(g_additionalData, nullptr);
    EXPECT_EQ(g_additionalDataNext, 0u);
    EXPECT_EQ(kt::PoolOutstanding(), 0u);
  }
  EXPECT_EQ(ReserveAdditionalData(&slot), nullptr);
  EXPECT_EQ(slot, 0u);
}

TEST_F(PluginLifecycleTest, StartWithoutMemoryUndoesWhatItDidAndCanBeRetried) {
  PluginHolder plugin;
  testlib::SendLogMask(plugin.get(), 0x1F);
  // The tracking allocation fails silently; the evidence one is logged.
  const struct {
    bool tracking;
    const char* line;
  } cases[] = {{true, nullptr}, {false, "Unable to allocate space for g_additionalData.\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tracking);
    c.tracking ? kt::FailAllocationNumber(1) : kt::FailAllocationsWithTag(kt::kUntaggedPoolTag);
    EXPECT_FALSE(plugin->Start());
    kt::ClearPoolFaults();
    EXPECT_EQ(plugin->tracking, nullptr);
    EXPECT_EQ(g_trackingContext, nullptr);
    EXPECT_EQ(g_additionalData, nullptr);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
    if (c.line) {
      ExpectOnlyLine(plugin.get(), c.line, kLogError, kLogKindFlagged);
    } else {
      EXPECT_FALSE(testlib::LogReadable(plugin.get()));
    }
    plugin->Stop();
  }
  EXPECT_TRUE(plugin->Start());
}

// The acceptance walk: handshake, mask, header, policy, enforce, packets
// through test detectors, then the whole log read back byte for byte.
TEST_F(PluginLifecycleTest, WholeConfigurationCycleAndLogBytes) {
  const SignatureTable table = testlib::ScriptedTable();  // the plug-in keeps a pointer to it
  PluginHolder plugin(table);
  ASSERT_TRUE(plugin->Start());
  HandshakeRecord reply{};
  ASSERT_EQ(testlib::SendHandshake(plugin.get(), {kHandshakeMagic, 8, 0, 0, 1701}, &reply),
            STATUS_SUCCESS);
  EXPECT_EQ(reply.build, 11690u);
  ASSERT_EQ(testlib::SendLogMask(plugin.get(), 0x1F), STATUS_SUCCESS);
  ASSERT_EQ(testlib::SendHeader(plugin.get(), testlib::MakeHeader({2, 3, 3, 3}, 1, 0x77)),
            STATUS_SUCCESS);
  ASSERT_EQ(
      testlib::SendPolicy(plugin.get(), {Record(2231, 1), Record(2300, 2), Record(6204, 2, 0)}),
      STATUS_SUCCESS);
  ASSERT_EQ(testlib::SendEnforce(plugin.get()), STATUS_SUCCESS);

  Script().result[47] = kDetectMatch;  // 6204: block (reaction 3), blockHost set
  auto blocked = FakePacket::Tcp("192.168.1.5", 51000, "192.168.1.9", 80, kTcpFlagAck,
                                 testlib::BytesOf("GET / HTTP/1.1\r\n"));
  EXPECT_EQ(plugin->InspectPacket(blocked.get()), kInspectDelivered);
  ASSERT_TRUE(blocked->DeliveredOnce());
  EXPECT_EQ(Outcome(*blocked), (std::vector<ULONG64>{FW_ACTION_BLOCK_HOST, 0x77, 2, 6204, 2, 3}));
  auto refused = FakePacket::Tcp("192.168.1.5", 51000, "192.168.1.9", 80, 0, {1});
  refused->SetAdapterIndex(0xFFFFFFFF);
  EXPECT_EQ(plugin->InspectPacket(refused.get()), kInspectNotInspected);

  const struct {
    ULONG category;
    bool flagged;
    const char* text;
  } lines[] = {{2, true, "Signature Id 2231, Function 1, Level 1\n"},
               {2, true, "Unsupported signature 2300\n"},
               {2, true, "Signature Id 6204, Function 47, Level 2\n"},
               {2, true, "Applied signature policy: 48 functions, 2 matched, 2 enabled.\n"},
               {2, true, "Enforced new configuration.\n"},
               {1, false, "No sigmask (check all sigs)\n"},
               {1, false, "[00] Sig 2231\n"},
               {2, true, "Invalid signature function index: 0xffffffff\n"},
               {1, false, "[02] Sig 6204\n"},
               {4, false, "Detect sig 6204, severity 2, reaction 3 -> Block Host\n"},
               {2, false, "Ignore potential loopback (-1) packet\n"}};
  std::vector<uint8_t> expected;
  for (const auto& line : lines) {
    auto record = testlib::EncodeLogRecord(line.category, line.flagged, line.text);
    expected.insert(expected.end(), record.begin(), record.end());
  }
  auto drained = testlib::DrainRaw(plugin.get());
  ASSERT_EQ(drained.status, STATUS_SUCCESS);
  EXPECT_EQ(drained.size, expected.size());
  EXPECT_EQ(drained.returned, expected.size());
  EXPECT_EQ(drained.bytes, expected);
}

}  // namespace
}  // namespace enginetest
