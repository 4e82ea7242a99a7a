// Port-scan detectors (3700, 3701): thresholds, windows measured with the
// kernel clock hook, high-port sampling, the flag filter, ignored UDP source
// ports, record removal on a match and allocation failures.
#include <algorithm>

#include "detector_fixture.h"

namespace dtest {
namespace {

constexpr char kScanner[] = "10.7.7.7";

class PortScanTest : public DetectorTest {
 protected:
  static ULONG Tcp(uint16_t port, UCHAR flags = kTcpFlagSyn, const std::string& source = kScanner) {
    auto packet = FakePacket::Tcp(source, 40000, "10.9.9.9", port, flags, Bytes());
    ULONG result = Run(DetectTcpPortScan, *packet);
    EXPECT_TRUE(packet->payloadLengthArguments().empty()) << "the payload is never read";
    return result;
  }

  static ULONG Udp(uint16_t port, uint16_t sourcePort = 40000, const Bytes& payload = Bytes(8, 0),
                   const std::string& source = kScanner) {
    auto packet = FakePacket::Udp(source, sourcePort, "10.9.9.9", port, payload);
    return Run(DetectUdpPortScan, *packet);
  }

  static HostRecord Record(const std::string& source = kScanner) {
    HostRecord copy{};
    EXPECT_TRUE(Snapshot(source, &copy)) << source;
    return copy;
  }
};

TEST_F(PortScanTest, TwentyDistinctLowPortsMatchOnTheTwentieth) {
  for (uint16_t i = 1; i < 20; ++i) {
    ASSERT_EQ(Tcp(i), kDetectNoMatch) << i;
    kt::AdvanceSystemTimeMs(1000);
  }
  EXPECT_EQ(Record().tcpScanPortCount, 19u);
  EXPECT_EQ(Tcp(20), kDetectMatch);
  // The match removed the source's record; the next probe starts a new one.
  EXPECT_FALSE(HostPresent(kScanner));
  EXPECT_EQ(Tcp(21), kDetectNoMatch);
  HostRecord fresh = Record();
  EXPECT_EQ(fresh.tcpScanPortCount, 1u);
  EXPECT_EQ(Ports(fresh.tcpScanPorts), std::vector<USHORT>({21}));
}

TEST_F(PortScanTest, RepeatedPortMovesToTheHeadWithoutCounting) {
  for (uint16_t i = 1; i <= 19; ++i) ASSERT_EQ(Tcp(i), kDetectNoMatch);
  EXPECT_EQ(Tcp(7), kDetectNoMatch);
  HostRecord record = Record();
  EXPECT_EQ(record.tcpScanPortCount, 19u);
  std::vector<USHORT> ports = Ports(record.tcpScanPorts);
  ASSERT_EQ(ports.size(), 19u);
  EXPECT_EQ(ports[0], 7);
  EXPECT_EQ(ports[1], 19);
  EXPECT_EQ(std::count(ports.begin(), ports.end(), 7), 1);
  // The twentieth distinct port still matches.
  EXPECT_EQ(Tcp(20), kDetectMatch);
}

TEST_F(PortScanTest, TcpWindowKeeps60000AndDrops60001) {
  ASSERT_EQ(Tcp(1), kDetectNoMatch);  // t0
  kt::AdvanceSystemTimeMs(1);
  ASSERT_EQ(Tcp(2), kDetectNoMatch);  // t0 + 1
  kt::AdvanceSystemTimeMs(60000);     // port 2 is 60000 old, port 1 60001
  ASSERT_EQ(Tcp(3), kDetectNoMatch);
  HostRecord record = Record();
  EXPECT_EQ(Ports(record.tcpScanPorts), std::vector<USHORT>({3, 2}));
  EXPECT_EQ(record.tcpScanPortCount, 2u);
}

TEST_F(PortScanTest, ExpiredTailGoesEvenWhenThePortWasSeenBefore) {
  for (uint16_t i = 1; i <= 5; ++i) ASSERT_EQ(Tcp(i), kDetectNoMatch);
  kt::AdvanceSystemTimeMs(60001);
  // Port 3 is in the expired tail: everything goes and port 3 is new again.
  ASSERT_EQ(Tcp(3), kDetectNoMatch);
  HostRecord record = Record();
  EXPECT_EQ(Ports(record.tcpScanPorts), std::vector<USHORT>({3}));
  EXPECT_EQ(record.tcpScanPortCount, 1u);
}

TEST_F(PortScanTest, WindowSurvivesTheWrapOfTheMillisecondStamp) {
  // Put now 10 ms before the low 32 bits of the millisecond clock wrap.
  const int64_t ms = (BaseTime() / kt::kUnitsPerMs | 0xFFFFFFFFLL) - 10;
  kt::SetSystemTime(ms * kt::kUnitsPerMs);
  for (uint16_t i = 1; i <= 10; ++i) ASSERT_EQ(Tcp(i), kDetectNoMatch);
  kt::AdvanceSystemTimeMs(30);  // across the wrap
  for (uint16_t i = 11; i < 20; ++i) ASSERT_EQ(Tcp(i), kDetectNoMatch);
  EXPECT_EQ(Record().tcpScanPortCount, 19u);
  EXPECT_EQ(Tcp(20), kDetectMatch);
}

TEST_F(PortScanTest, OnlyBareSynOrFinCounts) {
  struct Case {
    UCHAR flags;
    bool counted;
  } cases[] = {
      {kTcpFlagSyn, true},
      {kTcpFlagFin, true},
      {kTcpFlagSyn | kTcpFlagFin, true},
      {kTcpFlagSyn | 0x08, true},  // PSH does not matter
      {kTcpFlagSyn | kTcpFlagAck, false},
      {kTcpFlagFin | kTcpFlagAck, false},
      {kTcpFlagSyn | kTcpFlagRst, false},
      {kTcpFlagRst, false},
      {kTcpFlagAck, false},
      {0, false},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string source = "10.3.0." + std::to_string(++n);
    EXPECT_EQ(Tcp(22, c.flags, source), kDetectNoMatch);
    // A filtered segment does not even touch the store.
    EXPECT_EQ(HostPresent(source), c.counted) << int(c.flags);
  }
}

TEST_F(PortScanTest, HighPortsAreSampledOneInTwentyOne) {
  for (uint16_t i = 0; i < 20; ++i) ASSERT_EQ(Tcp(static_cast<uint16_t>(1024 + i)), kDetectNoMatch);
  HostRecord passed = Record();
  EXPECT_EQ(passed.tcpScanPortCount, 0u);
  EXPECT_EQ(passed.tcpScanHighPortSkip, 20);
  // Low ports are tracked at once and leave the high-port counter alone.
  ASSERT_EQ(Tcp(1023), kDetectNoMatch);
  EXPECT_EQ(Record().tcpScanHighPortSkip, 20);
  ASSERT_EQ(Tcp(5000), kDetectNoMatch);  // the 21st high port
  HostRecord tracked = Record();
  EXPECT_EQ(tracked.tcpScanPortCount, 2u);
  EXPECT_EQ(tracked.tcpScanHighPortSkip, 0);
  EXPECT_EQ(Ports(tracked.tcpScanPorts), std::vector<USHORT>({5000, 1023}));
}

TEST_F(PortScanTest, AllHighPortScanMatchesAfterTwentySampledPorts) {
  // 20 tracked high ports need 20 * 21 probes; the last one matches.
  ULONG result = kDetectNoMatch;
  int probes = 0;
  for (uint16_t port = 1024; result == kDetectNoMatch && probes < 20 * 21 + 5; ++port, ++probes) {
    result = Tcp(port);
  }
  EXPECT_EQ(result, kDetectMatch);
  EXPECT_EQ(probes, 20 * 21);
}

TEST_F(PortScanTest, MatchDropsOtherStateOfTheSource) {
  ASSERT_EQ(Udp(7), kDetectNoMatch);
  WithRecord(kScanner, [](HostRecord* r) { r->sig6100Count = 5; });
  for (uint16_t i = 1; i <= 20; ++i) Tcp(i);
  ASSERT_EQ(Tcp(1), kDetectNoMatch);
  HostRecord fresh = Record();
  EXPECT_EQ(fresh.sig6100Count, 0u);
  EXPECT_EQ(fresh.udpScanPortCount, 0u);
  EXPECT_EQ(fresh.tcpScanPortCount, 1u);
}

TEST_F(PortScanTest, SourcesAreCountedSeparately) {
  for (uint16_t i = 1; i < 20; ++i) {
    ASSERT_EQ(Tcp(i, kTcpFlagSyn, "10.0.0.1"), kDetectNoMatch);
    ASSERT_EQ(Tcp(i, kTcpFlagSyn, "fd00::1"), kDetectNoMatch);
  }
  EXPECT_EQ(Tcp(20, kTcpFlagSyn, "fd00::1"), kDetectMatch);
  EXPECT_EQ(Record("10.0.0.1").tcpScanPortCount, 19u);
}

TEST_F(PortScanTest, FailedRecordCreationAborts) {
  kt::FailAllocationsWithTag(kTagHostRecord);
  EXPECT_EQ(Tcp(80), kDetectError);
  EXPECT_EQ(Udp(80), kDetectError);
}

TEST_F(PortScanTest, FailedPortItemAbortsAndInsertsNothing) {
  ASSERT_EQ(Tcp(1), kDetectNoMatch);
  kt::FailAllocationsWithTag(kTagPortItem);
  EXPECT_EQ(Tcp(2), kDetectError);
  EXPECT_EQ(Udp(2), kDetectError);
  HostRecord record = Record();
  EXPECT_EQ(record.tcpScanPortCount, 1u);
  EXPECT_EQ(record.udpScanPortCount, 0u);
  // A known port needs no new item.
  EXPECT_EQ(Tcp(1), kDetectNoMatch);
}

// ---- UDP ----------------------------------------------------------------------

TEST_F(PortScanTest, HundredDistinctUdpPortsMatchOnTheHundredth) {
  for (uint16_t i = 1; i < 100; ++i) {
    ASSERT_EQ(Udp(i), kDetectNoMatch) << i;
    kt::AdvanceSystemTimeMs(2000);
  }
  EXPECT_EQ(Record().udpScanPortCount, 99u);
  EXPECT_EQ(Udp(100), kDetectMatch);
  EXPECT_FALSE(HostPresent(kScanner));
}

TEST_F(PortScanTest, UdpWindowKeeps200000AndDrops200001) {
  ASSERT_EQ(Udp(1), kDetectNoMatch);
  kt::AdvanceSystemTimeMs(1);
  ASSERT_EQ(Udp(2), kDetectNoMatch);
  kt::AdvanceSystemTimeMs(200000);
  ASSERT_EQ(Udp(3), kDetectNoMatch);
  HostRecord record = Record();
  EXPECT_EQ(Ports(record.udpScanPorts), std::vector<USHORT>({3, 2}));
  EXPECT_EQ(record.udpScanPortCount, 2u);
}

TEST_F(PortScanTest, DnsAndSnmpSourcePortsAreNeverCounted) {
  for (uint16_t sourcePort : {53, 161}) {
    const std::string source = "10.4.0." + std::to_string(sourcePort);
    for (uint16_t i = 1; i <= 150; ++i) ASSERT_EQ(Udp(i, sourcePort, Bytes(8, 0), source), 0u);
    // The record exists all the same, with nothing counted.
    HostRecord record = Record(source);
    EXPECT_EQ(record.udpScanPortCount, 0u);
    EXPECT_EQ(record.udpScanHighPortSkip, 0);
  }
  // Neighbouring source ports and the byte-swapped values are counted.
  for (uint16_t sourcePort : {52, 54, 160, 162, 0x3500, 0xA100}) {
    const std::string source = "10.5.0." + std::to_string(sourcePort & 0xFF);
    ASSERT_EQ(Udp(9, sourcePort, Bytes(8, 0), source), kDetectNoMatch);
    EXPECT_EQ(Record(source).udpScanPortCount, 1u) << sourcePort;
  }
}

TEST_F(PortScanTest, EmptyUdpPayloadCounts) {
  ASSERT_EQ(Udp(9, 40000, Bytes()), kDetectNoMatch);
  EXPECT_EQ(Record().udpScanPortCount, 1u);
}

TEST_F(PortScanTest, UdpHighPortsAreSampledSeparatelyFromTcp) {
  for (uint16_t i = 0; i < 20; ++i) ASSERT_EQ(Tcp(static_cast<uint16_t>(2000 + i)), 0u);
  ASSERT_EQ(Udp(3000), kDetectNoMatch);
  HostRecord record = Record();
  EXPECT_EQ(record.tcpScanHighPortSkip, 20);
  EXPECT_EQ(record.udpScanHighPortSkip, 1);
  EXPECT_EQ(record.udpScanPortCount, 0u);
}

}  // namespace
}  // namespace dtest
