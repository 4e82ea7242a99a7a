// Link-layer and IP decoding of captured frames into what the simulated
// firewall core hands the plug-in: the IP packet, its header, the transport
// header and the transport payload. Pure functions over the frame bytes;
// every read is bounds-checked, so a hostile frame ends in a result code,
// never in a read outside the frame.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "nips/host/firewall.h"

namespace hostsim {

// The link layers the core decodes. Captures of any other link type are
// refused as a whole by the capture reader.
enum class LinkLayer : uint8_t {
  kEthernet,   // with any number (bounded) of 802.1Q / 802.1ad tags
  kNull,       // BSD loopback: 4-byte address family in the writer's byte order
  kLoop,       // OpenBSD loopback: 4-byte address family in network byte order
  kRaw,        // raw IP, version taken from the first nibble
  kIpv4,       // raw IPv4 only
  kIpv6,       // raw IPv6 only
  kLinuxSll,   // Linux cooked capture v1, 16-byte header
  kLinuxSll2,  // Linux cooked capture v2, 20-byte header
};

const char* LinkLayerName(LinkLayer link);

enum class DecodeResult : uint8_t {
  kOk,
  kNonIp,                 // link payload is not IPv4/IPv6 (ARP, LLC, LLDP ...)
  kUnsupportedTransport,  // IP protocol other than TCP, UDP, ICMP, ICMPv6
  kFragment,              // a non-first fragment: no transport header to show
  kMalformed,             // headers contradict themselves or the frame
  kTruncated,             // the frame ends before the IP packet does (snap length)
  kFiltered,              // not decoded: the scan's capture filter rejected the frame
};
constexpr int kDecodeResultCount = 7;

const char* DecodeResultName(DecodeResult result);

// One decoded packet. Pointers point into the frame given to DecodeFrame.
struct DecodedPacket {
  USHORT networkProtocol;  // kNetworkProtocolIpv4 or kNetworkProtocolIpv6
  UCHAR ipProtocol;        // the transport protocol after any extension headers
  UCHAR tcpFlags;          // byte 13 of the TCP header; 0 for other protocols
  HostAddress source;
  HostAddress destination;
  USHORT sourcePort;       // network byte order; 0 for ICMP
  USHORT destinationPort;  // network byte order; 0 for ICMP
  const uint8_t* ip;       // the IP packet, bounded by its own length field
  uint32_t ipLength;
  // IPv4: the header with its options. IPv6: the fixed header and every
  // extension header before the transport header, so that the IP header, the
  // transport header and the payload together make the whole packet.
  uint32_t ipHeaderLength;
  const uint8_t* transport;
  uint32_t transportHeaderLength;  // TCP with options; 8 for UDP, ICMP, ICMPv6
  const uint8_t* payload;          // transport payload; never points past ip + ipLength
  uint32_t payloadLength;
};

// Decodes one frame of the given link layer. On kOk *out is complete; on any
// other result *out holds nothing useful.
DecodeResult DecodeFrame(LinkLayer link, const uint8_t* frame, size_t length, DecodedPacket* out);

// Decodes an IP packet that starts at `ip` (no link header). `available` is
// the number of bytes present from `ip` to the end of the frame.
DecodeResult DecodeIp(const uint8_t* ip, size_t available, DecodedPacket* out);

// Moves every pointer of `packet` from its IP packet to a copy of the same
// bytes at `ipCopy`.
void RebasePacket(DecodedPacket* packet, const uint8_t* ipCopy);

}  // namespace hostsim
