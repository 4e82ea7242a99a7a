// The control dispatcher: requests 1..8 from user mode, with exact buffer
// checks. A failed check returns STATUS_INVALID_PARAMETER with nothing
// changed. bytesReturned is written once a request's buffer checks pass.
#include "nips/engine/additional_data.h"
#include "nips/engine/config.h"
#include "nips/engine/log.h"
#include "nips/engine/nimq.h"
#include "nips/engine/plugin.h"

namespace {

constexpr ULONG64 kBankHeaderBytes = sizeof(BankHeader);
constexpr ULONG64 kHandshakeBytes = sizeof(HandshakeRecord);
constexpr ULONG64 kLogMaskBytes = sizeof(ULONG);
constexpr ULONG64 kDrainRequestBytes = 16;  // u64 user address, u64 user length
constexpr ULONG64 kDrainReplyBytes = 16;    // u64 size, u64 returned
constexpr ULONG64 kSlotIndexBytes = sizeof(LONG);

NTSTATUS Handshake(NipsPlugin* plugin, const void* input, void* output) {
  HandshakeRecord peer;
  RtlCopyMemory(&peer, input, sizeof peer);
  if (peer.magic != kHandshakeMagic) return STATUS_INVALID_PARAMETER;
  if (peer.major < kPeerMinimumMajor) return STATUS_NOT_SUPPORTED;
  if (peer.major == kPeerMinimumMajor && peer.minor == 0 && peer.build < kPeerMinimumBuild &&
      peer.build != kPeerAnyBuild) {
    return STATUS_NOT_SUPPORTED;
  }
  plugin->peerVersion = peer;
  RtlCopyMemory(output, &kPluginVersion, sizeof kPluginVersion);
  return STATUS_SUCCESS;
}

// Request 6 around DrainNimQ.
NTSTATUS DrainLog(NipsPlugin* plugin, const void* input, void* output) {
  ULONG64 request[2];
  RtlCopyMemory(request, input, sizeof request);
  const ULONG64 address = request[0];
  const ULONG64 length = request[1];
  ULONG64 reply[2] = {0, 0};  // size, returned
  NTSTATUS status;
  if (address == 0 || address + length <= address ||
      address + length > reinterpret_cast<ULONG64>(MmHighestUserAddress)) {
    status = STATUS_ACCESS_VIOLATION;
  } else {
    ULONG64 size = 0;
    const ULONG code = DrainNimQ(&plugin->nimq, reinterpret_cast<PVOID>(address), length, &size);
    if (code == kNimqDrained) {
      reply[0] = size;
      reply[1] = size;
      status = STATUS_SUCCESS;
    } else if (code == kNimqTooSmall) {
      reply[0] = size;  // tells the caller the length needed
      status = STATUS_SUCCESS;
    } else if (code == kNimqCopyFaulted) {
      status = STATUS_ACCESS_VIOLATION;
    } else {
      NipsLog(plugin, true, kLogError, "Unexpected NimQ code 0x%x\n", code);
      status = STATUS_UNSUCCESSFUL;
    }
  }
  RtlCopyMemory(output, reply, sizeof reply);
  return status;
}

}  // namespace

NTSTATUS NipsPlugin::Control(ULONG code, PVOID input, ULONG64 inputLength, PVOID output,
                             ULONG64 outputLength, ULONG64* bytesReturned) {
  switch (code) {
    case kControlHandshake:
      if (input == nullptr || inputLength != kHandshakeBytes || output == nullptr ||
          outputLength < kHandshakeBytes || bytesReturned == nullptr) {
        return STATUS_INVALID_PARAMETER;
      }
      *bytesReturned = kHandshakeBytes;
      return Handshake(this, input, output);

    case kControlSetBankHeader:
      if (input == nullptr || inputLength != kBankHeaderBytes) return STATUS_INVALID_PARAMETER;
      SetBankHeader(this, input);
      return STATUS_SUCCESS;

    case kControlApplyPolicy:
      if ((input == nullptr && inputLength != 0) || inputLength % kPolicyRecordBytes != 0) {
        return STATUS_INVALID_PARAMETER;
      }
      return ApplySignaturePolicy(this, input, inputLength / kPolicyRecordBytes);

    case kControlEnforce:
      return EnforceConfiguration(this);

    case kControlSetLogMask: {
      if (input == nullptr || inputLength != kLogMaskBytes || output != nullptr ||
          outputLength != 0 || bytesReturned == nullptr) {
        return STATUS_INVALID_PARAMETER;
      }
      *bytesReturned = 0;
      LONG mask;
      RtlCopyMemory(&mask, input, sizeof mask);
      // Packets read the mask concurrently; a single atomic store.
      WriteNoFence(reinterpret_cast<LONG volatile*>(&logMask), mask);
      return STATUS_SUCCESS;
    }

    case kControlDrainLog:
      if (input == nullptr || inputLength != kDrainRequestBytes || output == nullptr ||
          outputLength != kDrainReplyBytes || bytesReturned == nullptr) {
        return STATUS_INVALID_PARAMETER;
      }
      *bytesReturned = kDrainReplyBytes;
      return DrainLog(this, input, output);

    case kControlCloseLog:
      CloseNimQ(&nimq);
      return STATUS_SUCCESS;

    case kControlGetAdditionalData: {
      if (input == nullptr || inputLength != kSlotIndexBytes || output == nullptr ||
          outputLength < kAdditionalDataSlotBytes || bytesReturned == nullptr) {
        // Pointers are shown by their low 32 bits, lengths as 32-bit values.
        NipsLog(this, true, kLogError, "i 0x%x, is %d, o 0x%x, os 0x%x, mos %d\n",
                static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(input)),
                static_cast<LONG>(inputLength),
                static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(output)),
                static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(bytesReturned)),
                static_cast<LONG>(outputLength));
        return STATUS_INVALID_PARAMETER;
      }
      *bytesReturned = kAdditionalDataSlotBytes;
      LONG slot;
      RtlCopyMemory(&slot, input, sizeof slot);
      return GetAdditionalData(slot, output);
    }

    default:
      return STATUS_NOT_IMPLEMENTED;
  }
}
