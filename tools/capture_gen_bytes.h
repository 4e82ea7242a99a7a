// Byte-level helpers shared by the capture generator's payload builders.
#pragma once

#include <stdint.h>

#include <initializer_list>
#include <string>

#include "hostsim/packet_builder.h"

namespace capgen {

using hostsim::ByteVector;

inline void Le16(ByteVector* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}
inline void Le32(ByteVector* out, uint32_t v) {
  Le16(out, static_cast<uint16_t>(v));
  Le16(out, static_cast<uint16_t>(v >> 16));
}
inline void Le64(ByteVector* out, uint64_t v) {
  Le32(out, static_cast<uint32_t>(v));
  Le32(out, static_cast<uint32_t>(v >> 32));
}
inline void Be16(ByteVector* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}
inline void Be32(ByteVector* out, uint32_t v) {
  Be16(out, static_cast<uint16_t>(v >> 16));
  Be16(out, static_cast<uint16_t>(v));
}
// Byte by byte: GCC 12 misreads vector::insert of a short initializer list,
// inlined at -O2 under the thread sanitizer, as a read past the list.
inline void Put(ByteVector* out, std::initializer_list<uint8_t> bytes) {
  for (uint8_t byte : bytes) out->push_back(byte);
}
inline void Append(ByteVector* out, const ByteVector& more) {
  out->insert(out->end(), more.begin(), more.end());
}
inline void Append(ByteVector* out, const std::string& more) {
  out->insert(out->end(), more.begin(), more.end());
}

// A NetBIOS session message around an SMB message.
inline ByteVector Nbss(const ByteVector& message) {
  ByteVector out = {0x00, static_cast<uint8_t>(message.size() >> 16),
                    static_cast<uint8_t>(message.size() >> 8),
                    static_cast<uint8_t>(message.size())};
  Append(&out, message);
  return out;
}

}  // namespace capgen
