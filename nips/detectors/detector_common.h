// Pieces every detector family shares: the ports of the flow in host order,
// the two-call payload fetch, the source-record lookup and the byte-string
// search. Internal to nips/detectors. Callable at IRQL <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

#include "nips/engine/bytes.h"
#include "nips/engine/packet_view.h"
#include "nips/host/firewall.h"
#include "nips/tracking/tracking.h"

// First occurrence of the needle in the haystack, compared byte for byte:
// the lowest k with k <= haystackLength - needleLength. Null when there is
// none, when either pointer is null or either length is 0, or when the needle
// is longer than the haystack.
const UCHAR* FindBytes(const UCHAR* haystack, const UCHAR* needle, ULONG64 haystackLength,
                       ULONG64 needleLength);

namespace detector {

// The same search over a view: true with the needle's offset in *offset.
inline bool FindInView(const ByteView& haystack, ULONG64 from, const UCHAR* needle,
                       ULONG64 needleLength, ULONG64* offset) {
  ByteView rest;
  if (!SliceFrom(haystack, from, &rest)) return false;
  const UCHAR* found = FindBytes(rest.data, needle, rest.length, needleLength);
  if (found == nullptr) return false;
  *offset = from + static_cast<ULONG64>(found - rest.data);
  return true;
}

// Ports come from the core in network byte order.
inline USHORT SwapPort(USHORT networkOrder) {
  return static_cast<USHORT>((networkOrder >> 8) | (networkOrder << 8));
}
inline USHORT DestinationPort(PacketView* view) {
  return SwapPort(view->flow->GetDestinationPort());
}
inline USHORT SourcePort(PacketView* view) { return SwapPort(view->flow->GetSourcePort()); }

// Payload fetch of the detectors that learn the length first: one GetPayload
// call with 0 for the length, and, once the caller's length tests passed, a
// second call with that length for the pointer. The length the second call
// writes is the one every later test uses.
inline ULONG64 PayloadLength(PacketView* view) { return GetPayloadLength(view); }
inline bool PayloadWithLength(PacketView* view, ULONG64 learnedLength, ByteView* payload) {
  return GetPayloadView(view, learnedLength, payload);
}

// The source's host record with one reference for the caller: found, or
// created when missing. False (no reference held) when the creation fails.
inline bool AcquireSourceRecord(PacketView* view, HostRecord** record) {
  const HostAddress* source = view->flow->GetSourceAddress();
  *record = FindHostRecord(source);
  if (*record != nullptr) return true;
  return NT_SUCCESS(CreateHostRecord(source, record)) && *record != nullptr;
}

}  // namespace detector
