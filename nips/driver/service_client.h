// The driver's client of the core driver's service registry: attaches the
// plug-in to the firewall core's packet-inspect interface when the registry
// announces it, and answers the registry's attach and detach callbacks.
#pragma once

#include <ntddk.h>

#include "nips/host/loader.h"

class NipsPlugin;

// The registry's table of functions, from the loader record.
extern PVOID* g_serviceTable;

class NipsServiceClient final : public ServiceClient {
 public:
  // IRQL: PASSIVE_LEVEL. logPlugin receives the client's log lines.
  explicit NipsServiceClient(NipsPlugin* logPlugin);
  // IRQL: PASSIVE_LEVEL. Stops once more.
  ~NipsServiceClient();

  NipsServiceClient(const NipsServiceClient&) = delete;
  NipsServiceClient& operator=(const NipsServiceClient&) = delete;

  // IRQL: PASSIVE_LEVEL. Registers with the registry, offering plugin when
  // the interface is announced. False (logged) when the registry refuses; a
  // connection it handed back all the same is kept for Stop to unregister.
  bool Register(NipsPlugin* plugin);
  // IRQL: PASSIVE_LEVEL. Refuses further attaches and unregisters; once it
  // returns the firewall core no longer calls the plug-in. Safe to repeat.
  void Stop();

  // Registry callbacks, IRQL: PASSIVE_LEVEL, any thread.
  void OnDetach(const GUID* iid, PVOID serverContext, PVOID clientContext) override;
  void OnInterfaceNotify(const GUID* iid, UCHAR flag) override;
  void OnAttach(const GUID* iid, PVOID serverContext) override;

  // State, for diagnostics and tests.
  bool registered() const;
  PVOID serverContext() const;
  PVOID clientContext() const;
  ServiceConnection* connection() const { return connection_; }
  bool unloading() const;

 private:
  [[maybe_unused]] ULONG_PTR reserved_;  // unused by the driver
  PVOID clientContext_;            // the plug-in (as the core's plug-in base) while registered
  PVOID serverContext_;            // from OnAttach
  ServiceConnection* connection_;  // owned until Unregister
  LONG volatile registered_;       // 1 from an attach attempt until it fails or a detach completes
  UCHAR unloading_;                // set by Stop, never cleared
  NipsPlugin* logPlugin_;
};
