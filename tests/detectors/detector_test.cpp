// The SMB, NetBIOS and port-scan detectors, each run alone, then through a started plug-in.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <thread>
#include <tuple>

#include "detectors/detector_run.h"
#include "detectors/smb_packets.h"
#include "kt_hooks.h"
#include "nips/detectors/detectors.h"
#include "nips/tracking/tracking.h"
#include "testlib/engine_support.h"

namespace dtest {
namespace {

using testlib::FakePacket;
using PortList = std::vector<USHORT>;

constexpr UCHAR kDataFlags = kTcpFlagAck | 0x08;  // ACK, PSH: never a scan probe
constexpr char kClient[] = "10.1.1.1";
constexpr uint32_t kFrom = 0x10000;  // port flag: the segment comes from the port
constexpr uint32_t k139 = 1, k445 = 2, kSmbPorts = k139 | k445;
inline const std::string kBrowse = "\\MAILSLOT\\BROWSE";

int64_t BaseTime() { return kt::SystemTimeFromUnix(1700000000, 0); }  // TrackedTest's clock

auto Segment(uint32_t port, const Bytes& payload, const std::string& source = kClient,
             UCHAR flags = kDataFlags) {
  const uint16_t p = static_cast<uint16_t>(port);
  return port & kFrom ? FakePacket::Tcp("10.9.9.9", p, source, 50123, flags, payload)
                      : FakePacket::Tcp(source, 50123, "10.9.9.9", p, flags, payload);
}

NipsDetector DetectorFor(ULONG id) {
  for (const SignatureEntry& row : g_signatureTable.rows)
    if (row.signatureId == id) return row.detector;
  ADD_FAILURE() << "no row " << id;
  return DetectNone;
}

struct Detector {
  ULONG id;
  size_t lengthTest;                  // the length asked for before the pointer (0: not asked)
  uint32_t ports;                     // examined ports; with kFrom, of what the server sends
  std::vector<Bytes> match, noMatch;  // match[0] is the shortest attack
  uint32_t Port() const { return (ports & kFrom) | (ports & k445 ? 445 : 139); }
};

Detector T(ULONG id, size_t lengthTest, uint32_t ports, std::vector<Bytes> match,
           std::vector<Bytes> noMatch) {
  return {id, lengthTest, ports, std::move(match), std::move(noMatch)};
}

std::vector<Detector> Detectors() {
  // The mailslot header gates both checks; a name area 1 byte past the end fails until it fits.
  const Bytes mail = MailslotWrite(kBrowse, 0);
  Bytes fits = Put(mail, {{71, 5 + 17}});
  const std::vector<Bytes> gate = {Put(mail, {{63, 2, 1}}), Put(mail, {{65, 2}}),
                                   Put(mail, {{8, 0x32, 1}}), Put(mail, {{71, 4}}), fits};
  auto bad = [&](std::vector<Bytes> v) { return v.insert(v.end(), gate.begin(), gate.end()), v; };
  fits.push_back('X');
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
      // A NUL anywhere in the name area terminates it.
      T(3804, 71, kSmbPorts, {MailslotWrite(kBrowse, 2), mail, fits, MailslotWrite("")},
        bad({MailslotWrite('\0' + kBrowse), MailslotWrite(kBrowse + '\0')})),
      // Letters of the prefix fold, nothing else; 10 bytes of name suffice.
      T(3802, 73, kSmbPorts,
        {mail, fits, MailslotWrite(kBrowse, 1), MailslotWrite("\\mAiLsLoT\\", 1)},
        bad({MailslotWrite(kBrowse, 2), MailslotWrite("|MAILSLOT|", 1),
             MailslotWrite("\\MAILSLOT/x", 1), MailslotWrite("/MAILSLOT\\x", 1),
             Put(MailslotWrite("\\MAILSLOT\\", 1), {{71, 5 + 9}})})),
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
        {Smb2Ioctl(0xD0, 1792, 0), Smb2Ioctl(0xCC, 0, 1792), Smb2Ioctl(0xD0, 0, ~0u),
         Smb2Ioctl(0xCC, ~0u, 0), Smb2Ioctl(0xCE, ~0u, ~0u), Smb2Ioctl(0x1D0, ~0u, ~0u),
         Put(Smb2Ioctl(0xD0, 5000, 0), {{16, 10}})}),
      T(6119, 67, k445, {Trans2Probe(65, 14)},
        {Trans2Probe(64, 14), Trans2Probe(65, 13), Put(Trans2Probe(65, 14), {{8, 0x33, 1}})}),
      // The unsigned sum wraps.
      T(6157, 4, kSmbPorts, {Compression(~0u, 1), Compression(0x80000000, 0x80000000)},
        {Compression(~0u, 0), Compression(0x7FFFFFFF, 0x80000000), Compression(0, ~0u)}),
      T(6175, 98, kSmbPorts, {SisCopy()},
        {SisCopy(1), SisCopy(2, 0x00090101), SisCopy(2, 0x01000900), SisCopy(2, 0x00090100, 0),
         SisCopy(2, 0x00090100, 2)}),
  };
}

struct Tracker {
  ULONG id, perMatch, windowMs;  // perMatch: packets of an attack; the last one matches
  ULONG HostRecord::*count;
  std::function<std::unique_ptr<FakePacket>(int i, const std::string& source)> packet;
};

std::vector<Tracker> Trackers() {
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

constexpr auto Detect = RunDetector;
ULONG RunTcp(NipsDetector d, uint32_t port, const Bytes& b) { return Detect(d, *Segment(port, b)); }
ULONG Tcp(uint16_t p) { return Detect(DetectTcpPortScan, *Segment(p, {}, kClient, kTcpFlagSyn)); }
ULONG Udp(uint16_t port, uint16_t sourcePort = 40000, const std::string& source = kClient) {
  return Detect(DetectUdpPortScan, *FakePacket::Udp(source, sourcePort, "10.9.9.9", port, {}));
}

std::optional<HostRecord> Find(const std::string& source) {  // a copy: no reference is kept
  const HostAddress address = testlib::MakeAddress(source);
  std::unique_ptr<HostRecord, void (*)(HostRecord*)> r(FindHostRecord(&address), ReleaseHostRecord);
  return r ? std::optional(*r) : std::nullopt;
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
PortList Ports(const PortItem* item) {  // head first
  PortList ports;
  for (; item != nullptr; item = item->next) ports.push_back(item->port);
  return ports;
}

// The tracked store at BaseTime(); the plug-in, when a test starts one, goes first.
class DetectorTest : public TrackedTest {
 protected:
  void TearDown() override {
    plugin_.reset();
    TrackedTest::TearDown();
  }
  std::optional<testlib::PluginHolder> plugin_;
};

TEST_F(DetectorTest, StatelessPortsLengthsAndFieldBoundaries) {
  for (const Detector& t : Detectors()) {
    SCOPED_TRACE(t.id);
    const NipsDetector d = DetectorFor(t.id);
    const Bytes& attack = t.match[0];
    // Examined ports; neighbours, byte-swapped values and the other direction: no payload pointer.
    for (uint32_t port : {139u, 445u, 138u, 140u, 444u, 446u, 0x8B00u, 0xBD01u, kFrom | 445}) {
      const bool examined = (port == 139 && t.ports & k139) || (port == 445 && t.ports & k445);
      auto packet = Segment((t.ports & kFrom) ^ port, attack);
      EXPECT_EQ(Detect(d, *packet), examined ? kDetectMatch : kDetectNoMatch) << port;
      EXPECT_LE(packet->payloadLengthArguments().size(), examined ? 2u : 1u) << port;
    }
    // Length first, then the pointer: 1 byte short of the length test or the attack fails.
    for (size_t length :
         {t.lengthTest - 1, t.lengthTest, attack.size() - 1, attack.size(), attack.size() + 1}) {
      if (length > attack.size() + 1) continue;
      SCOPED_TRACE(length);
      Bytes b = attack;
      b.resize(length);
      auto packet = Segment(t.Port(), b);
      EXPECT_EQ(Detect(d, *packet), length < attack.size() ? kDetectNoMatch : kDetectMatch);
      std::vector<ULONG64> read{0, length};
      read.resize(t.lengthTest && length >= t.lengthTest ? 2 : 1);
      EXPECT_EQ(packet->payloadLengthArguments(), read);
    }
    // Not a session message; a foreign protocol id; then each field's rows.
    EXPECT_EQ(RunTcp(d, t.Port(), Put(attack, {{0, 0x85, 1}})), kDetectNoMatch);
    EXPECT_EQ(RunTcp(d, t.Port(), Put(attack, {{5, 's', 1}})), kDetectNoMatch);
    int row = 0;
    for (const Bytes& b : t.match) EXPECT_EQ(RunTcp(d, t.Port(), b), kDetectMatch) << row++;
    for (const Bytes& b : t.noMatch) EXPECT_EQ(RunTcp(d, t.Port(), b), kDetectNoMatch) << row++;
  }
}

// Stateful: port scans 3700 (TCP), 3701 (UDP); NTLM burst 6045; short NetBIOS flood 6100. Spread
// over the window (the bursts' last packet at its very end), the last packet matches and removes
// the source's record, with another detector's state, and nothing of another source's. Elsewhere,
// state is kept for exactly the window, 1 ms later it has gone (for the scans, even when the
// probe is for one of their ports) and counting starts afresh.
TEST_F(DetectorTest, ThresholdAndWindow) {
  const std::vector<Tracker> all = Trackers();
  for (size_t k = 0; k < all.size(); ++k) {
    const Tracker &t = all[k], &other = all[(k + 1) % all.size()];
    SCOPED_TRACE(t.id);
    const NipsDetector d = DetectorFor(t.id);
    auto send = [&](int i, const std::string& s = kClient) { return Detect(d, *t.packet(i, s)); };
    ASSERT_EQ(Detect(DetectorFor(other.id), *other.packet(500, kClient)), kDetectNoMatch);
    ASSERT_EQ(send(1, "fd00::1"), kDetectNoMatch);
    for (ULONG i = 1; i < t.perMatch; ++i, kt::AdvanceSystemTimeMs(t.windowMs / (t.perMatch - 1)))
      ASSERT_EQ(send(i), kDetectNoMatch) << i;
    EXPECT_EQ(Record().*t.count, t.perMatch - 1);
    EXPECT_EQ(send(t.perMatch), kDetectMatch);
    EXPECT_FALSE(Find(kClient));
    EXPECT_EQ(Record("fd00::1").*t.count, 1u);
    EXPECT_EQ(send(999), kDetectNoMatch);
    EXPECT_EQ(std::pair(Record().*t.count, Record().*other.count), std::pair(1u, 0u));
    const std::string w = "10.6.0." + std::to_string(k);
    for (int i : {1, 2}) ASSERT_EQ(send(i, w), kDetectNoMatch);
    kt::AdvanceSystemTimeMs(t.windowMs);
    ASSERT_EQ(send(3, w), kDetectNoMatch);
    EXPECT_EQ(Record(w).*t.count, 3u);
    kt::AdvanceSystemTimeMs(1);
    ASSERT_EQ(send(1, w), kDetectNoMatch);
    const HostRecord r = Record(w);
    EXPECT_EQ(r.*t.count, t.id < 3702 ? 2u : 1u);
    EXPECT_EQ(Ports(t.id == 3700 ? r.tcpScanPorts : r.udpScanPorts),
              t.id < 3702 ? PortList({1, 3}) : PortList());
  }
}

// A known port or an existing record needs no allocation; a failed one changes nothing.
TEST_F(DetectorTest, AllocationFailuresAbortAndChangeNothing) {
  auto send = [](auto& t, auto s) { return Detect(DetectorFor(t.id), *t.packet(1, s)); };
  for (const Tracker& t : Trackers()) ASSERT_EQ(send(t, kClient), kDetectNoMatch);
  kt::FailAllocationsWithTag(kt::Tag("Qvat"));  // host records
  for (const Tracker& t : Trackers())
    EXPECT_EQ(std::pair(send(t, "10.6.9.9"), send(t, kClient)),
              std::pair(kDetectError, kDetectNoMatch))
        << t.id;
  kt::FailAllocationsWithTag(kt::Tag("Qvps"));  // port items
  EXPECT_EQ(Tcp(2), kDetectError);
  EXPECT_EQ(Udp(2), kDetectError);
  const HostRecord r = Record();
  EXPECT_EQ(
      std::tuple(Ports(r.tcpScanPorts), Ports(r.udpScanPorts), r.sig6045Count, r.sig6100Count),
      std::tuple(PortList{1}, PortList{1}, 2u, 2u));
}

// A repeated port moves to the head without counting, across the wrap of the low 32 bits of the
// millisecond clock (10 ms away at the start). 20 probes to high ports are passed over (TCP and
// UDP apart), a low port is tracked at once, and the 21st high port too: the 20th distinct port.
TEST_F(DetectorTest, TcpScanPortList) {
  kt::SetSystemTime(((BaseTime() / kt::kUnitsPerMs | 0xFFFFFFFFLL) - 10) * kt::kUnitsPerMs);
  PortList expected = {7};
  for (uint16_t i = 1; i <= 18; ++i) {
    ASSERT_EQ(Tcp(i), kDetectNoMatch);
    if (i == 10) kt::AdvanceSystemTimeMs(30);
    if (i != 7) expected.insert(expected.begin() + 1, i);
  }
  EXPECT_EQ(Tcp(7), kDetectNoMatch);
  EXPECT_EQ(Ports(Record().tcpScanPorts), expected);
  for (uint16_t i = 0; i < 20; ++i) ASSERT_EQ(Tcp(static_cast<uint16_t>(1024 + i)), kDetectNoMatch);
  ASSERT_EQ(Tcp(1023), kDetectNoMatch);
  ASSERT_EQ(Udp(3000), kDetectNoMatch);
  const HostRecord r = Record();
  EXPECT_EQ(std::tuple(r.tcpScanPortCount, r.tcpScanHighPortSkip, r.udpScanHighPortSkip),
            std::tuple(19u, 20, 1));
  EXPECT_EQ(Tcp(5000), kDetectMatch);  // the 21st high port
}

// The record exists all the same; neighbouring and byte-swapped ports count.
TEST_F(DetectorTest, DnsAndSnmpSourcePortsAreNeverCounted) {
  int n = 0;
  for (uint16_t sourcePort : {53, 161, 52, 54, 160, 162, 0x3500, 0xA100}) {
    const std::string source = "10.5.0." + std::to_string(++n);
    for (uint16_t i = 1; i < 100; ++i) ASSERT_EQ(Udp(i, sourcePort, source), kDetectNoMatch);
    const bool ignored = sourcePort == 53 || sourcePort == 161;
    EXPECT_EQ(Record(source).udpScanPortCount, ignored ? 0u : 99u) << sourcePort;
  }
}

// Which segments look the source up (creating its record), what they count, and the payload
// fetched with the learned length (never, for the TCP scan).
TEST_F(DetectorTest, SegmentsThatTouchTheStore) {
  const std::vector<Tracker> all = Trackers();
  const Tracker &tcp = all[0], &ntlm = all[2], &flood = all[3];
  int n = 0;
  auto check = [&](const Tracker& t, uint16_t port, const Bytes& payload, int count,
                   UCHAR flags = kDataFlags) {
    const std::string source = "10.8.0." + std::to_string(++n);
    auto packet = Segment(port, payload, source, flags);
    ASSERT_EQ(Detect(DetectorFor(t.id), *packet), kDetectNoMatch);
    const std::optional<HostRecord> record = Find(source);  // none: count -1
    EXPECT_EQ(record ? int((*record).*t.count) : -1, count) << "case " << n;
    if (!record) return;
    std::vector<ULONG64> read{0, payload.size()};
    EXPECT_EQ(packet->payloadLengthArguments(), t.id == 3700 ? std::vector<ULONG64>() : read);
  };
  using Flags = std::initializer_list<UCHAR>;  // a SYN or FIN without ACK or RST is a scan probe
  for (UCHAR f : Flags{kTcpFlagSyn, kTcpFlagFin, kTcpFlagSyn | kTcpFlagFin, kTcpFlagSyn | 0x08})
    check(tcp, 22, {}, 1, f);
  for (UCHAR f : Flags{kTcpFlagSyn | kTcpFlagAck, kTcpFlagFin | kTcpFlagAck,
                       kTcpFlagSyn | kTcpFlagRst, kTcpFlagRst, 0})
    check(tcp, 22, {}, -1, f);
  for (uint16_t port : {139, 136, 444, 0xBD01, 0x8700}) check(ntlm, port, NtlmAuthenticate(), -1);
  check(ntlm, 135, NtlmAuthenticate(), 1);
  check(ntlm, 445, Bytes(105, 0x41), -1);
  check(ntlm, 445, Bytes(106, 0x41), 0);
  check(ntlm, 445, SessionSetup(106, {{41, 3}}), 1);  // the one scan position of 106 bytes
  for (uint16_t port : {138, 140, 444, 446, 0x8B00}) check(flood, port, Bytes(4, 0), -1);
  for (size_t length : {3, 37}) check(flood, 445, Bytes(length, 0), -1);
  for (size_t length : {4, 36}) check(flood, 445, Bytes(length, 0), 1);
  check(flood, 445, Bytes{0x85, 0, 0, 0}, 0);  // a keep-alive
}

// A segment whose first blob opens the window ends its scan there; in an open window every blob
// counts. Only authenticate messages count, scanned from offset 48 while k < length - 64.
TEST_F(DetectorTest, NtlmAuthenticateMessagesOfASegment) {
  const Bytes three = SessionSetup(300, {{0, 3}, {40, 3}, {100, 3}});
  EXPECT_EQ(Ntlm(three).sig6045Count, 1u);  // opens the window; the scan stops there
  for (int i = 0; i < 6; ++i) Ntlm(three);
  EXPECT_EQ(Record().sig6045Count, 19u);
  EXPECT_EQ(RunTcp(DetectSmbNtlmAuthBurst, 445, three), kDetectMatch);  // at its second blob
  const std::vector<Bytes> countAfter[] = {
      // sent in turn: the count after each is 1, 2, 3
      {NtlmAuthenticate(), SessionSetup(200, {{30, 1}, {60, 2}}),
       PutText(NtlmAuthenticate(), 48 + 30, "ntlmssp"), Put(NtlmAuthenticate(), {{8, 0x72, 1}})},
      {SessionSetup(200, {{135, 3}}), SessionSetup(200, {{136, 3}})},
      {SessionSetup(200, {{0, 3}}),
       Put(PutText(Smb1(200, 0x73), 47, std::string("NTLMSSP") + '\0'), {{55, 3, 4}})}};
  for (ULONG count = 1; count <= 3; ++count)
    for (const Bytes& b : countAfter[count - 1]) EXPECT_EQ(Ntlm(b).sig6045Count, count);
}

// Transaction2 is tallied at counts 1 to 3; a Tree Disconnect after a tally clears tally and count
// but keeps the window start.
TEST_F(DetectorTest, Transaction2TallyAndTreeDisconnectReset) {
  const Bytes trans2 = Smb1(120, 0x32), disconnect = Smb1(120, 0x71);
  for (ULONG count = 0; count <= 4; Ntlm(NtlmAuthenticate()), ++count)
    EXPECT_EQ(Ntlm(trans2).sig6045Aux, std::min(count, 3u)) << count;
  const ULONG stamp = Record().sig6045Stamp;
  const HostRecord cleared = Ntlm(disconnect);
  EXPECT_EQ(std::tuple(cleared.sig6045Aux, cleared.sig6045Count, cleared.sig6045Stamp),
            std::tuple(0u, 0u, stamp));
  Ntlm(NtlmAuthenticate());
  EXPECT_EQ(Ntlm(disconnect).sig6045Count, 1u);  // no tally: the count stays
}

// A started plug-in with every row enabled to block, in place of the fixture's store.
class EndToEndTest : public DetectorTest {
 protected:
  void SetUp() override {
    DetectorTest::SetUp();
    FreeTrackingContext();
    plugin_.emplace();
    ASSERT_TRUE((*plugin_)->Start());
    ASSERT_EQ(testlib::Configure(plugin_->get(), testlib::MakeHeader({1, 3, 1, 1}),
                                 testlib::RecordsForAllRows(g_signatureTable, 2)),
              STATUS_SUCCESS);
  }
  // One inspection delivering exactly one verdict and report: the reported signature (0: allowed).
  ULONG Inspect(FakePacket& packet) {
    packet.ClearRecord();
    EXPECT_EQ((*plugin_)->InspectPacket(&packet), kInspectDelivered);
    EXPECT_TRUE(packet.DeliveredOnce());
    EXPECT_EQ(packet.verdict().action == ULONG(FW_ACTION_ALLOW), packet.report().signatureId == 0);
    return packet.report().signatureId;
  }
};

// Every stateful family, a Transaction2 tally and a Tree Disconnect from one source, inspected from
// two threads at once: under ThreadSanitizer the shared record's fields are serialised; the pool
// ledger shows that no reference and no port item is lost.
TEST_F(EndToEndTest, OneSourceFromTwoThreads) {
  constexpr int kIterations = 600;                 // per thread
  constexpr int kPerIteration[] = {25, 60, 1, 4};  // packets of each family
  const std::vector<Tracker> kinds = Trackers();
  const std::string source = "10.40.0.1";
  std::vector<std::unique_ptr<FakePacket>> packets[2];
  for (int t = 0; t < 2; ++t) {
    for (int f = 0; f < 4; ++f)  // distinct ports per thread: both threads grow the same lists
      for (int i = 0; i < kPerIteration[f]; ++i)
        packets[t].push_back(kinds[f].packet(1 + i + 100 * t, source));
    // Sent every 50 iterations, so that the NTLM burst can still match.
    packets[t].push_back(Segment(445, Trans2(40, 40, 5, 120), source));
    packets[t].push_back(Segment(445, Smb1(120, 0x71), source));
  }
  std::atomic<int> ready{0}, matches[4] = {};
  auto run = [&](int t) {
    ++ready;
    while (ready.load() < 2) std::this_thread::yield();
    for (int i = 0; i < kIterations; ++i)
      for (size_t p = 0; p < packets[t].size() - (i % 50 ? 2 : 0); ++p) {
        const ULONG id = Inspect(*packets[t][p]);
        for (int f = 0; f < 4; ++f) matches[f] += id == kinds[f].id;
      }
  };
  std::thread other(run, 1);
  run(0);
  other.join();
  // Each match needs its threshold's packets; with none the TCP scan list would outgrow its own.
  for (int f = 0; f < 4; ++f)
    EXPECT_LE(matches[f].load(), 2 * kIterations * kPerIteration[f] / int(kinds[f].perMatch)) << f;
  EXPECT_GT(matches[0] + matches[1] + matches[2] + matches[3], 0);
  if (const std::optional<HostRecord> r = Find(source)) {  // references: the table's and Find's
    EXPECT_EQ(std::tuple(r->refCount, r->tcpScanPortCount < 20, r->udpScanPortCount < 100),
              std::tuple(2u, true, true));
  }
}

}  // namespace
}  // namespace dtest
