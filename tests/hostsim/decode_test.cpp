// Frame decoding: every link layer, VLAN tags, IPv4 options, IPv6 extension
// headers, Ethernet padding, and frames that lie about their lengths. Frames
// are decoded from exact-size heap copies so that any read past the end
// trips AddressSanitizer.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "hostsim/decode.h"
#include "hostsim/packet_builder.h"

namespace hostsim {
namespace {

class ExactFrame {
 public:
  explicit ExactFrame(const ByteVector& bytes)
      : data_(new uint8_t[bytes.size() == 0 ? 1 : bytes.size()]), size_(bytes.size()) {
    if (!bytes.empty()) memcpy(data_.get(), bytes.data(), bytes.size());
  }
  DecodeResult Decode(LinkLayer link, DecodedPacket* out) const {
    return DecodeFrame(link, data_.get(), size_, out);
  }
  const uint8_t* data() const { return data_.get(); }

 private:
  std::unique_ptr<uint8_t[]> data_;
  size_t size_;
};

// Decodes an exact-size copy of the frame; the copy lives as long as the
// test binary, so the decoded pointers stay valid for the checks.
DecodeResult Decode(LinkLayer link, const ByteVector& frame, DecodedPacket* out) {
  static std::vector<std::unique_ptr<ExactFrame>> frames;
  frames.push_back(std::make_unique<ExactFrame>(frame));
  return frames.back()->Decode(link, out);
}

uint16_t HostOrder(uint16_t networkOrder) {
  return static_cast<uint16_t>(__builtin_bswap16(networkOrder));
}

ByteVector TcpIpv4(const ByteVector& payload, const ByteVector& ipOptions = {},
                   const ByteVector& tcpOptions = {}) {
  Ipv4Header header;
  header.source = Ipv4Address("10.1.2.3");
  header.destination = Ipv4Address("192.0.2.9");
  header.protocol = kIpProtocolTcp;
  header.options = ipOptions;
  return Ipv4Packet(header, TcpSegment(1234, 445, 1, 2, kTcpFlagAck | 0x08, payload, tcpOptions));
}

ByteVector UdpIpv6(const std::vector<Ipv6ExtensionHeader>& extensions, const ByteVector& payload) {
  Ipv6Header header;
  header.source = Ipv6Address("2001:db8::1");
  header.destination = Ipv6Address("2001:db8::2");
  header.protocol = kIpProtocolUdp;
  header.extensions = extensions;
  return Ipv6Packet(header, UdpDatagram(5353, 53, payload));
}

// ---- Link layers --------------------------------------------------------------

struct LinkCase {
  const char* name;
  LinkLayer link;
  ByteVector (*frame)(const ByteVector& ip);
};

ByteVector Ethernet(const ByteVector& ip) { return EthernetFrame(ip); }
ByteVector Raw(const ByteVector& ip) { return ip; }
ByteVector NullLittle(const ByteVector& ip) { return NullFrame(ip, true); }
ByteVector NullBig(const ByteVector& ip) { return NullFrame(ip, false); }

class LinkLayerTest : public ::testing::TestWithParam<LinkCase> {};

TEST_P(LinkLayerTest, DecodesIpv4AndIpv6TransportsBehindTheLinkHeader) {
  const LinkCase& c = GetParam();
  const ByteVector payload = BytesOf("hello over the link");
  const ByteVector v4 = TcpIpv4(payload);
  const ByteVector v6 = UdpIpv6({}, payload);
  for (const ByteVector* ip : {&v4, &v6}) {
    if (c.link == LinkLayer::kIpv4 && ip == &v6) continue;
    if (c.link == LinkLayer::kIpv6 && ip == &v4) continue;
    DecodedPacket packet{};
    ASSERT_EQ(Decode(c.link, c.frame(*ip), &packet), DecodeResult::kOk) << c.name;
    EXPECT_EQ(packet.ipLength, ip->size());
    EXPECT_EQ(packet.payloadLength, payload.size());
    EXPECT_EQ(ByteVector(packet.payload, packet.payload + packet.payloadLength), payload);
    if (ip == &v4) {
      EXPECT_EQ(packet.networkProtocol, kNetworkProtocolIpv4);
      EXPECT_EQ(packet.ipProtocol, kIpProtocolTcp);
      EXPECT_EQ(packet.source.version, 4u);
      EXPECT_EQ(packet.source.bytes[0], 10);
      EXPECT_EQ(packet.destination.bytes[3], 9);
      EXPECT_EQ(HostOrder(packet.sourcePort), 1234);
      EXPECT_EQ(HostOrder(packet.destinationPort), 445);
    } else {
      EXPECT_EQ(packet.networkProtocol, kNetworkProtocolIpv6);
      EXPECT_EQ(packet.ipProtocol, kIpProtocolUdp);
      EXPECT_EQ(packet.destination.version, 6u);
      EXPECT_EQ(packet.destination.bytes[15], 2);
      EXPECT_EQ(HostOrder(packet.destinationPort), 53);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(AllLinks, LinkLayerTest,
                         ::testing::Values(LinkCase{"ethernet", LinkLayer::kEthernet, Ethernet},
                                           LinkCase{"sll", LinkLayer::kLinuxSll, LinuxSllFrame},
                                           LinkCase{"sll2", LinkLayer::kLinuxSll2, LinuxSll2Frame},
                                           LinkCase{"null-little-endian", LinkLayer::kNull,
                                                    NullLittle},
                                           LinkCase{"null-big-endian", LinkLayer::kNull, NullBig},
                                           LinkCase{"loop", LinkLayer::kLoop, LoopFrame},
                                           LinkCase{"raw", LinkLayer::kRaw, Raw},
                                           LinkCase{"ipv4", LinkLayer::kIpv4, Raw},
                                           LinkCase{"ipv6", LinkLayer::kIpv6, Raw}),
                         [](const ::testing::TestParamInfo<LinkCase>& info) {
                           std::string name = info.param.name;
                           for (char& ch : name) {
                             if (ch == '-') ch = '_';
                           }
                           return name;
                         });

TEST(DecodeTest, LoopbackFamiliesOfEveryBsdDecodeAsIpv6) {
  const ByteVector ip = UdpIpv6({}, BytesOf("x"));
  for (uint32_t family : {10u, 23u, 24u, 28u, 30u}) {
    ByteVector frame = {static_cast<uint8_t>(family), 0, 0, 0};
    frame.insert(frame.end(), ip.begin(), ip.end());
    DecodedPacket packet{};
    EXPECT_EQ(Decode(LinkLayer::kNull, frame, &packet), DecodeResult::kOk) << family;
  }
  ByteVector unknown = {99, 0, 0, 0};
  unknown.insert(unknown.end(), ip.begin(), ip.end());
  DecodedPacket packet{};
  EXPECT_EQ(Decode(LinkLayer::kNull, unknown, &packet), DecodeResult::kNonIp);
}

TEST(DecodeTest, RawIpWithAnotherVersionIsMalformed) {
  ByteVector ip = TcpIpv4(BytesOf("x"));
  ip[0] = static_cast<uint8_t>(0x50 | (ip[0] & 0x0F));
  DecodedPacket packet{};
  EXPECT_EQ(Decode(LinkLayer::kRaw, ip, &packet), DecodeResult::kMalformed);
  // A raw-IPv6 link carrying IPv4 is just as wrong.
  EXPECT_EQ(Decode(LinkLayer::kIpv6, TcpIpv4(BytesOf("x")), &packet), DecodeResult::kMalformed);
}

// ---- VLAN tags ----------------------------------------------------------------

TEST(DecodeTest, VlanAndQinQTagsAreSkipped) {
  const ByteVector ip = TcpIpv4(BytesOf("tagged"));
  const std::vector<std::vector<uint16_t>> stacks = {
      {0x8100}, {0x88A8, 0x8100}, {0x9100, 0x8100}, {0x88A8, 0x88A8, 0x8100}};
  for (const auto& tags : stacks) {
    DecodedPacket packet{};
    ASSERT_EQ(Decode(LinkLayer::kEthernet, EthernetFrame(ip, tags), &packet), DecodeResult::kOk)
        << tags.size() << " tags";
    EXPECT_EQ(packet.ipLength, ip.size());
    EXPECT_EQ(std::string(packet.payload, packet.payload + packet.payloadLength), "tagged");
  }
  // Nine stacked tags is no real stack: refused rather than walked forever.
  DecodedPacket packet{};
  EXPECT_EQ(
      Decode(LinkLayer::kEthernet, EthernetFrame(ip, std::vector<uint16_t>(9, 0x8100)), &packet),
      DecodeResult::kMalformed);
  // A tag cut off by the end of the frame.
  ByteVector cut = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0x81, 0x00, 0x00};
  EXPECT_EQ(Decode(LinkLayer::kEthernet, cut, &packet), DecodeResult::kMalformed);
}

TEST(DecodeTest, NonIpEtherTypesAreCountedAsNotIp) {
  DecodedPacket packet{};
  EXPECT_EQ(Decode(LinkLayer::kEthernet, EthernetFrameWithType(0x0806, ByteVector(28, 0)), &packet),
            DecodeResult::kNonIp);  // ARP
  EXPECT_EQ(Decode(LinkLayer::kEthernet, EthernetFrameWithType(0x0040, ByteVector(46, 0)), &packet),
            DecodeResult::kNonIp);  // 802.3 length field (LLC)
  EXPECT_EQ(Decode(LinkLayer::kEthernet, EthernetFrameWithType(0x88CC, ByteVector(46, 0)), &packet),
            DecodeResult::kNonIp);  // LLDP
}

// ---- IPv4 -------------------------------------------------------------------------

TEST(DecodeTest, EthernetPaddingIsNeverPayload) {
  // A bare ACK is 40 bytes of IP; the Ethernet frame is padded to 60 bytes.
  Ipv4Header header;
  header.source = Ipv4Address("10.0.0.1");
  header.destination = Ipv4Address("10.0.0.2");
  const ByteVector ip = Ipv4Packet(header, TcpSegment(1, 2, 3, 4, kTcpFlagAck, {}));
  ByteVector frame = EthernetFrame(ip);
  ASSERT_EQ(frame.size(), 60u);
  for (size_t i = 14 + ip.size(); i < frame.size(); ++i) frame[i] = 0xEE;  // visible padding
  DecodedPacket packet{};
  ASSERT_EQ(Decode(LinkLayer::kEthernet, frame, &packet), DecodeResult::kOk);
  EXPECT_EQ(packet.ipLength, 40u);
  EXPECT_EQ(packet.payloadLength, 0u);
  EXPECT_EQ(packet.tcpFlags, kTcpFlagAck);
  // The same with a short UDP payload: the payload ends where the IP packet does.
  const ByteVector udp = [&] {
    Ipv4Header u = header;
    u.protocol = kIpProtocolUdp;
    return Ipv4Packet(u, UdpDatagram(1, 2, {0xAB}));
  }();
  ASSERT_EQ(Decode(LinkLayer::kEthernet, EthernetFrame(udp), &packet), DecodeResult::kOk);
  EXPECT_EQ(packet.payloadLength, 1u);
  EXPECT_EQ(packet.payload[0], 0xAB);
}

TEST(DecodeTest, Ipv4OptionsAndTcpOptionsMoveTheHeaders) {
  const ByteVector ipOptions = {7, 11, 4, 0, 0, 0, 0, 0, 0, 0, 0};  // record route, padded to 12
  const ByteVector tcpOptions = {2, 4, 0x05, 0xB4, 1, 1, 4, 2};     // MSS, NOP, NOP, SACK-permitted
  const ByteVector ip = TcpIpv4(BytesOf("data"), ipOptions, tcpOptions);
  DecodedPacket packet{};
  ASSERT_EQ(Decode(LinkLayer::kRaw, ip, &packet), DecodeResult::kOk);
  EXPECT_EQ(packet.ipHeaderLength, 32u);
  EXPECT_EQ(packet.transport, packet.ip + 32);
  EXPECT_EQ(packet.transportHeaderLength, 28u);
  EXPECT_EQ(std::string(packet.payload, packet.payload + packet.payloadLength), "data");
}

TEST(DecodeTest, Ipv4FragmentsFirstDecodedLaterSkipped) {
  Ipv4Header header;
  header.source = Ipv4Address("10.0.0.1");
  header.destination = Ipv4Address("10.0.0.2");
  header.protocol = kIpProtocolUdp;
  header.flagsAndOffset = 0x2000;  // more fragments, offset 0
  DecodedPacket packet{};
  EXPECT_EQ(
      Decode(LinkLayer::kRaw, Ipv4Packet(header, UdpDatagram(1, 53, ByteVector(16, 1))), &packet),
      DecodeResult::kOk);
  header.flagsAndOffset = 0x0003;  // offset 24 bytes, last fragment
  EXPECT_EQ(Decode(LinkLayer::kRaw, Ipv4Packet(header, ByteVector(16, 1)), &packet),
            DecodeResult::kFragment);
}

TEST(DecodeTest, ZeroTotalLengthOfAnOffloadedSegmentUsesTheFrame) {
  ByteVector ip = TcpIpv4(ByteVector(3000, 'x'));
  ip[2] = ip[3] = 0;
  DecodedPacket packet{};
  ASSERT_EQ(Decode(LinkLayer::kRaw, ip, &packet), DecodeResult::kOk);
  EXPECT_EQ(packet.payloadLength, 3000u);
}

TEST(DecodeTest, IcmpHasNoPortsAndAnEightByteHeader) {
  Ipv4Header header;
  header.source = Ipv4Address("10.0.0.1");
  header.destination = Ipv4Address("10.0.0.2");
  header.protocol = kIpProtocolIcmp;
  DecodedPacket packet{};
  ASSERT_EQ(Decode(LinkLayer::kRaw, Ipv4Packet(header, IcmpMessage(8, 0, 0x10001, BytesOf("ping"))),
                   &packet),
            DecodeResult::kOk);
  EXPECT_EQ(packet.ipProtocol, kIpProtocolIcmp);
  EXPECT_EQ(packet.sourcePort, 0);
  EXPECT_EQ(packet.destinationPort, 0);
  EXPECT_EQ(packet.transportHeaderLength, 8u);
  EXPECT_EQ(packet.payloadLength, 4u);
  // A four-byte message still shows its type, code and checksum.
  ASSERT_EQ(Decode(LinkLayer::kRaw, Ipv4Packet(header, {3, 3, 0, 0}), &packet), DecodeResult::kOk);
  EXPECT_EQ(packet.transportHeaderLength, 4u);
  EXPECT_EQ(packet.payloadLength, 0u);
}

TEST(DecodeTest, OtherIpProtocolsAreCounted) {
  Ipv4Header header;
  header.source = Ipv4Address("10.0.0.1");
  header.destination = Ipv4Address("10.0.0.2");
  for (uint8_t protocol : {2, 47, 50, 89, 132}) {  // IGMP, GRE, ESP, OSPF, SCTP
    header.protocol = protocol;
    DecodedPacket packet{};
    EXPECT_EQ(Decode(LinkLayer::kRaw, Ipv4Packet(header, ByteVector(24, 0)), &packet),
              DecodeResult::kUnsupportedTransport)
        << int{protocol};
  }
}

// Headers that contradict themselves or the frame.
TEST(DecodeTest, LyingLengthsAreMalformedOrTruncated) {
  const ByteVector good = TcpIpv4(BytesOf("0123456789"));
  struct Mutation {
    const char* what;
    size_t offset;
    uint8_t value;
    DecodeResult expected;
  };
  const Mutation mutations[] = {
      {"IHL below 5", 0, 0x44, DecodeResult::kMalformed},
      {"IHL beyond the total length", 0, 0x4F, DecodeResult::kMalformed},
      {"total length beyond the frame", 2, 0x10, DecodeResult::kTruncated},
      {"total length shorter than the header", 3, 10, DecodeResult::kMalformed},
      {"TCP data offset below 5", 20 + 12, 0x40, DecodeResult::kMalformed},
      {"TCP data offset beyond the segment", 20 + 12, 0xF0, DecodeResult::kMalformed},
  };
  for (const Mutation& m : mutations) {
    ByteVector ip = good;
    if (m.offset == 3) ip[2] = 0;
    ip[m.offset] = m.value;
    DecodedPacket packet{};
    EXPECT_EQ(Decode(LinkLayer::kRaw, ip, &packet), m.expected) << m.what;
  }
}

// Every strict prefix of a valid frame is refused, and never read past its end.
TEST(DecodeTest, EveryTruncationOfEveryLinkEndsInAResult) {
  const ByteVector v4 = TcpIpv4(BytesOf("payload"), {1, 1, 1, 0}, {1, 1, 1, 1});
  const ByteVector v6 =
      UdpIpv6({{0, {}}, {43, {0, 0}}, {44, {0, 0, 0, 0, 0, 1}}, {60, {}}}, BytesOf("payload"));
  const std::pair<LinkLayer, ByteVector> frames[] = {
      {LinkLayer::kEthernet, EthernetFrame(v4, {0x88A8, 0x8100})},
      {LinkLayer::kEthernet, EthernetFrame(v6)},
      {LinkLayer::kLinuxSll, LinuxSllFrame(v6)},
      {LinkLayer::kLinuxSll2, LinuxSll2Frame(v4)},
      {LinkLayer::kNull, NullFrame(v6)},
      {LinkLayer::kRaw, v4},
  };
  for (const auto& [link, frame] : frames) {
    for (size_t length = 0; length < frame.size(); ++length) {
      const ByteVector prefix(frame.begin(), frame.begin() + static_cast<long>(length));
      DecodedPacket packet{};
      // None of these frames is padded, so every strict prefix lacks bytes
      // that the headers promise.
      EXPECT_NE(Decode(link, prefix, &packet), DecodeResult::kOk) << length;
    }
  }
}

// ---- IPv6 extension headers ------------------------------------------------------

TEST(DecodeTest, Ipv6ExtensionHeadersAreWalkedToTheTransport) {
  const ByteVector payload = BytesOf("behind the chain");
  struct Chain {
    const char* name;
    std::vector<Ipv6ExtensionHeader> headers;
    uint32_t length;  // of the extension headers
  };
  const Chain chains[] = {
      {"hop-by-hop", {{0, {1, 2, 0, 0}}}, 8},
      {"routing", {{43, {0, 0, 0, 0, 0, 0}}}, 8},
      {"destination options, 16 bytes", {{60, ByteVector(14, 0)}}, 16},
      {"first fragment", {{44, {0x00, 0x01, 0, 0, 0, 7}}}, 8},
      {"authentication header", {{51, ByteVector(14, 0)}}, 16},
      {"chain of four", {{0, {}}, {60, {}}, {43, {0, 0}}, {60, ByteVector(14, 0)}}, 40},
  };
  for (const Chain& chain : chains) {
    const ByteVector ip = UdpIpv6(chain.headers, payload);
    DecodedPacket packet{};
    ASSERT_EQ(Decode(LinkLayer::kRaw, ip, &packet), DecodeResult::kOk) << chain.name;
    EXPECT_EQ(packet.ipProtocol, kIpProtocolUdp) << chain.name;
    EXPECT_EQ(packet.ipHeaderLength, 40 + chain.length) << chain.name;
    EXPECT_EQ(std::string(packet.payload, packet.payload + packet.payloadLength),
              "behind the chain")
        << chain.name;
  }
}

TEST(DecodeTest, Ipv6WalkStopsWhereNoTransportFollows) {
  DecodedPacket packet{};
  // A later fragment carries no transport header.
  EXPECT_EQ(
      Decode(LinkLayer::kRaw, UdpIpv6({{44, {0x00, 0xB8, 0, 0, 0, 7}}}, BytesOf("x")), &packet),
      DecodeResult::kFragment);
  for (uint8_t terminal : {50, 59, 135}) {  // ESP, no next header, mobility
    Ipv6Header header;
    header.source = Ipv6Address("2001:db8::1");
    header.destination = Ipv6Address("2001:db8::2");
    header.protocol = terminal;
    EXPECT_EQ(Decode(LinkLayer::kRaw, Ipv6Packet(header, ByteVector(16, 0)), &packet),
              DecodeResult::kUnsupportedTransport)
        << int{terminal};
  }
  // An extension header whose length runs past the packet.
  ByteVector ip = UdpIpv6({{0, {}}}, BytesOf("x"));
  ip[41] = 200;
  EXPECT_EQ(Decode(LinkLayer::kRaw, ip, &packet), DecodeResult::kMalformed);
  // Seventeen hop-by-hop headers in a row is no real packet.
  std::vector<Ipv6ExtensionHeader> many(17, Ipv6ExtensionHeader{60, {}});
  EXPECT_EQ(Decode(LinkLayer::kRaw, UdpIpv6(many, BytesOf("x")), &packet),
            DecodeResult::kMalformed);
}

TEST(DecodeTest, Ipv6PayloadLengthBoundsThePacket) {
  ByteVector ip = UdpIpv6({}, BytesOf("abcdef"));
  ip.push_back(0xEE);  // trailer after the packet
  DecodedPacket packet{};
  ASSERT_EQ(Decode(LinkLayer::kRaw, ip, &packet), DecodeResult::kOk);
  EXPECT_EQ(packet.ipLength, ip.size() - 1);
  EXPECT_EQ(packet.payloadLength, 6u);
  ip[5] = static_cast<uint8_t>(ip[5] + 10);  // claims 10 more bytes than the frame has
  EXPECT_EQ(Decode(LinkLayer::kRaw, ip, &packet), DecodeResult::kTruncated);
}

TEST(DecodeTest, RebaseMovesEveryPointerToTheCopy) {
  const ByteVector ip = TcpIpv4(BytesOf("abc"));
  DecodedPacket packet{};
  ASSERT_EQ(Decode(LinkLayer::kRaw, ip, &packet), DecodeResult::kOk);
  const ByteVector copy(packet.ip, packet.ip + packet.ipLength);
  RebasePacket(&packet, copy.data());
  EXPECT_EQ(packet.ip, copy.data());
  EXPECT_EQ(packet.transport, copy.data() + 20);
  EXPECT_EQ(packet.payload, copy.data() + 40);
}

}  // namespace
}  // namespace hostsim
