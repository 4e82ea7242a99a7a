// Running one detector alone, as the dispatcher calls it, for the suites of
// the families that need no SMB packets; and a fixture holding the tracking
// store at a fixed clock.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "kt_hooks.h"
#include "nips/detectors/detectors.h"
#include "nips/engine/packet_view.h"
#include "nips/engine/signature.h"
#include "nips/tracking/tracking.h"
#include "testlib/fake_packet.h"

namespace dtest {

using testlib::Bytes;
using testlib::FakePacket;

// A view on the stack; afterwards no lock is held and the IRQL is back.
inline ULONG RunDetector(NipsDetector detector, FakePacket& p) {
  PacketView view{nullptr,       &p, p.GetFlow(), p.GetPacketData(), p.GetAdapter(),
                  p.GetBuffer(), 0,  nullptr};
  const ULONG result = detector(&view);
  EXPECT_EQ(kt::HeldSpinLockCount(), 0);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(view.additionalDataIndex, 0u);
  return result;
}

inline ULONG RunTcp(NipsDetector d, uint16_t port, const Bytes& payload,
                    const std::string& source = "10.1.1.1") {
  return RunDetector(d, *FakePacket::Tcp(source, 50123, "10.9.9.9", port, 0x18, payload));
}

inline Bytes Text(const std::string& s) { return testlib::BytesOf(s); }

class TrackedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    kt::SetSystemTime(kt::SystemTimeFromUnix(1700000000, 0));
    ASSERT_EQ(InitTrackingContext(&context_), STATUS_SUCCESS);
  }
  void TearDown() override {
    FreeTrackingContext();
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
  // The source's record as a copy (no reference kept), or nothing.
  static bool FindRecord(const std::string& source, HostRecord* copy = nullptr) {
    const HostAddress address = testlib::MakeAddress(source);
    HostRecord* record = FindHostRecord(&address);
    if (record == nullptr) return false;
    if (copy != nullptr) *copy = *record;
    ReleaseHostRecord(record);
    return true;
  }
  TrackingContext context_{};
};

}  // namespace dtest
