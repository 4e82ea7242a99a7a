#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hostsim/driver_host.h"
#include "kt_hooks.h"
#include "nips/driver/content_driver.h"
#include "nips/engine/config.h"

namespace {

class DriverHostTest : public ::testing::Test {
 protected:
  void SetUp() override { kt::ResetWorld(); }
  void TearDown() override {
    EXPECT_EQ(g_contentDriver, nullptr);
    EXPECT_EQ(kt::OpenHandleCount(), 0u);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
};

TEST_F(DriverHostTest, LoadsUnderTheGivenServiceName) {
  hostsim::DriverHost host;  // with a core driver of its own
  ASSERT_EQ(host.Load(u"nips2"), STATUS_SUCCESS);
  EXPECT_TRUE(host.loaded());
  EXPECT_EQ(host.service_key(), u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nips2");
  EXPECT_TRUE(kt::RegistryKeyExists(host.service_key()));
  EXPECT_EQ(kt::ToU16(host.driver_object()->DriverName), u"\\Driver\\nips2");
  EXPECT_EQ(host.core().last_handshake_service(), u"nips2");
  EXPECT_EQ(kt::QuerySymbolicLink(u"\\Device\\nips2.8.0.0.11690"), u"\\Driver\\nips2");
  EXPECT_TRUE(host.core().firewall().attached());
  // A second load while loaded changes nothing.
  EXPECT_EQ(host.Load(u"nips2"), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(host.core().handshakes(), 1);
  host.Unload();
  EXPECT_FALSE(host.loaded());
  EXPECT_FALSE(kt::QuerySymbolicLink(u"\\Device\\nips2.8.0.0.11690").has_value());
  host.Unload();  // nothing loaded: no effect
}

TEST_F(DriverHostTest, DestroyingALoadedHostUnloadsTheDriver) {
  {
    hostsim::DriverHost host;
    ASSERT_EQ(host.Load(), STATUS_SUCCESS);
    EXPECT_GT(kt::PoolOutstanding(), 0u);
  }
  EXPECT_FALSE(kt::QuerySymbolicLink(u"\\Device\\nips.8.0.0.11690").has_value());
}

TEST_F(DriverHostTest, AFailedLoadLeavesNothingToTalkTo) {
  hostsim::CoreDriver core;
  core.set_device_present(false);
  hostsim::DriverHost host(&core);
  EXPECT_EQ(host.Load(), STATUS_ILL_FORMED_SERVICE_ENTRY);
  EXPECT_FALSE(host.loaded());
  uint64_t returned = 0;
  EXPECT_EQ(host.Control(kControlEnforce, nullptr, 0, nullptr, 0, &returned),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(host.Inspect(nullptr), std::nullopt);
  host.Unload();
  // The core driver appears: the same host loads now.
  core.set_device_present(true);
  ASSERT_EQ(host.Load(), STATUS_SUCCESS);
  EXPECT_EQ(host.Inspect(nullptr), 2);
}

struct EntryCall {
  int calls = 0;
  std::u16string driverName;
  std::u16string registryPath;
  USHORT maximumLength = 0;
  NTSTATUS result = STATUS_SUCCESS;
};
EntryCall g_entry;

NTSTATUS RecordingEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  ++g_entry.calls;
  g_entry.driverName = kt::ToU16(driverObject->DriverName);
  g_entry.registryPath = kt::ToU16(*registryPath);
  g_entry.maximumLength = registryPath->MaximumLength;
  return g_entry.result;
}

TEST_F(DriverHostTest, CallsTheGivenEntryRoutineAsTheSystemWould) {
  hostsim::CoreDriver core;
  hostsim::DriverHost host(&core, &RecordingEntry);
  g_entry = EntryCall{};
  g_entry.result = STATUS_ACCESS_DENIED;
  EXPECT_EQ(host.Load(u"probe"), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(host.loaded());
  EXPECT_EQ(g_entry.calls, 1);
  EXPECT_EQ(g_entry.driverName, u"\\Driver\\probe");
  EXPECT_EQ(g_entry.registryPath,
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\probe");
  EXPECT_EQ(g_entry.maximumLength, g_entry.registryPath.size() * 2);  // not terminated

  g_entry.result = STATUS_SUCCESS;
  EXPECT_EQ(host.Load(u"probe"), STATUS_SUCCESS);
  EXPECT_TRUE(host.loaded());
  // Nothing registered with the loader: unloading calls no unload routine.
  host.Unload();
  EXPECT_FALSE(host.loaded());
  EXPECT_EQ(host.driver_object()->DriverUnload, nullptr);
}

}  // namespace
