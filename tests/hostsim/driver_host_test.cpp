// Loading the driver as the system would, under a chosen service name; a
// failed load leaves nothing to talk to and a later one works.
#include <gtest/gtest.h>

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

TEST_F(DriverHostTest, LoadsUnderTheGivenServiceNameOnceAndAfterAFailedLoad) {
  hostsim::CoreDriver core;
  core.set_device_present(false);
  hostsim::DriverHost host(&core);
  EXPECT_EQ(host.Load(u"nips2"), STATUS_ILL_FORMED_SERVICE_ENTRY);
  uint64_t returned = 0;
  EXPECT_EQ(host.Control(kControlEnforce, nullptr, 0, nullptr, 0, &returned),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(host.Inspect(nullptr), std::nullopt);
  core.set_device_present(true);
  ASSERT_EQ(host.Load(u"nips2"), STATUS_SUCCESS);
  EXPECT_EQ(kt::ToU16(host.driver_object()->DriverName), u"\\Driver\\nips2");
  EXPECT_EQ(core.last_handshake_service(), u"nips2");
  EXPECT_EQ(kt::QuerySymbolicLink(u"\\Device\\nips2.8.0.0.11690"), u"\\Driver\\nips2");
  EXPECT_EQ(host.Inspect(nullptr), 2);
  EXPECT_EQ(host.Load(u"nips2"), STATUS_UNSUCCESSFUL);  // already loaded: nothing happens
  EXPECT_EQ(core.handshakes(), 1);
  host.Unload();
  EXPECT_FALSE(host.loaded());
}

}  // namespace
