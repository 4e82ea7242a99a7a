#include "hostsim/packet_builder.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>

namespace hostsim {
namespace {

constexpr uint8_t kProtocolIcmp = 1;
constexpr uint8_t kProtocolTcp = 6;
constexpr uint8_t kProtocolUdp = 17;
constexpr uint8_t kProtocolIcmpv6 = 58;
constexpr uint8_t kIpv6Fragment = 44;
constexpr uint8_t kIpv6AuthHeader = 51;
constexpr size_t kEthernetMinimumFrame = 60;
constexpr uint32_t kBsdAfInet = 2;
constexpr uint32_t kBsdAfInet6 = 24;  // NetBSD and OpenBSD's number

void PutBe16(ByteVector* out, uint16_t value) {
  out->push_back(static_cast<uint8_t>(value >> 8));
  out->push_back(static_cast<uint8_t>(value));
}

void PutBe32(ByteVector* out, uint32_t value) {
  PutBe16(out, static_cast<uint16_t>(value >> 16));
  PutBe16(out, static_cast<uint16_t>(value));
}

void SetBe16(ByteVector* out, size_t offset, uint16_t value) {
  (*out)[offset] = static_cast<uint8_t>(value >> 8);
  (*out)[offset + 1] = static_cast<uint8_t>(value);
}

// Ones' complement sum, folded at the end by Finish.
uint32_t Sum(const uint8_t* data, size_t length, uint32_t sum = 0) {
  for (size_t i = 0; i + 1 < length; i += 2)
    sum += static_cast<uint32_t>(data[i] << 8 | data[i + 1]);
  if (length % 2 != 0) sum += static_cast<uint32_t>(data[length - 1] << 8);
  return sum;
}

uint16_t Finish(uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// Where the transport checksum lives, or 0 when the protocol has none we fill.
size_t ChecksumOffset(uint8_t protocol) {
  switch (protocol) {
    case kProtocolTcp:
      return 16;
    case kProtocolUdp:
      return 6;
    case kProtocolIcmp:
    case kProtocolIcmpv6:
      return 2;
    default:
      return 0;
  }
}

ByteVector WithChecksum(ByteVector transport, uint8_t protocol, uint32_t pseudoSum,
                        bool usePseudo) {
  const size_t offset = ChecksumOffset(protocol);
  if (offset == 0 || transport.size() < offset + 2) return transport;
  SetBe16(&transport, offset, 0);
  uint32_t sum = usePseudo ? pseudoSum : 0;
  uint16_t checksum = Finish(Sum(transport.data(), transport.size(), sum));
  if (protocol == kProtocolUdp && checksum == 0) checksum = 0xFFFF;
  SetBe16(&transport, offset, checksum);
  return transport;
}

ByteVector MacHeader() {
  return {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb};
}

uint16_t EtherTypeOf(const ByteVector& ip) {
  return !ip.empty() && ip[0] >> 4 == 6 ? 0x86DD : 0x0800;
}

}  // namespace

ByteVector BytesOf(const std::string& text) { return ByteVector(text.begin(), text.end()); }

std::array<uint8_t, 4> Ipv4Address(const char* text) {
  std::array<uint8_t, 4> address;
  if (inet_pton(AF_INET, text, address.data()) != 1) {
    fprintf(stderr, "bad IPv4 literal %s\n", text);
    abort();
  }
  return address;
}

std::array<uint8_t, 16> Ipv6Address(const char* text) {
  std::array<uint8_t, 16> address;
  if (inet_pton(AF_INET6, text, address.data()) != 1) {
    fprintf(stderr, "bad IPv6 literal %s\n", text);
    abort();
  }
  return address;
}

ByteVector TcpSegment(uint16_t sourcePort, uint16_t destinationPort, uint32_t sequence,
                      uint32_t acknowledgement, uint8_t flags, const ByteVector& payload,
                      const ByteVector& options) {
  ByteVector paddedOptions = options;
  while (paddedOptions.size() % 4 != 0) paddedOptions.push_back(0);
  ByteVector out;
  PutBe16(&out, sourcePort);
  PutBe16(&out, destinationPort);
  PutBe32(&out, sequence);
  PutBe32(&out, acknowledgement);
  out.push_back(static_cast<uint8_t>(((20 + paddedOptions.size()) / 4) << 4));
  out.push_back(flags);
  PutBe16(&out, 65535);  // window
  PutBe16(&out, 0);      // checksum
  PutBe16(&out, 0);      // urgent pointer
  out.insert(out.end(), paddedOptions.begin(), paddedOptions.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

ByteVector UdpDatagram(uint16_t sourcePort, uint16_t destinationPort, const ByteVector& payload) {
  ByteVector out;
  PutBe16(&out, sourcePort);
  PutBe16(&out, destinationPort);
  PutBe16(&out, static_cast<uint16_t>(8 + payload.size()));
  PutBe16(&out, 0);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

ByteVector IcmpMessage(uint8_t type, uint8_t code, uint32_t rest, const ByteVector& payload) {
  ByteVector out = {type, code, 0, 0};
  PutBe32(&out, rest);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

ByteVector Ipv4Packet(const Ipv4Header& header, const ByteVector& transport) {
  ByteVector options = header.options;
  while (options.size() % 4 != 0) options.push_back(0);
  const size_t headerLength = 20 + options.size();
  ByteVector out;
  out.push_back(static_cast<uint8_t>(0x40 | headerLength / 4));
  out.push_back(0);  // DSCP/ECN
  PutBe16(&out, static_cast<uint16_t>(headerLength + transport.size()));
  PutBe16(&out, header.identification);
  PutBe16(&out, header.flagsAndOffset);
  out.push_back(header.ttl);
  out.push_back(header.protocol);
  PutBe16(&out, 0);
  out.insert(out.end(), header.source.begin(), header.source.end());
  out.insert(out.end(), header.destination.begin(), header.destination.end());
  out.insert(out.end(), options.begin(), options.end());
  SetBe16(&out, 10, Finish(Sum(out.data(), out.size())));

  uint32_t pseudo = Sum(header.source.data(), 4);
  pseudo = Sum(header.destination.data(), 4, pseudo);
  pseudo += header.protocol;
  pseudo += static_cast<uint32_t>(transport.size());
  // Only a first (or whole) datagram carries the transport header to sum.
  const bool whole = (header.flagsAndOffset & 0x3FFF) == 0;
  const ByteVector summed =
      whole ? WithChecksum(transport, header.protocol, pseudo, header.protocol != kProtocolIcmp)
            : transport;
  out.insert(out.end(), summed.begin(), summed.end());
  return out;
}

ByteVector Ipv6Packet(const Ipv6Header& header, const ByteVector& transport) {
  ByteVector extensions;
  bool fragmented = false;
  for (size_t i = 0; i < header.extensions.size(); ++i) {
    const Ipv6ExtensionHeader& extension = header.extensions[i];
    const uint8_t next =
        i + 1 < header.extensions.size() ? header.extensions[i + 1].type : header.protocol;
    ByteVector body = extension.body;
    const size_t unit = extension.type == kIpv6AuthHeader ? 4 : 8;
    if (extension.type == kIpv6Fragment) {
      body.resize(6, 0);
      fragmented = fragmented || ((body[0] << 8 | body[1]) & 0xFFF8) != 0;
    }
    while ((body.size() + 2) % unit != 0 || body.size() + 2 < 8) body.push_back(0);
    const size_t total = body.size() + 2;
    uint8_t length = 0;
    if (extension.type == kIpv6AuthHeader) {
      length = static_cast<uint8_t>(total / 4 - 2);
    } else if (extension.type != kIpv6Fragment) {
      length = static_cast<uint8_t>(total / 8 - 1);
    }
    extensions.push_back(next);
    extensions.push_back(length);
    extensions.insert(extensions.end(), body.begin(), body.end());
  }
  const uint8_t firstNext = header.extensions.empty() ? header.protocol : header.extensions[0].type;

  ByteVector out;
  PutBe32(&out, 0x60000000);
  PutBe16(&out, static_cast<uint16_t>(extensions.size() + transport.size()));
  out.push_back(firstNext);
  out.push_back(header.hopLimit);
  out.insert(out.end(), header.source.begin(), header.source.end());
  out.insert(out.end(), header.destination.begin(), header.destination.end());
  out.insert(out.end(), extensions.begin(), extensions.end());

  uint32_t pseudo = Sum(header.source.data(), 16);
  pseudo = Sum(header.destination.data(), 16, pseudo);
  pseudo += static_cast<uint32_t>(transport.size());
  pseudo += header.protocol;
  const ByteVector summed =
      fragmented ? transport : WithChecksum(transport, header.protocol, pseudo, true);
  out.insert(out.end(), summed.begin(), summed.end());
  return out;
}

ByteVector EthernetFrame(const ByteVector& ip, const std::vector<uint16_t>& vlanTpids,
                         uint16_t vlanId) {
  ByteVector out = MacHeader();
  for (size_t i = 0; i < vlanTpids.size(); ++i) {
    PutBe16(&out, vlanTpids[i]);
    PutBe16(&out, static_cast<uint16_t>((vlanId + i) & 0x0FFF));
  }
  PutBe16(&out, EtherTypeOf(ip));
  out.insert(out.end(), ip.begin(), ip.end());
  if (out.size() < kEthernetMinimumFrame) out.resize(kEthernetMinimumFrame, 0);
  return out;
}

ByteVector EthernetFrameWithType(uint16_t etherType, const ByteVector& payload) {
  ByteVector out = MacHeader();
  PutBe16(&out, etherType);
  out.insert(out.end(), payload.begin(), payload.end());
  if (out.size() < kEthernetMinimumFrame) out.resize(kEthernetMinimumFrame, 0);
  return out;
}

ByteVector LinuxSllFrame(const ByteVector& ip) {
  ByteVector out;
  PutBe16(&out, 0);  // packet type: to us
  PutBe16(&out, 1);  // ARPHRD_ETHER
  PutBe16(&out, 6);  // address length
  const ByteVector mac = MacHeader();
  out.insert(out.end(), mac.begin(), mac.begin() + 6);
  PutBe16(&out, 0);  // address padding to 8 bytes
  PutBe16(&out, EtherTypeOf(ip));
  out.insert(out.end(), ip.begin(), ip.end());
  return out;
}

ByteVector LinuxSll2Frame(const ByteVector& ip) {
  ByteVector out;
  PutBe16(&out, EtherTypeOf(ip));
  PutBe16(&out, 0);  // reserved
  PutBe32(&out, 2);  // interface index
  PutBe16(&out, 1);  // ARPHRD_ETHER
  out.push_back(0);  // packet type: to us
  out.push_back(6);  // address length
  const ByteVector mac = MacHeader();
  out.insert(out.end(), mac.begin(), mac.begin() + 6);
  PutBe16(&out, 0);
  out.insert(out.end(), ip.begin(), ip.end());
  return out;
}

ByteVector NullFrame(const ByteVector& ip, bool littleEndian) {
  const uint32_t family = EtherTypeOf(ip) == 0x86DD ? kBsdAfInet6 : kBsdAfInet;
  ByteVector out;
  if (littleEndian) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(family >> (8 * i)));
  } else {
    PutBe32(&out, family);
  }
  out.insert(out.end(), ip.begin(), ip.end());
  return out;
}

ByteVector LoopFrame(const ByteVector& ip) { return NullFrame(ip, false); }

}  // namespace hostsim
