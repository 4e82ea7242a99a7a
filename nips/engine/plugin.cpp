#include "nips/engine/plugin.h"

#include <new>

#include "nips/engine/additional_data.h"
#include "nips/engine/log.h"
#include "nips/engine/packet_view.h"
#include "nips/engine/pool.h"
#include "nips/tracking/tracking.h"

namespace {

// A writer waiting for a bank to go idle re-checks at least this often, so a
// wake-up lost between a packet's decrement and its look at the waiter count
// costs at most one period (100-ns units, relative).
constexpr LONGLONG kBankIdlePollUnits = 10 * 1000;  // 1 ms

LONG volatile* UsersOf(NipsPlugin* plugin, const ConfigBank* bank) {
  return &plugin->bankUsers[bank == &plugin->banks[0] ? 0 : 1];
}

ConfigBank* ReadActiveBank(NipsPlugin* plugin) {
  return static_cast<ConfigBank*>(
      ReadPointerAcquire(reinterpret_cast<PVOID const volatile*>(&plugin->activeBank)));
}

}  // namespace

NipsPlugin::NipsPlugin() : NipsPlugin(g_signatureTable) {}

NipsPlugin::NipsPlugin(const SignatureTable& signatureTable)
    : HostPluginBase(kNipsPluginId),
      peerVersion{},
      activeBank(nullptr),
      pendingBank(nullptr),
      pendingIndex(0),
      headerSet(0),
      policySet(0),
      tracking(nullptr),
      logMask(kDefaultLogMask),
      table(&signatureTable),
      profile(nullptr) {
  // Everything that Start sets up starts empty, so that a packet or a Stop
  // that comes before Start finds nothing to use or free.
  InitNimQ(&nimq);
  bankUsers[0] = 0;
  bankUsers[1] = 0;
  bankWaiters = 0;
  KeInitializeEvent(&bankIdle, NotificationEvent, FALSE);
  for (ULONG& word : allSignatures) word = 0xFFFFFFFF;
}

bool NipsPlugin::Start() {
  tracking = static_cast<TrackingContext*>(
      ExAllocatePoolWithTag(g_poolType, sizeof(TrackingContext), kPoolTagEngine));
  if (tracking == nullptr) return false;
  const NTSTATUS status = InitTrackingContext(tracking);
  if (status != STATUS_SUCCESS) {
    NipsLog(this, true, kLogError, "Unable to initialize nips tracking context: 0x%x\n",
            static_cast<ULONG>(status));
    ExFreePoolWithTag(tracking, kPoolTagEngine);
    tracking = nullptr;
    return false;
  }
  if (!AllocateAdditionalData()) {
    NipsLog(this, true, kLogError, "Unable to allocate space for g_additionalData.\n");
    FreeTrackingContext();
    ExFreePoolWithTag(tracking, kPoolTagEngine);
    tracking = nullptr;
    return false;
  }
  SpinLockInit(&g_lockAdditionalData);

  // Both banks start defined, so that nothing reads uninitialised rows even
  // before the first configuration cycle.
  LoadDefaultBank(&banks[1], table);
  pendingIndex = 0;
  SwapBanks(this);
  LoadDefaultBank(activeBank, table);
  return true;
}

void NipsPlugin::Stop() {
  FreeAdditionalData();
  if (tracking != nullptr) {
    FreeTrackingContext();
    ExFreePoolWithTag(tracking, kPoolTagEngine);
    tracking = nullptr;
  }
}

LONG NipsPlugin::InspectPacket(HostPacket* packet) {
  ULONG inner;
  if (packet == nullptr) {
    NipsLog(this, true, kLogMalformed, "Unexpected null packet io\n");
    inner = kInspectNotInspectable;
  } else {
    PacketView view = {this, packet, nullptr, nullptr, nullptr, nullptr, 0, nullptr};
    DispatchProfile* const timing = profile;
    const ULONG64 started = timing != nullptr ? timing->now() : 0;
    const bool built = BuildPacketView(&view);
    const ULONG64 viewBuilt = timing != nullptr ? timing->now() : 0;
    if (timing != nullptr) timing->viewTicks += viewBuilt - started;
    if (!built) {
      inner = kInspectNotInspectable;
    } else {
      inner = DispatchDetectors(&view);
      if (timing != nullptr) timing->dispatchTicks += timing->now() - viewBuilt;
      if (static_cast<LONG>(inner) < 0) {
        NipsLog(this, true, kLogError, "Error checking packet: 0x%x\n", inner);
      }
    }
  }
  return inner == kInspectNotInspectable ? kInspectNotInspected : static_cast<LONG>(inner);
}

ULONG NipsPlugin::GetPolicyType() { return FW_POLICY_TYPE_PACKET; }

// ---- Bank reuse protection ---------------------------------------------------

ConfigBank* AcquireActiveBank(NipsPlugin* plugin) {
  // Bounded by the swaps: each retry means a swap happened between the two
  // reads, and a packet retries at most once per swap.
  for (;;) {
    ConfigBank* bank = ReadActiveBank(plugin);
    if (bank == nullptr) return nullptr;
    LONG volatile* users = UsersOf(plugin, bank);
    // The increment is a full barrier: either a writer's idle check sees it,
    // or the re-read below sees the writer's swap and the packet backs off
    // before reading anything of the bank.
    InterlockedIncrement(users);
    if (ReadActiveBank(plugin) == bank) return bank;
    ReleaseBank(plugin, bank);
  }
}

void ReleaseBank(NipsPlugin* plugin, const ConfigBank* bank) {
  if (InterlockedDecrement(UsersOf(plugin, bank)) == 0 && ReadNoFence(&plugin->bankWaiters) != 0) {
    KeSetEvent(&plugin->bankIdle, 0, FALSE);
  }
}

void WaitForPendingBankIdle(NipsPlugin* plugin) {
  LONG volatile* users = &plugin->bankUsers[plugin->pendingIndex];
  // A compare-exchange rather than a plain load: when it finds 0 it writes
  // 0, taking its place after the last packet's decrement, so everything
  // that packet read of the bank happens before the caller rewrites it.
  while (InterlockedCompareExchange(users, 0, 0) != 0) {
    InterlockedIncrement(&plugin->bankWaiters);
    KeClearEvent(&plugin->bankIdle);
    if (InterlockedCompareExchange(users, 0, 0) != 0) {
      LARGE_INTEGER timeout;
      timeout.QuadPart = -kBankIdlePollUnits;
      KeWaitForSingleObject(&plugin->bankIdle, Executive, KernelMode, FALSE, &timeout);
    }
    InterlockedDecrement(&plugin->bankWaiters);
  }
}

void SwapBanks(NipsPlugin* plugin) {
  ConfigBank* next = &plugin->banks[plugin->pendingIndex];
  plugin->pendingIndex = 1 - plugin->pendingIndex;
  plugin->pendingBank = &plugin->banks[plugin->pendingIndex];
  plugin->headerSet = 0;
  plugin->policySet = 0;
  // Publishes the derived rows; a full barrier against the packets' counting.
  InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&plugin->activeBank), next);
}
