#include <gtest/gtest.h>

#include <string>

#include "kt_hooks.h"
#include "nips/support/driver_naming.h"

namespace {

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

  std::u16string name_;
  DRIVER_OBJECT driver_{};
};

// Over an earlier load's stale link; the link name is the last component of
// the driver name (all of it without a backslash), cut at 299 characters.
TEST_F(DriverNamingTest, PublishesTheBuildLinkOverAStaleOneAndWithdrawsIt) {
  std::u16string link = kVersionLink, stale = u"\\Driver\\stale";
  UNICODE_STRING linkName = Counted(link), staleTarget = Counted(stale);
  ASSERT_EQ(IoCreateSymbolicLink(&linkName, &staleTarget), STATUS_SUCCESS);
  const std::u16string longName(400, u'd');
  struct Case {
    std::u16string driverName, version, link, target;
  };
  const Case cases[] = {
      {u"\\Driver\\nips", kDriverBuildVersion, kVersionLink, u"\\Driver\\nips"},
      {u"nips2", u"1.2", u"\\Device\\nips2.1.2", u"\\Driver\\nips2"},
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
    WithdrawVersionLink(&driver_, c.version.c_str());  // harmless twice
  }
}

// Only the given length of the path counts; a missing key is left missing.
TEST_F(DriverNamingTest, EntryStatusIsRecordedUnderTheGivenPathLengthOnly) {
  const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nips";
  kt::RegistryCreateKeyPath(key);
  const std::u16string longer = key + u"\\ignored";
  RecordEntryStatus(longer.c_str(), static_cast<ULONG>(key.size()), STATUS_NO_MEMORY);
  EXPECT_EQ(kt::RegistryQueryDword(key, u"DriverEntry"), 0xC0000017u);
  RecordEntryStatus(u"\\Registry\\Machine\\Missing", 26, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(kt::RegistryKeyExists(u"\\Registry\\Machine\\Missing"));
}

}  // namespace
