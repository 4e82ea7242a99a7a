#include "testlib/nimq_reader.h"

#include <cstring>

#include "nips/engine/config.h"
#include "nips/engine/log.h"
#include "nips/engine/plugin.h"

namespace testlib {

namespace {

ULONG Word(const uint8_t* p) {
  ULONG v;
  memcpy(&v, p, sizeof v);
  return v;
}

}  // namespace

std::string LogRecord::Narrow() const {
  std::string out;
  for (char16_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

bool DecodeNimq(const uint8_t* bytes, size_t size, std::vector<LogRecord>* records) {
  size_t at = 0;
  while (at < size) {
    if (size - at < 4) return false;
    const ULONG length = Word(bytes + at);
    at += 4;
    LogRecord record;
    if (length == 0xFFFFFFFF) {
      record.overflow = true;
      records->push_back(record);
      continue;
    }
    // u32 0, u32 category, u16 kind, text, u16 0: at least 12 bytes, even.
    if (length < 12 || length % 2 != 0 || size - at < length) return false;
    record.length = length;
    record.zero = Word(bytes + at);
    record.category = Word(bytes + at + 4);
    memcpy(&record.kind, bytes + at + 8, 2);
    const size_t chars = (length - 12) / 2;
    record.text.resize(chars);
    if (chars != 0) memcpy(record.text.data(), bytes + at + 10, chars * 2);
    char16_t last;
    memcpy(&last, bytes + at + length - 2, 2);
    record.terminated = last == 0 && record.text.find(u'\0') == std::u16string::npos;
    records->push_back(record);
    at += length;
  }
  return true;
}

bool LogReadable(NipsPlugin* plugin) { return KeReadStateEvent(&plugin->nimq.readable) != 0; }

DrainResult DrainRaw(NipsPlugin* plugin, size_t bufferLength) {
  DrainResult result;
  if (!LogReadable(plugin)) {
    result.status = STATUS_TIMEOUT;
    return result;
  }
  std::vector<uint8_t> user(bufferLength == 0 ? 1 : bufferLength, 0xCC);
  ULONG64 request[2] = {reinterpret_cast<ULONG64>(user.data()), bufferLength};
  ULONG64 reply[2] = {~0ull, ~0ull};
  result.status = plugin->Control(kControlDrainLog, request, sizeof request, reply, sizeof reply,
                                  &result.bytesReturned);
  result.size = reply[0];
  result.returned = reply[1];
  if (result.status == STATUS_SUCCESS && result.returned <= user.size()) {
    result.bytes.assign(user.begin(), user.begin() + static_cast<ptrdiff_t>(result.returned));
  }
  return result;
}

std::vector<LogRecord> DrainLog(NipsPlugin* plugin) {
  std::vector<LogRecord> records;
  DrainResult result = DrainRaw(plugin);
  if (result.status == STATUS_SUCCESS)
    DecodeNimq(result.bytes.data(), result.bytes.size(), &records);
  return records;
}

std::vector<std::string> DrainLogTexts(NipsPlugin* plugin) {
  std::vector<std::string> texts;
  for (const LogRecord& record : DrainLog(plugin)) {
    texts.push_back(record.overflow ? std::string("<overflow>") : record.Narrow());
  }
  return texts;
}

std::vector<uint8_t> EncodeLogRecord(ULONG category, bool flagged, const std::string& text) {
  std::vector<uint8_t> out;
  auto put32 = [&out](ULONG v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto put16 = [&out](USHORT v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
  };
  put32(static_cast<ULONG>(2 * text.size() + 12));
  put32(0);
  put32(category);
  put16(flagged ? kLogKindFlagged : kLogKindUnflagged);
  for (char c : text) put16(static_cast<USHORT>(static_cast<unsigned char>(c)));
  put16(0);
  return out;
}

}  // namespace testlib
