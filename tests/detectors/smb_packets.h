// Payload builders for the SMB, NetBIOS and port-scan detectors: a NetBIOS
// session message with an SMB1/SMB2 header and each request layout with the
// fields the detectors read. Free of GoogleTest so that the benchmarks can use
// it too. Offsets are payload offsets; SMB fields are little-endian.
#pragma once

#include <stdint.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "testlib/fake_packet.h"

namespace dtest {

using testlib::Bytes;

// One little-endian field of 1, 2 or 4 bytes.
struct Field {
  size_t offset;
  uint32_t value;
  int width = 2;
};

inline Bytes Put(Bytes b, std::initializer_list<Field> fields) {
  for (const Field& f : fields) {
    for (int i = 0; i < f.width; ++i) b.at(f.offset + i) = static_cast<uint8_t>(f.value >> (8 * i));
  }
  return b;
}
inline Bytes PutText(Bytes b, size_t offset, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) b.at(offset + i) = static_cast<uint8_t>(text[i]);
  return b;
}

// NetBIOS session message of `length` (at least 8) bytes, its length field
// consistent, whose SMB header starts with idByte 'S' 'M' 'B'.
inline Bytes SessionMessage(size_t length, uint8_t idByte) {
  Bytes b(length, 0);
  const size_t body = length - 4;
  b[1] = static_cast<uint8_t>(body >> 16);
  b[2] = static_cast<uint8_t>(body >> 8);
  b[3] = static_cast<uint8_t>(body);
  return PutText(b, 4, std::string(1, static_cast<char>(idByte)) + "SMB");
}

inline Bytes Smb1(size_t length, uint8_t command) {
  return Put(SessionMessage(length, 0xFF), {{8, command, 1}});
}
// Header structure size 0x40 at 8, the command at 16.
inline Bytes Smb2(size_t length, uint16_t command) {
  return Put(SessionMessage(length, 0xFE), {{8, 0x40, 1}, {16, command}});
}

inline Bytes Negotiate(uint16_t pidHigh, uint16_t treeId = 0, uint16_t userId = 0,
                       size_t length = 36) {
  return Put(Smb1(length, 0x72), {{16, pidHigh}, {28, treeId}, {32, userId}});
}
inline Bytes NtTransactCreate(uint32_t maxParams, uint32_t params, uint16_t function = 1) {
  return Put(Smb1(75, 0xA0), {{48, maxParams, 4}, {56, params, 4}, {73, function}});
}
inline Bytes Trans2(uint16_t maxParams, uint16_t params, uint16_t setup, size_t length = 67) {
  return Put(Smb1(length, 0x32), {{41, maxParams}, {55, params}, {65, setup}});
}
// Transaction request whose parameters start at paramOffset (counted from the
// SMB header), carrying a remote-administration opcode there when it fits.
inline Bytes RapTransaction(uint16_t opcode, uint16_t maxParams, uint16_t maxData,
                            uint16_t paramOffset = 76, uint16_t paramCount = 19) {
  Bytes b =
      Put(Smb1(84, 0x25), {{41, maxParams}, {43, maxData}, {55, paramCount}, {57, paramOffset}});
  return paramOffset + 6u <= b.size() ? Put(b, {{paramOffset + 4u, opcode}}) : b;
}
// Transaction mailslot write whose name area (byte count - data count bytes
// at 73) holds name; `extra` zero bytes follow it.
inline Bytes MailslotWrite(const std::string& name, uint16_t maxParams = 0, size_t extra = 0,
                           uint16_t dataCount = 5) {
  Bytes b = Put(Smb1(73 + name.size() + extra, 0x25),
                {{41, maxParams},
                 {59, dataCount},
                 {63, 3, 1},
                 {65, 1},
                 {71, static_cast<uint32_t>(dataCount + name.size())}});
  return PutText(b, 73, name);
}
// A request whose byte count sits at offset (Search 41, Copy 43, Rename 39).
inline Bytes ByteCountRequest(uint8_t command, size_t offset, uint16_t byteCount) {
  return Put(Smb1(offset + 2, command), {{offset, byteCount}});
}
inline Bytes Smb2Write(uint16_t dataOffset, size_t length) {
  return Put(Smb2(length, 9), {{70, dataOffset}});
}
// SMB2 message from the server whose NetBIOS length (bytes 2..3, big-endian)
// says netbiosLength.
inline Bytes Smb2Reply(size_t length, uint16_t netbiosLength) {
  return Put(Smb2(length, 1),
             {{2, static_cast<uint32_t>(netbiosLength >> 8), 1}, {3, netbiosLength, 1}});
}
// Session Setup AndX carrying NTLMSSP messages of the given types at scan
// positions k (the signature at offset 48 + k).
inline Bytes SessionSetup(size_t length, const std::vector<std::pair<size_t, uint32_t>>& blobs) {
  Bytes b = Smb1(length, 0x73);
  for (const auto& [k, type] : blobs) {
    b = Put(PutText(b, 48 + k, std::string("NTLMSSP") + '\0'), {{48 + k + 8, type, 4}});
  }
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
inline Bytes Trans2Probe(uint16_t multiplexId, uint16_t subcommand) {
  return Put(Trans2(0, 0, subcommand), {{34, multiplexId}});
}
inline Bytes CompressionTransform(uint32_t originalSize, uint32_t offset) {
  return Put(SessionMessage(20, 0xFC), {{8, originalSize, 4}, {16, offset, 4}});
}
inline Bytes SisCopy(uint16_t function = 2, uint32_t code = 0x00090100, uint32_t at89 = 1) {
  return Put(Smb1(98, 0xA0), {{73, function}, {75, code, 4}, {89, at89, 4}});
}

}  // namespace dtest
