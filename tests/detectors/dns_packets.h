// DNS messages for the detector tests: header, names, questions and records
// in wire order (big-endian). Free of GoogleTest.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "testlib/fake_packet.h"

namespace dtest {
namespace dnsmsg {

using testlib::Bytes;

inline void Be16(Bytes& b, uint32_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
inline void Be32(Bytes& b, uint32_t v) {
  Be16(b, v >> 16);
  Be16(b, v);
}
// v big-endian at offset, in a copy.
inline Bytes Put16(Bytes b, size_t offset, uint16_t v) {
  b.at(offset) = static_cast<uint8_t>(v >> 8);
  b.at(offset + 1) = static_cast<uint8_t>(v);
  return b;
}
inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

constexpr uint8_t kQuery = 0x01;     // RD
constexpr uint8_t kResponse = 0x81;  // QR, RD
inline uint8_t Opcode(uint8_t opcode) { return static_cast<uint8_t>(opcode << 3); }

// Identifier 0x1234, the flags byte, the second flags byte 0, four counts.
inline Bytes Header(uint8_t flags, uint16_t c1, uint16_t c2, uint16_t c3 = 0, uint16_t c4 = 0) {
  Bytes b = {0x12, 0x34, flags, 0x00};
  for (uint16_t c : {c1, c2, c3, c4}) Be16(b, c);
  return b;
}
// "www.example.com" as labels with the terminating zero.
inline Bytes Name(const std::string& dotted) {
  Bytes b;
  size_t start = 0;
  while (start <= dotted.size() && !dotted.empty()) {
    size_t dot = dotted.find('.', start);
    if (dot == std::string::npos) dot = dotted.size();
    b.push_back(static_cast<uint8_t>(dot - start));
    b.insert(b.end(), dotted.begin() + start, dotted.begin() + dot);
    start = dot + 1;
  }
  b.push_back(0);
  return b;
}
inline const Bytes kPointerToQuestion = {0xC0, 0x0C};

inline Bytes Question(const Bytes& name, uint16_t type = 1) {
  Bytes b = name;
  Be16(b, type);
  Be16(b, 1);
  return b;
}
// A record: name, type, class IN, TTL 60, the given data length and data.
inline Bytes Record(const Bytes& name, uint16_t type, uint16_t dataLength, const Bytes& data = {}) {
  Bytes b = name;
  Be16(b, type);
  Be16(b, 1);
  Be32(b, 60);
  Be16(b, dataLength);
  b.insert(b.end(), data.begin(), data.end());
  return b;
}
inline Bytes Address(uint32_t a) {
  Bytes b;
  Be32(b, a);
  return b;
}
// The 16-byte answer of the loopback detector: pointer name, A, 4 data bytes.
inline Bytes AnswerA(uint32_t address, uint16_t dataLength = 4) {
  return Record(kPointerToQuestion, 1, dataLength, Address(address));
}

}  // namespace dnsmsg
}  // namespace dtest
