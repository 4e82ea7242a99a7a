// Control requests: buffer checks, handshake, evidence ring, policy, enforce.
#include <gtest/gtest.h>

#include <cstring>

#include "engine_fixture.h"
#include "nips/engine/additional_data.h"

namespace enginetest {
namespace {

using testlib::SendEnforce;
using testlib::SendPolicy;

// Everything a refused request must leave as it was, as bytes.
std::vector<uint8_t> StateOf(const NipsPlugin* p) {
  std::vector<uint8_t> state;
  auto add = [&state](const auto& field) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&field);
    state.insert(state.end(), bytes, bytes + sizeof field);
  };
  add(p->peerVersion), add(p->activeBank), add(p->pendingBank), add(p->pendingIndex);
  add(p->headerSet), add(p->policySet), add(p->logMask), add(p->nimq.closed), add(p->banks);
  return state;
}

using ControlTest = EngineTest;

TEST_F(ControlTest, BadBuffersGetTheirStatusAndChangeNothing) {
  // One length off by one or one of input (i), output (o), bytesReturned (r) null, with otherwise
  // valid content; codes outside 1..8 are not implemented.
  // clang-format off
  const struct { ULONG code; ULONG64 inputLength, outputLength; const char* null; } requests[] = {
      {1, 20, 20, "i"},  {1, 19, 20, ""},  {1, 21, 20, ""},  {1, 20, 20, "o"},  {1, 20, 19, ""},
      {1, 20, 20, "r"},  {2, 32, 0, "io"}, {2, 31, 0, "o"},  {2, 33, 0, "o"},   {3, 12, 0, "io"},
      {3, 13, 0, "o"},   {3, 11, 0, "o"},  {5, 4, 0, "io"},  {5, 3, 0, "o"},    {5, 5, 0, "o"},
      {5, 4, 0, ""},     {5, 4, 4, "o"},   {5, 4, 0, "or"},  {6, 16, 16, "i"},  {6, 15, 16, ""},
      {6, 17, 16, ""},   {6, 16, 16, "o"}, {6, 16, 15, ""},  {6, 16, 17, ""},   {6, 16, 16, "r"},
      {8, 4, 1024, "i"}, {8, 3, 1024, ""}, {8, 5, 1024, ""}, {8, 4, 1024, "o"}, {8, 4, 1023, ""},
      {8, 4, 1024, "r"}, {0, 4, 1024, ""}, {9, 4, 1024, ""}};
  // clang-format on
  std::vector<uint8_t> user(256);
  for (const auto& c : requests) {
    SCOPED_TRACE(&c - requests);
    std::vector<uint8_t> input(c.inputLength + 16, 0), output(c.outputLength + 16, 0xAB);
    const HandshakeRecord peer = {kHandshakeMagic, 9, 0, 0, 1};
    const ULONG64 drain[2] = {reinterpret_cast<ULONG64>(user.data()), user.size()};
    if (c.code == 1) memcpy(input.data(), &peer, sizeof peer);
    if (c.code == 6) memcpy(input.data(), drain, sizeof drain);
    if (c.code == 5 || c.code == 8) input[0] = c.code == 5 ? 0x1F : 1;
    ULONG64 returned = 0x5555;
    const auto before = StateOf(plugin());
    auto unless = [&c](char which, auto* p) { return strchr(c.null, which) ? nullptr : p; };
    EXPECT_EQ(plugin()->Control(c.code, unless('i', input.data()), c.inputLength,
                                unless('o', output.data()), c.outputLength, unless('r', &returned)),
              c.code >= 1 && c.code <= 8 ? STATUS_INVALID_PARAMETER : STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(StateOf(plugin()), before);
    EXPECT_EQ(returned, 0x5555u) << "bytesReturned untouched";
    EXPECT_EQ(std::count(output.begin(), output.end(), 0xAB), std::ssize(output));
  }
}

TEST_F(ControlTest, EvidenceRing) {
  char input[4] = {1, 0, 0, 0};  // a refused request 8 logs its arguments
  ULONG64 returned = 0;
  EXPECT_EQ(plugin()->Control(kControlGetAdditionalData, input, 4, nullptr, 1024, &returned),
            STATUS_INVALID_PARAMETER);
  char line[96];
  snprintf(line, sizeof line, "i 0x%x, is 4, o 0x0, os 0x%x, mos 1024\n",
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(input)),
           static_cast<unsigned>(reinterpret_cast<uintptr_t>(&returned)));
  ExpectOnlyLine(plugin(), line, kLogError, kLogKindFlagged);
  // Slots 1..128, then the ring wraps; an unwritten slot is zeros.
  ULONG slot = 0;
  for (ULONG i = 1; i <= 129; ++i) {
    WCHAR* text = ReserveAdditionalData(&slot);
    ASSERT_NE(text, nullptr);
    ASSERT_EQ(slot, (i - 1) % 128 + 1);
    if (slot == 128) memcpy(text, u"last", 10);
  }
  std::vector<uint8_t> out(1024, 0xAB);
  auto request = [&](LONG index) {
    return plugin()->Control(kControlGetAdditionalData, &index, 4, out.data(), 1024, &returned);
  };
  for (LONG bad : {0, 129, -1}) EXPECT_EQ(request(bad), STATUS_INVALID_PARAMETER) << bad;
  EXPECT_EQ(std::count(out.begin(), out.end(), 0xAB), 1024);
  EXPECT_EQ(request(128), STATUS_SUCCESS);
  EXPECT_EQ(std::tuple(returned, memcmp(out.data(), u"last", 10)), std::tuple(1024u, 0));
  EXPECT_EQ(request(2), STATUS_SUCCESS);
  EXPECT_EQ(std::count(out.begin(), out.end(), 0), 1024);
}

TEST_F(ControlTest, HandshakeAcceptsPeersFrom8_0_1701) {
  const HandshakeRecord ours = {0x8BADF00D, 8, 0, 0, 11690}, none{};
  const ULONG M = kHandshakeMagic;
  const NTSTATUS no = STATUS_NOT_SUPPORTED, ok = STATUS_SUCCESS;
  // clang-format off
  const struct { HandshakeRecord peer; NTSTATUS expected; } cases[] = {
      {{M, 7, 9, 9, 99999}, no}, {{M, 8, 0, 0, 1700}, no}, {{M, 8, 0, 0, 1701}, ok},
      {{M, 8, 0, 0, 0}, no}, {{M, 8, 0, 0, 1}, ok}, {{M, 8, 0, 7, 2}, no}, {{M, 8, 1, 0, 5}, ok},
      {{M + 1, 9, 0, 0, 1}, STATUS_INVALID_PARAMETER}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    HandshakeRecord reply{}, previous = plugin()->peerVersion;
    ULONG64 returned = 0;
    EXPECT_EQ(testlib::SendHandshake(plugin(), c.peer, &reply, &returned), c.expected);
    EXPECT_EQ(returned, 20u);
    const bool accepted = c.expected == ok;
    EXPECT_EQ(memcmp(&reply, accepted ? &ours : &none, 20), 0) << "reply";
    EXPECT_EQ(memcmp(&plugin()->peerVersion, accepted ? &c.peer : &previous, 20), 0) << "peer";
  }
}

using PolicyTest = EngineTest;

TEST_F(PolicyTest, RecordsFillRowsAndPositionsAndLogEach) {
  LogEverything();
  const ConfigBank& pending = *plugin()->pendingBank;
  // The level word's upper bytes ride along but stay out of the log; 9999 matches no row.
  ASSERT_EQ(SendPolicy(plugin(), {Record(2231, 0xABCDEF03, 7), Record(3801, 0, 0), Record(9999, 2),
                                  Record(65535, 4)}),
            STATUS_SUCCESS);
  EXPECT_EQ(std::tuple(pending.rows[1].level, pending.rows[1].policyFlag),
            std::tuple(0xABCDEF03u, 7u));
  EXPECT_EQ(std::vector<ULONG>(pending.map, pending.map + 5), (std::vector<ULONG>{2, 17, 0, 0, 0}));
  EXPECT_EQ(pending.recordCount, 4u);
  EXPECT_EQ(testlib::DrainLogTexts(plugin()),
            (Texts{"Signature Id 2231, Function 1, Level 3\n",
                   "Signature Id 3801, Function 16, Level 0\n", "Unsupported signature 9999\n",
                   "Unsupported signature 65535\n",
                   "Applied signature policy: 48 functions, 2 matched, 1 enabled.\n"}));
  EXPECT_EQ(SendPolicy(plugin(), {}), STATUS_SUCCESS);  // restores the built-in rows
  EXPECT_EQ(memcmp(pending.rows, table_.rows, sizeof table_.rows), 0);
  EXPECT_EQ(pending.recordCount, 0u);
  EXPECT_EQ(std::count(pending.map, pending.map + std::size(pending.map), 0u),
            std::ssize(pending.map));
}

// Enforce needs both halves of a cycle: not right after start, with a policy or a header only, or
// twice.
TEST_F(PolicyTest, ViolationsAreRefusedWhereTheyStandAndEnforceNeedsBothHalves) {
  const ConfigBank& pending = *plugin()->pendingBank;
  EXPECT_EQ(SendEnforce(plugin()), STATUS_ILLEGAL_FUNCTION) << "right after start";
  // Same id twice, descending, level 5, id not above the starting 0.
  for (const std::vector<PolicyRecord>& records : {std::vector{Record(2231, 1), Record(2231, 1)},
                                                   {Record(3700, 1), Record(2231, 1)},
                                                   {Record(2231, 5)},
                                                   {Record(0, 1)}}) {
    plugin()->policySet = 0;
    EXPECT_EQ(SendPolicy(plugin(), records), STATUS_NOT_SUPPORTED);
    EXPECT_FALSE(plugin()->policySet);
  }
  // 58 records pass (ten unknown ids first put the ten highest ids on positions 49..58); a 59th
  // is refused and changes nothing.
  std::vector<PolicyRecord> records;
  for (ULONG id = 1; id <= 10; ++id) records.push_back(Record(id, 1));
  for (const PolicyRecord& r : testlib::RecordsForAllRows(table_, 1)) records.push_back(r);
  ASSERT_EQ(SendPolicy(plugin(), records), STATUS_SUCCESS);
  EXPECT_EQ(pending.recordCount, 48u);
  EXPECT_NE(pending.map[57], 0u);
  records.push_back(Record(70000, 1));
  const auto before = StateOf(plugin());
  EXPECT_EQ(SendPolicy(plugin(), records), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(StateOf(plugin()), before);
  EXPECT_EQ(SendEnforce(plugin()), STATUS_ILLEGAL_FUNCTION) << "policy only";
  // A refusal after an earlier success in the cycle keeps policySet; enforce commits the rows as
  // far as they were filled.
  ASSERT_EQ(testlib::SendHeader(plugin(), testlib::MakeHeader({3, 3, 3, 3})), STATUS_SUCCESS);
  ASSERT_EQ(SendPolicy(plugin(), {Record(6204, 1)}), STATUS_SUCCESS);
  EXPECT_EQ(SendPolicy(plugin(), {Record(2231, 2), Record(2230, 1), Record(6204, 1)}),
            STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(plugin()->policySet);
  ASSERT_EQ(SendEnforce(plugin()), STATUS_SUCCESS);
  EXPECT_EQ(SendEnforce(plugin()), STATUS_ILLEGAL_FUNCTION) << "twice";
  ASSERT_EQ(testlib::SendHeader(plugin(), testlib::MakeHeader({3, 3, 3, 3})), STATUS_SUCCESS);
  EXPECT_EQ(SendEnforce(plugin()), STATUS_ILLEGAL_FUNCTION) << "header only";
  const ConfigBank* active = plugin()->activeBank;
  EXPECT_EQ(RowLevel(active->rows[1]), 2u);
  EXPECT_EQ(RowLevel(active->rows[47]), 0u) << "the earlier policy's row is gone";
  EXPECT_EQ(std::vector(active->map, active->map + 2), (std::vector<ULONG>{2, 0}));
  EXPECT_EQ(active->recordCount, 3u);
}

}  // namespace
}  // namespace enginetest
