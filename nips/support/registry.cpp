#include "nips/support/registry.h"

#include "nips/support/support_pool.h"
#include "nips/support/wide_string.h"

namespace {

constexpr WCHAR kMachineHivePrefix[] = NTTEXT("\\Registry\\Machine\\");
constexpr ULONG kKeyAttributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE;
constexpr ULONG kPartialInfoHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
// The value may grow between two queries; a few retries are plenty.
constexpr int kMaxQueryAttempts = 4;
// Room added to the reported size when retrying, as slack for such growth.
constexpr ULONG kRetrySlack = 4;

// Value names are short; a UNICODE_STRING cannot carry more anyway.
bool InitValueName(PUNICODE_STRING valueName, PCWSTR name) {
  if (WideLengthBounded(name, kMaxObjectNameChars + 1) > kMaxObjectNameChars) return false;
  RtlInitUnicodeString(valueName, name);
  return true;
}

}  // namespace

bool IsRegistryHandle(LONG_PTR value) {
  constexpr LONG_PTR kReservedLow = -0x7FFFFFFF;
  constexpr LONG_PTR kReservedEnd = -0x7FFFFFFC;
  if (value == 0 || value == -1) return false;
  return !(value >= kReservedLow && value < kReservedEnd);
}

HANDLE OpenRegistryKey(LONG_PTR root, PCWSTR path, bool write) {
  if (path == nullptr || path[0] == 0) return nullptr;
  HANDLE rootHandle = nullptr;
  PWSTR joined = nullptr;
  PCWSTR name = path;
  if (root == kRegistryRootMachine) {
    joined = AllocateJoinedPath(kMachineHivePrefix, path);
    if (joined == nullptr) return nullptr;
    name = joined;
  } else if (root != kRegistryRootAbsolute) {
    if (!IsRegistryHandle(root)) return nullptr;
    rootHandle = reinterpret_cast<HANDLE>(root);
  }
  HANDLE key = nullptr;
  UNICODE_STRING objectName;
  if (InitValueName(&objectName, name)) {
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, kKeyAttributes, rootHandle, nullptr);
    if (!NT_SUCCESS(ZwOpenKey(&key, write ? KEY_ALL_ACCESS : KEY_READ, &attributes))) {
      key = nullptr;
    }
  }
  if (joined != nullptr) FreeSupportBuffer(joined);
  return key;
}

VOID CloseRegistryKey(HANDLE key) {
  if (IsRegistryHandle(reinterpret_cast<LONG_PTR>(key))) ZwClose(key);
}

bool QueryRegistryValue(HANDLE key, PCWSTR name, PULONG type, PVOID buffer, ULONG bufferSize,
                        PULONG dataLength) {
  if (buffer == nullptr && bufferSize != 0) return false;
  UNICODE_STRING valueName;
  if (!InitValueName(&valueName, name)) return false;

  alignas(8) UCHAR scratch[kRegistryScratchBytes];
  UCHAR* area = scratch;
  ULONG areaSize = kRegistryScratchBytes;
  if (bufferSize > kRegistryScratchThreshold) {
    area = static_cast<UCHAR*>(buffer);
    areaSize = bufferSize;
  }
  PVOID allocated = nullptr;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (int attempt = 0; attempt < kMaxQueryAttempts; ++attempt) {
    ULONG required = 0;
    status =
        ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, area, areaSize, &required);
    const bool tooSmall = status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL;
    if (!tooSmall || required <= areaSize || required > ~0u - kRetrySlack) break;
    PVOID larger = AllocateSupportBuffer(static_cast<SIZE_T>(required) + kRetrySlack);
    if (allocated != nullptr) FreeSupportBuffer(allocated);
    allocated = larger;
    if (larger == nullptr) return false;
    area = static_cast<UCHAR*>(larger);
    areaSize = required + kRetrySlack;
  }

  bool ok = false;
  if (status == STATUS_SUCCESS && areaSize >= kPartialInfoHeader) {
    // The header may sit unaligned in the caller's buffer: read it bytewise.
    ULONG valueType;
    ULONG length;
    memcpy(&valueType, area + offsetof(KEY_VALUE_PARTIAL_INFORMATION, Type), sizeof valueType);
    memcpy(&length, area + offsetof(KEY_VALUE_PARTIAL_INFORMATION, DataLength), sizeof length);
    if (length <= areaSize - kPartialInfoHeader) {
      const ULONG copy = bufferSize < length ? bufferSize : length;
      // The data may lie in the caller's own buffer, 12 bytes further on.
      if (copy != 0) memmove(buffer, area + kPartialInfoHeader, copy);
      if (type != nullptr) *type = valueType;
      if (dataLength != nullptr) *dataLength = length;
      ok = true;
    }
  }
  if (allocated != nullptr) FreeSupportBuffer(allocated);
  return ok;
}

bool QueryRegistryString(HANDLE key, PCWSTR name, WCHAR* buffer, ULONG capacity) {
  constexpr ULONG kMaxCapacity = 0x7FFFFFFF / sizeof(WCHAR);
  if (buffer == nullptr || capacity == 0) return false;
  if (capacity > kMaxCapacity) capacity = kMaxCapacity;
  ULONG type = REG_NONE;
  ULONG length = 0;
  if (!QueryRegistryValue(key, name, &type, buffer, capacity * sizeof(WCHAR), &length)) {
    return false;
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    buffer[0] = 0;
    return false;
  }
  const ULONG characters = length / sizeof(WCHAR);
  buffer[characters < capacity - 1 ? characters : capacity - 1] = 0;
  return true;
}

bool SetRegistryValue(HANDLE key, PCWSTR name, ULONG type, const VOID* data, ULONG size) {
  UNICODE_STRING valueName;
  if (!InitValueName(&valueName, name)) return false;
  return NT_SUCCESS(ZwSetValueKey(key, &valueName, 0, type, const_cast<PVOID>(data), size));
}

bool SetRegistryDword(HANDLE key, PCWSTR name, ULONG value) {
  return SetRegistryValue(key, name, REG_DWORD, &value, sizeof value);
}
