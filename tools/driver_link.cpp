#include "tools/driver_link.h"

#include <fmt/format.h>

#include "nips/engine/nimq.h"
#include "nips/engine/plugin.h"

namespace nipstool {

std::unique_ptr<SimulatedDriver> SimulatedDriver::Load(std::string* error) {
  std::unique_ptr<SimulatedDriver> driver(new SimulatedDriver);
  const NTSTATUS status = driver->host_.Load();
  if (status != STATUS_SUCCESS) {
    *error =
        fmt::format("the driver's entry routine returned 0x{:08X}", static_cast<uint32_t>(status));
    return nullptr;
  }
  if (!driver->host_.core().firewall().attached()) {
    *error = "the plug-in did not attach to the firewall core";
    driver->Unload();
    return nullptr;
  }
  return driver;
}

SimulatedDriver::~SimulatedDriver() { Unload(); }

bool SimulatedDriver::AttachProfile(DispatchProfile* profile) {
  auto* plugin = static_cast<NipsPlugin*>(host_.core().firewall().plugin());
  if (plugin == nullptr) return false;
  plugin->profile = profile;
  return true;
}

NTSTATUS SimulatedDriver::Control(ULONG code, void* input, uint64_t inputLength, void* output,
                                  uint64_t outputLength, uint64_t* bytesReturned) {
  return host_.Control(code, input, inputLength, output, outputLength, bytesReturned);
}

std::optional<LONG> SimulatedDriver::Inspect(HostPacket* packet) {
  return run_ ? run_->Inspect(packet) : host_.Inspect(packet);
}

void SimulatedDriver::BeginInspectRun() { run_.emplace(&host_.core().firewall()); }

void SimulatedDriver::EndInspectRun() { run_.reset(); }

std::optional<uint64_t> SimulatedDriver::LogBacklogBytes() {
  // The attached plug-in is the driver's own NipsPlugin: this process loaded it.
  HostPluginBase* plugin = host_.core().firewall().plugin();
  if (plugin == nullptr) return std::nullopt;
  return NimqQueuedBytes(&static_cast<NipsPlugin*>(plugin)->nimq);
}

void SimulatedDriver::Unload() {
  run_.reset();
  host_.Unload();
}

std::unique_ptr<DriverLink> LoadSimulatedDriver(std::string* error) {
  return SimulatedDriver::Load(error);
}

}  // namespace nipstool
