// The special pool: an overrun faults on the first byte past the 16-byte
// alignment, a write into the slack before it stops the verifier at free, a
// use after free faults, and correct use goes unnoticed.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "kt_hooks.h"

namespace {

constexpr ULONG kTag = kt::Tag("Spcl");

size_t Aligned(size_t n) { return (n + 15) / 16 * 16; }

class SpecialPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    wasOn_ = kt::SpecialPoolEnabled();
    kt::SetSpecialPool(true);
  }
  void TearDown() override {
    kt::SetSpecialPool(wasOn_);
    kt::ResetWorld();
  }
  bool wasOn_ = false;
};

using SpecialPoolDeathTest = SpecialPoolTest;

// Sizes on both sides of the alignment and of a page.
const size_t kSizes[] = {1, 15, 16, 17, 4095, 4096, 4097};

TEST_F(SpecialPoolTest, EveryByteOfAnAllocationIsUsableAndAligned) {
  for (size_t size : kSizes) {
    SCOPED_TRACE(size);
    auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kTag));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 16, 0u);
    EXPECT_EQ(kt::PoolTagOf(p), kTag);
    memset(p, 0x11, size);  // the last byte included
    ExFreePoolWithTag(p, kTag);
  }
  EXPECT_EQ(kt::PoolOutstanding(), 0u);
}

TEST_F(SpecialPoolDeathTest, AnOverrunFaultsAtTheAlignedEnd) {
  for (size_t size : kSizes) {
    SCOPED_TRACE(size);
    EXPECT_DEATH(
        {
          auto* p = static_cast<volatile uint8_t*>(ExAllocatePoolWithTag(PagedPool, size, kTag));
          p[Aligned(size)] = 1;
        },
        "");
  }
}

TEST_F(SpecialPoolDeathTest, AWriteIntoTheSlackStopsAtFree) {
  for (size_t size : {1, 15, 17, 4095, 4097}) {
    SCOPED_TRACE(size);
    EXPECT_DEATH(
        {
          auto* p = static_cast<uint8_t*>(ExAllocatePoolWithTag(PagedPool, size, kTag));
          p[size] = 0;
          ExFreePoolWithTag(p, kTag);
        },
        "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION.*Spcl");
  }
}

TEST_F(SpecialPoolDeathTest, UseAfterFreeFaultsEvenAfterManyFrees) {
  EXPECT_DEATH(
      {
        auto* p = static_cast<volatile uint8_t*>(ExAllocatePoolWithTag(PagedPool, 64, kTag));
        ExFreePoolWithTag(const_cast<uint8_t*>(p), kTag);
        // Well inside the quarantine: still inaccessible.
        for (int i = 0; i < 1000; ++i)
          ExFreePoolWithTag(ExAllocatePoolWithTag(PagedPool, 8, kTag), kTag);
        (void)p[0];
      },
      "");
}

// Allocations made before the switch are freed the way they were made.
TEST_F(SpecialPoolTest, SwitchingKeepsEachAllocationsOwnRelease) {
  kt::SetSpecialPool(false);
  void* heap = ExAllocatePoolWithTag(PagedPool, 24, kTag);
  kt::SetSpecialPool(true);
  void* special = ExAllocatePoolWithTag(PagedPool, 24, kTag);
  ASSERT_NE(heap, nullptr);
  ASSERT_NE(special, nullptr);
  ExFreePoolWithTag(heap, kTag);
  ExFreePoolWithTag(special, kTag);
  // Still tracked as live by the ledger until reset.
  void* leaked = ExAllocatePoolWithTag(PagedPool, 24, kTag);
  EXPECT_EQ(kt::PoolOutstanding(kTag), 1u);
  EXPECT_NE(kt::PoolLeakReport().find("Spcl"), std::string::npos);
  (void)leaked;  // ResetWorld releases it
}

}  // namespace
