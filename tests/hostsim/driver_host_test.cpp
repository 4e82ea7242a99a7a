// Loading the driver as the system would: load, unload, and a reload after a
// failed load, with nothing leaked.
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

TEST_F(DriverHostTest, LoadsUnderTheGivenServiceNameAndUnloads) {
  const std::u16string link = u"\\Device\\nips2.8.0.0.11690";
  {
    hostsim::DriverHost host;  // with a core driver of its own
    ASSERT_EQ(host.Load(u"nips2"), STATUS_SUCCESS);
    EXPECT_TRUE(host.loaded());
    EXPECT_TRUE(
        kt::RegistryKeyExists(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nips2"));
    EXPECT_EQ(kt::ToU16(host.driver_object()->DriverName), u"\\Driver\\nips2");
    EXPECT_EQ(host.core().last_handshake_service(), u"nips2");
    EXPECT_EQ(kt::QuerySymbolicLink(link), u"\\Driver\\nips2");
    EXPECT_TRUE(host.core().firewall().attached());
    EXPECT_EQ(host.Load(u"nips2"), STATUS_UNSUCCESSFUL);  // already loaded: nothing happens
    EXPECT_EQ(host.core().handshakes(), 1);
    host.Unload();
    EXPECT_FALSE(host.loaded());
    EXPECT_FALSE(kt::QuerySymbolicLink(link).has_value());
    host.Unload();  // nothing loaded: no effect
    // Destroying a loaded host unloads the driver.
    ASSERT_EQ(host.Load(u"nips2"), STATUS_SUCCESS);
    EXPECT_GT(kt::PoolOutstanding(), 0u);
  }
  EXPECT_FALSE(kt::QuerySymbolicLink(link).has_value());
}

TEST_F(DriverHostTest, AFailedLoadLeavesNothingToTalkToAndALaterLoadWorks) {
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
  core.set_device_present(true);  // the core driver appears: the same host loads now
  ASSERT_EQ(host.Load(), STATUS_SUCCESS);
  EXPECT_EQ(host.Inspect(nullptr), 2);
}

std::u16string g_entryDriver, g_entryPath;
USHORT g_entryMaximumLength = 0;
NTSTATUS g_entryResult = STATUS_SUCCESS;

NTSTATUS RecordingEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  g_entryDriver = kt::ToU16(driverObject->DriverName);
  g_entryPath = kt::ToU16(*registryPath);
  g_entryMaximumLength = registryPath->MaximumLength;
  return g_entryResult;
}

TEST_F(DriverHostTest, CallsTheGivenEntryRoutineAsTheSystemWould) {
  hostsim::CoreDriver core;
  hostsim::DriverHost host(&core, &RecordingEntry);
  g_entryResult = STATUS_ACCESS_DENIED;
  EXPECT_EQ(host.Load(u"probe"), STATUS_ACCESS_DENIED);
  EXPECT_FALSE(host.loaded());
  EXPECT_EQ(g_entryDriver, u"\\Driver\\probe");
  EXPECT_EQ(g_entryPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\probe");
  EXPECT_EQ(g_entryMaximumLength, g_entryPath.size() * 2);  // not terminated
  g_entryResult = STATUS_SUCCESS;
  EXPECT_EQ(host.Load(u"probe"), STATUS_SUCCESS);
  EXPECT_TRUE(host.loaded());
  // Nothing registered with the loader: unloading calls no unload routine.
  host.Unload();
  EXPECT_FALSE(host.loaded());
  EXPECT_EQ(host.driver_object()->DriverUnload, nullptr);
}

}  // namespace
