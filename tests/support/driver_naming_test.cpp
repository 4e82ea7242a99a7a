#include <gtest/gtest.h>

#include <string>

#include "kt_hooks.h"
#include "nips/support/driver_naming.h"

namespace {

const std::u16string kServiceKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nips";
const std::u16string kVersionLink = u"\\Device\\nips.8.0.0.11690";

UNICODE_STRING Counted(std::u16string& text) {
  const USHORT bytes = static_cast<USHORT>(text.size() * 2);
  return UNICODE_STRING{bytes, bytes, text.data()};
}

class DriverNamingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    SetDriverName(u"\\Driver\\nips");
  }
  void TearDown() override {
    EXPECT_EQ(kt::OpenHandleCount(), 0u);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
  void SetDriverName(const std::u16string& name) {
    name_ = name;
    driver_ = DRIVER_OBJECT{};
    driver_.DriverName = Counted(name_);
  }
  void RecordStatus(const std::u16string& path, size_t length, NTSTATUS status) {
    RecordEntryStatus(path.c_str(), static_cast<ULONG>(length), status);
  }

  std::u16string name_;
  DRIVER_OBJECT driver_{};
};

TEST_F(DriverNamingTest, PublishesTheBuildLinkOverAStaleOneAndWithdrawsIt) {
  std::u16string link = kVersionLink, stale = u"\\Driver\\stale";
  UNICODE_STRING linkName = Counted(link), staleTarget = Counted(stale);
  ASSERT_EQ(IoCreateSymbolicLink(&linkName, &staleTarget), STATUS_SUCCESS);  // an earlier load's
  PublishVersionLink(&driver_, kDriverBuildVersion);
  EXPECT_EQ(kt::QuerySymbolicLink(kVersionLink), u"\\Driver\\nips");
  WithdrawVersionLink(&driver_, kDriverBuildVersion);
  EXPECT_FALSE(kt::QuerySymbolicLink(kVersionLink).has_value());
  WithdrawVersionLink(&driver_, kDriverBuildVersion);  // harmless twice
}

TEST_F(DriverNamingTest, LinkUsesTheLastNameComponentCutAt299Characters) {
  const std::u16string longName(400, u'd');
  struct Case {
    std::u16string driverName, version, link, target;
  };
  const Case cases[] = {
      {u"nips2", u"1.2", u"\\Device\\nips2.1.2", u"\\Driver\\nips2"},  // no backslash: all of it
      {u"\\Driver\\" + longName, kDriverBuildVersion, (u"\\Device\\" + longName).substr(0, 299),
       (u"\\Driver\\" + longName).substr(0, 299)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driverName.size());
    SetDriverName(c.driverName);
    PublishVersionLink(&driver_, c.version.c_str());
    EXPECT_EQ(kt::QuerySymbolicLink(c.link), c.target);
    WithdrawVersionLink(&driver_, c.version.c_str());
    EXPECT_FALSE(kt::QuerySymbolicLink(c.link).has_value());
  }
}

TEST_F(DriverNamingTest, AllocationFailuresDoNothingAndLeakNothing) {
  for (uint64_t failing : {1u, 2u}) {
    kt::FailAllocationNumber(failing);
    PublishVersionLink(&driver_, kDriverBuildVersion);
    EXPECT_FALSE(kt::QuerySymbolicLink(kVersionLink).has_value()) << failing;
  }
  PublishVersionLink(&driver_, kDriverBuildVersion);
  kt::FailAllocationNumber(1);
  WithdrawVersionLink(&driver_, kDriverBuildVersion);
  EXPECT_TRUE(kt::QuerySymbolicLink(kVersionLink).has_value());
  WithdrawVersionLink(&driver_, kDriverBuildVersion);
}

TEST_F(DriverNamingTest, EntryStatusIsRecordedOnlyWhenNonZeroUnderTheGivenPathLength) {
  kt::RegistryCreateKeyPath(kServiceKey);
  RecordStatus(kServiceKey, kServiceKey.size(), STATUS_SUCCESS);
  EXPECT_FALSE(kt::RegistryQueryValue(kServiceKey, u"DriverEntry").has_value());
  // Only the given length of the path counts.
  RecordStatus(kServiceKey + u"\\ignored", kServiceKey.size(), STATUS_NO_MEMORY);
  auto value = kt::RegistryQueryValue(kServiceKey, u"DriverEntry");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(value->data, (std::vector<uint8_t>{0x17, 0x00, 0x00, 0xC0}));
  // Status 0 later leaves the earlier record alone.
  RecordStatus(kServiceKey, kServiceKey.size(), STATUS_SUCCESS);
  EXPECT_EQ(kt::RegistryQueryDword(kServiceKey, u"DriverEntry"), 0xC0000017u);
  // No key: nothing written and nothing left open.
  RecordStatus(u"\\Registry\\Machine\\Missing", 26, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(kt::RegistryKeyExists(u"\\Registry\\Machine\\Missing"));
}

}  // namespace
