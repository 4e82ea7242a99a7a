#include "nips/driver/content_driver.h"

#include <new>

#include "nips/driver/driver_entry.h"
#include "nips/engine/log.h"
#include "nips/engine/pool.h"

NipsContentDriver* g_contentDriver = nullptr;

NipsContentDriver::NipsContentDriver(ContentDriverHost* loaderHost)
    : loaderHost_(loaderHost), refCount_(1), plugin_(), client_(&plugin_) {
  NipsLog(&plugin_, true, kLogLifecycle, "Tarn Nips Plugin driver started\n");
}

NipsContentDriver::~NipsContentDriver() {
  NipsLog(&plugin_, true, kLogLifecycle, "Tarn Nips Plugin driver ending\n");
  Shutdown();
  g_contentDriver = nullptr;
  // The members go now: the client first (it stops once more), then the
  // plug-in.
}

NipsContentDriver* NipsContentDriver::Create(ContentDriverHost* loaderHost) {
  void* memory = ExAllocatePoolWithTag(g_poolType, sizeof(NipsContentDriver), kPoolTagEngine);
  if (memory == nullptr) return nullptr;
  return new (memory) NipsContentDriver(loaderHost);
}

NTSTATUS NipsContentDriver::Start() {
  if (!plugin_.Start()) return STATUS_UNSUCCESSFUL;
  if (!client_.Register(&plugin_)) return STATUS_UNSUCCESSFUL;
  // A record without a loader cannot take the object; treated as a refusal.
  const NTSTATUS status =
      loaderHost_ != nullptr ? loaderHost_->RegisterContentDriver(this) : STATUS_UNSUCCESSFUL;
  if (status != STATUS_SUCCESS) {
    NipsLog(&plugin_, true, kLogError,
            "ERROR: Failed to register as content driver, status = 0x%x\n",
            static_cast<ULONG>(status));
    return status;
  }
  return STATUS_SUCCESS;
}

void NipsContentDriver::Shutdown() {
  client_.Stop();
  plugin_.Stop();
}

void NipsContentDriver::AddRef() { InterlockedIncrement(&refCount_); }

void NipsContentDriver::Release() {
  if (InterlockedDecrement(&refCount_) != 0) return;
  Shutdown();
  this->~NipsContentDriver();
  ExFreePoolWithTag(this, kPoolTagEngine);
}

void NipsContentDriver::PrepareUnload(PVOID a, PVOID b) {
  UNREFERENCED_PARAMETER(a);
  UNREFERENCED_PARAMETER(b);
  // This may be the last reference: nothing of this object is touched after.
  if (g_contentDriver != nullptr) g_contentDriver->Release();
  if (g_driverObject != nullptr) g_driverObject->DriverUnload = NipsDriverUnload;
}

NTSTATUS NipsContentDriver::Control(ULONG code, PVOID input, ULONG64 inputLength, PVOID output,
                                    ULONG64 outputLength, ULONG64* bytesReturned) {
  return plugin_.Control(code, input, inputLength, output, outputLength, bytesReturned);
}

NTSTATUS NipsContentDriver::UnsupportedRequest() { return STATUS_NOT_IMPLEMENTED; }

void NipsContentDriver::IgnoredNotification() {}
