#include "hostsim/decode.h"

#include <string.h>

namespace hostsim {
namespace {

constexpr USHORT kEtherTypeVlan = 0x8100;     // 802.1Q customer tag
constexpr USHORT kEtherTypeQinQ = 0x88A8;     // 802.1ad service tag
constexpr USHORT kEtherTypeQinQOld = 0x9100;  // pre-standard service tag
constexpr size_t kMaxVlanTags = 8;            // far more than any real stack
constexpr size_t kEthernetHeader = 14;
constexpr size_t kVlanTag = 4;
constexpr size_t kSllHeader = 16;
constexpr size_t kSllProtocolOffset = 14;
constexpr size_t kSll2Header = 20;
constexpr size_t kLoopbackHeader = 4;

// Address families a BSD loopback header may carry for IPv6: each BSD and
// Linux picked its own number.
constexpr uint32_t kAfInet = 2;
constexpr uint32_t kAfInet6Values[] = {10, 23, 24, 28, 30};

constexpr size_t kIpv4MinHeader = 20;
constexpr size_t kIpv6Header = 40;
constexpr size_t kMaxIpv6ExtensionHeaders = 16;
constexpr USHORT kIpv4FragmentOffsetMask = 0x1FFF;

constexpr UCHAR kIpv6HopByHop = 0;
constexpr UCHAR kIpv6Routing = 43;
constexpr UCHAR kIpv6Fragment = 44;
constexpr UCHAR kIpv6AuthHeader = 51;
constexpr UCHAR kIpv6DestinationOptions = 60;
constexpr UCHAR kIpv6Hip = 139;
constexpr UCHAR kIpv6Shim6 = 140;
constexpr size_t kIpv6FragmentHeader = 8;

constexpr size_t kTcpMinHeader = 20;
constexpr size_t kUdpHeader = 8;
constexpr size_t kIcmpHeader = 8;
constexpr size_t kIcmpMinHeader = 4;  // type, code, checksum

// The one reader of frame bytes: every access states its offset and fails
// instead of reading past the end.
class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t size() const { return size_; }
  const uint8_t* at(size_t offset) const { return data_ + offset; }
  bool Has(size_t offset, size_t count) const { return offset <= size_ && count <= size_ - offset; }
  bool U8(size_t offset, uint8_t* value) const {
    if (!Has(offset, 1)) return false;
    *value = data_[offset];
    return true;
  }
  bool Be16(size_t offset, uint16_t* value) const {
    if (!Has(offset, 2)) return false;
    *value = static_cast<uint16_t>(data_[offset] << 8 | data_[offset + 1]);
    return true;
  }
  bool Be32(size_t offset, uint32_t* value) const {
    if (!Has(offset, 4)) return false;
    *value = static_cast<uint32_t>(data_[offset]) << 24 |
             static_cast<uint32_t>(data_[offset + 1]) << 16 |
             static_cast<uint32_t>(data_[offset + 2]) << 8 | data_[offset + 3];
    return true;
  }
  bool Copy(size_t offset, size_t count, void* out) const {
    if (!Has(offset, count)) return false;
    memcpy(out, data_ + offset, count);
    return true;
  }
  Bytes From(size_t offset) const {
    return offset <= size_ ? Bytes(data_ + offset, size_ - offset) : Bytes(data_ + size_, 0);
  }

 private:
  const uint8_t* data_;
  size_t size_;
};

uint16_t ToNetworkOrder(uint16_t hostValue) {
  return static_cast<uint16_t>(hostValue << 8 | hostValue >> 8);
}

bool IsVlanTag(USHORT etherType) {
  return etherType == kEtherTypeVlan || etherType == kEtherTypeQinQ ||
         etherType == kEtherTypeQinQOld;
}

DecodeResult DecodeIpv4(const Bytes& ip, DecodedPacket* out);
DecodeResult DecodeIpv6(const Bytes& ip, DecodedPacket* out);

// `bytes` starts right after an EtherType field whose value is `etherType`.
DecodeResult DecodeEtherPayload(USHORT etherType, const Bytes& bytes, DecodedPacket* out) {
  size_t offset = 0;
  for (size_t tags = 0; IsVlanTag(etherType); ++tags) {
    if (tags == kMaxVlanTags) return DecodeResult::kMalformed;
    // Tag control word, then the inner EtherType.
    if (!bytes.Be16(offset + 2, &etherType)) return DecodeResult::kMalformed;
    offset += kVlanTag;
  }
  if (etherType == kNetworkProtocolIpv4) return DecodeIpv4(bytes.From(offset), out);
  if (etherType == kNetworkProtocolIpv6) return DecodeIpv6(bytes.From(offset), out);
  return DecodeResult::kNonIp;
}

// BSD loopback stores the family in the writer's byte order, OpenBSD's in
// network order; families are small numbers, so a value that only makes sense
// byte-swapped was written little-endian. One rule serves both.
DecodeResult DecodeLoopback(const Bytes& frame, DecodedPacket* out) {
  uint32_t family;
  if (!frame.Be32(0, &family)) return DecodeResult::kMalformed;
  if (family > 0xFFFF) family = __builtin_bswap32(family);
  const Bytes ip = frame.From(kLoopbackHeader);
  if (family == kAfInet) return DecodeIpv4(ip, out);
  for (uint32_t inet6 : kAfInet6Values) {
    if (family == inet6) return DecodeIpv6(ip, out);
  }
  return DecodeResult::kNonIp;
}

DecodeResult DecodeTransport(const Bytes& segment, DecodedPacket* out) {
  out->tcpFlags = 0;
  out->sourcePort = 0;
  out->destinationPort = 0;
  size_t headerLength;
  switch (out->ipProtocol) {
    case kIpProtocolTcp: {
      uint8_t dataOffset;
      if (!segment.Has(0, kTcpMinHeader) || !segment.U8(12, &dataOffset) ||
          !segment.U8(13, &out->tcpFlags)) {
        return DecodeResult::kMalformed;
      }
      headerLength = static_cast<size_t>(dataOffset >> 4) * 4;
      if (headerLength < kTcpMinHeader || !segment.Has(0, headerLength)) {
        return DecodeResult::kMalformed;
      }
      break;
    }
    case kIpProtocolUdp:
      // The UDP length field is not trusted: the IP length bounds the
      // payload, as for every other protocol.
      headerLength = kUdpHeader;
      if (!segment.Has(0, headerLength)) return DecodeResult::kMalformed;
      break;
    case kIpProtocolIcmp:
    case kIpProtocolIcmpv6:
      // Type, code, checksum and the four message-specific bytes; a message
      // cut shorter still shows its first four bytes as the header.
      if (!segment.Has(0, kIcmpMinHeader)) return DecodeResult::kMalformed;
      headerLength = segment.size() < kIcmpHeader ? segment.size() : kIcmpHeader;
      break;
    default:
      return DecodeResult::kUnsupportedTransport;
  }
  if (out->ipProtocol == kIpProtocolTcp || out->ipProtocol == kIpProtocolUdp) {
    uint16_t port;
    if (!segment.Be16(0, &port)) return DecodeResult::kMalformed;
    out->sourcePort = ToNetworkOrder(port);
    if (!segment.Be16(2, &port)) return DecodeResult::kMalformed;
    out->destinationPort = ToNetworkOrder(port);
  }
  out->transport = segment.at(0);
  out->transportHeaderLength = static_cast<uint32_t>(headerLength);
  out->payload = segment.at(headerLength);
  out->payloadLength = static_cast<uint32_t>(segment.size() - headerLength);
  return DecodeResult::kOk;
}

DecodeResult DecodeIpv4(const Bytes& frame, DecodedPacket* out) {
  uint8_t versionIhl;
  uint16_t totalLength, fragment;
  if (!frame.U8(0, &versionIhl) || !frame.Has(0, kIpv4MinHeader)) {
    return DecodeResult::kMalformed;
  }
  if (versionIhl >> 4 != 4) return DecodeResult::kMalformed;
  const size_t headerLength = static_cast<size_t>(versionIhl & 0x0F) * 4;
  if (headerLength < kIpv4MinHeader || !frame.Be16(2, &totalLength) || !frame.Be16(6, &fragment) ||
      !frame.U8(9, &out->ipProtocol)) {
    return DecodeResult::kMalformed;
  }
  // A total length of 0 is what a sender with segmentation offload records
  // for its oversized segments: the frame's own length is the only bound.
  size_t packetLength = totalLength != 0 ? totalLength : frame.size();
  if (packetLength < headerLength) return DecodeResult::kMalformed;
  if (packetLength > frame.size()) return DecodeResult::kTruncated;
  if ((fragment & kIpv4FragmentOffsetMask) != 0) return DecodeResult::kFragment;

  out->networkProtocol = kNetworkProtocolIpv4;
  memset(&out->source, 0, sizeof out->source);
  memset(&out->destination, 0, sizeof out->destination);
  if (!frame.Copy(12, 4, out->source.bytes) || !frame.Copy(16, 4, out->destination.bytes)) {
    return DecodeResult::kMalformed;
  }
  out->source.version = 4;
  out->destination.version = 4;
  out->ip = frame.at(0);
  out->ipLength = static_cast<uint32_t>(packetLength);
  out->ipHeaderLength = static_cast<uint32_t>(headerLength);
  // Everything past the total length (Ethernet padding, trailers) is dropped here.
  const Bytes packet(frame.at(0), packetLength);
  return DecodeTransport(packet.From(headerLength), out);
}

DecodeResult DecodeIpv6(const Bytes& frame, DecodedPacket* out) {
  uint8_t version;
  uint16_t payloadLength;
  uint8_t next;
  if (!frame.Has(0, kIpv6Header) || !frame.U8(0, &version) || !frame.Be16(4, &payloadLength) ||
      !frame.U8(6, &next)) {
    return DecodeResult::kMalformed;
  }
  if (version >> 4 != 6) return DecodeResult::kMalformed;
  // Payload length 0 marks a jumbogram or an offloaded segment: bounded by the frame.
  const size_t packetLength = payloadLength != 0 ? kIpv6Header + payloadLength : frame.size();
  if (packetLength > frame.size()) return DecodeResult::kTruncated;
  const Bytes packet(frame.at(0), packetLength);

  size_t offset = kIpv6Header;
  for (size_t walked = 0;; ++walked) {
    // walked headers are behind us; a 17th extension header is one too many.
    if (walked > kMaxIpv6ExtensionHeaders) return DecodeResult::kMalformed;
    uint8_t following, lengthField;
    size_t headerLength;
    if (next == kIpv6HopByHop || next == kIpv6Routing || next == kIpv6DestinationOptions ||
        next == kIpv6Hip || next == kIpv6Shim6) {
      if (!packet.U8(offset, &following) || !packet.U8(offset + 1, &lengthField)) {
        return DecodeResult::kMalformed;
      }
      headerLength = (static_cast<size_t>(lengthField) + 1) * 8;
    } else if (next == kIpv6AuthHeader) {
      if (!packet.U8(offset, &following) || !packet.U8(offset + 1, &lengthField)) {
        return DecodeResult::kMalformed;
      }
      headerLength = (static_cast<size_t>(lengthField) + 2) * 4;
    } else if (next == kIpv6Fragment) {
      uint16_t fragmentOffset;
      if (!packet.U8(offset, &following) || !packet.Be16(offset + 2, &fragmentOffset)) {
        return DecodeResult::kMalformed;
      }
      if ((fragmentOffset >> 3) != 0) return DecodeResult::kFragment;
      headerLength = kIpv6FragmentHeader;
    } else {
      break;
    }
    if (!packet.Has(offset, headerLength)) return DecodeResult::kMalformed;
    offset += headerLength;
    next = following;
  }

  out->networkProtocol = kNetworkProtocolIpv6;
  out->ipProtocol = next;
  if (!packet.Copy(8, 16, out->source.bytes) || !packet.Copy(24, 16, out->destination.bytes)) {
    return DecodeResult::kMalformed;
  }
  out->source.version = 6;
  out->destination.version = 6;
  out->ip = packet.at(0);
  out->ipLength = static_cast<uint32_t>(packetLength);
  out->ipHeaderLength = static_cast<uint32_t>(offset);
  return DecodeTransport(packet.From(offset), out);
}

}  // namespace

const char* LinkLayerName(LinkLayer link) {
  switch (link) {
    case LinkLayer::kEthernet:
      return "Ethernet";
    case LinkLayer::kNull:
      return "BSD loopback";
    case LinkLayer::kLoop:
      return "OpenBSD loopback";
    case LinkLayer::kRaw:
      return "raw IP";
    case LinkLayer::kIpv4:
      return "raw IPv4";
    case LinkLayer::kIpv6:
      return "raw IPv6";
    case LinkLayer::kLinuxSll:
      return "Linux cooked v1";
    case LinkLayer::kLinuxSll2:
      return "Linux cooked v2";
  }
  return "unknown";
}

const char* DecodeResultName(DecodeResult result) {
  switch (result) {
    case DecodeResult::kOk:
      return "decoded";
    case DecodeResult::kNonIp:
      return "not IP";
    case DecodeResult::kUnsupportedTransport:
      return "other IP protocol";
    case DecodeResult::kFragment:
      return "non-first fragment";
    case DecodeResult::kMalformed:
      return "malformed";
    case DecodeResult::kTruncated:
      return "truncated";
    case DecodeResult::kFiltered:
      return "filter";
  }
  return "unknown";
}

DecodeResult DecodeIp(const uint8_t* ip, size_t available, DecodedPacket* out) {
  const Bytes bytes(ip, available);
  uint8_t version;
  if (!bytes.U8(0, &version)) return DecodeResult::kMalformed;
  if (version >> 4 == 4) return DecodeIpv4(bytes, out);
  if (version >> 4 == 6) return DecodeIpv6(bytes, out);
  return DecodeResult::kMalformed;
}

DecodeResult DecodeFrame(LinkLayer link, const uint8_t* frame, size_t length, DecodedPacket* out) {
  const Bytes bytes(frame, length);
  uint16_t etherType;
  switch (link) {
    case LinkLayer::kEthernet:
      if (!bytes.Be16(12, &etherType)) return DecodeResult::kMalformed;
      return DecodeEtherPayload(etherType, bytes.From(kEthernetHeader), out);
    case LinkLayer::kLinuxSll:
      if (!bytes.Has(0, kSllHeader) || !bytes.Be16(kSllProtocolOffset, &etherType)) {
        return DecodeResult::kMalformed;
      }
      return DecodeEtherPayload(etherType, bytes.From(kSllHeader), out);
    case LinkLayer::kLinuxSll2:
      if (!bytes.Has(0, kSll2Header) || !bytes.Be16(0, &etherType)) {
        return DecodeResult::kMalformed;
      }
      return DecodeEtherPayload(etherType, bytes.From(kSll2Header), out);
    case LinkLayer::kNull:
    case LinkLayer::kLoop:
      return DecodeLoopback(bytes, out);
    case LinkLayer::kRaw:
      return DecodeIp(frame, length, out);
    case LinkLayer::kIpv4:
      return DecodeIpv4(bytes, out);
    case LinkLayer::kIpv6:
      return DecodeIpv6(bytes, out);
  }
  return DecodeResult::kNonIp;
}

void RebasePacket(DecodedPacket* packet, const uint8_t* ipCopy) {
  const uint8_t* old = packet->ip;
  packet->ip = ipCopy;
  packet->transport = ipCopy + (packet->transport - old);
  packet->payload = ipCopy + (packet->payload - old);
}

}  // namespace hostsim
