// The packet-inspection plug-in: the object the firewall core calls for every
// packet. It owns the whole inspection state: the two configuration banks,
// the tracking context, the log mask and the log queue.
#pragma once

#include <ntddk.h>

#include "nips/engine/config.h"
#include "nips/engine/nimq.h"
#include "nips/engine/profile.h"
#include "nips/engine/signature.h"
#include "nips/host/firewall.h"

struct PacketView;
struct TrackingContext;

// {BEDD0FE7-3763-4389-84D5-36D6844E30A7}
constexpr GUID kNipsPluginId = {
    0xBEDD0FE7, 0x3763, 0x4389, {0x84, 0xD5, 0x36, 0xD6, 0x84, 0x4E, 0x30, 0xA7}};

// What InspectPacket returns to the core.
constexpr LONG kInspectDelivered = 0;     // a verdict and a report were delivered
constexpr LONG kInspectNotInspected = 2;  // not inspected, no verdict
// Inner results of the inspection (the core sees the second as it is).
constexpr ULONG kInspectNotInspectable = 0x80000001;
constexpr ULONG kInspectDetectorFailed = 0x80000002;

class NipsPlugin final : public HostPluginBase {
 public:
  // The product's plug-in, over the built-in signature table.
  NipsPlugin();
  // A plug-in over another table (tests give rows with test detectors). The
  // table must outlive the plug-in.
  explicit NipsPlugin(const SignatureTable& table);
  // Restores the base only; the owner frees the memory.
  ~NipsPlugin() = default;

  NipsPlugin(const NipsPlugin&) = delete;
  NipsPlugin& operator=(const NipsPlugin&) = delete;

  // IRQL: PASSIVE_LEVEL. Creates the tracking store, the evidence store and
  // the default bank; false (with everything undone) on failure.
  bool Start();
  // IRQL: PASSIVE_LEVEL. Frees what Start made; safe to repeat.
  void Stop();

  // IRQL: <= DISPATCH_LEVEL, on any number of processors at once.
  LONG InspectPacket(HostPacket* packet) override;
  // IRQL: any.
  ULONG GetPolicyType() override;

  // IRQL: PASSIVE_LEVEL. Control requests 1..8 from user mode.
  NTSTATUS Control(ULONG code, PVOID input, ULONG64 inputLength, PVOID output, ULONG64 outputLength,
                   ULONG64* bytesReturned);

  HandshakeRecord peerVersion;  // last accepted caller version; kept, never read
  ConfigBank* activeBank;       // read by packets without a lock (see AcquireActiveBank)
  ConfigBank* pendingBank;
  ConfigBank banks[2];
  ULONG pendingIndex;  // index of the bank pendingBank points to
  UCHAR headerSet;     // halves of the pending configuration received since the last swap
  UCHAR policySet;
  TrackingContext* tracking;  // owned
  ULONG logMask;              // category bits the log lets through
  NimQ nimq;

  // Bank reuse protection. After a swap the old active bank becomes pending
  // and is rewritten by the next requests; packets that took it just before
  // the swap may still be reading it. Each packet counts itself in the
  // counter of the bank it took; writers of the pending bank wait (at
  // PASSIVE_LEVEL) until its counter drops to zero.
  LONG volatile bankUsers[2];
  LONG volatile bankWaiters;  // writers waiting for a bank to go idle
  KEVENT bankIdle;            // set by the packet that leaves a bank idle while a writer waits

  const SignatureTable* table;         // rows copied by the default bank and each policy
  ULONG allSignatures[kSigmaskWords];  // the sigmask used when the core gives none
  DispatchProfile* profile;            // null but under a diagnostic host
};

// ---- Engine steps on the plug-in (nips/engine/*.cpp) ------------------------

// IRQL: <= DISPATCH_LEVEL. Takes the active bank for one packet and counts
// the packet in it; null before Start. Pair with ReleaseBank.
ConfigBank* AcquireActiveBank(NipsPlugin* plugin);
// IRQL: <= DISPATCH_LEVEL. The packet leaves the bank it took.
void ReleaseBank(NipsPlugin* plugin, const ConfigBank* bank);
// IRQL: PASSIVE_LEVEL. Returns once no packet reads the pending bank, so that
// it may be rewritten.
void WaitForPendingBankIdle(NipsPlugin* plugin);
// IRQL: PASSIVE_LEVEL. activeBank becomes the pending bank, pendingBank the
// other one; clears headerSet and policySet.
void SwapBanks(NipsPlugin* plugin);

// The built-in default image: reactions 1, action parameter 0xFFFFFFFF, the
// table's rows, no positions.
void LoadDefaultBank(ConfigBank* bank, const SignatureTable* table);
// After the reactions are derived: the bank's reachable positions.
void DeriveReachablePositions(ConfigBank* bank);

// IRQL: PASSIVE_LEVEL. Request 2: the 32-byte header into the pending bank.
void SetBankHeader(NipsPlugin* plugin, const void* header);
// IRQL: PASSIVE_LEVEL. Request 3: count 12-byte records (possibly unaligned)
// into the pending bank.
NTSTATUS ApplySignaturePolicy(NipsPlugin* plugin, const void* records, ULONG64 count);
// Derives reaction and actionFlags of all rows from the bank's header.
void DeriveReactions(ConfigBank* bank);
// IRQL: PASSIVE_LEVEL. Request 4.
NTSTATUS EnforceConfiguration(NipsPlugin* plugin);

// IRQL: <= DISPATCH_LEVEL. Runs the enabled detectors on a checked view and
// delivers the verdict: 0, kInspectNotInspectable or kInspectDetectorFailed.
ULONG DispatchDetectors(PacketView* view);
