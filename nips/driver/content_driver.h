// The driver's one content-driver object: it holds the whole plug-in and the
// service-registry client, and lives as long as the loader's reference.
#pragma once

#include <ntddk.h>

#include "nips/driver/service_client.h"
#include "nips/engine/plugin.h"
#include "nips/host/loader.h"

class NipsContentDriver final : public ContentDriver {
 public:
  // IRQL: PASSIVE_LEVEL. Reference count 1 (the creator's).
  explicit NipsContentDriver(ContentDriverHost* loaderHost);
  // IRQL: PASSIVE_LEVEL. Shuts down once more, then the client and the
  // plug-in are destroyed, in that order. The memory is the caller's.
  ~NipsContentDriver();

  NipsContentDriver(const NipsContentDriver&) = delete;
  NipsContentDriver& operator=(const NipsContentDriver&) = delete;

  // IRQL: PASSIVE_LEVEL. Pool memory of the plug-in's pool type, constructed
  // in place; null when the allocation fails. Freed by the last Release.
  static NipsContentDriver* Create(ContentDriverHost* loaderHost);

  // IRQL: PASSIVE_LEVEL. Starts the plug-in, registers the client and then
  // this object with the loader.
  NTSTATUS Start();
  // IRQL: PASSIVE_LEVEL. Unregisters the client (no inspection runs after
  // it), then stops the plug-in. Safe to repeat.
  void Shutdown();

  // Loader slots.
  void AddRef() override;                         // IRQL: <= DISPATCH_LEVEL
  void Release() override;                        // IRQL: PASSIVE_LEVEL when it may be the last
  void PrepareUnload(PVOID a, PVOID b) override;  // IRQL: PASSIVE_LEVEL; the loader's last call
  NTSTATUS Control(ULONG code, PVOID input, ULONG64 inputLength, PVOID output, ULONG64 outputLength,
                   ULONG64* bytesReturned) override;  // PASSIVE_LEVEL
  NTSTATUS UnsupportedRequest() override;             // IRQL: any
  void IgnoredNotification() override;                // IRQL: any

  NipsPlugin* plugin() { return &plugin_; }
  NipsServiceClient* client() { return &client_; }
  LONG referenceCount() const { return ReadNoFence(&refCount_); }

 private:
  ContentDriverHost* loaderHost_;  // not owned
  LONG volatile refCount_;
  NipsPlugin plugin_;
  NipsServiceClient client_;  // declared after the plug-in: destroyed before it
};

// The one content-driver object, or null.
extern NipsContentDriver* g_contentDriver;
