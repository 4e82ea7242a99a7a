// Pieces of the DNS, LLMNR and DNS-over-TCP detectors: name skipping, the
// response record walk, the dotted-decimal text of an address and the SIG
// answer test. Internal to nips/detectors (and their tests). Everything here
// reads only through the bounds-checked readers and is callable at any IRQL.
#pragma once

#include <ntddk.h>

#include "nips/detectors/detector_common.h"
#include "nips/detectors/ports.h"
#include "nips/engine/bytes.h"

namespace dns {

// Header: flags byte at 2 (QR in bit 0x80, the opcode in bits 0x78), then
// four big-endian counts; the first name follows the 12-byte header.
constexpr ULONG64 kHeaderLength = 12;
constexpr ULONG64 kFlagsOffset = 2;
constexpr UCHAR kFlagResponse = 0x80;
constexpr ULONG64 kQuestionCountOffset = 4;
constexpr ULONG64 kAnswerCountOffset = 6;
constexpr ULONG64 kUpdateCountOffset = 8;
// After a question name: type and class.
constexpr ULONG64 kQuestionFixedLength = 4;
// After a record name: type (2), class (2), TTL (4), data length (2).
constexpr ULONG64 kRecordFixedLength = 10;
constexpr ULONG64 kRecordDataLengthOffset = 8;

// A name ends at a zero byte or at a compression pointer introduced by 0xC0.
constexpr UCHAR kNameEnd = 0x00;
constexpr UCHAR kCompressionPointer = 0xC0;
constexpr ULONG64 kCompressionPointerLength = 2;

constexpr USHORT kTypeHinfo = 13;
constexpr USHORT kTypeTxt = 16;
constexpr USHORT kTypeX25 = 19;
constexpr USHORT kTypeIsdn = 20;
constexpr USHORT kTypeSig = 24;
constexpr USHORT kTypeKey = 25;
constexpr USHORT kTypeAaaa = 28;
constexpr USHORT kTypeAtma = 34;
constexpr USHORT kTypeRrsig = 46;

// Text of FormatIpv4Address: "255.255.255.255" and its NUL fit in 16; the
// caller's buffer is cleared over this many characters.
constexpr ULONG kIpv4TextChars = 18;

// Steps over the name at *offset byte by byte without reading label lengths:
// the first 0x00 ends it (offset moves past it), the first 0xC0 ends it as a
// two-byte pointer (offset moves past both). Returns the bytes left after the
// name, 0 when none are (or when *offset was already at or past the end, in
// which case it is left unchanged).
ULONG64 SkipDnsName(const ByteView& message, ULONG64* offset);

// The same walk for the names of DNS update messages over TCP.
inline ULONG64 SkipUpdateName(const ByteView& payload, ULONG64* position) {
  return SkipDnsName(payload, position);
}

// Record walk of a DNS response: past the questions, then every record up
// to the end of the message whatever its section. kDetectMatch for a HINFO,
// TXT, X25 or ISDN record claiming 10922 or more data bytes or an ATMA record
// claiming none; kDetectNoMatch otherwise, and for queries and anything cut
// short.
ULONG ScanDnsResponseRecords(const ByteView& message);

// Dotted-decimal text of the address whose four bytes in memory are in wire
// order. text holds at least kIpv4TextChars characters; returns text.
WCHAR* FormatIpv4Address(ULONG address, WCHAR* text);

// From *position (the question name after the TCP length prefix and header):
// walks the question name by its label lengths and tests the answer record
// that follows it for a SIG over an A record whose signer name is a
// compression pointer to anywhere but the question name. *position ends at
// the name's terminating zero when the walk reaches it.
bool HasSigAnswerWithForeignSigner(const ByteView& payload, ULONG64* position);

}  // namespace dns
