// One alert: a packet whose intrusion report named a signature, with the
// capture context it came from, and its two output forms.
#pragma once

#include <stdint.h>

#include <optional>
#include <string>

#include "hostsim/decode.h"
#include "hostsim/packet.h"
#include "nips/host/firewall.h"

namespace nipstool {

struct Alert {
  std::string capture;  // the capture's path as given on the command line; empty for live traffic
  uint64_t pcapCount = 0;  // 1-based position of the frame in its file
  int64_t seconds = 0;     // capture time
  int64_t microseconds = 0;
  uint8_t ipProtocol = 0;
  HostAddress source{};
  HostAddress destination{};
  uint16_t sourcePort = 0;  // host order; 0 for ICMP
  uint16_t destinationPort = 0;
  uint32_t signatureId = 0;
  uint32_t severity = 0;
  uint32_t reaction = 0;
  uint32_t action = 0;  // FW_ACTION_*
  uint32_t evidenceSlot = 0;
  std::optional<std::string> evidence;  // present when the report carried a slot
  std::string inIface;  // live traffic: the interface the packet came in on ("" unknown)
};

// The packet's addresses, ports (host order) and protocol, and the verdict's
// signature, severity, reaction, action and evidence slot; the caller adds
// where and when the packet was seen, and the evidence text.
void FillAlert(const hostsim::DecodedPacket& decoded, const hostsim::VerdictRecord& verdict,
               Alert* alert);

// A hash of the 5-tuple that both directions of a conversation share, below
// 2^51 so that consumers reading JSON numbers as doubles keep it exact.
uint64_t FlowId(const Alert& alert);

// "2024-05-01T10:11:12.000123+00:00"
std::string IsoTimestamp(int64_t seconds, int64_t microseconds);
// "Allow", "Block Packet", "Block Host", else "action N".
std::string VerdictName(uint32_t action);
// "TCP", "UDP", "ICMP", "IPv6-ICMP", else the number.
std::string ProtocolName(uint8_t ipProtocol);
std::string AddressText(const HostAddress& address);

// Fast-log style line, no newline.
std::string FormatAlertText(const Alert& alert);
// One JSON Lines record with EVE-style names, no newline.
std::string FormatAlertJson(const Alert& alert);

}  // namespace nipstool
