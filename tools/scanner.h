// The scan pipeline behind `nips scan`: for each capture, load the driver,
// configure it through the control requests as user mode does, replay every
// frame through the simulated firewall core on capture time, collect
// verdicts, reports and evidence, drain the driver's log on a reader thread,
// and unload with an empty pool ledger.
#pragma once

#include <stdint.h>

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "hostsim/decode.h"
#include "nips/host/firewall.h"
#include "tools/alert.h"
#include "tools/driver_link.h"
#include "tools/driver_requests.h"
#include "tools/nimq_log.h"
#include "tools/policy.h"
#include "tools/scan_profile.h"

namespace nipstool {

struct ScanOptions {
  Policy policy;
  std::optional<uint32_t> logMask;  // request 5 when set
  // Called on the log reader thread for every decoded log record.
  std::function<void(const LogRecord&)> onLog;
  bool progress = false;  // progress line on stderr
  // A BPF expression; frames it rejects are skipped by reason "filter".
  std::string filter;
  DriverLoader loadDriver = LoadSimulatedDriver;
  // Time the stages and each signature row (`--profile`); costs nothing when off.
  bool profile = false;
};

enum class ScanStatus {
  kOk,
  kInputError,   // the capture could not be read (entirely or from some frame on)
  kEngineError,  // the driver failed: load, configuration, contract, leak
};

struct CaptureResult {
  std::string path;
  ScanStatus status = ScanStatus::kOk;
  std::string message;  // what went wrong, starting with the path
  std::string warning;  // the first thing worth saying that did not stop the scan
  std::string linkType;
  uint64_t frames = 0;  // frames read, every frame counted
  uint64_t decodeResults[hostsim::kDecodeResultCount] = {};
  uint64_t inspected = 0;                          // the plug-in delivered a verdict
  uint64_t notInspected = 0;                       // the plug-in declined the packet
  uint64_t failed = 0;                             // a detector failed
  std::map<uint32_t, uint64_t> verdicts;           // by FW_ACTION_*
  std::map<uint32_t, uint64_t> alertsBySignature;  // reports naming a signature
  uint64_t alerts = 0;
  uint64_t logRecords = 0;
  uint64_t logOverflows = 0;
  // Inspections whose verdict and report calls broke the core's contract
  // (not exactly one of each, in that order, for a delivered result).
  uint64_t contractViolations = 0;
  size_t poolOutstandingAfterUnload = 0;
  double wallSeconds = 0;              // from opening the capture to unloading the driver
  std::optional<ScanProfile> profile;  // when the scan was asked for one

  uint64_t skipped() const;  // frames not handed to the plug-in
};

// Scans one capture. Alerts go to onAlert as they are found, so a capture
// that breaks off still yields the alerts of the frames before the break.
CaptureResult ScanCapture(const std::string& path, const ScanOptions& options,
                          const std::function<void(const Alert&)>& onAlert);

// The summary printed on stderr: one line per capture, then the totals.
std::string FormatSummary(const std::vector<CaptureResult>& results);
// The same as one JSON object (`nips scan --stats-json`): "captures", one
// object each, and "total", with the run's wall time.
std::string FormatStatsJson(const std::vector<CaptureResult>& results, double wallSeconds);

// A result as a JSON record and back, for a scan run in another process.
std::string CaptureResultToRecord(const CaptureResult& result);
bool CaptureResultFromRecord(const std::string& record, CaptureResult* result);

}  // namespace nipstool
