#include "hostsim/core_driver.h"

#include <string.h>

#include "kt_hooks.h"
#include "nips/support/core_handshake.h"

namespace hostsim {

namespace {

// The registry whose table entry 25 registers clients. Table entries carry no
// context, hence one registry per process at a time.
std::atomic<ServiceRegistry*> g_registry{nullptr};
// The core driver whose handler serves the handshake device, so that an
// older instance going away does not take a newer one's device with it.
std::atomic<CoreDriver*> g_deviceOwner{nullptr};

bool IsPacketInspect(const GUID* iid) {
  return iid != nullptr && memcmp(iid, &IID_BASTION_PLUGIN_PACKET_INSPECT, sizeof(GUID)) == 0;
}

// Default oldest interface version the simulated loader still serves.
constexpr LONG kDefaultOldestInterfaceVersion = 150000;

}  // namespace

// ---- Firewall core ----------------------------------------------------------

bool FirewallCore::Attach(HostPluginBase* plugin) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (plugin == nullptr || plugin_.load() != nullptr) return false;
  plugin_.store(plugin);
  return true;
}

// Detach and an inspect run pair up like a rundown: Detach clears the
// plug-in, then reads the in-flight count; the run raises the count, then
// reads the plug-in. All four are sequentially consistent, so either Detach
// sees the run counted (and waits for it) or the run sees no plug-in.
void FirewallCore::Detach(HostPluginBase* plugin) {
  std::unique_lock<std::mutex> lock(mutex_);
  HostPluginBase* expected = plugin;
  plugin_.compare_exchange_strong(expected, nullptr);
  // One plug-in at a time: whatever still runs belongs to the one detached.
  detachWaiters_.fetch_add(1);
  idle_.wait(lock, [this] { return inFlight_.load() == 0; });
  detachWaiters_.fetch_sub(1);
}

std::optional<LONG> FirewallCore::Inspect(HostPacket* packet) {
  InspectRun run(this);
  return run.Inspect(packet);
}

// No lock on the packet path: the real core calls plug-ins from many
// processors at once, and a per-packet mutex showed up in scan profiles.
FirewallCore::InspectRun::InspectRun(FirewallCore* core) : core_(core) {
  // A run that finds nothing attached leaves the count alone, so that traffic
  // after a detach cannot keep a waiting Detach from seeing zero.
  if (core_->plugin_.load(std::memory_order_relaxed) == nullptr) return;
  core_->inFlight_.fetch_add(1);
  plugin_ = core_->plugin_.load();
  if (plugin_ == nullptr) core_->LeaveInspect();
}

FirewallCore::InspectRun::~InspectRun() {
  if (plugin_ == nullptr) return;
  core_->inspections_.fetch_add(inspections_, std::memory_order_relaxed);
  core_->LeaveInspect();
}

std::optional<LONG> FirewallCore::InspectRun::Inspect(HostPacket* packet) {
  // Once Detach has cleared the plug-in, the run offers it nothing more; the
  // entry the run holds keeps the plug-in alive until the run ends.
  if (plugin_ == nullptr || core_->plugin_.load(std::memory_order_relaxed) != plugin_) {
    return std::nullopt;
  }
  const KIRQL target = core_->inspectIrql_.load(std::memory_order_relaxed);
  KIRQL old = KeGetCurrentIrql();
  const bool raise = old < target;
  if (raise) KeRaiseIrql(target, &old);
  const LONG result = plugin_->InspectPacket(packet);
  if (raise) KeLowerIrql(old);
  ++inspections_;
  return result;
}

void FirewallCore::LeaveInspect() {
  // The waiter checks the count under the mutex, so taking it before the
  // notification cannot lose the wake-up.
  if (inFlight_.fetch_sub(1) == 1 && detachWaiters_.load() != 0) {
    std::lock_guard<std::mutex> guard(mutex_);
    idle_.notify_all();
  }
}

bool FirewallCore::attached() const { return plugin() != nullptr; }

HostPluginBase* FirewallCore::plugin() const { return plugin_.load(); }

// ---- Content-driver loader ----------------------------------------------------

NTSTATUS ContentDriverLoader::RegisterContentDriver(ContentDriver* driver) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++registrations_;
    if (registrationStatus_ != STATUS_SUCCESS) return registrationStatus_;
    if (driver == nullptr || driver_ != nullptr) return STATUS_INVALID_PARAMETER;
    driver_ = driver;
    closing_ = false;
  }
  driver->AddRef();
  return STATUS_SUCCESS;
}

NTSTATUS ContentDriverLoader::Control(ULONG code, PVOID input, ULONG64 inputLength, PVOID output,
                                      ULONG64 outputLength, ULONG64* bytesReturned) {
  ContentDriver* driver;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (driver_ == nullptr || closing_) return STATUS_INVALID_DEVICE_REQUEST;
    driver = driver_;
    ++inFlight_;
  }
  const NTSTATUS status =
      driver->Control(code, input, inputLength, output, outputLength, bytesReturned);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (--inFlight_ == 0) idle_.notify_all();
  }
  return status;
}

bool ContentDriverLoader::PrepareUnload() {
  ContentDriver* driver;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    if (driver_ == nullptr || closing_) return false;
    closing_ = true;
    idle_.wait(lock, [this] { return inFlight_ == 0; });
    driver = driver_;
  }
  driver->PrepareUnload(nullptr, nullptr);
  std::lock_guard<std::mutex> guard(mutex_);
  driver_ = nullptr;
  closing_ = false;
  return true;
}

void ContentDriverLoader::set_registration_status(NTSTATUS status) {
  std::lock_guard<std::mutex> guard(mutex_);
  registrationStatus_ = status;
}

ContentDriver* ContentDriverLoader::driver() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return driver_;
}

int ContentDriverLoader::registrations() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return registrations_;
}

// ---- Service registry ---------------------------------------------------------

// One registered client. Callbacks into the client are counted so that
// Unregister can wait for them; Unregister must not be called from inside
// one of the client's own callbacks.
class RegistryConnection final : public ServiceConnection {
 public:
  RegistryConnection(ServiceRegistry* registry, ServiceClient* client)
      : registry_(registry), client_(client) {}

  void Unregister() override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (unregistered_) {
      idle_.wait(lock, [this] { return unregisterDone_; });
      return;
    }
    unregistered_ = true;
    idle_.wait(lock, [this] { return callbacks_ == 0; });
    // Under the lock, so that no attach or detach can slip in between.
    if (plugin_ != nullptr) registry_->firewall_->Detach(plugin_);
    plugin_ = nullptr;
    clientContext_ = nullptr;
    unregisterDone_ = true;
    idle_.notify_all();
    registry_->unregistrations_.fetch_add(1);
  }

  UCHAR AttachInterface(const GUID* iid, PVOID clientContext) override {
    registry_->attachCalls_.fetch_add(1);
    bool deliver;
    {
      std::lock_guard<std::mutex> registryGuard(registry_->mutex_);
      if (registry_->refuseAttach_) return 0;
      deliver = registry_->deliverOnAttach_;
    }
    if (!IsPacketInspect(iid) || clientContext == nullptr) return 0;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (unregistered_ || plugin_ != nullptr) return 0;
      auto* plugin = static_cast<HostPluginBase*>(clientContext);
      if (!registry_->firewall_->Attach(plugin)) return 0;
      plugin_ = plugin;
      clientContext_ = clientContext;
    }
    registry_->serverContext_.store(server());
    if (deliver) {
      CallClient([this](ServiceClient* client) {
        client->OnAttach(&IID_BASTION_PLUGIN_PACKET_INSPECT, server());
      });
    }
    return 1;
  }

  void DetachInterface(const GUID* iid, PVOID serverContext, PVOID clientContext) override {
    registry_->detachCalls_.fetch_add(1);
    // The whole detach holds the lock: the core's wait for running
    // inspections takes no registry lock, and a racing attach, detach or
    // Unregister must see the attachment either whole or gone.
    std::lock_guard<std::mutex> guard(mutex_);
    if (plugin_ == nullptr) return;  // already detached by a racing call
    if (!IsPacketInspect(iid) || serverContext != server() || clientContext != clientContext_) {
      registry_->detachMismatches_.fetch_add(1);
      return;
    }
    registry_->firewall_->Detach(plugin_);
    plugin_ = nullptr;
    clientContext_ = nullptr;
  }

  // Runs call(client) unless the client has unregistered.
  template <typename Call>
  bool CallClient(Call call) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (unregistered_) return false;
      ++callbacks_;
    }
    call(client_);
    std::lock_guard<std::mutex> guard(mutex_);
    if (--callbacks_ == 0) idle_.notify_all();
    return true;
  }

  bool live() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return !unregistered_;
  }

  // The contexts of the current attachment; false when not attached.
  bool Attachment(PVOID* serverContext, PVOID* clientContext) const {
    std::lock_guard<std::mutex> guard(mutex_);
    if (plugin_ == nullptr) return false;
    *serverContext = server();
    *clientContext = clientContext_;
    return true;
  }

 private:
  // The address of this connection's token is its server context.
  PVOID server() const { return const_cast<char*>(&serverToken_); }

  ServiceRegistry* registry_;
  ServiceClient* client_;
  mutable std::mutex mutex_;
  std::condition_variable idle_;
  int callbacks_ = 0;
  bool unregistered_ = false;
  bool unregisterDone_ = false;
  HostPluginBase* plugin_ = nullptr;
  PVOID clientContext_ = nullptr;
  char serverToken_ = 0;
};

ServiceRegistry::ServiceRegistry(FirewallCore* firewall) : firewall_(firewall) {
  for (PVOID& entry : table_) entry = nullptr;
  table_[kServiceTableRegisterClient] = reinterpret_cast<PVOID>(&ServiceRegistry::RegisterEntry);
  g_registry.store(this);
}

ServiceRegistry::~ServiceRegistry() {
  ServiceRegistry* self = this;
  g_registry.compare_exchange_strong(self, nullptr);
}

NTSTATUS ServiceRegistry::RegisterEntry(ServiceClient* client, ServiceConnection** connection) {
  ServiceRegistry* registry = g_registry.load();
  if (registry == nullptr) return STATUS_UNSUCCESSFUL;
  return registry->Register(client, connection);
}

NTSTATUS ServiceRegistry::Register(ServiceClient* client, ServiceConnection** connection) {
  std::lock_guard<std::mutex> guard(mutex_);
  ++registrations_;
  if (registrationStatus_ != STATUS_SUCCESS) return registrationStatus_;
  if (client == nullptr || connection == nullptr) return STATUS_INVALID_PARAMETER;
  connections_.push_back(std::make_unique<RegistryConnection>(this, client));
  *connection = connections_.back().get();
  return STATUS_SUCCESS;
}

std::vector<RegistryConnection*> ServiceRegistry::LiveConnections() const {
  std::lock_guard<std::mutex> guard(mutex_);
  std::vector<RegistryConnection*> live;
  for (const auto& connection : connections_) {
    if (connection->live()) live.push_back(connection.get());
  }
  return live;
}

void ServiceRegistry::AnnounceInterface(const GUID& iid, UCHAR flag) {
  for (RegistryConnection* connection : LiveConnections()) {
    connection->CallClient(
        [&iid, flag](ServiceClient* client) { client->OnInterfaceNotify(&iid, flag); });
  }
}

void ServiceRegistry::RequestDetach() {
  for (RegistryConnection* connection : LiveConnections()) {
    PVOID server;
    PVOID client;
    if (!connection->Attachment(&server, &client)) continue;
    connection->CallClient([server, client](ServiceClient* serviceClient) {
      serviceClient->OnDetach(&IID_BASTION_PLUGIN_PACKET_INSPECT, server, client);
    });
  }
}

void ServiceRegistry::SendAttach(const GUID* iid, PVOID serverContext) {
  for (RegistryConnection* connection : LiveConnections()) {
    connection->CallClient(
        [iid, serverContext](ServiceClient* client) { client->OnAttach(iid, serverContext); });
  }
}

void ServiceRegistry::SendDetach(const GUID* iid, PVOID serverContext, PVOID clientContext) {
  for (RegistryConnection* connection : LiveConnections()) {
    connection->CallClient([iid, serverContext, clientContext](ServiceClient* client) {
      client->OnDetach(iid, serverContext, clientContext);
    });
  }
}

void ServiceRegistry::set_registration_status(NTSTATUS status) {
  std::lock_guard<std::mutex> guard(mutex_);
  registrationStatus_ = status;
}

void ServiceRegistry::set_refuse_attach(bool refuse) {
  std::lock_guard<std::mutex> guard(mutex_);
  refuseAttach_ = refuse;
}

void ServiceRegistry::set_deliver_on_attach(bool deliver) {
  std::lock_guard<std::mutex> guard(mutex_);
  deliverOnAttach_ = deliver;
}

size_t ServiceRegistry::registered_clients() const { return LiveConnections().size(); }

int ServiceRegistry::registrations() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return registrations_;
}

int ServiceRegistry::attach_calls() const { return attachCalls_.load(); }
int ServiceRegistry::detach_calls() const { return detachCalls_.load(); }
int ServiceRegistry::detach_mismatches() const { return detachMismatches_.load(); }
int ServiceRegistry::unregistrations() const { return unregistrations_.load(); }
PVOID ServiceRegistry::server_context() const { return serverContext_.load(); }

// ---- Core driver ------------------------------------------------------------------

CoreDriver::CoreDriver()
    : registry_(&firewall_), oldestInterfaceVersion_(kDefaultOldestInterfaceVersion) {
  set_device_present(true);
}

CoreDriver::~CoreDriver() { set_device_present(false); }

const std::u16string& CoreDriver::DeviceName() {
  static const std::u16string* name =
      new std::u16string(std::u16string(kDevicePathPrefix) + kCoreDriverName);
  return *name;
}

void CoreDriver::set_device_present(bool present) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (devicePresent_ == present) return;
    devicePresent_ = present;
  }
  if (present) {
    g_deviceOwner.store(this);
    kt::RegisterDevice(DeviceName(),
                       [this](ULONG code, PVOID buffer, ULONG in, ULONG out, ULONG_PTR* info) {
                         return OnDeviceControl(code, buffer, in, out, info);
                       });
  } else {
    CoreDriver* self = this;
    if (g_deviceOwner.compare_exchange_strong(self, nullptr)) kt::UnregisterDevice(DeviceName());
  }
}

void CoreDriver::set_record_magic(ULONG magic) {
  std::lock_guard<std::mutex> guard(mutex_);
  magic_ = magic;
}

void CoreDriver::set_interface_versions(LONG current, LONG oldest) {
  std::lock_guard<std::mutex> guard(mutex_);
  interfaceVersion_ = current;
  oldestInterfaceVersion_ = oldest;
}

void CoreDriver::set_reply_status(NTSTATUS status) {
  std::lock_guard<std::mutex> guard(mutex_);
  replyStatus_ = status;
}

LoaderRecord CoreDriver::BuildLoaderRecord() {
  std::lock_guard<std::mutex> guard(mutex_);
  LoaderRecord record;
  memset(&record, 0, sizeof record);
  record.magic = magic_;
  record.interfaceVersion = interfaceVersion_;
  record.oldestInterfaceVersion = oldestInterfaceVersion_;
  record.loaderHost = &loader_;
  record.serviceTable = registry_.table();
  return record;
}

int CoreDriver::handshakes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return handshakes_;
}

std::u16string CoreDriver::last_handshake_service() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return lastService_;
}

NTSTATUS CoreDriver::OnDeviceControl(ULONG code, PVOID systemBuffer, ULONG inputLength,
                                     ULONG outputLength, ULONG_PTR* information) {
  *information = 0;
  if (code != kCoreHandshakeIoctl) return STATUS_INVALID_DEVICE_REQUEST;
  // The request names the service; the reply is written over it.
  std::u16string service;
  const auto* text = static_cast<const char16_t*>(systemBuffer);
  for (ULONG i = 0; i < inputLength / sizeof(char16_t) && text[i] != 0; ++i) {
    service.push_back(text[i]);
  }
  if (outputLength < sizeof(LoaderRecord)) return STATUS_BUFFER_TOO_SMALL;
  const LoaderRecord record = BuildLoaderRecord();
  memcpy(systemBuffer, &record, sizeof record);
  *information = sizeof record;
  std::lock_guard<std::mutex> guard(mutex_);
  ++handshakes_;
  lastService_ = service;
  return replyStatus_;
}

}  // namespace hostsim
