// Detection dispatch: walks the core's sigmask over the policy positions of
// the active bank, runs the enabled detectors, and tells the core the best
// match.
#include "nips/detectors/detector_common.h"
#include "nips/engine/additional_data.h"
#include "nips/engine/log.h"
#include "nips/engine/packet_view.h"
#include "nips/engine/plugin.h"

namespace {

// The kind given with a match verdict.
constexpr ULONG kVerdictKindDetection = 2;

ULONG PacketProtocolMask(UCHAR protocol) {
  switch (protocol) {
    case kIpProtocolTcp:
      return kProtocolMaskTcp;
    case kIpProtocolUdp:
      return kProtocolMaskUdp;
    case kIpProtocolIcmp:
    case kIpProtocolIcmpv6:
      return kProtocolMaskIcmp;
    default:
      return 0;
  }
}

// Index of the lowest set bit of a non-zero word (BitScanForward).
inline ULONG LowestSetBit(ULONG word) { return static_cast<ULONG>(__builtin_ctz(word)); }

const WCHAR* ActionName(ULONG action) {
  switch (action) {
    case FW_ACTION_BLOCK_HOST:
      return NTTEXT("Block Host");
    case FW_ACTION_BLOCK_PACKET:
      return NTTEXT("Block Packet");
    default:
      return NTTEXT("Allow");
  }
}

struct BestMatch {
  ULONG reaction;
  ULONG actionFlags;
  ULONG severity;
  ULONG signatureId;
};

}  // namespace

ULONG DispatchDetectors(PacketView* view) {
  NipsPlugin* plugin = view->plugin;
  const ULONG packetMask = PacketProtocolMask(view->flow->GetProtocol());
  if (packetMask == 0) return kInspectNotInspectable;

  // Trace lines are off in production; test once instead of per position.
  const bool trace = NipsLogEnabled(plugin, kLogTrace);
  ULONG sigmask[kSigmaskWords];
  const ULONG* coreMask = view->packet->GetSigMask();
  if (coreMask == nullptr) {
    RtlCopyMemory(sigmask, plugin->allSignatures, sizeof sigmask);
    if (trace) NipsLog(plugin, false, kLogTrace, "No sigmask (check all sigs)\n");
  } else {
    RtlCopyMemory(sigmask, coreMask, sizeof sigmask);
    if (trace) {
      NipsLog(plugin, false, kLogTrace, "Sigmask (16 bytes) %x %x %x %x\n", sigmask[0], sigmask[1],
              sigmask[2], sigmask[3]);
    }
  }

  // The one read of the active bank; everything below uses this bank.
  ConfigBank* bank = AcquireActiveBank(plugin);
  view->bank = bank;
  BestMatch best = {0, 0, 0, 0};
  ULONG blockHost = 0;
  ULONG64 actionParam = 0;
  if (bank != nullptr) {
    // The walk stops at the first enabled position above the record count and
    // skips positions whose row cannot run; the bank's reachable positions
    // hold neither, so both fall out of the scan.
    const ULONG* reachable = bank->reachable[LowestSetBit(packetMask)];
    // A detector left out by its port gate would have answered no match and
    // touched nothing. With trace lines on every call is made, as each logs.
    ULONG admitted[kSigmaskWords];
    if (!trace && (packetMask & (kProtocolMaskTcp | kProtocolMaskUdp)) != 0) {
      const ULONG* toPort = bank->byDestinationPort[PortClassOf(detector::DestinationPort(view))];
      const ULONG* fromPort = bank->bySourcePort[PortClassOf(detector::SourcePort(view))];
      for (ULONG word = 0; word < kSigmaskWords; ++word) {
        admitted[word] = bank->anyPort[word] | toPort[word] | fromPort[word];
      }
    } else {
      for (ULONG& word : admitted) word = ~0u;
    }
    for (ULONG word = 0; word < kSigmaskWords; ++word) {
      const ULONG first = word * kBitsPerWord;  // positions first+1 .. first+32
      for (ULONG bits = sigmask[word] & reachable[word] & admitted[word]; bits != 0;
           bits &= bits - 1) {
        const ULONG position = first + LowestSetBit(bits) + 1;
        const ULONG row = bank->map[position - 1] - 1;
        if (row >= kSignatureRows) {
          NipsLog(plugin, true, kLogInfo, "Invalid signature function index: 0x%x\n", row);
          continue;
        }
        // Level, protocol and detector were settled when the reachable
        // positions were derived from this same bank; only the best match moves.
        const SignatureEntry& entry = bank->rows[row];
        if (entry.reaction <= best.reaction) continue;
        if (trace) {
          NipsLog(plugin, false, kLogTrace, "[%02u] Sig %u\n", position - 1, entry.signatureId);
        }
        ULONG result;
        if (DispatchProfile* timing = plugin->profile; timing != nullptr) {
          const ULONG64 started = timing->now();
          result = entry.detector(view);
          timing->ticks[row] += timing->now() - started;
          ++timing->calls[row];
          timing->matches[row] += result == kDetectMatch ? 1 : 0;
        } else {
          result = entry.detector(view);
        }
        if (result == kDetectMatch) {
          best = {entry.reaction, entry.actionFlags, RowLevel(entry), entry.signatureId};
        } else if (result == kDetectError) {
          view->bank = nullptr;
          ReleaseBank(plugin, bank);
          return kInspectDetectorFailed;
        }
      }
    }
    blockHost = bank->header.blockHost;
    actionParam = bank->header.actionParam;
    view->bank = nullptr;
    ReleaseBank(plugin, bank);
  }

  HostVerdictSink* sink = view->packet->GetVerdictSink();
  if (best.actionFlags != 0) {
    ULONG action = FW_ACTION_ALLOW;
    if (best.actionFlags & kActionFlagBlock) {
      action = blockHost != 0 ? FW_ACTION_BLOCK_HOST : FW_ACTION_BLOCK_PACKET;
    }
    if (sink != nullptr) {
      sink->SetVerdict(action, 0, actionParam, kVerdictKindDetection);
      sink->ReportIntrusion(best.signatureId, best.severity, best.reaction,
                            view->additionalDataIndex);
    }
    NipsLog(plugin, false, kLogLifecycle, "Detect sig %u, severity %u, reaction %u -> %s\n",
            best.signatureId, best.severity, best.reaction, ActionName(action));
    if (view->additionalDataIndex != 0 && trace) {
      NipsLog(plugin, false, kLogTrace, "Buffer content %s\n",
              AdditionalDataSlot(view->additionalDataIndex));
    }
    return kInspectDelivered;
  }
  if (sink != nullptr) {
    sink->SetVerdict(FW_ACTION_ALLOW, 0, 0, 0);
    sink->ReportIntrusion(0, 0, 0, 0);
  }
  return kInspectDelivered;
}
