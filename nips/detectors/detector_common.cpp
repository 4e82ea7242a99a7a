#include "nips/detectors/detector_common.h"

// IRQL: any. A plain forward scan: the haystacks are single packets of at
// most a few kilobytes and the needles a handful of bytes.
const UCHAR* FindBytes(const UCHAR* haystack, const UCHAR* needle, ULONG64 haystackLength,
                       ULONG64 needleLength) {
  if (haystack == nullptr || needle == nullptr || haystackLength == 0 || needleLength == 0 ||
      needleLength > haystackLength) {
    return nullptr;
  }
  const ULONG64 lastStart = haystackLength - needleLength;
  for (ULONG64 k = 0; k <= lastStart; ++k) {
    if (haystack[k] == needle[0] && memcmp(haystack + k, needle, needleLength) == 0) {
      return haystack + k;
    }
  }
  return nullptr;
}
