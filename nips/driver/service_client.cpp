#include "nips/driver/service_client.h"

#include "nips/engine/log.h"
#include "nips/engine/plugin.h"

PVOID* g_serviceTable = nullptr;

namespace {

// The interface id is compared as two 64-bit halves.
bool IsPacketInspectInterface(const GUID* iid) {
  if (iid == nullptr) return false;
  ULONG64 halves[2];
  ULONG64 expected[2];
  memcpy(halves, iid, sizeof halves);
  memcpy(expected, &IID_BASTION_PLUGIN_PACKET_INSPECT, sizeof expected);
  return halves[0] == expected[0] && halves[1] == expected[1];
}

// Fields written by one callback and read by another, possibly on another
// processor: whole-word accesses that are never torn (and that the thread
// sanitizer sees as such).
PVOID LoadWord(PVOID const* field) { return ReadPointerAcquire(field); }
void StoreWord(PVOID* field, PVOID value) { WritePointerRelease(field, value); }

}  // namespace

NipsServiceClient::NipsServiceClient(NipsPlugin* logPlugin)
    : reserved_(0),
      clientContext_(nullptr),
      serverContext_(nullptr),
      connection_(nullptr),
      registered_(0),
      unloading_(0),
      logPlugin_(logPlugin) {}

NipsServiceClient::~NipsServiceClient() { Stop(); }

bool NipsServiceClient::Register(NipsPlugin* plugin) {
  // The core sees the plug-in as its own plug-in base.
  StoreWord(&clientContext_, static_cast<HostPluginBase*>(plugin));
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  // A record without a table, or a table without the entry, is a refusal.
  auto registerClient =
      g_serviceTable == nullptr
          ? nullptr
          : reinterpret_cast<RegisterServiceClientFn>(g_serviceTable[kServiceTableRegisterClient]);
  if (registerClient != nullptr) status = registerClient(this, &connection_);
  if (status != STATUS_SUCCESS) {
    NipsLog(logPlugin_, true, kLogError,
            "Tarn Nips plugin driver failed to register as service registry client, sts=0x%X\n",
            static_cast<ULONG>(status));
    // Whatever the registry handed back stays ours even on a refusal (an
    // informational status, or an error after a partial registration): Stop
    // unregisters it, so the registry keeps no pointer to this freed client.
    return false;
  }
  return true;
}

void NipsServiceClient::Stop() {
  __atomic_store_n(&unloading_, 1, __ATOMIC_RELAXED);
  if (connection_ != nullptr) {
    NipsLog(logPlugin_, true, kLogInfo, "detaching from service registry...\n");
    // Returns once the core neither runs nor will start an inspection, and
    // no callback of ours is running.
    connection_->Unregister();
    connection_ = nullptr;
  }
  StoreWord(&clientContext_, nullptr);
}

void NipsServiceClient::OnInterfaceNotify(const GUID* iid, UCHAR flag) {
  if (flag != 0 || !IsPacketInspectInterface(iid)) return;
  if (unloading()) {
    NipsLog(logPlugin_, true, kLogInfo,
            "Tarn Nips plugin driver notification for IID_BASTION_PLUGIN_PACKET_INSPECT ignored "
            "since we are unloading.\n");
    return;
  }
  NipsLog(logPlugin_, true, kLogInfo,
          "Tarn Nips plugin driver notified for IID_BASTION_PLUGIN_PACKET_INSPECT.\n");
  // The exchange lets only one of several notifications attach.
  if (InterlockedExchange(&registered_, 1) == 1) {
    NipsLog(logPlugin_, true, kLogInfo,
            "Tarn Nips plugin driver notification for IID_BASTION_PLUGIN_PACKET_INSPECT ignored "
            "since already registered.\n");
    return;
  }
  StoreWord(&serverContext_, nullptr);
  NipsLog(logPlugin_, true, kLogInfo,
          "Tarn Nips plugin driver attaching to IID_BASTION_PLUGIN_PACKET_INSPECT.\n");
  // Without a connection (registration never succeeded) there is nothing to
  // attach through; that counts as a failed attach.
  ServiceConnection* connection = connection_;
  if (connection == nullptr || connection->AttachInterface(iid, clientContext()) == 0) {
    InterlockedExchange(&registered_, 0);
  }
}

void NipsServiceClient::OnAttach(const GUID* iid, PVOID serverContext) {
  if (!IsPacketInspectInterface(iid)) {
    NipsLog(logPlugin_, true, kLogError, "Tarn Nips plugin got attach notify with invalid GUID\n");
    return;
  }
  if (serverContext == nullptr) {
    NipsLog(logPlugin_, true, kLogError,
            "Tarn Nips plugin driver got attach notify with NULL server context\n");
    return;
  }
  NipsLog(logPlugin_, true, kLogInfo,
          "Tarn Nips plugin driver service attached with context=0x%p\n", serverContext);
  StoreWord(&serverContext_, serverContext);
}

void NipsServiceClient::OnDetach(const GUID* iid, PVOID serverContext, PVOID clientContext) {
  if (!IsPacketInspectInterface(iid)) {
    NipsLog(logPlugin_, true, kLogError, "Tarn Nips plugin got detatch with invalid GUID\n");
    return;
  }
  if (!registered()) {
    NipsLog(logPlugin_, true, kLogError,
            "Tarn Nips plugin driver got detatch while plugin is not registered\n");
    return;
  }
  const PVOID server = this->serverContext();
  const PVOID client = this->clientContext();
  if (serverContext != server || clientContext != client) {
    NipsLog(logPlugin_, true, kLogError,
            "Tarn Nips plugin driver got detatch with wrong provider or client context\n");
    return;
  }
  NipsLog(logPlugin_, true, kLogInfo, "Tarn Nips plugin detaching...");
  ServiceConnection* connection = connection_;
  if (connection != nullptr) {
    connection->DetachInterface(&IID_BASTION_PLUGIN_PACKET_INSPECT, server, client);
  }
  InterlockedExchange(&registered_, 0);
}

bool NipsServiceClient::registered() const { return ReadNoFence(&registered_) != 0; }

PVOID NipsServiceClient::serverContext() const { return LoadWord(&serverContext_); }

PVOID NipsServiceClient::clientContext() const { return LoadWord(&clientContext_); }

bool NipsServiceClient::unloading() const {
  return __atomic_load_n(&unloading_, __ATOMIC_RELAXED) != 0;
}
