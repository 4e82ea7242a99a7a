// The simulated core driver vaultkd, as the nips driver expects it: the
// handshake device that answers with a LoaderRecord, the content-driver
// loader, the service registry, and the firewall core's side of the
// packet-inspect interface. User-mode C++; only one CoreDriver may exist in
// a process at a time (the registry's table entries cannot carry a context).
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <ntddk.h>

#include "nips/host/firewall.h"
#include "nips/host/loader.h"

namespace hostsim {

// The firewall core's side of the packet-inspect interface: once a plug-in
// is attached, every packet goes to its InspectPacket.
class FirewallCore {
 public:
  FirewallCore() = default;
  FirewallCore(const FirewallCore&) = delete;
  FirewallCore& operator=(const FirewallCore&) = delete;

  // Makes plugin the one inspecting plug-in; false when one is attached.
  bool Attach(HostPluginBase* plugin);
  // Detaches plugin (when it is the attached one) and returns once no
  // InspectPacket call of it is running; none starts afterwards.
  void Detach(HostPluginBase* plugin);

  // One packet through the attached plug-in, called at the inspect IRQL
  // (DISPATCH_LEVEL unless changed, as the real core calls it); nullopt when
  // nothing is attached. Any thread, any number at once.
  std::optional<LONG> Inspect(HostPacket* packet);

  // A run of packets from one thread under a single entry into the core, as a
  // receive path hands a whole batch up at once: the per-packet calls then
  // cost no shared write. Detach waits for the run to end; packets the run
  // offers after Detach began find nothing attached.
  class InspectRun {
   public:
    explicit InspectRun(FirewallCore* core);
    ~InspectRun();
    InspectRun(const InspectRun&) = delete;
    InspectRun& operator=(const InspectRun&) = delete;
    std::optional<LONG> Inspect(HostPacket* packet);

   private:
    FirewallCore* core_;
    HostPluginBase* plugin_ = nullptr;  // null: the run holds no entry
    uint64_t inspections_ = 0;
  };

  bool attached() const;
  HostPluginBase* plugin() const;
  uint64_t inspections() const { return inspections_.load(); }
  void set_inspect_irql(KIRQL irql) { inspectIrql_.store(irql); }

 private:
  void LeaveInspect();

  std::mutex mutex_;  // serialises Attach and Detach, and the idle wait
  std::condition_variable idle_;
  std::atomic<HostPluginBase*> plugin_{nullptr};
  std::atomic<int> inFlight_{0};
  std::atomic<int> detachWaiters_{0};
  std::atomic<uint64_t> inspections_{0};
  std::atomic<KIRQL> inspectIrql_{DISPATCH_LEVEL};
};

// The content-driver loader: keeps the content driver's reference, forwards
// user-mode control requests and calls PrepareUnload last.
class ContentDriverLoader final : public ContentDriverHost {
 public:
  ContentDriverLoader() = default;
  ContentDriverLoader(const ContentDriverLoader&) = delete;
  ContentDriverLoader& operator=(const ContentDriverLoader&) = delete;

  // Slot 0, called by the driver: takes a reference through AddRef unless a
  // refusal status is set, which is returned instead.
  NTSTATUS RegisterContentDriver(ContentDriver* driver) override;

  // A user-mode control request, at PASSIVE_LEVEL.
  // STATUS_INVALID_DEVICE_REQUEST when no content driver is registered.
  NTSTATUS Control(ULONG code, PVOID input, ULONG64 inputLength, PVOID output, ULONG64 outputLength,
                   ULONG64* bytesReturned);
  // Refuses new requests, waits for the running ones, then calls the
  // driver's PrepareUnload (which gives the reference back). A request that
  // blocks in the driver (a log drain) must be released first, for example
  // by closing the log. False when no driver is registered.
  bool PrepareUnload();

  // Knob: the status RegisterContentDriver answers with; STATUS_SUCCESS
  // accepts.
  void set_registration_status(NTSTATUS status);
  ContentDriver* driver() const;
  int registrations() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  ContentDriver* driver_ = nullptr;
  int inFlight_ = 0;
  bool closing_ = false;
  int registrations_ = 0;
  NTSTATUS registrationStatus_ = STATUS_SUCCESS;
};

class RegistryConnection;

// The service registry: entry 25 of its table registers clients; it
// announces interfaces, attaches clients' plug-ins to the firewall core and
// delivers the attach and detach callbacks.
class ServiceRegistry {
 public:
  explicit ServiceRegistry(FirewallCore* firewall);
  ~ServiceRegistry();
  ServiceRegistry(const ServiceRegistry&) = delete;
  ServiceRegistry& operator=(const ServiceRegistry&) = delete;

  // The table handed out in the loader record.
  PVOID* table() { return table_; }

  // What the registry's own threads do: tell every registered client that an
  // interface is available (OnInterfaceNotify), and ask every attached
  // client to detach (OnDetach with its contexts). Any thread.
  void AnnounceInterface(const GUID& iid = IID_BASTION_PLUGIN_PACKET_INSPECT, UCHAR flag = 0);
  void RequestDetach();

  // Raw callbacks to every registered client, with arbitrary arguments.
  void SendAttach(const GUID* iid, PVOID serverContext);
  void SendDetach(const GUID* iid, PVOID serverContext, PVOID clientContext);

  // Knobs.
  void set_registration_status(NTSTATUS status);  // STATUS_SUCCESS accepts
  void set_refuse_attach(bool refuse);
  void set_deliver_on_attach(bool deliver);  // OnAttach from AttachInterface

  // Observation.
  size_t registered_clients() const;
  int registrations() const;
  int attach_calls() const;
  int detach_calls() const;
  int detach_mismatches() const;  // DetachInterface with wrong iid or contexts while attached
  int unregistrations() const;    // Unregister calls that have returned
  // The server context of the current (or last) attachment.
  PVOID server_context() const;

 private:
  friend class RegistryConnection;
  NTSTATUS Register(ServiceClient* client, ServiceConnection** connection);
  static NTSTATUS RegisterEntry(ServiceClient* client, ServiceConnection** connection);
  std::vector<RegistryConnection*> LiveConnections() const;

  FirewallCore* firewall_;
  PVOID table_[kServiceTableEntries];
  mutable std::mutex mutex_;
  // Connections stay allocated until the registry goes: a callback racing
  // with Unregister may still hold one.
  std::vector<std::unique_ptr<RegistryConnection>> connections_;
  NTSTATUS registrationStatus_ = STATUS_SUCCESS;
  bool refuseAttach_ = false;
  bool deliverOnAttach_ = true;
  int registrations_ = 0;
  std::atomic<int> attachCalls_{0};
  std::atomic<int> detachCalls_{0};
  std::atomic<int> detachMismatches_{0};
  std::atomic<int> unregistrations_{0};
  std::atomic<PVOID> serverContext_{nullptr};
};

// The whole core driver: registers "\Device\vaultkd" in the kernel's
// namespace for as long as it exists.
class CoreDriver {
 public:
  CoreDriver();
  ~CoreDriver();
  CoreDriver(const CoreDriver&) = delete;
  CoreDriver& operator=(const CoreDriver&) = delete;

  ContentDriverLoader& loader() { return loader_; }
  ServiceRegistry& registry() { return registry_; }
  FirewallCore& firewall() { return firewall_; }

  // Handshake knobs.
  void set_device_present(bool present);  // false: no handshake device at all
  void set_record_magic(ULONG magic);
  void set_interface_versions(LONG current, LONG oldest);
  // The status the handshake request completes with; an error status brings
  // no reply back (METHOD_BUFFERED), a warning does.
  void set_reply_status(NTSTATUS status);

  // The record the handshake answers with.
  LoaderRecord BuildLoaderRecord();
  int handshakes() const;
  std::u16string last_handshake_service() const;  // the name the driver sent

  static const std::u16string& DeviceName();

 private:
  NTSTATUS OnDeviceControl(ULONG code, PVOID systemBuffer, ULONG inputLength, ULONG outputLength,
                           ULONG_PTR* information);

  FirewallCore firewall_;
  ContentDriverLoader loader_;
  ServiceRegistry registry_;
  mutable std::mutex mutex_;
  bool devicePresent_ = false;
  ULONG magic_ = kLoaderRecordMagic;
  LONG interfaceVersion_ = kLoaderInterfaceVersion;
  LONG oldestInterfaceVersion_;
  NTSTATUS replyStatus_ = STATUS_SUCCESS;
  int handshakes_ = 0;
  std::u16string lastService_;
};

}  // namespace hostsim
