#include "tools/capture_gen_port_scan.h"

namespace capgen {

void AddTcpPortScan(Trace* trace, const char* attacker, const char* target) {
  static const uint16_t kPorts[] = {21,  22,  23,  25,  53,  80,  110, 111, 135, 139,
                                    143, 389, 443, 445, 465, 587, 636, 993, 995, 1000};
  uint16_t sourcePort = 40000;
  for (uint16_t port : kPorts) {
    trace->Add(IpPacket(attacker, target, kIpTcp,
                        hostsim::TcpSegment(sourcePort, port, 0x5000, 0, kTcpSyn, {})),
               200000);
    trace->Add(IpPacket(target, attacker, kIpTcp,
                        hostsim::TcpSegment(port, sourcePort, 0, 0x5001, kTcpRst | kTcpAck, {})));
    ++sourcePort;
  }
}

void AddUdpPortScan(Trace* trace, const char* attacker, const char* target) {
  for (uint16_t port = 1; port <= 100; ++port) {
    trace->Add(UdpPacket(attacker, 41000, target, static_cast<uint16_t>(port * 7), {}), 50000);
  }
}

namespace {

Trace TcpScan() {
  Trace t;
  AddTcpPortScan(&t, "10.0.0.66", "192.168.1.20");
  return t;
}

Trace UdpScan() {
  Trace t;
  AddUdpPortScan(&t, "10.0.0.67", "192.168.1.20");
  return t;
}

}  // namespace

std::vector<FamilyCapture> PortScanFamilyExamples() {
  return {
      {"attack-3700-tcp-port-scan.pcap",
       "SYNs to 20 ports below 1024 in 4 seconds (3700 on frame 39, the 20th SYN)", TcpScan()},
      {"attack-3701-udp-port-scan.pcap",
       "empty datagrams to 100 ports below 1024 in 5 seconds (3701 on frame 100)", UdpScan()},
  };
}

std::vector<FamilyCapture> PortScanFamilyRegressionCaptures() {
  return {
      {"tcp-port-scan", "20 SYNs to ports below 1024", TcpScan()},
      {"udp-port-scan", "empty datagrams to 100 ports below 1024", UdpScan()},
  };
}

}  // namespace capgen
