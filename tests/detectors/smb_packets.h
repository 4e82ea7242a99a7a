// Payloads for the detectors: a NetBIOS session message, an SMB1/SMB2 header and the fields each
// detector reads (payload offsets, little-endian). Free of GoogleTest: the benchmarks use it too.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "testlib/fake_packet.h"

namespace dtest {

using testlib::Bytes;

struct Field {  // little-endian, 1, 2 or 4 bytes
  size_t offset;
  uint32_t value;
  int width = 2;
};

inline Bytes Put(Bytes b, std::initializer_list<Field> fields) {
  for (const Field& f : fields)
    for (int i = 0; i < f.width; ++i) b.at(f.offset + i) = static_cast<uint8_t>(f.value >> (8 * i));
  return b;
}
inline Bytes PutText(Bytes b, size_t offset, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) b.at(offset + i) = static_cast<uint8_t>(text[i]);
  return b;
}

// `length` (at least 8) bytes, the NetBIOS length consistent, then idByte "SMB".
inline Bytes SessionMessage(size_t length, uint8_t idByte) {
  const uint32_t n = static_cast<uint32_t>(length - 4);
  return Put(PutText(Bytes(length, 0), 5, "SMB"),
             {{1, n >> 16, 1}, {2, n >> 8, 1}, {3, n, 1}, {4, idByte, 1}});
}
inline Bytes Smb1(size_t n, uint8_t cmd) { return Put(SessionMessage(n, 0xFF), {{8, cmd, 1}}); }
inline Bytes Smb2(size_t length, uint16_t cmd) {
  return Put(SessionMessage(length, 0xFE), {{8, 0x40, 1}, {16, cmd}});
}

inline Bytes Negotiate(uint16_t pidHigh, uint16_t treeId = 0, uint16_t userId = 0,
                       size_t length = 36) {
  return Put(Smb1(length, 0x72), {{16, pidHigh}, {28, treeId}, {32, userId}});
}
inline Bytes NtCreate(uint32_t maxParams, uint32_t params, uint16_t function = 1) {
  return Put(Smb1(75, 0xA0), {{48, maxParams, 4}, {56, params, 4}, {73, function}});
}
inline Bytes Trans2(uint16_t maxParams, uint16_t params, uint16_t setup, size_t length = 67) {
  return Put(Smb1(length, 0x32), {{41, maxParams}, {55, params}, {65, setup}});
}
// Remote-administration Transaction; its parameters (opcode first) at paramOffset + 4.
inline Bytes Rap(uint16_t opcode, uint16_t maxParams, uint16_t maxData, uint16_t paramOffset = 76,
                 uint16_t paramCount = 19) {
  Bytes b =
      Put(Smb1(84, 0x25), {{41, maxParams}, {43, maxData}, {55, paramCount}, {57, paramOffset}});
  return paramOffset + 6u <= b.size() ? Put(b, {{paramOffset + 4u, opcode}}) : b;
}
// Mailslot write whose name area (byte count - data count bytes at 73) holds name.
inline Bytes MailslotWrite(const std::string& name, uint16_t maxParams = 0, size_t extra = 0,
                           uint16_t dataCount = 5) {
  const uint32_t byteCount = static_cast<uint32_t>(dataCount + name.size());
  Bytes b = Smb1(73 + name.size() + extra, 0x25);
  return PutText(Put(b, {{41, maxParams}, {59, dataCount}, {63, 3, 1}, {65, 1}, {71, byteCount}}),
                 73, name);
}
// A request whose byte count sits at offset (Search 41, Copy 43, Rename 39).
inline Bytes ByteCount(uint8_t cmd, size_t at, uint16_t n) {
  return Put(Smb1(at + 2, cmd), {{at, n}});
}
inline Bytes Smb2Write(uint16_t offset, size_t n) { return Put(Smb2(n, 9), {{70, offset}}); }
// An SMB2 reply whose NetBIOS length bytes 2..3 (big-endian) say netbiosLength.
inline Bytes Smb2Reply(size_t length, uint16_t netbiosLength) {
  return Put(Smb2(length, 1), {{2, uint32_t(netbiosLength >> 8), 1}, {3, netbiosLength, 1}});
}
// Session Setup AndX carrying NTLMSSP messages {k, type} at offset 48 + k.
inline Bytes SessionSetup(size_t length, const std::vector<std::pair<size_t, uint32_t>>& blobs) {
  Bytes b = Smb1(length, 0x73);
  for (const auto& [k, type] : blobs)
    b = Put(PutText(b, 48 + k, std::string("NTLMSSP") + '\0'), {{48 + k + 8, type, 4}});
  return b;
}
inline Bytes NtlmAuthenticate() { return SessionSetup(200, {{30, 3}}); }
inline Bytes Trans2Secondary(uint16_t total, uint16_t compared) {
  return Put(Smb1(65, 0x33), {{39, total}, {59, compared}});
}
inline Bytes TransSecondary(uint16_t total, uint16_t dataCount, size_t length = 55) {
  return Put(Smb1(length, 0x26), {{39, total}, {47, dataCount}});
}
inline Bytes Smb2Ioctl(uint32_t kind, uint32_t at144, uint32_t at156, size_t length = 160) {
  return Put(Smb2(length, 11), {{124, kind, 4}, {144, at144, 4}, {156, at156, 4}});
}
inline Bytes Trans2Probe(uint16_t mid, uint16_t sub) { return Put(Trans2(0, 0, sub), {{34, mid}}); }
inline Bytes Compression(uint32_t originalSize, uint32_t offset) {
  return Put(SessionMessage(20, 0xFC), {{8, originalSize, 4}, {16, offset, 4}});
}
inline Bytes SisCopy(uint16_t function = 2, uint32_t code = 0x00090100, uint32_t at89 = 1) {
  return Put(Smb1(98, 0xA0), {{73, function}, {75, code, 4}, {89, at89, 4}});
}

}  // namespace dtest
