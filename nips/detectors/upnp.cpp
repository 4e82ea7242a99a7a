// UPnP event subscriptions to the device host: a SUBSCRIBE or UNSUBSCRIBE
// for the event URL whose first NT or SID header runs on without a line end.
// One segment at a time, no state.
#include "nips/detectors/detector_common.h"
#include "nips/detectors/detectors.h"
#include "nips/detectors/ports.h"
#include "nips/detectors/text_common.h"
#include "nips/engine/signature.h"

namespace {

using detector::kCarriageReturn;
using detector::kLineFeed;
using detector::kSpace;
using detector::TextEqualsFolded;
using detector::TextLength;

constexpr ULONG64 kMinimumLength = 594;
constexpr ULONG64 kValueWindow = 512;

constexpr char kSubscribe[] = "SUBSCRIBE ";
constexpr char kUnsubscribe[] = "UNSUBSCRIBE ";
constexpr char kEventUrl[] = "/upnphost/udhisapi.dll?event";
constexpr char kVersionPrefix[] = " HTTP/1.";
constexpr char kHostHeader[] = "Host:";
constexpr char kHostPort[] = ":2869";
constexpr char kNtHeader[] = "NT:";
constexpr char kSidHeader[] = "SID:";
constexpr UCHAR kColon = ':';

// The Host header's name and the next five bytes are passed over before the
// port's colon is looked for.
constexpr ULONG64 kHostSkip = 10;
// " HTTP/1." is looked for only while more than this many bytes remain.
constexpr ULONG64 kVersionSearchRemaining = 29;
// Both NT and SID values are measured from the header's fourth byte.
constexpr ULONG64 kValueStart = 3;

enum class Step { kNextLine, kSkipLine, kResult };

// Past the next line feed at or after *pos; false when the payload ends first.
bool SkipLine(const ByteView& payload, ULONG64* pos) {
  ULONG64 lineFeed;
  if (!detector::FindByte(payload, *pos, kLineFeed, &lineFeed)) return false;
  *pos = lineFeed + 1;
  return *pos < payload.length;
}

// 2 unless a line end lies in the window after the header at h.
ULONG CheckValue(const ByteView& payload, ULONG64 h) {
  const ULONG64 start = h + kValueStart;
  const ULONG64 limit = payload.length - 1;
  for (ULONG64 i = 0; i < kValueWindow && start + i < limit; ++i) {
    UCHAR c, next;
    if (!ReadU8(payload, start + i, &c)) return kDetectNoMatch;
    if (c == kLineFeed) return kDetectNoMatch;
    if (c == kCarriageReturn && ReadU8(payload, start + i + 1, &next) && next == kLineFeed) {
      return kDetectNoMatch;
    }
  }
  return kDetectMatch;
}

// The request line at *pos. kNextLine: the event URL with a good version,
// *pos at the first header line. kSkipLine: another target. kResult: 0.
Step ReadRequestLine(const ByteView& payload, ULONG64* pos) {
  const ULONG64 len = payload.length;
  if (len - *pos > TextLength(kSubscribe) &&
      TextEqualsFolded(payload, *pos, kSubscribe, TextLength(kSubscribe))) {
    *pos += TextLength(kSubscribe);
  } else if (len - *pos > TextLength(kUnsubscribe) &&
             TextEqualsFolded(payload, *pos, kUnsubscribe, TextLength(kUnsubscribe))) {
    *pos += TextLength(kUnsubscribe);
  } else {
    return Step::kResult;
  }
  UCHAR c;
  while (ReadU8(payload, *pos, &c) && c == kSpace) ++*pos;
  if (!(len - *pos > TextLength(kEventUrl) &&
        TextEqualsFolded(payload, *pos, kEventUrl, TextLength(kEventUrl)))) {
    return Step::kSkipLine;
  }
  *pos += TextLength(kEventUrl);
  for (;;) {
    if (len - *pos <= kVersionSearchRemaining) return Step::kResult;
    if (TextEqualsFolded(payload, *pos, kVersionPrefix, TextLength(kVersionPrefix))) break;
    ++*pos;
  }
  *pos += TextLength(kVersionPrefix);
  while (ReadU8(payload, *pos, &c) && c != kLineFeed) {
    if (!detector::IsDigit(c) && c != kCarriageReturn) return Step::kResult;
    ++*pos;
  }
  ++*pos;  // past the line feed, or past the end when there is none
  return *pos < len ? Step::kNextLine : Step::kResult;
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectUpnpEventLongHeader(PacketView* view) {
  if (detector::DestinationPort(view) != kPortUpnpDeviceHost) return kDetectNoMatch;
  const ULONG64 learned = detector::PayloadLength(view);
  if (learned < kMinimumLength) return kDetectNoMatch;
  ByteView payload;
  if (!detector::PayloadWithLength(view, learned, &payload)) return kDetectNoMatch;

  const ULONG64 len = payload.length;
  ULONG64 pos = 0;
  bool requestSeen = false;
  while (pos < len) {
    Step step = Step::kSkipLine;
    if (!requestSeen) {
      step = ReadRequestLine(payload, &pos);
      if (step == Step::kResult) return kDetectNoMatch;
      if (step == Step::kNextLine) {
        requestSeen = true;
        continue;
      }
    } else if (len - pos > TextLength(kHostHeader) &&
               TextEqualsFolded(payload, pos, kHostHeader, TextLength(kHostHeader))) {
      // The port's colon is looked for beyond the line end as well.
      pos += kHostSkip;
      ULONG64 colon;
      if (pos >= len || !detector::FindByte(payload, pos, kColon, &colon) ||
          !TextEqualsFolded(payload, colon, kHostPort, TextLength(kHostPort))) {
        return kDetectNoMatch;
      }
      pos = colon + TextLength(kHostPort);
    } else if (len - pos > TextLength(kSidHeader) &&
               (TextEqualsFolded(payload, pos, kNtHeader, TextLength(kNtHeader)) ||
                TextEqualsFolded(payload, pos, kSidHeader, TextLength(kSidHeader)))) {
      return CheckValue(payload, pos);
    }
    if (!SkipLine(payload, &pos)) return kDetectNoMatch;
  }
  return kDetectNoMatch;
}
