// SMB detectors: SMB1 mailslot writes, Search, Copy and Rename requests, SMB2
// Write requests and replies judged one segment at a time, and a per-source
// burst of NTLM authenticate messages in SMB1 Session Setup requests. Each
// learns the payload length with one GetPayload call, applies its length test,
// and fetches the pointer with a second call that passes the learned length.
#include "nips/detectors/detectors.h"
#include "nips/detectors/smb_common.h"
#include "nips/engine/signature.h"

namespace {

using namespace smb;

// SMB1 Transaction (0x25) with three setup words: a mailslot write.
constexpr ULONG64 kMailslotUnterminatedMinimumLength = 71;
constexpr ULONG64 kMailslotSmallMaxParamsMinimumLength = 73;
constexpr ULONG64 kTransMaxParameterCountOffset = 41;
constexpr ULONG64 kTransSetupCountOffset = 63;
constexpr ULONG64 kTransFirstSetupOffset = 65;
constexpr ULONG64 kTransByteCountOffset = 71;
constexpr ULONG64 kTransNameOffset = 73;
constexpr UCHAR kMailslotSetupCount = 3;
constexpr USHORT kMailslotWriteOpcode = 1;
constexpr UCHAR kMailslotPrefix[] = {'\\', 'M', 'A', 'I', 'L', 'S', 'L', 'O', 'T', '\\'};
constexpr USHORT kMailslotPrefixLength = sizeof(kMailslotPrefix);
constexpr USHORT kMailslotMinimumMaxParameterCount = 2;

// SMB1 Search / Copy / Rename: the byte count of each request layout.
constexpr ULONG64 kSearchByteCountOffset = 41;
constexpr ULONG64 kCopyByteCountOffset = 43;
constexpr ULONG64 kRenameByteCountOffset = 39;
constexpr USHORT kMaximumByteCount = 4000;

// SMB2 Write.
constexpr ULONG64 kSmb2WriteMinimumLength = 68;
constexpr ULONG64 kSmb2WriteDataOffsetOffset = 70;
constexpr USHORT kSmb2WriteMaximumDataOffset = 256;
constexpr ULONG64 kSmb2WriteMaximumPayload = 340;

// NTLM authenticate burst.
constexpr ULONG64 kNtlmBurstMinimumLength = 106;
constexpr ULONG64 kNtlmScanStart = 48;
constexpr ULONG64 kNtlmScanTailReserve = 64;  // scan k while k < length - 64
constexpr UCHAR kNtlmSignature[] = {'N', 'T', 'L', 'M', 'S', 'S', 'P'};
constexpr ULONG64 kNtlmMessageTypeOffset = 8;  // from the signature
constexpr ULONG kNtlmMessageAuthenticate = 3;
constexpr ULONG kNtlmBurstWindowMs = 60000;
constexpr ULONG kNtlmBurstThreshold = 20;  // more than this many within the window
constexpr ULONG kNtlmAuxFirstCount = 1;    // Transaction2 is tallied at counts 1..3
constexpr ULONG kNtlmAuxLastCount = 3;

// First GetPayload call: the length, compared against minimumLength; the
// second fetches the pointer with the learned length.
bool FetchPayloadAtLeast(PacketView* view, ULONG64 minimumLength, ByteView* payload) {
  ULONG64 length = PayloadLength(view);
  if (length < minimumLength) return false;
  return PayloadWithLength(view, length, payload);
}

// ASCII-only case folding; every other byte compares exactly.
UCHAR AsciiUpper(UCHAR c) { return c >= 'a' && c <= 'z' ? static_cast<UCHAR>(c - 'a' + 'A') : c; }

// Steps shared by both mailslot detectors after the length test: port, SMB1
// Transaction header, mailslot-write setup, and the name-area length n, which
// the payload must hold from offset 73.
bool ParseMailslotWrite(PacketView* view, ULONG64 minimumLength, ByteView* payload,
                        USHORT* nameAreaLength) {
  ULONG64 length = PayloadLength(view);
  if (length < minimumLength) return false;
  if (!IsSmbPort(DestinationPort(view))) return false;
  if (!PayloadWithLength(view, length, payload)) return false;
  if (!IsSmb1Command(*payload, kSmb1CommandTransaction)) return false;
  UCHAR setupCount;
  USHORT opcode;
  if (!ReadU8(*payload, kTransSetupCountOffset, &setupCount) || setupCount != kMailslotSetupCount ||
      !ReadU16Le(*payload, kTransFirstSetupOffset, &opcode) || opcode != kMailslotWriteOpcode) {
    return false;
  }
  USHORT byteCount, dataCount;
  if (!ReadU16Le(*payload, kTransByteCountOffset, &byteCount) ||
      !ReadU16Le(*payload, kTransDataCountOffset, &dataCount) || byteCount < dataCount) {
    return false;
  }
  *nameAreaLength = static_cast<USHORT>(byteCount - dataCount);
  return Fits(*payload, kTransNameOffset, *nameAreaLength);
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectMailslotNameUnterminated(PacketView* view) {
  ByteView payload;
  USHORT n;
  if (!ParseMailslotWrite(view, kMailslotUnterminatedMinimumLength, &payload, &n)) {
    return kDetectNoMatch;
  }
  for (USHORT i = 0; i < n; ++i) {
    UCHAR c;
    if (!ReadU8(payload, kTransNameOffset + i, &c) || c == 0) return kDetectNoMatch;
  }
  return kDetectMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectMailslotWriteSmallMaxParams(PacketView* view) {
  ByteView payload;
  USHORT n;
  if (!ParseMailslotWrite(view, kMailslotSmallMaxParamsMinimumLength, &payload, &n)) {
    return kDetectNoMatch;
  }
  if (n < kMailslotPrefixLength) return kDetectNoMatch;
  for (USHORT i = 0; i < kMailslotPrefixLength; ++i) {
    UCHAR c;
    if (!ReadU8(payload, kTransNameOffset + i, &c) || AsciiUpper(c) != kMailslotPrefix[i]) {
      return kDetectNoMatch;
    }
  }
  USHORT maxParameterCount;
  if (!ReadU16Le(payload, kTransMaxParameterCountOffset, &maxParameterCount)) {
    return kDetectNoMatch;
  }
  return maxParameterCount < kMailslotMinimumMaxParameterCount ? kDetectMatch : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectSmbSearchLongBytes(PacketView* view) {
  if (!IsSmbPort(DestinationPort(view))) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kSmb1MinimumLength, &payload)) return kDetectNoMatch;
  if (!IsSmb1Command(payload, kSmb1CommandSearch)) return kDetectNoMatch;
  USHORT byteCount;
  if (!ReadU16Le(payload, kSearchByteCountOffset, &byteCount)) return kDetectNoMatch;
  return byteCount > kMaximumByteCount ? kDetectMatch : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectSmbRenameCopyLongBytes(PacketView* view) {
  if (!IsSmbPort(DestinationPort(view))) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kSmb1MinimumLength, &payload)) return kDetectNoMatch;
  if (!HasSessionHeader(payload, kSmb1ProtocolId)) return kDetectNoMatch;
  UCHAR command;
  if (!ReadU8(payload, kSmb1CommandOffset, &command)) return kDetectNoMatch;
  ULONG64 byteCountOffset;
  if (command == kSmb1CommandCopy) {
    byteCountOffset = kCopyByteCountOffset;
  } else if (command == kSmb1CommandRename) {
    byteCountOffset = kRenameByteCountOffset;
  } else {
    return kDetectNoMatch;
  }
  USHORT byteCount;
  if (!ReadU16Le(payload, byteCountOffset, &byteCount)) return kDetectNoMatch;
  return byteCount > kMaximumByteCount ? kDetectMatch : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectSmb2WriteHighDataOffset(PacketView* view) {
  if (!IsSmbPort(DestinationPort(view))) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kSmb2WriteMinimumLength, &payload)) return kDetectNoMatch;
  USHORT command;
  if (!HasSessionHeader(payload, kSmb2ProtocolId) ||
      !ReadU16Le(payload, kSmb2CommandOffset, &command) || command != kSmb2CommandWrite) {
    return kDetectNoMatch;
  }
  USHORT dataOffset;
  if (!ReadU16Le(payload, kSmb2WriteDataOffsetOffset, &dataOffset)) return kDetectNoMatch;
  return dataOffset > kSmb2WriteMaximumDataOffset && payload.length > kSmb2WriteMaximumPayload
             ? kDetectMatch
             : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL. Looks at traffic from the server port.
ULONG DetectSmb2ReplyLengthMismatch(PacketView* view) {
  if (!IsSmbPort(SourcePort(view))) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kSmb1MinimumLength, &payload)) return kDetectNoMatch;
  UCHAR structureSize;
  if (!HasSessionHeader(payload, kSmb2ProtocolId) ||
      !ReadU8(payload, kSmb2StructureSizeOffset, &structureSize) ||
      structureSize != kSmb2HeaderStructureSize) {
    return kDetectNoMatch;
  }
  USHORT netbiosLength;
  if (!ReadU16Be(payload, kNetbiosLengthOffset, &netbiosLength)) return kDetectNoMatch;
  // The length test above guarantees payload.length >= 36, so no underflow.
  return netbiosLength != payload.length - kNetbiosHeaderLength ? kDetectMatch : kDetectNoMatch;
}

namespace {

enum class AuthCount { kCounted, kWindowOpened, kBurst };

// Counts one authenticate message in the source's window. The window fields
// are only touched under the record's own lock so that packets of one source
// inspected at once neither lose counts nor match twice.
AuthCount CountAuthenticate(HostRecord* record) {
  ULONG now = CurrentStampMs();
  AuthCount outcome;
  LockHostRecord(record);
  if (record->sig6045Stamp == 0 || StampAgeMs(now, record->sig6045Stamp) > kNtlmBurstWindowMs) {
    record->sig6045Stamp = now;
    record->sig6045Count = 1;
    outcome = AuthCount::kWindowOpened;
  } else if (++record->sig6045Count > kNtlmBurstThreshold) {
    record->sig6045Stamp = 0;
    record->sig6045Count = 0;
    outcome = AuthCount::kBurst;
  } else {
    outcome = AuthCount::kCounted;
  }
  UnlockHostRecord(record);
  return outcome;
}

// Session Setup: scan for NTLMSSP authenticate messages from offset 48.
ULONG ScanSessionSetup(HostRecord* record, const ByteView& payload) {
  const ULONG64 scanEnd = payload.length - kNtlmScanTailReserve;
  for (ULONG64 k = 0; k < scanEnd; ++k) {
    const ULONG64 p = kNtlmScanStart + k;
    ULONG messageType;
    if (!BytesEqual(payload, p, kNtlmSignature, sizeof(kNtlmSignature)) ||
        !ReadU32Le(payload, p + kNtlmMessageTypeOffset, &messageType) ||
        messageType != kNtlmMessageAuthenticate) {
      continue;
    }
    switch (CountAuthenticate(record)) {
      case AuthCount::kWindowOpened:
        return kDetectNoMatch;
      case AuthCount::kBurst:
        RemoveHostRecord(record);  // the record lock is no longer held
        return kDetectMatch;
      case AuthCount::kCounted:
        break;
    }
  }
  return kDetectNoMatch;
}

ULONG JudgeNtlmBurst(HostRecord* record, const ByteView& payload) {
  if (!HasSessionHeader(payload, kSmb1ProtocolId)) return kDetectNoMatch;
  UCHAR command;
  if (!ReadU8(payload, kSmb1CommandOffset, &command)) return kDetectNoMatch;
  if (command == kSmb1CommandSessionSetupAndX) return ScanSessionSetup(record, payload);
  if (command == kSmb1CommandTransaction2) {
    LockHostRecord(record);
    if (record->sig6045Count >= kNtlmAuxFirstCount && record->sig6045Count <= kNtlmAuxLastCount) {
      ++record->sig6045Aux;
    }
    UnlockHostRecord(record);
  } else if (command == kSmb1CommandTreeDisconnect) {
    LockHostRecord(record);
    if (record->sig6045Aux != 0 && record->sig6045Count != 0) {
      record->sig6045Aux = 0;
      record->sig6045Count = 0;
    }
    UnlockHostRecord(record);
  }
  return kDetectNoMatch;
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL. The source's record is looked up (and created) for
// every long enough segment to port 135 or 445, before any SMB test.
ULONG DetectSmbNtlmAuthBurst(PacketView* view) {
  USHORT port = DestinationPort(view);
  if (port != kPortRpcEndpointMapper && port != kPortSmbDirect) return kDetectNoMatch;
  ULONG64 length = PayloadLength(view);
  if (length < kNtlmBurstMinimumLength) return kDetectNoMatch;
  HostRecord* record;
  if (!AcquireSourceRecord(view, &record)) return kDetectError;
  ByteView payload;
  ULONG result = kDetectNoMatch;
  if (PayloadWithLength(view, length, &payload) && payload.length >= kNtlmBurstMinimumLength) {
    result = JudgeNtlmBurst(record, payload);
  }
  ReleaseHostRecord(record);
  return result;
}
