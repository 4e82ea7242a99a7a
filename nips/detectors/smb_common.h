// Shared pieces of the SMB, NetBIOS and port-scan detectors: well-known ports,
// the NetBIOS session header and SMB header checks; the generic helpers come
// from detector_common.h. Internal to nips/detectors. Everything here is
// callable at IRQL <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

#include "nips/detectors/detector_common.h"
#include "nips/detectors/ports.h"
#include "nips/engine/bytes.h"
#include "nips/engine/packet_view.h"
#include "nips/host/firewall.h"
#include "nips/tracking/tracking.h"

namespace smb {

// NetBIOS session header: message type at 0 (0x00 = session message), the
// length in the following three bytes; the SMB header starts at 4.
constexpr ULONG64 kNetbiosTypeOffset = 0;
constexpr UCHAR kNetbiosSessionMessage = 0x00;
constexpr ULONG64 kNetbiosLengthOffset = 2;  // low 16 bits of the length, big-endian
constexpr ULONG64 kNetbiosHeaderLength = 4;

// Protocol identifiers read as one little-endian u32 at offset 4.
constexpr ULONG64 kProtocolIdOffset = 4;
constexpr ULONG kSmb1ProtocolId = 0x424D53FF;              // FF 'S' 'M' 'B'
constexpr ULONG kSmb2ProtocolId = 0x424D53FE;              // FE 'S' 'M' 'B'
constexpr ULONG kSmb2CompressionTransformId = 0x424D53FC;  // FC 'S' 'M' 'B'

// SMB1 header fields (payload offsets).
constexpr ULONG64 kSmb1CommandOffset = 8;
constexpr ULONG64 kSmb1PidHighOffset = 16;
constexpr ULONG64 kSmb1TreeIdOffset = 28;
constexpr ULONG64 kSmb1UserIdOffset = 32;
constexpr ULONG64 kSmb1MultiplexIdOffset = 34;
// Payload length that holds the NetBIOS header, the 32-byte SMB1 header and
// the word count.
constexpr ULONG64 kSmb1MinimumLength = 36;

constexpr UCHAR kSmb1CommandRename = 0x07;
constexpr UCHAR kSmb1CommandTransaction = 0x25;
constexpr UCHAR kSmb1CommandTransactionSecondary = 0x26;
constexpr UCHAR kSmb1CommandCopy = 0x29;
constexpr UCHAR kSmb1CommandWriteAndX = 0x2F;
constexpr UCHAR kSmb1CommandTransaction2 = 0x32;
constexpr UCHAR kSmb1CommandTransaction2Secondary = 0x33;
constexpr UCHAR kSmb1CommandTreeDisconnect = 0x71;
constexpr UCHAR kSmb1CommandNegotiate = 0x72;
constexpr UCHAR kSmb1CommandSessionSetupAndX = 0x73;
constexpr UCHAR kSmb1CommandSearch = 0x81;
constexpr UCHAR kSmb1CommandNtTransact = 0xA0;

// SMB1 Transaction request: the data count of this message (payload offset).
constexpr ULONG64 kTransDataCountOffset = 59;

// SMB2 header fields.
constexpr ULONG64 kSmb2StructureSizeOffset = 8;
constexpr UCHAR kSmb2HeaderStructureSize = 0x40;
constexpr ULONG64 kSmb2CommandOffset = 16;
constexpr USHORT kSmb2CommandWrite = 9;
constexpr USHORT kSmb2CommandIoctl = 11;

using detector::DestinationPort;
using detector::SourcePort;
using detector::SwapPort;

// The two ports of the SMB service (NetBIOS session service and direct SMB).
inline bool IsSmbPort(USHORT port) { return port == kPortSmbDirect || port == kPortNetbiosSession; }

using detector::PayloadLength;
using detector::PayloadWithLength;

// Byte 0 is a NetBIOS session message and the given protocol identifier
// stands at offset 4.
inline bool HasSessionHeader(const ByteView& payload, ULONG protocolId) {
  UCHAR type;
  ULONG id;
  return ReadU8(payload, kNetbiosTypeOffset, &type) && type == kNetbiosSessionMessage &&
         ReadU32Le(payload, kProtocolIdOffset, &id) && id == protocolId;
}

// SMB1 session message whose command byte is command.
inline bool IsSmb1Command(const ByteView& payload, UCHAR command) {
  UCHAR actual;
  return HasSessionHeader(payload, kSmb1ProtocolId) &&
         ReadU8(payload, kSmb1CommandOffset, &actual) && actual == command;
}

using detector::AcquireSourceRecord;

}  // namespace smb
