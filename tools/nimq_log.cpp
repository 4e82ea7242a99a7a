#include "tools/nimq_log.h"

#include <fmt/format.h>

namespace nipstool {
namespace {

constexpr uint32_t kOverflowMarker = 0xFFFFFFFF;
constexpr size_t kRecordFixedBytes = 12;  // u32 0, u32 category, u16 kind, u16 terminator

uint32_t Le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

void AppendUtf8(std::string* out, uint32_t code) {
  if (code < 0x80) {
    out->push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out->push_back(static_cast<char>(0xC0 | code >> 6));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | code >> 12));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | code >> 18));
    out->push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

}  // namespace

std::string Utf16ToUtf8(const char16_t* text, size_t length) {
  std::string out;
  out.reserve(length);
  for (size_t i = 0; i < length; ++i) {
    uint32_t code = text[i];
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (code >= 0xD800 && code <= 0xDFFF) {
      code = 0xFFFD;
    }
    AppendUtf8(&out, code);
  }
  return out;
}

bool DecodeNimqRecords(const uint8_t* data, size_t size, std::vector<LogRecord>* records,
                       std::string* error) {
  size_t offset = 0;
  while (offset < size) {
    if (size - offset < 4) {
      *error = fmt::format("log bytes end inside a length word at offset {}", offset);
      return false;
    }
    const uint32_t length = Le32(data + offset);
    offset += 4;
    if (length == kOverflowMarker) {
      LogRecord marker;
      marker.overflow = true;
      records->push_back(marker);
      continue;
    }
    if (length < kRecordFixedBytes || length % 2 != 0 || length > size - offset) {
      *error = fmt::format("bad log record length {} at offset {}", length, offset - 4);
      return false;
    }
    const uint8_t* record = data + offset;
    LogRecord decoded;
    decoded.category = Le32(record + 4);
    decoded.kind = Le16(record + 8);
    const size_t characters = (length - kRecordFixedBytes) / 2;
    std::u16string text;
    text.reserve(characters);
    for (size_t i = 0; i < characters; ++i) {
      const char16_t c = static_cast<char16_t>(Le16(record + 10 + 2 * i));
      if (c == 0) break;  // the terminator is always there; stop at an early one too
      text.push_back(c);
    }
    while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r')) text.pop_back();
    decoded.text = Utf16ToUtf8(text.data(), text.size());
    records->push_back(std::move(decoded));
    offset += length;
  }
  return true;
}

std::string FormatLogRecord(const LogRecord& record) {
  if (record.overflow) return "[overflow] the log queue was full: records were dropped here";
  std::string kind;
  if (record.kind == kLogKindFlagged) {
    kind = "flagged";
  } else if (record.kind == kLogKindUnflagged) {
    kind = "unflagged";
  } else {
    kind = fmt::format("kind 0x{:x}", record.kind);
  }
  std::string text;
  for (char c : record.text) {
    // Keep one record on one line whatever a format argument held.
    text.push_back(c == '\n' || c == '\r' || c == '\t' ? ' ' : c);
  }
  return fmt::format("[{} {}] {}", record.category, kind, text);
}

}  // namespace nipstool
