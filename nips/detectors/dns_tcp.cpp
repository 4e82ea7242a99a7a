// DNS over TCP detectors: a SIG answer whose signer name points away from
// the question, and four walks over the update section of DNS update
// messages sent to port 53 (a TXT record whose first string disagrees with
// its data length, a KEY record too short for its fixed fields, and two
// per-source bursts, of SIG and of AAAA records). Two of the update walks
// read the message at the start of the payload, two after the two-byte TCP
// length prefix, as the signatures were defined.
#include "nips/detectors/detectors.h"
#include "nips/detectors/dns_common.h"
#include "nips/engine/signature.h"

namespace dns {

namespace {

// SIG answer test, offsets from the question name's terminating zero z.
constexpr ULONG64 kSigAnswerSpan = 36;  // the test reads up to z + 36
constexpr ULONG64 kQuestionTypeLowOffset = 2;
constexpr ULONG64 kAnswerNameOffset = 5;
constexpr ULONG64 kAnswerTypeLowOffset = 8;
constexpr ULONG64 kTypeCoveredLowOffset = 18;
constexpr ULONG64 kSignerNameOffset = 35;
constexpr UCHAR kTypeCoveredA = 1;
// A compression pointer to message offset 12: the question name.
constexpr UCHAR kPointerToQuestion = 0x0C;

bool ByteIs(const ByteView& payload, ULONG64 offset, UCHAR expected) {
  UCHAR actual;
  return ReadU8(payload, offset, &actual) && actual == expected;
}

}  // namespace

// IRQL: any.
bool HasSigAnswerWithForeignSigner(const ByteView& payload, ULONG64* position) {
  ULONG64 z = *position;
  if (z >= payload.length) return false;
  // The question name, label by label; a pointer here is not a plain question.
  for (;;) {
    UCHAR labelLength;
    if (!ReadU8(payload, z, &labelLength)) return false;
    if (labelLength == kNameEnd) break;
    if (labelLength == kCompressionPointer) return false;
    z += static_cast<ULONG64>(labelLength) + 1;
    if (z >= payload.length) return false;
  }
  *position = z;
  if (payload.length <= z + kSigAnswerSpan) return false;
  UCHAR questionType, signerPointer;
  if (!ReadU8(payload, z + kQuestionTypeLowOffset, &questionType) ||
      (questionType != kTypeSig && questionType != kTypeRrsig)) {
    return false;
  }
  return ByteIs(payload, z + kAnswerNameOffset, kCompressionPointer) &&
         ByteIs(payload, z + kAnswerNameOffset + 1, kPointerToQuestion) &&
         ByteIs(payload, z + kAnswerTypeLowOffset, kTypeSig) &&
         ByteIs(payload, z + kTypeCoveredLowOffset, kTypeCoveredA) &&
         ByteIs(payload, z + kSignerNameOffset, kCompressionPointer) &&
         ReadU8(payload, z + kSignerNameOffset + 1, &signerPointer) &&
         signerPointer != kPointerToQuestion;
}

}  // namespace dns

namespace {

using namespace dns;

// SIG answer detector: a response of at least 520 bytes, read after the
// length prefix and the header. Services whose traffic is never DNS are
// passed over.
constexpr ULONG64 kSigAnswerMinimumLength = 520;
constexpr ULONG64 kSigAnswerQuestionOffset = 14;
constexpr USHORT kPortsNeverDns[] = {
    kPortSmbDirect, kPortNetbiosSession, kPortHttp, kPortTls, kPortSsh, kPortRdp};

// Update walks. Bits 0x20 and 0x08 of the flags byte are bits 2 and 0 of the
// opcode: update (5) has both, query (0) and status (2) neither.
constexpr UCHAR kUpdateOpcodeBits = 0x20 | 0x08;
constexpr ULONG64 kTcpLengthPrefix = 2;
constexpr ULONG64 kPrerequisiteLength = 10;  // taken to carry no data

// Bursts: more than 5 records of the type within 10000 ms of the first.
constexpr ULONG kBurstWindowMs = 10000;
constexpr ULONG kBurstThreshold = 5;

// What a record action tells the walk.
enum class RecordStep { kNext, kStopNoMatch, kStopMatch };

struct UpdateMessage {
  ByteView payload;
  ULONG64 base;
  USHORT zones, prerequisites, updates;
};

// Steps 1 to 6 of the update walks: an update-like request to port 53 whose
// counts do not exceed the payload length.
bool ReadUpdateHeader(PacketView* view, ULONG64 base, bool updatesRequired,
                      UpdateMessage* message) {
  if (detector::DestinationPort(view) != kPortDns) return false;
  ByteView payload;
  if (!GetPayloadView(view, &payload)) return false;
  if (payload.length < kHeaderLength + base) return false;
  UCHAR flags;
  if (!ReadU8(payload, base + kFlagsOffset, &flags) || (flags & kFlagResponse) != 0 ||
      (flags & kUpdateOpcodeBits) == 0) {
    return false;
  }
  USHORT zones, prerequisites, updates;
  if (!ReadU16Be(payload, base + kQuestionCountOffset, &zones) ||
      !ReadU16Be(payload, base + kAnswerCountOffset, &prerequisites) ||
      !ReadU16Be(payload, base + kUpdateCountOffset, &updates)) {
    return false;
  }
  if (updatesRequired && updates == 0) return false;
  if (zones > payload.length || prerequisites > payload.length || updates > payload.length) {
    return false;
  }
  *message = {payload, base, zones, prerequisites, updates};
  return true;
}

// Steps 8 to 14: zones and prerequisites skipped, then each update record of
// type recordType handed to act(position of its type, RDLENGTH). Every count
// is first checked against the bytes its entries need at least.
template <typename Action>
ULONG WalkUpdateRecords(const UpdateMessage& message, USHORT recordType, Action act) {
  const ByteView& payload = message.payload;
  const ULONG64 length = payload.length;
  if (kQuestionFixedLength * message.zones + kHeaderLength + message.base > length) {
    return kDetectNoMatch;
  }
  ULONG64 position = kHeaderLength + message.base;
  for (ULONG z = 0; z < message.zones; ++z) {
    if (SkipUpdateName(payload, &position) <= kQuestionFixedLength) return kDetectNoMatch;
    position += kQuestionFixedLength;
  }
  if (position + kPrerequisiteLength * message.prerequisites > length) return kDetectNoMatch;
  for (ULONG p = 0; p < message.prerequisites; ++p) {
    if (SkipUpdateName(payload, &position) <= kPrerequisiteLength) return kDetectNoMatch;
    position += kPrerequisiteLength;
  }
  if (position + kRecordFixedLength * message.updates > length) return kDetectNoMatch;
  for (ULONG u = 0; u < message.updates; ++u) {
    if (SkipUpdateName(payload, &position) < kRecordFixedLength) return kDetectNoMatch;
    USHORT type, dataLength;
    if (!ReadU16Be(payload, position, &type) ||
        !ReadU16Be(payload, position + kRecordDataLengthOffset, &dataLength)) {
      return kDetectNoMatch;
    }
    if (type == recordType) {
      const RecordStep step = act(position, dataLength);
      if (step == RecordStep::kStopMatch) return kDetectMatch;
      if (step == RecordStep::kStopNoMatch) return kDetectNoMatch;
    }
    position += kRecordFixedLength + dataLength;
  }
  return kDetectNoMatch;
}

// The burst step on one record of the counted type; the fields are
// serialised with the record's own lock.
RecordStep BurstStep(HostRecord* record, ULONG HostRecord::*stamp, ULONG HostRecord::*count) {
  const ULONG now = CurrentStampMs();
  RecordStep step = RecordStep::kNext;
  LockHostRecord(record);
  if (record->*stamp == 0 || StampAgeMs(now, record->*stamp) > kBurstWindowMs) {
    // Opening the window ends the message's examination.
    record->*stamp = now;
    record->*count = 1;
    step = RecordStep::kStopNoMatch;
  } else if (++(record->*count) > kBurstThreshold) {
    record->*stamp = 0;
    record->*count = 0;
    step = RecordStep::kStopMatch;
  }
  UnlockHostRecord(record);
  return step;
}

// A burst detector: the source's record is found or created for every
// update message that passes the header checks, then the walk counts.
ULONG DetectUpdateBurst(PacketView* view, ULONG64 base, bool updatesRequired, USHORT recordType,
                        ULONG HostRecord::*stamp, ULONG HostRecord::*count) {
  UpdateMessage message;
  if (!ReadUpdateHeader(view, base, updatesRequired, &message)) return kDetectNoMatch;
  HostRecord* record;
  if (!detector::AcquireSourceRecord(view, &record)) return kDetectError;
  const ULONG result = WalkUpdateRecords(
      message, recordType, [&](ULONG64, USHORT) { return BurstStep(record, stamp, count); });
  if (result == kDetectMatch) RemoveHostRecord(record);
  ReleaseHostRecord(record);
  return result;
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectDnsSigAnswerForeignSigner(PacketView* view) {
  const USHORT destinationPort = detector::DestinationPort(view);
  for (USHORT port : kPortsNeverDns) {
    if (destinationPort == port) return kDetectNoMatch;
  }
  if (detector::SourcePort(view) != kPortDns) return kDetectNoMatch;
  const ULONG64 length = detector::PayloadLength(view);
  if (length < kSigAnswerMinimumLength) return kDetectNoMatch;
  ByteView payload;
  if (!detector::PayloadWithLength(view, length, &payload)) return kDetectNoMatch;
  ULONG64 position = kSigAnswerQuestionOffset;
  return HasSigAnswerWithForeignSigner(payload, &position) ? kDetectMatch : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectDnsUpdateTxtLengthMismatch(PacketView* view) {
  UpdateMessage message;
  if (!ReadUpdateHeader(view, 0, true, &message)) return kDetectNoMatch;
  return WalkUpdateRecords(message, kTypeTxt, [&](ULONG64 position, USHORT dataLength) {
    // A record whose fixed part ends exactly at the payload's end has its
    // first string length in a later segment: with nothing to compare it
    // is not called a mismatch, and the walk ends there (the next name skip
    // finds no bytes left).
    UCHAR firstStringLength;
    if (!ReadU8(message.payload, position + kRecordFixedLength, &firstStringLength)) {
      return RecordStep::kStopNoMatch;
    }
    return static_cast<ULONG>(firstStringLength) + 1 != dataLength ? RecordStep::kStopMatch
                                                                   : RecordStep::kNext;
  });
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectDnsUpdateShortKeyRecord(PacketView* view) {
  // Flags (2), protocol (1) and algorithm (1) at least.
  constexpr USHORT kKeyFixedFields = 4;
  UpdateMessage message;
  if (!ReadUpdateHeader(view, kTcpLengthPrefix, true, &message)) return kDetectNoMatch;
  return WalkUpdateRecords(message, kTypeKey, [](ULONG64, USHORT dataLength) {
    return dataLength < kKeyFixedFields ? RecordStep::kStopMatch : RecordStep::kNext;
  });
}

// IRQL: <= DISPATCH_LEVEL. The burst fields are serialised with the record's
// lock; the table operations run after it is released.
ULONG DetectDnsUpdateSigRecordBurst(PacketView* view) {
  return DetectUpdateBurst(view, 0, true, kTypeSig, &HostRecord::sig6200Stamp,
                           &HostRecord::sig6200Count);
}

// IRQL: <= DISPATCH_LEVEL. As the SIG burst; an update count of 0 still
// creates the source's record.
ULONG DetectDnsUpdateAaaaRecordBurst(PacketView* view) {
  return DetectUpdateBurst(view, kTcpLengthPrefix, false, kTypeAaaa, &HostRecord::sig6201Stamp,
                           &HostRecord::sig6201Count);
}
