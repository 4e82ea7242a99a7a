// Pool allocation with a ledger per tag and pool type, fault injection, and
// the lookaside lists built on it.
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "kt_hooks.h"
#include "ntddk.h"
#include "verifier.h"

using kt::internal::VerifierStop;

namespace {

struct Allocation {
  ULONG tag;
  POOL_TYPE type;
  SIZE_T size;
};

struct Ledger {
  std::mutex mutex;
  std::unordered_map<const void*, Allocation> live;
  uint64_t attempts = 0;
  uint64_t failAt = 0;  // 0: none
  std::unordered_map<ULONG, bool> failingTags;
};

Ledger& TheLedger() {
  static Ledger* ledger = new Ledger;  // never destroyed: used until exit
  return *ledger;
}

// Fresh pool memory is not zeroed by the kernel; a pattern makes reliance on
// it visible.
constexpr int kFreshPoolPattern = 0xCD;
constexpr ULONG kLookasideMagic = 0x4C4B5341;

bool IsNonPaged(POOL_TYPE type) { return type == NonPagedPool || type == NonPagedPoolNx; }

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag) {
  if (poolType != NonPagedPool && poolType != NonPagedPoolNx && poolType != PagedPool) {
    VerifierStop("BAD_POOL_CALLER", "unknown pool type %d", static_cast<int>(poolType));
  }
  kt::internal::CheckIrqlAtMost(IsNonPaged(poolType) ? DISPATCH_LEVEL : APC_LEVEL,
                                IsNonPaged(poolType) ? "ExAllocatePoolWithTag(NonPaged)"
                                                     : "ExAllocatePoolWithTag(PagedPool)");
  Ledger& ledger = TheLedger();
  {
    std::lock_guard<std::mutex> guard(ledger.mutex);
    ++ledger.attempts;
    if (ledger.failAt != 0 && ledger.attempts == ledger.failAt) {
      ledger.failAt = 0;
      return nullptr;
    }
    auto failing = ledger.failingTags.find(tag);
    if (failing != ledger.failingTags.end() && failing->second) return nullptr;
  }
  void* p = std::malloc(numberOfBytes == 0 ? 1 : numberOfBytes);
  if (p == nullptr) return nullptr;
  memset(p, kFreshPoolPattern, numberOfBytes);
  std::lock_guard<std::mutex> guard(ledger.mutex);
  ledger.live[p] = Allocation{tag, poolType, numberOfBytes};
  return p;
}

PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes) {
  return ExAllocatePoolWithTag(poolType, numberOfBytes, kt::kUntaggedPoolTag);
}

static void FreePool(PVOID p, const ULONG* expectedTag) {
  if (p == nullptr) VerifierStop("BAD_POOL_CALLER", "freeing a null pointer");
  Ledger& ledger = TheLedger();
  {
    std::lock_guard<std::mutex> guard(ledger.mutex);
    auto it = ledger.live.find(p);
    if (it == ledger.live.end()) {
      VerifierStop("BAD_POOL_CALLER",
                   "freeing %p, which is not a live pool allocation "
                   "(double free or foreign pointer)",
                   p);
    }
    if (expectedTag != nullptr && it->second.tag != *expectedTag) {
      VerifierStop("BAD_POOL_CALLER", "freeing %p with tag '%s' but it was allocated with '%s'", p,
                   kt::TagName(*expectedTag).c_str(), kt::TagName(it->second.tag).c_str());
    }
    kt::internal::CheckIrqlAtMost(IsNonPaged(it->second.type) ? DISPATCH_LEVEL : APC_LEVEL,
                                  "ExFreePool");
    ledger.live.erase(it);
  }
  std::free(p);
}

VOID ExFreePoolWithTag(PVOID p, ULONG tag) { FreePool(p, &tag); }
VOID ExFreePool(PVOID p) { FreePool(p, nullptr); }

// ---- Lookaside lists ----
namespace {

void CheckLookaside(const NPAGED_LOOKASIDE_LIST* list, const char* routine) {
  if (list == nullptr || list->magic != kLookasideMagic) {
    VerifierStop("BAD_LOOKASIDE", "%s on a lookaside list that is not initialised", routine);
  }
}

struct GuardLock {
  explicit GuardLock(volatile LONG* word) : word_(word) {
    while (__atomic_exchange_n(word_, 1, __ATOMIC_ACQUIRE) != 0) {
    }
  }
  ~GuardLock() { __atomic_store_n(word_, 0, __ATOMIC_RELEASE); }
  volatile LONG* word_;
};

}  // namespace

VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
                                     PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag,
                                     USHORT depth) {
  kt::internal::CheckIrqlAtMost(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList");
  if (allocate != nullptr || free != nullptr) {
    VerifierStop("BAD_LOOKASIDE", "custom allocate/free routines are not supported");
  }
  if (size < sizeof(PVOID)) size = sizeof(PVOID);  // the free link lives in the entry
  lookaside->listHead = nullptr;
  lookaside->depth = depth;
  lookaside->count = 0;
  lookaside->size = static_cast<ULONG>(size);
  lookaside->tag = tag;
  lookaside->poolType = (flags & POOL_NX_ALLOCATION) ? NonPagedPoolNx : NonPagedPool;
  lookaside->flags = flags;
  lookaside->totalAllocates = lookaside->allocateMisses = 0;
  lookaside->totalFrees = lookaside->freeMisses = 0;
  lookaside->guard = 0;
  lookaside->magic = kLookasideMagic;
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside) {
  CheckLookaside(lookaside, "ExAllocateFromNPagedLookasideList");
  kt::internal::CheckIrqlAtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
  {
    GuardLock guard(&lookaside->guard);
    ++lookaside->totalAllocates;
    if (lookaside->listHead != nullptr) {
      PVOID entry = lookaside->listHead;
      lookaside->listHead = *static_cast<PVOID*>(entry);
      --lookaside->count;
      return entry;
    }
    ++lookaside->allocateMisses;
  }
  return ExAllocatePoolWithTag(lookaside->poolType, lookaside->size, lookaside->tag);
}

VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry) {
  CheckLookaside(lookaside, "ExFreeToNPagedLookasideList");
  kt::internal::CheckIrqlAtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList");
  {
    GuardLock guard(&lookaside->guard);
    ++lookaside->totalFrees;
    if (lookaside->count < lookaside->depth) {
      *static_cast<PVOID*>(entry) = lookaside->listHead;
      lookaside->listHead = entry;
      ++lookaside->count;
      return;
    }
    ++lookaside->freeMisses;
  }
  ExFreePoolWithTag(entry, lookaside->tag);
}

VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside) {
  CheckLookaside(lookaside, "ExDeleteNPagedLookasideList");
  PVOID entry = lookaside->listHead;
  while (entry != nullptr) {
    PVOID next = *static_cast<PVOID*>(entry);
    ExFreePoolWithTag(entry, lookaside->tag);
    entry = next;
  }
  lookaside->listHead = nullptr;
  lookaside->count = 0;
  lookaside->magic = 0;
}

namespace kt {

std::string TagName(ULONG tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    name += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  return name;
}

size_t PoolOutstanding() {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  return TheLedger().live.size();
}

size_t PoolOutstanding(ULONG tag) {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  size_t n = 0;
  for (const auto& [p, a] : TheLedger().live) n += a.tag == tag;
  return n;
}

size_t PoolOutstanding(ULONG tag, POOL_TYPE type) {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  size_t n = 0;
  for (const auto& [p, a] : TheLedger().live) n += a.tag == tag && a.type == type;
  return n;
}

std::optional<POOL_TYPE> PoolTypeOf(const void* allocation) {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  auto it = TheLedger().live.find(allocation);
  if (it == TheLedger().live.end()) return std::nullopt;
  return it->second.type;
}

std::optional<ULONG> PoolTagOf(const void* allocation) {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  auto it = TheLedger().live.find(allocation);
  if (it == TheLedger().live.end()) return std::nullopt;
  return it->second.tag;
}

std::string PoolLeakReport() {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  std::string report;
  for (const auto& [p, a] : TheLedger().live) {
    char line[128];
    snprintf(line, sizeof line, "%p tag '%s' type %d size %zu\n", p, TagName(a.tag).c_str(),
             static_cast<int>(a.type), a.size);
    report += line;
  }
  return report;
}

uint64_t PoolAllocationCount() {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  return TheLedger().attempts;
}

void FailAllocationNumber(uint64_t n) {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  TheLedger().failAt = n == 0 ? 0 : TheLedger().attempts + n;
}

void FailAllocationsWithTag(ULONG tag) {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  TheLedger().failingTags[tag] = true;
}

void ClearPoolFaults() {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  TheLedger().failAt = 0;
  TheLedger().failingTags.clear();
}

USHORT LookasideKept(const NPAGED_LOOKASIDE_LIST* list) { return list->count; }

namespace internal {
void ResetPool() {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  for (auto& [p, a] : TheLedger().live) std::free(const_cast<void*>(p));
  TheLedger().live.clear();
  TheLedger().attempts = 0;
  TheLedger().failAt = 0;
  TheLedger().failingTags.clear();
}
}  // namespace internal

}  // namespace kt
