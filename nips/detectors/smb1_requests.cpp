// Stateless checks of single SMB1 requests over TCP: a Negotiate with a high
// process-id word, NT Transact create and Transaction2 open requests asking for
// too few parameter bytes, and a remote-administration enumeration that allows
// nothing back. Fields sit at the fixed offsets of each request layout; the
// parameter-word count is deliberately not consulted.
#include "nips/detectors/detectors.h"
#include "nips/detectors/smb_common.h"
#include "nips/engine/signature.h"

namespace {

using namespace smb;

// Negotiate (0x72).
constexpr ULONG64 kNegotiateMinimumLength = 36;
constexpr USHORT kAnonymousId = 0xFFFF;

// NT Transact create (0xA0, function 1).
constexpr ULONG64 kNtTransactMinimumLength = 73;
constexpr ULONG64 kNtTransactMaxParameterCountOffset = 48;
constexpr ULONG64 kNtTransactParameterCountOffset = 56;
constexpr ULONG64 kNtTransactFunctionOffset = 73;
constexpr USHORT kNtTransactFunctionCreate = 1;
constexpr ULONG kNtCreateMinimumMaxParameterCount = 69;
constexpr ULONG kNtCreateMinimumParameterCount = 54;

// Transaction2 open (0x32, setup word 0).
constexpr ULONG64 kTrans2MinimumLength = 65;
constexpr ULONG64 kTransMaxParameterCountOffset = 41;  // also Transaction (0x25)
constexpr ULONG64 kTransMaxDataCountOffset = 43;
constexpr ULONG64 kTransParameterCountOffset = 55;
constexpr ULONG64 kTransParameterOffsetOffset = 57;
constexpr ULONG64 kTrans2FirstSetupOffset = 65;
constexpr USHORT kTrans2SubcommandOpen = 0;
constexpr USHORT kOpenMinimumMaxParameterCount = 30;
constexpr USHORT kOpenMinimumParameterCount = 29;

// Remote administration over a Transaction request (0x25), port 139 only.
constexpr ULONG64 kRapMinimumLength = 84;
constexpr USHORT kRapShareEnum = 0;
constexpr USHORT kRapServerEnum2 = 104;
constexpr USHORT kRapServerEnum3 = 215;

bool PortIsSmb(PacketView* view) { return IsSmbPort(DestinationPort(view)); }

// Length first, the pointer only when the length is enough.
bool FetchPayloadAtLeast(PacketView* view, ULONG64 minimumLength, ByteView* payload) {
  ULONG64 length = PayloadLength(view);
  if (length < minimumLength) return false;
  return PayloadWithLength(view, length, payload);
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL. Bound to a row with protocol mask 0, so never run.
ULONG DetectNone(PacketView* view) {
  UNREFERENCED_PARAMETER(view);
  return kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectSmbNegotiateHighPid(PacketView* view) {
  if (!PortIsSmb(view)) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kNegotiateMinimumLength, &payload)) return kDetectNoMatch;
  if (!HasSessionHeader(payload, kSmb1ProtocolId)) return kDetectNoMatch;
  USHORT treeId, userId;
  if (!ReadU16Le(payload, kSmb1TreeIdOffset, &treeId) ||
      !ReadU16Le(payload, kSmb1UserIdOffset, &userId)) {
    return kDetectNoMatch;
  }
  if (treeId == kAnonymousId && userId == kAnonymousId) return kDetectNoMatch;
  UCHAR command;
  if (!ReadU8(payload, kSmb1CommandOffset, &command) || command != kSmb1CommandNegotiate) {
    return kDetectNoMatch;
  }
  USHORT pidHigh;
  if (!ReadU16Le(payload, kSmb1PidHighOffset, &pidHigh)) return kDetectNoMatch;
  return pidHigh != 0 ? kDetectMatch : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectNtTransactCreateSmallParams(PacketView* view) {
  if (!PortIsSmb(view)) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kNtTransactMinimumLength, &payload)) return kDetectNoMatch;
  if (!IsSmb1Command(payload, kSmb1CommandNtTransact)) return kDetectNoMatch;
  USHORT function;
  if (!ReadU16Le(payload, kNtTransactFunctionOffset, &function) ||
      function != kNtTransactFunctionCreate) {
    return kDetectNoMatch;
  }
  ULONG maxParameterCount, parameterCount;
  if (!ReadU32Le(payload, kNtTransactMaxParameterCountOffset, &maxParameterCount)) {
    return kDetectNoMatch;
  }
  if (maxParameterCount < kNtCreateMinimumMaxParameterCount) return kDetectMatch;
  if (!ReadU32Le(payload, kNtTransactParameterCountOffset, &parameterCount)) {
    return kDetectNoMatch;
  }
  return parameterCount < kNtCreateMinimumParameterCount ? kDetectMatch : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectTrans2Open2SmallParams(PacketView* view) {
  if (!PortIsSmb(view)) return kDetectNoMatch;
  ByteView payload;
  if (!FetchPayloadAtLeast(view, kTrans2MinimumLength, &payload)) return kDetectNoMatch;
  if (!IsSmb1Command(payload, kSmb1CommandTransaction2)) return kDetectNoMatch;
  USHORT maxParameterCount, parameterCount;
  if (!ReadU16Le(payload, kTransMaxParameterCountOffset, &maxParameterCount) ||
      !ReadU16Le(payload, kTransParameterCountOffset, &parameterCount)) {
    return kDetectNoMatch;
  }
  if (maxParameterCount >= kOpenMinimumMaxParameterCount &&
      parameterCount >= kOpenMinimumParameterCount) {
    return kDetectNoMatch;
  }
  USHORT subcommand;
  if (!ReadU16Le(payload, kTrans2FirstSetupOffset, &subcommand)) return kDetectNoMatch;
  return subcommand == kTrans2SubcommandOpen ? kDetectMatch : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL. One GetPayload call gives both length and pointer.
ULONG DetectRapEnumZeroMaxCounts(PacketView* view) {
  if (DestinationPort(view) != kPortNetbiosSession) return kDetectNoMatch;
  ByteView payload;
  if (!GetPayloadView(view, &payload) || payload.length < kRapMinimumLength) {
    return kDetectNoMatch;
  }
  if (!IsSmb1Command(payload, kSmb1CommandTransaction)) return kDetectNoMatch;
  USHORT parameterCount, parameterOffset;
  if (!ReadU16Le(payload, kTransParameterCountOffset, &parameterCount) ||
      !ReadU16Le(payload, kTransParameterOffsetOffset, &parameterOffset) || parameterCount == 0 ||
      parameterOffset == 0) {
    return kDetectNoMatch;
  }
  // The parameter offset counts from the SMB header, which starts after the
  // NetBIOS header.
  USHORT opcode;
  if (!ReadU16Le(payload, static_cast<ULONG64>(parameterOffset) + kNetbiosHeaderLength, &opcode)) {
    return kDetectNoMatch;
  }
  if (opcode != kRapShareEnum && opcode != kRapServerEnum2 && opcode != kRapServerEnum3) {
    return kDetectNoMatch;
  }
  USHORT maxParameterCount, maxDataCount;
  if (!ReadU16Le(payload, kTransMaxParameterCountOffset, &maxParameterCount) ||
      !ReadU16Le(payload, kTransMaxDataCountOffset, &maxDataCount)) {
    return kDetectNoMatch;
  }
  return maxParameterCount == 0 || maxDataCount == 0 ? kDetectMatch : kDetectNoMatch;
}
