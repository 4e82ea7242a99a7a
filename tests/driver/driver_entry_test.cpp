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
#include "testlib/fake_packet.h"
#include "testlib/nimq_reader.h"

namespace {

const std::u16string kVersionLink = u"\\Device\\nips.8.0.0.11690";

class DriverEntryTest : public ::testing::Test {
 protected:
  void SetUp() override { Fresh(); }
  void TearDown() override {
    Teardown();
    kt::ClearPoolFaults();
  }

  void Fresh() {
    host_.reset();
    core_.reset();
    kt::ResetWorld();
    core_ = std::make_unique<hostsim::CoreDriver>();
    host_ = std::make_unique<hostsim::DriverHost>(core_.get());
  }
  // Unloads what is loaded and checks that nothing of the driver is left.
  void Teardown() {
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

  // A log drain as user mode sends it, through the loader. Only called when
  // something is queued (the drain blocks otherwise).
  std::vector<testlib::LogRecord> DrainThroughLoader() {
    std::vector<uint8_t> user(0x20000);
    ULONG64 request[2] = {reinterpret_cast<ULONG64>(user.data()), user.size()};
    ULONG64 reply[2] = {0, 0};
    uint64_t returned = 0;
    EXPECT_EQ(
        host_->Control(kControlDrainLog, request, sizeof request, reply, sizeof reply, &returned),
        STATUS_SUCCESS);
    EXPECT_EQ(returned, 16u);
    std::vector<testlib::LogRecord> records;
    EXPECT_TRUE(testlib::DecodeNimq(user.data(), reply[1], &records));
    return records;
  }

  std::unique_ptr<hostsim::CoreDriver> core_;
  std::unique_ptr<hostsim::DriverHost> host_;
};

TEST_F(DriverEntryTest, LoadsAttachesInspectsServesAndUnloadsCleanly) {
  ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
  EXPECT_FALSE(EntryRecord().has_value());
  EXPECT_EQ(kt::QuerySymbolicLink(kVersionLink), u"\\Driver\\nips");
  EXPECT_EQ(core_->last_handshake_service(), u"nips");
  EXPECT_EQ(g_driverObject, host_->driver_object());
  // Not unloadable until the loader says so.
  EXPECT_EQ(host_->driver_object()->DriverUnload, nullptr);

  // The loader holds the only reference.
  ASSERT_NE(g_contentDriver, nullptr);
  EXPECT_EQ(core_->loader().driver(), g_contentDriver);
  EXPECT_EQ(g_contentDriver->referenceCount(), 1);
  EXPECT_EQ(kt::PoolTagOf(g_contentDriver), kPoolTagEngine);

  // Attached after the registry's announcement, with the server context the
  // registry handed out.
  NipsContentDriver* contentDriver = g_contentDriver;
  EXPECT_EQ(core_->firewall().plugin(), static_cast<HostPluginBase*>(contentDriver->plugin()));
  EXPECT_TRUE(contentDriver->client()->registered());
  EXPECT_NE(core_->registry().server_context(), nullptr);
  EXPECT_EQ(contentDriver->client()->serverContext(), core_->registry().server_context());

  // Packets go through the core to the plug-in: no configuration, so allow.
  auto packet = testlib::FakePacket::Tcp("10.0.0.1", 1025, "10.0.0.2", 445, kTcpFlagAck,
                                         testlib::BytesOf("hello"));
  EXPECT_EQ(host_->Inspect(packet.get()), 0);
  EXPECT_TRUE(packet->DeliveredOnce());
  EXPECT_EQ(packet->verdict().action, static_cast<ULONG>(FW_ACTION_ALLOW));
  EXPECT_EQ(host_->Inspect(nullptr), 2);  // logs a malformed-packet line
  EXPECT_EQ(core_->firewall().inspections(), 2u);

  // Control requests reach the plug-in through the loader.
  HandshakeRecord hello = {kHandshakeMagic, 8, 0, 0, 1701};
  HandshakeRecord reply = {};
  uint64_t returned = 0;
  EXPECT_EQ(
      host_->Control(kControlHandshake, &hello, sizeof hello, &reply, sizeof reply, &returned),
      STATUS_SUCCESS);
  EXPECT_EQ(returned, sizeof reply);
  EXPECT_EQ(reply.build, 11690u);
  EXPECT_EQ(host_->Control(kControlEnforce, nullptr, 0, nullptr, 0, &returned),
            STATUS_ILLEGAL_FUNCTION);
  EXPECT_EQ(host_->Control(9, nullptr, 0, nullptr, 0, &returned), STATUS_NOT_IMPLEMENTED);
  // With the default mask the lifecycle and attach lines stay out of the log.
  std::vector<std::string> texts;
  for (const auto& record : DrainThroughLoader()) texts.push_back(record.Narrow());
  EXPECT_EQ(texts, std::vector<std::string>{"Unexpected null packet io\n"});

  host_->Unload();
  EXPECT_EQ(host_->driver_object()->DriverUnload, &NipsDriverUnload);
  EXPECT_EQ(g_contentDriver, nullptr);
  EXPECT_FALSE(kt::QuerySymbolicLink(kVersionLink).has_value());
  EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  EXPECT_EQ(core_->registry().detach_calls(), 1);
  EXPECT_EQ(core_->registry().detach_mismatches(), 0);
  EXPECT_EQ(core_->registry().unregistrations(), 1);
  EXPECT_EQ(host_->Inspect(packet.get()), std::nullopt);
  EXPECT_EQ(
      host_->Control(kControlHandshake, &hello, sizeof hello, &reply, sizeof reply, &returned),
      STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(DriverEntryTest, PrepareUnloadInstallsTheUnloadRoutineWhichAloneWithdrawsTheLink) {
  ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
  // No detach first: stopping the client detaches from the core.
  ASSERT_TRUE(core_->loader().PrepareUnload());
  EXPECT_EQ(g_contentDriver, nullptr);
  EXPECT_FALSE(core_->firewall().attached());
  EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  EXPECT_TRUE(kt::QuerySymbolicLink(kVersionLink).has_value());
  ASSERT_EQ(host_->driver_object()->DriverUnload, &NipsDriverUnload);
  host_->driver_object()->DriverUnload(host_->driver_object());
  EXPECT_FALSE(kt::QuerySymbolicLink(kVersionLink).has_value());
}

TEST_F(DriverEntryTest, ReloadsInTheSameProcess) {
  for (int load = 0; load < 3; ++load) {
    ASSERT_EQ(host_->Load(), STATUS_SUCCESS) << load;
    EXPECT_TRUE(core_->firewall().attached());
    host_->Unload();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
}

TEST_F(DriverEntryTest, WithoutTheCoreDriverEntryFailsAsIllFormed) {
  core_->set_device_present(false);
  EXPECT_EQ(host_->Load(), STATUS_ILL_FORMED_SERVICE_ENTRY);
  EXPECT_EQ(EntryRecord(), 0xC0000160u);
  EXPECT_FALSE(host_->loaded());
  EXPECT_EQ(core_->loader().registrations(), 0);
  EXPECT_EQ(core_->registry().registrations(), 0);
}

TEST_F(DriverEntryTest, RepliesWithoutTheMagicCountAsNoCoreDriver) {
  core_->set_record_magic(0x41444C43);
  EXPECT_EQ(host_->Load(), STATUS_ILL_FORMED_SERVICE_ENTRY);
  EXPECT_EQ(EntryRecord(), 0xC0000160u);
  Teardown();
  // An error status brings no reply back; a warning does.
  Fresh();
  core_->set_reply_status(STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(host_->Load(), STATUS_ILL_FORMED_SERVICE_ENTRY);
  Teardown();
  Fresh();
  core_->set_reply_status(STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(host_->Load(), STATUS_SUCCESS);
}

TEST_F(DriverEntryTest, LoaderInterfaceWindowMustIncludeTheDriversVersion) {
  struct Case {
    LONG current;
    LONG oldest;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {156000, 156000, STATUS_SUCCESS},
      {155999, 150000, STATUS_REVISION_MISMATCH},
      {156000, 156001, STATUS_REVISION_MISMATCH},
      {200000, -5, STATUS_SUCCESS},
      {-156000, -200000, STATUS_REVISION_MISMATCH},  // signed comparison
      {156500, static_cast<LONG>(0x80000000u), STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.current << " / " << c.oldest);
    Fresh();
    core_->set_interface_versions(c.current, c.oldest);
    EXPECT_EQ(host_->Load(), c.expected);
    if (c.expected == STATUS_SUCCESS) {
      EXPECT_FALSE(EntryRecord().has_value());
      EXPECT_TRUE(core_->firewall().attached());
    } else {
      EXPECT_EQ(EntryRecord(), static_cast<ULONG>(c.expected));
      EXPECT_EQ(core_->registry().registrations(), 0);
    }
    Teardown();
  }
}

TEST_F(DriverEntryTest, NoMemoryForTheObjectFailsWithNoMemory) {
  kt::FailAllocationsWithTag(kPoolTagEngine);
  EXPECT_EQ(host_->Load(), STATUS_NO_MEMORY);
  kt::ClearPoolFaults();
  EXPECT_EQ(EntryRecord(), 0xC0000017u);
  EXPECT_EQ(g_contentDriver, nullptr);
  EXPECT_EQ(core_->registry().registrations(), 0);
  EXPECT_EQ(core_->loader().registrations(), 0);
}

TEST_F(DriverEntryTest, PluginStartFailureFailsUnsuccessfulBeforeAnyRegistration) {
  // The evidence store is the plug-in's one untagged block.
  kt::FailAllocationsWithTag(kt::kUntaggedPoolTag);
  EXPECT_EQ(host_->Load(), STATUS_UNSUCCESSFUL);
  kt::ClearPoolFaults();
  EXPECT_EQ(EntryRecord(), 0xC0000001u);
  EXPECT_EQ(core_->registry().registrations(), 0);
  EXPECT_EQ(core_->loader().registrations(), 0);
}

TEST_F(DriverEntryTest, RegistryRefusalFailsUnsuccessfulWithoutTheLoader) {
  core_->registry().set_registration_status(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(host_->Load(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(EntryRecord(), 0xC0000001u);
  EXPECT_EQ(core_->registry().registrations(), 1);
  EXPECT_EQ(core_->loader().registrations(), 0);
}

TEST_F(DriverEntryTest, LoaderRefusalIsReturnedRecordedAndTheObjectDestroyed) {
  for (NTSTATUS refusal : {STATUS_ACCESS_DENIED, STATUS_TIMEOUT}) {
    SCOPED_TRACE(testing::Message() << std::hex << refusal);
    Fresh();
    core_->loader().set_registration_status(refusal);
    EXPECT_EQ(host_->Load(), refusal);
    EXPECT_EQ(EntryRecord(), static_cast<ULONG>(refusal));
    EXPECT_EQ(g_contentDriver, nullptr);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
    // The client had registered; destroying the object unregistered it.
    EXPECT_EQ(core_->registry().unregistrations(), 1);
    EXPECT_EQ(core_->registry().registered_clients(), 0u);
    Teardown();
  }
}

TEST_F(DriverEntryTest, PoolTypeFollowsTheOsVersion) {
  struct Case {
    ULONG major;
    ULONG minor;
    POOL_TYPE pool;
    ULONG lookasideFlags;
  };
  // Nx first, so that going back to an older version is seen to reset it.
  const Case cases[] = {
      {10, 0, NonPagedPoolNx, POOL_NX_ALLOCATION},
      {6, 1, NonPagedPool, 0},
      {6, 2, NonPagedPoolNx, POOL_NX_ALLOCATION},
      {6, 3, NonPagedPoolNx, POOL_NX_ALLOCATION},
      {5, 2, NonPagedPool, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.major << "." << c.minor);
    Fresh();
    kt::SetOsVersion(c.major, c.minor);
    ASSERT_EQ(host_->Load(), STATUS_SUCCESS);
    EXPECT_EQ(g_poolType, c.pool);
    EXPECT_EQ(g_lookasideFlags, c.lookasideFlags);
    ASSERT_NE(g_contentDriver, nullptr);
    EXPECT_EQ(kt::PoolTypeOf(g_contentDriver), c.pool);
    EXPECT_EQ(kt::PoolTypeOf(g_contentDriver->plugin()->tracking), c.pool);
    Teardown();
  }
}

// Every allocation of the entry path failing in turn: each ends in one of
// the entry's statuses (or in success when only the version link was lost),
// and every one leaves nothing behind.
TEST_F(DriverEntryTest, EveryAllocationFailureEndsCleanly) {
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
    EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_ILL_FORMED_SERVICE_ENTRY ||
                status == STATUS_NO_MEMORY || status == STATUS_UNSUCCESSFUL)
        << std::hex << status;
    if (status != STATUS_SUCCESS) {
      EXPECT_EQ(EntryRecord(), static_cast<ULONG>(status));
    }
    Teardown();
  }
  EXPECT_TRUE(reachedEnd);
  EXPECT_EQ(seen, (std::set<NTSTATUS>{STATUS_SUCCESS, STATUS_ILL_FORMED_SERVICE_ENTRY,
                                      STATUS_NO_MEMORY, STATUS_UNSUCCESSFUL}));
}

}  // namespace
