// DCE/RPC detectors. Three follow a TCP conversation to the endpoint mapper
// (135) or to SMB named pipes (139, 445): its first data packet must bind to
// the detector's interface, which is remembered as a conversation record of
// the detector's own kind, and the conversation's later requests are judged
// against that interface's abuse. A fourth judges single requests to dynamic
// ports by the strings of their stub. Only destination ports are examined.
#include "nips/detectors/dce_rpc.h"
#include "nips/detectors/ports.h"

#include "nips/detectors/detectors.h"
#include "nips/detectors/smb_common.h"
#include "nips/engine/signature.h"

namespace {

using namespace smb;

// Connection-oriented PDU fields (offsets from the PDU start, little-endian).
constexpr ULONG64 kPduVersionOffset = 0;
constexpr ULONG64 kPduMinorVersionOffset = 1;
constexpr ULONG64 kPduTypeOffset = 2;
constexpr ULONG64 kPduFragmentLengthOffset = 8;
constexpr ULONG64 kPduOpnumOffset = 22;
constexpr ULONG64 kPduBindInterfaceOffset = 32;
constexpr ULONG64 kPduRequestBodyOffset = 16;  // the UNC search starts here
constexpr ULONG64 kPduMinimumLength = 16;      // what a walk needs at each PDU
constexpr ULONG64 kInterfaceLength = 16;
constexpr UCHAR kRpcVersion = 5;
constexpr UCHAR kRpcMinorVersion = 0;
constexpr UCHAR kPduTypeRequest = 0;
constexpr UCHAR kPduTypeBind = 11;
// The activation operations of the two DCOM activation interfaces.
constexpr USHORT kOpnumRemoteActivation = 0;
constexpr USHORT kOpnumRemoteCreateInstance = 4;
constexpr ULONG64 kUtf16UnitBytes = 2;

// Interface UUIDs as they stand in a bind (first three fields little-endian).
constexpr UCHAR kRemoteScmActivatorInterface[kInterfaceLength] = {
    0xa0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr UCHAR kRemoteActivationInterface[kInterfaceLength] = {
    0xb8, 0x4a, 0x9f, 0x4d, 0x1c, 0x7d, 0xcf, 0x11, 0x86, 0x1e, 0x00, 0x20, 0xaf, 0x6e, 0x7c, 0x57};
constexpr UCHAR kLargeFragmentInterface[kInterfaceLength] = {
    0x60, 0x9e, 0xe7, 0xb9, 0x52, 0x3d, 0xce, 0x11, 0xaa, 0xa1, 0x00, 0x00, 0x69, 0x01, 0x29, 0x3f};
constexpr UCHAR kOpnum9Interface[kInterfaceLength] = {
    0x6a, 0x28, 0x19, 0x39, 0x0c, 0xb1, 0xd0, 0x11, 0x9b, 0xa8, 0x00, 0xc0, 0x4f, 0xd9, 0x2e, 0xf5};

// Two UTF-16LE backslashes, the start of a UNC path.
constexpr UCHAR kUncPrefix[] = {0x5C, 0x00, 0x5C, 0x00};
constexpr ULONG64 kUncPrefixLength = sizeof(kUncPrefix);
constexpr ULONG64 kUncMinimumArea = 40;  // bytes, before and after the prefix
constexpr ULONG64 kUncServerNameUnits = 40;
constexpr USHORT kUtf16Backslash = 0x005C;
constexpr USHORT kUtf16Nul = 0x0000;

// SMB1 carriage: the Transaction data offset (its data count is shared with
// the SMB detectors), the Write AndX byte count and data offset. Data offsets
// count from the SMB header, 4 bytes in.
constexpr ULONG64 kTransDataOffsetOffset = 61;
constexpr ULONG64 kWriteAndXDataOffsetOffset = 59;
constexpr ULONG64 kWriteAndXByteCountOffset = 65;

// Conversation kinds: one per detector, so that they never share a record.
constexpr USHORT kKindActivation = 2;
constexpr USHORT kKindLargeFragment = 3;
constexpr USHORT kKindOpnum9 = 4;

// Payload lengths below which a packet is not examined: on the SMB ports
// (NetBIOS and SMB1 headers in front) and on the endpoint mapper port.
constexpr ULONG64 kContinuationMinimumSmb = 89;
constexpr ULONG64 kContinuationMinimumEpm = 24;
constexpr ULONG64 kFirstPacketMinimumSmb = 137;
constexpr ULONG64 kFirstPacketMinimumEpm = 72;

constexpr USHORT kLargeFragmentInConversation = 34835;  // longer ones match
constexpr USHORT kLargeFragmentInBindPacket = 5000;     // longer ones match
constexpr USHORT kOpnum9 = 9;
constexpr USHORT kOpnum9MinimumFragment = 2048;

// Requests to dynamic ports: a server name, one or two more NDR conformant
// varying strings, then an 8-byte block.
constexpr ULONG64 kNamesMinimumLength = 61;
constexpr ULONG64 kNamesFlagsOffset = 3;
constexpr UCHAR kPduFlagsFirstAndLast = 3;
constexpr ULONG64 kFirstStringCountOffset = 36;
constexpr ULONG64 kFirstStringOffset = 40;
constexpr USHORT kNdrPadding = 0xABAB;
// Offsets beyond the first string's characters (2n bytes): the padding test,
// the second string's actual count without and with padding, and the lengths
// and block offsets of the two-string and three-string forms.
constexpr ULONG64 kSecondHeaderMinimum = 52;
constexpr ULONG64 kPaddedHeaderMinimum = 54;
constexpr ULONG64 kSecondCountOffset = 48;
constexpr ULONG64 kPaddedSecondCountOffset = 50;
constexpr ULONG64 kTwoStringsLength = 60;  // beyond 2(n + m)
constexpr ULONG64 kTwoStringsBlockOffset = 52;
constexpr ULONG64 kPaddedTwoStringsLength = 62;
constexpr ULONG64 kPaddedTwoStringsBlockOffset = 54;
constexpr ULONG64 kThreeStringsThreshold = 72;  // longer requests carry a third string
constexpr ULONG64 kThirdCountOffset = 62;
constexpr ULONG64 kThreeStringsLength = 74;  // beyond 2(n + m + d)
constexpr ULONG64 kThreeStringsBlockOffset = 66;

bool ReadPduType(const ByteView& pdu, UCHAR* type) { return ReadU8(pdu, kPduTypeOffset, type); }

bool ReadFragmentLength(const ByteView& pdu, USHORT* length) {
  return ReadU16Le(pdu, kPduFragmentLengthOffset, length);
}

// The bind at start and its interface; false when either does not fit.
bool IsBindTo(const ByteView& payload, ULONG64 start, const UCHAR* interfaceBytes) {
  ByteView pdu;
  return SliceFrom(payload, start, &pdu) && IsRpcBind(pdu) &&
         BytesEqual(pdu, kPduBindInterfaceOffset, interfaceBytes, kInterfaceLength);
}

// Visits the PDUs from start, each the previous one's fragment length
// further on, for as long as 16 bytes of a version 5.0 PDU fit. visit gets
// the PDU's view (to the end of the payload) and returns true to stop the
// walk, which then returns true. A fragment length of 0 ends the walk, and
// every step advances, so the walk always ends.
template <typename Visit>
bool WalkPdus(const ByteView& payload, ULONG64 start, Visit visit) {
  ULONG64 q = start;
  for (;;) {
    ByteView pdu;
    if (!Fits(payload, q, kPduMinimumLength) || !SliceFrom(payload, q, &pdu) ||
        !IsRpcVersion5(pdu)) {
      return false;
    }
    if (visit(pdu)) return true;
    USHORT fragmentLength;
    if (!ReadFragmentLength(pdu, &fragmentLength) || fragmentLength == 0) return false;
    q += fragmentLength;
  }
}

// Where the DCE/RPC data starts. On the SMB ports an SMB1 Transaction (and,
// when writeAndX is set, a Write AndX) carries it at its data offset + 4;
// any other payload is walked from 0. False when the carrier announces no
// data or a data offset that lies outside the payload.
bool LocatePdu(const ByteView& payload, USHORT port, bool writeAndX, ULONG64* start) {
  *start = 0;
  if (!IsSmbPort(port) || !HasSessionHeader(payload, kSmb1ProtocolId)) return true;
  UCHAR command;
  if (!ReadU8(payload, kSmb1CommandOffset, &command)) return false;
  USHORT count, dataOffset;
  if (command == kSmb1CommandTransaction) {
    if (!ReadU16Le(payload, kTransDataCountOffset, &count) || count == 0 ||
        !ReadU16Le(payload, kTransDataOffsetOffset, &dataOffset)) {
      return false;
    }
  } else if (writeAndX && command == kSmb1CommandWriteAndX) {
    if (!ReadU16Le(payload, kWriteAndXByteCountOffset, &count) || count == 0 ||
        !ReadU16Le(payload, kWriteAndXDataOffsetOffset, &dataOffset)) {
      return false;
    }
  } else {
    return true;
  }
  const ULONG64 carried = static_cast<ULONG64>(dataOffset) + kNetbiosHeaderLength;
  if (dataOffset == 0 || payload.length < carried) return false;
  *start = carried;
  return true;
}

ULONG64 MinimumLength(USHORT port, ULONG64 onSmbPorts, ULONG64 onEndpointMapper) {
  return IsSmbPort(port) ? onSmbPorts : onEndpointMapper;
}

// What the first data packet of a conversation showed.
enum class FirstPacket {
  kNothing,  // no bind to the interface: nothing is remembered
  kMatch,    // the bind and an abusive request in one packet: nothing is remembered
  kBound,    // the bind alone: the conversation is remembered
};

struct ConversationTests {
  USHORT kind;
  bool (*examinesPort)(USHORT port);
  // A remembered conversation's later packet: kDetectMatch or kDetectNoMatch.
  ULONG (*continuation)(const ByteView& payload, USHORT port);
  FirstPacket (*firstPacket)(const ByteView& payload, USHORT port);
};

// Steps shared by the three conversation detectors. A SYN is ignored even
// when it carries data; a FIN or RST forgets the conversation. The found
// record's reference is given back on every path.
ULONG InspectConversation(PacketView* view, const ConversationTests& tests) {
  const USHORT port = DestinationPort(view);
  if (!tests.examinesPort(port)) return kDetectNoMatch;
  const UCHAR flags = view->data->GetTcpFlags();
  if ((flags & kTcpFlagSyn) != 0) return kDetectNoMatch;

  const HostAddress* destination = view->flow->GetDestinationAddress();
  const USHORT sourcePort = SourcePort(view);
  const HostAddress* source = view->flow->GetSourceAddress();
  ConversationRecord* record =
      FindConversationRecord(source, destination, sourcePort, port, tests.kind);

  if ((flags & (kTcpFlagFin | kTcpFlagRst)) != 0) {
    if (record != nullptr) {
      RemoveConversationRecord(record);
      ReleaseConversationRecord(record, true);
    }
    return kDetectNoMatch;
  }

  ULONG result = kDetectNoMatch;
  ByteView payload;
  if (GetPayloadView(view, &payload)) {
    if (record != nullptr) {
      result = tests.continuation(payload, port);
    } else {
      switch (tests.firstPacket(payload, port)) {
        case FirstPacket::kMatch:
          result = kDetectMatch;
          break;
        case FirstPacket::kBound: {
          ConversationRecord* created = nullptr;
          if (!NT_SUCCESS(CreateConversationRecord(source, destination, sourcePort, port,
                                                   tests.kind, &created)) ||
              created == nullptr) {
            result = kDetectError;
          } else {
            ReleaseConversationRecord(created, true);
          }
          break;
        }
        case FirstPacket::kNothing:
          break;
      }
    }
  }
  if (record != nullptr) ReleaseConversationRecord(record, true);
  return result;
}

// ---- 3721: DCOM activation with a long UNC server name ----------------------

bool ExaminesRpcAndPipePorts(USHORT port) {
  return port == kPortRpcEndpointMapper || IsSmbPort(port);
}

bool IsActivationAbuse(const ByteView& pdu) {
  ByteView body;
  return IsRpcRequestOpnum0or4(pdu) && SliceFrom(pdu, kPduRequestBodyOffset, &body) &&
         HasLongUncServerName(body);
}

ULONG ActivationContinuation(const ByteView& payload, USHORT port) {
  ULONG64 start;
  if (payload.length < MinimumLength(port, kContinuationMinimumSmb, kContinuationMinimumEpm) ||
      !LocatePdu(payload, port, false, &start)) {
    return kDetectNoMatch;
  }
  return WalkPdus(payload, start, IsActivationAbuse) ? kDetectMatch : kDetectNoMatch;
}

FirstPacket ActivationFirstPacket(const ByteView& payload, USHORT port) {
  ULONG64 start;
  if (payload.length < MinimumLength(port, kFirstPacketMinimumSmb, kFirstPacketMinimumEpm) ||
      !LocatePdu(payload, port, false, &start)) {
    return FirstPacket::kNothing;
  }
  ByteView bind, uuid;
  USHORT bindLength;
  if (!SliceFrom(payload, start, &bind) || !IsRpcBind(bind) ||
      !Slice(bind, kPduBindInterfaceOffset, kInterfaceLength, &uuid) ||
      !IsActivationInterface(uuid) || !ReadFragmentLength(bind, &bindLength)) {
    return FirstPacket::kNothing;
  }
  return WalkPdus(payload, start + bindLength, IsActivationAbuse) ? FirstPacket::kMatch
                                                                  : FirstPacket::kBound;
}

// ---- 3722: large request fragments after a bind on the endpoint mapper -----

bool ExaminesEndpointMapperPort(USHORT port) { return port == kPortRpcEndpointMapper; }

// A request whose fragment length is greater than limit.
bool IsRequestLongerThan(const ByteView& pdu, USHORT limit) {
  UCHAR type;
  USHORT fragmentLength;
  return ReadPduType(pdu, &type) && type == kPduTypeRequest &&
         ReadFragmentLength(pdu, &fragmentLength) && fragmentLength > limit;
}

// Every PDU of the segment is looked at; any one long request matches.
ULONG LargeFragmentContinuation(const ByteView& payload, USHORT) {
  ULONG result = kDetectNoMatch;
  WalkPdus(payload, 0, [&result](const ByteView& pdu) {
    if (IsRequestLongerThan(pdu, kLargeFragmentInConversation)) result = kDetectMatch;
    return false;
  });
  return result;
}

FirstPacket LargeFragmentFirstPacket(const ByteView& payload, USHORT) {
  USHORT bindLength;
  if (payload.length <= kFirstPacketMinimumEpm || !IsBindTo(payload, 0, kLargeFragmentInterface) ||
      !ReadFragmentLength(payload, &bindLength)) {
    return FirstPacket::kNothing;
  }
  const bool abused = WalkPdus(payload, bindLength, [](const ByteView& pdu) {
    return IsRequestLongerThan(pdu, kLargeFragmentInBindPacket);
  });
  return abused ? FirstPacket::kMatch : FirstPacket::kBound;
}

// ---- 3724: operation 9 with a large fragment --------------------------------

bool IsOpnum9LargeFragment(const ByteView& pdu) {
  UCHAR type;
  USHORT opnum, fragmentLength;
  return ReadPduType(pdu, &type) && type == kPduTypeRequest &&
         ReadU16Le(pdu, kPduOpnumOffset, &opnum) && opnum == kOpnum9 &&
         ReadFragmentLength(pdu, &fragmentLength) && fragmentLength >= kOpnum9MinimumFragment;
}

ULONG Opnum9Continuation(const ByteView& payload, USHORT port) {
  ULONG64 start;
  if (payload.length < MinimumLength(port, kContinuationMinimumSmb, kContinuationMinimumEpm) ||
      !LocatePdu(payload, port, true, &start)) {
    return kDetectNoMatch;
  }
  return WalkPdus(payload, start, IsOpnum9LargeFragment) ? kDetectMatch : kDetectNoMatch;
}

FirstPacket Opnum9FirstPacket(const ByteView& payload, USHORT port) {
  ULONG64 start;
  if (payload.length < MinimumLength(port, kFirstPacketMinimumSmb, kFirstPacketMinimumEpm) ||
      !LocatePdu(payload, port, true, &start)) {
    return FirstPacket::kNothing;
  }
  ByteView bind;
  USHORT bindLength;
  if (!IsBindTo(payload, start, kOpnum9Interface) || !SliceFrom(payload, start, &bind) ||
      !ReadFragmentLength(bind, &bindLength)) {
    return FirstPacket::kNothing;
  }
  return WalkPdus(payload, start + bindLength, IsOpnum9LargeFragment) ? FirstPacket::kMatch
                                                                      : FirstPacket::kBound;
}

constexpr ConversationTests kActivationTests = {kKindActivation, ExaminesRpcAndPipePorts,
                                                ActivationContinuation, ActivationFirstPacket};
constexpr ConversationTests kLargeFragmentTests = {kKindLargeFragment, ExaminesEndpointMapperPort,
                                                   LargeFragmentContinuation,
                                                   LargeFragmentFirstPacket};
constexpr ConversationTests kOpnum9Tests = {kKindOpnum9, ExaminesRpcAndPipePorts,
                                            Opnum9Continuation, Opnum9FirstPacket};

// ---- 6182: server name, strings, zero block ---------------------------------

// The 8 bytes at offset exist and are all zero.
ULONG ZeroBlockAt(const ByteView& payload, ULONG64 offset) {
  ULONG64 block;
  return ReadU64Le(payload, offset, &block) && block == 0 ? kDetectMatch : kDetectNoMatch;
}

}  // namespace

// ---- Shared PDU tests ----------------------------------------------------------

bool IsRpcVersion5(const ByteView& pdu) {
  UCHAR version, minor;
  return ReadU8(pdu, kPduVersionOffset, &version) && version == kRpcVersion &&
         ReadU8(pdu, kPduMinorVersionOffset, &minor) && minor == kRpcMinorVersion;
}

bool IsRpcBind(const ByteView& pdu) {
  UCHAR type;
  return pdu.length >= kPduMinimumLength && IsRpcVersion5(pdu) && ReadPduType(pdu, &type) &&
         type == kPduTypeBind;
}

bool IsRpcRequestOpnum0or4(const ByteView& pdu) {
  UCHAR type;
  USHORT opnum;
  return IsRpcVersion5(pdu) && ReadPduType(pdu, &type) && type == kPduTypeRequest &&
         ReadU16Le(pdu, kPduOpnumOffset, &opnum) &&
         (opnum == kOpnumRemoteCreateInstance || opnum == kOpnumRemoteActivation);
}

bool IsActivationInterface(const ByteView& uuid) {
  return BytesEqual(uuid, 0, kRemoteScmActivatorInterface, kInterfaceLength) ||
         BytesEqual(uuid, 0, kRemoteActivationInterface, kInterfaceLength);
}

// Only the first backslash pair is examined, as a server name right behind it.
bool HasLongUncServerName(const ByteView& area) {
  if (area.length < kUncMinimumArea) return false;
  ULONG64 prefixAt;
  ByteView rest;
  if (!detector::FindInView(area, 0, kUncPrefix, kUncPrefixLength, &prefixAt) ||
      !SliceFrom(area, prefixAt + kUncPrefixLength, &rest) || rest.length < kUncMinimumArea) {
    return false;
  }
  for (ULONG64 unit = 0; unit < kUncServerNameUnits; ++unit) {
    USHORT value;
    if (!ReadU16Le(rest, unit * kUtf16UnitBytes, &value)) return false;
    if (value == kUtf16Backslash || value == kUtf16Nul) return false;
  }
  return true;
}

// ---- Detectors -------------------------------------------------------------------

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectActivationLongUncPath(PacketView* view) {
  return InspectConversation(view, kActivationTests);
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectRpcLargeRequestFragment(PacketView* view) {
  return InspectConversation(view, kLargeFragmentTests);
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectRpcOpnum9LargeFragment(PacketView* view) {
  return InspectConversation(view, kOpnum9Tests);
}

// IRQL: <= DISPATCH_LEVEL. Offsets grow with counts taken from the packet;
// they are formed in 64 bits, where no u32 count can make them wrap.
ULONG DetectRpcZeroBlockAfterNames(PacketView* view) {
  if (DestinationPort(view) < kDynamicPortFirst) return kDetectNoMatch;
  const ULONG64 learned = PayloadLength(view);
  if (learned < kNamesMinimumLength) return kDetectNoMatch;
  ByteView p;
  if (!PayloadWithLength(view, learned, &p)) return kDetectNoMatch;
  const ULONG64 length = p.length;

  UCHAR type, flags;
  ULONG n;
  if (!ReadPduType(p, &type) || type != kPduTypeRequest || !ReadU8(p, kNamesFlagsOffset, &flags) ||
      flags != kPduFlagsFirstAndLast || !ReadU32Le(p, kFirstStringCountOffset, &n)) {
    return kDetectNoMatch;
  }
  const ULONG64 first = kUtf16UnitBytes * static_cast<ULONG64>(n);  // bytes of the first string
  USHORT afterFirst;
  if (length < first + kSecondHeaderMinimum ||
      !BytesEqual(p, kFirstStringOffset, kUncPrefix, kUncPrefixLength) ||
      !ReadU16Le(p, kFirstStringOffset + first, &afterFirst)) {
    return kDetectNoMatch;
  }

  ULONG m;
  ULONG64 both;  // 2(n + m): bytes of the first two strings
  if (afterFirst == kNdrPadding) {
    if (length < first + kPaddedHeaderMinimum ||
        !ReadU32Le(p, first + kPaddedSecondCountOffset, &m)) {
      return kDetectNoMatch;
    }
    both = first + kUtf16UnitBytes * static_cast<ULONG64>(m);
    if (length < both + kPaddedTwoStringsLength) return kDetectNoMatch;
    if (length == both + kPaddedTwoStringsLength) {
      return ZeroBlockAt(p, both + kPaddedTwoStringsBlockOffset);
    }
  } else {
    if (!ReadU32Le(p, first + kSecondCountOffset, &m)) return kDetectNoMatch;
    both = first + kUtf16UnitBytes * static_cast<ULONG64>(m);
  }

  // A longer padded request is judged at the unpadded offsets from here on.
  if (length < both + kTwoStringsLength) return kDetectNoMatch;
  if (length == both + kTwoStringsLength) return ZeroBlockAt(p, both + kTwoStringsBlockOffset);
  if (length <= both + kThreeStringsThreshold) return kDetectNoMatch;
  ULONG d;
  if (!ReadU32Le(p, both + kThirdCountOffset, &d)) return kDetectNoMatch;
  const ULONG64 all = both + kUtf16UnitBytes * static_cast<ULONG64>(d);  // 2(n + m + d)
  if (length < all + kThreeStringsLength) return kDetectNoMatch;
  return ZeroBlockAt(p, all + kThreeStringsBlockOffset);
}
