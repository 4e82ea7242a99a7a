// Shared set-up of the tracking tests: a fresh kernel world, a store created
// on engine-tagged pool memory, and address builders.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>

#include "kt_hooks.h"
#include "nips/engine/pool.h"
#include "nips/tracking/tracking.h"

namespace tracking_test {

constexpr ULONG kTagHost = kt::Tag("Qvat");
constexpr ULONG kTagPort = kt::Tag("Qvps");
constexpr ULONG kTagConversation = kt::Tag("Qvst");

inline HostAddress Address(ULONG version, std::initializer_list<int> bytes) {
  HostAddress a{};
  size_t i = 0;
  for (int b : bytes) a.bytes[i++] = static_cast<UCHAR>(b);
  a.version = version;
  return a;
}

inline HostAddress Ipv4(int a, int b, int c, int d) { return Address(4, {a, b, c, d}); }

// Distinct IPv4 sources 10.(n>>16).(n>>8).n.
inline HostAddress NthIpv4(ULONG n) {
  return Ipv4(10, static_cast<int>((n >> 16) & 0xFF), static_cast<int>((n >> 8) & 0xFF),
              static_cast<int>(n & 0xFF));
}

class TrackingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    g_lookasideFlags = 0;
    memory_ = static_cast<TrackingContext*>(
        ExAllocatePoolWithTag(g_poolType, sizeof(TrackingContext), kPoolTagEngine));
    ASSERT_NE(memory_, nullptr);
    ASSERT_EQ(InitTrackingContext(memory_), STATUS_SUCCESS);
    ASSERT_EQ(g_trackingContext, memory_);
  }

  void TearDown() override {
    FreeTrackingContext();
    EXPECT_EQ(g_trackingContext, nullptr);
    ExFreePoolWithTag(memory_, kPoolTagEngine);
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
    EXPECT_EQ(kt::HeldSpinLockCount(), 0);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  }

  TrackingContext* Context() { return memory_; }

  static size_t ListLength(const LIST_ENTRY* head) {
    size_t n = 0;
    for (const LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) ++n;
    return n;
  }

  // Creates a host record and hands back the caller's reference.
  HostRecord* CreateHeld(const HostAddress& source) {
    HostRecord* record = nullptr;
    EXPECT_EQ(CreateHostRecord(&source, &record), STATUS_SUCCESS);
    return record;
  }

  // Creates a host record that only the table references.
  static NTSTATUS CreateUnheld(const HostAddress& source) {
    return CreateHostRecord(&source, nullptr);
  }

  // True when the source is in the table; leaves no reference behind.
  static bool HostPresent(const HostAddress& source) {
    HostRecord* record = FindHostRecord(&source);
    if (record == nullptr) return false;
    ReleaseHostRecord(record);
    return true;
  }

  TrackingContext* memory_ = nullptr;
};

}  // namespace tracking_test
