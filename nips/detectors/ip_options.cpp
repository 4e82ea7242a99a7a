// IPv4 header options: a malformed loose or strict source route, and a
// 60-byte header whose last option byte starts an option with no room for
// its length. Both read the IP header the core hands over, never the payload.
#include "nips/detectors/detector_common.h"
#include "nips/detectors/detectors.h"
#include "nips/engine/signature.h"

namespace {

constexpr ULONG kIpVersion4 = 4;
constexpr ULONG64 kFixedHeaderLength = 20;  // the options start here
constexpr ULONG64 kMaximumHeaderLength = 60;
constexpr ULONG64 kOptionAreaLength = kMaximumHeaderLength - kFixedHeaderLength;
constexpr ULONG64 kLastOption = kOptionAreaLength - 1;

constexpr UCHAR kOptionEnd = 0;
constexpr UCHAR kOptionNoOperation = 1;
constexpr UCHAR kOptionLooseSourceRoute = 131;
constexpr UCHAR kOptionStrictSourceRoute = 137;
constexpr ULONG64 kOptionLengthOffset = 1;
constexpr ULONG64 kRoutePointerOffset = 2;
// Type, length, pointer and one four-byte route address.
constexpr ULONG kRouteMinimumLength = 7;
constexpr ULONG kRouteEntrySize = 4;
// A pointer this far below the length is on the last route entry.
constexpr ULONG kLastEntryDistance = 3;

bool IsIpv4Destination(PacketView* view) {
  return view->flow->GetDestinationAddress()->version == kIpVersion4;
}

// The source-route option at p of a header ending at end is malformed.
bool RouteMalformed(const ByteView& header, ULONG64 p, ULONG64 end) {
  UCHAR length, pointer;
  // An option starting in the last byte cannot hold a length of 7.
  if (!ReadU8(header, p + kOptionLengthOffset, &length)) return true;
  if (length < kRouteMinimumLength) return true;
  if (p + length > end) return true;
  // length >= 7 fits the header, so the pointer lies inside it.
  if (!ReadU8(header, p + kRoutePointerOffset, &pointer)) return true;
  if (pointer >= length - kLastEntryDistance) return true;
  return (pointer & (kRouteEntrySize - 1)) != 0;
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectSourceRouteOptionMalformed(PacketView* view) {
  if (!IsIpv4Destination(view)) return kDetectNoMatch;
  ByteView header;
  if (!GetIpHeaderView(view, &header)) return kDetectNoMatch;
  const ULONG64 end = header.length;
  ULONG64 p = kFixedHeaderLength;
  while (p < end) {
    UCHAR type, length;
    if (!ReadU8(header, p, &type) || type == kOptionEnd) return kDetectNoMatch;
    if (type == kOptionNoOperation) {
      ++p;
      continue;
    }
    if (type == kOptionLooseSourceRoute || type == kOptionStrictSourceRoute) {
      if (RouteMalformed(header, p, end)) return kDetectMatch;
    }
    if (!ReadU8(header, p + kOptionLengthOffset, &length) || length == 0) return kDetectNoMatch;
    p += length;
  }
  return kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectIpv4TruncatedLastOption(PacketView* view) {
  if (!IsIpv4Destination(view)) return kDetectNoMatch;
  ByteView header, options;
  if (!GetIpHeaderView(view, &header) || header.length != kMaximumHeaderLength ||
      !Slice(header, kFixedHeaderLength, kOptionAreaLength, &options)) {
    return kDetectNoMatch;
  }
  ULONG64 pos = 0;
  while (pos < kLastOption) {
    UCHAR kind, size = 1;
    if (!ReadU8(options, pos, &kind) || kind == kOptionEnd) return kDetectNoMatch;
    if (kind != kOptionNoOperation &&
        (!ReadU8(options, pos + kOptionLengthOffset, &size) || size == 0)) {
      return kDetectNoMatch;
    }
    pos += size;
  }
  if (pos > kLastOption) return kDetectNoMatch;
  UCHAR last;
  if (!ReadU8(options, kLastOption, &last)) return kDetectNoMatch;
  return last == kOptionEnd || last == kOptionNoOperation ? kDetectNoMatch : kDetectMatch;
}
