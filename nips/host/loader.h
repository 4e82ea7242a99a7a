// The core driver's content-driver loader and service registry, and the
// objects the driver hands them. Slot order is part of the interface.
#pragma once

#include <ntddk.h>

// Implemented by the driver's content-driver object; called by the loader.
class ContentDriver {
 public:
  virtual void AddRef() = 0;                         // 0
  virtual void Release() = 0;                        // 1
  virtual void PrepareUnload(PVOID a, PVOID b) = 0;  // 2; arguments unused
  virtual NTSTATUS Control(ULONG code, PVOID input, ULONG64 inputLength, PVOID output,
                           ULONG64 outputLength, ULONG64* bytesReturned) = 0;  // 3
  virtual NTSTATUS UnsupportedRequest() = 0;                                   // 4
  virtual void IgnoredNotification() = 0;                                      // 5
};

// The loader's side.
class ContentDriverHost {
 public:
  virtual NTSTATUS RegisterContentDriver(ContentDriver* driver) = 0;  // 0
};

// Implemented by the driver's service client; called by the registry.
class ServiceClient {
 public:
  virtual void OnDetach(const GUID* iid, PVOID serverContext, PVOID clientContext) = 0;  // 0
  virtual void OnInterfaceNotify(const GUID* iid, UCHAR flag) = 0;                       // 1
  virtual void OnAttach(const GUID* iid, PVOID serverContext) = 0;                       // 2
};

// The registry's handle for one registered client.
class ServiceConnection {
 public:
  virtual void Unregister() = 0;                                                                // 0
  virtual UCHAR AttachInterface(const GUID* iid, PVOID clientContext) = 0;                      // 1
  virtual void DetachInterface(const GUID* iid, PVOID serverContext, PVOID clientContext) = 0;  // 2
};

// The registry's table of functions; the driver calls entry 25 only.
typedef NTSTATUS (*RegisterServiceClientFn)(ServiceClient* client, ServiceConnection** connection);
constexpr ULONG kServiceTableRegisterClient = 25;
constexpr ULONG kServiceTableEntries = 32;
typedef PVOID ServiceTable[kServiceTableEntries];

constexpr ULONG kLoaderRecordMagic = 0x43444C41;  // "ALDC" in memory order
constexpr LONG kLoaderInterfaceVersion = 156000;
constexpr ULONG kLoaderRecordSize = 80;

// The core driver's reply to the handshake request.
struct LoaderRecord {
  ULONG magic;
  LONG interfaceVersion;
  LONG oldestInterfaceVersion;
  ULONG reserved12;
  ContentDriverHost* loaderHost;
  PVOID* serviceTable;
  UCHAR reserved32[48];
};
static_assert(sizeof(LoaderRecord) == kLoaderRecordSize, "LoaderRecord is 80 bytes");
static_assert(offsetof(LoaderRecord, magic) == 0, "magic at 0");
static_assert(offsetof(LoaderRecord, interfaceVersion) == 4, "interfaceVersion at 4");
static_assert(offsetof(LoaderRecord, oldestInterfaceVersion) == 8, "oldestInterfaceVersion at 8");
static_assert(offsetof(LoaderRecord, loaderHost) == 16, "loaderHost at 16");
static_assert(offsetof(LoaderRecord, serviceTable) == 24, "serviceTable at 24");

// {ED755236-878E-4662-945D-F17B5AF6A0EE}
constexpr GUID IID_BASTION_PLUGIN_PACKET_INSPECT = {
    0xED755236, 0x878E, 0x4662, {0x94, 0x5D, 0xF1, 0x7B, 0x5A, 0xF6, 0xA0, 0xEE}};
