// Bounded UTF-16 helpers for the names and object paths the support library
// builds. Every routine stops at its capacity and keeps the text terminated.
#pragma once

#include <ntddk.h>

// Longest object name a UNICODE_STRING can carry, without the terminator.
constexpr SIZE_T kMaxObjectNameChars = 0x7FFE;

// IRQL: any. Characters of text before its NUL, but at most maxChars.
SIZE_T WideLengthBounded(PCWSTR text, SIZE_T maxChars);

// IRQL: any. Appends at most count characters of source (fewer if a NUL comes
// first) to buffer, whose first *length characters are in use, and keeps it
// NUL-terminated within capacity characters. Returns false when the text had
// to be cut (or capacity is 0).
bool WideAppend(WCHAR* buffer, SIZE_T capacity, SIZE_T* length, PCWSTR source, SIZE_T count);

// IRQL: any. The text after the last backslash of the first length characters
// of text (all of them when there is no backslash).
PCWSTR LastPathComponent(PCWSTR text, SIZE_T length, SIZE_T* componentLength);

// IRQL: PASSIVE_LEVEL. prefix followed by text, NUL-terminated, in a paged
// pool buffer of its exact size; null when the allocation fails or the result
// would be longer than an object name can be. Free with FreeSupportBuffer.
PWSTR AllocateJoinedPath(PCWSTR prefix, PCWSTR text);

// IRQL: PASSIVE_LEVEL. Paged pool buffer of the support library's tag.
PVOID AllocateSupportBuffer(SIZE_T bytes);
VOID FreeSupportBuffer(PVOID buffer);
