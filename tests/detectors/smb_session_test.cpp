// SMB and NetBIOS session detectors (6095, 6097, 6100, 6119, 6157, 6175):
// comparison boundaries, minimum lengths, ports, the two-call payload fetch,
// and the short-message flood window.
#include "detector_fixture.h"

namespace dtest {
namespace {

class SmbSessionTest : public DetectorTest {};

// ---- 6095 -------------------------------------------------------------------------

TEST_F(SmbSessionTest, SecondaryTransactionOverrun) {
  const NipsDetector d = DetectSmbSecondaryTransactionOverrun;
  EXPECT_EQ(RunTcp(d, 445, Trans2Secondary(100, 101)), kDetectMatch);
  EXPECT_EQ(RunTcp(d, 445, Trans2Secondary(100, 100)), kDetectNoMatch);
  // 64 bytes hold the compared word, but the Transaction2 test needs 65.
  EXPECT_EQ(RunTcp(d, 445, Trans2Secondary(100, 0xFFFF, 64)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 139, TransSecondary(100, 101)), kDetectMatch);
  EXPECT_EQ(RunTcp(d, 139, TransSecondary(100, 100)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 139, TransSecondary(100, 0xFFFF, 54)), kDetectNoMatch);
  // Each command compares its own field.
  Bytes wrongField = Trans2Secondary(100, 0);
  PutU16Le(&wrongField, 47, 0xFFFF);
  EXPECT_EQ(RunTcp(d, 445, wrongField), kDetectNoMatch);
  Bytes transaction = TransSecondary(100, 101);
  transaction[8] = 0x25;
  EXPECT_EQ(RunTcp(d, 445, transaction), kDetectNoMatch);
}

// ---- 6097 -------------------------------------------------------------------------

TEST_F(SmbSessionTest, Smb2IoctlOversizedField) {
  const NipsDetector d = DetectSmb2IoctlOversizedField;
  EXPECT_EQ(RunTcp(d, 445, Smb2Ioctl(0xD0, 1792, 0)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, Smb2Ioctl(0xD0, 1793, 0)), kDetectMatch);
  EXPECT_EQ(RunTcp(d, 139, Smb2Ioctl(0xCC, 0, 1792)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 139, Smb2Ioctl(0xCC, 0, 1793)), kDetectMatch);
  // Each kind tests only its own word.
  EXPECT_EQ(RunTcp(d, 445, Smb2Ioctl(0xD0, 0, 0xFFFFFFFF)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, Smb2Ioctl(0xCC, 0xFFFFFFFF, 0)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, Smb2Ioctl(0xCE, 0xFFFFFFFF, 0xFFFFFFFF)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, Smb2Ioctl(0x1D0, 0xFFFFFFFF, 0xFFFFFFFF)), kDetectNoMatch);
  Bytes notIoctl = Smb2Ioctl(0xD0, 5000, 0);
  PutU16Le(&notIoctl, 16, 10);
  EXPECT_EQ(RunTcp(d, 445, notIoctl), kDetectNoMatch);
  // 159 bytes are never examined.
  Bytes cut = Smb2Ioctl(0xD0, 5000, 0);
  cut.pop_back();
  auto packet = TcpTo(445, cut);
  EXPECT_EQ(Run(d, *packet), kDetectNoMatch);
  EXPECT_EQ(packet->payloadLengthArguments(), std::vector<ULONG64>{0});
}

// ---- 6119 -------------------------------------------------------------------------

TEST_F(SmbSessionTest, Trans2SessionSetupProbeOnPort445Only) {
  const NipsDetector d = DetectSmbTrans2SessionSetupProbe;
  EXPECT_EQ(RunTcp(d, 445, Trans2Probe(65, 14)), kDetectMatch);
  EXPECT_EQ(RunTcp(d, 139, Trans2Probe(65, 14)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, Trans2Probe(64, 14)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, Trans2Probe(65, 13)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, Trans2Probe(65, 14, 66)), kDetectNoMatch);
  Bytes secondary = Trans2Probe(65, 14);
  secondary[8] = 0x33;
  EXPECT_EQ(RunTcp(d, 445, secondary), kDetectNoMatch);
}

// ---- 6157 -------------------------------------------------------------------------

TEST_F(SmbSessionTest, CompressionSizeOverflow) {
  const NipsDetector d = DetectSmb2CompressionSizeOverflow;
  EXPECT_EQ(RunTcp(d, 445, CompressionTransform(0xFFFFFFFF, 1)), kDetectMatch);
  EXPECT_EQ(RunTcp(d, 139, CompressionTransform(0x80000000, 0x80000000)), kDetectMatch);
  EXPECT_EQ(RunTcp(d, 445, CompressionTransform(0xFFFFFFFF, 0)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, CompressionTransform(0x7FFFFFFF, 0x80000000)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, CompressionTransform(0, 0xFFFFFFFF)), kDetectNoMatch);
  // 19 bytes cannot hold the offset field.
  Bytes cut = CompressionTransform(0xFFFFFFFF, 1);
  cut.pop_back();
  EXPECT_EQ(RunTcp(d, 445, cut), kDetectNoMatch);
  Bytes smb2 = CompressionTransform(0xFFFFFFFF, 1);
  smb2[4] = 0xFE;
  EXPECT_EQ(RunTcp(d, 445, smb2), kDetectNoMatch);
  // Below 4 bytes only the length is asked; from 4 on the pointer too.
  auto three = TcpTo(445, Bytes(3, 0));
  EXPECT_EQ(Run(d, *three), kDetectNoMatch);
  EXPECT_EQ(three->payloadLengthArguments(), std::vector<ULONG64>{0});
  auto four = TcpTo(445, Bytes(4, 0));
  EXPECT_EQ(Run(d, *four), kDetectNoMatch);
  EXPECT_EQ(four->payloadLengthArguments(), (std::vector<ULONG64>{0, 4}));
}

// ---- 6175 -------------------------------------------------------------------------

TEST_F(SmbSessionTest, SisCopyFileRequest) {
  const NipsDetector d = DetectSmbSisCopyFileRequest;
  EXPECT_EQ(RunTcp(d, 445, SisCopy()), kDetectMatch);
  EXPECT_EQ(RunTcp(d, 139, SisCopy()), kDetectMatch);
  EXPECT_EQ(RunTcp(d, 445, SisCopy(1)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, SisCopy(2, 0x00090101)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, SisCopy(2, 0x01000900)), kDetectNoMatch);  // byte order
  EXPECT_EQ(RunTcp(d, 445, SisCopy(2, 0x00090100, 0)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, SisCopy(2, 0x00090100, 2)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(d, 445, SisCopy(2, 0x00090100, 1, 97)), kDetectNoMatch);
}

// ---- Shared rules -----------------------------------------------------------------

struct Attack {
  const char* name;
  NipsDetector detector;
  Bytes payload;
  size_t minimumLength;
  bool port139;
};

std::vector<Attack> Attacks() {
  return {
      {"6095", DetectSmbSecondaryTransactionOverrun, Trans2Secondary(1, 2), 36, true},
      {"6097", DetectSmb2IoctlOversizedField, Smb2Ioctl(0xD0, 0x701, 0), 160, true},
      {"6119", DetectSmbTrans2SessionSetupProbe, Trans2Probe(65, 14), 67, false},
      {"6157", DetectSmb2CompressionSizeOverflow, CompressionTransform(0xFFFFFFFF, 1), 4, true},
      {"6175", DetectSmbSisCopyFileRequest, SisCopy(), 98, true},
  };
}

TEST_F(SmbSessionTest, PortsExaminedAndNot) {
  for (const Attack& a : Attacks()) {
    SCOPED_TRACE(a.name);
    EXPECT_EQ(RunTcp(a.detector, 445, a.payload), kDetectMatch);
    EXPECT_EQ(RunTcp(a.detector, 139, a.payload), a.port139 ? kDetectMatch : kDetectNoMatch);
    for (uint16_t port : {138, 140, 444, 446, 0x8B00, 0xBD01, 135}) {
      EXPECT_EQ(RunTcp(a.detector, port, a.payload), kDetectNoMatch) << port;
    }
    // Only the destination port counts: a reply from 445 is not examined.
    auto reply = FakePacket::Tcp("10.9.9.9", 445, "10.1.1.1", 50123, kDataFlags, a.payload);
    EXPECT_EQ(Run(a.detector, *reply), kDetectNoMatch);
  }
}

TEST_F(SmbSessionTest, LengthFirstThenPointerWithTheLearnedLength) {
  for (const Attack& a : Attacks()) {
    SCOPED_TRACE(a.name);
    auto packet = TcpTo(445, a.payload);
    EXPECT_EQ(Run(a.detector, *packet), kDetectMatch);
    EXPECT_EQ(packet->payloadLengthArguments(), (std::vector<ULONG64>{0, a.payload.size()}));
    auto below = TcpTo(445, Bytes(a.payload.begin(), a.payload.begin() + a.minimumLength - 1));
    EXPECT_EQ(Run(a.detector, *below), kDetectNoMatch);
    EXPECT_EQ(below->payloadLengthArguments(), std::vector<ULONG64>{0});
    // A foreign port is turned away before the payload is asked for.
    auto foreign = TcpTo(80, a.payload);
    EXPECT_EQ(Run(a.detector, *foreign), kDetectNoMatch);
    EXPECT_TRUE(foreign->payloadLengthArguments().empty());
  }
}

TEST_F(SmbSessionTest, ForeignHeadersAndTruncationNeverMatch) {
  for (const Attack& a : Attacks()) {
    SCOPED_TRACE(a.name);
    Bytes notSession = a.payload;
    notSession[0] = 0x85;  // keep-alive
    EXPECT_EQ(RunTcp(a.detector, 445, notSession), kDetectNoMatch);
    Bytes badId = a.payload;
    badId[5] = 's';
    EXPECT_EQ(RunTcp(a.detector, 445, badId), kDetectNoMatch);
    for (size_t length = 0; length < a.payload.size(); ++length) {
      Bytes prefix(a.payload.begin(), a.payload.begin() + length);
      EXPECT_EQ(RunTcp(a.detector, 445, prefix), kDetectNoMatch) << length;
    }
  }
}

// ---- 6100: short-message flood --------------------------------------------------

constexpr char kFlooder[] = "10.8.8.8";

class ShortMessageFloodTest : public DetectorTest {
 protected:
  static ULONG Send(const Bytes& payload = Bytes(4, 0), uint16_t port = 139,
                    const std::string& source = kFlooder) {
    auto packet = TcpTo(port, payload, source);
    return Run(DetectNetbiosShortMessageFlood, *packet);
  }
  static HostRecord Record(const std::string& source = kFlooder) {
    HostRecord copy{};
    EXPECT_TRUE(Snapshot(source, &copy));
    return copy;
  }
};

TEST_F(ShortMessageFloodTest, TwoHundredFirstWithinTheWindowMatches) {
  for (int i = 1; i <= 200; ++i) {
    ASSERT_EQ(Send(Bytes(4 + i % 33, 0)), kDetectNoMatch) << i;
    if (i % 10 == 0) kt::AdvanceSystemTimeMs(250);  // 5000 ms after the first by the 200th
  }
  EXPECT_EQ(Record().sig6100Count, 200u);
  EXPECT_EQ(Send(), kDetectMatch);
  EXPECT_FALSE(HostPresent(kFlooder));
  // A new record, counting from 1.
  EXPECT_EQ(Send(), kDetectNoMatch);
  EXPECT_EQ(Record().sig6100Count, 1u);
}

TEST_F(ShortMessageFloodTest, WindowCounts5000AndRestarts5001) {
  ASSERT_EQ(Send(), kDetectNoMatch);
  const ULONG start = CurrentStampMs();
  kt::AdvanceSystemTimeMs(5000);
  ASSERT_EQ(Send(), kDetectNoMatch);
  EXPECT_EQ(Record().sig6100Count, 2u);
  kt::AdvanceSystemTimeMs(1);
  ASSERT_EQ(Send(), kDetectNoMatch);
  HostRecord record = Record();
  EXPECT_EQ(record.sig6100Count, 1u);
  EXPECT_EQ(record.sig6100Stamp, start + 5001);
}

TEST_F(ShortMessageFloodTest, LengthBoundsAndPortsLeaveTheStoreAlone) {
  for (size_t length : {0u, 3u, 37u, 100u}) {
    const std::string source = "10.8.1." + std::to_string(length);
    ASSERT_EQ(Send(Bytes(length, 0), 445, source), kDetectNoMatch);
    EXPECT_FALSE(HostPresent(source)) << length;
  }
  for (uint16_t port : {138, 140, 444, 446, 0x8B00, 0xBD01}) {
    const std::string source = "10.8.2." + std::to_string(port & 0xFF);
    ASSERT_EQ(Send(Bytes(4, 0), port, source), kDetectNoMatch);
    EXPECT_FALSE(HostPresent(source)) << port;
  }
  for (size_t length : {4u, 36u}) {
    const std::string source = "10.8.3." + std::to_string(length);
    ASSERT_EQ(Send(Bytes(length, 0), 445, source), kDetectNoMatch);
    EXPECT_EQ(Record(source).sig6100Count, 1u) << length;
  }
}

TEST_F(ShortMessageFloodTest, OtherMessageTypesCreateTheRecordButCountNothing) {
  Bytes keepAlive = {0x85, 0, 0, 0};
  ASSERT_EQ(Send(keepAlive), kDetectNoMatch);
  HostRecord record = Record();
  EXPECT_EQ(record.sig6100Count, 0u);
  EXPECT_EQ(record.sig6100Stamp, 0u);
  ASSERT_EQ(Send(), kDetectNoMatch);
  ASSERT_EQ(Send(keepAlive), kDetectNoMatch);
  EXPECT_EQ(Record().sig6100Count, 1u);
}

TEST_F(ShortMessageFloodTest, FetchOrderAndCreationFailure) {
  auto packet = TcpTo(445, Bytes(20, 0), kFlooder);
  ASSERT_EQ(Run(DetectNetbiosShortMessageFlood, *packet), kDetectNoMatch);
  EXPECT_EQ(packet->payloadLengthArguments(), (std::vector<ULONG64>{0, 20}));
  kt::FailAllocationsWithTag(kTagHostRecord);
  EXPECT_EQ(Send(Bytes(4, 0), 445, "10.8.4.1"), kDetectError);
  // An existing record needs no allocation.
  EXPECT_EQ(Send(), kDetectNoMatch);
  EXPECT_EQ(Record().sig6100Count, 2u);
}

}  // namespace
}  // namespace dtest
