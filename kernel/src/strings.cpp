// The kernel C runtime's string routines, with ASCII-only case folding as the
// kernel's runtime applies it.
#include "kt_hooks.h"
#include "ntddk.h"

namespace {
template <typename Char>
int FoldAscii(Char c) {
  int value = static_cast<int>(static_cast<std::make_unsigned_t<Char>>(c));
  return (value >= 'A' && value <= 'Z') ? value + ('a' - 'A') : value;
}

template <typename Char>
int CompareFolded(const Char* a, const Char* b, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    int ca = FoldAscii(a[i]);
    int cb = FoldAscii(b[i]);
    if (ca != cb) return ca - cb;
    if (ca == 0) return 0;
  }
  return 0;
}
}  // namespace

int _strnicmp(const char* a, const char* b, size_t count) { return CompareFolded(a, b, count); }
int _stricmp(const char* a, const char* b) { return CompareFolded(a, b, SIZE_MAX); }
int _wcsnicmp(const WCHAR* a, const WCHAR* b, size_t count) { return CompareFolded(a, b, count); }

WCHAR* wcsncpy(WCHAR* destination, const WCHAR* source, size_t count) {
  size_t i = 0;
  for (; i < count && source[i] != 0; ++i) destination[i] = source[i];
  for (; i < count; ++i) destination[i] = 0;
  return destination;
}

SIZE_T KtWideLength(PCWSTR s) {
  SIZE_T n = 0;
  while (s[n] != 0) ++n;
  return n;
}

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  destination->Buffer = const_cast<PWCH>(source);
  if (source == nullptr) {
    destination->Length = destination->MaximumLength = 0;
    return;
  }
  SIZE_T bytes = KtWideLength(source) * sizeof(WCHAR);
  if (bytes > 0xFFFC) bytes = 0xFFFC;
  destination->Length = static_cast<USHORT>(bytes);
  destination->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

namespace kt {
std::u16string Utf16(const std::string& ascii) {
  return std::u16string(ascii.begin(), ascii.end());
}

std::string Narrow(const std::u16string& text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

std::u16string ToU16(const UNICODE_STRING& s) {
  if (s.Buffer == nullptr) return {};
  return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}
}  // namespace kt
