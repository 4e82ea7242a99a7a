// Building frames for generated captures and tests: transport segments, IPv4
// and IPv6 packets (with options and extension headers, correct checksums)
// and the link-layer framings the decoder reads.
#pragma once

#include <stdint.h>

#include <array>
#include <string>
#include <vector>

namespace hostsim {

using ByteVector = std::vector<uint8_t>;

ByteVector BytesOf(const std::string& text);

// Addresses from their text form; abort on a malformed literal (builder
// input is always a constant).
std::array<uint8_t, 4> Ipv4Address(const char* text);
std::array<uint8_t, 16> Ipv6Address(const char* text);

// Transport segments without checksums; the IP builders fill them in.
ByteVector TcpSegment(uint16_t sourcePort, uint16_t destinationPort, uint32_t sequence,
                      uint32_t acknowledgement, uint8_t flags, const ByteVector& payload,
                      const ByteVector& options = {});
ByteVector UdpDatagram(uint16_t sourcePort, uint16_t destinationPort, const ByteVector& payload);
// type, code, checksum, then the four message-specific bytes and the payload.
ByteVector IcmpMessage(uint8_t type, uint8_t code, uint32_t rest, const ByteVector& payload);

struct Ipv4Header {
  std::array<uint8_t, 4> source{};
  std::array<uint8_t, 4> destination{};
  uint8_t protocol = 6;
  uint8_t ttl = 64;
  uint16_t identification = 0;
  uint16_t flagsAndOffset = 0x4000;  // don't fragment
  ByteVector options;                // padded to a multiple of 4 with end-of-list bytes
};
ByteVector Ipv4Packet(const Ipv4Header& header, const ByteVector& transport);

struct Ipv6ExtensionHeader {
  uint8_t type;     // 0 hop-by-hop, 43 routing, 44 fragment, 51 AH, 60 destination options
  ByteVector body;  // after the next-header and length bytes; padded to the type's unit
};
struct Ipv6Header {
  std::array<uint8_t, 16> source{};
  std::array<uint8_t, 16> destination{};
  uint8_t protocol = 6;  // the transport protocol after the extension headers
  uint8_t hopLimit = 64;
  std::vector<Ipv6ExtensionHeader> extensions;
};
ByteVector Ipv6Packet(const Ipv6Header& header, const ByteVector& transport);

// Link framings. Ethernet frames are padded to the 60-byte minimum.
ByteVector EthernetFrame(const ByteVector& ip, const std::vector<uint16_t>& vlanTpids = {},
                         uint16_t vlanId = 100);
ByteVector EthernetFrameWithType(uint16_t etherType, const ByteVector& payload);
ByteVector LinuxSllFrame(const ByteVector& ip);
ByteVector LinuxSll2Frame(const ByteVector& ip);
ByteVector NullFrame(const ByteVector& ip, bool littleEndian = true);  // BSD loopback
ByteVector LoopFrame(const ByteVector& ip);                            // OpenBSD loopback

// Linktype values as capture files store them.
constexpr uint32_t kLinktypeNull = 0;
constexpr uint32_t kLinktypeEthernet = 1;
constexpr uint32_t kLinktypeRaw = 101;
constexpr uint32_t kLinktypeIeee80211 = 105;
constexpr uint32_t kLinktypeLoop = 108;
constexpr uint32_t kLinktypeLinuxSll = 113;
constexpr uint32_t kLinktypeIpv4 = 228;
constexpr uint32_t kLinktypeIpv6 = 229;
constexpr uint32_t kLinktypeLinuxSll2 = 276;

}  // namespace hostsim
