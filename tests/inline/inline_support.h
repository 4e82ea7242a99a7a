// Shared by the inline service's tests: the IP bytes of an example
// capture's frame, to feed the engine real attack and benign packets.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "hostsim/capture.h"
#include "hostsim/decode.h"

namespace inlinetest {

// The IP packet of the 1-based frame `index` of an example capture; empty
// when the capture or frame is missing.
inline std::vector<uint8_t> ExampleIpPacket(const std::string& name, uint64_t index) {
  hostsim::CaptureReader reader;
  std::string error;
  if (!reader.Open(std::string(NIPS_SOURCE_DIR) + "/examples/" + name, &error)) return {};
  hostsim::CaptureFrame frame;
  for (uint64_t i = 1; reader.Next(&frame, &error) == hostsim::CaptureReader::ReadStatus::kFrame;
       ++i) {
    if (i != index) continue;
    hostsim::DecodedPacket decoded;
    if (!reader.linkLayer() ||
        hostsim::DecodeFrame(*reader.linkLayer(), frame.data, frame.capturedLength, &decoded) !=
            hostsim::DecodeResult::kOk) {
      return {};
    }
    return std::vector<uint8_t>(decoded.ip, decoded.ip + decoded.ipLength);
  }
  return {};
}

// The transport payload of the same frame.
inline std::vector<uint8_t> ExamplePayload(const std::string& name, uint64_t index) {
  const std::vector<uint8_t> ip = ExampleIpPacket(name, index);
  hostsim::DecodedPacket decoded;
  if (ip.empty() ||
      hostsim::DecodeIp(ip.data(), ip.size(), &decoded) != hostsim::DecodeResult::kOk) {
    return {};
  }
  return std::vector<uint8_t>(decoded.payload, decoded.payload + decoded.payloadLength);
}

}  // namespace inlinetest
