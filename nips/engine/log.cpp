#include "nips/engine/log.h"

#include "nips/engine/nimq.h"
#include "nips/engine/plugin.h"

namespace {

// Output cursor that never writes past capacity - 1 characters.
struct WideSink {
  WCHAR* buffer;
  ULONG capacity;
  ULONG stored;

  bool Full() const { return stored + 1 >= capacity; }
  void Put(WCHAR c) {
    if (!Full()) buffer[stored++] = c;
  }
};

constexpr char kHexLower[] = "0123456789abcdef";
constexpr char kHexUpper[] = "0123456789ABCDEF";

// One integer conversion: digits of value in base (10 or 16), a leading
// minus when negative, padded to width with zeros or spaces.
void PutNumber(WideSink* sink, ULONG64 value, bool negative, ULONG base, bool upper, bool zeroPad,
               ULONG width) {
  char digits[24];
  ULONG n = 0;
  const char* table = upper ? kHexUpper : kHexLower;
  do {
    digits[n++] = table[value % base];
    value /= base;
  } while (value != 0);
  ULONG length = n + (negative ? 1 : 0);
  if (negative && zeroPad) sink->Put(u'-');
  for (; length < width; ++length) sink->Put(zeroPad ? u'0' : u' ');
  if (negative && !zeroPad) sink->Put(u'-');
  while (n != 0) sink->Put(static_cast<WCHAR>(digits[--n]));
}

}  // namespace

ULONG FormatLogTextV(WCHAR* buffer, ULONG capacity, const char* format, va_list args) {
  if (capacity == 0 || buffer == nullptr) return 0;
  WideSink sink{buffer, capacity, 0};
  const char* p = format;
  while (*p != '\0' && !sink.Full()) {
    if (*p != '%') {
      sink.Put(static_cast<WCHAR>(static_cast<UCHAR>(*p++)));
      continue;
    }
    const char* start = p++;
    bool zeroPad = false;
    ULONG width = 0;
    if (*p == '0') {
      zeroPad = true;
      ++p;
    }
    while (*p >= '0' && *p <= '9') {
      if (width < kLogBufferChars) width = width * 10 + static_cast<ULONG>(*p - '0');
      ++p;
    }
    bool wide64 = false;
    if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
      wide64 = true;
      p += 3;
    }
    switch (*p) {
      case 'u':
        PutNumber(&sink, wide64 ? va_arg(args, ULONG64) : va_arg(args, ULONG), false, 10, false,
                  zeroPad, width);
        break;
      case 'd': {
        LONG64 v = wide64 ? va_arg(args, LONG64) : va_arg(args, LONG);
        ULONG64 magnitude = v < 0 ? 0 - static_cast<ULONG64>(v) : static_cast<ULONG64>(v);
        PutNumber(&sink, magnitude, v < 0, 10, false, zeroPad, width);
        break;
      }
      case 'x':
      case 'X':
        PutNumber(&sink, wide64 ? va_arg(args, ULONG64) : va_arg(args, ULONG), false, 16, *p == 'X',
                  zeroPad, width);
        break;
      case 'p':
        // Pointers print as all their hex digits, as the kernel's printf does.
        PutNumber(&sink, reinterpret_cast<ULONG_PTR>(va_arg(args, void*)), false, 16, true, true,
                  2 * sizeof(void*));
        break;
      case 'c':
        sink.Put(static_cast<WCHAR>(va_arg(args, int)));
        break;
      case 's': {
        const WCHAR* s = va_arg(args, const WCHAR*);
        if (s == nullptr) s = NTTEXT("(null)");
        while (*s != 0 && !sink.Full()) sink.Put(*s++);
        break;
      }
      case '%':
        sink.Put(u'%');
        break;
      default:
        // Unknown or cut conversion: shown as written, no argument consumed.
        for (const char* q = start; q < p && !sink.Full(); ++q) {
          sink.Put(static_cast<WCHAR>(static_cast<UCHAR>(*q)));
        }
        if (*p == '\0') continue;
        sink.Put(static_cast<WCHAR>(static_cast<UCHAR>(*p)));
        break;
    }
    ++p;
  }
  buffer[sink.stored] = 0;
  return sink.stored;
}

ULONG FormatLogText(WCHAR* buffer, ULONG capacity, const char* format, ...) {
  va_list args;
  va_start(args, format);
  ULONG stored = FormatLogTextV(buffer, capacity, format, args);
  va_end(args);
  return stored;
}

bool NipsLogEnabled(const NipsPlugin* plugin, ULONG category) {
  if (plugin == nullptr) return false;
  const ULONG mask =
      static_cast<ULONG>(ReadNoFence(reinterpret_cast<LONG const volatile*>(&plugin->logMask)));
  return (mask & category) != 0;
}

void NipsLog(NipsPlugin* plugin, bool flagged, ULONG category, const char* format, ...) {
  if (!NipsLogEnabled(plugin, category)) return;

  // Kind word, then the text and its terminator: one contiguous segment.
  WCHAR line[1 + kLogBufferChars];
  line[0] = flagged ? kLogKindFlagged : kLogKindUnflagged;
  va_list args;
  va_start(args, format);
  const ULONG stored = FormatLogTextV(line + 1, kLogBufferChars, format, args);
  va_end(args);

  const ULONG zero = 0;
  const NimqSegment segments[] = {
      {&zero, sizeof zero},
      {&category, sizeof category},
      {line, (static_cast<ULONG64>(stored) + 2) * sizeof(WCHAR)},
  };
  EnqueueNimQ(&plugin->nimq, segments, 3);
}
