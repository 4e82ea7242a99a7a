// System time, OS version, address ranges and the guarded user copy.
#include <errno.h>
#include <sys/mman.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

#include "kt_hooks.h"
#include "ntddk.h"

namespace {

std::atomic<bool> g_fixedClock{false};
std::atomic<int64_t> g_fixedTime{0};

std::atomic<ULONG> g_major{10}, g_minor{0}, g_build{19045};

std::mutex g_faultMutex;
std::vector<std::pair<uintptr_t, uintptr_t>>& FaultRanges() {
  static auto* ranges = new std::vector<std::pair<uintptr_t, uintptr_t>>;
  return *ranges;
}

bool IntersectsFaultingRange(uintptr_t start, size_t length) {
  std::lock_guard<std::mutex> guard(g_faultMutex);
  for (const auto& [begin, end] : FaultRanges()) {
    if (start < end && start + length > begin) return true;
  }
  return false;
}

// Linux refuses mappings below vm.mmap_min_addr (64 KiB by default) and the
// x86-64 user half ends below 0x0000800000000000.
constexpr uintptr_t kLowestMappable = 0x10000;
constexpr uintptr_t kHighestUser = 0x00007FFFFFFEFFFF;

}  // namespace

PVOID MmSystemRangeStart = reinterpret_cast<PVOID>(kLowestMappable);
PVOID MmHighestUserAddress = reinterpret_cast<PVOID>(kHighestUser);

VOID KeQuerySystemTime(PLARGE_INTEGER currentTime) {
  if (g_fixedClock.load(std::memory_order_acquire)) {
    currentTime->QuadPart = g_fixedTime.load(std::memory_order_acquire);
    return;
  }
  auto sinceUnixEpoch = std::chrono::system_clock::now().time_since_epoch();
  int64_t units =
      std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnixEpoch).count() / 100;
  currentTime->QuadPart = units + kt::kUnixEpochIn1601Units;
}

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW info) {
  if (info->dwOSVersionInfoSize != sizeof(RTL_OSVERSIONINFOW)) return STATUS_INVALID_PARAMETER;
  info->dwMajorVersion = g_major.load();
  info->dwMinorVersion = g_minor.load();
  info->dwBuildNumber = g_build.load();
  info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  return STATUS_SUCCESS;
}

BOOLEAN MmIsAddressValid(PVOID virtualAddress) {
  auto address = reinterpret_cast<uintptr_t>(virtualAddress);
  if (address < kLowestMappable) return FALSE;
  if (IntersectsFaultingRange(address, 1)) return FALSE;
  const uintptr_t pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  unsigned char residency;
  // mincore fails with ENOMEM exactly when the page is not mapped.
  if (mincore(reinterpret_cast<void*>(address & ~(pageSize - 1)), 1, &residency) != 0) {
    return FALSE;
  }
  return TRUE;
}

NTSTATUS KeGuardedCopyToUser(PVOID userDestination, const VOID* source, SIZE_T length) {
  if (length == 0) return STATUS_SUCCESS;
  auto address = reinterpret_cast<uintptr_t>(userDestination);
  if (address < kLowestMappable || address + length < address ||
      address + length - 1 > kHighestUser || IntersectsFaultingRange(address, length)) {
    return STATUS_ACCESS_VIOLATION;
  }
  // A write through the kernel's own process-memory interface reports a fault
  // as EFAULT instead of raising SIGSEGV, which is what the guard needs.
  struct iovec local = {const_cast<void*>(source), length};
  struct iovec remote = {userDestination, length};
  ssize_t written = process_vm_writev(getpid(), &local, 1, &remote, 1, 0);
  if (written == static_cast<ssize_t>(length)) return STATUS_SUCCESS;
  if (written < 0 && (errno == ENOSYS || errno == EPERM)) {
    // Sandboxes that forbid the call: fall back to checking each page.
    const uintptr_t pageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (uintptr_t page = address & ~(pageSize - 1); page < address + length; page += pageSize) {
      if (!MmIsAddressValid(reinterpret_cast<PVOID>(page < address ? address : page))) {
        return STATUS_ACCESS_VIOLATION;
      }
    }
    memcpy(userDestination, source, length);
    return STATUS_SUCCESS;
  }
  return STATUS_ACCESS_VIOLATION;
}

namespace kt {

void SetSystemTime(int64_t systemTime) {
  g_fixedTime.store(systemTime, std::memory_order_release);
  g_fixedClock.store(true, std::memory_order_release);
}

void AdvanceSystemTime(int64_t delta) {
  if (!g_fixedClock.load()) {
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    SetSystemTime(now.QuadPart);
  }
  g_fixedTime.fetch_add(delta, std::memory_order_acq_rel);
}

void AdvanceSystemTimeMs(int64_t ms) { AdvanceSystemTime(ms * kUnitsPerMs); }

void UseRealClock() { g_fixedClock.store(false, std::memory_order_release); }

int64_t SystemTimeFromUnix(int64_t seconds, int64_t microseconds, bool* fits) {
  constexpr __int128 kUnitsPerSecond = 10000000;
  constexpr __int128 kUnitsPerMicrosecond = 10;
  const __int128 units =
      kUnixEpochIn1601Units + seconds * kUnitsPerSecond + microseconds * kUnitsPerMicrosecond;
  const __int128 clamped =
      units < 0 ? 0 : (units > INT64_MAX ? static_cast<__int128>(INT64_MAX) : units);
  if (fits != nullptr) *fits = clamped == units;
  return static_cast<int64_t>(clamped);
}

void SetOsVersion(ULONG major, ULONG minor, ULONG build) {
  g_major = major;
  g_minor = minor;
  g_build = build;
}

void AddFaultingRange(const void* start, size_t length) {
  std::lock_guard<std::mutex> guard(g_faultMutex);
  auto begin = reinterpret_cast<uintptr_t>(start);
  FaultRanges().emplace_back(begin, begin + length);
}

void ClearFaultingRanges() {
  std::lock_guard<std::mutex> guard(g_faultMutex);
  FaultRanges().clear();
}

}  // namespace kt
