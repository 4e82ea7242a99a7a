#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kt_hooks.h"

namespace {

class SyncTest : public ::testing::Test {
 protected:
  void SetUp() override { kt::ResetWorld(); }
};

TEST_F(SyncTest, SpinLockRaisesToDispatchRestoresAndExcludesAcrossThreads) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_EQ(kt::HeldSpinLockCount(), 1);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(kt::HeldSpinLockCount(), 0);

  int counter = 0;  // unprotected but for the lock: TSan and the total catch a broken lock
  constexpr int kThreads = 4, kRounds = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        KIRQL held = KeAcquireSpinLockRaiseToDpc(&lock);
        int seen = counter;
        counter = seen + 1;
        KeReleaseSpinLock(&lock, held);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, kThreads * kRounds);
}

TEST_F(SyncTest, EventWakesAWaitingThread) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    woke = true;
  });
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_FALSE(woke.load());
  KeSetEvent(&event, 0, FALSE);
  waiter.join();
  EXPECT_TRUE(woke.load());
  // A notification event stays signalled until cleared.
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  KeClearEvent(&event);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(SyncTest, InterlockedOperationsReturnTheDocumentedValues) {
  volatile LONG v = 5;
  EXPECT_EQ(InterlockedIncrement(&v), 6);
  EXPECT_EQ(InterlockedDecrement(&v), 5);
  EXPECT_EQ(InterlockedExchange(&v, 9), 5);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9);  // no swap: returns current
  EXPECT_EQ(v, 9);
  EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
  EXPECT_EQ(v, 1);
}

using VerifierDeathTest = SyncTest;

TEST_F(VerifierDeathTest, EachLockRuleStopsTheProgram) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KSPIN_LOCK a, b;
  KeInitializeSpinLock(&a);
  KeInitializeSpinLock(&b);
  EXPECT_DEATH(KeReleaseSpinLock(&a, PASSIVE_LEVEL), "SPIN_LOCK_NOT_OWNED");
  const KIRQL old = KeAcquireSpinLockRaiseToDpc(&a);
  EXPECT_DEATH(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr),
               "KeWaitForSingleObject may block at IRQL 2");
  EXPECT_DEATH(KeAcquireSpinLockRaiseToDpc(&a), "SPIN_LOCK_ALREADY_OWNED");
  EXPECT_DEATH(KeAcquireSpinLockRaiseToDpc(&b), "DRIVER_LOCK_ORDER");
  KeReleaseSpinLock(&a, old);
}

}  // namespace
