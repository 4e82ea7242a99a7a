#include <gtest/gtest.h>

#include <string>

#include "kt_hooks.h"
#include "nips/support/driver_naming.h"

namespace {

const std::u16string kServiceKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nips";
const std::u16string kVersionLink = u"\\Device\\nips.8.0.0.11690";

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
    driver_.DriverName.Buffer = name_.data();
    driver_.DriverName.Length = static_cast<USHORT>(name_.size() * 2);
    driver_.DriverName.MaximumLength = driver_.DriverName.Length;
  }

  static void CreateLink(const std::u16string& name, const std::u16string& target) {
    std::u16string n = name;
    std::u16string t = target;
    UNICODE_STRING link{static_cast<USHORT>(n.size() * 2), static_cast<USHORT>(n.size() * 2),
                        n.data()};
    UNICODE_STRING destination{static_cast<USHORT>(t.size() * 2), static_cast<USHORT>(t.size() * 2),
                               t.data()};
    ASSERT_EQ(IoCreateSymbolicLink(&link, &destination), STATUS_SUCCESS);
  }

  std::u16string name_;
  DRIVER_OBJECT driver_{};
};

TEST_F(DriverNamingTest, PublishesTheBuildLinkAndWithdrawsIt) {
  PublishVersionLink(&driver_, kDriverBuildVersion);
  EXPECT_EQ(kt::QuerySymbolicLink(kVersionLink), u"\\Driver\\nips");
  WithdrawVersionLink(&driver_, kDriverBuildVersion);
  EXPECT_FALSE(kt::QuerySymbolicLink(kVersionLink).has_value());
  // Withdrawing twice is harmless.
  WithdrawVersionLink(&driver_, kDriverBuildVersion);
}

TEST_F(DriverNamingTest, ReplacesALinkLeftByAnEarlierLoad) {
  CreateLink(kVersionLink, u"\\Driver\\stale");
  PublishVersionLink(&driver_, kDriverBuildVersion);
  EXPECT_EQ(kt::QuerySymbolicLink(kVersionLink), u"\\Driver\\nips");
}

TEST_F(DriverNamingTest, DriverNameWithoutBackslashIsUsedWhole) {
  SetDriverName(u"nips2");
  PublishVersionLink(&driver_, u"1.2");
  EXPECT_EQ(kt::QuerySymbolicLink(u"\\Device\\nips2.1.2"), u"\\Driver\\nips2");
}

TEST_F(DriverNamingTest, LongNamesAreCutAt299Characters) {
  const std::u16string longName(400, u'd');
  SetDriverName(u"\\Driver\\" + longName);
  PublishVersionLink(&driver_, kDriverBuildVersion);
  const std::u16string link = (u"\\Device\\" + longName).substr(0, 299);
  EXPECT_EQ(kt::QuerySymbolicLink(link), (u"\\Driver\\" + longName).substr(0, 299));
  WithdrawVersionLink(&driver_, kDriverBuildVersion);
  EXPECT_FALSE(kt::QuerySymbolicLink(link).has_value());
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

TEST_F(DriverNamingTest, EntryStatusIsRecordedOnlyWhenNonZero) {
  kt::RegistryCreateKeyPath(kServiceKey);
  RecordEntryStatus(kServiceKey.c_str(), static_cast<ULONG>(kServiceKey.size()), STATUS_SUCCESS);
  EXPECT_FALSE(kt::RegistryQueryValue(kServiceKey, u"DriverEntry").has_value());
  RecordEntryStatus(kServiceKey.c_str(), static_cast<ULONG>(kServiceKey.size()), STATUS_NO_MEMORY);
  auto value = kt::RegistryQueryValue(kServiceKey, u"DriverEntry");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(value->type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(value->data.size(), 4u);
  EXPECT_EQ(kt::RegistryQueryDword(kServiceKey, u"DriverEntry"), 0xC0000017u);
  // Status 0 later leaves the earlier record alone.
  RecordEntryStatus(kServiceKey.c_str(), static_cast<ULONG>(kServiceKey.size()), STATUS_SUCCESS);
  EXPECT_EQ(kt::RegistryQueryDword(kServiceKey, u"DriverEntry"), 0xC0000017u);
}

TEST_F(DriverNamingTest, EntryStatusUsesOnlyTheGivenLengthOfThePath) {
  kt::RegistryCreateKeyPath(kServiceKey);
  const std::u16string withTail = kServiceKey + u"\\ignored";
  RecordEntryStatus(withTail.c_str(), static_cast<ULONG>(kServiceKey.size()),
                    STATUS_REVISION_MISMATCH);
  EXPECT_EQ(kt::RegistryQueryDword(kServiceKey, u"DriverEntry"), 0xC0000059u);
  // No key, nothing written and nothing left open.
  RecordEntryStatus(u"\\Registry\\Machine\\Missing", 26, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(kt::RegistryKeyExists(u"\\Registry\\Machine\\Missing"));
}

}  // namespace
