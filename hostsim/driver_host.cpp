#include "hostsim/driver_host.h"

#include "kt_hooks.h"
#include "nips/driver/driver_entry.h"

namespace hostsim {

namespace {

const char16_t kServicesRoot[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
const char16_t kDriverRoot[] = u"\\Driver\\";

UNICODE_STRING CountedString(std::u16string& text) {
  UNICODE_STRING counted;
  counted.Buffer = text.data();
  counted.Length = static_cast<USHORT>(text.size() * sizeof(char16_t));
  counted.MaximumLength = counted.Length;
  return counted;
}

}  // namespace

DriverHost::DriverHost(CoreDriver* core, EntryRoutine entry)
    : core_(core), entry_(entry != nullptr ? entry : &DriverEntry) {
  if (core_ == nullptr) {
    ownedCore_ = std::make_unique<CoreDriver>();
    core_ = ownedCore_.get();
  }
}

DriverHost::~DriverHost() { Unload(); }

std::u16string DriverHost::ServiceKeyPath(const std::u16string& serviceName) {
  return kServicesRoot + serviceName;
}

NTSTATUS DriverHost::Load(const std::u16string& serviceName) {
  if (loaded_) return STATUS_UNSUCCESSFUL;
  driverName_ = kDriverRoot + serviceName;
  serviceKey_ = ServiceKeyPath(serviceName);
  kt::RegistryCreateKeyPath(serviceKey_);
  driverObject_ = std::make_unique<DRIVER_OBJECT>();
  *driverObject_ = DRIVER_OBJECT{};
  driverObject_->Size = sizeof(DRIVER_OBJECT);
  driverObject_->DriverName = CountedString(driverName_);
  // The registry path as the system passes it: counted, not terminated.
  std::u16string path = serviceKey_;
  UNICODE_STRING registryPath = CountedString(path);
  const NTSTATUS status = entry_(driverObject_.get(), &registryPath);
  if (status != STATUS_SUCCESS) return status;
  loaded_ = true;
  core_->registry().AnnounceInterface(IID_BASTION_PLUGIN_PACKET_INSPECT, 0);
  return status;
}

NTSTATUS DriverHost::Control(ULONG code, void* input, uint64_t inputLength, void* output,
                             uint64_t outputLength, uint64_t* bytesReturned) {
  return core_->loader().Control(code, input, inputLength, output, outputLength,
                                 reinterpret_cast<ULONG64*>(bytesReturned));
}

std::optional<LONG> DriverHost::Inspect(HostPacket* packet) {
  return core_->firewall().Inspect(packet);
}

void DriverHost::Unload() {
  if (!loaded_) return;
  loaded_ = false;
  core_->registry().RequestDetach();
  core_->loader().PrepareUnload();
  if (driverObject_->DriverUnload != nullptr) driverObject_->DriverUnload(driverObject_.get());
}

}  // namespace hostsim
