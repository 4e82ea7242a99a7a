#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <vector>

#include "kt_hooks.h"

namespace {

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override { kt::ResetWorld(); }
};

TEST_F(SystemTest, ClockCountsFrom1601AndTheHookMovesIt) {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_GT(now.QuadPart, kt::SystemTimeFromUnix(1577836800, 0));  // 2020-01-01
  EXPECT_LT(now.QuadPart, kt::SystemTimeFromUnix(4102444800, 0));  // 2100-01-01
  const int64_t start = kt::SystemTimeFromUnix(1700000000, 250000);
  kt::SetSystemTime(start);
  KeQuerySystemTime(&now);
  EXPECT_EQ(now.QuadPart, start);
  kt::AdvanceSystemTimeMs(60001);
  KeQuerySystemTime(&now);
  EXPECT_EQ(now.QuadPart - start, 60001 * kt::kUnitsPerMs);
}

TEST_F(SystemTest, GuardedCopyTurnsFaultsIntoAccessViolation) {
  static int staticObject;
  const char source[8] = "payload";
  std::vector<char> target(8);
  EXPECT_GE(uintptr_t(&staticObject), uintptr_t(MmSystemRangeStart));
  EXPECT_LE(uintptr_t(target.data()), uintptr_t(MmHighestUserAddress));
  EXPECT_TRUE(MmIsAddressValid(&staticObject));
  EXPECT_FALSE(MmIsAddressValid(nullptr));
  EXPECT_EQ(KeGuardedCopyToUser(target.data(), source, sizeof source), STATUS_SUCCESS);
  EXPECT_STREQ(target.data(), "payload");

  kt::AddFaultingRange(target.data() + 4, 1);
  EXPECT_FALSE(MmIsAddressValid(target.data() + 4));
  EXPECT_EQ(KeGuardedCopyToUser(target.data(), source, sizeof source), STATUS_ACCESS_VIOLATION);
  kt::ClearFaultingRanges();
  // A real read-only page faults too, without killing the process.
  const long page = sysconf(_SC_PAGESIZE);
  void* readOnly = mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(readOnly, MAP_FAILED);
  EXPECT_EQ(KeGuardedCopyToUser(readOnly, source, sizeof source), STATUS_ACCESS_VIOLATION);
  munmap(readOnly, page);
  EXPECT_EQ(KeGuardedCopyToUser(reinterpret_cast<void*>(0x100), source, 1),
            STATUS_ACCESS_VIOLATION);
}

TEST_F(SystemTest, StringRoutinesFoldAsciiOnly) {
  EXPECT_EQ(_strnicmp("\\MailSlot\\x", "\\MAILSLOT\\y", 10), 0);
  EXPECT_NE(_strnicmp("abc", "abd", 3), 0);
  EXPECT_LT(_stricmp("a", "ab"), 0);
  EXPECT_NE(_strnicmp("\xC4", "\xE4", 1), 0);  // Latin-1 letters are not folded
  EXPECT_EQ(_wcsnicmp(u"VaultKD", u"vaultkd", 7), 0);
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, u"\\Driver\\nips");
  EXPECT_EQ(s.Length, 24);
  EXPECT_EQ(s.MaximumLength, 26);
}

}  // namespace
