// FTP control channel, one detector per direction: an overlong USER or PASS
// argument sent to the server, and a reply line of exactly 1024 bytes sent
// by it. CR is an ordinary byte here: only LF ends a line. No state.
#include "nips/detectors/detector_common.h"
#include "nips/detectors/detectors.h"
#include "nips/detectors/ports.h"
#include "nips/detectors/text_common.h"
#include "nips/engine/signature.h"

namespace {

using detector::kLineFeed;
using detector::kSpace;

// USER / PASS: the LF-free run from the argument's first byte that matches.
constexpr ULONG64 kCommandMinimumLength = 261;
constexpr char kUserCommand[] = "USER ";
constexpr char kPassCommand[] = "PASS ";
constexpr ULONG64 kCommandWordLength = detector::TextLength(kUserCommand);
static_assert(detector::TextLength(kPassCommand) == kCommandWordLength, "both words are 5 bytes");
constexpr ULONG64 kArgumentRunLimit = 256;  // the run matches once its index passes this

// Reply lines: three digits, a space, then the LF this far after the space.
constexpr ULONG64 kReplyMinimumLength = 1024;
constexpr ULONG64 kReplyCodeDigits = 3;
constexpr ULONG64 kReplyLineFeedDistance = 1020;

bool FetchAtLeast(PacketView* view, ULONG64 minimumLength, ByteView* payload) {
  const ULONG64 learned = detector::PayloadLength(view);
  if (learned < minimumLength) return false;
  return detector::PayloadWithLength(view, learned, payload);
}

// One reply line starting at *pos. True with the result when the line
// decides the packet; otherwise *pos is the next line start (maybe past the
// end).
bool MeasureReplyLine(const ByteView& payload, ULONG64* pos, bool* skipRest, ULONG* result) {
  ULONG64 digits = 0;
  UCHAR c;
  while (digits < kReplyCodeDigits && ReadU8(payload, *pos, &c)) {
    if (!detector::IsDigit(c)) {
      *skipRest = true;
      break;
    }
    ++digits;
    ++*pos;
  }
  if (!ReadU8(payload, *pos, &c)) {
    *result = kDetectNoMatch;
    return true;
  }
  if (c != kSpace || digits < kReplyCodeDigits) *skipRest = true;

  if (*skipRest) {
    ULONG64 lineFeed;
    if (!detector::FindByte(payload, *pos, kLineFeed, &lineFeed)) {
      *result = kDetectNoMatch;
      return true;
    }
    *pos = lineFeed + 1;
    return false;
  }
  ULONG64 j = 0;
  while (j < kReplyLineFeedDistance && ReadU8(payload, *pos + j, &c) && c != kLineFeed) ++j;
  if (j == kReplyLineFeedDistance && ReadU8(payload, *pos + j, &c) && c == kLineFeed) {
    *result = kDetectMatch;
    return true;
  }
  // One past the LF of a shorter line; for a longer one, one past the byte
  // tested for the LF, which then counts as a line start.
  *pos += j + 1;
  return false;
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectFtpLongUserPass(PacketView* view) {
  if (detector::DestinationPort(view) != kPortFtpControl) return kDetectNoMatch;
  ByteView payload;
  if (!FetchAtLeast(view, kCommandMinimumLength, &payload)) return kDetectNoMatch;
  if (!detector::TextEqualsFolded(payload, 0, kUserCommand, kCommandWordLength) &&
      !detector::TextEqualsFolded(payload, 0, kPassCommand, kCommandWordLength)) {
    return kDetectNoMatch;
  }
  for (ULONG64 i = 0;; ++i) {
    UCHAR c;
    if (!ReadU8(payload, kCommandWordLength + i, &c) || c == kLineFeed) return kDetectNoMatch;
    if (i > kArgumentRunLimit) return kDetectMatch;
  }
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectFtpReplyLine1024(PacketView* view) {
  if (detector::SourcePort(view) != kPortFtpControl) return kDetectNoMatch;
  ByteView payload;
  if (!FetchAtLeast(view, kReplyMinimumLength, &payload)) return kDetectNoMatch;
  ULONG64 pos = 0;
  bool skipRest = false;  // once set, no later line is measured
  while (pos < payload.length) {
    ULONG result;
    if (MeasureReplyLine(payload, &pos, &skipRest, &result)) return result;
  }
  return kDetectNoMatch;
}
