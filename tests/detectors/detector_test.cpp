// The SMB, NetBIOS and port-scan detectors, each run alone as the dispatcher runs it, then
// through a started plug-in with every row enabled (one source also from two threads at once).
#include <gtest/gtest.h>

#include <stdint.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "detectors/smb_packets.h"
#include "kt_hooks.h"
#include "nips/detectors/detectors.h"
#include "nips/engine/packet_view.h"
#include "nips/engine/plugin.h"
#include "nips/engine/pool.h"
#include "nips/engine/signature.h"
#include "nips/tracking/tracking.h"
#include "testlib/engine_support.h"
#include "testlib/fake_packet.h"

namespace dtest {
namespace {

using testlib::FakePacket;

constexpr UCHAR kDataFlags = kTcpFlagAck | 0x08;  // ACK, PSH: never a scan probe
constexpr char kClient[] = "10.1.1.1";
constexpr uint32_t kFrom = 0x10000;  // port flag: the segment comes from the port

inline int64_t BaseTime() { return kt::SystemTimeFromUnix(1700000000, 0); }

inline auto Segment(uint32_t port, const Bytes& payload, const std::string& source = kClient,
                    UCHAR flags = kDataFlags) {
  const uint16_t p = static_cast<uint16_t>(port);
  if (port & kFrom) return FakePacket::Tcp("10.9.9.9", p, source, 50123, flags, payload);
  return FakePacket::Tcp(source, 50123, "10.9.9.9", p, flags, payload);
}

inline NipsDetector DetectorFor(ULONG id) {
  for (const SignatureEntry& row : g_signatureTable.rows) {
    if (row.signatureId == id) return row.detector;
  }
  ADD_FAILURE() << "no row " << id;
  return DetectNone;
}

inline const std::string kBrowse = "\\MAILSLOT\\BROWSE";
constexpr uint32_t k139 = 1, k445 = 2, kSmbPorts = k139 | k445;

struct Detector {
  ULONG id;
  size_t lengthTest;         // the length asked for before the pointer (0: one GetPayload call)
  uint32_t ports;            // examined ports; with kFrom, of what the server sends
  std::vector<Bytes> match;  // the first is the shortest attack
  std::vector<Bytes> noMatch;

  uint32_t Port() const { return (ports & kFrom) | (ports & k445 ? 445 : 139); }
};

inline Detector T(ULONG id, size_t lengthTest, uint32_t ports, std::vector<Bytes> match,
                  std::vector<Bytes> noMatch) {
  return {id, lengthTest, ports, std::move(match), std::move(noMatch)};
}

inline std::vector<Detector> Detectors() {
  // The mailslot header gates both checks; a name area 1 byte past the end fails until it fits.
  const Bytes mail = MailslotWrite(kBrowse, 0);
  Bytes fits = Put(mail, {{71, 5 + 17}});
  std::vector<Bytes> badMail = {Put(mail, {{63, 2, 1}}), Put(mail, {{65, 2}}),
                                Put(mail, {{8, 0x32, 1}}), Put(mail, {{71, 4}}), fits};
  fits.push_back('X');
  const uint32_t kMax = 0xFFFFFFFF;
  std::vector<Bytes> bad3804 = badMail, bad3802 = badMail;
  // A NUL anywhere in the name area terminates it.
  bad3804.insert(bad3804.end(), {MailslotWrite('\0' + kBrowse), MailslotWrite(kBrowse + '\0')});
  // Letters of the prefix fold, nothing else; 10 bytes of name suffice.
  bad3802.insert(bad3802.end(), {MailslotWrite(kBrowse, 2), MailslotWrite("|MAILSLOT|", 1),
                                 MailslotWrite("\\MAILSLOT/x", 1), MailslotWrite("/MAILSLOT\\x", 1),
                                 Put(MailslotWrite("\\MAILSLOT\\", 1), {{71, 5 + 9}})});
  return {
      // A high word 1..FFFF; anonymous ids only together; the command.
      T(2231, 36, kSmbPorts, {Negotiate(1), Negotiate(1, 0xFFFF, 0), Negotiate(1, 0, 0xFFFF)},
        {Negotiate(0), Negotiate(1, 0xFFFF, 0xFFFF), Put(Negotiate(1), {{8, 0x73, 1}})}),
      T(2232, 73, kSmbPorts, {NtCreate(68, 54), NtCreate(69, 53)},
        {NtCreate(69, 54), NtCreate(0x80000000u, 0x80000000u), NtCreate(68, 54, 2)}),
      T(2233, 65, kSmbPorts, {Trans2(29, 0, 0), Trans2(29, 100, 0), Trans2(30, 28, 0)},
        {Trans2(29, 100, 1), Trans2(30, 29, 0)}),
      // Opcodes 0, 104, 215; the opcode at parameter offset + 4 must fit.
      T(3718, 0, k139, {Rap(104, 0, 100), Rap(0, 0, 100), Rap(215, 100, 0), Rap(104, 0, 0, 78)},
        {Rap(105, 0, 0), Rap(104, 1, 1), Rap(104, 0, 0, 76, 0),
         Put(Rap(104, 0, 0, 79), {{83, 104, 1}}), Rap(104, 0, 0, 0xFFFF)}),
      T(3804, 71, kSmbPorts, {MailslotWrite(kBrowse, 2), mail, fits, MailslotWrite("")}, bad3804),
      T(3802, 73, kSmbPorts,
        {mail, fits, MailslotWrite(kBrowse, 1), MailslotWrite("\\mAiLsLoT\\", 1)}, bad3802),
      T(6029, 36, kSmbPorts, {ByteCount(0x81, 41, 4001), ByteCount(0x81, 41, 0xFFFF)},
        {ByteCount(0x81, 41, 4000), ByteCount(0x29, 41, 4001)}),
      T(6031, 36, kSmbPorts, {ByteCount(0x29, 43, 4001), ByteCount(0x07, 39, 4001)},
        {ByteCount(0x29, 43, 4000), ByteCount(0x07, 39, 4000), Put(Smb1(45, 0x29), {{39, 5000}}),
         Put(Smb1(45, 0x07), {{43, 5000}}), ByteCount(0x81, 43, 5000)}),
      T(6038, 68, kSmbPorts, {Smb2Write(257, 341), Smb2Write(0xFFFF, 1000)},
        {Smb2Write(256, 1000), Smb2Write(300, 340), Put(Smb2Write(300, 400), {{16, 8}})}),
      // Only bytes 2..3 of the NetBIOS length are compared with the payload.
      T(6022, 36, kFrom | kSmbPorts, {Smb2Reply(36, 0), Smb2Reply(100, 95), Smb2Reply(100, 97)},
        {Smb2Reply(36, 32), Smb2Reply(100, 96), Put(Smb2Reply(100, 96), {{1, 1, 1}}),
         Put(Smb2Reply(100, 95), {{8, 0x41, 1}})}),
      T(6095, 36, kSmbPorts, {Trans2Secondary(1, 2), TransSecondary(100, 101)},
        {Trans2Secondary(100, 100), TransSecondary(100, 100), TransSecondary(100, 0xFFFF, 54),
         Put(Trans2Secondary(100, 0), {{47, 0xFFFF}}),
         Put(TransSecondary(100, 101), {{8, 0x25, 1}})}),
      T(6097, 160, kSmbPorts, {Smb2Ioctl(0xD0, 1793, 0), Smb2Ioctl(0xCC, 0, 1793)},
        {Smb2Ioctl(0xD0, 1792, 0), Smb2Ioctl(0xCC, 0, 1792), Smb2Ioctl(0xD0, 0, kMax),
         Smb2Ioctl(0xCC, kMax, 0), Smb2Ioctl(0xCE, kMax, kMax), Smb2Ioctl(0x1D0, kMax, kMax),
         Put(Smb2Ioctl(0xD0, 5000, 0), {{16, 10}})}),
      T(6119, 67, k445, {Trans2Probe(65, 14)},
        {Trans2Probe(64, 14), Trans2Probe(65, 13), Put(Trans2Probe(65, 14), {{8, 0x33, 1}})}),
      // The unsigned sum wraps.
      T(6157, 4, kSmbPorts, {Compression(kMax, 1), Compression(0x80000000, 0x80000000)},
        {Compression(kMax, 0), Compression(0x7FFFFFFF, 0x80000000), Compression(0, kMax)}),
      T(6175, 98, kSmbPorts, {SisCopy()},
        {SisCopy(1), SisCopy(2, 0x00090101), SisCopy(2, 0x01000900), SisCopy(2, 0x00090100, 0),
         SisCopy(2, 0x00090100, 2)}),
  };
}

struct Tracker {
  ULONG id;
  ULONG perMatch;  // packets of an attack; the last one matches
  ULONG windowMs;
  ULONG HostRecord::*count;
  std::function<std::unique_ptr<FakePacket>(int i, const std::string& source)> packet;
};

inline std::vector<Tracker> Trackers() {
  return {
      {3700, 20, 60000, &HostRecord::tcpScanPortCount,
       [](int i, const std::string& s) { return Segment(i, {}, s, kTcpFlagSyn); }},
      {3701, 100, 200000, &HostRecord::udpScanPortCount,
       [](int i, const std::string& s) { return FakePacket::Udp(s, 40000, "10.9.9.9", i, {}); }},
      {6045, 21, 60000, &HostRecord::sig6045Count,
       [](int, const std::string& s) { return Segment(445, NtlmAuthenticate(), s); }},
      {6100, 201, 5000, &HostRecord::sig6100Count,
       [](int, const std::string& s) { return Segment(139, Bytes(4, 0), s); }},
  };
}

// Runs one detector the way the dispatcher does: a view on the stack.
ULONG Detect(NipsDetector detector, FakePacket& packet) {
  PacketView view{};
  view.packet = &packet;
  view.flow = packet.GetFlow();
  view.data = packet.GetPacketData();
  view.adapter = packet.GetAdapter();
  view.buffer = packet.GetBuffer();
  ULONG result = detector(&view);
  EXPECT_EQ(kt::HeldSpinLockCount(), 0);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(view.additionalDataIndex, 0u);
  return result;
}
ULONG RunTcp(NipsDetector detector, uint32_t port, const Bytes& payload) {
  return Detect(detector, *Segment(port, payload));
}
ULONG Tcp(uint16_t port, UCHAR flags = kTcpFlagSyn) {
  auto packet = Segment(port, {}, kClient, flags);
  ULONG result = Detect(DetectTcpPortScan, *packet);
  EXPECT_TRUE(packet->payloadLengthArguments().empty()) << "the payload is never read";
  return result;
}
ULONG Udp(uint16_t port, uint16_t sourcePort = 40000, const std::string& source = kClient) {
  return Detect(DetectUdpPortScan, *FakePacket::Udp(source, sourcePort, "10.9.9.9", port, {}));
}

// A copy of the source's record (leaving no reference behind), or nothing.
std::optional<HostRecord> Find(const std::string& source) {
  HostAddress address = testlib::MakeAddress(source);
  HostRecord* record = FindHostRecord(&address);
  if (record == nullptr) return std::nullopt;
  const HostRecord copy = *record;
  ReleaseHostRecord(record);
  return copy;
}
HostRecord Record(const std::string& source = kClient) {
  EXPECT_TRUE(Find(source)) << source;
  return Find(source).value_or(HostRecord{});
}
// A segment to 445 that must not match an NTLM burst; the source's record after it.
HostRecord Ntlm(const Bytes& payload) {
  EXPECT_EQ(RunTcp(DetectSmbNtlmAuthBurst, 445, payload), kDetectNoMatch);
  return Record();
}
using PortList = std::vector<USHORT>;
PortList Ports(const PortItem* item) {  // head first
  PortList ports;
  for (; item != nullptr; item = item->next) ports.push_back(item->port);
  return ports;
}

// A fresh kernel world, a fixed clock and a tracking store.
class DetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    kt::SetSystemTime(BaseTime());
    g_lookasideFlags = 0;
    ASSERT_EQ(InitTrackingContext(context_.get()), STATUS_SUCCESS);
  }
  void TearDown() override {
    FreeTrackingContext();
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }

  std::unique_ptr<TrackingContext> context_ = std::make_unique<TrackingContext>();
};

TEST_F(DetectorTest, StatelessPortsLengthsAndFieldBoundaries) {
  for (const Detector& t : Detectors()) {
    SCOPED_TRACE(t.id);
    const NipsDetector d = DetectorFor(t.id);
    const Bytes& attack = t.match[0];
    const uint32_t from = t.ports & kFrom;
    EXPECT_EQ(RunTcp(d, from | 139, attack), t.ports & k139 ? kDetectMatch : kDetectNoMatch);
    EXPECT_EQ(RunTcp(d, from | 445, attack), t.ports & k445 ? kDetectMatch : kDetectNoMatch);
    // Neighbours, byte-swapped values and the other direction: no match, no payload pointer.
    for (uint32_t port : {80u, 138u, 140u, 444u, 446u, 0x8B00u, 0xBD01u, kFrom | 445}) {
      auto foreign = Segment(from ^ port, attack);
      EXPECT_EQ(Detect(d, *foreign), kDetectNoMatch) << port;
      EXPECT_LE(foreign->payloadLengthArguments().size(), 1u) << port;
    }
    // Length first, then the pointer; 1 byte short of the length test or the attack fails.
    auto packet = Segment(t.Port(), attack);
    EXPECT_EQ(Detect(d, *packet), kDetectMatch);
    EXPECT_EQ(packet->payloadLengthArguments(),
              (t.lengthTest ? std::vector<ULONG64>{0, attack.size()} : std::vector<ULONG64>{0}));
    Bytes longer = attack;
    longer.push_back(0);
    EXPECT_EQ(RunTcp(d, t.Port(), longer), kDetectMatch);
    for (size_t length : {t.lengthTest - 1, t.lengthTest, attack.size() - 1}) {
      if (length >= attack.size()) continue;
      auto prefix = Segment(t.Port(), Bytes(attack.begin(), attack.begin() + length));
      EXPECT_EQ(Detect(d, *prefix), kDetectNoMatch) << length;
      const size_t calls = t.lengthTest != 0 && length >= t.lengthTest ? 2 : 1;
      EXPECT_EQ(prefix->payloadLengthArguments().size(), calls) << length;
    }
    // Not a session message; a foreign protocol id; then each field's rows.
    EXPECT_EQ(RunTcp(d, t.Port(), Put(attack, {{0, 0x85, 1}})), kDetectNoMatch);
    EXPECT_EQ(RunTcp(d, t.Port(), Put(attack, {{5, 's', 1}})), kDetectNoMatch);
    int row = 0;
    for (const Bytes& b : t.match) EXPECT_EQ(RunTcp(d, t.Port(), b), kDetectMatch) << row++;
    for (const Bytes& b : t.noMatch) EXPECT_EQ(RunTcp(d, t.Port(), b), kDetectNoMatch) << row++;
  }
}

// ---- Stateful: port scans 3700 (TCP), 3701 (UDP); NTLM burst 6045; short NetBIOS flood 6100.

// Spread over the window (the bursts' last packet at its very end), the last packet matches and
// removes the source's record, with another detector's state, and nothing of another source's.
TEST_F(DetectorTest, LastPacketOfAnAttackMatchesAndRemovesTheRecord) {
  const std::vector<Tracker> all = Trackers();
  for (size_t k = 0; k < all.size(); ++k) {
    const Tracker& t = all[k];
    const Tracker& other = all[(k + 1) % all.size()];
    SCOPED_TRACE(t.id);
    const NipsDetector d = DetectorFor(t.id);
    ASSERT_EQ(Detect(DetectorFor(other.id), *other.packet(500, kClient)), kDetectNoMatch);
    ASSERT_EQ(Detect(d, *t.packet(1, "fd00::1")), kDetectNoMatch);
    for (ULONG i = 1; i < t.perMatch; ++i) {
      ASSERT_EQ(Detect(d, *t.packet(i, kClient)), kDetectNoMatch) << i;
      kt::AdvanceSystemTimeMs(t.windowMs / (t.perMatch - 1));
    }
    EXPECT_EQ(Record().*t.count, t.perMatch - 1);
    EXPECT_EQ(Detect(d, *t.packet(t.perMatch, kClient)), kDetectMatch);
    EXPECT_FALSE(Find(kClient));
    EXPECT_EQ(Record("fd00::1").*t.count, 1u);
    EXPECT_EQ(Detect(d, *t.packet(999, kClient)), kDetectNoMatch);
    EXPECT_EQ(Record().*t.count, 1u);
    EXPECT_EQ(Record().*other.count, 0u);
  }
}

TEST_F(DetectorTest, AllocationFailuresAbortAndChangeNothing) {
  for (const Tracker& t : Trackers())
    ASSERT_EQ(Detect(DetectorFor(t.id), *t.packet(1, kClient)), 0u);
  kt::FailAllocationsWithTag(kt::Tag("Qvat"));  // host records
  for (const Tracker& t : Trackers()) {
    EXPECT_EQ(Detect(DetectorFor(t.id), *t.packet(1, "10.6.9.9")), kDetectError) << t.id;
    // A known port or an existing record needs no allocation.
    EXPECT_EQ(Detect(DetectorFor(t.id), *t.packet(1, kClient)), kDetectNoMatch) << t.id;
  }
  kt::FailAllocationsWithTag(kt::Tag("Qvps"));  // port items
  EXPECT_EQ(Tcp(2), kDetectError);
  EXPECT_EQ(Udp(2), kDetectError);
  const HostRecord record = Record();
  EXPECT_EQ(Ports(record.tcpScanPorts), PortList({1}));
  EXPECT_EQ(Ports(record.udpScanPorts), PortList({1}));
  EXPECT_EQ(record.sig6045Count, 2u);
  EXPECT_EQ(record.sig6100Count, 2u);
}

// State is kept for exactly the window, 1 ms later it has gone (for the scans, even when the probe
// is for one of their ports) and counting starts afresh.
TEST_F(DetectorTest, WindowKeepsItsLengthAndDropsOneMore) {
  for (const Tracker& t : Trackers()) {
    SCOPED_TRACE(t.id);
    const std::string source = "10.6.0." + std::to_string(t.id % 256);
    auto send = [&](int i) { ASSERT_EQ(Detect(DetectorFor(t.id), *t.packet(i, source)), 0u); };
    for (int i : {1, 2}) send(i);
    kt::AdvanceSystemTimeMs(t.windowMs);
    send(3);
    EXPECT_EQ(Record(source).*t.count, 3u);
    kt::AdvanceSystemTimeMs(1);
    send(1);
    const HostRecord r = Record(source);
    EXPECT_EQ(r.*t.count, t.id < 3702 ? 2u : 1u);
    const PortItem* ports = t.id == 3700 ? r.tcpScanPorts : r.udpScanPorts;
    EXPECT_EQ(Ports(ports), t.id < 3702 ? PortList({1, 3}) : PortList());
  }
}

// A repeated port moves to the head without counting; the window survives the
// wrap of the low 32 bits of the millisecond clock (10 ms away at the start).
TEST_F(DetectorTest, RepeatedPortAndClockWrap) {
  kt::SetSystemTime(((BaseTime() / kt::kUnitsPerMs | 0xFFFFFFFFLL) - 10) * kt::kUnitsPerMs);
  for (uint16_t i = 1; i <= 19; ++i) {
    ASSERT_EQ(Tcp(i), kDetectNoMatch);
    if (i == 10) kt::AdvanceSystemTimeMs(30);
  }
  EXPECT_EQ(Tcp(7), kDetectNoMatch);
  const PortList ports = Ports(Record().tcpScanPorts);
  EXPECT_EQ(Record().tcpScanPortCount, 19u);
  EXPECT_EQ(PortList(ports.begin(), ports.begin() + 2), PortList({7, 19}));
  EXPECT_EQ(std::count(ports.begin(), ports.end(), 7), 1);
  EXPECT_EQ(Tcp(20), kDetectMatch);
}

// 20 probes to high ports are passed over and the 21st tracked; low ports at once; TCP and UDP
// apart.
TEST_F(DetectorTest, HighPortsAreSampledOneInTwentyOne) {
  for (uint16_t i = 0; i < 20; ++i) ASSERT_EQ(Tcp(static_cast<uint16_t>(1024 + i)), kDetectNoMatch);
  ASSERT_EQ(Tcp(1023), kDetectNoMatch);
  ASSERT_EQ(Udp(3000), kDetectNoMatch);
  EXPECT_EQ(Ports(Record().tcpScanPorts), PortList({1023}));
  EXPECT_EQ(Record().tcpScanHighPortSkip, 20);
  EXPECT_EQ(Record().udpScanHighPortSkip, 1);
  ASSERT_EQ(Tcp(5000), kDetectNoMatch);  // the 21st high port
  EXPECT_EQ(Record().tcpScanHighPortSkip, 0);
  EXPECT_EQ(Ports(Record().tcpScanPorts), PortList({5000, 1023}));
}

// The record exists all the same; neighbouring and byte-swapped ports count.
TEST_F(DetectorTest, DnsAndSnmpSourcePortsAreNeverCounted) {
  for (uint16_t sourcePort : {53, 161, 52, 54, 160, 162, 0x3500, 0xA100}) {
    const std::string source = "10.5.0." + std::to_string(sourcePort % 256);
    for (uint16_t i = 1; i < 100; ++i) ASSERT_EQ(Udp(i, sourcePort, source), kDetectNoMatch);
    const bool ignored = sourcePort == 53 || sourcePort == 161;
    EXPECT_EQ(Record(source).udpScanPortCount, ignored ? 0u : 99u) << sourcePort;
  }
}

// Which segments look the source up (creating its record), what they count, and the payload
// fetched with the learned length (never, for the TCP scan).
TEST_F(DetectorTest, SegmentsThatTouchTheStore) {
  int n = 0;
  auto check = [&](ULONG id, uint16_t port, const Bytes& payload, int count,
                   UCHAR flags = kDataFlags) {
    const std::string source = "10.8.0." + std::to_string(++n);
    auto packet = Segment(port, payload, source, flags);
    ASSERT_EQ(Detect(DetectorFor(id), *packet), kDetectNoMatch);
    const std::optional<HostRecord> record = Find(source);
    ASSERT_EQ(record.has_value(), count >= 0) << "case " << n;
    if (count < 0) return;
    const ULONG HostRecord::*counter = id == 3700   ? &HostRecord::tcpScanPortCount
                                       : id == 6045 ? &HostRecord::sig6045Count
                                                    : &HostRecord::sig6100Count;
    EXPECT_EQ((*record).*counter, ULONG(count)) << n;
    EXPECT_EQ(packet->payloadLengthArguments(),
              (id == 3700 ? std::vector<ULONG64>{} : std::vector<ULONG64>{0, payload.size()}));
  };
  using Flags = std::initializer_list<UCHAR>;  // only a bare SYN or FIN is a scan probe
  for (UCHAR f : Flags{kTcpFlagSyn, kTcpFlagFin, kTcpFlagSyn | kTcpFlagFin, kTcpFlagSyn | 0x08}) {
    check(3700, 22, {}, 1, f);
  }
  for (UCHAR f : Flags{kTcpFlagSyn | kTcpFlagAck, kTcpFlagFin | kTcpFlagAck,
                       kTcpFlagSyn | kTcpFlagRst, kTcpFlagRst, 0}) {
    check(3700, 22, {}, -1, f);
  }
  for (uint16_t port : {139, 136, 444, 0xBD01, 0x8700}) check(6045, port, NtlmAuthenticate(), -1);
  check(6045, 135, NtlmAuthenticate(), 1);
  check(6045, 445, Bytes(105, 0x41), -1);
  check(6045, 445, Bytes(106, 0x41), 0);
  check(6045, 445, SessionSetup(106, {{41, 3}}), 1);  // the one scan position of 106 bytes
  for (uint16_t port : {138, 140, 444, 446, 0x8B00}) check(6100, port, Bytes(4, 0), -1);
  for (size_t length : {3, 37}) check(6100, 445, Bytes(length, 0), -1);
  for (size_t length : {4, 36}) check(6100, 445, Bytes(length, 0), 1);
  check(6100, 445, Bytes{0x85, 0, 0, 0}, 0);  // a keep-alive
}

// A segment whose first blob opens the window ends its scan there; in an open window every blob
// counts. Only authenticate messages count, scanned from offset 48 while k < length - 64.
TEST_F(DetectorTest, NtlmAuthenticateMessagesOfASegment) {
  const Bytes three = SessionSetup(300, {{0, 3}, {40, 3}, {100, 3}});
  EXPECT_EQ(Ntlm(three).sig6045Count, 1u);  // opens the window; the scan stops there
  for (int i = 0; i < 6; ++i) Ntlm(three);
  EXPECT_EQ(Record().sig6045Count, 19u);
  // The 21st is the second blob of this segment.
  EXPECT_EQ(RunTcp(DetectSmbNtlmAuthBurst, 445, three), kDetectMatch);
  const std::pair<Bytes, ULONG> cases[] = {
      {NtlmAuthenticate(), 1},
      {SessionSetup(200, {{30, 1}, {60, 2}}), 1},
      {PutText(NtlmAuthenticate(), 48 + 30, "ntlmssp"), 1},
      {Put(NtlmAuthenticate(), {{8, 0x72, 1}}), 1},
      {SessionSetup(200, {{135, 3}}), 2},
      {SessionSetup(200, {{136, 3}}), 2},
      {SessionSetup(200, {{0, 3}}), 3},
      {Put(PutText(Smb1(200, 0x73), 47, std::string("NTLMSSP") + '\0'), {{55, 3, 4}}), 3},
  };
  for (const auto& [payload, count] : cases) EXPECT_EQ(Ntlm(payload).sig6045Count, count);
}

// Transaction2 is tallied at counts 1 to 3; a Tree Disconnect after a tally clears tally and count
// but keeps the window start.
TEST_F(DetectorTest, Transaction2TallyAndTreeDisconnectReset) {
  const Bytes trans2 = Smb1(120, 0x32), disconnect = Smb1(120, 0x71);
  EXPECT_EQ(Ntlm(trans2).sig6045Aux, 0u);
  for (ULONG count = 1; count <= 4; ++count) {
    Ntlm(NtlmAuthenticate());
    EXPECT_EQ(Ntlm(trans2).sig6045Aux, std::min(count, 3u)) << count;
  }
  const ULONG stamp = Record().sig6045Stamp;
  const HostRecord cleared = Ntlm(disconnect);
  EXPECT_EQ(cleared.sig6045Aux, 0u);
  EXPECT_EQ(cleared.sig6045Count, 0u);
  EXPECT_EQ(cleared.sig6045Stamp, stamp);
  Ntlm(NtlmAuthenticate());
  EXPECT_EQ(Ntlm(disconnect).sig6045Count, 1u);  // no tally: the count stays
}

constexpr ULONG kLevel = 2, kBlockReaction = 3;
constexpr ULONG64 kActionParam = 0xA11CE;

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    kt::SetSystemTime(BaseTime());
    plugin_.emplace();
    ASSERT_TRUE((*plugin_)->Start());
    ASSERT_EQ(testlib::Configure(plugin_->get(),
                                 testlib::MakeHeader({1, kBlockReaction, 1, 1}, 0, kActionParam),
                                 testlib::RecordsForAllRows(g_signatureTable, kLevel)),
              STATUS_SUCCESS);
  }
  void TearDown() override {
    plugin_.reset();
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }

  // One inspection delivering exactly one verdict and report: the reported signature (0: allowed).
  ULONG Inspect(FakePacket& packet) {
    packet.ClearRecord();
    EXPECT_EQ((*plugin_)->InspectPacket(&packet), kInspectDelivered);
    EXPECT_TRUE(packet.DeliveredOnce());
    EXPECT_EQ(packet.verdict().action == ULONG(FW_ACTION_ALLOW), packet.report().signatureId == 0);
    return packet.report().signatureId;
  }

  std::optional<testlib::PluginHolder> plugin_;
};

// One attack per signature, each from its own source.
TEST_F(EndToEndTest, EachAttackIsBlockedAndReportedOnItsLastPacket) {
  std::vector<Tracker> attacks = Trackers();
  for (const Detector& t : Detectors()) {
    attacks.push_back({t.id, 1, 0, nullptr, [t](int, const std::string& s) {
                         return Segment(t.Port(), t.match[0], s);
                       }});
  }
  for (size_t a = 0; a < attacks.size(); ++a) {
    const Tracker& attack = attacks[a];
    SCOPED_TRACE(attack.id);
    const std::string source = "10.20.0." + std::to_string(a + 1);
    for (ULONG i = 1; i < attack.perMatch; ++i) {
      ASSERT_EQ(Inspect(*attack.packet(i, source)), 0u) << i;
    }
    auto packet = attack.packet(attack.perMatch, source);
    ASSERT_EQ(Inspect(*packet), attack.id);
    EXPECT_EQ(packet->verdict().action, static_cast<ULONG>(FW_ACTION_BLOCK_PACKET));
    EXPECT_EQ(packet->verdict().actionParameter, kActionParam);
    EXPECT_EQ(packet->report().severity, kLevel);
    EXPECT_EQ(packet->report().reaction, kBlockReaction);
    EXPECT_EQ(packet->report().additionalDataIndex, 0u);
  }
}

// Every stateful family, a Transaction2 tally and a Tree Disconnect from one source, inspected from
// two threads at once: under ThreadSanitizer the shared record's fields are serialised; the pool
// ledger shows that no reference and no port item is lost.
TEST_F(EndToEndTest, OneSourceFromTwoThreads) {
  constexpr int kIterations = 600;                 // per thread
  constexpr int kPerIteration[] = {25, 60, 1, 4};  // packets of each family
  const std::vector<Tracker> families = Trackers();
  const std::string source = "10.40.0.1";
  std::vector<std::unique_ptr<FakePacket>> packets[2];
  for (int t = 0; t < 2; ++t) {
    for (int f = 0; f < 4; ++f) {
      // Distinct ports per thread, so that both threads grow the same lists.
      for (int i = 0; i < kPerIteration[f]; ++i) {
        packets[t].push_back(families[f].packet(1 + i + 100 * t, source));
      }
    }
    // Sent every 50 iterations, so that the NTLM burst can still match.
    packets[t].push_back(Segment(445, Trans2(40, 40, 5, 120), source));
    packets[t].push_back(Segment(445, Smb1(120, 0x71), source));
  }
  std::atomic<int> ready{0}, matches[4] = {};
  auto run = [&](int t) {
    ++ready;
    while (ready.load() < 2) std::this_thread::yield();
    for (int i = 0; i < kIterations; ++i) {
      for (size_t p = 0; p < packets[t].size() - (i % 50 ? 2 : 0); ++p) {
        const ULONG id = Inspect(*packets[t][p]);
        for (int f = 0; f < 4; ++f) matches[f] += id == families[f].id;
      }
    }
  };
  std::thread other(run, 1);
  run(0);
  other.join();
  // Each match needs its threshold's packets; with none the TCP scan list would outgrow its own.
  for (int f = 0; f < 4; ++f) {
    EXPECT_LE(matches[f].load(), 2 * kIterations * kPerIteration[f] / int(families[f].perMatch))
        << f;
  }
  EXPECT_GT(matches[0] + matches[1] + matches[2] + matches[3], 0);
  if (const std::optional<HostRecord> record = Find(source)) {
    EXPECT_EQ(record->refCount, 2u);  // the table's and Find's
    EXPECT_LE(record->tcpScanPortCount, 19u);
    EXPECT_LE(record->udpScanPortCount, 99u);
  }
}

}  // namespace
}  // namespace dtest
