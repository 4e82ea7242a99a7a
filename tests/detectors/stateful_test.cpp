// Detectors that keep per-source state in the host record: the TCP and UDP
// port scans (3700, 3701), the NTLM authenticate burst (6045) and the short
// NetBIOS message flood (6100). Windows are measured with the clock hook.
#include <algorithm>
#include <functional>

#include "detector_fixture.h"

namespace dtest {
namespace {

class StatefulTest : public DetectorTest {
 protected:
  static ULONG Tcp(uint16_t port, UCHAR flags = kTcpFlagSyn, const std::string& source = kClient) {
    auto packet = Segment(port, {}, source, flags);
    ULONG result = Run(DetectTcpPortScan, *packet);
    EXPECT_TRUE(packet->payloadLengthArguments().empty()) << "the payload is never read";
    return result;
  }
  static ULONG Udp(uint16_t port, uint16_t sourcePort = 40000,
                   const std::string& source = kClient) {
    return Run(DetectUdpPortScan, *FakePacket::Udp(source, sourcePort, "10.9.9.9", port, Bytes()));
  }
  static ULONG Ntlm(const Bytes& payload) { return RunTcp(DetectSmbNtlmAuthBurst, 445, payload); }
};

// Spread over the whole window (for the bursts, the last packet lands exactly
// on its end), the last packet matches and removes the source's record, with
// another detector's state in it, and nothing of another source's.
TEST_F(StatefulTest, LastPacketOfAnAttackMatchesAndRemovesTheRecord) {
  const std::vector<Tracker> all = Trackers();
  for (size_t k = 0; k < all.size(); ++k) {
    const Tracker& t = all[k];
    const Tracker& other = all[(k + 1) % all.size()];
    SCOPED_TRACE(t.id);
    const NipsDetector d = DetectorFor(t.id);
    ASSERT_EQ(Run(DetectorFor(other.id), *other.packet(500, kClient)), kDetectNoMatch);
    ASSERT_EQ(Run(d, *t.packet(1, "fd00::1")), kDetectNoMatch);
    for (ULONG i = 1; i < t.perMatch; ++i) {
      ASSERT_EQ(Run(d, *t.packet(i, kClient)), kDetectNoMatch) << i;
      kt::AdvanceSystemTimeMs(t.windowMs / (t.perMatch - 1));
    }
    EXPECT_EQ(Record().*t.count, t.perMatch - 1);
    EXPECT_EQ(Run(d, *t.packet(t.perMatch, kClient)), kDetectMatch);
    EXPECT_FALSE(HostPresent(kClient));
    EXPECT_EQ(Record("fd00::1").*t.count, 1u);
    EXPECT_EQ(Run(d, *t.packet(999, kClient)), kDetectNoMatch);
    EXPECT_EQ(Record().*t.count, 1u);
    EXPECT_EQ(Record().*other.count, 0u);
  }
}

TEST_F(StatefulTest, AllocationFailuresAbortAndChangeNothing) {
  for (const Tracker& t : Trackers()) ASSERT_EQ(Run(DetectorFor(t.id), *t.packet(1, kClient)), 0u);
  kt::FailAllocationsWithTag(kTagHostRecord);
  for (const Tracker& t : Trackers()) {
    EXPECT_EQ(Run(DetectorFor(t.id), *t.packet(1, "10.6.9.9")), kDetectError) << t.id;
    // A known port or an existing record needs no allocation.
    EXPECT_EQ(Run(DetectorFor(t.id), *t.packet(1, kClient)), kDetectNoMatch) << t.id;
  }
  kt::FailAllocationsWithTag(kTagPortItem);
  EXPECT_EQ(Tcp(2), kDetectError);
  EXPECT_EQ(Udp(2), kDetectError);
  HostRecord record = Record();
  EXPECT_EQ(Ports(record.tcpScanPorts), std::vector<USHORT>({1}));
  EXPECT_EQ(Ports(record.udpScanPorts), std::vector<USHORT>({1}));
  EXPECT_EQ(record.sig6045Count, 2u);
  EXPECT_EQ(record.sig6100Count, 2u);
}

// ---- Port scans ---------------------------------------------------------------------

// A port 60000 ms old (TCP; 200000 for UDP) stays, one 60001 ms old goes with
// everything after it, even when the probe is for a port in that tail.
TEST_F(StatefulTest, ScanWindowKeepsItsLengthAndDropsOneMore) {
  for (bool udp : {false, true}) {
    SCOPED_TRACE(udp);
    auto probe = [&](uint16_t port) { return udp ? Udp(port) : Tcp(port); };
    auto ports = [&] { return Ports(udp ? Record().udpScanPorts : Record().tcpScanPorts); };
    const ULONG window = udp ? 200000 : 60000;
    ASSERT_EQ(probe(1), kDetectNoMatch);
    kt::AdvanceSystemTimeMs(1);
    ASSERT_EQ(probe(2), kDetectNoMatch);
    kt::AdvanceSystemTimeMs(window);
    ASSERT_EQ(probe(3), kDetectNoMatch);
    EXPECT_EQ(ports(), std::vector<USHORT>({3, 2}));
    kt::AdvanceSystemTimeMs(window + 1);
    ASSERT_EQ(probe(2), kDetectNoMatch);
    EXPECT_EQ(ports(), std::vector<USHORT>({2}));
    EXPECT_EQ(udp ? Record().udpScanPortCount : Record().tcpScanPortCount, 1u);
  }
}

TEST_F(StatefulTest, RepeatedPortMovesToTheHeadWithoutCounting) {
  for (uint16_t i = 1; i <= 19; ++i) ASSERT_EQ(Tcp(i), kDetectNoMatch);
  EXPECT_EQ(Tcp(7), kDetectNoMatch);
  const std::vector<USHORT> ports = Ports(Record().tcpScanPorts);
  EXPECT_EQ(Record().tcpScanPortCount, 19u);
  EXPECT_EQ(std::vector<USHORT>(ports.begin(), ports.begin() + 2), std::vector<USHORT>({7, 19}));
  EXPECT_EQ(std::count(ports.begin(), ports.end(), 7), 1);
  EXPECT_EQ(Tcp(20), kDetectMatch);
}

TEST_F(StatefulTest, ScanWindowSurvivesTheWrapOfTheMillisecondStamp) {
  // Now is 10 ms before the low 32 bits of the millisecond clock wrap.
  kt::SetSystemTime(((BaseTime() / kt::kUnitsPerMs | 0xFFFFFFFFLL) - 10) * kt::kUnitsPerMs);
  for (uint16_t i = 1; i <= 10; ++i) ASSERT_EQ(Tcp(i), kDetectNoMatch);
  kt::AdvanceSystemTimeMs(30);  // across the wrap
  for (uint16_t i = 11; i < 20; ++i) ASSERT_EQ(Tcp(i), kDetectNoMatch);
  EXPECT_EQ(Tcp(20), kDetectMatch);
}

TEST_F(StatefulTest, OnlyBareSynOrFinTouchesTheStore) {
  const UCHAR counted[] = {kTcpFlagSyn, kTcpFlagFin, kTcpFlagSyn | kTcpFlagFin, kTcpFlagSyn | 0x08};
  const UCHAR ignored[] = {kTcpFlagSyn | kTcpFlagAck, kTcpFlagFin | kTcpFlagAck,
                           kTcpFlagSyn | kTcpFlagRst, kTcpFlagRst, 0};
  for (UCHAR flags : counted) {
    EXPECT_EQ(Tcp(22, flags, "10.3.0." + std::to_string(flags)), kDetectNoMatch);
    EXPECT_TRUE(HostPresent("10.3.0." + std::to_string(flags))) << int(flags);
  }
  for (UCHAR flags : ignored) {
    EXPECT_EQ(Tcp(22, flags, "10.3.0." + std::to_string(flags)), kDetectNoMatch);
    EXPECT_FALSE(HostPresent("10.3.0." + std::to_string(flags))) << int(flags);
  }
}

// 20 probes to high ports are passed over and the 21st tracked; low ports are
// tracked at once; TCP and UDP keep separate counters.
TEST_F(StatefulTest, HighPortsAreSampledOneInTwentyOne) {
  for (uint16_t i = 0; i < 20; ++i) ASSERT_EQ(Tcp(static_cast<uint16_t>(1024 + i)), kDetectNoMatch);
  ASSERT_EQ(Tcp(1023), kDetectNoMatch);
  ASSERT_EQ(Udp(3000), kDetectNoMatch);
  EXPECT_EQ(Ports(Record().tcpScanPorts), std::vector<USHORT>({1023}));
  EXPECT_EQ(Record().tcpScanHighPortSkip, 20);
  EXPECT_EQ(Record().udpScanHighPortSkip, 1);
  EXPECT_EQ(Record().udpScanPortCount, 0u);
  ASSERT_EQ(Tcp(5000), kDetectNoMatch);  // the 21st high port
  EXPECT_EQ(Record().tcpScanHighPortSkip, 0);
  EXPECT_EQ(Ports(Record().tcpScanPorts), std::vector<USHORT>({5000, 1023}));
}

// The record exists all the same; neighbouring source ports and the
// byte-swapped values are counted.
TEST_F(StatefulTest, DnsAndSnmpSourcePortsAreNeverCounted) {
  int n = 0;
  for (uint16_t sourcePort : {53, 161, 52, 54, 160, 162, 0x3500, 0xA100}) {
    const std::string source = "10.5.0." + std::to_string(++n);
    for (uint16_t i = 1; i < 100; ++i) ASSERT_EQ(Udp(i, sourcePort, source), kDetectNoMatch);
    const bool ignored = sourcePort == 53 || sourcePort == 161;
    EXPECT_EQ(Record(source).udpScanPortCount, ignored ? 0u : 99u) << sourcePort;
  }
}

// ---- Bursts -------------------------------------------------------------------------

TEST_F(StatefulTest, BurstWindowCountsItsLengthAndRestartsOneLater) {
  for (const Tracker& t : {Trackers()[2], Trackers()[3]}) {
    SCOPED_TRACE(t.id);
    const std::string source = "10.6.0." + std::to_string(t.id % 256);
    const ULONG HostRecord::*stamp =
        t.id == 6045 ? &HostRecord::sig6045Stamp : &HostRecord::sig6100Stamp;
    ASSERT_EQ(Run(DetectorFor(t.id), *t.packet(1, source)), kDetectNoMatch);
    const ULONG start = CurrentStampMs();
    kt::AdvanceSystemTimeMs(t.windowMs);
    ASSERT_EQ(Run(DetectorFor(t.id), *t.packet(2, source)), kDetectNoMatch);
    EXPECT_EQ(Record(source).*t.count, 2u);
    EXPECT_EQ(Record(source).*stamp, start);
    kt::AdvanceSystemTimeMs(1);
    ASSERT_EQ(Run(DetectorFor(t.id), *t.packet(3, source)), kDetectNoMatch);
    EXPECT_EQ(Record(source).*t.count, 1u);
    EXPECT_EQ(Record(source).*stamp, start + t.windowMs + 1);
  }
}

// Which segments look the source up (creating its record), what they count,
// and the payload fetched with the learned length.
TEST_F(StatefulTest, BurstPortsAndLengthsThatTouchTheStore) {
  int n = 0;
  auto check = [&](ULONG id, uint16_t port, const Bytes& payload, int count) {
    const std::string source = "10.8.0." + std::to_string(++n);
    auto packet = Segment(port, payload, source);
    ASSERT_EQ(Run(DetectorFor(id), *packet), kDetectNoMatch);
    HostRecord record{};
    ASSERT_EQ(HostPresent(source, &record), count >= 0) << "case " << n;
    if (count < 0) return;
    EXPECT_EQ(id == 6045 ? record.sig6045Count : record.sig6100Count, ULONG(count)) << n;
    EXPECT_EQ(packet->payloadLengthArguments(), (std::vector<ULONG64>{0, payload.size()}));
  };
  for (uint16_t port : {139, 134, 136, 444, 446, 0xBD01, 0x8700}) {
    check(6045, port, NtlmAuthenticate(), -1);
  }
  check(6045, 135, NtlmAuthenticate(), 1);
  check(6045, 445, Bytes(105, 0x41), -1);
  check(6045, 445, Bytes(106, 0x41), 0);
  check(6045, 445, SessionSetup(106, {{41, 3}}), 1);  // the one scan position of 106 bytes
  for (uint16_t port : {138, 140, 444, 446, 0x8B00}) check(6100, port, Bytes(4, 0), -1);
  for (size_t length : {0, 3, 37, 100}) check(6100, 445, Bytes(length, 0), -1);
  check(6100, 445, Bytes(4, 0), 1);
  check(6100, 445, Bytes(36, 0), 1);
  check(6100, 445, Bytes{0x85, 0, 0, 0}, 0);  // a keep-alive
}

TEST_F(StatefulTest, OnlyNtlmAuthenticateMessagesCount) {
  ASSERT_EQ(Ntlm(NtlmAuthenticate()), kDetectNoMatch);
  ASSERT_EQ(Ntlm(SessionSetup(200, {{30, 1}, {60, 2}})), kDetectNoMatch);
  ASSERT_EQ(Ntlm(PutText(NtlmAuthenticate(), 48 + 30, "ntlmssp")), kDetectNoMatch);
  ASSERT_EQ(Ntlm(Put(NtlmAuthenticate(), {{8, 0x72, 1}})), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 1u);
  // The scan runs from offset 48 while k < length - 64.
  const struct {
    Bytes payload;
    ULONG count;
  } cases[] = {
      {SessionSetup(200, {{135, 3}}), 2},
      {SessionSetup(200, {{136, 3}}), 2},
      {SessionSetup(200, {{0, 3}}), 3},
      {Put(PutText(Smb1(200, 0x73), 47, std::string("NTLMSSP") + '\0'), {{55, 3, 4}}), 3},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Ntlm(c.payload), kDetectNoMatch);
    EXPECT_EQ(Record().sig6045Count, c.count);
  }
}

TEST_F(StatefulTest, EveryNtlmBlobOfASegmentCountsInAnOpenWindow) {
  const Bytes three = SessionSetup(300, {{0, 3}, {40, 3}, {100, 3}});
  // With no window open, the first blob opens it and the scan stops there.
  ASSERT_EQ(Ntlm(three), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 1u);
  for (int i = 0; i < 6; ++i) ASSERT_EQ(Ntlm(three), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 19u);
  EXPECT_EQ(Ntlm(three), kDetectMatch);  // the 21st is the second blob of this segment
}

TEST_F(StatefulTest, Transaction2TallyAndTreeDisconnectReset) {
  const Bytes trans2 = Smb1(120, 0x32);
  const Bytes disconnect = Smb1(120, 0x71);
  ASSERT_EQ(Ntlm(trans2), kDetectNoMatch);  // count 0: no tally
  EXPECT_EQ(Record().sig6045Aux, 0u);
  for (ULONG count = 1; count <= 4; ++count) {  // counts 1 to 3 tally; 4 does not
    ASSERT_EQ(Ntlm(NtlmAuthenticate()), kDetectNoMatch);
    ASSERT_EQ(Ntlm(trans2), kDetectNoMatch);
    EXPECT_EQ(Record().sig6045Aux, std::min(count, 3u)) << count;
  }
  const ULONG stamp = Record().sig6045Stamp;
  ASSERT_EQ(Ntlm(disconnect), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Aux, 0u);
  EXPECT_EQ(Record().sig6045Count, 0u);
  EXPECT_EQ(Record().sig6045Stamp, stamp);  // the window start stays
  // A disconnect without a tally leaves the count alone.
  ASSERT_EQ(Ntlm(NtlmAuthenticate()), kDetectNoMatch);
  ASSERT_EQ(Ntlm(disconnect), kDetectNoMatch);
  EXPECT_EQ(Record().sig6045Count, 1u);
}

}  // namespace
}  // namespace dtest
