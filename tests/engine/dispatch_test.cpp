// Dispatch: which detectors run, which match wins, what the core is told.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine_fixture.h"
#include "nips/engine/additional_data.h"

namespace enginetest {
namespace {

using testlib::MakeHeader;
using testlib::Record;
using testlib::Script;

// Rows of the built-in table by position in the ascending-id policy below.
// Positions 1..5 run rows 1, 2, 3, 4 and 7 (ids 2231, 2232, 2233, 3700, 3718).
const std::vector<PolicyRecord> kFivePositions(ULONG level3, ULONG level5, ULONG flag = 1) {
  return {Record(2231, 1, flag), Record(2232, 1, flag), Record(2233, level3, flag),
          Record(3700, 1, flag), Record(3718, level5, flag)};
}

class DispatchTest : public EngineTest {
 protected:
  // Levels 1..4 react 2 (allow), 3 (block), 3, 3.
  void Configure(const std::vector<PolicyRecord>& records, ULONG blockHost = 0,
                 std::initializer_list<ULONG> reactions = {2, 3, 3, 3}) {
    ASSERT_EQ(testlib::Configure(plugin(), MakeHeader(reactions, blockHost, 0xABCD), records),
              STATUS_SUCCESS);
  }
  LONG Inspect(testlib::FakePacket* packet) { return plugin()->InspectPacket(packet); }
};

TEST_F(DispatchTest, FreshStartRunsNothingAndAllows) {
  auto packet = TcpPacket();
  EXPECT_EQ(Inspect(packet.get()), kInspectDelivered);
  EXPECT_EQ(Script().TotalCalls(), 0u);
  ASSERT_TRUE(packet->DeliveredOnce());
  const auto v = packet->verdict();
  const auto r = packet->report();
  EXPECT_EQ(v.action, FW_ACTION_ALLOW);
  EXPECT_EQ(v.zero | v.actionParameter | v.kind, 0u);
  EXPECT_EQ(r.signatureId | r.severity | r.reaction | r.additionalDataIndex, 0u);
}

TEST_F(DispatchTest, HigherReactionLaterWins) {
  Configure(kFivePositions(/*level3=*/1, /*level5=*/2));  // reactions 2 and 3
  Script().result[3] = kDetectMatch;
  Script().result[7] = kDetectMatch;
  auto packet = TcpPacket();
  EXPECT_EQ(Inspect(packet.get()), kInspectDelivered);
  // Position 4 (row 4, reaction 2) is skipped once reaction 2 has matched.
  EXPECT_EQ(Script().order, (std::vector<ULONG>{1, 2, 3, 7}));
  ASSERT_TRUE(packet->DeliveredOnce());
  EXPECT_EQ(packet->verdict().action, FW_ACTION_BLOCK_PACKET);
  EXPECT_EQ(packet->verdict().actionParameter, 0xABCDu);
  EXPECT_EQ(packet->verdict().kind, 2u);
  EXPECT_EQ(packet->report().signatureId, 3718u);
  EXPECT_EQ(packet->report().severity, 2u);
  EXPECT_EQ(packet->report().reaction, 3u);
}

TEST_F(DispatchTest, EqualReactionEarlierWinsAndLaterNeverRuns) {
  Configure(kFivePositions(1, 1));
  Script().result[3] = kDetectMatch;
  Script().result[7] = kDetectMatch;
  auto packet = TcpPacket();
  EXPECT_EQ(Inspect(packet.get()), kInspectDelivered);
  EXPECT_EQ(Script().order, (std::vector<ULONG>{1, 2, 3}));
  EXPECT_EQ(packet->verdict().action, FW_ACTION_ALLOW);
  EXPECT_EQ(packet->verdict().actionParameter, 0xABCDu);
  EXPECT_EQ(packet->report().signatureId, 2233u);
  EXPECT_EQ(packet->report().reaction, 2u);
}

TEST_F(DispatchTest, VerdictMapping) {
  struct Case {
    const char* name;
    ULONG level, flag, blockHost;
    ULONG action, reaction, param, kind, reportedId;
  };
  const Case cases[] = {
      {"allow and report", 1, 1, 0, FW_ACTION_ALLOW, 2, 0xABCD, 2, 2233},
      {"allow without flag acts like no match", 1, 0, 0, FW_ACTION_ALLOW, 0, 0, 0, 0},
      {"block packet", 2, 0, 0, FW_ACTION_BLOCK_PACKET, 3, 0xABCD, 2, 2233},
      {"block host", 2, 1, 1, FW_ACTION_BLOCK_HOST, 3, 0xABCD, 2, 2233},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Script().Reset();
    Configure({Record(2233, c.level, c.flag)}, c.blockHost);
    Script().result[3] = kDetectMatch;
    auto packet = TcpPacket();
    EXPECT_EQ(Inspect(packet.get()), kInspectDelivered);
    ASSERT_TRUE(packet->DeliveredOnce());
    EXPECT_EQ(packet->verdict().action, c.action);
    EXPECT_EQ(packet->verdict().actionParameter, c.param);
    EXPECT_EQ(packet->verdict().kind, c.kind);
    EXPECT_EQ(packet->report().signatureId, c.reportedId);
    EXPECT_EQ(packet->report().reaction, c.reaction);
  }
}

TEST_F(DispatchTest, ReactionZeroOrNoLevelNeverRuns) {
  // Level 1 reacts 0 here; level 0 is disabled whatever it matched.
  Configure({Record(2231, 1), Record(2232, 0), Record(2233, 2)}, 0, {0, 3, 3, 3});
  auto packet = TcpPacket();
  Inspect(packet.get());
  EXPECT_EQ(Script().order, std::vector<ULONG>{3});
}

TEST_F(DispatchTest, ProtocolMasksSelectRows) {
  Configure(testlib::RecordsForAllRows(table_, 1));
  struct Case {
    const char* name;
    std::unique_ptr<testlib::FakePacket> packet;
    ULONG mask;
  };
  Case cases[] = {
      {"ICMP", testlib::FakePacket::Icmp("10.0.0.1", "10.0.0.2", 8, 0, {1}), kProtocolMaskIcmp},
      {"ICMPv6", testlib::FakePacket::Icmp("fe80::1", "fe80::2", 128, 0, {1}), kProtocolMaskIcmp},
      {"UDP", testlib::FakePacket::Udp("10.0.0.1", 5, "10.0.0.2", 53, {1}), kProtocolMaskUdp},
      {"TCP", TcpPacket(), kProtocolMaskTcp},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    Script().Reset();
    Inspect(c.packet.get());
    std::vector<ULONG> expected;
    for (ULONG row = 0; row < kSignatureRows; ++row) {
      if (table_.rows[row].protocolMask & c.mask) expected.push_back(row);
    }
    std::vector<ULONG> ran = Script().order;
    std::sort(ran.begin(), ran.end());
    EXPECT_EQ(ran, expected);
  }
  // With the built-in masks, ICMP reaches rows 13 and 16 only.
  Script().Reset();
  auto icmp = testlib::FakePacket::Icmp("10.0.0.1", "10.0.0.2", 8, 0, {1});
  Inspect(icmp.get());
  std::vector<ULONG> ran = Script().order;
  std::sort(ran.begin(), ran.end());
  EXPECT_EQ(ran, (std::vector<ULONG>{13, 16}));
}

TEST_F(DispatchTest, SigmaskBitsSelectPositionsAcrossWords) {
  // 48 records: position p runs the row of the p-th smallest id.
  const auto records = testlib::RecordsForAllRows(table_, 1);
  Configure(records);
  auto rowOf = [&](ULONG position) {
    for (ULONG row = 0; row < kSignatureRows; ++row) {
      if (table_.rows[row].signatureId == records[position - 1].signatureId) return row;
    }
    return ~0u;
  };
  // Positions 2, 32 (word 0 bit 31), 33 (word 1 bit 0), 48 (word 1 bit 15);
  // 49 and everything in words 2 and 3 lie beyond the record count.
  auto packet = TcpPacket();
  packet->SetSigMask(0x80000002u, 0x00018001u, 0xFFFFFFFFu, 0xFFFFFFFFu);
  Inspect(packet.get());
  std::vector<ULONG> expected;
  for (ULONG p : {2u, 32u, 33u, 48u}) {
    if (table_.rows[rowOf(p)].protocolMask & kProtocolMaskTcp) expected.push_back(rowOf(p));
  }
  EXPECT_EQ(Script().order, expected);
  EXPECT_FALSE(expected.empty());
}

TEST_F(DispatchTest, TraceLinesNameMaskPositionsAndDetection) {
  Configure(kFivePositions(1, 2));
  LogEverything();
  Script().result[7] = kDetectMatch;
  auto packet = TcpPacket();
  packet->SetSigMask(0x14, 0, 0, 0x80000000u);  // positions 3 and 5
  Inspect(packet.get());
  std::vector<std::string> lines;
  std::vector<std::pair<ULONG, USHORT>> kinds;
  for (const auto& record : testlib::DrainLog(plugin())) {
    lines.push_back(record.Narrow());
    kinds.emplace_back(record.category, record.kind);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Sigmask (16 bytes) 14 0 0 80000000\n",
                       "[02] Sig 2233\n",
                       "[04] Sig 3718\n",
                       "Detect sig 3718, severity 2, reaction 3 -> Block Packet\n",
                   }));
  EXPECT_EQ(kinds,
            (std::vector<std::pair<ULONG, USHORT>>{{1, 0x20}, {1, 0x20}, {1, 0x20}, {4, 0x20}}));
}

TEST_F(DispatchTest, UnmatchedPolicyPositionLogsInvalidIndexEachPacket) {
  Configure({Record(100, 1), Record(2231, 1)});
  LogEverything();
  auto packet = TcpPacket();
  Inspect(packet.get());
  Inspect(packet.get());
  int invalid = 0;
  for (const auto& record : testlib::DrainLog(plugin())) {
    if (record.Narrow() == "Invalid signature function index: 0xffffffff\n") {
      ++invalid;
      EXPECT_EQ(record.category, kLogInfo);
      EXPECT_EQ(record.kind, kLogKindFlagged);
    }
  }
  EXPECT_EQ(invalid, 2);
  EXPECT_EQ(Script().Calls(1), 2u) << "the next position still runs";
}

TEST_F(DispatchTest, DetectorErrorAbandonsThePacket) {
  Configure(kFivePositions(1, 1));
  LogEverything();
  Script().result[2] = kDetectError;
  auto packet = TcpPacket();
  EXPECT_EQ(Inspect(packet.get()), static_cast<LONG>(kInspectDetectorFailed));
  EXPECT_TRUE(packet->calls().empty());
  EXPECT_EQ(Script().order, (std::vector<ULONG>{1, 2}));
  auto records = testlib::DrainLog(plugin());
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(records.back().Narrow(), "Error checking packet: 0x80000002\n");
  EXPECT_EQ(records.back().category, kLogError);
  EXPECT_EQ(records.back().kind, kLogKindFlagged);
  // Any result other than 0, 1 and 2 counts as no match.
  Script().Reset();
  Script().result[2] = 77;
  packet->ClearRecord();
  EXPECT_EQ(Inspect(packet.get()), kInspectDelivered);
  EXPECT_EQ(packet->report().signatureId, 0u);
}

TEST_F(DispatchTest, NullDetectorRowsNeverRun) {
  // The built-in table before any detector is wired: everything enabled,
  // nothing runs, every packet is allowed.
  testlib::PluginHolder builtIn;
  plugin_.reset();
  ASSERT_TRUE(builtIn->Start());
  ASSERT_EQ(testlib::Configure(builtIn.get(), MakeHeader({3, 3, 3, 3}),
                               testlib::RecordsForAllRows(g_signatureTable, 4)),
            STATUS_SUCCESS);
  auto packet = TcpPacket();
  EXPECT_EQ(builtIn->InspectPacket(packet.get()), kInspectDelivered);
  EXPECT_EQ(packet->verdict().action, FW_ACTION_ALLOW);
  EXPECT_EQ(packet->report().signatureId, 0u);
}

TEST_F(DispatchTest, ReportCarriesTheEvidenceSlotAnyDetectorSet) {
  Configure(kFivePositions(1, 2));
  LogEverything();
  // Row 1 stores evidence and does not match; row 7 matches later.
  Script().hook = [](ULONG row, PacketView* view) -> ULONG {
    if (row == 1) {
      ULONG slot = 0;
      WCHAR* text = ReserveAdditionalData(&slot);
      memcpy(text, u"10.0.0.9 -> 127.0.0.1", 22 * sizeof(WCHAR));
      view->additionalDataIndex = slot;
      return kDetectNoMatch;
    }
    return row == 7 ? kDetectMatch : kDetectNoMatch;
  };
  auto packet = TcpPacket();
  Inspect(packet.get());
  EXPECT_EQ(packet->report().signatureId, 3718u);
  EXPECT_EQ(packet->report().additionalDataIndex, 1u);
  auto texts = testlib::DrainLogTexts(plugin());
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts.back(), "Buffer content 10.0.0.9 -> 127.0.0.1\n");
}

}  // namespace
}  // namespace enginetest

namespace enginetest {
namespace {

// The core calls at up to DISPATCH_LEVEL: logging, the evidence ring and the
// verdict must all work there (the stand-in's verifier stops on a wait or a
// paged allocation at that level, and on two spin locks held at once).
TEST_F(DispatchTest, InspectionAtDispatchLevel) {
  Configure(kFivePositions(1, 2));
  LogEverything();
  Script().hook = [](ULONG row, PacketView* view) -> ULONG {
    ULONG slot = 0;
    WCHAR* text = ReserveAdditionalData(&slot);
    text[0] = u'e';
    text[1] = 0;
    view->additionalDataIndex = slot;
    NipsLog(view->plugin, true, kLogError, "from detector %u\n", row);
    return row == 7 ? kDetectMatch : kDetectNoMatch;
  };
  auto packet = TcpPacket();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(Inspect(packet.get()), kInspectDelivered);
  EXPECT_EQ(plugin()->InspectPacket(nullptr), kInspectNotInspected);
  KeLowerIrql(old);
  EXPECT_EQ(kt::HeldSpinLockCount(), 0);
  EXPECT_EQ(packet->report().signatureId, 3718u);
  auto texts = testlib::DrainLogTexts(plugin());
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Buffer content e\n"), 1);
}

}  // namespace
}  // namespace enginetest
