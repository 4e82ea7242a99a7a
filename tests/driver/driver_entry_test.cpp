#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "hostsim/driver_host.h"
#include "kt_hooks.h"
#include "nips/driver/content_driver.h"
#include "nips/driver/driver_entry.h"
#include "nips/engine/config.h"
#include "nips/engine/pool.h"
#include "testlib/nimq_reader.h"

namespace {

const std::u16string kVersionLink = u"\\Device\\nips.8.0.0.11690";

class DriverEntryTest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }
  void TearDown() override { Teardown(); }

  void Fresh() {
    host_.reset();
    core_.reset();
    kt::ResetWorld();
    core_ = std::make_unique<hostsim::CoreDriver>();
    host_ = std::make_unique<hostsim::DriverHost>(core_.get());
  }
  // Unloads what is loaded and checks that nothing of the driver is left.
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

TEST_F(DriverEntryTest, LoadsAttachesInspectsServesAndUnloadsCleanly) {
  ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
  EXPECT_EQ(kt::QuerySymbolicLink(kVersionLink), u"\\Driver\\nips");
  EXPECT_EQ(host_->driver_object()->DriverUnload, nullptr);  // not until the loader says so
  // The loader holds the only reference; the plug-in is attached.
  NipsContentDriver* driver = g_contentDriver;
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(core_->loader().driver(), driver);
  EXPECT_EQ(driver->referenceCount(), 1);
  EXPECT_EQ(core_->firewall().plugin(), static_cast<HostPluginBase*>(driver->plugin()));
  EXPECT_NE(core_->registry().server_context(), nullptr);
  EXPECT_EQ(driver->client()->serverContext(), core_->registry().server_context());

  // Packets reach the plug-in through the core, control requests through the
  // loader; with the default mask the lifecycle and attach lines stay out of
  // the log.
  EXPECT_EQ(host_->Inspect(nullptr), 2);  // logs a malformed-packet line
  uint64_t returned = 0;
  EXPECT_EQ(host_->Control(kControlEnforce, nullptr, 0, nullptr, 0, &returned),
            STATUS_ILLEGAL_FUNCTION);
  EXPECT_EQ(testlib::DrainLogTexts(driver->plugin()),
            std::vector<std::string>{"Unexpected null packet io\n"});

  // PrepareUnload without a detach frees everything; only the unload routine
  // it installs withdraws the link.
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

// What the core driver answers decides what the entry returns, records as
// the service key's "DriverEntry" and registers.
TEST_F(DriverEntryTest, EntryStatusFollowsTheCoreDriversAnswers) {
  using Core = hostsim::CoreDriver;
  struct Case {
    void (*arrange)(Core&);
    ULONG expected;  // as returned and recorded
    int clientRegistrations, loaderRegistrations;
  };
  const Case cases[] = {
      {[](Core& c) { c.set_device_present(false); }, 0xC0000160, 0, 0},
      // The loader's interface window must include the driver's 156000.
      {[](Core& c) { c.set_interface_versions(156000, 156000); }, 0, 1, 1},
      {[](Core& c) { c.set_interface_versions(156500, LONG(0x80000000u)); }, 0, 1, 1},
      {[](Core& c) { c.set_interface_versions(155999, 150000); }, 0xC0000059, 0, 0},
      {[](Core& c) { c.set_interface_versions(156000, 156001); }, 0xC0000059, 0, 0},
      {[](Core& c) { c.set_interface_versions(-156000, -200000); }, 0xC0000059, 0, 0},  // signed
      {[](Core&) { kt::FailAllocationsWithTag(kPoolTagEngine); }, 0xC0000017, 0, 0},
      // The evidence store is the plug-in's one untagged block.
      {[](Core&) { kt::FailAllocationsWithTag(kt::kUntaggedPoolTag); }, 0xC0000001, 0, 0},
      {[](Core& c) { c.registry().set_registration_status(STATUS_NO_MEMORY); }, 0xC0000001, 1, 0},
      {[](Core& c) { c.loader().set_registration_status(STATUS_ACCESS_DENIED); }, 0xC0000022, 1, 1},
      {[](Core& c) { c.loader().set_registration_status(STATUS_TIMEOUT); }, 0x102, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << &c - cases);
    Fresh();
    c.arrange(*core_);
    EXPECT_EQ(static_cast<ULONG>(host_->Load()), c.expected);
    kt::ClearPoolFaults();
    EXPECT_EQ(core_->registry().registrations(), c.clientRegistrations);
    EXPECT_EQ(core_->loader().registrations(), c.loaderRegistrations);
    if (c.expected == 0) {
      EXPECT_FALSE(EntryRecord().has_value());
      EXPECT_TRUE(core_->firewall().attached());
    } else {
      EXPECT_EQ(EntryRecord(), c.expected);
      EXPECT_FALSE(host_->loaded());
      EXPECT_EQ(core_->registry().registered_clients(), 0u);  // Teardown checks the rest
    }
    Teardown();
  }
}

// Reloads in one process: each load picks the pool type afresh (Nx first, so
// that going back to an older version is seen to reset it) and each host
// unload has the registry detach with the right contexts.
TEST_F(DriverEntryTest, PoolTypeFollowsTheOsVersionOnEveryLoad) {
  struct Case {
    ULONG major, minor;
    POOL_TYPE pool;
    ULONG lookasideFlags;
  };
  const Case cases[] = {{10, 0, NonPagedPoolNx, POOL_NX_ALLOCATION},
                        {6, 1, NonPagedPool, 0},
                        {6, 2, NonPagedPoolNx, POOL_NX_ALLOCATION}};
  for (int load = 1; const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.major << "." << c.minor);
    kt::SetOsVersion(c.major, c.minor);
    ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
    EXPECT_EQ(g_poolType, c.pool);
    EXPECT_EQ(g_lookasideFlags, c.lookasideFlags);
    ASSERT_NE(g_contentDriver, nullptr);
    EXPECT_EQ(kt::PoolTypeOf(g_contentDriver), c.pool);
    EXPECT_EQ(kt::PoolTypeOf(g_contentDriver->plugin()->tracking), c.pool);
    host_->Unload();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
    EXPECT_EQ(core_->registry().detach_calls(), load++);
  }
  EXPECT_EQ(core_->registry().detach_mismatches(), 0);
}

// Every allocation of the entry path failing in turn ends in one of the
// entry's statuses (success when only the version link was lost), recorded,
// with nothing left behind.
TEST_F(DriverEntryTest, EveryAllocationFailureEndsCleanly) {
  const std::set<NTSTATUS> allowed = {STATUS_SUCCESS, STATUS_ILL_FORMED_SERVICE_ENTRY,
                                      STATUS_NO_MEMORY, STATUS_UNSUCCESSFUL};
  std::set<NTSTATUS> seen;
  bool reachedEnd = false;
  for (uint64_t n = 1; n <= 64 && !reachedEnd; ++n) {
    SCOPED_TRACE(testing::Message() << "allocation " << n);
    Fresh();
    const uint64_t before = kt::PoolAllocationCount();
    kt::FailAllocationNumber(n);
    const NTSTATUS status = host_->Load();
    reachedEnd = kt::PoolAllocationCount() - before < n;
    kt::ClearPoolFaults();
    seen.insert(status);
    EXPECT_EQ(EntryRecord(), status ? std::optional<ULONG>(status) : std::nullopt);
    Teardown();
  }
  EXPECT_TRUE(reachedEnd);
  EXPECT_EQ(seen, allowed);
}

}  // namespace
