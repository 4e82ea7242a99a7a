// The scanner's link to the real driver, loaded through its entry routine
// against the simulated core driver.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "hostsim/driver_host.h"
#include "tools/scanner.h"

namespace nipstool {

class SimulatedDriver final : public DriverLink {
 public:
  // Null with *error set when the entry routine fails or the plug-in does
  // not attach. Only one may exist at a time (one simulated core driver).
  static std::unique_ptr<SimulatedDriver> Load(std::string* error);
  ~SimulatedDriver() override;

  NTSTATUS Control(ULONG code, void* input, uint64_t inputLength, void* output,
                   uint64_t outputLength, uint64_t* bytesReturned) override;
  std::optional<LONG> Inspect(HostPacket* packet) override;
  void BeginInspectRun() override;
  void EndInspectRun() override;
  std::optional<uint64_t> LogBacklogBytes() override;
  void Unload() override;

  hostsim::DriverHost& host() { return host_; }

 private:
  SimulatedDriver() = default;
  hostsim::DriverHost host_;
  std::optional<hostsim::FirewallCore::InspectRun> run_;
};

}  // namespace nipstool
