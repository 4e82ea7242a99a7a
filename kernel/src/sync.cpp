// IRQL, spin locks, interlocked operations and events.
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "kt_hooks.h"
#include "ntddk.h"
#include "verifier.h"

namespace kt::internal {

void VerifierStop(const char* rule, const char* format, ...) {
  std::fprintf(stderr, "*** KERNEL VERIFIER STOP: %s\n*** ", rule);
  va_list args;
  va_start(args, format);
  std::vfprintf(stderr, format, args);
  va_end(args);
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
  std::abort();
}

void CheckIrqlAtMost(int maximum, const char* routine) {
  KIRQL irql = KeGetCurrentIrql();
  if (irql > maximum) {
    VerifierStop("IRQL_NOT_LESS_OR_EQUAL", "%s called at IRQL %u (at most %d allowed)", routine,
                 irql, maximum);
  }
}

}  // namespace kt::internal

using kt::internal::VerifierStop;

namespace {

constexpr int kMaxHeldLocks = 8;
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local PKSPIN_LOCK t_held[kMaxHeldLocks];
thread_local int t_heldCount = 0;
std::atomic<bool> g_singleLockRule{true};

// A value unique to the calling thread, stored in a held lock's word.
KSPIN_LOCK OwnerToken() {
  static thread_local char token;
  return reinterpret_cast<KSPIN_LOCK>(&token);
}

std::mutex g_eventMutex;
std::condition_variable g_eventChanged;

}  // namespace

KIRQL KeGetCurrentIrql(void) { return t_irql; }

VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  if (newIrql < t_irql) {
    VerifierStop("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql to %u from %u", newIrql, t_irql);
  }
  *oldIrql = t_irql;
  t_irql = newIrql;
}

VOID KeLowerIrql(KIRQL newIrql) {
  if (newIrql > t_irql) {
    VerifierStop("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to %u from %u", newIrql, t_irql);
  }
  t_irql = newIrql;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock) {
  std::atomic_ref<KSPIN_LOCK>(*spinLock).store(0, std::memory_order_release);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock) {
  kt::internal::CheckIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLockRaiseToDpc");
  const KSPIN_LOCK me = OwnerToken();
  std::atomic_ref<KSPIN_LOCK> word(*spinLock);
  if (word.load(std::memory_order_relaxed) == me) {
    VerifierStop("SPIN_LOCK_ALREADY_OWNED", "thread re-acquires spin lock %p that it holds",
                 static_cast<void*>(spinLock));
  }
  if (t_heldCount > 0 && g_singleLockRule.load(std::memory_order_relaxed)) {
    VerifierStop("DRIVER_LOCK_ORDER",
                 "thread acquires spin lock %p while holding spin lock %p (the driver never "
                 "holds two of its locks at once)",
                 static_cast<void*>(spinLock), static_cast<void*>(t_held[t_heldCount - 1]));
  }
  if (t_heldCount == kMaxHeldLocks) {
    VerifierStop("SPIN_LOCK_NESTING", "more than %d spin locks held", kMaxHeldLocks);
  }
  const KIRQL old = t_irql;
  t_irql = DISPATCH_LEVEL;
  for (unsigned spins = 0;; ++spins) {
    KSPIN_LOCK expected = 0;
    if (word.compare_exchange_weak(expected, me, std::memory_order_acquire,
                                   std::memory_order_relaxed)) {
      break;
    }
    if (spins > 64) sched_yield();  // another "processor" holds it; let it run
  }
  t_held[t_heldCount++] = spinLock;
  return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql) {
  std::atomic_ref<KSPIN_LOCK> word(*spinLock);
  if (word.load(std::memory_order_relaxed) != OwnerToken()) {
    VerifierStop("SPIN_LOCK_NOT_OWNED", "thread releases spin lock %p that it does not hold",
                 static_cast<void*>(spinLock));
  }
  if (newIrql > t_irql) {
    VerifierStop("IRQL_NOT_LESS_OR_EQUAL", "KeReleaseSpinLock restores IRQL %u above %u", newIrql,
                 t_irql);
  }
  int i = t_heldCount - 1;
  while (i >= 0 && t_held[i] != spinLock) --i;
  for (; i >= 0 && i < t_heldCount - 1; ++i) t_held[i] = t_held[i + 1];
  --t_heldCount;
  word.store(0, std::memory_order_release);
  t_irql = newIrql;
}

// ---- Events ----
VOID KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state) {
  std::lock_guard<std::mutex> guard(g_eventMutex);
  event->type = type;
  event->signalState = state ? 1 : 0;
}

LONG KeSetEvent(PKEVENT event, KPRIORITY, BOOLEAN) {
  kt::internal::CheckIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
  std::lock_guard<std::mutex> guard(g_eventMutex);
  LONG previous = event->signalState;
  event->signalState = 1;
  g_eventChanged.notify_all();
  return previous;
}

VOID KeClearEvent(PKEVENT event) {
  std::lock_guard<std::mutex> guard(g_eventMutex);
  event->signalState = 0;
}

LONG KeReadStateEvent(PKEVENT event) {
  std::lock_guard<std::mutex> guard(g_eventMutex);
  return event->signalState;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER timeout) {
  const bool mayBlock = timeout == nullptr || timeout->QuadPart != 0;
  if (mayBlock && t_irql >= DISPATCH_LEVEL) {
    VerifierStop("IRQL_NOT_LESS_OR_EQUAL",
                 "KeWaitForSingleObject may block at IRQL %u (waits need IRQL below "
                 "DISPATCH_LEVEL)",
                 t_irql);
  }
  auto* event = static_cast<PKEVENT>(object);
  std::unique_lock<std::mutex> lock(g_eventMutex);
  auto signalled = [event] { return event->signalState != 0; };
  bool satisfied;
  if (timeout == nullptr) {
    g_eventChanged.wait(lock, signalled);
    satisfied = true;
  } else {
    // Negative: relative, in 100-ns units. Absolute times are treated as
    // relative to now, which is all the stand-in needs.
    int64_t units = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart;
    satisfied = g_eventChanged.wait_for(lock, std::chrono::microseconds(units / 10), signalled);
  }
  if (!satisfied) return STATUS_TIMEOUT;
  if (event->type == SynchronizationEvent) event->signalState = 0;
  return STATUS_SUCCESS;
}

namespace kt {
void SetSingleLockRule(bool enabled) { g_singleLockRule.store(enabled); }
int HeldSpinLockCount() { return t_heldCount; }
}  // namespace kt
