#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "hostsim/driver_host.h"
#include "kt_hooks.h"
#include "nips/driver/content_driver.h"
#include "nips/driver/driver_entry.h"
#include "nips/engine/log.h"
#include "nips/engine/pool.h"
#include "testlib/engine_support.h"
#include "testlib/nimq_reader.h"

namespace {

const std::u16string kVersionLink = u"\\Device\\nips.8.0.0.11690";

class DriverEntryTest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }
  void TearDown() override { Teardown(); }
  void Fresh() {
    kt::ResetWorld();
    core_ = std::make_unique<hostsim::CoreDriver>();
    host_ = std::make_unique<hostsim::DriverHost>(core_.get());
  }
  void Teardown() {
    kt::ClearPoolFaults();
    host_.reset();
    core_.reset();
    EXPECT_EQ(g_contentDriver, nullptr);
    EXPECT_FALSE(kt::QuerySymbolicLink(kVersionLink).has_value());
    EXPECT_EQ(kt::OpenHandleCount(), 0u);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
  std::optional<ULONG> EntryRecord() const {
    return kt::RegistryQueryDword(hostsim::DriverHost::ServiceKeyPath(u"nips"), u"DriverEntry");
  }

  std::unique_ptr<hostsim::CoreDriver> core_;
  std::unique_ptr<hostsim::DriverHost> host_;
};

TEST_F(DriverEntryTest, LoadsAttachesInspectsAndUnloadsCleanly) {
  ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
  EXPECT_EQ(kt::QuerySymbolicLink(kVersionLink), u"\\Driver\\nips");
  EXPECT_EQ(host_->driver_object()->DriverUnload, nullptr);  // not until the loader says so
  NipsContentDriver* driver = g_contentDriver;
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(core_->loader().driver(), driver);
  EXPECT_EQ(driver->referenceCount(), 1);
  EXPECT_EQ(core_->firewall().plugin(), static_cast<HostPluginBase*>(driver->plugin()));
  EXPECT_NE(core_->registry().server_context(), nullptr);
  EXPECT_EQ(driver->client()->serverContext(), core_->registry().server_context());
  // The default mask keeps the lifecycle and attach lines out of the log.
  EXPECT_EQ(host_->Inspect(nullptr), 2);
  EXPECT_EQ(testlib::DrainLogTexts(driver->plugin()),
            std::vector<std::string>{"Unexpected null packet io\n"});
  // PrepareUnload frees everything; only the unload routine it installs withdraws the link.
  ASSERT_TRUE(core_->loader().PrepareUnload());
  EXPECT_EQ(g_contentDriver, nullptr);
  EXPECT_FALSE(core_->firewall().attached());
  EXPECT_EQ(core_->registry().unregistrations(), 1);
  EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  EXPECT_TRUE(kt::QuerySymbolicLink(kVersionLink).has_value());
  ASSERT_EQ(host_->driver_object()->DriverUnload, &NipsDriverUnload);
  host_->driver_object()->DriverUnload(host_->driver_object());
  EXPECT_FALSE(kt::QuerySymbolicLink(kVersionLink).has_value());
}

// Returned and recorded as the service key's "DriverEntry" (success is not recorded).
TEST_F(DriverEntryTest, EntryStatusFollowsTheCoreDriversAnswers) {
  using Core = hostsim::CoreDriver;
  const std::tuple<void (*)(Core&), ULONG, int, int> cases[] = {
      {[](Core& c) { c.set_device_present(false); }, 0xC0000160, 0, 0},
      {[](Core& c) { c.set_interface_versions(156000, 156000); }, 0, 1, 1},
      {[](Core& c) { c.set_interface_versions(156500, LONG(0x80000000u)); }, 0, 1, 1},
      {[](Core& c) { c.set_interface_versions(155999, 150000); }, 0xC0000059, 0, 0},
      {[](Core& c) { c.set_interface_versions(156000, 156001); }, 0xC0000059, 0, 0},
      {[](Core& c) { c.set_interface_versions(-156000, -200000); }, 0xC0000059, 0, 0},
      {[](Core&) { kt::FailAllocationsWithTag(kPoolTagEngine); }, 0xC0000017, 0, 0},
      {[](Core&) { kt::FailAllocationsWithTag(kt::kUntaggedPoolTag); }, 0xC0000001, 0, 0},
      {[](Core& c) { c.registry().set_registration_status(STATUS_NO_MEMORY); }, 0xC0000001, 1, 0},
      {[](Core& c) { c.loader().set_registration_status(STATUS_ACCESS_DENIED); }, 0xC0000022, 1, 1},
      {[](Core& c) { c.loader().set_registration_status(STATUS_TIMEOUT); }, 0x102, 1, 1},
  };
  for (int i = 0; const auto& [arrange, expected, clientRegs, loaderRegs] : cases) {
    SCOPED_TRACE(testing::Message() << "case " << i++);
    arrange(*core_);
    EXPECT_EQ(static_cast<ULONG>(host_->Load()), expected);
    kt::ClearPoolFaults();
    EXPECT_EQ(core_->registry().registrations(), clientRegs);
    EXPECT_EQ(core_->loader().registrations(), loaderRegs);
    EXPECT_EQ(EntryRecord(), expected ? std::optional<ULONG>(expected) : std::nullopt);
    EXPECT_EQ(core_->firewall().attached(), expected == 0);
    EXPECT_EQ(host_->loaded(), expected == 0);
    EXPECT_EQ(core_->registry().registered_clients(), expected ? 0u : 1u);
    Teardown();
    Fresh();
  }
}

// Nx first, so that going back to 6.1 is seen to reset it.
TEST_F(DriverEntryTest, PoolTypeFollowsTheOsVersionOnEveryLoad) {
  const std::tuple<ULONG, ULONG, POOL_TYPE, ULONG> cases[] = {
      {10, 0, NonPagedPoolNx, POOL_NX_ALLOCATION},
      {6, 1, NonPagedPool, 0},
      {6, 2, NonPagedPoolNx, POOL_NX_ALLOCATION}};
  for (int load = 1; const auto& [major, minor, pool, lookasideFlags] : cases) {
    SCOPED_TRACE(testing::Message() << major << "." << minor);
    kt::SetOsVersion(major, minor);
    ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
    EXPECT_EQ(g_poolType, pool);
    EXPECT_EQ(g_lookasideFlags, lookasideFlags);
    ASSERT_NE(g_contentDriver, nullptr);
    EXPECT_EQ(kt::PoolTypeOf(g_contentDriver), pool);
    EXPECT_EQ(kt::PoolTypeOf(g_contentDriver->plugin()->tracking), pool);
    host_->Unload();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
    EXPECT_EQ(core_->registry().detach_calls(), load++);
  }
  EXPECT_EQ(core_->registry().detach_mismatches(), 0);
}

// Success only when nothing but the version link was lost.
TEST_F(DriverEntryTest, EveryAllocationFailureEndsRecordedAndClean) {
  std::set<NTSTATUS> seen;
  bool reachedEnd = false;
  for (uint64_t n = 1; n <= 64 && !reachedEnd; ++n) {
    SCOPED_TRACE(testing::Message() << "allocation " << n);
    const uint64_t before = kt::PoolAllocationCount();
    kt::FailAllocationNumber(n);
    const NTSTATUS status = host_->Load();
    reachedEnd = kt::PoolAllocationCount() - before < n;
    kt::ClearPoolFaults();
    seen.insert(status);
    EXPECT_EQ(EntryRecord(), status ? std::optional<ULONG>(status) : std::nullopt);
    Teardown();
    Fresh();
  }
  EXPECT_TRUE(reachedEnd);
  EXPECT_EQ(seen, (std::set<NTSTATUS>{STATUS_SUCCESS, STATUS_ILL_FORMED_SERVICE_ENTRY,
                                      STATUS_NO_MEMORY, STATUS_UNSUCCESSFUL}));
}

// A registry that refuses the client but hands a connection back all the same
// (an informational status, or an error after a partial registration).
struct RefusingRegistry final : ServiceConnection {
  void Unregister() override {
    ++unregisters;
    // The client logs before it unregisters, and the plug-in is still alive.
    linesAtUnregister = testlib::DrainLogTexts(g_contentDriver->plugin());
  }
  UCHAR AttachInterface(const GUID*, PVOID) override { return 0; }
  void DetachInterface(const GUID*, PVOID, PVOID) override {}
  static NTSTATUS Register(ServiceClient*, ServiceConnection** connection) {
    // As user mode would on a running driver, so that the client's
    // information lines are queued too.
    testlib::SendLogMask(g_contentDriver->plugin(), kLogInfo | kLogError);
    if (g_refusing->fills) *connection = g_refusing;
    return g_refusing->status;
  }
  NTSTATUS status = STATUS_SUCCESS;
  bool fills = true;
  int unregisters = 0;
  std::vector<std::string> linesAtUnregister;
  static inline RefusingRegistry* g_refusing = nullptr;
};

// The failed start's Release shuts the client down, which unregisters what the
// registry handed back, once, before the object and its plug-in go.
TEST_F(DriverEntryTest, RefusedRegistrationStillUnregistersWhatTheRegistryHandedBack) {
  // The error line is cut at 78 characters, after the status's first digit.
  const std::tuple<NTSTATUS, bool, int, const char*> cases[] = {
      {0x103, true, 1, "1"}, {STATUS_NO_MEMORY, true, 1, "C"}, {STATUS_NO_MEMORY, false, 0, ""}};
  for (const auto& [status, fills, unregisters, digit] : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << status << " fills " << fills);
    RefusingRegistry registry;
    registry.status = status;
    registry.fills = fills;
    RefusingRegistry::g_refusing = &registry;
    core_->registry().table()[kServiceTableRegisterClient] =
        reinterpret_cast<PVOID>(&RefusingRegistry::Register);
    EXPECT_EQ(host_->Load(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(EntryRecord(), std::optional<ULONG>(STATUS_UNSUCCESSFUL));
    EXPECT_EQ(core_->loader().registrations(), 0);
    EXPECT_EQ(registry.unregisters, unregisters);
    if (unregisters != 0) {
      EXPECT_EQ(
          registry.linesAtUnregister,
          (std::vector<std::string>{
              "Tarn Nips plugin driver failed to register as service registry client, sts=0x" +
                  std::string(digit),
              "detaching from service registry...\n"}));
    }
    Teardown();  // nothing left allocated, the version link withdrawn
    Fresh();
  }
}

}  // namespace
