// DNS and LLMNR detectors over UDP: responses carrying oversized text-like
// records or an empty ATMA record, responses that resolve a name to many
// loopback addresses together with a marker address (the one detector that
// leaves evidence text), and LLMNR questions for a name that begins with a
// dot. None keeps state between packets.
#include "nips/detectors/detectors.h"
#include "nips/detectors/dns_common.h"
#include "nips/engine/additional_data.h"
#include "nips/engine/signature.h"

namespace dns {

// IRQL: any.
ULONG64 SkipDnsName(const ByteView& message, ULONG64* offset) {
  ULONG64 position = *offset;
  if (position >= message.length) return 0;
  UCHAR byte;
  while (ReadU8(message, position, &byte)) {
    if (byte == kNameEnd) {
      position += 1;
      break;
    }
    if (byte == kCompressionPointer) {
      position += kCompressionPointerLength;
      break;
    }
    position += 1;
  }
  *offset = position;
  return position < message.length ? message.length - position : 0;
}

namespace {

// Data lengths from which a text-like record counts as oversized.
constexpr USHORT kOversizedRecordData = 0x2AAA;

bool IsTextLikeType(USHORT type) {
  return type == kTypeHinfo || type == kTypeTxt || type == kTypeX25 || type == kTypeIsdn;
}

// A response whose header fits: more than the header and the QR bit set.
bool IsResponse(const ByteView& message) {
  UCHAR flags;
  return message.length > kHeaderLength && ReadU8(message, kFlagsOffset, &flags) &&
         (flags & kFlagResponse) != 0;
}

// Steps over the question section; false when a question leaves no more
// than its type and class in the message.
bool SkipQuestions(const ByteView& message, ULONG64* offset) {
  USHORT questions;
  if (!ReadU16Be(message, kQuestionCountOffset, &questions)) return false;
  ULONG64 position = kHeaderLength;
  for (ULONG q = 0; q < questions; ++q) {
    if (SkipDnsName(message, &position) <= kQuestionFixedLength) return false;
    position += kQuestionFixedLength;
  }
  *offset = position;
  return true;
}

}  // namespace

// IRQL: any.
ULONG ScanDnsResponseRecords(const ByteView& message) {
  if (!IsResponse(message)) return kDetectNoMatch;
  ULONG64 offset;
  if (!SkipQuestions(message, &offset)) return kDetectNoMatch;
  // The section counts are not used: every record up to the end is walked.
  // Each pass moves at least 10 bytes forward.
  while (offset < message.length) {
    if (SkipDnsName(message, &offset) < kRecordFixedLength) return kDetectNoMatch;
    USHORT type, dataLength;
    if (!ReadU16Be(message, offset, &type) ||
        !ReadU16Be(message, offset + kRecordDataLengthOffset, &dataLength)) {
      return kDetectNoMatch;
    }
    if (IsTextLikeType(type) && dataLength >= kOversizedRecordData) return kDetectMatch;
    if (type == kTypeAtma && dataLength == 0) return kDetectMatch;
    offset += kRecordFixedLength + dataLength;
  }
  return kDetectNoMatch;
}

// IRQL: any.
WCHAR* FormatIpv4Address(ULONG address, WCHAR* text) {
  UCHAR bytes[sizeof(address)];
  RtlCopyMemory(bytes, &address, sizeof(bytes));
  RtlZeroMemory(text, kIpv4TextChars * sizeof(WCHAR));
  ULONG position = 0;
  for (UCHAR value : bytes) {
    const UCHAR hundreds = value / 100;
    const UCHAR tens = (value / 10) % 10;
    if (hundreds != 0) text[position++] = static_cast<WCHAR>('0' + hundreds);
    if (hundreds != 0 || tens != 0) text[position++] = static_cast<WCHAR>('0' + tens);
    text[position++] = static_cast<WCHAR>('0' + value % 10);
    text[position++] = static_cast<WCHAR>('.');
  }
  text[position - 1] = 0;
  return text;
}

}  // namespace dns

namespace {

using namespace dns;

// Leading-dot LLMNR detector: the first character of the question name.
constexpr ULONG64 kLlmnrMinimumLength = 15;
constexpr ULONG64 kLlmnrFirstNameCharOffset = 13;
constexpr UCHAR kDot = 0x2E;

// Loopback-answer detector: between 4 and 128 answers, each taken as a
// 16-byte record with a two-byte (pointer) name and four data bytes.
constexpr USHORT kLoopbackMinimumAnswers = 4;
constexpr USHORT kLoopbackMaximumAnswers = 128;
constexpr ULONG64 kLoopbackAnswerLength = 16;
constexpr ULONG64 kLoopbackAnswerDataLengthOffset = 10;
constexpr ULONG64 kLoopbackAnswerAddressOffset = 12;
constexpr USHORT kLoopbackAnswerMaximumData = 4;
constexpr ULONG kLoopbackMinimumCount = 3;
// 127.1.0.0 - 127.254.255.255 count; 127.255.0.0/16 and the marker block mark.
constexpr ULONG kLoopbackFirst = 0x7F010000;
constexpr ULONG kLoopbackLast = 0x7FFEFFFF;
constexpr ULONG kLoopbackMarkerFirst = 0x7FFF0000;
constexpr ULONG kLoopbackMarkerLast = 0x7FFFFFFF;
// The fixed marker block: 127.0.53.48/28. It holds 127.0.53.53, the address
// that a resolver answers for a name that must not resolve here (a name
// colliding with a private namespace), so an answer in it tells the operator
// that the response is steering a client to a name it should never reach.
constexpr ULONG kNameCollisionBlockBase = 0x7F003530;
constexpr ULONG kNameCollisionBlockMask = 0xFFFFFFF0;

// Evidence text: the word, then " a.b.c.d" per kept address.
constexpr WCHAR kEvidenceWord[] = NTTEXT("IPAddresses");
constexpr WCHAR kEvidenceSeparator = static_cast<WCHAR>(' ');

bool IsCountedLoopback(ULONG address) {
  return address >= kLoopbackFirst && address <= kLoopbackLast;
}
bool IsLoopbackMarker(ULONG address) {
  return (address >= kLoopbackMarkerFirst && address <= kLoopbackMarkerLast) ||
         (address & kNameCollisionBlockMask) == kNameCollisionBlockBase;
}

// Writes the evidence text into a slot of kAdditionalDataSlotChars
// characters. The list is kept in answer order and never runs past the slot:
// once an address (with its space) would not fit whole in front of the NUL,
// it and every later one are left out, so the text is always a prefix of the
// answers and no address is ever cut. With the longest form (" 127.x.y.z" of
// 16 characters) 31 addresses fit.
void WriteEvidence(WCHAR* slot, const ULONG* kept, ULONG keptCount) {
  ULONG position = 0;
  for (WCHAR c : kEvidenceWord) {
    if (c == 0) break;
    slot[position++] = c;
  }
  for (ULONG k = 0; k < keptCount; ++k) {
    WCHAR text[kIpv4TextChars];
    FormatIpv4Address(kept[k], text);
    ULONG textLength = 0;
    while (text[textLength] != 0) ++textLength;
    // The space, the address and room for the NUL.
    if (position + 1 + textLength + 1 > kAdditionalDataSlotChars) break;
    slot[position++] = kEvidenceSeparator;
    for (ULONG c = 0; c < textLength; ++c) slot[position++] = text[c];
  }
  slot[position] = 0;
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL. One GetPayload call.
ULONG DetectDnsOversizedRecord(PacketView* view) {
  if (detector::DestinationPort(view) != kPortDns && detector::SourcePort(view) != kPortDns) {
    return kDetectNoMatch;
  }
  ByteView payload;
  if (!GetPayloadView(view, &payload)) return kDetectNoMatch;
  return ScanDnsResponseRecords(payload);
}

// IRQL: <= DISPATCH_LEVEL. The slot reservation takes g_lockAdditionalData;
// the text is written after it is released.
ULONG DetectDnsLoopbackAnswers(PacketView* view) {
  if (detector::SourcePort(view) != kPortDns) return kDetectNoMatch;
  const ULONG64 length = detector::PayloadLength(view);
  if (length <= kHeaderLength) return kDetectNoMatch;
  ByteView message;
  if (!detector::PayloadWithLength(view, length, &message)) return kDetectNoMatch;
  if (!IsResponse(message)) return kDetectNoMatch;
  USHORT answers;
  if (!ReadU16Be(message, kAnswerCountOffset, &answers) || answers < kLoopbackMinimumAnswers ||
      answers > kLoopbackMaximumAnswers) {
    return kDetectNoMatch;
  }
  ULONG64 offset;
  if (!SkipQuestions(message, &offset)) return kDetectNoMatch;

  ULONG kept[kLoopbackMaximumAnswers];  // wire-order addresses, in answer order
  ULONG keptCount = 0;
  ULONG loopbackCount = 0;
  bool markerSeen = false;
  for (USHORT a = 0; a < answers; ++a, offset += kLoopbackAnswerLength) {
    USHORT dataLength;
    ULONG address, wireOrder;
    if (!ReadU16Be(message, offset + kLoopbackAnswerDataLengthOffset, &dataLength) ||
        dataLength > kLoopbackAnswerMaximumData ||
        !ReadU32Be(message, offset + kLoopbackAnswerAddressOffset, &address) ||
        !ReadBytes(message, offset + kLoopbackAnswerAddressOffset, &wireOrder, sizeof(wireOrder))) {
      return kDetectNoMatch;
    }
    if (IsCountedLoopback(address)) {
      ++loopbackCount;
    } else if (IsLoopbackMarker(address)) {
      markerSeen = true;
    } else {
      continue;
    }
    kept[keptCount++] = wireOrder;
  }
  if (loopbackCount < kLoopbackMinimumCount || !markerSeen) return kDetectNoMatch;

  ULONG slotNumber;
  WCHAR* slot = ReserveAdditionalData(&slotNumber);
  // Without a store (the plug-in is not started) the match stands without
  // evidence: the index stays 0.
  if (slot != nullptr) {
    WriteEvidence(slot, kept, keptCount);
    view->additionalDataIndex = slotNumber;
  }
  return kDetectMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectLlmnrLeadingDotName(PacketView* view) {
  if (detector::DestinationPort(view) != kPortLlmnr) return kDetectNoMatch;
  const ULONG64 length = detector::PayloadLength(view);
  if (length < kLlmnrMinimumLength) return kDetectNoMatch;
  ByteView message;
  UCHAR first;
  if (!detector::PayloadWithLength(view, length, &message) ||
      !ReadU8(message, kLlmnrFirstNameCharOffset, &first)) {
    return kDetectNoMatch;
  }
  return first == kDot ? kDetectMatch : kDetectNoMatch;
}
