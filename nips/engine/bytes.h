// Bounds-checked readers for packet bytes. Every byte a detector reads goes
// through these: a read that does not fit inside the view returns false and
// touches nothing past its end. Offsets and lengths are 64-bit and compared
// without forming an end pointer, so no arithmetic can wrap. Callable at any
// IRQL.
#pragma once

#include <ntddk.h>

struct PacketView;

struct ByteView {
  const UCHAR* data;
  ULONG64 length;
};

// True when [offset, offset + count) lies inside the view.
inline bool Fits(const ByteView& view, ULONG64 offset, ULONG64 count) {
  return offset <= view.length && count <= view.length - offset && (count == 0 || view.data);
}

inline bool ReadU8(const ByteView& view, ULONG64 offset, UCHAR* out) {
  if (!Fits(view, offset, 1)) return false;
  *out = view.data[offset];
  return true;
}

inline bool ReadU16Le(const ByteView& view, ULONG64 offset, USHORT* out) {
  if (!Fits(view, offset, 2)) return false;
  const UCHAR* p = view.data + offset;
  *out = static_cast<USHORT>(p[0] | p[1] << 8);
  return true;
}

inline bool ReadU16Be(const ByteView& view, ULONG64 offset, USHORT* out) {
  if (!Fits(view, offset, 2)) return false;
  const UCHAR* p = view.data + offset;
  *out = static_cast<USHORT>(p[0] << 8 | p[1]);
  return true;
}

inline bool ReadU32Le(const ByteView& view, ULONG64 offset, ULONG* out) {
  if (!Fits(view, offset, 4)) return false;
  const UCHAR* p = view.data + offset;
  *out = static_cast<ULONG>(p[0]) | static_cast<ULONG>(p[1]) << 8 | static_cast<ULONG>(p[2]) << 16 |
         static_cast<ULONG>(p[3]) << 24;
  return true;
}

inline bool ReadU32Be(const ByteView& view, ULONG64 offset, ULONG* out) {
  if (!Fits(view, offset, 4)) return false;
  const UCHAR* p = view.data + offset;
  *out = static_cast<ULONG>(p[0]) << 24 | static_cast<ULONG>(p[1]) << 16 |
         static_cast<ULONG>(p[2]) << 8 | static_cast<ULONG>(p[3]);
  return true;
}

inline bool ReadU64Le(const ByteView& view, ULONG64 offset, ULONG64* out) {
  ULONG low, high;
  if (!ReadU32Le(view, offset, &low) || !ReadU32Le(view, offset + 4, &high)) return false;
  *out = static_cast<ULONG64>(high) << 32 | low;
  return true;
}

// Copies count bytes out of the view.
inline bool ReadBytes(const ByteView& view, ULONG64 offset, void* out, ULONG64 count) {
  if (!Fits(view, offset, count)) return false;
  if (count != 0) RtlCopyMemory(out, view.data + offset, count);
  return true;
}

// True when the count bytes at offset exist and equal expected.
inline bool BytesEqual(const ByteView& view, ULONG64 offset, const void* expected, ULONG64 count) {
  if (!Fits(view, offset, count)) return false;
  return count == 0 || memcmp(view.data + offset, expected, count) == 0;
}

// The count bytes at offset as a view of their own.
inline bool Slice(const ByteView& view, ULONG64 offset, ULONG64 count, ByteView* out) {
  if (!Fits(view, offset, count)) return false;
  out->data = view.data + offset;
  out->length = count;
  return true;
}

// Everything from offset to the end (an empty view when offset == length).
inline bool SliceFrom(const ByteView& view, ULONG64 offset, ByteView* out) {
  if (offset > view.length) return false;
  return Slice(view, offset, view.length - offset, out);
}

// ---- Fetching the host's buffers -------------------------------------------
// The host writes the length through its argument; the incoming value carries
// no meaning to it, so these pass what the caller asks for.

// Payload length alone: one GetPayload call with a length argument of 0.
ULONG64 GetPayloadLength(PacketView* view);
// One GetPayload call with lengthArgument; the view gets the returned pointer
// and the length the call wrote. False only when the host gives a null
// pointer with a non-zero length.
bool GetPayloadView(PacketView* view, ULONG64 lengthArgument, ByteView* out);
// Single call with a length argument of 0.
inline bool GetPayloadView(PacketView* view, ByteView* out) { return GetPayloadView(view, 0, out); }
// Header views; false when the host gives a null pointer.
bool GetIpHeaderView(PacketView* view, ByteView* out);
bool GetTransportHeaderView(PacketView* view, ByteView* out);
