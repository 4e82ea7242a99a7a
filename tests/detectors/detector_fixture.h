// Shared set-up of the detector tests: packet helpers, one attack and its
// boundary cases per detector, and a fixture with a fresh kernel world, a
// fixed clock and a tracking store on engine pool memory.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "detectors/smb_packets.h"
#include "kt_hooks.h"
#include "nips/detectors/detectors.h"
#include "nips/engine/packet_view.h"
#include "nips/engine/pool.h"
#include "nips/engine/signature.h"
#include "nips/tracking/tracking.h"
#include "testlib/fake_packet.h"

namespace dtest {

using testlib::FakePacket;

constexpr ULONG kTagHostRecord = kt::Tag("Qvat");
constexpr ULONG kTagPortItem = kt::Tag("Qvps");
constexpr UCHAR kDataFlags = kTcpFlagAck | 0x08;  // ACK, PSH: never a scan probe
constexpr char kClient[] = "10.1.1.1";
// Port flag: the segment comes from the port instead of going to it.
constexpr uint32_t kFrom = 0x10000;

// A fixed, arbitrary moment (2023-11-14) so that windows are reproducible.
inline int64_t BaseTime() { return kt::SystemTimeFromUnix(1700000000, 0); }

inline Bytes Cut(Bytes b, size_t length) {
  b.resize(length);
  return b;
}

// A data segment from source to port (from port when kFrom is set).
inline std::unique_ptr<FakePacket> Segment(uint32_t port, const Bytes& payload,
                                           const std::string& source = kClient,
                                           UCHAR flags = kDataFlags) {
  const uint16_t p = static_cast<uint16_t>(port);
  if (port & kFrom) return FakePacket::Tcp("10.9.9.9", p, source, 50123, flags, payload);
  return FakePacket::Tcp(source, 50123, "10.9.9.9", p, flags, payload);
}

// The detector the built-in table binds to a signature.
inline NipsDetector DetectorFor(ULONG id) {
  for (const SignatureEntry& row : g_signatureTable.rows) {
    if (row.signatureId == id) return row.detector;
  }
  ADD_FAILURE() << "no row " << id;
  return DetectNone;
}

// ---- Shared cases ----

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

inline std::vector<Bytes> Join(std::vector<Bytes> a, const std::vector<Bytes>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// One entry per stateless detector.
inline std::vector<Detector> Detectors() {
  // The mailslot header gates both mailslot checks; a name area one byte past
  // the end fails until the byte is there.
  const Bytes mail = MailslotWrite(kBrowse, 0);
  Bytes fits = Put(mail, {{71, 5 + 17}});
  const std::vector<Bytes> badMail = {Put(mail, {{63, 2, 1}}), Put(mail, {{65, 2}}),
                                      Put(mail, {{8, 0x32, 1}}), Put(mail, {{71, 4}}), fits};
  fits.push_back('X');
  const uint32_t kMax = 0xFFFFFFFF;
  return {
      // A high word anywhere in 1..FFFF; anonymous ids only together; the command.
      T(2231, 36, kSmbPorts,
        {Negotiate(1), Negotiate(0x8000), Negotiate(1, 0xFFFF, 0), Negotiate(1, 0, 0xFFFF)},
        {Negotiate(0), Negotiate(1, 0xFFFF, 0xFFFF), Put(Negotiate(1), {{8, 0x73, 1}})}),
      // Counts compare unsigned.
      T(2232, 73, kSmbPorts,
        {NtTransactCreate(68, 54), NtTransactCreate(69, 53), NtTransactCreate(0, kMax)},
        {NtTransactCreate(69, 54), NtTransactCreate(0x80000000u, 0x80000000u),
         NtTransactCreate(68, 54, 2)}),
      T(2233, 65, kSmbPorts, {Trans2(29, 0, 0), Trans2(29, 100, 0), Trans2(30, 28, 0)},
        {Trans2(29, 100, 1), Trans2(30, 29, 0)}),
      // Opcodes 0, 104, 215; the opcode at parameter offset + 4 must fit.
      T(3718, 0, k139,
        {RapTransaction(104, 0, 100), RapTransaction(0, 0, 100), RapTransaction(215, 100, 0),
         RapTransaction(104, 0, 0, 78)},
        {RapTransaction(105, 0, 0), RapTransaction(104, 1, 1), RapTransaction(104, 0, 0, 76, 0),
         Put(RapTransaction(104, 0, 0, 79), {{83, 104, 1}}), RapTransaction(104, 0, 0, 0xFFFF)}),
      // A NUL anywhere in the name area terminates it.
      T(3804, 71, kSmbPorts, {MailslotWrite(kBrowse, 2), mail, fits, MailslotWrite("")},
        Join(badMail, {MailslotWrite('\0' + kBrowse), MailslotWrite(std::string("\\MAIL\0SL", 8)),
                       MailslotWrite(kBrowse + '\0')})),
      // Letters of the prefix fold, nothing else; 10 bytes of name suffice.
      T(3802, 73, kSmbPorts,
        {MailslotWrite(kBrowse + '\0', 0), mail, fits, MailslotWrite(kBrowse, 1),
         MailslotWrite("\\mAiLsLoT\\", 1)},
        Join(badMail, {MailslotWrite(""), MailslotWrite(kBrowse, 2), MailslotWrite("|MAILSLOT|", 1),
                       MailslotWrite("\\MAILSLOT/x", 1), MailslotWrite("/MAILSLOT\\x", 1),
                       MailslotWrite(std::string("\\MAI\0SLOT\\", 10), 1),
                       Put(MailslotWrite("\\MAILSLOT\\", 1), {{71, 5 + 9}})})),
      T(6029, 36, kSmbPorts, {ByteCountRequest(0x81, 41, 4001), ByteCountRequest(0x81, 41, 0xFFFF)},
        {ByteCountRequest(0x81, 41, 4000), ByteCountRequest(0x29, 41, 4001)}),
      // Copy reads its count at 43, Rename at 39.
      T(6031, 36, kSmbPorts, {ByteCountRequest(0x29, 43, 4001), ByteCountRequest(0x07, 39, 4001)},
        {ByteCountRequest(0x29, 43, 4000), ByteCountRequest(0x07, 39, 4000),
         Put(Smb1(45, 0x29), {{39, 5000}}), Put(Smb1(45, 0x07), {{43, 5000}}),
         ByteCountRequest(0x81, 43, 5000)}),
      // A data offset above 256 in a payload above 340 bytes.
      T(6038, 68, kSmbPorts, {Smb2Write(257, 341), Smb2Write(0xFFFF, 1000)},
        {Smb2Write(256, 1000), Put(Smb2Write(300, 400), {{16, 8}}),
         Put(Smb2Write(300, 400), {{4, 0xFF, 1}})}),
      // Only bytes 2..3 of the NetBIOS length are compared with the payload.
      T(6022, 36, kFrom | kSmbPorts, {Smb2Reply(36, 0), Smb2Reply(100, 95), Smb2Reply(100, 97)},
        {Smb2Reply(36, 32), Smb2Reply(100, 96), Put(Smb2Reply(100, 96), {{1, 1, 1}}),
         Put(Smb2Reply(100, 95), {{8, 0x41, 1}})}),
      // Each secondary command compares its own field with the total.
      T(6095, 36, kSmbPorts, {Trans2Secondary(1, 2), TransSecondary(100, 101)},
        {Trans2Secondary(100, 100), TransSecondary(100, 100), TransSecondary(100, 0xFFFF, 54),
         Put(Trans2Secondary(100, 0), {{47, 0xFFFF}}),
         Put(TransSecondary(100, 101), {{8, 0x25, 1}})}),
      // Each buffer kind tests only its own word.
      T(6097, 160, kSmbPorts, {Smb2Ioctl(0xD0, 1793, 0), Smb2Ioctl(0xCC, 0, 1793)},
        {Smb2Ioctl(0xD0, 1792, 0), Smb2Ioctl(0xCC, 0, 1792), Smb2Ioctl(0xD0, 0, kMax),
         Smb2Ioctl(0xCC, kMax, 0), Smb2Ioctl(0xCE, kMax, kMax), Smb2Ioctl(0x1D0, kMax, kMax),
         Put(Smb2Ioctl(0xD0, 5000, 0), {{16, 10}})}),
      T(6119, 67, k445, {Trans2Probe(65, 14)},
        {Trans2Probe(64, 14), Trans2Probe(65, 13), Put(Trans2Probe(65, 14), {{8, 0x33, 1}})}),
      // The unsigned sum wraps.
      T(6157, 4, kSmbPorts,
        {CompressionTransform(kMax, 1), CompressionTransform(0x80000000, 0x80000000)},
        {CompressionTransform(kMax, 0), CompressionTransform(0x7FFFFFFF, 0x80000000),
         CompressionTransform(0, kMax)}),
      T(6175, 98, kSmbPorts, {SisCopy()},
        {SisCopy(1), SisCopy(2, 0x00090101), SisCopy(2, 0x01000900), SisCopy(2, 0x00090100, 0),
         SisCopy(2, 0x00090100, 2)}),
  };
}

using PacketMaker = std::function<std::unique_ptr<FakePacket>(int i, const std::string& source)>;

struct Tracker {
  ULONG id;
  ULONG perMatch;  // packets of an attack; the last one matches
  ULONG windowMs;
  ULONG HostRecord::*count;
  PacketMaker packet;  // the i-th packet of an attack
};

// One entry per stateful detector.
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

class DetectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    kt::SetSystemTime(BaseTime());
    g_lookasideFlags = 0;
    memory_ = static_cast<TrackingContext*>(
        ExAllocatePoolWithTag(g_poolType, sizeof(TrackingContext), kPoolTagEngine));
    ASSERT_NE(memory_, nullptr);
    ASSERT_EQ(InitTrackingContext(memory_), STATUS_SUCCESS);
  }

  void TearDown() override {
    FreeTrackingContext();
    ExFreePoolWithTag(memory_, kPoolTagEngine);
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
    EXPECT_EQ(kt::HeldSpinLockCount(), 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  }

  // Runs one detector the way the dispatcher does: a view on the stack.
  static ULONG Run(NipsDetector detector, FakePacket& packet) {
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

  static ULONG RunTcp(NipsDetector detector, uint32_t port, const Bytes& payload,
                      const std::string& source = kClient) {
    return Run(detector, *Segment(port, payload, source));
  }

  // A copy of the source's record (leaving no reference behind), or nothing.
  static bool HostPresent(const std::string& source, HostRecord* copy = nullptr) {
    HostAddress address = testlib::MakeAddress(source);
    HostRecord* record = FindHostRecord(&address);
    if (record == nullptr) return false;
    if (copy != nullptr) *copy = *record;
    ReleaseHostRecord(record);
    return true;
  }
  static HostRecord Record(const std::string& source = kClient) {
    HostRecord copy{};
    EXPECT_TRUE(HostPresent(source, &copy)) << source;
    return copy;
  }

  // Ports of a scan list, head first.
  static std::vector<USHORT> Ports(const PortItem* item) {
    std::vector<USHORT> ports;
    for (; item != nullptr; item = item->next) ports.push_back(item->port);
    return ports;
  }

  TrackingContext* memory_ = nullptr;
};

}  // namespace dtest
