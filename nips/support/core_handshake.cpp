#include "nips/support/core_handshake.h"

#include "nips/support/registry.h"
#include "nips/support/wide_string.h"

namespace {

constexpr WCHAR kAltServiceNameValue[] = NTTEXT("AltServiceName");

// The one copy of the core driver's reply; the entry routine keeps using it.
LoaderRecord g_loaderRecord;

// Sends the handshake naming serviceName; true when the reply carried the
// record's magic, whatever status the request ended with.
bool RequestLoaderRecord(PCWSTR serviceName) {
  PWSTR devicePath = AllocateJoinedPath(kDevicePathPrefix, kCoreDriverName);
  if (devicePath == nullptr) return false;
  bool accepted = false;
  UNICODE_STRING deviceName;
  RtlInitUnicodeString(&deviceName, devicePath);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &deviceName, kCoreDeviceAttributes, nullptr, nullptr);
  IO_STATUS_BLOCK ioStatus;
  HANDLE device = nullptr;
  if (NT_SUCCESS(ZwOpenFile(&device, kCoreDeviceAccess, &attributes, &ioStatus, kCoreDeviceShare,
                            kCoreDeviceOptions))) {
    alignas(8) UCHAR reply[kLoaderRecordSize];
    RtlZeroMemory(reply, sizeof reply);
    const ULONG inputLength = static_cast<ULONG>(
        (WideLengthBounded(serviceName, kServiceNameCapacity - 1) + 1) * sizeof(WCHAR));
    // Only the reply's magic tells whether the core driver answered.
    ZwDeviceIoControlFile(device, nullptr, nullptr, nullptr, &ioStatus, kCoreHandshakeIoctl,
                          const_cast<PWSTR>(serviceName), inputLength, reply, sizeof reply);
    ULONG magic;
    memcpy(&magic, reply, sizeof magic);
    if (magic == kLoaderRecordMagic) {
      memcpy(&g_loaderRecord, reply, sizeof g_loaderRecord);
      accepted = true;
    }
    ZwClose(device);
  }
  FreeSupportBuffer(devicePath);
  return accepted;
}

}  // namespace

VOID QueryLoaderRecord(PCWSTR registryPath, ULONG pathLength, LoaderRecord** record,
                       WCHAR* serviceName, WCHAR* altServiceName) {
  if (record == nullptr) return;
  *record = nullptr;
  WCHAR path[kServiceNameCapacity];
  SIZE_T length = 0;
  path[0] = 0;
  WideAppend(path, kServiceNameCapacity, &length, registryPath, pathLength);

  SIZE_T nameLength = 0;
  PCWSTR lastComponent = LastPathComponent(path, length, &nameLength);
  WCHAR name[kServiceNameCapacity];
  SIZE_T used = 0;
  name[0] = 0;
  WideAppend(name, kServiceNameCapacity, &used, lastComponent, nameLength);
  if (serviceName != nullptr) {
    used = 0;
    serviceName[0] = 0;
    WideAppend(serviceName, kServiceNameCapacity, &used, name, nameLength);
  }

  HANDLE key = OpenRegistryKey(kRegistryRootAbsolute, path, false);
  bool haveAltName = false;
  if (key != nullptr) {
    if (altServiceName != nullptr) {
      haveAltName =
          QueryRegistryString(key, kAltServiceNameValue, altServiceName, kServiceNameCapacity);
    }
    if (RequestLoaderRecord(name)) *record = &g_loaderRecord;
    CloseRegistryKey(key);
  }
  if (altServiceName != nullptr && !haveAltName) {
    used = 0;
    altServiceName[0] = 0;
    WideAppend(altServiceName, kServiceNameCapacity, &used, name, nameLength);
  }
}
