#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "kt_hooks.h"
#include "nips/support/registry.h"
#include "nips/support/support_pool.h"

namespace {

const std::u16string kKeyPath = u"\\Registry\\Machine\\Software\\Nips\\Test";

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    kt::RegistryCreateKeyPath(kKeyPath);
    key_ = OpenRegistryKey(kRegistryRootAbsolute, kKeyPath.c_str(), true);
    ASSERT_NE(key_, nullptr);
  }
  void TearDown() override {
    kt::ClearPoolFaults();
    CloseRegistryKey(key_);
    EXPECT_EQ(kt::OpenHandleCount(), 0u);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }

  HANDLE key_ = nullptr;
};

TEST_F(RegistryTest, HandleTestRejectsNullMinusOneAndTheReservedSelectors) {
  for (auto [value, isHandle] : {std::pair{0LL, false},
                                 {-1LL, false},
                                 {-0x7FFFFFFFLL, false},
                                 {-0x7FFFFFFDLL, false},
                                 {-0x7FFFFFFCLL, true},
                                 {-0x80000000LL, true},
                                 {1LL, true},
                                 {-2LL, true}}) {
    EXPECT_EQ(IsRegistryHandle(value), isHandle) << std::hex << value;
  }
}

// Around the scratch threshold (398), the 400-byte scratch area holding 388 bytes of data and
// the caller's buffer less 12; an exact-size heap buffer so that any write past it is caught.
TEST_F(RegistryTest, ValueBuffersAroundTheScratchAreaCopyExactlyWhatFits) {
  for (long bufferSize : {0L, 1L, 398L, 399L, 400L, 412L}) {
    for (long dataSize : {0L, bufferSize - 1, bufferSize, bufferSize + 1, bufferSize - 13,
                          bufferSize - 12, bufferSize - 11, 387L, 388L, 389L, 4000L}) {
      if (dataSize < 0) continue;
      SCOPED_TRACE(testing::Message() << "buffer " << bufferSize << " data " << dataSize);
      std::vector<uint8_t> data(dataSize);
      std::iota(data.begin(), data.end(), uint8_t{1});
      kt::RegistrySetValue(kKeyPath, u"Blob", REG_BINARY, data);
      std::vector<uint8_t> buffer(bufferSize, 0xEE);
      ULONG type = 0, length = 0;
      ASSERT_TRUE(QueryRegistryValue(key_, u"Blob", &type, buffer.data(), bufferSize, &length));
      EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
      EXPECT_EQ(length, static_cast<ULONG>(dataSize));
      const long copied = std::min(bufferSize, dataSize);
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + copied, buffer.begin()));
      if (bufferSize <= kRegistryScratchThreshold) {  // small buffers receive the data only
        EXPECT_EQ(std::count(buffer.begin() + copied, buffer.end(), 0xEE), bufferSize - copied);
      }
    }
  }
}

TEST_F(RegistryTest, MissingValuesAndRetryAllocationFailuresFailWithoutLeaking) {
  kt::RegistrySetValue(kKeyPath, u"Blob", REG_BINARY, std::vector<uint8_t>(3000, 7));
  kt::RegistrySetValue(kKeyPath, u"Small", REG_BINARY, std::vector<uint8_t>(300, 7));
  uint8_t small[16];
  ULONG length = 0;
  EXPECT_FALSE(QueryRegistryValue(key_, u"Absent", nullptr, small, sizeof small, nullptr));
  kt::FailAllocationsWithTag(kPoolTagSupport);
  EXPECT_FALSE(QueryRegistryValue(key_, u"Blob", nullptr, small, sizeof small, nullptr));
  EXPECT_TRUE(QueryRegistryValue(key_, u"Small", nullptr, small, sizeof small, &length));
  EXPECT_EQ(length, 300u);  // a small value never needs pool memory
  kt::ClearPoolFaults();
  EXPECT_TRUE(QueryRegistryValue(key_, u"Blob", nullptr, small, sizeof small, &length));
  EXPECT_EQ(length, 3000u);
}

TEST_F(RegistryTest, StringsAreTerminatedAtDataLengthOrCapacity) {
  for (ULONG type : {ULONG(REG_SZ), ULONG(REG_EXPAND_SZ)}) {
    kt::RegistrySetString(kKeyPath, u"Name", u"vaultkd", type);
    for (ULONG capacity : {1u, 7u, 8u}) {
      SCOPED_TRACE(testing::Message() << "type " << type << " capacity " << capacity);
      std::vector<WCHAR> text(capacity, u'#');
      ASSERT_TRUE(QueryRegistryString(key_, u"Name", text.data(), capacity));
      EXPECT_EQ(std::u16string(text.data()), std::u16string(u"vaultkd").substr(0, capacity - 1));
    }
  }
  kt::RegistrySetValue(kKeyPath, u"Raw", REG_SZ, {'a', 0, 'b', 0, 'c', 0, 'd'});  // odd, no NUL
  WCHAR text[16];
  std::fill(std::begin(text), std::end(text), u'#');
  ASSERT_TRUE(QueryRegistryString(key_, u"Raw", text, 16));
  EXPECT_EQ(std::u16string(text), u"abc");
  kt::RegistrySetValue(kKeyPath, u"Number", REG_DWORD, {1, 0, 0, 0});
  EXPECT_FALSE(QueryRegistryString(key_, u"Number", text, 16));
  EXPECT_FALSE(QueryRegistryString(key_, u"Name", text, 0));
  kt::RegistrySetString(kKeyPath, u"Long", std::u16string(500, u'x'), REG_SZ);
  std::vector<WCHAR> big(250, u'#');  // larger than the scratch area
  ASSERT_TRUE(QueryRegistryString(key_, u"Long", big.data(), 250));
  EXPECT_EQ(std::u16string(big.data()), std::u16string(249, u'x'));
}

}  // namespace
