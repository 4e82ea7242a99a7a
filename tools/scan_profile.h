// `nips scan --profile`: where a scan's time goes, by fixed stage and by
// signature row. Collected only when asked for: the driver keeps row times
// in a block the scan attaches, the reading thread times its reads and
// decodes, and the scan times the simulated core around each packet.
#pragma once

#include <stdint.h>

#include <map>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "nips/engine/profile.h"

namespace nipstool {

struct RowCost {
  uint64_t calls = 0;
  uint64_t matches = 0;
  uint64_t nanoseconds = 0;
};

struct ScanProfile {
  // Reading thread.
  uint64_t readingNs = 0;   // libpcap's read and the copy into a batch
  uint64_t decodingNs = 0;  // link, IP and transport headers
  // Inspecting thread.
  uint64_t coreNs = 0;               // the simulated firewall core around the plug-in
  uint64_t viewNs = 0;               // the plug-in's packet view
  uint64_t dispatchNs = 0;           // the dispatcher, detectors not included
  std::map<uint32_t, RowCost> rows;  // by signature id

  void Add(const ScanProfile& other);
  // Folds a driver block in: the detectors' time comes out of the dispatch.
  void AddDriverBlock(const DispatchProfile& block);
};

// The clock of the driver block and of the stages, in nanoseconds.
uint64_t ProfileNow();

// The tables printed after the summary.
std::string FormatProfile(const ScanProfile& profile, uint64_t frames);

// As a JSON value and back, for a scan run in a worker process.
nlohmann::json ProfileRecord(const ScanProfile& profile);
bool ProfileFromRecord(const nlohmann::json& record, ScanProfile* profile);

}  // namespace nipstool
