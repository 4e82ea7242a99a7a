#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kt_hooks.h"
#include "nips/driver/content_driver.h"
#include "nips/driver/driver_entry.h"
#include "nips/engine/config.h"
#include "nips/engine/log.h"
#include "testlib/nimq_reader.h"

namespace {

// A loader that answers registration with a chosen status and may take a
// reference even when it refuses.
class TestLoader final : public ContentDriverHost {
 public:
  NTSTATUS RegisterContentDriver(ContentDriver* driver) override {
    ++calls;
    registered = driver;
    if (takeReference) driver->AddRef();
    return status;
  }
  NTSTATUS status = STATUS_SUCCESS;
  bool takeReference = false;
  int calls = 0;
  ContentDriver* registered = nullptr;
};

class CountingConnection final : public ServiceConnection {
 public:
  void Unregister() override { ++unregisters; }
  UCHAR AttachInterface(const GUID*, PVOID) override { return 1; }
  void DetachInterface(const GUID*, PVOID, PVOID) override {}
  int unregisters = 0;
};

CountingConnection* g_connection = nullptr;

NTSTATUS RegisterClient(ServiceClient*, ServiceConnection** connection) {
  *connection = g_connection;
  return STATUS_SUCCESS;
}

class ContentDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    for (PVOID& entry : table_) entry = nullptr;
    table_[kServiceTableRegisterClient] = reinterpret_cast<PVOID>(&RegisterClient);
    g_serviceTable = table_;
    g_connection = &connection_;
    driverObject_ = DRIVER_OBJECT{};
    g_driverObject = &driverObject_;
  }
  void TearDown() override {
    g_serviceTable = nullptr;
    g_driverObject = nullptr;
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }

  PVOID table_[kServiceTableEntries];
  CountingConnection connection_;
  TestLoader loader_;
  DRIVER_OBJECT driverObject_;
};

TEST_F(ContentDriverTest, LastReleaseShutsDownDestroysAndFrees) {
  NipsContentDriver* driver = NipsContentDriver::Create(&loader_);
  ASSERT_NE(driver, nullptr);
  g_contentDriver = driver;
  EXPECT_EQ(driver->referenceCount(), 1);
  ASSERT_EQ(driver->Start(), STATUS_SUCCESS);
  EXPECT_EQ(loader_.registered, driver);
  driver->AddRef();
  driver->AddRef();
  driver->Release();
  driver->Release();
  EXPECT_EQ(driver->referenceCount(), 1);
  EXPECT_EQ(connection_.unregisters, 0);
  EXPECT_GT(kt::PoolOutstanding(), 0u);
  driver->Release();
  EXPECT_EQ(connection_.unregisters, 1);  // shut down, destroyed: unregistered once
  EXPECT_EQ(g_contentDriver, nullptr);
}

TEST_F(ContentDriverTest, ShutdownIsSafeToRepeat) {
  NipsContentDriver* driver = NipsContentDriver::Create(&loader_);
  ASSERT_NE(driver, nullptr);
  ASSERT_EQ(driver->Start(), STATUS_SUCCESS);
  driver->Shutdown();
  driver->Shutdown();
  EXPECT_EQ(connection_.unregisters, 1);
  EXPECT_EQ(driver->plugin()->tracking, nullptr);
  driver->Release();
}

TEST_F(ContentDriverTest, RefusalIsLoggedAsAnErrorWhileLifecycleLinesStayOut) {
  loader_.status = STATUS_ACCESS_DENIED;
  loader_.takeReference = true;  // keeps the object alive to read its log
  NipsContentDriver* driver = NipsContentDriver::Create(&loader_);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->Start(), STATUS_ACCESS_DENIED);
  std::vector<testlib::LogRecord> records = testlib::DrainLog(driver->plugin());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Narrow(),
            "ERROR: Failed to register as content driver, status = 0xc0000022\n");
  EXPECT_EQ(records[0].category, kLogError);
  EXPECT_EQ(records[0].kind, kLogKindFlagged);
  driver->Release();
  driver->Release();
}

TEST_F(ContentDriverTest, SlotsBeyondControl) {
  NipsContentDriver* driver = NipsContentDriver::Create(&loader_);
  ASSERT_NE(driver, nullptr);
  ContentDriver* asLoaderSeesIt = driver;
  EXPECT_EQ(asLoaderSeesIt->UnsupportedRequest(), STATUS_NOT_IMPLEMENTED);
  asLoaderSeesIt->IgnoredNotification();
  ULONG64 returned = 0;
  EXPECT_EQ(asLoaderSeesIt->Control(0, nullptr, 0, nullptr, 0, &returned), STATUS_NOT_IMPLEMENTED);
  ULONG mask = 0x7F;
  EXPECT_EQ(asLoaderSeesIt->Control(kControlSetLogMask, &mask, sizeof mask, nullptr, 0, &returned),
            STATUS_SUCCESS);
  EXPECT_EQ(driver->plugin()->logMask, 0x7Fu);
  driver->Release();
}

TEST_F(ContentDriverTest, PrepareUnloadDropsTheLastReferenceAndInstallsTheUnloadRoutine) {
  NipsContentDriver* driver = NipsContentDriver::Create(&loader_);
  ASSERT_NE(driver, nullptr);
  ASSERT_EQ(driver->Start(), STATUS_SUCCESS);
  g_contentDriver = driver;
  driver->PrepareUnload(reinterpret_cast<PVOID>(1), reinterpret_cast<PVOID>(2));
  EXPECT_EQ(g_contentDriver, nullptr);
  EXPECT_EQ(connection_.unregisters, 1);
  EXPECT_EQ(driverObject_.DriverUnload, &NipsDriverUnload);
}

}  // namespace
