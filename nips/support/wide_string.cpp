#include "nips/support/wide_string.h"

#include "nips/support/support_pool.h"

SIZE_T WideLengthBounded(PCWSTR text, SIZE_T maxChars) {
  if (text == nullptr) return 0;
  SIZE_T n = 0;
  while (n < maxChars && text[n] != 0) ++n;
  return n;
}

bool WideAppend(WCHAR* buffer, SIZE_T capacity, SIZE_T* length, PCWSTR source, SIZE_T count) {
  if (buffer == nullptr || capacity == 0 || *length >= capacity) return false;
  SIZE_T at = *length;
  SIZE_T i = 0;
  bool complete = true;
  for (; source != nullptr && i < count && source[i] != 0; ++i) {
    if (at + 1 >= capacity) {
      complete = false;
      break;
    }
    buffer[at++] = source[i];
  }
  buffer[at] = 0;
  *length = at;
  return complete;
}

PCWSTR LastPathComponent(PCWSTR text, SIZE_T length, SIZE_T* componentLength) {
  SIZE_T start = 0;
  for (SIZE_T i = 0; i < length; ++i) {
    if (text[i] == NTTEXT('\\')) start = i + 1;
  }
  *componentLength = length - start;
  return text + start;
}

PVOID AllocateSupportBuffer(SIZE_T bytes) {
  return ExAllocatePoolWithTag(PagedPool, bytes, kPoolTagSupport);
}

VOID FreeSupportBuffer(PVOID buffer) { ExFreePoolWithTag(buffer, kPoolTagSupport); }

PWSTR AllocateJoinedPath(PCWSTR prefix, PCWSTR text) {
  const SIZE_T prefixLength = WideLengthBounded(prefix, kMaxObjectNameChars + 1);
  const SIZE_T textLength = WideLengthBounded(text, kMaxObjectNameChars + 1);
  if (prefixLength + textLength > kMaxObjectNameChars) return nullptr;
  const SIZE_T capacity = prefixLength + textLength + 1;
  auto* joined = static_cast<PWSTR>(AllocateSupportBuffer(capacity * sizeof(WCHAR)));
  if (joined == nullptr) return nullptr;
  SIZE_T length = 0;
  joined[0] = 0;
  WideAppend(joined, capacity, &length, prefix, prefixLength);
  WideAppend(joined, capacity, &length, text, textLength);
  return joined;
}
