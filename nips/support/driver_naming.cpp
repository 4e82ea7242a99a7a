#include "nips/support/driver_naming.h"

#include "nips/support/core_handshake.h"
#include "nips/support/registry.h"
#include "nips/support/wide_string.h"

namespace {

constexpr WCHAR kDriverPathPrefix[] = NTTEXT("\\Driver\\");
constexpr WCHAR kVersionSeparator[] = NTTEXT(".");
constexpr SIZE_T kNameBufferBytes = kVersionLinkCapacity * sizeof(WCHAR);

PCWSTR DriverNameOf(PDRIVER_OBJECT driverObject, SIZE_T* length) {
  const UNICODE_STRING& name = driverObject->DriverName;
  if (name.Buffer == nullptr) {
    *length = 0;
    return name.Buffer;
  }
  return LastPathComponent(name.Buffer, name.Length / sizeof(WCHAR), length);
}

VOID BuildLinkName(PDRIVER_OBJECT driverObject, PCWSTR version, PWSTR buffer) {
  SIZE_T nameLength = 0;
  PCWSTR name = DriverNameOf(driverObject, &nameLength);
  SIZE_T length = 0;
  buffer[0] = 0;
  WideAppend(buffer, kVersionLinkCapacity, &length, kDevicePathPrefix, kVersionLinkCapacity);
  WideAppend(buffer, kVersionLinkCapacity, &length, name, nameLength);
  WideAppend(buffer, kVersionLinkCapacity, &length, kVersionSeparator, kVersionLinkCapacity);
  WideAppend(buffer, kVersionLinkCapacity, &length, version, kVersionLinkCapacity);
}

VOID BuildLinkTarget(PDRIVER_OBJECT driverObject, PWSTR buffer) {
  SIZE_T nameLength = 0;
  PCWSTR name = DriverNameOf(driverObject, &nameLength);
  SIZE_T length = 0;
  buffer[0] = 0;
  WideAppend(buffer, kVersionLinkCapacity, &length, kDriverPathPrefix, kVersionLinkCapacity);
  WideAppend(buffer, kVersionLinkCapacity, &length, name, nameLength);
}

}  // namespace

VOID PublishVersionLink(PDRIVER_OBJECT driverObject, PCWSTR version) {
  if (driverObject == nullptr) return;
  auto* linkName = static_cast<PWSTR>(AllocateSupportBuffer(kNameBufferBytes));
  if (linkName == nullptr) return;
  auto* target = static_cast<PWSTR>(AllocateSupportBuffer(kNameBufferBytes));
  if (target == nullptr) {
    FreeSupportBuffer(linkName);
    return;
  }
  BuildLinkName(driverObject, version, linkName);
  BuildLinkTarget(driverObject, target);
  UNICODE_STRING link;
  UNICODE_STRING destination;
  RtlInitUnicodeString(&link, linkName);
  RtlInitUnicodeString(&destination, target);
  IoDeleteSymbolicLink(&link);  // a stale link of an earlier load, if any
  IoCreateSymbolicLink(&link, &destination);
  FreeSupportBuffer(target);
  FreeSupportBuffer(linkName);
}

VOID WithdrawVersionLink(PDRIVER_OBJECT driverObject, PCWSTR version) {
  if (driverObject == nullptr) return;
  auto* linkName = static_cast<PWSTR>(AllocateSupportBuffer(kNameBufferBytes));
  if (linkName == nullptr) return;
  BuildLinkName(driverObject, version, linkName);
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, linkName);
  IoDeleteSymbolicLink(&link);
  FreeSupportBuffer(linkName);
}

VOID RecordEntryStatus(PCWSTR registryPath, ULONG pathLength, NTSTATUS status) {
  WCHAR path[kServiceNameCapacity];
  SIZE_T length = 0;
  path[0] = 0;
  WideAppend(path, kServiceNameCapacity, &length, registryPath, pathLength);
  HANDLE key = OpenRegistryKey(kRegistryRootAbsolute, path, false);
  if (key == nullptr) return;
  if (status != STATUS_SUCCESS) SetRegistryDword(key, kDriverEntryValueName, status);
  CloseRegistryKey(key);
}
