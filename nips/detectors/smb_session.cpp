// SMB and NetBIOS session detectors: SMB1 secondary-transaction overruns, a
// Transaction2 session-setup probe and a single-instance-store copy IOCTL;
// SMB2 IOCTL buffers and compression transform headers; and a per-source
// flood of very short NetBIOS session messages. Only destination ports are
// examined. Each learns the payload length with one GetPayload call and, once
// its length test passed, fetches the pointer with a second call that passes
// the learned length; the length written by that call is used from then on.
#include "nips/detectors/detectors.h"
#include "nips/detectors/smb_common.h"
#include "nips/engine/signature.h"

namespace {

using namespace smb;

// Secondary transactions (Transaction2 secondary 0x33, Transaction secondary 0x26).
constexpr ULONG64 kSecondaryTotalDataCountOffset = 39;
constexpr ULONG64 kTrans2SecondaryMinimumLength = 65;
constexpr ULONG64 kTrans2SecondaryComparedOffset = 59;
constexpr ULONG64 kTransSecondaryMinimumLength = 55;
constexpr ULONG64 kTransSecondaryDataCountOffset = 47;

// SMB2 IOCTL.
constexpr ULONG64 kSmb2IoctlMinimumLength = 160;
constexpr ULONG64 kSmb2IoctlBufferWordOffset = 124;
constexpr ULONG kSmb2IoctlBufferKindA = 0xD0;
constexpr ULONG64 kSmb2IoctlKindAFieldOffset = 144;
constexpr ULONG kSmb2IoctlBufferKindB = 0xCC;
constexpr ULONG64 kSmb2IoctlKindBFieldOffset = 156;
constexpr ULONG kSmb2IoctlMaximumField = 0x700;

// Short-message flood.
constexpr ULONG64 kShortMessageMinimumLength = 4;
constexpr ULONG64 kShortMessageMaximumLength = 36;
constexpr ULONG kShortMessageWindowMs = 5000;
constexpr ULONG kShortMessageThreshold = 200;  // more than this many within the window

// Transaction2 session-setup probe (port 445 only).
constexpr ULONG64 kTrans2ProbeMinimumLength = 67;
constexpr USHORT kTrans2ProbeMultiplexId = 65;
constexpr ULONG64 kTrans2FirstSetupOffset = 65;
constexpr USHORT kTrans2SubcommandSessionSetup = 14;

// SMB2 compression transform header.
constexpr ULONG64 kCompressionMinimumLength = 20;
constexpr ULONG64 kCompressionOriginalSizeOffset = 8;
constexpr ULONG64 kCompressionOffsetOffset = 16;

// NT Transact IOCTL carrying the single-instance-store copy-file code.
constexpr ULONG64 kSisCopyMinimumLength = 98;
constexpr ULONG64 kNtTransactFunctionOffset = 73;
constexpr USHORT kNtTransactFunctionIoctl = 2;
constexpr ULONG64 kNtTransactIoctlCodeOffset = 75;
constexpr ULONG kSisCopyFileControlCode = 0x00090100;
constexpr ULONG64 kSisCopyComparedOffset = 89;
constexpr ULONG kSisCopyComparedValue = 1;

bool FetchPayloadAtLeast(PacketView* view, ULONG64 minimumLength, ByteView* payload) {
  ULONG64 length = PayloadLength(view);
  if (length < minimumLength) return false;
  return PayloadWithLength(view, length, payload);
}

// Compares the u16 fields at greaterOffset and totalOffset; true when the
// first exceeds the second. Unreadable fields never match.
bool U16Exceeds(const ByteView& payload, ULONG64 greaterOffset, ULONG64 totalOffset) {
  USHORT value, total;
  return ReadU16Le(payload, greaterOffset, &value) && ReadU16Le(payload, totalOffset, &total) &&
         value > total;
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectSmbSecondaryTransactionOverrun(PacketView* view) {
  if (!IsSmbPort(DestinationPort(view))) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kSmb1MinimumLength, &payload)) return kDetectNoMatch;
  if (!HasSessionHeader(payload, kSmb1ProtocolId)) return kDetectNoMatch;
  UCHAR command;
  if (!ReadU8(payload, kSmb1CommandOffset, &command)) return kDetectNoMatch;
  ULONG result = kDetectNoMatch;
  if (command == kSmb1CommandTransaction2Secondary &&
      payload.length >= kTrans2SecondaryMinimumLength &&
      U16Exceeds(payload, kTrans2SecondaryComparedOffset, kSecondaryTotalDataCountOffset)) {
    result = kDetectMatch;
  }
  if (command == kSmb1CommandTransactionSecondary &&
      payload.length >= kTransSecondaryMinimumLength &&
      U16Exceeds(payload, kTransSecondaryDataCountOffset, kSecondaryTotalDataCountOffset)) {
    result = kDetectMatch;
  }
  return result;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectSmb2IoctlOversizedField(PacketView* view) {
  if (!IsSmbPort(DestinationPort(view))) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kSmb2IoctlMinimumLength, &payload)) return kDetectNoMatch;
  USHORT command;
  if (!HasSessionHeader(payload, kSmb2ProtocolId) ||
      !ReadU16Le(payload, kSmb2CommandOffset, &command) || command != kSmb2CommandIoctl) {
    return kDetectNoMatch;
  }
  ULONG bufferWord;
  if (!ReadU32Le(payload, kSmb2IoctlBufferWordOffset, &bufferWord)) return kDetectNoMatch;
  ULONG64 fieldOffset;
  if (bufferWord == kSmb2IoctlBufferKindA) {
    fieldOffset = kSmb2IoctlKindAFieldOffset;
  } else if (bufferWord == kSmb2IoctlBufferKindB) {
    fieldOffset = kSmb2IoctlKindBFieldOffset;
  } else {
    return kDetectNoMatch;
  }
  ULONG field;
  if (!ReadU32Le(payload, fieldOffset, &field)) return kDetectNoMatch;
  return field > kSmb2IoctlMaximumField ? kDetectMatch : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL. The window fields are serialised with the record's
// own lock; the table operations run after it is released.
ULONG DetectNetbiosShortMessageFlood(PacketView* view) {
  if (!IsSmbPort(DestinationPort(view))) return kDetectNoMatch;
  ULONG64 length = PayloadLength(view);
  if (length < kShortMessageMinimumLength || length > kShortMessageMaximumLength) {
    return kDetectNoMatch;
  }
  ByteView payload;
  if (!PayloadWithLength(view, length, &payload)) return kDetectNoMatch;

  HostRecord* record;
  if (!AcquireSourceRecord(view, &record)) return kDetectError;

  ULONG result = kDetectNoMatch;
  UCHAR type;
  if (ReadU8(payload, kNetbiosTypeOffset, &type) && type == kNetbiosSessionMessage) {
    ULONG now = CurrentStampMs();
    LockHostRecord(record);
    if (record->sig6100Stamp != 0 &&
        StampAgeMs(now, record->sig6100Stamp) <= kShortMessageWindowMs) {
      if (++record->sig6100Count > kShortMessageThreshold) {
        record->sig6100Stamp = 0;
        record->sig6100Count = 0;
        result = kDetectMatch;
      }
    } else {
      record->sig6100Stamp = now;
      record->sig6100Count = 1;
    }
    UnlockHostRecord(record);
  }
  if (result == kDetectMatch) RemoveHostRecord(record);
  ReleaseHostRecord(record);
  return result;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectSmbTrans2SessionSetupProbe(PacketView* view) {
  if (DestinationPort(view) != kPortSmbDirect) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kTrans2ProbeMinimumLength, &payload)) return kDetectNoMatch;
  USHORT multiplexId, subcommand;
  if (!IsSmb1Command(payload, kSmb1CommandTransaction2) ||
      !ReadU16Le(payload, kSmb1MultiplexIdOffset, &multiplexId) ||
      multiplexId != kTrans2ProbeMultiplexId ||
      !ReadU16Le(payload, kTrans2FirstSetupOffset, &subcommand) ||
      subcommand != kTrans2SubcommandSessionSetup) {
    return kDetectNoMatch;
  }
  return kDetectMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectSmb2CompressionSizeOverflow(PacketView* view) {
  if (!IsSmbPort(DestinationPort(view))) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kNetbiosHeaderLength, &payload)) return kDetectNoMatch;
  UCHAR type;
  if (!ReadU8(payload, kNetbiosTypeOffset, &type) || type != kNetbiosSessionMessage) {
    return kDetectNoMatch;
  }
  if (payload.length < kCompressionMinimumLength ||
      !HasSessionHeader(payload, kSmb2CompressionTransformId)) {
    return kDetectNoMatch;
  }
  ULONG originalSize, offset;
  if (!ReadU32Le(payload, kCompressionOriginalSizeOffset, &originalSize) ||
      !ReadU32Le(payload, kCompressionOffsetOffset, &offset)) {
    return kDetectNoMatch;
  }
  // The sum wraps past 2^32 - 1 exactly when it comes out below an addend.
  ULONG sum = originalSize + offset;
  return sum < originalSize ? kDetectMatch : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectSmbSisCopyFileRequest(PacketView* view) {
  if (!IsSmbPort(DestinationPort(view))) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kSisCopyMinimumLength, &payload)) return kDetectNoMatch;
  USHORT function;
  ULONG controlCode, compared;
  if (!IsSmb1Command(payload, kSmb1CommandNtTransact) ||
      !ReadU16Le(payload, kNtTransactFunctionOffset, &function) ||
      function != kNtTransactFunctionIoctl ||
      !ReadU32Le(payload, kNtTransactIoctlCodeOffset, &controlCode) ||
      controlCode != kSisCopyFileControlCode ||
      !ReadU32Le(payload, kSisCopyComparedOffset, &compared) || compared != kSisCopyComparedValue) {
    return kDetectNoMatch;
  }
  return kDetectMatch;
}
