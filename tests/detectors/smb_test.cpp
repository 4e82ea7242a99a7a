// SMB detectors (3804, 3802, 6029, 6031, 6038, 6022, 6045): mailslot name
// areas, byte-count limits, SMB2 write and reply checks, and the NTLM
// authenticate burst window with its Transaction2 / Tree Disconnect tally.
#include "detector_fixture.h"

namespace dtest {
namespace {

class SmbTest : public DetectorTest {};

// ---- Mailslot writes --------------------------------------------------------------

TEST_F(SmbTest, MailslotEmptyNameAreaMatchesOnlyTheUnterminatedCheck) {
  Bytes b = MailslotWrite("");
  ASSERT_EQ(b.size(), 73u);
  EXPECT_EQ(RunTcp(DetectMailslotNameUnterminated, 445, b), kDetectMatch);
  EXPECT_EQ(RunTcp(DetectMailslotWriteSmallMaxParams, 445, b), kDetectNoMatch);
}

TEST_F(SmbTest, MailslotNameWithNulAnywhereIsTerminated) {
  const std::string name = "\\MAILSLOT\\BROWSE";
  EXPECT_EQ(RunTcp(DetectMailslotNameUnterminated, 139, MailslotWrite(name)), kDetectMatch);
  for (size_t i = 0; i <= name.size(); ++i) {
    std::string withNul = name;
    withNul.insert(i, 1, '\0');
    EXPECT_EQ(RunTcp(DetectMailslotNameUnterminated, 139, MailslotWrite(withNul)), kDetectNoMatch)
        << i;
  }
  // A NUL right after the name area is outside it.
  Bytes b = MailslotWrite(name, 0, 1);
  EXPECT_EQ(RunTcp(DetectMailslotNameUnterminated, 139, b), kDetectMatch);
}

TEST_F(SmbTest, MailslotSmallMaxParams) {
  const std::string name = std::string("\\MAILSLOT\\BROWSE") + '\0';
  EXPECT_EQ(RunTcp(DetectMailslotWriteSmallMaxParams, 445, MailslotWrite(name, 0)), kDetectMatch);
  EXPECT_EQ(RunTcp(DetectMailslotWriteSmallMaxParams, 445, MailslotWrite(name, 1)), kDetectMatch);
  EXPECT_EQ(RunTcp(DetectMailslotWriteSmallMaxParams, 445, MailslotWrite(name, 2)), kDetectNoMatch);
  // The terminated name never matches 3804.
  EXPECT_EQ(RunTcp(DetectMailslotNameUnterminated, 445, MailslotWrite(name, 0)), kDetectNoMatch);
  // Letters compare in any case; other bytes exactly; exactly 10 bytes suffice.
  EXPECT_EQ(RunTcp(DetectMailslotWriteSmallMaxParams, 445, MailslotWrite("\\mAiLsLoT\\", 1)),
            kDetectMatch);
  EXPECT_EQ(RunTcp(DetectMailslotWriteSmallMaxParams, 445, MailslotWrite("\\MAILSLOT/x", 1)),
            kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectMailslotWriteSmallMaxParams, 445, MailslotWrite("/MAILSLOT\\x", 1)),
            kDetectNoMatch);
  // n = 9 is too short although the payload holds the whole prefix.
  Bytes nineBytes = MailslotWrite("\\MAILSLOT\\", 1);
  PutU16Le(&nineBytes, 71, 5 + 9);
  EXPECT_EQ(RunTcp(DetectMailslotWriteSmallMaxParams, 445, nineBytes), kDetectNoMatch);
  std::string withNul = "\\MAILSLOT\\";
  withNul[4] = '\0';
  EXPECT_EQ(RunTcp(DetectMailslotWriteSmallMaxParams, 445, MailslotWrite(withNul, 1)),
            kDetectNoMatch);
  // Only letters fold: '|' is '\\' with the case bit set.
  EXPECT_EQ(RunTcp(DetectMailslotWriteSmallMaxParams, 445, MailslotWrite("|MAILSLOT|", 1)),
            kDetectNoMatch);
}

TEST_F(SmbTest, MailslotHeaderAndCounts) {
  const std::string name = "\\MAILSLOT\\BROWSE";
  auto both = [&](const Bytes& b) {
    return std::make_pair(RunTcp(DetectMailslotNameUnterminated, 445, b),
                          RunTcp(DetectMailslotWriteSmallMaxParams, 445, b));
  };
  const auto none = std::make_pair(kDetectNoMatch, kDetectNoMatch);
  EXPECT_EQ(both(MailslotWrite(name, 0)), std::make_pair(kDetectMatch, kDetectMatch));
  Bytes b = MailslotWrite(name, 0);
  PutU8(&b, 63, 2);  // setup count
  EXPECT_EQ(both(b), none);
  b = MailslotWrite(name, 0);
  PutU16Le(&b, 65, 2);  // not a write
  EXPECT_EQ(both(b), none);
  b = MailslotWrite(name, 0);
  PutU8(&b, 8, 0x32);  // Transaction2
  EXPECT_EQ(both(b), none);
  b = MailslotWrite(name, 0);
  PutU16Le(&b, 71, 4);  // byte count below the data count (5)
  EXPECT_EQ(both(b), none);
  // Name area longer than the payload: n + 73 one over, then exactly.
  b = MailslotWrite(name, 0);
  PutU16Le(&b, 71, static_cast<uint16_t>(5 + name.size() + 1));
  EXPECT_EQ(both(b), none);
  b.push_back('X');
  EXPECT_EQ(both(b), std::make_pair(kDetectMatch, kDetectMatch));
  EXPECT_EQ(RunTcp(DetectMailslotNameUnterminated, 446, MailslotWrite(name)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectMailslotWriteSmallMaxParams, 138, MailslotWrite(name)), kDetectNoMatch);
}

TEST_F(SmbTest, MailslotLengthTestComesFirst) {
  // 3804 asks for the pointer from 71 bytes on, 3802 from 73.
  for (size_t length : {70u, 71u, 72u, 73u}) {
    Bytes b = Smb1(length, 0x25);
    auto p3804 = TcpTo(445, b);
    EXPECT_EQ(Run(DetectMailslotNameUnterminated, *p3804), kDetectNoMatch);
    EXPECT_EQ(p3804->payloadLengthArguments(),
              (length < 71 ? std::vector<ULONG64>{0} : std::vector<ULONG64>{0, length}));
    auto p3802 = TcpTo(445, b);
    EXPECT_EQ(Run(DetectMailslotWriteSmallMaxParams, *p3802), kDetectNoMatch);
    EXPECT_EQ(p3802->payloadLengthArguments(),
              (length < 73 ? std::vector<ULONG64>{0} : std::vector<ULONG64>{0, length}));
  }
  // A short payload to a foreign port is turned away by the length alone.
  auto foreign = TcpTo(80, Smb1(40, 0x25));
  EXPECT_EQ(Run(DetectMailslotNameUnterminated, *foreign), kDetectNoMatch);
  EXPECT_EQ(foreign->payloadLengthArguments().size(), 1u);
}

// ---- Byte counts --------------------------------------------------------------------

TEST_F(SmbTest, SearchByteCountAbove4000) {
  EXPECT_EQ(RunTcp(DetectSmbSearchLongBytes, 445, ByteCountRequest(0x81, 41, 4000)),
            kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectSmbSearchLongBytes, 445, ByteCountRequest(0x81, 41, 4001)), kDetectMatch);
  EXPECT_EQ(RunTcp(DetectSmbSearchLongBytes, 139, ByteCountRequest(0x81, 41, 0xFFFF)),
            kDetectMatch);
  EXPECT_EQ(RunTcp(DetectSmbSearchLongBytes, 445, ByteCountRequest(0x29, 41, 4001)),
            kDetectNoMatch);
  // 42 bytes pass the 36-byte test but cannot hold the field.
  Bytes cut = ByteCountRequest(0x81, 41, 0xFFFF);
  cut.pop_back();
  EXPECT_EQ(RunTcp(DetectSmbSearchLongBytes, 445, cut), kDetectNoMatch);
}

TEST_F(SmbTest, CopyAndRenameByteCountsAtTheirOwnOffsets) {
  EXPECT_EQ(RunTcp(DetectSmbRenameCopyLongBytes, 445, ByteCountRequest(0x29, 43, 4000)),
            kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectSmbRenameCopyLongBytes, 445, ByteCountRequest(0x29, 43, 4001)),
            kDetectMatch);
  EXPECT_EQ(RunTcp(DetectSmbRenameCopyLongBytes, 139, ByteCountRequest(0x07, 39, 4000)),
            kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectSmbRenameCopyLongBytes, 139, ByteCountRequest(0x07, 39, 4001)),
            kDetectMatch);
  // Each command reads only its own offset.
  Bytes copyAtRenameOffset = Smb1(45, 0x29);
  PutU16Le(&copyAtRenameOffset, 39, 5000);
  EXPECT_EQ(RunTcp(DetectSmbRenameCopyLongBytes, 445, copyAtRenameOffset), kDetectNoMatch);
  Bytes renameAtCopyOffset = Smb1(45, 0x07);
  PutU16Le(&renameAtCopyOffset, 43, 5000);
  EXPECT_EQ(RunTcp(DetectSmbRenameCopyLongBytes, 445, renameAtCopyOffset), kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectSmbRenameCopyLongBytes, 445, ByteCountRequest(0x81, 43, 5000)),
            kDetectNoMatch);
}

// ---- SMB2 -------------------------------------------------------------------------------

TEST_F(SmbTest, Smb2WriteDataOffsetAndPayloadLength) {
  EXPECT_EQ(RunTcp(DetectSmb2WriteHighDataOffset, 445, Smb2Write(257, 341)), kDetectMatch);
  EXPECT_EQ(RunTcp(DetectSmb2WriteHighDataOffset, 445, Smb2Write(257, 340)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectSmb2WriteHighDataOffset, 139, Smb2Write(256, 1000)), kDetectNoMatch);
  EXPECT_EQ(RunTcp(DetectSmb2WriteHighDataOffset, 139, Smb2Write(0xFFFF, 1000)), kDetectMatch);
  Bytes read = Smb2Write(300, 400);
  PutU16Le(&read, 16, 8);
  EXPECT_EQ(RunTcp(DetectSmb2WriteHighDataOffset, 445, read), kDetectNoMatch);
  Bytes smb1 = Smb2Write(300, 400);
  smb1[4] = 0xFF;
  EXPECT_EQ(RunTcp(DetectSmb2WriteHighDataOffset, 445, smb1), kDetectNoMatch);
  auto shortPacket = TcpTo(445, Smb2(67, 9));
  EXPECT_EQ(Run(DetectSmb2WriteHighDataOffset, *shortPacket), kDetectNoMatch);
  EXPECT_EQ(shortPacket->payloadLengthArguments(), std::vector<ULONG64>{0});
  auto packet = TcpTo(445, Smb2Write(300, 400));
  EXPECT_EQ(Run(DetectSmb2WriteHighDataOffset, *packet), kDetectMatch);
  EXPECT_EQ(packet->payloadLengthArguments(), (std::vector<ULONG64>{0, 400}));
}

TEST_F(SmbTest, Smb2ReplyLengthMismatchFromTheServerPort) {
  auto reply = [](uint16_t sourcePort, const Bytes& payload) {
    auto packet = FakePacket::Tcp("10.9.9.9", sourcePort, "10.1.1.1", 50123, kDataFlags, payload);
    return Run(DetectSmb2ReplyLengthMismatch, *packet);
  };
  EXPECT_EQ(reply(445, Smb2Reply(100, 96)), kDetectNoMatch);
  EXPECT_EQ(reply(445, Smb2Reply(100, 95)), kDetectMatch);
  EXPECT_EQ(reply(139, Smb2Reply(100, 97)), kDetectMatch);
  EXPECT_EQ(reply(139, Smb2Reply(36, 32)), kDetectNoMatch);
  EXPECT_EQ(reply(139, Smb2Reply(36, 0)), kDetectMatch);
  // Only bytes 2..3 of the NetBIOS length count: a high byte is not read.
  Bytes highByte = Smb2Reply(100, 96);
  highByte[1] = 1;
  EXPECT_EQ(reply(445, highByte), kDetectNoMatch);
  // Structure size low byte must be 0x40.
  Bytes badSize = Smb2Reply(100, 95);
  badSize[8] = 0x41;
  EXPECT_EQ(reply(445, badSize), kDetectNoMatch);
  EXPECT_EQ(reply(444, Smb2Reply(100, 95)), kDetectNoMatch);
  EXPECT_EQ(reply(445, Smb2Reply(35, 0)), kDetectNoMatch);
  // The same packet sent to the server port is not examined.
  EXPECT_EQ(RunTcp(DetectSmb2ReplyLengthMismatch, 445, Smb2Reply(100, 95)), kDetectNoMatch);
}

// ---- NTLM authenticate burst (6045) -------------------------------------------------

constexpr char kClient[] = "10.6.6.6";

class NtlmBurstTest : public DetectorTest {
 protected:
  static ULONG Send(const Bytes& payload, uint16_t port = 445,
                    const std::string& source = kClient) {
    auto packet = TcpTo(port, payload, source);
    return Run(DetectSmbNtlmAuthBurst, *packet);
  }
  static HostRecord Record(const std::string& source = kClient) {
    HostRecord copy{};
    EXPECT_TRUE(Snapshot(source, &copy));
    return copy;
  }
};

TEST_F(NtlmBurstTest, TwentyFirstAuthenticateWithinTheWindowMatches) {
  for (int i = 1; i <= 20; ++i) {
    ASSERT_EQ(Send(NtlmAuthenticate()), kDetectNoMatch) << i;
    kt::AdvanceSystemTimeMs(2000);
  }
  EXPECT_EQ(Record().sig6045Count, 20u);
  EXPECT_EQ(Send(NtlmAuthenticate()), kDetectMatch);
  EXPECT_FALSE(HostPresent(kClient));
  // The next one opens a new window in a new record.
  EXPECT_EQ(Send(NtlmAuthenticate()), kDetectNoMatch);
  HostRecord fresh = Record();
  EXPECT_EQ(fresh.sig6045Count, 1u);
  EXPECT_EQ(fresh.sig6045Stamp, CurrentStampMs());
}

TEST_F(NtlmBurstTest, WindowCounts60000AndRestarts60001) {
  ASSERT_EQ(Send(NtlmAuthenticate()), kDetectNoMatch);
  const ULONG start = CurrentStampMs();
  kt::AdvanceSystemTimeMs(60000);
  ASSERT_EQ(Send(NtlmAuthenticate()), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 2u);
  EXPECT_EQ(Record().sig6045Stamp, start);
  kt::AdvanceSystemTimeMs(1);  // 60001 after the start of the window
  ASSERT_EQ(Send(NtlmAuthenticate()), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 1u);
  EXPECT_EQ(Record().sig6045Stamp, start + 60001);
}

TEST_F(NtlmBurstTest, EveryBlobOfASegmentCountsInAnOpenWindow) {
  Bytes three = SessionSetup(300, {{0, 3}, {40, 3}, {100, 3}});
  // With no window open, the first blob opens it and the scan stops there.
  ASSERT_EQ(Send(three), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 1u);
  ASSERT_EQ(Send(three), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 4u);
  // Six more segments reach 22 in the middle of a segment: match at the 21st.
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Send(three), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 19u);
  EXPECT_EQ(Send(three), kDetectMatch);
}

TEST_F(NtlmBurstTest, OnlyAuthenticateMessagesCount) {
  ASSERT_EQ(Send(NtlmAuthenticate()), kDetectNoMatch);
  ASSERT_EQ(Send(SessionSetup(200, {{30, 1}, {60, 2}})), kDetectNoMatch);
  Bytes lower = NtlmAuthenticate();
  PutText(&lower, 48 + 30, "ntlmssp");
  ASSERT_EQ(Send(lower), kDetectNoMatch);
  Bytes otherCommand = NtlmAuthenticate();
  otherCommand[8] = 0x72;
  ASSERT_EQ(Send(otherCommand), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 1u);
}

TEST_F(NtlmBurstTest, ScanStopsSixtyFourBytesBeforeTheEnd) {
  // k runs while k < length - 64: k = 135 is the last position of a
  // 200-byte payload, k = 136 is past it.
  ASSERT_EQ(Send(NtlmAuthenticate()), kDetectNoMatch);
  ASSERT_EQ(Send(SessionSetup(200, {{135, 3}})), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 2u);
  ASSERT_EQ(Send(SessionSetup(200, {{136, 3}})), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 2u);
  // A blob at the very first scan position (offset 48); one at 47 is missed.
  ASSERT_EQ(Send(SessionSetup(200, {{0, 3}})), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 3u);
  Bytes before = Smb1(200, 0x73);
  PutText(&before, 47, std::string("NTLMSSP") + '\0');
  PutU32Le(&before, 55, 3);
  ASSERT_EQ(Send(before), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 3u);
}

TEST_F(NtlmBurstTest, PortsAndLengthGateTheRecordLookup) {
  ASSERT_EQ(Send(NtlmAuthenticate(), 135), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 1u);
  for (uint16_t port : {139, 134, 136, 444, 446, 0xBD01, 0x8700}) {
    const std::string source = "10.6.7." + std::to_string(port & 0xFF);
    ASSERT_EQ(Send(NtlmAuthenticate(), port, source), kDetectNoMatch);
    EXPECT_FALSE(HostPresent(source)) << port;
  }
  // 105 bytes: nothing looked up; 106 bytes of anything: the record is made.
  Bytes junk(105, 0x41);
  ASSERT_EQ(Send(junk, 445, "10.6.8.1"), kDetectNoMatch);
  EXPECT_FALSE(HostPresent("10.6.8.1"));
  junk.push_back(0x41);
  ASSERT_EQ(Send(junk, 445, "10.6.8.1"), kDetectNoMatch);
  EXPECT_TRUE(HostPresent("10.6.8.1"));
  EXPECT_EQ(Record("10.6.8.1").sig6045Count, 0u);
  // At exactly 106 bytes one scan position (k = 41) exists.
  ASSERT_EQ(Send(SessionSetup(106, {{41, 3}}), 445, "10.6.8.2"), kDetectNoMatch);
  EXPECT_EQ(Record("10.6.8.2").sig6045Count, 1u);
}

TEST_F(NtlmBurstTest, Transaction2TallyAndTreeDisconnectReset) {
  const Bytes trans2 = Smb1(120, 0x32);
  const Bytes disconnect = Smb1(120, 0x71);
  // Count 0: no tally, and a disconnect changes nothing.
  ASSERT_EQ(Send(trans2), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Aux, 0u);
  // Counts 1 to 3 tally; 4 does not.
  for (ULONG count = 1; count <= 4; ++count) {
    ASSERT_EQ(Send(NtlmAuthenticate()), kDetectNoMatch);
    ASSERT_EQ(Send(trans2), kDetectNoMatch);
    EXPECT_EQ(Record().sig6045Aux, count <= 3 ? count : 3u) << count;
  }
  const ULONG stamp = Record().sig6045Stamp;
  ASSERT_EQ(Send(disconnect), kDetectNoMatch);
  HostRecord reset = Record();
  EXPECT_EQ(reset.sig6045Aux, 0u);
  EXPECT_EQ(reset.sig6045Count, 0u);
  EXPECT_EQ(reset.sig6045Stamp, stamp);  // the window start stays
  // A disconnect without a tally leaves the count alone.
  ASSERT_EQ(Send(NtlmAuthenticate()), kDetectNoMatch);
  ASSERT_EQ(Send(disconnect), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 1u);
}

TEST_F(NtlmBurstTest, FailedRecordCreationAborts) {
  kt::FailAllocationsWithTag(kTagHostRecord);
  EXPECT_EQ(Send(NtlmAuthenticate()), kDetectError);
  // Too short or wrong port: no lookup, so no error.
  EXPECT_EQ(Send(Bytes(105, 0)), kDetectNoMatch);
  EXPECT_EQ(Send(NtlmAuthenticate(), 139), kDetectNoMatch);
}

TEST_F(NtlmBurstTest, PayloadIsFetchedWithTheLearnedLength) {
  auto packet = TcpTo(445, NtlmAuthenticate(), kClient);
  ASSERT_EQ(Run(DetectSmbNtlmAuthBurst, *packet), kDetectNoMatch);
  EXPECT_EQ(packet->payloadLengthArguments(), (std::vector<ULONG64>{0, 200}));
}

}  // namespace
}  // namespace dtest
