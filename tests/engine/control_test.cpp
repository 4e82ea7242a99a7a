// Control requests 1..8: buffer checks, statuses, the handshake, the
// signature policy and enforce.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine_fixture.h"
#include "nips/engine/additional_data.h"

namespace enginetest {
namespace {

using testlib::Record;
using testlib::SendEnforce;
using testlib::SendHeader;
using testlib::SendPolicy;

// Everything a refused request must leave as it was.
struct PluginState {
  explicit PluginState(NipsPlugin* p)
      : peer(p->peerVersion),
        active(p->activeBank),
        pending(p->pendingBank),
        pendingIndex(p->pendingIndex),
        headerSet(p->headerSet),
        policySet(p->policySet),
        logMask(p->logMask),
        closed(p->nimq.closed) {
    memcpy(banks, p->banks, sizeof banks);
  }
  bool operator==(const PluginState& o) const {
    return memcmp(&peer, &o.peer, sizeof peer) == 0 && active == o.active && pending == o.pending &&
           pendingIndex == o.pendingIndex && headerSet == o.headerSet && policySet == o.policySet &&
           logMask == o.logMask && closed == o.closed && memcmp(banks, o.banks, sizeof banks) == 0;
  }
  HandshakeRecord peer;
  ConfigBank* active;
  ConfigBank* pending;
  ULONG pendingIndex;
  UCHAR headerSet, policySet;
  ULONG logMask;
  UCHAR closed;
  ConfigBank banks[2];
};

class ControlTest : public EngineTest {};

// ---- Buffer checks --------------------------------------------------------

struct BadRequest {
  const char* name;
  ULONG code;
  bool input;
  ULONG64 inputLength;
  bool output;
  ULONG64 outputLength;
  bool bytesReturned;
  NTSTATUS expected;
};

const BadRequest kBadRequests[] = {
    {"handshake null input", 1, false, 20, true, 20, true, STATUS_INVALID_PARAMETER},
    {"handshake short input", 1, true, 19, true, 20, true, STATUS_INVALID_PARAMETER},
    {"handshake long input", 1, true, 21, true, 20, true, STATUS_INVALID_PARAMETER},
    {"handshake null output", 1, true, 20, false, 20, true, STATUS_INVALID_PARAMETER},
    {"handshake short output", 1, true, 20, true, 19, true, STATUS_INVALID_PARAMETER},
    {"handshake no bytesReturned", 1, true, 20, true, 20, false, STATUS_INVALID_PARAMETER},
    {"header null input", 2, false, 32, false, 0, true, STATUS_INVALID_PARAMETER},
    {"header short", 2, true, 31, false, 0, true, STATUS_INVALID_PARAMETER},
    {"header long", 2, true, 33, false, 0, true, STATUS_INVALID_PARAMETER},
    {"policy null with length", 3, false, 12, false, 0, true, STATUS_INVALID_PARAMETER},
    {"policy 13 bytes", 3, true, 13, false, 0, true, STATUS_INVALID_PARAMETER},
    {"policy 11 bytes", 3, true, 11, false, 0, true, STATUS_INVALID_PARAMETER},
    {"policy 59 records", 3, true, 59 * 12, false, 0, true, STATUS_INVALID_PARAMETER},
    {"mask null input", 5, false, 4, false, 0, true, STATUS_INVALID_PARAMETER},
    {"mask short", 5, true, 3, false, 0, true, STATUS_INVALID_PARAMETER},
    {"mask long", 5, true, 5, false, 0, true, STATUS_INVALID_PARAMETER},
    {"mask with output", 5, true, 4, true, 0, true, STATUS_INVALID_PARAMETER},
    {"mask with output length", 5, true, 4, false, 4, true, STATUS_INVALID_PARAMETER},
    {"mask no bytesReturned", 5, true, 4, false, 0, false, STATUS_INVALID_PARAMETER},
    {"drain null input", 6, false, 16, true, 16, true, STATUS_INVALID_PARAMETER},
    {"drain short input", 6, true, 15, true, 16, true, STATUS_INVALID_PARAMETER},
    {"drain long input", 6, true, 17, true, 16, true, STATUS_INVALID_PARAMETER},
    {"drain null output", 6, true, 16, false, 16, true, STATUS_INVALID_PARAMETER},
    {"drain short output", 6, true, 16, true, 15, true, STATUS_INVALID_PARAMETER},
    {"drain long output", 6, true, 16, true, 17, true, STATUS_INVALID_PARAMETER},
    {"drain no bytesReturned", 6, true, 16, true, 16, false, STATUS_INVALID_PARAMETER},
    {"evidence null input", 8, false, 4, true, 1024, true, STATUS_INVALID_PARAMETER},
    {"evidence short input", 8, true, 3, true, 1024, true, STATUS_INVALID_PARAMETER},
    {"evidence long input", 8, true, 5, true, 1024, true, STATUS_INVALID_PARAMETER},
    {"evidence null output", 8, true, 4, false, 1024, true, STATUS_INVALID_PARAMETER},
    {"evidence short output", 8, true, 4, true, 1023, true, STATUS_INVALID_PARAMETER},
    {"evidence no bytesReturned", 8, true, 4, true, 1024, false, STATUS_INVALID_PARAMETER},
    {"code 0", 0, true, 4, true, 1024, true, STATUS_NOT_IMPLEMENTED},
    {"code 9", 9, true, 4, true, 1024, true, STATUS_NOT_IMPLEMENTED},
    {"code max", 0xFFFFFFFF, true, 4, true, 1024, true, STATUS_NOT_IMPLEMENTED},
};

TEST_F(ControlTest, BadBuffersGetTheirStatusAndChangeNothing) {
  // Input that would be valid in content: a drain into a real buffer, slot 1,
  // a good handshake, a header, zeroed policy records.
  std::vector<uint8_t> user(256);
  for (const BadRequest& c : kBadRequests) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> input(c.inputLength + 16, 0);
    HandshakeRecord peer = {kHandshakeMagic, 9, 0, 0, 1};
    if (c.code == 1) memcpy(input.data(), &peer, sizeof peer);
    if (c.code == 5) input[0] = 0x1F;
    if (c.code == 6) {
      ULONG64 request[2] = {reinterpret_cast<ULONG64>(user.data()), user.size()};
      memcpy(input.data(), request, sizeof request);
    }
    if (c.code == 8) input[0] = 1;
    std::vector<uint8_t> output(c.outputLength + 16, 0xAB);
    ULONG64 returned = 0x5555;
    const PluginState before(plugin());
    NTSTATUS status = plugin()->Control(c.code, c.input ? input.data() : nullptr, c.inputLength,
                                        c.output ? output.data() : nullptr, c.outputLength,
                                        c.bytesReturned ? &returned : nullptr);
    EXPECT_EQ(status, c.expected);
    EXPECT_TRUE(PluginState(plugin()) == before);
    EXPECT_EQ(returned, 0x5555u) << "bytesReturned untouched";
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == 0xAB; }));
  }
}

TEST_F(ControlTest, BadEvidenceRequestLogsItsArguments) {
  char input[4] = {1, 0, 0, 0};
  ULONG64 returned = 0;
  EXPECT_EQ(plugin()->Control(kControlGetAdditionalData, input, 4, nullptr, 1024, &returned),
            STATUS_INVALID_PARAMETER);
  auto records = testlib::DrainLog(plugin());
  ASSERT_EQ(records.size(), 1u);
  char expected[96];
  snprintf(expected, sizeof expected, "i 0x%x, is 4, o 0x0, os 0x%x, mos 1024\n",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(input)),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(&returned)));
  EXPECT_EQ(records[0].Narrow(), expected);
  EXPECT_EQ(records[0].category, kLogError);
  EXPECT_EQ(records[0].kind, kLogKindFlagged);
}

TEST_F(ControlTest, EvidenceSlotIndexes) {
  ULONG slot = 0;
  for (int i = 0; i < 128; ++i) {
    WCHAR* text = ReserveAdditionalData(&slot);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(slot, static_cast<ULONG>(i + 1));
    if (slot == 128) memcpy(text, u"last", 10);
  }
  ReserveAdditionalData(&slot);
  EXPECT_EQ(slot, 1u) << "the ring wraps after 128";

  std::vector<uint8_t> out(1024, 0xAB);
  ULONG64 returned = 0;
  for (LONG bad : {0, 129, -1}) {
    returned = 0;
    EXPECT_EQ(
        plugin()->Control(kControlGetAdditionalData, &bad, 4, out.data(), out.size(), &returned),
        STATUS_INVALID_PARAMETER)
        << bad;
  }
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0xAB; }));
  LONG last = 128;
  EXPECT_EQ(
      plugin()->Control(kControlGetAdditionalData, &last, 4, out.data(), out.size(), &returned),
      STATUS_SUCCESS);
  EXPECT_EQ(returned, 1024u);
  EXPECT_EQ(memcmp(out.data(), u"last", 10), 0);
  LONG unwritten = 2;
  EXPECT_EQ(plugin()->Control(kControlGetAdditionalData, &unwritten, 4, out.data(), out.size(),
                              &returned),
            STATUS_SUCCESS);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));
}

// ---- Handshake ----------------------------------------------------------------

struct Version {
  ULONG major, minor, revision, build;
  NTSTATUS expected;
};

class HandshakeTest : public EngineTest, public ::testing::WithParamInterface<Version> {};

TEST_P(HandshakeTest, AcceptsPeersFrom8_0_1701) {
  const Version v = GetParam();
  HandshakeRecord reply = {1, 2, 3, 4, 5};
  ULONG64 returned = 0;
  const HandshakeRecord peer = {kHandshakeMagic, v.major, v.minor, v.revision, v.build};
  const HandshakeRecord previous = plugin()->peerVersion;
  EXPECT_EQ(testlib::SendHandshake(plugin(), peer, &reply, &returned), v.expected);
  EXPECT_EQ(returned, 20u);
  if (v.expected == STATUS_SUCCESS) {
    const HandshakeRecord ours = {0x8BADF00D, 8, 0, 0, 11690};
    EXPECT_EQ(memcmp(&reply, &ours, sizeof ours), 0);
    EXPECT_EQ(memcmp(&plugin()->peerVersion, &peer, sizeof peer), 0);
  } else {
    EXPECT_EQ(reply.magic, 0u) << "output untouched";
    EXPECT_EQ(memcmp(&plugin()->peerVersion, &previous, sizeof previous), 0);
  }
}

INSTANTIATE_TEST_SUITE_P(Versions, HandshakeTest,
                         ::testing::Values(Version{8, 0, 0, 1700, STATUS_NOT_SUPPORTED},
                                           Version{8, 0, 0, 0, STATUS_NOT_SUPPORTED},
                                           Version{8, 0, 7, 2, STATUS_NOT_SUPPORTED},
                                           Version{8, 0, 0, 1, STATUS_SUCCESS},
                                           Version{8, 0, 0, 1701, STATUS_SUCCESS},
                                           Version{8, 1, 0, 5, STATUS_SUCCESS},
                                           Version{9, 0, 0, 0, STATUS_SUCCESS},
                                           Version{7, 9, 9, 99999, STATUS_NOT_SUPPORTED}));

TEST_F(ControlTest, HandshakeWithWrongMagicStillReportsTwentyBytes) {
  HandshakeRecord peer = {0x8BADF00E, 9, 0, 0, 1};
  ULONG64 returned = 0;
  EXPECT_EQ(testlib::SendHandshake(plugin(), peer, nullptr, &returned), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(returned, 20u);
}

TEST_F(ControlTest, LogMaskRequest) {
  ULONG mask = 0x3;
  ULONG64 returned = 99;
  EXPECT_EQ(plugin()->Control(kControlSetLogMask, &mask, 4, nullptr, 0, &returned), STATUS_SUCCESS);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(plugin()->logMask, 0x3u);
  NipsLog(plugin(), true, kLogError, "dropped\n");
  NipsLog(plugin(), true, kLogInfo, "kept\n");
  EXPECT_EQ(testlib::DrainLogTexts(plugin()), std::vector<std::string>{"kept\n"});
}

// ---- Policy ---------------------------------------------------------------------

class PolicyTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    LogEverything();
  }
  ConfigBank* pending() { return plugin()->pendingBank; }
};

TEST_F(PolicyTest, EmptyPolicyRestoresTheBuiltInRows) {
  ASSERT_EQ(SendPolicy(plugin(), {Record(2231, 3), Record(6204, 1)}), STATUS_SUCCESS);
  testlib::DrainLog(plugin());
  ULONG64 returned = 0;
  EXPECT_EQ(plugin()->Control(kControlApplyPolicy, nullptr, 0, nullptr, 0, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(memcmp(pending()->rows, table_.rows, sizeof table_.rows), 0);
  EXPECT_EQ(pending()->recordCount, 0u);
  for (ULONG entry : pending()->map) EXPECT_EQ(entry, 0u);
  EXPECT_EQ(
      testlib::DrainLogTexts(plugin()),
      std::vector<std::string>{"Applied signature policy: 48 functions, 0 matched, 0 enabled.\n"});
}

TEST_F(PolicyTest, RecordsFillRowsAndPositionsAndLogEach) {
  // Level word's upper bytes ride along; 9999 matches no row.
  ASSERT_EQ(SendPolicy(plugin(), {Record(2231, 0xABCDEF03, 7), Record(3801, 0, 0), Record(9999, 2),
                                  Record(65535, 4)}),
            STATUS_SUCCESS);
  EXPECT_EQ(pending()->rows[1].level, 0xABCDEF03u);
  EXPECT_EQ(pending()->rows[1].policyFlag, 7u);
  EXPECT_EQ(RowLevel(pending()->rows[16]), 0u);
  EXPECT_EQ(pending()->map[0], 2u);
  EXPECT_EQ(pending()->map[1], 17u);
  EXPECT_EQ(pending()->map[2], 0u);
  EXPECT_EQ(pending()->map[3], 0u);
  EXPECT_EQ(pending()->recordCount, 4u);
  EXPECT_TRUE(plugin()->policySet);
  auto records = testlib::DrainLog(plugin());
  std::vector<std::string> texts;
  for (const auto& r : records) {
    texts.push_back(r.Narrow());
    EXPECT_EQ(r.category, kLogInfo);
    EXPECT_EQ(r.kind, kLogKindFlagged);
  }
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "Signature Id 2231, Function 1, Level 3\n",
                       "Signature Id 3801, Function 16, Level 0\n",
                       "Unsupported signature 9999\n",
                       "Unsupported signature 65535\n",
                       "Applied signature policy: 48 functions, 2 matched, 1 enabled.\n",
                   }));
}

TEST_F(PolicyTest, OrderAndLevelViolationsAreRefusedWhereTheyStand) {
  const std::vector<std::vector<PolicyRecord>> refused = {
      {Record(2231, 1), Record(2231, 1)},  // same id twice
      {Record(3700, 1), Record(2231, 1)},  // descending
      {Record(2231, 5)},                   // level 5
      {Record(0, 1)},                      // id not above the starting 0
  };
  for (const auto& records : refused) {
    plugin()->policySet = 0;
    EXPECT_EQ(SendPolicy(plugin(), records), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(plugin()->policySet);
  }
  // A refusal after an earlier success in the cycle keeps policySet, and
  // enforce commits the rows as far as they were filled.
  ASSERT_EQ(testlib::SendHeader(plugin(), testlib::MakeHeader({3, 3, 3, 3})), STATUS_SUCCESS);
  ASSERT_EQ(SendPolicy(plugin(), {Record(6204, 1)}), STATUS_SUCCESS);
  EXPECT_EQ(SendPolicy(plugin(), {Record(2231, 2), Record(2230, 1), Record(6204, 1)}),
            STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(plugin()->policySet);
  ASSERT_EQ(SendEnforce(plugin()), STATUS_SUCCESS);
  const ConfigBank* active = plugin()->activeBank;
  EXPECT_EQ(RowLevel(active->rows[1]), 2u);
  EXPECT_EQ(RowLevel(active->rows[47]), 0u) << "the earlier policy's row is gone";
  EXPECT_EQ(active->recordCount, 3u);
  EXPECT_EQ(active->map[0], 2u);
  EXPECT_EQ(active->map[1], 0u);
}

TEST_F(PolicyTest, FiftyEightRecordsAreAcceptedAndFiftyNineRefused) {
  // Ten unknown ids first, then every row: rows with the ten highest ids land
  // on positions 49..58.
  std::vector<PolicyRecord> records;
  for (ULONG id = 1; id <= 10; ++id) records.push_back(Record(id, 1));
  for (const PolicyRecord& r : testlib::RecordsForAllRows(table_, 1)) records.push_back(r);
  ASSERT_EQ(records.size(), 58u);
  ASSERT_EQ(SendPolicy(plugin(), records), STATUS_SUCCESS);
  EXPECT_EQ(pending()->recordCount, 48u);
  EXPECT_NE(pending()->map[57], 0u);
  records.push_back(Record(70000, 1));
  const PluginState before(plugin());
  EXPECT_EQ(SendPolicy(plugin(), records), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(PluginState(plugin()) == before);
}

// ---- Enforce and derivation ---------------------------------------------------------

TEST_F(PolicyTest, EnforceNeedsBothHalvesOfACycle) {
  EXPECT_EQ(SendEnforce(plugin()), STATUS_ILLEGAL_FUNCTION) << "right after start";
  ASSERT_EQ(SendHeader(plugin(), testlib::MakeHeader({2, 2, 2, 2})), STATUS_SUCCESS);
  EXPECT_EQ(SendEnforce(plugin()), STATUS_ILLEGAL_FUNCTION) << "header only";
  ASSERT_EQ(SendPolicy(plugin(), {Record(2231, 1)}), STATUS_SUCCESS);
  ConfigBank* wasPending = plugin()->pendingBank;
  ConfigBank* wasActive = plugin()->activeBank;
  testlib::DrainLog(plugin());
  ASSERT_EQ(SendEnforce(plugin()), STATUS_SUCCESS);
  EXPECT_EQ(plugin()->activeBank, wasPending);
  EXPECT_EQ(plugin()->pendingBank, wasActive);
  EXPECT_EQ(plugin()->pendingIndex, 0u);
  EXPECT_EQ(testlib::DrainLogTexts(plugin()),
            std::vector<std::string>{"Enforced new configuration.\n"});
  EXPECT_EQ(SendEnforce(plugin()), STATUS_ILLEGAL_FUNCTION) << "second enforce";
  ASSERT_EQ(SendPolicy(plugin(), {Record(2231, 1)}), STATUS_SUCCESS);
  EXPECT_EQ(SendEnforce(plugin()), STATUS_ILLEGAL_FUNCTION) << "policy only";
}

TEST(DeriveTest, ReactionAndActionFlagsFollowLevelReactionAndPolicyFlag) {
  // Levels 1..4 map to reactions 0, 2, 3, 7; each row tried with flag 0 and 1.
  ConfigBank bank{};
  bank.header = testlib::MakeHeader({0, 2, 3, 7});
  struct Expect {
    ULONG level, flag, reaction, actionFlags;
  };
  const Expect cases[] = {
      {0, 1, 0, 0}, {1, 1, 0, 0}, {2, 0, 2, 0}, {2, 5, 2, 1},
      {3, 0, 3, 2}, {3, 1, 3, 3}, {4, 1, 7, 0}, {0x105, 1, 0, 0},  // level byte 5 is no level
  };
  ULONG row = 0;
  for (const Expect& c : cases) {
    bank.rows[row].level = c.level;
    bank.rows[row].policyFlag = c.flag;
    ++row;
  }
  DeriveReactions(&bank);
  row = 0;
  for (const Expect& c : cases) {
    EXPECT_EQ(bank.rows[row].reaction, c.reaction) << "row " << row;
    EXPECT_EQ(bank.rows[row].actionFlags, c.actionFlags) << "row " << row;
    ++row;
  }
}

}  // namespace
}  // namespace enginetest
