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
  EXPECT_EQ(kt::PoolOutstanding(), 1u);
  EXPECT_NE(kt::PoolLeakReport().find("Tstb"), std::string::npos);
  ExFreePoolWithTag(b, kTagB);
  EXPECT_EQ(kt::PoolOutstanding(), 0u);
}

TEST_F(PoolTest, FaultInjectionFailsExactlyTheChosenAllocation) {
  kt::FailAllocationNumber(2);
  void* p[3];
  for (void*& e : p) e = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_NE(p[0], nullptr);
  EXPECT_EQ(p[1], nullptr);
  EXPECT_NE(p[2], nullptr);
  ExFreePoolWithTag(p[0], kTagA);
  ExFreePoolWithTag(p[2], kTagA);
  kt::FailAllocationsWithTag(kTagA);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA), nullptr);
  void* other = ExAllocatePoolWithTag(NonPagedPool, 8, kTagB);
  EXPECT_NE(other, nullptr);
  ExFreePoolWithTag(other, kTagB);
  EXPECT_EQ(kt::PoolOutstanding(), 0u);
}

// Freed entries are kept up to the depth; an empty list falls back to the pool.
TEST_F(PoolTest, LookasideKeepsFreedEntriesUpToItsDepth) {
  NPAGED_LOOKASIDE_LIST list;
  ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 24, kTagA, 2);
  void* e[3];
  for (auto& entry : e) entry = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_EQ(kt::PoolOutstanding(kTagA, NonPagedPoolNx), 3u);
  for (auto& entry : e) ExFreeToNPagedLookasideList(&list, entry);
  EXPECT_EQ(kt::LookasideKept(&list), 2);
  EXPECT_EQ(kt::PoolOutstanding(kTagA), 2u);
  kt::FailAllocationsWithTag(kTagA);
  void* reused = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_TRUE(reused == e[0] || reused == e[1]);
  EXPECT_EQ(kt::LookasideKept(&list), 1);
  EXPECT_EQ(kt::PoolOutstanding(kTagA), 2u);
  void* last = ExAllocateFromNPagedLookasideList(&list);
  EXPECT_NE(last, nullptr);
  EXPECT_EQ(kt::LookasideKept(&list), 0);
  EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
  kt::ClearPoolFaults();
  ExFreeToNPagedLookasideList(&list, reused);
  ExFreeToNPagedLookasideList(&list, last);
  ExDeleteNPagedLookasideList(&list);
  EXPECT_EQ(kt::PoolOutstanding(), 0u);
}

using PoolDeathTest = PoolTest;

TEST_F(PoolDeathTest, DoubleFreeWrongTagAndPagedAtDispatchStop) {
  void* p = ExAllocatePoolWithTag(NonPagedPool, 8, kTagA);
  EXPECT_DEATH(ExFreePoolWithTag(p, kTagB), "allocated with 'Tsta'");
  ExFreePoolWithTag(p, kTagA);
  EXPECT_DEATH(ExFreePoolWithTag(p, kTagA), "BAD_POOL_CALLER");
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_DEATH(ExAllocatePoolWithTag(PagedPool, 8, kTagA), "IRQL_NOT_LESS_OR_EQUAL");
  KeLowerIrql(old);
}

}  // namespace
