#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "hostsim/decode.h"
#include "hostsim/packet_builder.h"

namespace hostsim {
namespace {

using L = LinkLayer;
using R = DecodeResult;
using Ext = std::vector<Ipv6ExtensionHeader>;
using Tpids = std::vector<uint16_t>;
constexpr L kRaw = L::kRaw, kEth = L::kEthernet;

// An exact-size heap copy (kept): AddressSanitizer catches any read past its end.
DecodeResult Decode(LinkLayer link, const ByteVector& frame, DecodedPacket* out) {
  static std::vector<std::unique_ptr<uint8_t[]>> copies;
  copies.emplace_back(new uint8_t[std::max<size_t>(frame.size(), 1)]);
  std::copy(frame.begin(), frame.end(), copies.back().get());
  return DecodeFrame(link, copies.back().get(), frame.size(), out);
}
const auto PayloadOf = [](auto& p) { return std::string(p.payload, p.payload + p.payloadLength); };
const auto V4 = [](uint8_t protocol, const ByteVector& transport, const ByteVector& options = {},
                   uint16_t flags = 0x4000) {
  return Ipv4Packet(
      {Ipv4Address("10.1.2.3"), Ipv4Address("192.0.2.9"), protocol, 64, 0, flags, options},
      transport);
};
const auto TcpV4 = [](const ByteVector& payload, const ByteVector& ipOptions = {},
                      const ByteVector& tcpOptions = {}) {
  return V4(kIpProtocolTcp, TcpSegment(1234, 445, 1, 2, kTcpFlagAck | 0x08, payload, tcpOptions),
            ipOptions);
};
const auto V6 = [](const Ext& extensions, const ByteVector& transport,
                   uint8_t protocol = kIpProtocolUdp) {
  return Ipv6Packet({Ipv6Address("::1"), Ipv6Address("::2"), protocol, 64, extensions}, transport);
};
const auto UdpV6 = [](const Ext& extensions, const std::string& payload) {
  return V6(extensions, UdpDatagram(5353, 53, BytesOf(payload)));
};
const auto Cat = [](ByteVector head, const ByteVector& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
};

TEST(DecodeTest, EveryLinkLayerCarriesIpv4AndIpv6AndRefusesEveryCut) {
  const ByteVector v4 = TcpV4(BytesOf("over the link"), {1, 1, 1, 0}, {1, 1, 1, 1});
  const ByteVector v6 =
      UdpV6({{0, {}}, {43, {0, 0}}, {44, {0, 0, 0, 0, 0, 1}}, {60, {}}}, "over the link");
  for (const bool isV4 : {true, false}) {
    const ByteVector& ip = isV4 ? v4 : v6;
    const std::pair<L, ByteVector> frames[] = {
        {kEth, EthernetFrame(ip)},         {kEth, EthernetFrame(ip, {0x88A8, 0x8100})},
        {L::kLinuxSll, LinuxSllFrame(ip)}, {L::kLinuxSll2, LinuxSll2Frame(ip)},
        {L::kNull, NullFrame(ip, true)},   {L::kNull, NullFrame(ip, false)},
        {L::kLoop, LoopFrame(ip)},         {kRaw, ip},
        {isV4 ? L::kIpv4 : L::kIpv6, ip}};
    for (const auto& [link, frame] : frames) {
      SCOPED_TRACE(testing::Message() << int(link) << (isV4 ? " ipv4 " : " ipv6 ") << frame.size());
      DecodedPacket p{};
      ASSERT_EQ(Decode(link, frame, &p), R::kOk);
      EXPECT_EQ(p.ipLength, ip.size());
      EXPECT_EQ(PayloadOf(p), "over the link");
      EXPECT_EQ(p.networkProtocol, isV4 ? kNetworkProtocolIpv4 : kNetworkProtocolIpv6);
      EXPECT_EQ(p.ipProtocol, isV4 ? kIpProtocolTcp : kIpProtocolUdp);
      EXPECT_EQ(p.destination.bytes[isV4 ? 3 : 15], isV4 ? 9 : 2);
      EXPECT_EQ(__builtin_bswap16(p.sourcePort), isV4 ? 1234 : 5353);
      EXPECT_EQ(__builtin_bswap16(p.destinationPort), isV4 ? 445 : 53);
      for (size_t length = 0; length < frame.size(); ++length) {
        EXPECT_NE(Decode(link, ByteVector(frame.begin(), frame.begin() + long(length)), &p), R::kOk)
            << length;
      }
    }
  }
}

// IP header + transport header + payload = IP packet: trailing bytes are never payload.
TEST(DecodeTest, HeadersAreWalkedToTheTransportAndPayload) {
  const ByteVector tagged = TcpV4(BytesOf("tagged"));
  const std::string chain = "behind the chain";
  ByteVector bareAck = EthernetFrame(V4(kIpProtocolTcp, TcpSegment(1, 2, 3, 4, kTcpFlagAck, {})));
  ASSERT_EQ(bareAck.size(), 60u);
  std::fill(bareAck.begin() + 14 + 40, bareAck.end(), 0xEE);  // visible padding
  ByteVector offloaded = TcpV4(ByteVector(3000, 'x'));
  offloaded[2] = offloaded[3] = 0;  // zero total length: the frame bounds the segment
  struct Case {
    const char* name;
    uint32_t ipHeaderLength, transportHeaderLength;
    std::string payload;
    ByteVector frame;
    LinkLayer link = kRaw;
  };
  const Case cases[] = {
      {"QinQ", 20, 20, "tagged", EthernetFrame(tagged, {0x88A8, 0x9100, 0x8100}), kEth},
      {"eight tags", 20, 20, "tagged", EthernetFrame(tagged, Tpids(8, 0x8100)), kEth},
      {"padded bare ack", 20, 20, "", bareAck, kEth},
      {"ipv6 trailer", 40, 8, "abcdef", Cat(UdpV6({}, "abcdef"), {0xEE})},
      {"offloaded segment", 20, 20, std::string(3000, 'x'), offloaded},
      {"icmp", 20, 8, "ping", V4(kIpProtocolIcmp, IcmpMessage(8, 0, 0x10001, BytesOf("ping")))},
      {"four-byte icmp", 20, 4, "", V4(kIpProtocolIcmp, {3, 3, 0, 0})},
      {"first fragment", 20, 8, chain,
       V4(kIpProtocolUdp, UdpDatagram(1, 53, BytesOf(chain)), {}, 0x2000)},
      {"authentication", 56, 8, chain, UdpV6({{51, ByteVector(14, 0)}}, chain)},
      {"16 extension headers: the most walked", 168, 8, chain, UdpV6(Ext(16, {60, {}}), chain)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedPacket p{};
    ASSERT_EQ(Decode(c.link, c.frame, &p), R::kOk);
    EXPECT_EQ(p.ipHeaderLength, c.ipHeaderLength);
    EXPECT_EQ(p.transport, p.ip + c.ipHeaderLength);
    EXPECT_EQ(p.transportHeaderLength, c.transportHeaderLength);
    EXPECT_EQ(p.payload, p.transport + c.transportHeaderLength);
    EXPECT_EQ(PayloadOf(p), c.payload);
    EXPECT_EQ(p.ipLength, p.ipHeaderLength + p.transportHeaderLength + p.payloadLength);
    EXPECT_TRUE(p.ipProtocol != kIpProtocolIcmp || (p.sourcePort | p.destinationPort) == 0);
  }
}

TEST(DecodeTest, EachFrameGetsTheResultThatSaysWhy) {
  const auto set = [](ByteVector ip, size_t offset, uint8_t value) {
    ip[offset] = value;
    return ip;
  };
  const ByteVector tcp = TcpV4(BytesOf("0123456789")), udp6 = UdpV6({}, "abcdef");
  struct Case {
    std::string name;
    R expected;
    ByteVector frame;
    LinkLayer link = kRaw;
  };
  std::vector<Case> cases = {
      {"unknown loopback family", R::kNonIp, Cat({99, 0, 0, 0}, udp6), L::kNull},
      {"nine VLAN tags", R::kMalformed, EthernetFrame(tcp, Tpids(9, 0x8100)), kEth},
      {"IPv5 on a raw link", R::kMalformed, set(tcp, 0, 0x55)},
      {"IPv4 on an IPv6 link", R::kMalformed, tcp, L::kIpv6},
      {"later ipv4 fragment", R::kFragment, V4(kIpProtocolUdp, ByteVector(16, 1), {}, 0x0003)},
      {"later ipv6 fragment", R::kFragment, UdpV6({{44, {0, 0xB8, 0, 0, 0, 7}}}, "x")},
      {"IHL below 5", R::kMalformed, set(tcp, 0, 0x44)},
      {"IHL beyond the total length", R::kMalformed, set(tcp, 0, 0x4F)},
      {"total length below the header", R::kMalformed, set(set(tcp, 2, 0), 3, 10)},
      {"TCP data offset below 5", R::kMalformed, set(tcp, 32, 0x40)},
      {"TCP data offset beyond the segment", R::kMalformed, set(tcp, 32, 0xF0)},
      {"ipv6 length beyond the frame", R::kTruncated, set(udp6, 5, uint8_t(udp6[5] + 10))},
      {"extension beyond the packet", R::kMalformed, set(UdpV6({{0, {}}}, ""), 41, 200)},
      {"seventeen extension headers", R::kMalformed, UdpV6(Ext(17, {60, {}}), "")},
      {"no next header", R::kUnsupportedTransport, V6({}, ByteVector(16, 0), 59)},
  };
  for (uint8_t family : {10, 23, 24, 28, 30})  // IPv6 loopback families of the BSDs
    cases.push_back(
        {"family " + std::to_string(family), R::kOk, Cat({family, 0, 0, 0}, udp6), L::kNull});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DecodedPacket p{};
    EXPECT_EQ(Decode(c.link, c.frame, &p), c.expected);
  }
}

}  // namespace
}  // namespace hostsim
