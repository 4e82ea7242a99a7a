// The user programs' link to the real driver, loaded through its entry
// routine against the simulated core driver.
#pragma once

#include <stdint.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "hostsim/driver_host.h"
#include "nips/engine/profile.h"
#include "nips/host/firewall.h"

namespace nipstool {

// The loaded driver as user programs reach it: user mode's path through the
// core driver's loader, and the firewall core's per-packet path.
class DriverLink {
 public:
  virtual ~DriverLink() = default;
  virtual NTSTATUS Control(ULONG code, void* input, uint64_t inputLength, void* output,
                           uint64_t outputLength, uint64_t* bytesReturned) = 0;
  // The plug-in's answer to the packet, or nullopt when no plug-in is attached.
  // Any thread, any number at once.
  virtual std::optional<LONG> Inspect(HostPacket* packet) = 0;
  // Inspect calls between the two belong to one run of the calling thread
  // (see hostsim::FirewallCore::InspectRun); a link may ignore them.
  virtual void BeginInspectRun() {}
  virtual void EndInspectRun() {}
  // Bytes the driver's log queue holds that request 6 has not taken yet;
  // nullopt when the link cannot tell.
  virtual std::optional<uint64_t> LogBacklogBytes() { return std::nullopt; }
  // Lets the plug-in keep its dispatch times in *profile (null stops it);
  // false when the link cannot reach the plug-in.
  virtual bool AttachProfile(DispatchProfile* profile) {
    (void)profile;
    return false;
  }
  // Hands the driver back to the loader; afterwards nothing may be allocated.
  virtual void Unload() = 0;
};

// Loads the driver through its entry routine against the simulated core
// driver; null with *error set on failure.
using DriverLoader = std::function<std::unique_ptr<DriverLink>(std::string* error)>;
std::unique_ptr<DriverLink> LoadSimulatedDriver(std::string* error);

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
  bool AttachProfile(DispatchProfile* profile) override;
  void Unload() override;

  hostsim::DriverHost& host() { return host_; }

 private:
  SimulatedDriver() = default;
  hostsim::DriverHost host_;
  std::optional<hostsim::FirewallCore::InspectRun> run_;
};

}  // namespace nipstool
