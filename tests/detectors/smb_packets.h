// Payload builders for the SMB, NetBIOS and port-scan detectors: a NetBIOS
// session message with an SMB1/SMB2 header, and each request layout with the
// fields the detectors read. Free of GoogleTest so that the benchmarks can
// use it too. Offsets are payload offsets; SMB fields are little-endian.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "testlib/fake_packet.h"

namespace dtest {

using testlib::Bytes;

inline void PutU8(Bytes* b, size_t offset, uint8_t v) { b->at(offset) = v; }
inline void PutU16Le(Bytes* b, size_t offset, uint16_t v) {
  b->at(offset) = static_cast<uint8_t>(v);
  b->at(offset + 1) = static_cast<uint8_t>(v >> 8);
}
inline void PutU16Be(Bytes* b, size_t offset, uint16_t v) {
  b->at(offset) = static_cast<uint8_t>(v >> 8);
  b->at(offset + 1) = static_cast<uint8_t>(v);
}
inline void PutU32Le(Bytes* b, size_t offset, uint32_t v) {
  for (int i = 0; i < 4; ++i) b->at(offset + i) = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutText(Bytes* b, size_t offset, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) b->at(offset + i) = static_cast<uint8_t>(text[i]);
}

// NetBIOS session message of `length` bytes (its length field consistent)
// whose SMB header starts with idByte 'S' 'M' 'B'.
inline Bytes SessionMessage(size_t length, uint8_t idByte) {
  Bytes b(length, 0);
  if (length >= 4) {
    const size_t body = length - 4;
    b[1] = static_cast<uint8_t>(body >> 16);
    b[2] = static_cast<uint8_t>(body >> 8);
    b[3] = static_cast<uint8_t>(body);
  }
  const uint8_t id[4] = {idByte, 'S', 'M', 'B'};
  for (size_t i = 0; i < 4 && 4 + i < length; ++i) b[4 + i] = id[i];
  return b;
}

inline Bytes Smb1(size_t length, uint8_t command) {
  Bytes b = SessionMessage(length, 0xFF);
  if (length > 8) b[8] = command;
  return b;
}

inline Bytes Smb2(size_t length, uint16_t command) {
  Bytes b = SessionMessage(length, 0xFE);
  if (length > 8) b[8] = 0x40;  // header structure size
  if (length > 17) PutU16Le(&b, 16, command);
  return b;
}

// ---- SMB1 requests (2231, 2232, 2233, 3718) ----

inline Bytes Negotiate(uint16_t pidHigh, uint16_t treeId = 0, uint16_t userId = 0,
                       size_t length = 36) {
  Bytes b = Smb1(length, 0x72);
  PutU16Le(&b, 16, pidHigh);
  PutU16Le(&b, 28, treeId);
  PutU16Le(&b, 32, userId);
  return b;
}

inline Bytes NtTransactCreate(uint32_t maxParams, uint32_t params, uint16_t function = 1,
                              size_t length = 75) {
  Bytes b = Smb1(length, 0xA0);
  PutU32Le(&b, 48, maxParams);
  PutU32Le(&b, 56, params);
  if (length >= 75) PutU16Le(&b, 73, function);
  return b;
}

inline Bytes Trans2(uint16_t maxParams, uint16_t params, uint16_t setup, size_t length = 67) {
  Bytes b = Smb1(length, 0x32);
  PutU16Le(&b, 41, maxParams);
  PutU16Le(&b, 55, params);
  if (length >= 67) PutU16Le(&b, 65, setup);
  return b;
}

// Transaction request whose parameters start at paramOffset (counted from the
// SMB header), carrying a remote-administration opcode there.
inline Bytes RapTransaction(uint16_t opcode, uint16_t maxParams, uint16_t maxData,
                            size_t length = 84, uint16_t paramOffset = 76,
                            uint16_t paramCount = 19) {
  Bytes b = Smb1(length, 0x25);
  PutU16Le(&b, 41, maxParams);
  PutU16Le(&b, 43, maxData);
  PutU16Le(&b, 55, paramCount);
  PutU16Le(&b, 57, paramOffset);
  if (paramOffset + 4u + 2u <= length) PutU16Le(&b, paramOffset + 4u, opcode);
  return b;
}

// ---- SMB (3804, 3802, 6029, 6031, 6038, 6022, 6045) ----

// Transaction mailslot write whose name area (byte count - data count bytes
// at 73) holds name; extra zero bytes follow it.
inline Bytes MailslotWrite(const std::string& name, uint16_t maxParams = 0, size_t extra = 0,
                           uint16_t dataCount = 5) {
  Bytes b = Smb1(73 + name.size() + extra, 0x25);
  PutU16Le(&b, 41, maxParams);
  PutU16Le(&b, 59, dataCount);
  PutU8(&b, 63, 3);
  PutU16Le(&b, 65, 1);
  PutU16Le(&b, 71, static_cast<uint16_t>(dataCount + name.size()));
  PutText(&b, 73, name);
  return b;
}

// A request whose byte count sits at offset (Search 41, Copy 43, Rename 39).
inline Bytes ByteCountRequest(uint8_t command, size_t offset, uint16_t byteCount) {
  Bytes b = Smb1(offset + 2, command);
  PutU16Le(&b, offset, byteCount);
  return b;
}

inline Bytes Smb2Write(uint16_t dataOffset, size_t length) {
  Bytes b = Smb2(length, 9);
  PutU16Le(&b, 70, dataOffset);
  return b;
}

// SMB2 message from the server whose NetBIOS length (bytes 2..3) says
// netbiosLength.
inline Bytes Smb2Reply(size_t length, uint16_t netbiosLength) {
  Bytes b = Smb2(length, 1);
  PutU16Be(&b, 2, netbiosLength);
  return b;
}

// Session Setup AndX carrying NTLMSSP messages of the given types at scan
// positions k (the signature at offset 48 + k).
inline Bytes SessionSetup(size_t length, const std::vector<std::pair<size_t, uint32_t>>& blobs) {
  Bytes b = Smb1(length, 0x73);
  for (const auto& [k, type] : blobs) {
    PutText(&b, 48 + k, std::string("NTLMSSP") + '\0');
    PutU32Le(&b, 48 + k + 8, type);
  }
  return b;
}

inline Bytes NtlmAuthenticate() { return SessionSetup(200, {{30, 3}}); }

// ---- SMB and NetBIOS sessions (6095, 6097, 6100, 6119, 6157, 6175) ----

inline Bytes Trans2Secondary(uint16_t total, uint16_t compared, size_t length = 65) {
  Bytes b = Smb1(length, 0x33);
  PutU16Le(&b, 39, total);
  if (length >= 61) PutU16Le(&b, 59, compared);
  return b;
}

inline Bytes TransSecondary(uint16_t total, uint16_t dataCount, size_t length = 55) {
  Bytes b = Smb1(length, 0x26);
  PutU16Le(&b, 39, total);
  PutU16Le(&b, 47, dataCount);
  return b;
}

inline Bytes Smb2Ioctl(uint32_t kind, uint32_t at144, uint32_t at156, size_t length = 160) {
  Bytes b = Smb2(length, 11);
  PutU32Le(&b, 124, kind);
  PutU32Le(&b, 144, at144);
  PutU32Le(&b, 156, at156);
  return b;
}

inline Bytes Trans2Probe(uint16_t multiplexId, uint16_t subcommand, size_t length = 67) {
  Bytes b = Smb1(length, 0x32);
  PutU16Le(&b, 34, multiplexId);
  if (length >= 67) PutU16Le(&b, 65, subcommand);
  return b;
}

inline Bytes CompressionTransform(uint32_t originalSize, uint32_t offset, size_t length = 20) {
  Bytes b = SessionMessage(length, 0xFC);
  PutU32Le(&b, 8, originalSize);
  PutU32Le(&b, 16, offset);
  return b;
}

inline Bytes SisCopy(uint16_t function = 2, uint32_t code = 0x00090100, uint32_t at89 = 1,
                     size_t length = 98) {
  Bytes b = Smb1(length, 0xA0);
  PutU16Le(&b, 73, function);
  PutU32Le(&b, 75, code);
  PutU32Le(&b, 89, at89);
  return b;
}

// A short NetBIOS session message (keep-alive sized).
inline Bytes ShortSessionMessage(size_t length = 4) { return Bytes(length, 0); }

}  // namespace dtest
