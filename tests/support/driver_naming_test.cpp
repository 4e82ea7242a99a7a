#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "kt_hooks.h"
#include "nips/support/driver_naming.h"

namespace {

UNICODE_STRING Counted(std::u16string& text) {
  const USHORT bytes = static_cast<USHORT>(text.size() * 2);
  return UNICODE_STRING{bytes, bytes, text.data()};
}

class DriverNamingTest : public ::testing::Test {
 protected:
  void SetUp() override { kt::ResetWorld(); }
  void TearDown() override {
    EXPECT_EQ(kt::OpenHandleCount(), 0u);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
};

// Over an earlier load's stale link; the link name is the last component of
// the driver name (all of it without a backslash), cut at 299 characters.
TEST_F(DriverNamingTest, PublishesTheBuildLinkOverAStaleOneAndWithdrawsIt) {
  std::u16string versionLink = u"\\Device\\nips.8.0.0.11690", stale = u"\\Driver\\stale";
  UNICODE_STRING linkName = Counted(versionLink), staleTarget = Counted(stale);
  ASSERT_EQ(IoCreateSymbolicLink(&linkName, &staleTarget), STATUS_SUCCESS);
  const std::u16string d400(400, u'd');
  const std::tuple<std::u16string, std::u16string, std::u16string, std::u16string> cases[] = {
      {u"\\Driver\\nips", kDriverBuildVersion, versionLink, u"\\Driver\\nips"},
      {u"nips2", u"1.2", u"\\Device\\nips2.1.2", u"\\Driver\\nips2"},
      {u"\\Driver\\" + d400, kDriverBuildVersion, (u"\\Device\\" + d400).substr(0, 299),
       (u"\\Driver\\" + d400).substr(0, 299)}};
  for (auto [name, version, link, target] : cases) {
    SCOPED_TRACE(name.size());
    DRIVER_OBJECT driver{};
    driver.DriverName = Counted(name);
    PublishVersionLink(&driver, version.c_str());
    EXPECT_EQ(kt::QuerySymbolicLink(link), target);
    WithdrawVersionLink(&driver, version.c_str());
    EXPECT_FALSE(kt::QuerySymbolicLink(link).has_value());
    WithdrawVersionLink(&driver, version.c_str());  // harmless twice
  }
}

// Only the given length of the path counts; a missing key is left missing.
TEST_F(DriverNamingTest, EntryStatusIsRecordedUnderTheGivenPathLengthOnly) {
  const std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nips";
  kt::RegistryCreateKeyPath(key);
  RecordEntryStatus((key + u"\\ignored").c_str(), ULONG(key.size()), STATUS_NO_MEMORY);
  EXPECT_EQ(kt::RegistryQueryDword(key, u"DriverEntry"), 0xC0000017u);
  RecordEntryStatus(u"\\Registry\\Machine\\Missing", 26, STATUS_UNSUCCESSFUL);
  EXPECT_FALSE(kt::RegistryKeyExists(u"\\Registry\\Machine\\Missing"));
}

}  // namespace
