#include "tools/capture_gen.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

namespace capgen {
namespace {

using hostsim::CaptureWriter;

bool IsIpv6(const std::string& address) { return address.find(':') != std::string::npos; }

ByteVector Frame(const ByteVector& ip, uint32_t linktype) {
  switch (linktype) {
    case hostsim::kLinktypeNull:
      return hostsim::NullFrame(ip);
    case hostsim::kLinktypeLoop:
      return hostsim::LoopFrame(ip);
    case hostsim::kLinktypeRaw:
    case hostsim::kLinktypeIpv4:
    case hostsim::kLinktypeIpv6:
      return ip;
    case hostsim::kLinktypeLinuxSll:
      return hostsim::LinuxSllFrame(ip);
    case hostsim::kLinktypeLinuxSll2:
      return hostsim::LinuxSll2Frame(ip);
    default:
      return hostsim::EthernetFrame(ip);
  }
}

}  // namespace

void Trace::Add(const ByteVector& ip, int64_t gapUs) {
  clockUs_ += gapUs;
  packets_.push_back({clockUs_ / 1000000, clockUs_ % 1000000, ip});
}

TcpSession::TcpSession(Trace* trace, const char* client, uint16_t clientPort, const char* server,
                       uint16_t serverPort)
    : trace_(trace),
      client_(client),
      server_(server),
      clientPort_(clientPort),
      serverPort_(serverPort) {}

void TcpSession::Send(bool fromClient, uint8_t flags, const ByteVector& data) {
  uint32_t& seq = fromClient ? clientSeq_ : serverSeq_;
  const uint32_t ack = (flags & kTcpAck) ? (fromClient ? serverSeq_ : clientSeq_) : 0;
  const ByteVector segment =
      fromClient ? hostsim::TcpSegment(clientPort_, serverPort_, seq, ack, flags, data)
                 : hostsim::TcpSegment(serverPort_, clientPort_, seq, ack, flags, data);
  trace_->Add(fromClient ? IpPacket(client_.c_str(), server_.c_str(), kIpTcp, segment)
                         : IpPacket(server_.c_str(), client_.c_str(), kIpTcp, segment));
  seq += static_cast<uint32_t>(data.size()) + ((flags & (kTcpSyn | kTcpFin)) ? 1 : 0);
}

void TcpSession::Open() {
  Send(true, kTcpSyn, {});
  Send(false, kTcpSyn | kTcpAck, {});
  Send(true, kTcpAck, {});
}

void TcpSession::Client(const ByteVector& data) {
  Send(true, kTcpPsh | kTcpAck, data);
  Send(false, kTcpAck, {});
}

void TcpSession::Server(const ByteVector& data) {
  Send(false, kTcpPsh | kTcpAck, data);
  Send(true, kTcpAck, {});
}

void TcpSession::Close() {
  Send(true, kTcpFin | kTcpAck, {});
  Send(false, kTcpFin | kTcpAck, {});
  Send(true, kTcpAck, {});
}

ByteVector IpPacket(const char* source, const char* destination, uint8_t protocol,
                    const ByteVector& transport) {
  if (IsIpv6(source)) {
    hostsim::Ipv6Header header;
    header.source = hostsim::Ipv6Address(source);
    header.destination = hostsim::Ipv6Address(destination);
    header.protocol = protocol;
    return hostsim::Ipv6Packet(header, transport);
  }
  hostsim::Ipv4Header header;
  header.source = hostsim::Ipv4Address(source);
  header.destination = hostsim::Ipv4Address(destination);
  header.protocol = protocol;
  return hostsim::Ipv4Packet(header, transport);
}

ByteVector UdpPacket(const char* source, uint16_t sourcePort, const char* destination,
                     uint16_t destinationPort, const ByteVector& payload) {
  return IpPacket(source, destination, kIpUdp,
                  hostsim::UdpDatagram(sourcePort, destinationPort, payload));
}

bool WriteTrace(const std::string& path, const Trace& trace, CaptureWriter::Format format,
                uint32_t linktype) {
  CaptureWriter writer;
  if (!writer.Open(path, format, linktype)) return false;
  for (const TimedPacket& packet : trace.packets()) {
    writer.Write(Frame(packet.ip, linktype), packet.seconds, packet.microseconds);
  }
  return writer.Close();
}

bool WriteFramed(const std::string& path, const Trace& trace, uint32_t linktype) {
  return WriteTrace(path + ".pcap", trace, CaptureWriter::Format::kPcap, linktype);
}

std::string NextFrame(const Trace& trace) { return std::to_string(trace.size() + 1); }

std::vector<FamilyCapture> AttackExamples(const std::vector<Attack>& attacks) {
  std::vector<FamilyCapture> out;
  for (const Attack& a : attacks) {
    FamilyCapture capture;
    capture.name = "attack-" + std::to_string(a.id) + "-" + a.slug + ".pcap";
    const std::string frame = a.add(&capture.trace, "10.0.0.70", 50100);
    capture.description =
        std::string(a.what) + " (" + std::to_string(a.id) + " on frame " + frame + ")";
    out.push_back(std::move(capture));
  }
  return out;
}

bool MakeDirectory(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  *error = path + ": " + strerror(errno);
  return false;
}

}  // namespace capgen
