// The core of the project's capture generator: IP packets, TCP sessions and
// traces on a running clock, and writing them framed for a link type. The
// payloads live in one file per detector family (capture_gen_<family>.*) and
// capture_gen_catalog.cpp lists what is written: the examples, the captures
// of the regression cases and the benchmark capture. Output is
// deterministic: the same build writes the same bytes.
#pragma once

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "hostsim/capture_writer.h"
#include "hostsim/packet_builder.h"

namespace capgen {

using hostsim::ByteVector;

constexpr uint8_t kTcpFin = 0x01, kTcpSyn = 0x02, kTcpRst = 0x04, kTcpPsh = 0x08, kTcpAck = 0x10;
constexpr uint8_t kIpTcp = 6, kIpUdp = 17, kIpIcmp = 1, kIpIcmpv6 = 58;

// One IP packet at its capture time.
struct TimedPacket {
  int64_t seconds;
  int64_t microseconds;
  ByteVector ip;
};

// A sequence of IP packets on a running clock.
class Trace {
 public:
  static constexpr int64_t kStart = 1709287200;  // 2024-03-01T10:00:00Z

  // Appends a packet `gapUs` microseconds after the previous one.
  void Add(const ByteVector& ip, int64_t gapUs = 1000);
  void Advance(int64_t microseconds) { clockUs_ += microseconds; }
  const std::vector<TimedPacket>& packets() const { return packets_; }
  size_t size() const { return packets_.size(); }

 private:
  int64_t clockUs_ = kStart * 1000000;
  std::vector<TimedPacket> packets_;
};

// IPv4 or IPv6 (by the address text) TCP conversation with sequence numbers.
class TcpSession {
 public:
  TcpSession(Trace* trace, const char* client, uint16_t clientPort, const char* server,
             uint16_t serverPort);
  void Open();                          // SYN, SYN-ACK, ACK
  void Client(const ByteVector& data);  // data from the client, acknowledged by the server
  void Server(const ByteVector& data);  // data from the server, acknowledged by the client
  void Close();                         // FIN exchange

 private:
  void Send(bool fromClient, uint8_t flags, const ByteVector& data);
  Trace* trace_;
  std::string client_, server_;
  uint16_t clientPort_, serverPort_;
  uint32_t clientSeq_ = 0x1000, serverSeq_ = 0x8000;
};

ByteVector IpPacket(const char* source, const char* destination, uint8_t protocol,
                    const ByteVector& transport);
ByteVector UdpPacket(const char* source, uint16_t sourcePort, const char* destination,
                     uint16_t destinationPort, const ByteVector& payload);

// Writes a trace framed for the link type (Ethernet, unless the capture is
// of another link type).
bool WriteTrace(const std::string& path, const Trace& trace,
                hostsim::CaptureWriter::Format format = hostsim::CaptureWriter::Format::kPcap,
                uint32_t linktype = hostsim::kLinktypeEthernet);

// Writes `<path>.pcap`, framed for the link type.
bool WriteFramed(const std::string& path, const Trace& trace, uint32_t linktype);
// mkdir that accepts an existing directory; the message names the path.
bool MakeDirectory(const std::string& path, std::string* error);

// A capture of a detector family: an example (name is the file name) or a
// regression case (name is the case folder) written as an Ethernet pcap.
struct FamilyCapture {
  std::string name;
  std::string description;  // one line, naming the frame that raises each alert
  Trace trace;
};

// The number the next packet of a trace will have in its capture, so that a
// description can name the frame an alert fires on.
std::string NextFrame(const Trace& trace);

// One attack of a family's generator.
struct Attack {
  uint32_t id;       // the signature that fires
  const char* slug;  // the example's file name: attack-<id>-<slug>.pcap
  const char* what;  // one line
  // Adds the attack from client; returns the alerting frame.
  std::function<std::string(Trace*, const char* client, uint16_t clientPort)> add;
};

// One example capture per attack, each from the same client, described
// with the frame that fires.
std::vector<FamilyCapture> AttackExamples(const std::vector<Attack>& attacks);

// A regression case that writes its own capture (another link type, a
// pcapng, a cut file): `write` gets the path without extension.
struct RegressionCapture {
  std::string folder;
  std::string description;
  std::function<bool(const std::string& path)> write;
};

// A named capture of the examples folder or of a regression case.
struct GeneratedCapture {
  std::string name;         // file name (examples) or case folder (regression)
  std::string description;  // one line
};

// ---- What is written (capture_gen_catalog.cpp) ------------------------------

// Writes every example capture into `directory`; returns what was written.
bool WriteExamples(const std::string& directory, std::vector<GeneratedCapture>* written,
                   std::string* error);
// Writes `<directory>/<case>/capture.pcap(ng)` for every regression case.
bool WriteRegressionCaptures(const std::string& directory, std::vector<GeneratedCapture>* written,
                             std::string* error);
// A capture of at least `packets` mixed frames for the scan benchmark.
bool WriteBenchCapture(const std::string& path, uint64_t packets, std::string* error);

}  // namespace capgen
