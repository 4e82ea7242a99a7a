// Text tests of the detectors that read request and reply lines: keywords
// compared without regard to the case of ASCII letters, and the line feed
// that ends a line. Internal to nips/detectors. Callable at any IRQL.
#pragma once

#include <ntddk.h>

#include "nips/engine/bytes.h"

namespace detector {

constexpr UCHAR kLineFeed = 0x0A;
constexpr UCHAR kCarriageReturn = 0x0D;
constexpr UCHAR kSpace = 0x20;

// Length of a keyword literal without its terminator.
template <ULONG64 N>
constexpr ULONG64 TextLength(const char (&)[N]) {
  return N - 1;
}

// True when the count bytes at offset exist and equal text with ASCII letters
// folded; text holds no NUL among its first count characters.
inline bool TextEqualsFolded(const ByteView& view, ULONG64 offset, const char* text,
                             ULONG64 count) {
  if (!Fits(view, offset, count)) return false;
  return count == 0 ||
         _strnicmp(reinterpret_cast<const char*>(view.data + offset), text, count) == 0;
}

// Offset of the first byte equal to value at or after from.
inline bool FindByte(const ByteView& view, ULONG64 from, UCHAR value, ULONG64* offset) {
  UCHAR c;
  for (ULONG64 i = from; ReadU8(view, i, &c); ++i) {
    if (c == value) {
      *offset = i;
      return true;
    }
  }
  return false;
}

inline bool IsDigit(UCHAR c) { return c >= '0' && c <= '9'; }

}  // namespace detector
