// Reading the plug-in's log back the way user mode does: drain the NimQ
// through control request 6 into a user buffer and decode its records.
#pragma once

#include <ntddk.h>

#include <string>
#include <vector>

class NipsPlugin;

namespace testlib {

struct LogRecord {
  bool overflow = false;  // a 0xFFFFFFFF marker; nothing else is set
  ULONG length = 0;       // L, the record's byte count after its length word
  ULONG zero = 0;         // the u32 that leads every record (0)
  ULONG category = 0;
  USHORT kind = 0;
  std::u16string text;         // without the terminator
  bool terminated = false;     // the text was followed by a u16 0 that ended the record
  std::string Narrow() const;  // text as ASCII
};

// Decodes the queue format; false (with what was decoded so far) when the
// bytes are not a sequence of well-formed records.
bool DecodeNimq(const uint8_t* bytes, size_t size, std::vector<LogRecord>* records);

struct DrainResult {
  NTSTATUS status = 0;
  ULONG64 bytesReturned = 0;
  ULONG64 size = 0;            // reply word 0
  ULONG64 returned = 0;        // reply word 1
  std::vector<uint8_t> bytes;  // the user buffer's first `returned` bytes
};

// True when a drain would not block (records queued, or the log is closed).
bool LogReadable(NipsPlugin* plugin);
// One request 6 with a user buffer of bufferLength bytes. Never blocks: when
// nothing is readable it returns status STATUS_TIMEOUT without calling.
DrainResult DrainRaw(NipsPlugin* plugin, size_t bufferLength = 0x20000);
// Drains and decodes everything queued (empty when nothing is).
std::vector<LogRecord> DrainLog(NipsPlugin* plugin);
// The texts only, as ASCII.
std::vector<std::string> DrainLogTexts(NipsPlugin* plugin);

// The exact bytes NipsLog queues for one line (length word included).
std::vector<uint8_t> EncodeLogRecord(ULONG category, bool flagged, const std::string& text);

}  // namespace testlib
