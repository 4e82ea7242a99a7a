// Decoding the driver's log queue as request 6 delivers it: a sequence of
// records, each a u32 length L and L bytes (u32 0, u32 category, u16 kind,
// UTF-16 text, u16 0), or a length of 0xFFFFFFFF marking dropped records.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace nipstool {

constexpr uint16_t kLogKindFlagged = 0x40;
constexpr uint16_t kLogKindUnflagged = 0x20;

struct LogRecord {
  bool overflow = false;  // the queue was full here: records were dropped
  uint32_t category = 0;
  uint16_t kind = 0;
  std::string text;  // UTF-8, without the trailing newline
};

// Appends the records of one drained buffer to *records. False when the bytes
// stop forming records (the records before that point are kept) and *error
// says where.
bool DecodeNimqRecords(const uint8_t* data, size_t size, std::vector<LogRecord>* records,
                       std::string* error);

// One line of the --log file, without a newline: "[16 flagged] text", or the
// overflow line.
std::string FormatLogRecord(const LogRecord& record);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(const char16_t* text, size_t length);

}  // namespace nipstool
