// Shared set-up of the detector tests: a fresh kernel world with a fixed
// clock, a tracking store on engine pool memory, a way to run one detector on
// a fake packet, and builders for NetBIOS/SMB payloads.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "kt_hooks.h"
#include "nips/detectors/detectors.h"
#include "nips/engine/packet_view.h"
#include "nips/engine/pool.h"
#include "nips/engine/signature.h"
#include "nips/tracking/tracking.h"
#include "testlib/fake_packet.h"

namespace dtest {

using testlib::Bytes;
using testlib::FakePacket;

constexpr ULONG kTagHostRecord = kt::Tag("Qvat");
constexpr ULONG kTagPortItem = kt::Tag("Qvps");

// Plain data segment of an established connection: neither SYN nor FIN, so
// the TCP scan detector never counts it.
constexpr UCHAR kDataFlags = kTcpFlagAck | 0x08;  // ACK, PSH

// A fixed, arbitrary moment (2023-11-14) so that windows are reproducible.
inline int64_t BaseTime() { return kt::SystemTimeFromUnix(1700000000, 0); }

// ---- Payload builders (little-endian unless named Be) ----

inline void PutU8(Bytes* b, size_t offset, uint8_t v) { b->at(offset) = v; }
inline void PutU16Le(Bytes* b, size_t offset, uint16_t v) {
  b->at(offset) = static_cast<uint8_t>(v);
  b->at(offset + 1) = static_cast<uint8_t>(v >> 8);
}
inline void PutU16Be(Bytes* b, size_t offset, uint16_t v) {
  b->at(offset) = static_cast<uint8_t>(v >> 8);
  b->at(offset + 1) = static_cast<uint8_t>(v);
}
inline void PutU32Le(Bytes* b, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) b->at(offset + i) = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutText(Bytes* b, size_t offset, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) b->at(offset + i) = static_cast<uint8_t>(text[i]);
}

// NetBIOS session message of `length` bytes (its length field consistent)
// whose SMB header starts with the 4-byte identifier id.
inline Bytes SessionMessage(size_t length, uint8_t idByte) {
  Bytes b(length, 0);
  if (length >= 4) {
    const size_t body = length - 4;
    b[1] = static_cast<uint8_t>(body >> 16);
    b[2] = static_cast<uint8_t>(body >> 8);
    b[3] = static_cast<uint8_t>(body);
  }
  const uint8_t id[4] = {idByte, 'S', 'M', 'B'};
  for (size_t i = 0; i < 4 && 4 + i < length; ++i) b[4 + i] = id[i];
  return b;
}

inline Bytes Smb1(size_t length, uint8_t command) {
  Bytes b = SessionMessage(length, 0xFF);
  if (length > 8) b[8] = command;
  return b;
}

inline Bytes Smb2(size_t length, uint16_t command) {
  Bytes b = SessionMessage(length, 0xFE);
  if (length > 8) b[8] = 0x40;  // header structure size
  if (length > 17) PutU16Le(&b, 16, command);
  return b;
}

// ---- Fixture ----

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

  static std::unique_ptr<FakePacket> TcpTo(uint16_t port, const Bytes& payload,
                                           const std::string& source = "10.1.1.1",
                                           UCHAR flags = kDataFlags) {
    return FakePacket::Tcp(source, 50123, "10.9.9.9", port, flags, payload);
  }

  static ULONG RunTcp(NipsDetector detector, uint16_t port, const Bytes& payload) {
    auto packet = TcpTo(port, payload);
    return Run(detector, *packet);
  }

  // A copy of the source's record fields, or false when it has none. Leaves
  // no reference behind.
  static bool Snapshot(const std::string& source, HostRecord* copy) {
    HostAddress address = testlib::MakeAddress(source);
    HostRecord* record = FindHostRecord(&address);
    if (record == nullptr) return false;
    *copy = *record;
    ReleaseHostRecord(record);
    return true;
  }

  static bool HostPresent(const std::string& source) {
    HostRecord copy;
    return Snapshot(source, &copy);
  }

  // Ports of a scan list, head first.
  static std::vector<USHORT> Ports(const PortItem* item) {
    std::vector<USHORT> ports;
    for (; item != nullptr; item = item->next) ports.push_back(item->port);
    return ports;
  }

  // Runs fn on the source's live record (with a reference held).
  template <typename Fn>
  static void WithRecord(const std::string& source, Fn fn) {
    HostAddress address = testlib::MakeAddress(source);
    HostRecord* record = FindHostRecord(&address);
    ASSERT_NE(record, nullptr);
    fn(record);
    ReleaseHostRecord(record);
  }

  TrackingContext* memory_ = nullptr;
};

}  // namespace dtest
