#include "tools/alert.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <string.h>
#include <time.h>

#include <nlohmann/json.hpp>

#include "tools/signatures.h"

namespace nipstool {
namespace {

bool HasPorts(uint8_t ipProtocol) {
  return ipProtocol == kIpProtocolTcp || ipProtocol == kIpProtocolUdp;
}

std::string Endpoint(const HostAddress& address, uint16_t port, uint8_t ipProtocol) {
  const std::string text = AddressText(address);
  if (!HasPorts(ipProtocol)) return text;
  if (address.version == 6) return fmt::format("[{}]:{}", text, port);
  return fmt::format("{}:{}", text, port);
}

constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;
constexpr uint64_t kFlowIdMask = (uint64_t{1} << 51) - 1;

void HashBytes(uint64_t* hash, const void* data, size_t length) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < length; ++i) {
    *hash ^= bytes[i];
    *hash *= kFnvPrime;
  }
}

void HashEndpoint(uint64_t* hash, const HostAddress& address, uint16_t port) {
  const size_t length = address.version == 6 ? sizeof address.bytes : 4;
  HashBytes(hash, &address.version, sizeof address.version);
  HashBytes(hash, address.bytes, length);
  HashBytes(hash, &port, sizeof port);
}

// Orders the two endpoints so that both directions hash alike.
bool EndpointBefore(const HostAddress& a, uint16_t aPort, const HostAddress& b, uint16_t bPort) {
  if (a.version != b.version) return a.version < b.version;
  const int order = memcmp(a.bytes, b.bytes, sizeof a.bytes);
  return order != 0 ? order < 0 : aPort < bPort;
}

// The fields an alert consumer expects beside nips's own.
constexpr int kGeneratorId = 1;
constexpr int kSignatureRevision = 1;

}  // namespace

void FillAlert(const hostsim::DecodedPacket& decoded, const hostsim::VerdictRecord& verdict,
               Alert* alert) {
  alert->ipProtocol = decoded.ipProtocol;
  alert->source = decoded.source;
  alert->destination = decoded.destination;
  alert->sourcePort = static_cast<uint16_t>(__builtin_bswap16(decoded.sourcePort));
  alert->destinationPort = static_cast<uint16_t>(__builtin_bswap16(decoded.destinationPort));
  alert->signatureId = verdict.signatureId;
  alert->severity = verdict.severity;
  alert->reaction = verdict.reaction;
  alert->action = verdict.action;
  alert->evidenceSlot = verdict.additionalDataIndex;
}

uint64_t FlowId(const Alert& alert) {
  uint64_t hash = kFnvOffset;
  HashBytes(&hash, &alert.ipProtocol, sizeof alert.ipProtocol);
  if (EndpointBefore(alert.source, alert.sourcePort, alert.destination, alert.destinationPort)) {
    HashEndpoint(&hash, alert.source, alert.sourcePort);
    HashEndpoint(&hash, alert.destination, alert.destinationPort);
  } else {
    HashEndpoint(&hash, alert.destination, alert.destinationPort);
    HashEndpoint(&hash, alert.source, alert.sourcePort);
  }
  return hash & kFlowIdMask;
}

std::string IsoTimestamp(int64_t seconds, int64_t microseconds) {
  // Capture time is shown in UTC so that the same capture reads the same everywhere.
  const time_t when = static_cast<time_t>(seconds);
  struct tm parts;
  if (gmtime_r(&when, &parts) == nullptr) return fmt::format("@{}.{:06}", seconds, microseconds);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:06}+00:00", parts.tm_year + 1900,
                     parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                     microseconds);
}

std::string VerdictName(uint32_t action) {
  switch (action) {
    case FW_ACTION_ALLOW:
      return "Allow";
    case FW_ACTION_BLOCK_PACKET:
      return "Block Packet";
    case FW_ACTION_BLOCK_HOST:
      return "Block Host";
    default:
      return fmt::format("action {}", action);
  }
}

std::string ProtocolName(uint8_t ipProtocol) {
  switch (ipProtocol) {
    case kIpProtocolTcp:
      return "TCP";
    case kIpProtocolUdp:
      return "UDP";
    case kIpProtocolIcmp:
      return "ICMP";
    case kIpProtocolIcmpv6:
      return "IPv6-ICMP";
    default:
      return std::to_string(ipProtocol);
  }
}

std::string AddressText(const HostAddress& address) {
  char text[INET6_ADDRSTRLEN] = {};
  const int family = address.version == 6 ? AF_INET6 : AF_INET;
  if (inet_ntop(family, address.bytes, text, sizeof text) == nullptr) return "?";
  return text;
}

std::string FormatAlertText(const Alert& alert) {
  std::string line = fmt::format(
      "{}  [{}] [{}] {} [Severity: {}] [Reaction: {}] {{{}}} {} -> {} [{}:{}]",
      IsoTimestamp(alert.seconds, alert.microseconds), VerdictName(alert.action), alert.signatureId,
      SignatureSummary(alert.signatureId), alert.severity, alert.reaction,
      ProtocolName(alert.ipProtocol), Endpoint(alert.source, alert.sourcePort, alert.ipProtocol),
      Endpoint(alert.destination, alert.destinationPort, alert.ipProtocol),
      alert.capture.empty() ? alert.inIface : alert.capture,
      alert.capture.empty() ? std::string("live") : std::to_string(alert.pcapCount));
  if (alert.evidence) {
    // JSON string quoting keeps the evidence on the line whatever it holds.
    line += " [Evidence: " +
            nlohmann::json(*alert.evidence)
                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
            "]";
  }
  return line;
}

std::string FormatAlertJson(const Alert& alert) {
  nlohmann::ordered_json record;
  record["timestamp"] = IsoTimestamp(alert.seconds, alert.microseconds);
  record["flow_id"] = FlowId(alert);
  if (!alert.inIface.empty()) record["in_iface"] = alert.inIface;
  if (!alert.capture.empty()) record["pcap_filename"] = alert.capture;
  record["event_type"] = "alert";
  if (!alert.capture.empty()) {
    record["capture"] = alert.capture;
    record["pcap_cnt"] = alert.pcapCount;
  }
  record["src_ip"] = AddressText(alert.source);
  if (HasPorts(alert.ipProtocol)) record["src_port"] = alert.sourcePort;
  record["dest_ip"] = AddressText(alert.destination);
  if (HasPorts(alert.ipProtocol)) record["dest_port"] = alert.destinationPort;
  record["proto"] = ProtocolName(alert.ipProtocol);
  nlohmann::ordered_json detail;
  detail["gid"] = kGeneratorId;
  detail["signature_id"] = alert.signatureId;
  detail["rev"] = kSignatureRevision;
  detail["signature"] = SignatureSummary(alert.signatureId);
  detail["category"] = SignatureCategory(alert.signatureId);
  detail["severity"] = alert.severity;
  detail["reaction"] = alert.reaction;
  detail["action"] = alert.action == FW_ACTION_ALLOW ? "allowed" : "blocked";
  detail["verdict"] = VerdictName(alert.action);
  if (alert.evidence) detail["evidence"] = *alert.evidence;
  record["alert"] = detail;
  // Replacement instead of an exception for evidence that is not valid UTF-8.
  return record.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace nipstool
