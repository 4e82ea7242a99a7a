// Pool allocation with a ledger per tag and pool type, fault injection (by
// count, tag, call site or at random), the special pool, and the lookaside
// lists built on it.
#include <dlfcn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <deque>
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
  const void* site;
  // Special pool: the mapping that holds it (0 length for the heap).
  void* mapping;
  size_t mappingLength;
};

struct SiteRecord {
  ULONG tag;
  uint64_t hits;
};

struct Quarantined {
  void* mapping;
  size_t length;
};

struct Ledger {
  std::mutex mutex;
  std::unordered_map<const void*, Allocation> live;
  uint64_t attempts = 0;
  uint64_t failAt = 0;  // 0: none
  std::unordered_map<ULONG, bool> failingTags;
  // Call-site faults: the failSiteHit-th allocation from failSite fails.
  bool recordSites = false;
  std::unordered_map<const void*, SiteRecord> sites;
  const void* failSite = nullptr;
  uint64_t failSiteHit = 0;
  uint64_t failSiteSeen = 0;
  // Random faults: one allocation in randomOneIn fails (0: off).
  uint64_t randomState = 0;
  uint32_t randomOneIn = 0;
  uint64_t injected = 0;  // failures injected by site or at random
  std::deque<Quarantined> quarantine;
};

Ledger& TheLedger() {
  static Ledger* ledger = new Ledger;  // never destroyed: used until exit
  return *ledger;
}

// Fresh pool memory is not zeroed by the kernel; a pattern makes reliance on
// it visible.
constexpr int kFreshPoolPattern = 0xCD;
constexpr ULONG kLookasideMagic = 0x4C4B5341;

// ---- Special pool ----
// Each allocation ends against an inaccessible page, so an overrun faults on
// its first byte past the 16-byte alignment the pool guarantees; the bytes
// between the size asked for and that alignment hold a pattern checked at
// free. Freed mappings stay inaccessible in a quarantine of bounded length
// (each costs the process two mappings of its limit of about 65 000), so a
// use after free faults until 4096 later frees have gone by.
constexpr size_t kPoolAlignment = 16;
constexpr size_t kQuarantineLength = 4096;
constexpr uint8_t kSlackPattern = 0xB7;

// -1 until NIPS_SPECIAL_POOL is read; tests may switch it (each allocation
// remembers where it came from, so frees are right either way).
std::atomic<int> g_specialPool{-1};

bool SpecialPool() {
  int on = g_specialPool.load(std::memory_order_relaxed);
  if (on < 0) {
    const char* value = getenv("NIPS_SPECIAL_POOL");
    on = value != nullptr && *value != 0 && strcmp(value, "0") != 0;
    g_specialPool.store(on, std::memory_order_relaxed);
  }
  return on != 0;
}

size_t PageSize() {
  static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

size_t RoundUp(size_t n, size_t unit) { return (n + unit - 1) / unit * unit; }

void* SpecialAllocate(size_t size, Allocation* record) {
  const size_t body = RoundUp(RoundUp(size, kPoolAlignment), PageSize());
  const size_t length = body + PageSize();
  void* mapping = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return nullptr;
  auto* base = static_cast<uint8_t*>(mapping);
  if (mprotect(base + body, PageSize(), PROT_NONE) != 0) {
    munmap(mapping, length);
    return nullptr;
  }
  uint8_t* p = base + body - RoundUp(size, kPoolAlignment);
  memset(p + size, kSlackPattern, RoundUp(size, kPoolAlignment) - size);
  record->mapping = mapping;
  record->mappingLength = length;
  return p;
}

// Under the ledger's lock.
void SpecialRelease(Ledger& ledger, const void* p, const Allocation& a, bool check) {
  const auto* bytes = static_cast<const uint8_t*>(p);
  for (size_t i = a.size; check && i < RoundUp(a.size, kPoolAlignment); ++i) {
    if (bytes[i] != kSlackPattern) {
      VerifierStop("SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION",
                   "%p (tag '%s', %zu bytes) was written at byte %zu, past its end", p,
                   kt::TagName(a.tag).c_str(), a.size, i);
    }
  }
  mprotect(a.mapping, a.mappingLength, PROT_NONE);
  ledger.quarantine.push_back({a.mapping, a.mappingLength});
  if (ledger.quarantine.size() > kQuarantineLength) {
    munmap(ledger.quarantine.front().mapping, ledger.quarantine.front().length);
    ledger.quarantine.pop_front();
  }
}

bool IsNonPaged(POOL_TYPE type) { return type == NonPagedPool || type == NonPagedPoolNx; }

// splitmix64: a seed replays the same sequence on every platform.
uint64_t NextRandom(uint64_t* state) {
  uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Under the ledger's lock: whether the call-site or random mode fails this
// allocation; records the site.
bool SiteOrRandomFault(Ledger& ledger, ULONG tag, const void* site) {
  if (ledger.recordSites) {
    auto& record = ledger.sites[site];
    record.tag = tag;
    ++record.hits;
  }
  if (ledger.failSite != nullptr && site == ledger.failSite &&
      ++ledger.failSiteSeen == ledger.failSiteHit) {
    ++ledger.injected;
    return true;
  }
  if (ledger.randomOneIn != 0 && NextRandom(&ledger.randomState) % ledger.randomOneIn == 0) {
    ++ledger.injected;
    return true;
  }
  return false;
}

PVOID Allocate(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag, const void* site,
               bool siteFaults = true) {
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
    if (siteFaults && SiteOrRandomFault(ledger, tag, site)) return nullptr;
  }
  Allocation record{tag, poolType, numberOfBytes, site, nullptr, 0};
  void* p = SpecialPool() ? SpecialAllocate(numberOfBytes, &record)
                          : std::malloc(numberOfBytes == 0 ? 1 : numberOfBytes);
  if (p == nullptr) return nullptr;
  memset(p, kFreshPoolPattern, numberOfBytes);
  std::lock_guard<std::mutex> guard(ledger.mutex);
  ledger.live[p] = record;
  return p;
}

}  // namespace

// The call site is the caller's return address: these entry points are never
// inlined, so it is the instruction after the call in the driver's code.
// (The tag alone cannot tell apart the several allocations most tags cover.)
__attribute__((noinline)) PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes,
                                                      ULONG tag) {
  return Allocate(poolType, numberOfBytes, tag, __builtin_return_address(0));
}

__attribute__((noinline)) PVOID ExAllocatePool(POOL_TYPE poolType, SIZE_T numberOfBytes) {
  return Allocate(poolType, numberOfBytes, kt::kUntaggedPoolTag, __builtin_return_address(0));
}

static void FreePool(PVOID p, const ULONG* expectedTag) {
  if (p == nullptr) VerifierStop("BAD_POOL_CALLER", "freeing a null pointer");
  Ledger& ledger = TheLedger();
  Allocation freed;
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
    freed = it->second;
    ledger.live.erase(it);
    if (freed.mapping != nullptr) {
      SpecialRelease(ledger, p, freed, true);
      return;
    }
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

__attribute__((noinline)) PVOID ExAllocateFromNPagedLookasideList(
    PNPAGED_LOOKASIDE_LIST lookaside) {
  CheckLookaside(lookaside, "ExAllocateFromNPagedLookasideList");
  kt::internal::CheckIrqlAtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
  const void* site = __builtin_return_address(0);
  {
    // Like a verifier's low-resource simulation, the call-site and random
    // modes fail a lookaside allocation even when an entry is cached.
    Ledger& ledger = TheLedger();
    std::lock_guard<std::mutex> guard(ledger.mutex);
    if (SiteOrRandomFault(ledger, lookaside->tag, site)) return nullptr;
  }
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
  // Already judged by site above: the pool allocation behind a miss is not
  // a second chance to fail it.
  return Allocate(lookaside->poolType, lookaside->size, lookaside->tag, site, false);
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
    snprintf(line, sizeof line, "%p tag '%s' type %d size %zu from %s\n", p, TagName(a.tag).c_str(),
             static_cast<int>(a.type), a.size, SiteName(a.site).c_str());
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
  TheLedger().failSite = nullptr;
  TheLedger().randomOneIn = 0;
}

USHORT LookasideKept(const NPAGED_LOOKASIDE_LIST* list) { return list->count; }

void RecordAllocationSites(bool on) {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  TheLedger().recordSites = on;
  if (on) TheLedger().sites.clear();
}

std::vector<AllocationSite> AllocationSites() {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  std::vector<AllocationSite> sites;
  for (const auto& [site, record] : TheLedger().sites) {
    sites.push_back({site, record.tag, record.hits});
  }
  return sites;
}

void FailAllocationSite(const void* site, uint64_t hit) {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  TheLedger().failSite = site;
  TheLedger().failSiteHit = hit;
  TheLedger().failSiteSeen = 0;
}

void FailAllocationsRandomly(uint64_t seed, uint32_t oneIn) {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  TheLedger().randomState = seed;
  TheLedger().randomOneIn = oneIn;
}

uint64_t InjectedAllocationFailures() {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  return TheLedger().injected;
}

std::string SiteName(const void* site) {
  Dl_info info;
  char text[256];
  if (dladdr(site, &info) != 0 && info.dli_fname != nullptr) {
    snprintf(text, sizeof text, "%s+0x%zx", info.dli_fname,
             static_cast<size_t>(static_cast<const char*>(site) -
                                 static_cast<const char*>(info.dli_fbase)));
  } else {
    snprintf(text, sizeof text, "%p", site);
  }
  return text;
}

bool SpecialPoolEnabled() { return SpecialPool(); }
void SetSpecialPool(bool on) { g_specialPool.store(on ? 1 : 0); }

namespace internal {
void ResetPool() {
  std::lock_guard<std::mutex> guard(TheLedger().mutex);
  Ledger& ledger = TheLedger();
  for (auto& [p, a] : ledger.live) {
    if (a.mapping != nullptr) {
      SpecialRelease(ledger, p, a, false);
    } else {
      std::free(const_cast<void*>(p));
    }
  }
  ledger.live.clear();
  ledger.attempts = 0;
  ledger.failAt = 0;
  ledger.failingTags.clear();
  ledger.recordSites = false;
  ledger.sites.clear();
  ledger.failSite = nullptr;
  ledger.randomOneIn = 0;
  ledger.injected = 0;
}
}  // namespace internal

}  // namespace kt
