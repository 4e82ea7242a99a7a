// Loads the nips driver into this process as the system would for the core
// driver's content-driver loader, and gives user programs and tests the
// three ways in: control requests through the loader, packets through the
// firewall core, and unload.
//
//   hostsim::DriverHost host;                // owns a CoreDriver
//   if (host.Load() != STATUS_SUCCESS) ...;  // entry, then the interface is announced
//   host.Control(1, &hello, 20, &reply, 20, &returned);
//   std::optional<LONG> result = host.Inspect(packet);
//   host.Unload();                           // kt::PoolOutstanding() is 0 afterwards
#pragma once

#include <stdint.h>

#include <memory>
#include <optional>
#include <string>

#include <ntddk.h>

#include "hostsim/core_driver.h"

namespace hostsim {

class DriverHost {
 public:
  using EntryRoutine = NTSTATUS (*)(PDRIVER_OBJECT, PUNICODE_STRING);

  // Uses core when given (it must outlive the host), else owns one. entry
  // null means the driver's DriverEntry.
  explicit DriverHost(CoreDriver* core = nullptr, EntryRoutine entry = nullptr);
  // Unloads a loaded driver.
  ~DriverHost();
  DriverHost(const DriverHost&) = delete;
  DriverHost& operator=(const DriverHost&) = delete;

  // Creates the driver object "\Driver\<serviceName>" and the service key
  // \Registry\Machine\System\CurrentControlSet\Services\<serviceName>, calls
  // the entry routine and, when it succeeds, lets the registry announce
  // IID_BASTION_PLUGIN_PACKET_INSPECT so that the plug-in attaches. Returns
  // the entry status (STATUS_UNSUCCESSFUL without calling it when a driver
  // is already loaded).
  NTSTATUS Load(const std::u16string& serviceName = u"nips");
  bool loaded() const { return loaded_; }

  // A user-mode control request through the loader (PASSIVE_LEVEL).
  NTSTATUS Control(ULONG code, void* input, uint64_t inputLength, void* output,
                   uint64_t outputLength, uint64_t* bytesReturned);
  // One packet through the firewall core; nullopt when nothing is attached.
  std::optional<LONG> Inspect(HostPacket* packet);

  // The registry detaches the plug-in, the loader calls PrepareUnload, and
  // the driver's unload routine (installed by it) runs. A log drain blocked
  // in the driver must be released (request 7) before.
  void Unload();

  CoreDriver& core() { return *core_; }
  DRIVER_OBJECT* driver_object() { return driverObject_.get(); }
  const std::u16string& service_key() const { return serviceKey_; }
  static std::u16string ServiceKeyPath(const std::u16string& serviceName);

 private:
  std::unique_ptr<CoreDriver> ownedCore_;
  CoreDriver* core_;
  EntryRoutine entry_;
  std::unique_ptr<DRIVER_OBJECT> driverObject_;
  std::u16string driverName_;
  std::u16string serviceKey_;
  bool loaded_ = false;
};

}  // namespace hostsim
