// Encrypted remote access: a TLS heartbeat request that declares more payload
// than the segment carries, and a burst of SSH key-exchange offers from one
// source that pair the SHA-1 Diffie-Hellman groups with DSS host keys.
#include "nips/detectors/detector_common.h"
#include "nips/detectors/detectors.h"
#include "nips/detectors/ports.h"
#include "nips/engine/signature.h"

namespace {

// TLS heartbeat request: record header, then the heartbeat message at 5.
constexpr ULONG64 kHeartbeatMinimumLength = 7;
constexpr ULONG64 kRecordTypeOffset = 0;
constexpr UCHAR kRecordTypeHeartbeat = 0x18;
constexpr ULONG64 kVersionMajorOffset = 1;
constexpr UCHAR kVersionMajor = 3;
constexpr ULONG64 kVersionMinorOffset = 2;
constexpr UCHAR kVersionMinorLimit = 4;  // SSL 3.0 and TLS 1.0 to 1.2
constexpr ULONG64 kHeartbeatTypeOffset = 5;
constexpr UCHAR kHeartbeatRequest = 1;
constexpr ULONG64 kHeartbeatLengthOffset = 6;

// SSH key-exchange init at the start of the segment.
constexpr ULONG64 kKexMinimumLength = 67;
constexpr ULONG64 kMessageCodeOffset = 5;
constexpr UCHAR kMessageKexInit = 20;
constexpr ULONG64 kKexListLengthOffset = 22;
constexpr ULONG64 kNameListLengthSize = 4;
constexpr char kGroup1Sha1[] = "diffie-hellman-group1-sha1";
constexpr char kGroupExchangeSha1[] = "diffie-hellman-group-exchange-sha1";
constexpr char kHostKeyDss[] = "ssh-dss";
constexpr ULONG kKexWindowMs = 45000;
constexpr ULONG kKexThreshold = 16;  // the offer that matches

// The name-list whose 32-bit length stands at offset, and the offset after it.
bool ReadNameList(const ByteView& payload, ULONG64 offset, ByteView* list, ULONG64* next) {
  ULONG length;
  if (!ReadU32Be(payload, offset, &length)) return false;
  if (!Slice(payload, offset + kNameListLengthSize, length, list)) return false;
  *next = offset + kNameListLengthSize + length;
  return true;
}

template <ULONG64 N>
bool ListNames(const ByteView& list, const char (&name)[N]) {
  return FindBytes(list.data, reinterpret_cast<const UCHAR*>(name), list.length, N - 1) != nullptr;
}

// The offer lists both SHA-1 groups and the DSS host key; a name may also
// sit inside a longer one.
bool IsDssSha1Offer(const ByteView& payload) {
  UCHAR code;
  if (!ReadU8(payload, kMessageCodeOffset, &code) || code != kMessageKexInit) return false;
  ByteView kex, hostKeys;
  ULONG64 next;
  if (!ReadNameList(payload, kKexListLengthOffset, &kex, &next)) return false;
  if (!ListNames(kex, kGroup1Sha1) || !ListNames(kex, kGroupExchangeSha1)) return false;
  if (!ReadNameList(payload, next, &hostKeys, &next)) return false;
  return ListNames(hostKeys, kHostKeyDss);
}

// Counts one offer in the source's window; the record's lock serialises the
// two fields against packets of the same source on other processors.
bool CountOfferLocked(HostRecord* record, ULONG now) {
  if (record->sig6500Stamp == 0 || StampAgeMs(now, record->sig6500Stamp) > kKexWindowMs) {
    record->sig6500Stamp = now;
    record->sig6500Count = 1;
    return false;
  }
  if (++record->sig6500Count < kKexThreshold) return false;
  record->sig6500Stamp = 0;
  record->sig6500Count = 0;
  return true;
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectTlsHeartbeatOverlength(PacketView* view) {
  if (detector::DestinationPort(view) != kPortTls) return kDetectNoMatch;
  const ULONG64 learned = detector::PayloadLength(view);
  if (learned < kHeartbeatMinimumLength) return kDetectNoMatch;
  ByteView payload;
  if (!detector::PayloadWithLength(view, learned, &payload) || payload.data == nullptr) {
    return kDetectNoMatch;
  }
  UCHAR type, major, minor, message;
  USHORT declared;
  if (!ReadU8(payload, kRecordTypeOffset, &type) || type != kRecordTypeHeartbeat ||
      !ReadU8(payload, kVersionMajorOffset, &major) || major != kVersionMajor ||
      !ReadU8(payload, kVersionMinorOffset, &minor) || minor >= kVersionMinorLimit ||
      !ReadU8(payload, kHeartbeatTypeOffset, &message) || message != kHeartbeatRequest ||
      !ReadU16Be(payload, kHeartbeatLengthOffset, &declared)) {
    return kDetectNoMatch;
  }
  return declared > payload.length ? kDetectMatch : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL. Every segment long enough to hold an offer gets
// the source's record, whatever it carries.
ULONG DetectSshDssKexBurst(PacketView* view) {
  if (detector::DestinationPort(view) != kPortSsh) return kDetectNoMatch;
  const ULONG64 learned = detector::PayloadLength(view);
  if (learned < kKexMinimumLength) return kDetectNoMatch;
  ByteView payload;
  if (!detector::PayloadWithLength(view, learned, &payload)) return kDetectNoMatch;

  HostRecord* record;
  if (!detector::AcquireSourceRecord(view, &record)) return kDetectError;
  bool matched = false;
  if (IsDssSha1Offer(payload)) {
    const ULONG now = CurrentStampMs();
    LockHostRecord(record);
    matched = CountOfferLocked(record, now);
    UnlockHostRecord(record);
  }
  if (matched) RemoveHostRecord(record);
  ReleaseHostRecord(record);
  return matched ? kDetectMatch : kDetectNoMatch;
}
