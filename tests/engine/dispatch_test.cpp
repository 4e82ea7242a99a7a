// Dispatch: which detectors run, which match wins, what the core is told.
#include <gtest/gtest.h>

#include "engine_fixture.h"

namespace enginetest {
namespace {

using testlib::MakeHeader;
using Rows = std::vector<ULONG>;

// Positions 1..5 run rows 1, 2, 3, 4 and 7 (ids 2231, 2232, 2233, 3700, 3718).
std::vector<PolicyRecord> FivePositions(ULONG level5) {
  return {Record(2231, 1), Record(2232, 1), Record(2233, 1), Record(3700, 1), Record(3718, level5)};
}

class DispatchTest : public EngineTest {
 protected:
  // Levels 1..4 react level1Reaction, 3 (block), 3, 3.
  void Configure(const std::vector<PolicyRecord>& records, ULONG blockHost = 0, ULONG l1 = 2) {
    ASSERT_EQ(testlib::Configure(plugin(), MakeHeader({l1, 3, 3, 3}, blockHost, 0xABCD), records),
              STATUS_SUCCESS);
  }
};

TEST_F(DispatchTest, BestMatchAndVerdictMapping) {
  constexpr ULONG64 A = FW_ACTION_ALLOW, B = FW_ACTION_BLOCK_PACKET, H = FW_ACTION_BLOCK_HOST,
                    P = 0xABCD;
  const std::vector<ULONG64> nothing = {A, 0, 0, 0, 0, 0};
  // No records: the bank Start built. Position 4 (reaction 2) is skipped once reaction 2 matched.
  // clang-format off
  const struct {
    const char* name; std::vector<PolicyRecord> records; Rows matching;
    ULONG blockHost, level1Reaction; Rows order; std::vector<ULONG64> outcome;
    ULONG result = kDetectMatch;  // of the matching rows
  } cases[] = {
      {"fresh start runs nothing", {}, {3}, 0, 2, {}, nothing},
      {"higher reaction later wins", FivePositions(2), {3, 7}, 0, 2, {1, 2, 3, 7},
       {B, P, 2, 3718, 2, 3}},
      {"equal: earlier wins, later never runs", FivePositions(1), {3, 7}, 0, 2, {1, 2, 3},
       {A, P, 2, 2233, 1, 2}},
      {"allow and report (any flag)", {Record(2233, 1, 5)}, {3}, 0, 2, {3}, {A, P, 2, 2233, 1, 2}},
      {"allow without flag is no match", {Record(2233, 1, 0)}, {3}, 0, 2, {3}, nothing},
      {"unknown reaction 7 tells nothing", {Record(2233, 1)}, {3}, 0, 7, {3}, nothing},
      {"block packet", {Record(2233, 2, 0)}, {3}, 0, 2, {3}, {B, P, 2, 2233, 2, 3}},
      {"block host", {Record(2233, 2, 1)}, {3}, 1, 2, {3}, {H, P, 2, 2233, 2, 3}},
      {"reaction 0, level 0 never run", {Record(2231, 1), Record(2232, 0), Record(2233, 2)},
       {}, 0, 0, {3}, nothing},
      {"any other result is no match", FivePositions(1), {2}, 0, 2, {1, 2, 3, 4, 7}, nothing, 77},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Script().Reset();
    if (!c.records.empty()) Configure(c.records, c.blockHost, c.level1Reaction);
    for (ULONG row : c.matching) Script().result[row] = c.result;
    auto packet = TcpPacket();
    EXPECT_EQ(plugin()->InspectPacket(packet.get()), kInspectDelivered);
    ASSERT_TRUE(packet->DeliveredOnce());
    EXPECT_EQ(Script().order, c.order);
    EXPECT_EQ(Outcome(*packet), c.outcome);
    EXPECT_EQ(packet->verdict().zero | packet->report().additionalDataIndex, 0u);
  }
}

TEST_F(DispatchTest, SigmaskBitsSelectPositionsUpToTheRecordCount) {
  // Position p runs the row of the p-th smallest id: 2, 32 (word 0 bit 31), 33 (word 1 bit 0),
  // 48 (word 1 bit 15) run rows 1, 32, 33, 30; 49 and words 2 and 3 lie beyond 48 records.
  Configure(testlib::RecordsForAllRows(table_, 1));
  LogEverything();
  auto packet = TcpPacket();
  packet->SetSigMask(0x80000002u, 0x00018001u, 0xFFFFFFFFu, 0xFFFFFFFFu);
  plugin()->InspectPacket(packet.get());
  EXPECT_EQ(Script().order, (Rows{1, 32, 33, 30}));
  EXPECT_EQ(testlib::DrainLogTexts(plugin()).at(0),
            "Sigmask (16 bytes) 80000002 18001 ffffffff ffffffff\n");
}

TEST_F(DispatchTest, DetectorErrorAbandonsThePacket) {
  Configure(FivePositions(1));
  Script().result[2] = kDetectError;
  auto packet = TcpPacket();
  EXPECT_EQ(plugin()->InspectPacket(packet.get()), static_cast<LONG>(kInspectDetectorFailed));
  EXPECT_TRUE(packet->calls().empty());
  EXPECT_EQ(Script().order, (Rows{1, 2}));
  ExpectOnlyLine(plugin(), "Error checking packet: 0x80000002\n", kLogError, kLogKindFlagged);
}

}  // namespace
}  // namespace enginetest
