// Diagnostic log: every line of the driver passes through NipsLog, which
// formats it as UTF-16 text and queues it in the plug-in's NimQ when its
// category is in the log mask.
#pragma once

#include <stdarg.h>

#include <ntddk.h>

class NipsPlugin;

// Category bits (of the category argument and of the log mask).
constexpr ULONG kLogTrace = 1;      // per-packet trace
constexpr ULONG kLogInfo = 2;       // configuration, policy, attach
constexpr ULONG kLogLifecycle = 4;  // lifecycle and detections
constexpr ULONG kLogMalformed = 8;  // malformed packets
constexpr ULONG kLogError = 16;     // errors
constexpr ULONG kDefaultLogMask = 0x78;

// Kind word of a log record.
constexpr USHORT kLogKindFlagged = 0x40;
constexpr USHORT kLogKindUnflagged = 0x20;

// Longest text of one line, in characters, and the buffer that holds it.
constexpr ULONG kLogTextMax = 78;
constexpr ULONG kLogBufferChars = kLogTextMax + 1;

// IRQL: <= DISPATCH_LEVEL. The format is narrow ASCII; conversions %u, %d,
// %x, %X (32-bit), %I64u, %I64d, %I64x, %I64X (64-bit), %p, %s (a
// NUL-terminated UTF-16 string), %c and %%, with an optional '0' flag and
// width. A null plugin drops the line.
void NipsLog(NipsPlugin* plugin, bool flagged, ULONG category, const char* format, ...);

// True when a line of this category would be queued; lets hot paths skip the
// call (and its argument evaluation) altogether.
bool NipsLogEnabled(const NipsPlugin* plugin, ULONG category);

// The formatter behind NipsLog. Writes at most capacity - 1 characters and
// always terminates (capacity 0 writes nothing); returns the characters
// stored. Stops reading a %s argument once the output is full, so a source
// string is never read further than the output can hold.
ULONG FormatLogTextV(WCHAR* buffer, ULONG capacity, const char* format, va_list args);
ULONG FormatLogText(WCHAR* buffer, ULONG capacity, const char* format, ...);
