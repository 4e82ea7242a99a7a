// Dispatch: which detectors run, which match wins, what the core is told.
#include <gtest/gtest.h>

#include <cstring>

#include "engine_fixture.h"
#include "nips/engine/additional_data.h"

namespace enginetest {
namespace {

using testlib::MakeHeader;
using Rows = std::vector<ULONG>;

// Positions 1..5 run rows 1, 2, 3, 4 and 7 (ids 2231, 2232, 2233, 3700, 3718).
std::vector<PolicyRecord> FivePositions(ULONG level3, ULONG level5) {
  return {Record(2231, 1), Record(2232, 1), Record(2233, level3), Record(3700, 1),
          Record(3718, level5)};
}

class DispatchTest : public EngineTest {
 protected:
  // Levels 1..4 react level1Reaction, 3 (block), 3, 3.
  void Configure(const std::vector<PolicyRecord>& records, ULONG blockHost = 0,
                 ULONG level1Reaction = 2) {
    ASSERT_EQ(testlib::Configure(plugin(), MakeHeader({level1Reaction, 3, 3, 3}, blockHost, 0xABCD),
                                 records),
              STATUS_SUCCESS);
  }
};

TEST_F(DispatchTest, BestMatchAndVerdictMapping) {
  constexpr ULONG64 kAllow = FW_ACTION_ALLOW, kBlock = FW_ACTION_BLOCK_PACKET,
                    kBlockHost = FW_ACTION_BLOCK_HOST;
  const struct {
    const char* name;
    std::vector<PolicyRecord> records;  // none: the bank Start built
    Rows matching;
    ULONG blockHost, level1Reaction;
    Rows order;
    std::vector<ULONG64> outcome;  // action, parameter, kind, id, severity, reaction
  } cases[] = {
      // clang-format off
      {"fresh start runs nothing", {}, {3}, 0, 2, {}, {kAllow, 0, 0, 0, 0, 0}},
      // Position 4 (reaction 2) is skipped once reaction 2 has matched.
      {"higher reaction later wins", FivePositions(1, 2), {3, 7}, 0, 2, {1, 2, 3, 7},
       {kBlock, 0xABCD, 2, 3718, 2, 3}},
      {"equal reaction: earlier wins, later never runs", FivePositions(1, 1), {3, 7}, 0, 2,
       {1, 2, 3}, {kAllow, 0xABCD, 2, 2233, 1, 2}},
      {"allow and report (any flag)", {Record(2233, 1, 5)}, {3}, 0, 2, {3},
       {kAllow, 0xABCD, 2, 2233, 1, 2}},
      {"allow without flag acts like no match", {Record(2233, 1, 0)}, {3}, 0, 2, {3},
       {kAllow, 0, 0, 0, 0, 0}},
      {"unknown reaction 7 tells nothing", {Record(2233, 1)}, {3}, 0, 7, {3},
       {kAllow, 0, 0, 0, 0, 0}},
      {"block packet", {Record(2233, 2, 0)}, {3}, 0, 2, {3}, {kBlock, 0xABCD, 2, 2233, 2, 3}},
      {"block host", {Record(2233, 2, 1)}, {3}, 1, 2, {3}, {kBlockHost, 0xABCD, 2, 2233, 2, 3}},
      {"reaction 0 or no level never runs", {Record(2231, 1), Record(2232, 0), Record(2233, 2)},
       {}, 0, 0, {3}, {kAllow, 0, 0, 0, 0, 0}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Script().Reset();
    if (!c.records.empty()) Configure(c.records, c.blockHost, c.level1Reaction);
    for (ULONG row : c.matching) Script().result[row] = kDetectMatch;
    auto packet = TcpPacket();
    EXPECT_EQ(plugin()->InspectPacket(packet.get()), kInspectDelivered);
    ASSERT_TRUE(packet->DeliveredOnce());
    EXPECT_EQ(Script().order, c.order);
    EXPECT_EQ(Outcome(*packet), c.outcome);
    EXPECT_EQ(packet->verdict().zero | packet->report().additionalDataIndex, 0u);
  }
}

TEST_F(DispatchTest, SigmaskBitsSelectPositionsUpToTheRecordCount) {
  // 48 records: position p runs the row of the p-th smallest id.
  const auto records = testlib::RecordsForAllRows(table_, 1);
  Configure(records);
  LogEverything();
  // Positions 2, 32 (word 0 bit 31), 33 (word 1 bit 0), 48 (word 1 bit 15);
  // 49 and everything in words 2 and 3 lie beyond the record count.
  auto packet = TcpPacket();
  packet->SetSigMask(0x80000002u, 0x00018001u, 0xFFFFFFFFu, 0xFFFFFFFFu);
  plugin()->InspectPacket(packet.get());
  Rows expected;
  for (ULONG p : {2u, 32u, 33u, 48u}) {
    for (ULONG row = 0; row < kSignatureRows; ++row) {
      const SignatureEntry& e = table_.rows[row];
      if (e.signatureId == records[p - 1].signatureId && e.protocolMask & kProtocolMaskTcp) {
        expected.push_back(row);
      }
    }
  }
  EXPECT_FALSE(expected.empty());
  EXPECT_EQ(Script().order, expected);
  const auto texts = testlib::DrainLogTexts(plugin());
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts[0], "Sigmask (16 bytes) 80000002 18001 ffffffff ffffffff\n");
}

TEST_F(DispatchTest, DetectorErrorAbandonsThePacketAndOtherResultsDoNotMatch) {
  Configure(FivePositions(1, 1));
  Script().result[2] = kDetectError;
  auto packet = TcpPacket();
  EXPECT_EQ(plugin()->InspectPacket(packet.get()), static_cast<LONG>(kInspectDetectorFailed));
  EXPECT_TRUE(packet->calls().empty());
  EXPECT_EQ(Script().order, (Rows{1, 2}));
  ExpectOnlyLine(plugin(), "Error checking packet: 0x80000002\n", kLogError, kLogKindFlagged);
  // Any result other than 0, 1 and 2 counts as no match.
  Script().Reset();
  Script().result[2] = 77;
  packet->ClearRecord();
  EXPECT_EQ(plugin()->InspectPacket(packet.get()), kInspectDelivered);
  EXPECT_EQ(packet->report().signatureId, 0u);
}

// The core calls at up to DISPATCH_LEVEL, where the stand-in's verifier stops
// on a wait, a paged allocation or two spin locks held at once. The report
// carries the evidence slot any detector set, even one that did not match.
TEST_F(DispatchTest, EvidenceAndLoggingAtDispatchLevel) {
  Configure(FivePositions(1, 2));
  LogEverything();
  Script().hook = [](ULONG row, PacketView* view) -> ULONG {
    NipsLog(view->plugin, true, kLogError, "from detector %u\n", row);
    if (row == 1) {
      WCHAR* text = ReserveAdditionalData(&view->additionalDataIndex);
      memcpy(text, u"10.0.0.9 -> 127.0.0.1", 22 * sizeof(WCHAR));
    }
    return row == 7 ? kDetectMatch : kDetectNoMatch;
  };
  auto packet = TcpPacket();
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(plugin()->InspectPacket(packet.get()), kInspectDelivered);
  KeLowerIrql(old);
  EXPECT_EQ(kt::HeldSpinLockCount(), 0);
  EXPECT_EQ(packet->report().signatureId, 3718u);
  EXPECT_EQ(packet->report().additionalDataIndex, 1u);
  auto texts = testlib::DrainLogTexts(plugin());
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "from detector 7\n"), 1);
  EXPECT_EQ(texts.back(), "Buffer content 10.0.0.9 -> 127.0.0.1\n");
}

}  // namespace
}  // namespace enginetest
