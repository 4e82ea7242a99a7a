// Remote desktop detectors, all on segments to port 3389: MCS Connect-Initial
// domain parameters out of range, a client network block that asks for the
// MS_T120 channel, and, per source address, one fixed sequence of TLS record
// lengths. Each learns the payload length with one GetPayload call and
// fetches the pointer with a second call that passes it; the length written
// by that second call is used from then on.
#include "nips/detectors/detector_common.h"
#include "nips/detectors/detectors.h"
#include "nips/detectors/ports.h"
#include "nips/engine/signature.h"

namespace {

using detector::DestinationPort;
using detector::PayloadLength;
using detector::PayloadWithLength;

// ---- Connect-Initial (offsets from a candidate start) ----
constexpr ULONG64 kConnectInitialMinimumLength = 26;  // candidates start below length - 26
constexpr UCHAR kTpktVersion = 3;
constexpr UCHAR kTpktReserved = 0;
constexpr ULONG64 kTpktVersionOffset = 0;
constexpr ULONG64 kTpktReservedOffset = 1;
constexpr ULONG64 kConnectInitialTagOffset = 8;
constexpr UCHAR kConnectInitialTag = 0x65;
constexpr UCHAR kBerLongFormTwoBytes = 0x82;
constexpr ULONG64 kTargetParametersOffset = 21;
constexpr UCHAR kBerSequence = 0x30;
constexpr UCHAR kDomainParametersShort = 0x19;  // the two lengths a DomainParameters has
constexpr UCHAR kDomainParametersLong = 0x1C;
// BER headers here are one tag byte and one short-form length byte.
constexpr ULONG64 kBerTagLength = 1;
constexpr ULONG64 kBerHeaderLength = 2;
constexpr ULONG kMinimumMaxChannelIds = 6;  // fewer match
constexpr ULONG kMaximumMaxUserIds = 7;     // more match

// ---- Client data blocks of the conference-create request ----
constexpr ULONG64 kX224CodeOffset = 5;
constexpr UCHAR kX224Data = 0xF0;
constexpr ULONG64 kX224MinimumLength = 7;
constexpr ULONG64 kChannelRequestMinimumLength = 136;
constexpr ULONG64 kCoreBlockOffset = 132;
constexpr ULONG64 kCoreBlockAlternateOffset = 150;
constexpr ULONG64 kCoreBlockAlternateMinimumLength = 154;
constexpr USHORT kBlockCore = 0xC001;
constexpr USHORT kBlockCluster = 0xC004;
constexpr USHORT kBlockSecurity = 0xC002;
constexpr USHORT kBlockNetwork = 0xC003;
constexpr ULONG64 kBlockLengthOffset = 2;
constexpr ULONG64 kBlockHeaderLength = 4;
constexpr ULONG64 kNetworkHeaderLength = 8;  // type, length, channel count
constexpr ULONG64 kChannelCountOffset = 4;
constexpr ULONG kMaximumChannelCount = 31;
constexpr ULONG64 kChannelDefinitionLength = 12;
constexpr ULONG64 kChannelNameLength = 8;
constexpr char kT120ChannelName[] = "MS_T120";
constexpr ULONG64 kTpktMinimumLength = 4;

// ---- TLS record lengths ----
constexpr ULONG64 kTlsHeaderLength = 5;
constexpr ULONG64 kTlsContentTypeOffset = 0;
constexpr ULONG64 kTlsMajorVersionOffset = 1;
constexpr ULONG64 kTlsRecordLengthOffset = 3;
constexpr UCHAR kTlsApplicationData = 23;
constexpr UCHAR kTlsMajorVersion = 3;
constexpr USHORT kTlsLargeRecord = 432;  // this long or longer: starts or leaves the sequence
constexpr USHORT kTlsRecordA = 48;
constexpr USHORT kTlsRecordB = 32;
constexpr USHORT kTlsRecordFinal = 384;
constexpr ULONG kSequenceStarted = 1;
constexpr ULONG kSequenceAfterB = 3;
constexpr ULONG kSequenceComplete = 10;

bool FetchPayloadAtLeast(PacketView* view, ULONG64 minimumLength, ByteView* payload) {
  const ULONG64 length = PayloadLength(view);
  if (length < minimumLength) return false;
  return PayloadWithLength(view, length, payload);
}

bool IsDomainParametersLength(UCHAR length) {
  return length == kDomainParametersShort || length == kDomainParametersLong;
}

// What one candidate start shows.
enum class Candidate { kNext, kMatch, kStop };

// The INTEGER whose tag stands at offset: its content length, and its value
// when that length is 1, 2 or 4 (read big-endian; *judged false for any other
// length). False when a byte it needs lies past the payload.
bool ReadDomainInteger(const ByteView& payload, ULONG64 offset, UCHAR* length, bool* judged,
                       ULONG* value) {
  if (!ReadU8(payload, offset + kBerTagLength, length)) return false;
  *judged = false;
  *value = 0;
  if (*length != 1 && *length != 2 && *length != 4) return true;
  for (ULONG64 i = 0; i < *length; ++i) {
    UCHAR octet;
    if (!ReadU8(payload, offset + kBerHeaderLength + i, &octet)) return false;
    *value = *value << 8 | octet;
  }
  *judged = true;
  return true;
}

// The DomainParameters SEQUENCE header at offset: *valid with its length.
bool ReadDomainParametersHeader(const ByteView& payload, ULONG64 offset, bool* valid,
                                UCHAR* length) {
  UCHAR tag;
  if (!ReadU8(payload, offset, &tag) || !ReadU8(payload, offset + kBerTagLength, length)) {
    return false;
  }
  *valid = tag == kBerSequence && IsDomainParametersLength(*length);
  return true;
}

Candidate JudgeConnectInitial(const ByteView& payload, ULONG64 s) {
  UCHAR version, reserved, tag, lengthForm, sequence, targetLength;
  if (!ReadU8(payload, s + kTpktVersionOffset, &version) ||
      !ReadU8(payload, s + kTpktReservedOffset, &reserved) ||
      !ReadU8(payload, s + kConnectInitialTagOffset, &tag) ||
      !ReadU8(payload, s + kConnectInitialTagOffset + kBerTagLength, &lengthForm) ||
      !ReadU8(payload, s + kTargetParametersOffset, &sequence) ||
      !ReadU8(payload, s + kTargetParametersOffset + kBerTagLength, &targetLength)) {
    return Candidate::kStop;
  }
  if (version != kTpktVersion || reserved != kTpktReserved || tag != kConnectInitialTag ||
      lengthForm != kBerLongFormTwoBytes || sequence != kBerSequence ||
      !IsDomainParametersLength(targetLength)) {
    return Candidate::kNext;
  }

  // Target maxChannelIds, then maxUserIds right behind it.
  const ULONG64 channelsAt = s + kTargetParametersOffset + kBerHeaderLength;
  UCHAR length;
  bool judged;
  ULONG value;
  if (!ReadDomainInteger(payload, channelsAt, &length, &judged, &value)) return Candidate::kStop;
  if (judged && value < kMinimumMaxChannelIds) return Candidate::kMatch;
  const ULONG64 usersAt = channelsAt + kBerHeaderLength + length;
  if (!ReadDomainInteger(payload, usersAt, &length, &judged, &value)) return Candidate::kStop;
  if (judged && value > kMaximumMaxUserIds) return Candidate::kMatch;

  // minimumParameters and maximumParameters must follow as DomainParameters.
  const ULONG64 minimumAt = s + kTargetParametersOffset + kBerHeaderLength + targetLength;
  bool valid;
  UCHAR minimumLength, maximumLength;
  if (!ReadDomainParametersHeader(payload, minimumAt, &valid, &minimumLength) || !valid) {
    return Candidate::kStop;
  }
  const ULONG64 maximumAt = minimumAt + kBerHeaderLength + minimumLength;
  if (!ReadDomainParametersHeader(payload, maximumAt, &valid, &maximumLength) || !valid) {
    return Candidate::kStop;
  }
  if (!ReadDomainInteger(payload, maximumAt + kBerHeaderLength, &length, &judged, &value)) {
    return Candidate::kStop;
  }
  if (judged && value < kMinimumMaxChannelIds) return Candidate::kMatch;
  return Candidate::kNext;
}

// The block at next is of type expected, with headerLength bytes of it in
// the payload.
bool NextBlock(const ByteView& payload, ULONG64* block, USHORT expected, ULONG64 headerLength) {
  USHORT length, type;
  if (!ReadU16Le(payload, *block + kBlockLengthOffset, &length)) return false;
  *block += length;
  return Fits(payload, *block, headerLength) && ReadU16Le(payload, *block, &type) &&
         type == expected;
}

// The channel name under the kernel's case-insensitive comparison, which
// stops at the first zero byte: a copy of the 8-byte field with a terminator
// keeps it inside the entry.
bool IsT120Channel(const ByteView& entry) {
  char name[kChannelNameLength + 1];
  if (!ReadBytes(entry, 0, name, kChannelNameLength)) return false;
  name[kChannelNameLength] = '\0';
  return _stricmp(name, kT120ChannelName) == 0;
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL. Stateless; the first candidate that decides ends
// the scan.
ULONG DetectRdpBadDomainParameters(PacketView* view) {
  if (DestinationPort(view) != kPortRdp) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kConnectInitialMinimumLength, &payload) ||
      payload.length < kConnectInitialMinimumLength) {
    return kDetectNoMatch;
  }
  const ULONG64 candidates = payload.length - kConnectInitialMinimumLength;
  for (ULONG64 s = 0; s < candidates; ++s) {
    switch (JudgeConnectInitial(payload, s)) {
      case Candidate::kMatch:
        return kDetectMatch;
      case Candidate::kStop:
        return kDetectNoMatch;
      case Candidate::kNext:
        break;
    }
  }
  return kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL. Stateless.
ULONG DetectRdpMsT120ChannelRequest(PacketView* view) {
  if (DestinationPort(view) != kPortRdp) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kTpktMinimumLength, &payload) || payload.data == nullptr ||
      payload.length < kTpktMinimumLength) {
    return kDetectNoMatch;
  }
  UCHAR version, code;
  if (!ReadU8(payload, kTpktVersionOffset, &version) || version != kTpktVersion ||
      payload.length < kX224MinimumLength || !ReadU8(payload, kX224CodeOffset, &code) ||
      code != kX224Data || payload.length < kChannelRequestMinimumLength) {
    return kDetectNoMatch;
  }

  ULONG64 block;
  USHORT type;
  if (ReadU16Le(payload, kCoreBlockOffset, &type) && type == kBlockCore) {
    block = kCoreBlockOffset;
  } else if (payload.length >= kCoreBlockAlternateMinimumLength &&
             ReadU16Le(payload, kCoreBlockAlternateOffset, &type) && type == kBlockCore) {
    block = kCoreBlockAlternateOffset;
  } else {
    return kDetectNoMatch;
  }
  // A block length of 0 leaves the offset in place, where the type test fails.
  ULONG channelCount;
  if (!NextBlock(payload, &block, kBlockCluster, kBlockHeaderLength) ||
      !NextBlock(payload, &block, kBlockSecurity, kBlockHeaderLength) ||
      !NextBlock(payload, &block, kBlockNetwork, kNetworkHeaderLength) ||
      !ReadU32Le(payload, block + kChannelCountOffset, &channelCount) ||
      channelCount > kMaximumChannelCount) {
    return kDetectNoMatch;
  }

  // A count of 0 sets no bound of its own: such a list is walked like the
  // longest one allowed, 31 entries, and never past the payload.
  const ULONG entries = channelCount == 0 ? kMaximumChannelCount : channelCount;
  ULONG64 entryAt = block + kNetworkHeaderLength;
  for (ULONG examined = 1;; ++examined, entryAt += kChannelDefinitionLength) {
    ByteView entry;
    UCHAR first;
    if (!Slice(payload, entryAt, kChannelDefinitionLength, &entry) || !ReadU8(entry, 0, &first) ||
        first == 0) {
      return kDetectNoMatch;
    }
    if (IsT120Channel(entry)) return kDetectMatch;
    if (examined >= entries) return kDetectNoMatch;
  }
}

// IRQL: <= DISPATCH_LEVEL. The position lives in the source's host record,
// which every detector tracking that source shares. Packets of one source
// inspected at the same moment are serialised on the record's own lock, so
// each record length moves the position exactly once; the table operations
// run after the lock is released.
ULONG DetectRdpTlsRecordSequence(PacketView* view) {
  if (DestinationPort(view) != kPortRdp) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kTlsHeaderLength, &payload)) return kDetectNoMatch;
  UCHAR contentType, majorVersion;
  if (!ReadU8(payload, kTlsContentTypeOffset, &contentType) ||
      !ReadU8(payload, kTlsMajorVersionOffset, &majorVersion) ||
      (contentType != kTlsApplicationData && majorVersion != kTlsMajorVersion)) {
    return kDetectNoMatch;
  }
  const HostAddress* source = view->flow->GetSourceAddress();
  HostRecord* record = FindHostRecord(source);
  USHORT recordLength;
  if (!ReadU16Be(payload, kTlsRecordLengthOffset, &recordLength)) {
    if (record != nullptr) ReleaseHostRecord(record);
    return kDetectNoMatch;
  }

  if (recordLength >= kTlsLargeRecord) {
    if (record != nullptr) {  // a large record in between leaves the position alone
      ReleaseHostRecord(record);
      return kDetectNoMatch;
    }
    if (!NT_SUCCESS(CreateHostRecord(source, &record)) || record == nullptr) return kDetectError;
    LockHostRecord(record);
    record->sig6146State = kSequenceStarted;
    UnlockHostRecord(record);
    ReleaseHostRecord(record);
    return kDetectNoMatch;
  }
  if (record == nullptr) return kDetectNoMatch;

  ULONG result = kDetectNoMatch;
  bool broken = false;
  LockHostRecord(record);
  const ULONG state = record->sig6146State;
  if (state == kSequenceStarted && recordLength == kTlsRecordA) {
    record->sig6146State = state + 1;
  } else if (state == kSequenceStarted + 1 && recordLength == kTlsRecordB) {
    record->sig6146State = state + 1;
  } else if (state >= kSequenceAfterB && state < kSequenceComplete && recordLength == kTlsRecordA) {
    record->sig6146State = state + 1;
  } else {
    if (state == kSequenceComplete && recordLength == kTlsRecordFinal) result = kDetectMatch;
    broken = true;
  }
  UnlockHostRecord(record);
  if (broken) RemoveHostRecord(record);
  ReleaseHostRecord(record);
  return result;
}
