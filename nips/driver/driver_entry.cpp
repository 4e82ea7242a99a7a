#include "nips/driver/driver_entry.h"

#include "nips/driver/content_driver.h"
#include "nips/engine/pool.h"
#include "nips/host/loader.h"
#include "nips/support/core_handshake.h"
#include "nips/support/driver_naming.h"

PDRIVER_OBJECT g_driverObject = nullptr;

namespace {

// (major * 100 + minor) * 10 from this value on is Windows 8 (6.2) or later,
// where executable non-paged pool is no longer wanted.
constexpr ULONG64 kFirstNxVersion = 6020;

// Pool settings are chosen on every load, so that a reload in the same
// address space starts from the defaults as a freshly mapped image does.
void SelectPoolType() {
  RTL_OSVERSIONINFOW version;
  RtlZeroMemory(&version, sizeof version);
  version.dwOSVersionInfoSize = sizeof version;
  bool nx = false;
  if (NT_SUCCESS(RtlGetVersion(&version))) {
    const ULONG64 number =
        (static_cast<ULONG64>(version.dwMajorVersion) * 100 + version.dwMinorVersion) * 10;
    nx = number >= kFirstNxVersion;
  }
  g_poolType = nx ? NonPagedPoolNx : NonPagedPool;
  g_lookasideFlags = nx ? POOL_NX_ALLOCATION : 0;
}

bool IsUsableRecord(const LoaderRecord* record) {
  return record != nullptr &&
         reinterpret_cast<ULONG_PTR>(record) >= reinterpret_cast<ULONG_PTR>(MmSystemRangeStart) &&
         MmIsAddressValid(const_cast<LoaderRecord*>(record));
}

// The loader's interface window must include the version this driver speaks.
bool IsSupportedLoader(const LoaderRecord* record) {
  return record->magic == kLoaderRecordMagic &&
         record->interfaceVersion >= kLoaderInterfaceVersion &&
         record->oldestInterfaceVersion <= kLoaderInterfaceVersion;
}

}  // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  NTSTATUS status = STATUS_ILL_FORMED_SERVICE_ENTRY;
  SelectPoolType();
  g_driverObject = driverObject;
  g_contentDriver = nullptr;
  g_serviceTable = nullptr;
  PCWSTR path = registryPath != nullptr ? registryPath->Buffer : nullptr;
  const ULONG pathLength =
      registryPath != nullptr ? registryPath->Length / static_cast<ULONG>(sizeof(WCHAR)) : 0;

  LoaderRecord* record = nullptr;
  QueryLoaderRecord(path, pathLength, &record);
  if (IsUsableRecord(record)) {
    status = STATUS_REVISION_MISMATCH;
    if (IsSupportedLoader(record)) {
      g_serviceTable = record->serviceTable;
      PublishVersionLink(driverObject, kDriverBuildVersion);
      status = STATUS_NO_MEMORY;
      g_contentDriver = NipsContentDriver::Create(record->loaderHost);
      NipsContentDriver* contentDriver = g_contentDriver;
      if (contentDriver != nullptr) {
        status = contentDriver->Start();
        // The creation reference; from here on the loader's keeps it alive,
        // and after a failed start this destroys it.
        contentDriver->Release();
      }
    }
  }
  RecordEntryStatus(path, pathLength, status);
  if (status != STATUS_SUCCESS) NipsDriverUnload(driverObject);
  return status;
}

VOID NipsDriverUnload(PDRIVER_OBJECT driverObject) {
  UNREFERENCED_PARAMETER(driverObject);
  WithdrawVersionLink(g_driverObject, kDriverBuildVersion);
}
