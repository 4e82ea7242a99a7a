// Shared set-up of the detector tests: a fresh kernel world with a fixed
// clock, a tracking store on engine pool memory, a way to run one detector on
// a fake packet.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>

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

using testlib::Bytes;
using testlib::FakePacket;

constexpr ULONG kTagHostRecord = kt::Tag("Qvat");
constexpr ULONG kTagPortItem = kt::Tag("Qvps");

// Plain data segment of an established connection: neither SYN nor FIN, so
// the TCP scan detector never counts it.
constexpr UCHAR kDataFlags = kTcpFlagAck | 0x08;  // ACK, PSH

// A fixed, arbitrary moment (2023-11-14) so that windows are reproducible.
inline int64_t BaseTime() { return kt::SystemTimeFromUnix(1700000000, 0); }

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
