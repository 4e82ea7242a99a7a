// HTTP request detectors: two over WS-Management requests ("POST /wsman
// HTTP/1.1" to the management ports 16992 to 16995), a Content-Length value
// that begins with a minus sign and a first chunk size of all F digits (also
// assembled position by position over several requests from one source), and
// one over GET requests on any port whose Accept-Encoding values, alone or
// together, form a malformed list. Each learns the payload length with one
// GetPayload call and fetches the pointer with a second call passing it.
#include "nips/detectors/detector_common.h"
#include "nips/detectors/detectors.h"
#include "nips/detectors/ports.h"
#include "nips/engine/signature.h"

namespace {

static_assert(kPortWsmanLast - kPortWsmanFirst + 1 ==
                  sizeof(HostRecord::sig6178Ports) / sizeof(HostRecord::sig6178Ports[0]),
              "one chunk-size block per management port");

constexpr UCHAR kCr = 13;
constexpr UCHAR kLf = 10;
constexpr UCHAR kSpace = ' ';
constexpr UCHAR kTab = '\t';

// Request line of WS-Management: method, path and version at fixed places;
// the bytes between them are not examined. Header searches start after it.
constexpr char kPost[] = "POST";
constexpr char kWsmanPath[] = "/wsman";
constexpr char kHttp11[] = "HTTP/1.1";
constexpr ULONG64 kPostOffset = 0;
constexpr ULONG64 kWsmanPathOffset = 5;
constexpr ULONG64 kHttp11Offset = 12;
constexpr ULONG64 kWsmanHeaderSearchStart = 21;

// Negative Content-Length.
constexpr ULONG64 kContentLengthMinimumRequest = 36;
constexpr char kContentLengthHeader[] = "Content-Length: ";
constexpr UCHAR kMinus = '-';

// Chunk size of all F digits.
constexpr ULONG64 kChunkedMinimumRequest = 55;
constexpr char kChunkedHeader[] = "Transfer-Encoding: chunked";
constexpr char kAllF[] = "FFFFFFFF";
constexpr ULONG kChunkSizeDigits = 8;
constexpr ULONG kChunkWindowMs = 60000;
constexpr ULONG kChunkRequestLimit = 32;

// Accept-Encoding.
constexpr ULONG64 kGetMinimumRequest = 4;
constexpr char kGet[] = "GET";
constexpr ULONG64 kRequestLineEndSearchStart = 4;
constexpr char kAcceptEncoding[] = "Accept-Encoding";
constexpr UCHAR kColon = ':';
constexpr UCHAR kComma = ',';
constexpr UCHAR kHash = '#';

template <ULONG64 N>
constexpr ULONG64 TextLength(const char (&)[N]) {
  return N - 1;
}

// The bytes at offset equal the literal when ASCII case is ignored; never
// reads past the view.
template <ULONG64 N>
bool TextAt(const ByteView& payload, ULONG64 offset, const char (&literal)[N]) {
  return Fits(payload, offset, TextLength(literal)) &&
         _strnicmp(reinterpret_cast<const char*>(payload.data + offset), literal,
                   TextLength(literal)) == 0;
}

// The first position from `from` on at which the literal stands with at
// least one byte after it.
template <ULONG64 N>
bool FindHeader(const ByteView& payload, ULONG64 from, const char (&literal)[N], ULONG64* at) {
  for (ULONG64 p = from; p + TextLength(literal) + 1 <= payload.length; ++p) {
    if (TextAt(payload, p, literal)) {
      *at = p;
      return true;
    }
  }
  return false;
}

bool ByteIs(const ByteView& payload, ULONG64 offset, UCHAR expected) {
  UCHAR actual;
  return ReadU8(payload, offset, &actual) && actual == expected;
}

// A WS-Management port's index (0 to 3), or false.
bool WsmanPortIndex(PacketView* view, ULONG* index) {
  const USHORT port = detector::DestinationPort(view);
  if (port < kPortWsmanFirst || port > kPortWsmanLast) return false;
  *index = port - kPortWsmanFirst;
  return true;
}

// Length first, then the pointer; the request line of WS-Management.
bool FetchWsmanRequest(PacketView* view, ULONG64 minimumLength, ByteView* payload) {
  const ULONG64 length = detector::PayloadLength(view);
  if (length < minimumLength || !detector::PayloadWithLength(view, length, payload)) return false;
  return TextAt(*payload, kPostOffset, kPost) && TextAt(*payload, kWsmanPathOffset, kWsmanPath) &&
         TextAt(*payload, kHttp11Offset, kHttp11);
}

void ClearChunkWindow(HostRecord* record, ULONG now) {
  record->sig6178Start = now;
  record->sig6178Count = 0;
  RtlZeroMemory(record->sig6178Ports, sizeof(record->sig6178Ports));
}

// One chunked request's step on the source's window; caller holds the
// record's lock. digits is where the chunk size should stand.
ULONG ChunkStepLocked(HostRecord* record, bool created, const ByteView& payload, ULONG64 digits,
                      ULONG portIndex, bool* remove) {
  const ULONG now = CurrentStampMs();
  if (created || StampAgeMs(now, record->sig6178Start) > kChunkWindowMs) {
    ClearChunkWindow(record, now);
  }
  if (record->sig6178Count >= kChunkRequestLimit) {
    *remove = true;
    return kDetectNoMatch;
  }
  ByteView size;
  if (!Slice(payload, digits, kChunkSizeDigits, &size)) return kDetectNoMatch;
  Sig6178PortState& block = record->sig6178Ports[portIndex];
  for (ULONG i = 0; i < kChunkSizeDigits; ++i) {
    if ((size.data[i] == 'F' || size.data[i] == 'f') && block.seen[i] == 0) {
      block.seen[i] = 1;
      ++block.seenCount;
    }
  }
  bool allSeen = false;
  for (const Sig6178PortState& port : record->sig6178Ports) {
    allSeen = allSeen || port.seenCount == kChunkSizeDigits;
  }
  if (TextAt(size, 0, kAllF) || allSeen) {
    *remove = true;
    return kDetectMatch;
  }
  ++record->sig6178Count;
  return kDetectNoMatch;
}

// Accept-Encoding values: classes of one header's value, kept for the packet.
struct EncodingFlags {
  bool singleList;  // A: starts with a token, no comma
  bool emptyLead;   // B: starts with something else, has a comma
  bool tokenList;   // C: starts with a token, has a comma
  bool empty;       // D: starts with something else (or is empty), no comma
};

bool IsTokenStart(UCHAR c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == kHash;
}

// Scans one header value from *i; true when two commas stand with only
// blanks between them in a value that began with a token. *i ends just after
// the value (after the LF that ends it, or at the payload's end).
bool ScanEncodingValue(const ByteView& payload, ULONG64* i, bool* tokenFirst, bool* hasComma) {
  ULONG counted = 0;
  bool previousComma = false;
  *tokenFirst = false;
  *hasComma = false;
  UCHAR c;
  while (ReadU8(payload, *i, &c)) {
    ++*i;
    if (c == kLf) {
      // A folded line continues the value.
      UCHAR next;
      if (ReadU8(payload, *i, &next) && (next == kSpace || next == kTab)) {
        ++*i;
        continue;
      }
      break;
    }
    if (c == kSpace || c == kTab || c == kCr) continue;
    if (c == kComma) {
      if (*hasComma && previousComma && *tokenFirst) return true;
      *hasComma = true;
      previousComma = true;
    } else {
      if (counted == 0 && IsTokenStart(c)) *tokenFirst = true;
      previousComma = false;
    }
    ++counted;
  }
  return false;
}

}  // namespace

// IRQL: <= DISPATCH_LEVEL.
ULONG DetectWsmanNegativeContentLength(PacketView* view) {
  ULONG portIndex;
  if (!WsmanPortIndex(view, &portIndex)) return kDetectNoMatch;
  ByteView payload;
  if (!FetchWsmanRequest(view, kContentLengthMinimumRequest, &payload)) return kDetectNoMatch;
  ULONG64 v;
  if (!FindHeader(payload, kWsmanHeaderSearchStart, kContentLengthHeader, &v)) {
    return kDetectNoMatch;
  }
  v += TextLength(kContentLengthHeader);
  while (v + 1 < payload.length && ByteIs(payload, v, kSpace)) ++v;
  // The value's first character must not be the payload's last byte.
  if (v + 1 >= payload.length) return kDetectNoMatch;
  return ByteIs(payload, v, kMinus) ? kDetectMatch : kDetectNoMatch;
}

// IRQL: <= DISPATCH_LEVEL. The window fields are serialised with the
// record's lock; the table operations run after it is released.
ULONG DetectWsmanChunkSizeAllF(PacketView* view) {
  ULONG portIndex;
  if (!WsmanPortIndex(view, &portIndex)) return kDetectNoMatch;
  ByteView payload;
  if (!FetchWsmanRequest(view, kChunkedMinimumRequest, &payload)) return kDetectNoMatch;
  ULONG64 v;
  if (!FindHeader(payload, kWsmanHeaderSearchStart, kChunkedHeader, &v)) return kDetectNoMatch;
  v += TextLength(kChunkedHeader);

  // A record created here starts its window now (the creation zeroed the rest).
  const HostAddress* source = view->flow->GetSourceAddress();
  HostRecord* record = FindHostRecord(source);
  const bool created = record == nullptr;
  if (created && (!NT_SUCCESS(CreateHostRecord(source, &record)) || record == nullptr)) {
    return kDetectError;
  }

  while (v + 1 < payload.length && (ByteIs(payload, v, kCr) || ByteIs(payload, v, kLf))) ++v;
  bool remove = false;
  LockHostRecord(record);
  const ULONG result = ChunkStepLocked(record, created, payload, v, portIndex, &remove);
  UnlockHostRecord(record);
  if (remove) RemoveHostRecord(record);
  ReleaseHostRecord(record);
  return result;
}

// IRQL: <= DISPATCH_LEVEL. Every header named Accept-Encoding (the name is
// found anywhere, not only at a line start) adds its value's class to flags
// that live for the whole request.
ULONG DetectHttpAcceptEncodingMalformed(PacketView* view) {
  const ULONG64 length = detector::PayloadLength(view);
  if (length < kGetMinimumRequest) return kDetectNoMatch;
  ByteView payload;
  if (!detector::PayloadWithLength(view, length, &payload) || !TextAt(payload, 0, kGet)) {
    return kDetectNoMatch;
  }
  // Just past the request line's CR LF; a request without one ends here.
  ULONG64 i = kRequestLineEndSearchStart;
  while (i < payload.length && !(ByteIs(payload, i - 1, kCr) && ByteIs(payload, i, kLf))) ++i;
  if (i < payload.length) ++i;

  EncodingFlags flags = {};
  constexpr ULONG64 kNameLength = TextLength(kAcceptEncoding);
  while (i + kNameLength < payload.length) {
    if (!(ByteIs(payload, i, 'A') || ByteIs(payload, i, 'a')) ||
        !TextAt(payload, i, kAcceptEncoding)) {
      ++i;
      continue;
    }
    i += kNameLength;
    while (i < payload.length && !ByteIs(payload, i, kColon)) ++i;
    if (i < payload.length) ++i;

    bool tokenFirst, hasComma;
    if (ScanEncodingValue(payload, &i, &tokenFirst, &hasComma)) return kDetectMatch;
    if (tokenFirst && !hasComma) flags.singleList = true;
    if (tokenFirst && hasComma && !flags.empty) flags.tokenList = true;
    if (!tokenFirst && !hasComma) flags.empty = true;
    if (!tokenFirst && hasComma) flags.emptyLead = true;
    if ((flags.tokenList && (flags.emptyLead || flags.empty)) ||
        (flags.singleList && flags.emptyLead)) {
      return kDetectMatch;
    }
  }
  return kDetectNoMatch;
}
