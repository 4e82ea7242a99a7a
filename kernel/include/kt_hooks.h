// Test and simulation hooks of the kernel stand-in. Never included by nips/:
// only tests, hostsim and tools reach behind the kernel's back.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ntddk.h"

namespace kt {

// Pool tag from its four characters as they read in a pool dump ("Qvnp").
constexpr ULONG Tag(const char (&s)[5]) {
  return static_cast<ULONG>(static_cast<uint8_t>(s[0])) |
         static_cast<ULONG>(static_cast<uint8_t>(s[1])) << 8 |
         static_cast<ULONG>(static_cast<uint8_t>(s[2])) << 16 |
         static_cast<ULONG>(static_cast<uint8_t>(s[3])) << 24;
}
// The tag that the untagged ExAllocatePool uses.
constexpr ULONG kUntaggedPoolTag = Tag("None");
std::string TagName(ULONG tag);

// ---- Pool ledger and fault injection ----
size_t PoolOutstanding();
size_t PoolOutstanding(ULONG tag);
size_t PoolOutstanding(ULONG tag, POOL_TYPE type);
std::optional<POOL_TYPE> PoolTypeOf(const void* allocation);
std::optional<ULONG> PoolTagOf(const void* allocation);
std::string PoolLeakReport();    // one line per outstanding allocation
uint64_t PoolAllocationCount();  // allocations attempted since the last reset
// The n-th allocation attempted from now on (1 = the next one) fails.
void FailAllocationNumber(uint64_t n);
// Every allocation with this tag fails until cleared.
void FailAllocationsWithTag(ULONG tag);
void ClearPoolFaults();  // every mode below included
// Call sites: the return address of the pool or lookaside routine's call.
// While recording, every allocation attempt counts a hit of its site.
struct AllocationSite {
  const void* site;
  ULONG tag;
  uint64_t hits;
};
void RecordAllocationSites(bool on);  // on: forgets the sites recorded before
std::vector<AllocationSite> AllocationSites();
// The hit-th allocation attempted from `site` from now on fails (once). A
// lookaside allocation counts, and fails, even when an entry is cached.
void FailAllocationSite(const void* site, uint64_t hit = 1);
// Each allocation fails with probability 1/oneIn, from a generator seeded
// with `seed`: one thread's sequence of allocations replays exactly.
void FailAllocationsRandomly(uint64_t seed, uint32_t oneIn);
uint64_t InjectedAllocationFailures();  // by site or at random, since the last reset
// "binary+0xoffset" (for addr2line), or the address.
std::string SiteName(const void* site);
// NIPS_SPECIAL_POOL=1 (read once): every allocation ends against a guard
// page, with a checked slack to the 16-byte alignment, and freed memory stays
// inaccessible for the next 4096 frees.
bool SpecialPoolEnabled();
void SetSpecialPool(bool on);  // for the special pool's own tests

// ---- Verifier ----
// The driver's own rule that no thread holds two of its spin locks at once.
void SetSingleLockRule(bool enabled);
int HeldSpinLockCount();  // by the calling thread

// ---- Lookaside ----
USHORT LookasideKept(const NPAGED_LOOKASIDE_LIST* list);

// ---- System time (100-ns units since 1601-01-01 UTC) ----
constexpr int64_t kUnixEpochIn1601Units = 116444736000000000LL;
constexpr int64_t kUnitsPerMs = 10000;
void SetSystemTime(int64_t systemTime);
void AdvanceSystemTime(int64_t delta);
void AdvanceSystemTimeMs(int64_t ms);
void UseRealClock();
// The 100-ns system time of a Unix time. Capture time stamps are input: a
// time before 1601 or past the 64-bit clock's end (year 30828) saturates at
// that end instead of overflowing, and *fits (when given) says so.
int64_t SystemTimeFromUnix(int64_t seconds, int64_t microseconds, bool* fits = nullptr);

// ---- OS version and address faults ----
void SetOsVersion(ULONG major, ULONG minor, ULONG build = 19045);
// Addresses in [start, start + length) fault for MmIsAddressValid and the
// guarded user copy.
void AddFaultingRange(const void* start, size_t length);
void ClearFaultingRanges();

// ---- Registry ----
// Paths are absolute ("\Registry\Machine\..."); missing levels are created.
void RegistryCreateKeyPath(const std::u16string& path);
bool RegistryKeyExists(const std::u16string& path);
void RegistrySetValue(const std::u16string& keyPath, const std::u16string& name, ULONG type,
                      const std::vector<uint8_t>& data);
void RegistrySetString(const std::u16string& keyPath, const std::u16string& name,
                       const std::u16string& value, ULONG type = REG_SZ);
struct RegistryValue {
  ULONG type;
  std::vector<uint8_t> data;
};
std::optional<RegistryValue> RegistryQueryValue(const std::u16string& keyPath,
                                                const std::u16string& name);
std::optional<ULONG> RegistryQueryDword(const std::u16string& keyPath, const std::u16string& name);

// ---- Object namespace ----
using DeviceIoctlHandler = std::function<NTSTATUS(ULONG code, PVOID systemBuffer, ULONG inputLength,
                                                  ULONG outputLength, ULONG_PTR* information)>;
void RegisterDevice(const std::u16string& name, DeviceIoctlHandler handler);
void UnregisterDevice(const std::u16string& name);
struct FileOpenRecord {
  std::u16string name;
  ACCESS_MASK access;
  ULONG attributes;
  ULONG shareAccess;
  ULONG openOptions;
};
std::vector<FileOpenRecord> FileOpens();  // every ZwOpenFile since the last reset
std::optional<std::u16string> QuerySymbolicLink(const std::u16string& name);
size_t OpenHandleCount();

// Back to a fresh machine: empty registry, namespace, ledger, faults; real
// clock; version 10.0. Fails (returns false) if driver locks are still held.
void ResetWorld();

// Helpers for tests.
std::u16string Utf16(const std::string& ascii);
std::string Narrow(const std::u16string& text);
std::u16string ToU16(const UNICODE_STRING& s);

}  // namespace kt
