#include <gtest/gtest.h>

#include "kt_hooks.h"

namespace {

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override { kt::ResetWorld(); }
};

constexpr ULONG kTagA = kt::Tag("Tsta");
constexpr ULONG kTagB = kt::Tag("Tstb");

TEST_F(PoolTest, LedgerCountsEachTagAndReportsALeak) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 32, kTagA);
  void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(kt::PoolOutstanding(kTagA), 1u);
  EXPECT_EQ(kt::PoolOutstanding(kTagB, NonPagedPoolNx), 1u);
  EXPECT_EQ(kt::PoolOutstanding(kTagB, NonPagedPool), 0u);
  EXPECT_EQ(kt::PoolTypeOf(b), NonPagedPoolNx);
  ExFreePoolWithTag(a, kTagA);
  // b is "leaked": the ledger names it.
  EXPECT_EQ(kt::PoolOutstanding(), 1u);
  EXPECT_NE(kt::PoolLeakReport().find("Tstb"), std::string::npos);
  ExFreePoolWithTag(b, kTagB);
  EXPECT_EQ(kt::PoolOutstanding(), 0u);
}

TEST_F(PoolTest, TagIsReadAsInAPoolDump) {
  EXPECT_EQ(kt::Tag("Qvnp"), static_cast<ULONG>('pnvQ'));
  void* p = ExAllocatePool(NonPagedPool, 4);
  EXPECT_EQ(kt::PoolTagOf(p), kt::kUntaggedPoolTag);
  ExFreePool(p);
}

TEST_F(PoolTest, FaultInjectionFailsExactlyTheChosenAllocation) {
  kt::FailAllocationNumber(2);
  void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  void* second = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  void* third = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  EXPECT_NE(third, nullptr);
  ExFreePoolWithTag(first, kTagA);
  ExFreePoolWithTag(third, kTagA);
}

TEST_F(PoolTest, FaultInjectionByTagSparesOtherTags) {
  kt::FailAllocationsWithTag(kTagA);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), nullptr);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
  EXPECT_NE(other, nullptr);
  ExFreePoolWithTag(other, kTagB);
  kt::ClearPoolFaults();
  void* again = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_NE(again, nullptr);
  ExFreePoolWithTag(again, kTagA);
}

TEST_F(PoolTest, LookasideKeepsFreedEntriesUpToItsDepth) {
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 24, kTagA, 2);
  void* e[3];
  for (auto& entry : e) entry = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_EQ(kt::PoolOutstanding(kTagA, NonPagedPoolNx), 3u);
  for (auto& entry : e) ExFreeToNPagedLookasideList(&list, entry);
  // Two kept for reuse, the third back to the pool.
  EXPECT_EQ(kt::LookasideKept(&list), 2);
  EXPECT_EQ(kt::PoolOutstanding(kTagA), 2u);
  void* reused = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_TRUE(reused == e[0] || reused == e[1]);
  EXPECT_EQ(kt::LookasideKept(&list), 1);
  EXPECT_EQ(kt::PoolOutstanding(kTagA), 2u);
  ExFreeToNPagedLookasideList(&list, reused);
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(kt::PoolOutstanding(), 0u);
}

TEST_F(PoolTest, LookasideAllocationFailsWhenEmptyAndPoolRefuses) {
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 16, kTagA, 4);
  void* kept = ExAllocateFromNPagedLookasideList(&list);
  ExFreeToNPagedLookasideList(&list, kept);
  kt::FailAllocationsWithTag(kTagA);
  EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), kept);  // served from the list
  EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
  kt::ClearPoolFaults();
  ExFreeToNPagedLookasideList(&list, kept);
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(kt::PoolOutstanding(), 0u);
}

using PoolDeathTest = PoolTest;

TEST_F(PoolDeathTest, DoubleFreeAndWrongTagStop) {
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
        ExFreePoolWithTag(p, kTagA);
        ExFreePoolWithTag(p, kTagA);
      },
      "BAD_POOL_CALLER");
  EXPECT_DEATH(
      {
        void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
        ExFreePoolWithTag(p, kTagB);
      },
      "allocated with 'Tsta'");
}

TEST_F(PoolDeathTest, PagedAllocationAtDispatchStops) {
  EXPECT_DEATH(
      {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        ExAllocatePoolWithTag(PagedPool, 8, kTagA);
      },
      "IRQL_NOT_LESS_OR_EQUAL");
}

}  // namespace
