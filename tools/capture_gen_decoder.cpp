#include "tools/capture_gen_decoder.h"

#include <stdio.h>

#include "tools/capture_gen_benign.h"
#include "tools/capture_gen_payloads.h"
#include "tools/capture_gen_port_scan.h"
#include "tools/capture_gen_smb1.h"

namespace capgen {
namespace {

using hostsim::BytesOf;
using hostsim::CaptureWriter;

// IPv6 traffic behind every extension header the decoder walks, then
// fragments: a first fragment (inspected) and a later one (skipped).
Trace Ipv6ExtensionTrace() {
  Trace t;
  const auto source = hostsim::Ipv6Address("2001:db8::66");
  const auto target = hostsim::Ipv6Address("2001:db8::20");
  const std::vector<std::vector<hostsim::Ipv6ExtensionHeader>> chains = {
      {{0, {0x05, 0x02, 0x00, 0x00}}},   // hop-by-hop
      {{43, {0x00, 0x00, 0, 0, 0, 0}}},  // routing, segments left 0
      {{60, {0x01, 0x04, 0, 0, 0, 0}}},  // destination options
      {{51, {0, 0, 0, 0, 0, 0, 0, 0x2A, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}},  // AH
      {{0, {}}, {43, {0, 0}}, {60, {}}},  // a chain of three
  };
  uint16_t port = 20;
  // 20 SYNs to ports below 1024, each behind one of the chains: a scan
  // that only shows when every header is walked to TCP.
  for (int i = 0; i < 20; ++i) {
    hostsim::Ipv6Header header;
    header.source = source;
    header.destination = target;
    header.protocol = kIpTcp;
    header.extensions = chains[static_cast<size_t>(i) % chains.size()];
    t.Add(hostsim::Ipv6Packet(header, hostsim::TcpSegment(45000, port++, 0x7000, 0, kTcpSyn, {})),
          100000);
  }
  hostsim::Ipv6Header fragment;
  fragment.source = source;
  fragment.destination = target;
  fragment.protocol = kIpUdp;
  fragment.extensions = {{44, {0x00, 0x01, 0, 0, 0x12, 0x34}}};  // offset 0, more fragments
  t.Add(hostsim::Ipv6Packet(fragment, hostsim::UdpDatagram(45001, 53, DnsQuery(1, "a.example"))));
  fragment.extensions = {{44, {0x00, 0xB8, 0, 0, 0x12, 0x34}}};  // offset 23 (184 bytes), last
  t.Add(hostsim::Ipv6Packet(fragment, ByteVector(24, 0x41)));
  // ESP and "no next header" end the walk without a transport header.
  hostsim::Ipv6Header other;
  other.source = source;
  other.destination = target;
  other.protocol = 50;
  t.Add(hostsim::Ipv6Packet(other, ByteVector(32, 0x11)));
  other.protocol = 59;
  t.Add(hostsim::Ipv6Packet(other, {}));
  return t;
}

// A port scan and an ICMPv6 exchange, for the link-type cases.
Trace LinkTypeTrace(bool ipv6) {
  Trace t;
  if (ipv6) {
    t.Add(IpPacket("2001:db8::10", "2001:db8::1", kIpIcmpv6,
                   hostsim::IcmpMessage(128, 0, 0x00070001, BytesOf("v6 ping"))));
    t.Add(IpPacket("2001:db8::1", "2001:db8::10", kIpIcmpv6,
                   hostsim::IcmpMessage(129, 0, 0x00070001, BytesOf("v6 ping"))));
  }
  AddTcpPortScan(&t, "10.0.0.66", "192.168.1.20");
  return t;
}

}  // namespace

std::vector<RegressionCapture> DecoderRegressionCaptures() {
  auto linkCase = [](uint32_t linktype, bool ipv6) {
    return [linktype, ipv6](const std::string& path) {
      return WriteFramed(path, LinkTypeTrace(ipv6), linktype);
    };
  };
  return {
      {"benign", "benign traffic of every watched protocol",
       [](const std::string& path) {
         return WriteFramed(path, BenignTrace(), hostsim::kLinktypeEthernet);
       }},
      {"ipv6-extension-headers", "a TCP scan behind IPv6 extension headers, and fragments",
       [](const std::string& path) {
         return WriteFramed(path, Ipv6ExtensionTrace(), hostsim::kLinktypeEthernet);
       }},
      {"vlan-qinq-pcapng", "a TCP scan in 802.1Q and QinQ frames, pcapng with two interfaces",
       [](const std::string& path) {
         const Trace trace = LinkTypeTrace(true);
         CaptureWriter writer;
         if (!writer.Open(path + ".pcapng", CaptureWriter::Format::kPcapng,
                          hostsim::kLinktypeEthernet, 2)) {
           return false;
         }
         uint32_t index = 0;
         for (const TimedPacket& packet : trace.packets()) {
           const std::vector<uint16_t> tags = index % 2 == 0
                                                  ? std::vector<uint16_t>{0x8100}
                                                  : std::vector<uint16_t>{0x88A8, 0x8100};
           writer.Write(hostsim::EthernetFrame(packet.ip, tags), packet.seconds,
                        packet.microseconds, index % 2);
           ++index;
         }
         return writer.Close();
       }},
      {"linktype-null", "BSD loopback", linkCase(hostsim::kLinktypeNull, true)},
      {"linktype-loop", "OpenBSD loopback", linkCase(hostsim::kLinktypeLoop, true)},
      {"linktype-raw", "raw IP", linkCase(hostsim::kLinktypeRaw, true)},
      {"linktype-ipv4", "raw IPv4", linkCase(hostsim::kLinktypeIpv4, false)},
      {"linktype-sll", "Linux cooked v1", linkCase(hostsim::kLinktypeLinuxSll, true)},
      {"linktype-sll2", "Linux cooked v2", linkCase(hostsim::kLinktypeLinuxSll2, true)},
      {"snaplen-cut", "benign traffic captured with a 96-byte snap length",
       [](const std::string& path) {
         const Trace trace = BenignTrace();
         CaptureWriter writer;
         if (!writer.Open(path + ".pcap", CaptureWriter::Format::kPcap, hostsim::kLinktypeEthernet,
                          1, 96)) {
           return false;
         }
         for (const TimedPacket& packet : trace.packets()) {
           ByteVector frame = hostsim::EthernetFrame(packet.ip);
           const uint32_t wire = static_cast<uint32_t>(frame.size());
           if (frame.size() > 96) frame.resize(96);
           writer.Write(frame, packet.seconds, packet.microseconds, 0, wire);
         }
         return writer.Close();
       }},
      {"truncated-file", "the SMB1 requests, the file cut inside frame 15",
       [](const std::string& path) {
         const std::string file = path + ".pcap";
         if (!WriteFramed(path, SmbRequestAttacks(), hostsim::kLinktypeEthernet)) return false;
         // Keep the file header, 14 whole frames and 10 bytes of the 15th.
         FILE* in = fopen(file.c_str(), "rb");
         if (in == nullptr) return false;
         ByteVector bytes;
         uint8_t buffer[4096];
         size_t got;
         while ((got = fread(buffer, 1, sizeof buffer, in)) > 0)
           bytes.insert(bytes.end(), buffer, buffer + got);
         fclose(in);
         size_t offset = 24;
         for (int frame = 0; frame < 14 && offset + 16 <= bytes.size(); ++frame) {
           const uint32_t captured = bytes[offset + 8] | bytes[offset + 9] << 8 |
                                     bytes[offset + 10] << 16 |
                                     static_cast<uint32_t>(bytes[offset + 11]) << 24;
           offset += 16 + captured;
         }
         bytes.resize(offset + 16 + 10);
         FILE* out = fopen(file.c_str(), "wb");
         if (out == nullptr) return false;
         const bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
         return fclose(out) == 0 && ok;
       }},
  };
}

}  // namespace capgen
