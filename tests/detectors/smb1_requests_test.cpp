// SMB1 request detectors (2230, 2231, 2232, 2233, 3718): field offsets, the
// boundaries of each count, minimum lengths, ports and fetch order.
#include "detector_fixture.h"

namespace dtest {
namespace {

class Smb1RequestsTest : public DetectorTest {};

// ---- DetectNone --------------------------------------------------------------

TEST_F(Smb1RequestsTest, NoneNeverMatchesAndReadsNothing) {
  auto packet = TcpTo(445, Negotiate(1));
  EXPECT_EQ(Run(DetectNone, *packet), kDetectNoMatch);
  EXPECT_TRUE(packet->payloadLengthArguments().empty());
}

// ---- 2231 ----------------------------------------------------------------------

TEST_F(Smb1RequestsTest, NegotiateHighPid) {
  EXPECT_EQ(RunTcp(DetectSmbNegotiateHighPid, 445, Negotiate(1)), kDetectMatch);
  EXPECT_EQ(RunTcp(DetectSmbNegotiateHighPid, 139, Negotiate(0x8000)), kDetectMatch);
  EXPECT_EQ(RunTcp(DetectSmbNegotiateHighPid, 445, Negotiate(0)), kDetectNoMatch);
  // Anonymous tree and user ids together silence it whatever the high word.
  EXPECT_EQ(RunTcp(DetectSmbNegotiateHighPid, 445, Negotiate(1, 0xFFFF, 0xFFFF)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectSmbNegotiateHighPid, 445, Negotiate(1, 0xFFFF, 0)), kDetectMatch);
  EXPECT_EQ(RunTcp(DetectSmbNegotiateHighPid, 445, Negotiate(1, 0, 0xFFFF)), kDetectMatch);
  // Another command with the same fields.
  Bytes other = Negotiate(1);
  other[8] = 0x73;
  EXPECT_EQ(RunTcp(DetectSmbNegotiateHighPid, 445, other), kDetectNoMatch);
}

TEST_F(Smb1RequestsTest, NegotiateLengthIsAskedBeforeThePointer) {
  auto shortPacket = TcpTo(445, Negotiate(1, 0, 0, 35));
  EXPECT_EQ(Run(DetectSmbNegotiateHighPid, *shortPacket), kDetectNoMatch);
  EXPECT_EQ(shortPacket->payloadLengthArguments(), std::vector<ULONG64>({0}));

  auto packet = TcpTo(445, Negotiate(1));
  EXPECT_EQ(Run(DetectSmbNegotiateHighPid, *packet), kDetectMatch);
  EXPECT_EQ(packet->payloadLengthArguments(), std::vector<ULONG64>({0, 36}));
  // Longer payloads are fine too.
  EXPECT_EQ(RunTcp(DetectSmbNegotiateHighPid, 445, Negotiate(1, 0, 0, 37)), kDetectMatch);
}

// ---- 2232 ----------------------------------------------------------------------

TEST_F(Smb1RequestsTest, NtTransactCreateCountBoundaries) {
  struct Case {
    uint32_t maxParams, params;
    ULONG expected;
  } cases[] = {
      {69, 54, kDetectNoMatch},
      {68, 54, kDetectMatch},
      {69, 53, kDetectMatch},
      {0, 0xFFFFFFFF, kDetectMatch},
      // Unsigned: a huge value is not "below".
      {0x80000000u, 0x80000000u, kDetectNoMatch},
      {70, 55, kDetectNoMatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.maxParams << "/" << c.params);
    EXPECT_EQ(
        RunTcp(DetectNtTransactCreateSmallParams, 445, NtTransactCreate(c.maxParams, c.params)),
        c.expected);
  }
  EXPECT_EQ(RunTcp(DetectNtTransactCreateSmallParams, 139, NtTransactCreate(68, 54)), kDetectMatch);
  EXPECT_EQ(RunTcp(DetectNtTransactCreateSmallParams, 445, NtTransactCreate(68, 54, 2)),
            kDetectNoMatch);
}

TEST_F(Smb1RequestsTest, NtTransactFunctionFieldMustFit) {
  // 73 passes the length test, but the function at 73..74 needs 75 bytes.
  for (size_t length : {72u, 73u, 74u}) {
    auto packet = TcpTo(445, NtTransactCreate(0, 0, 1, length));
    EXPECT_EQ(Run(DetectNtTransactCreateSmallParams, *packet), kDetectNoMatch) << length;
    EXPECT_EQ(packet->payloadLengthArguments().size(), length < 73 ? 1u : 2u) << length;
  }
  EXPECT_EQ(RunTcp(DetectNtTransactCreateSmallParams, 445, NtTransactCreate(0, 0, 1, 75)),
            kDetectMatch);
}

// ---- 2233 ----------------------------------------------------------------------

TEST_F(Smb1RequestsTest, Trans2OpenCountBoundaries) {
  EXPECT_EQ(RunTcp(DetectTrans2Open2SmallParams, 445, Trans2(29, 100, 0)), kDetectMatch);
  EXPECT_EQ(RunTcp(DetectTrans2Open2SmallParams, 445, Trans2(29, 100, 1)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectTrans2Open2SmallParams, 445, Trans2(30, 29, 0)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectTrans2Open2SmallParams, 139, Trans2(30, 28, 0)), kDetectMatch);
  // Too short for the setup word (65 passes the length test).
  EXPECT_EQ(RunTcp(DetectTrans2Open2SmallParams, 445, Trans2(0, 0, 0, 66)), kDetectNoMatch);
  auto below = TcpTo(445, Trans2(0, 0, 0, 64));
  EXPECT_EQ(Run(DetectTrans2Open2SmallParams, *below), kDetectNoMatch);
  EXPECT_EQ(below->payloadLengthArguments(), std::vector<ULONG64>({0}));
  auto packet = TcpTo(445, Trans2(0, 0, 0, 67));
  EXPECT_EQ(Run(DetectTrans2Open2SmallParams, *packet), kDetectMatch);
  EXPECT_EQ(packet->payloadLengthArguments(), std::vector<ULONG64>({0, 67}));
}

// ---- 3718 ----------------------------------------------------------------------

TEST_F(Smb1RequestsTest, RapEnumerationOpcodesAndCounts) {
  for (uint16_t opcode : {0, 104, 215}) {
    EXPECT_EQ(RunTcp(DetectRapEnumZeroMaxCounts, 139, RapTransaction(opcode, 0, 100)), kDetectMatch)
        << opcode;
    EXPECT_EQ(RunTcp(DetectRapEnumZeroMaxCounts, 139, RapTransaction(opcode, 100, 0)), kDetectMatch)
        << opcode;
  }
  EXPECT_EQ(RunTcp(DetectRapEnumZeroMaxCounts, 139, RapTransaction(105, 0, 0)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectRapEnumZeroMaxCounts, 139, RapTransaction(104, 1, 1)), kDetectNoMatch);
  // Port 445 is not examined.
  EXPECT_EQ(RunTcp(DetectRapEnumZeroMaxCounts, 445, RapTransaction(104, 0, 100)), kDetectNoMatch);
  // No parameters, or a zero parameter offset.
  EXPECT_EQ(RunTcp(DetectRapEnumZeroMaxCounts, 139, RapTransaction(104, 0, 0, 84, 76, 0)),
            kDetectNoMatch);
  Bytes zeroOffset = RapTransaction(104, 0, 0);
  PutU16Le(&zeroOffset, 57, 0);
  PutU16Le(&zeroOffset, 4, 104);  // what offset 0 would point at
  EXPECT_EQ(RunTcp(DetectRapEnumZeroMaxCounts, 139, zeroOffset), kDetectNoMatch);
}

TEST_F(Smb1RequestsTest, RapParameterOffsetMustStayInside) {
  // The opcode at o + 4 needs o + 6 bytes: o = 78 fits exactly in 84 bytes,
  // o = 79 would point at the last byte.
  EXPECT_EQ(RunTcp(DetectRapEnumZeroMaxCounts, 139, RapTransaction(104, 0, 0, 84, 78)),
            kDetectMatch);
  Bytes lastByte = RapTransaction(104, 0, 0, 84, 79);
  lastByte[83] = 104;
  EXPECT_EQ(RunTcp(DetectRapEnumZeroMaxCounts, 139, lastByte), kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectRapEnumZeroMaxCounts, 139, RapTransaction(104, 0, 0, 84, 0xFFFF)),
            kDetectNoMatch);
}

TEST_F(Smb1RequestsTest, RapAsksForThePayloadOnce) {
  auto below = TcpTo(139, RapTransaction(104, 0, 0, 83, 70));
  EXPECT_EQ(Run(DetectRapEnumZeroMaxCounts, *below), kDetectNoMatch);
  EXPECT_EQ(below->payloadLengthArguments().size(), 1u);
  auto packet = TcpTo(139, RapTransaction(104, 0, 0));
  EXPECT_EQ(Run(DetectRapEnumZeroMaxCounts, *packet), kDetectMatch);
  EXPECT_EQ(packet->payloadLengthArguments().size(), 1u);
}

// ---- Shared rules ---------------------------------------------------------------

struct Attack {
  const char* name;
  NipsDetector detector;
  Bytes payload;
  bool port139;
  bool port445;
};

std::vector<Attack> Attacks() {
  return {
      {"2231", DetectSmbNegotiateHighPid, Negotiate(1), true, true},
      {"2232", DetectNtTransactCreateSmallParams, NtTransactCreate(68, 54), true, true},
      {"2233", DetectTrans2Open2SmallParams, Trans2(29, 0, 0), true, true},
      {"3718", DetectRapEnumZeroMaxCounts, RapTransaction(104, 0, 100), true, false},
  };
}

TEST_F(Smb1RequestsTest, PortsExaminedAndNot) {
  for (const Attack& a : Attacks()) {
    SCOPED_TRACE(a.name);
    EXPECT_EQ(RunTcp(a.detector, 139, a.payload), a.port139 ? kDetectMatch : kDetectNoMatch);
    EXPECT_EQ(RunTcp(a.detector, 445, a.payload), a.port445 ? kDetectMatch : kDetectNoMatch);
    // Neighbours, and the byte-swapped values (what an unswapped compare would see).
    for (uint16_t port : {138, 140, 444, 446, 0x8B00, 0xBD01, 80}) {
      EXPECT_EQ(RunTcp(a.detector, port, a.payload), kDetectNoMatch) << port;
    }
  }
}

TEST_F(Smb1RequestsTest, ForeignHeadersNeverMatch) {
  for (const Attack& a : Attacks()) {
    SCOPED_TRACE(a.name);
    const uint16_t port = a.port445 ? 445 : 139;
    Bytes notSession = a.payload;
    notSession[0] = 0x81;  // session request, not a session message
    EXPECT_EQ(RunTcp(a.detector, port, notSession), kDetectNoMatch);
    Bytes smb2 = a.payload;
    smb2[4] = 0xFE;
    EXPECT_EQ(RunTcp(a.detector, port, smb2), kDetectNoMatch);
    Bytes badId = a.payload;
    badId[7] = 'b';
    EXPECT_EQ(RunTcp(a.detector, port, badId), kDetectNoMatch);
    EXPECT_EQ(RunTcp(a.detector, port, Bytes()), kDetectNoMatch);
  }
}

// Every prefix of every attack: no read past the end (ASan) and no match
// below the real minimum length.
TEST_F(Smb1RequestsTest, TruncatedAttacksNeverMatch) {
  const size_t realMinimum[] = {36, 75, 67, 84};
  std::vector<Attack> attacks = Attacks();
  for (size_t i = 0; i < attacks.size(); ++i) {
    const Attack& a = attacks[i];
    const uint16_t port = a.port445 ? 445 : 139;
    for (size_t length = 0; length < a.payload.size(); ++length) {
      Bytes prefix(a.payload.begin(), a.payload.begin() + length);
      ULONG result = RunTcp(a.detector, port, prefix);
      if (length < realMinimum[i]) {
        EXPECT_EQ(result, kDetectNoMatch) << a.name << " " << length;
      }
    }
  }
}

}  // namespace
}  // namespace dtest
