#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "kt_hooks.h"
#include "nips/support/registry.h"
#include "nips/support/support_pool.h"

namespace {

const std::u16string kKeyPath = u"\\Registry\\Machine\\Software\\Nips\\Test";

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
  return data;
}

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
  for (LONG_PTR value : {0LL, -1LL, -0x7FFFFFFFLL, -0x7FFFFFFDLL}) {
    EXPECT_FALSE(IsRegistryHandle(value)) << std::hex << value;
  }
  for (LONG_PTR value : {-0x7FFFFFFCLL, -0x80000000LL, 1LL, -2LL}) {
    EXPECT_TRUE(IsRegistryHandle(value)) << std::hex << value;
  }
}

TEST_F(RegistryTest, OpensAbsoluteMachineRelativeAndHandleRelativePathsOnly) {
  HANDLE machine = OpenRegistryKey(kRegistryRootMachine, u"Software\\Nips", true);
  ASSERT_NE(machine, nullptr);
  HANDLE relative = OpenRegistryKey(reinterpret_cast<LONG_PTR>(machine), u"Test", false);
  ASSERT_NE(relative, nullptr);
  ASSERT_TRUE(SetRegistryDword(relative, u"Probe", 0x1234));
  EXPECT_EQ(kt::RegistryQueryDword(kKeyPath, u"Probe"), 0x1234u);
  CloseRegistryKey(relative);
  CloseRegistryKey(machine);
  CloseRegistryKey(reinterpret_cast<HANDLE>(kRegistryRootMachine));  // a no-op, no verifier stop
  // The machine path cannot be formatted without memory.
  kt::FailAllocationsWithTag(kPoolTagSupport);
  EXPECT_EQ(OpenRegistryKey(kRegistryRootMachine, u"Software\\Nips", false), nullptr);
}

// Buffers around the scratch threshold (398) with data that fits exactly, is
// one byte short or long, around the 388 bytes the 400-byte scratch area (or
// the caller's buffer less 12) holds, and far larger than either.
TEST_F(RegistryTest, ValueBuffersAroundTheScratchAreaCopyExactlyWhatFits) {
  for (long bufferSize : {0L, 1L, 398L, 399L, 400L, 412L}) {
    for (long dataSize : {0L, bufferSize - 1, bufferSize, bufferSize + 1, bufferSize - 13,
                          bufferSize - 12, bufferSize - 11, 387L, 388L, 389L, 4000L}) {
      if (dataSize < 0) continue;
      SCOPED_TRACE(testing::Message() << "buffer " << bufferSize << " data " << dataSize);
      const std::vector<uint8_t> data = Pattern(dataSize);
      kt::RegistrySetValue(kKeyPath, u"Blob", REG_BINARY, data);
      // Exact-size heap buffer so that any write past it is caught.
      std::unique_ptr<uint8_t[]> buffer(bufferSize ? new uint8_t[bufferSize] : nullptr);
      if (bufferSize) memset(buffer.get(), 0xEE, bufferSize);
      ULONG type = 0, length = 0;
      ASSERT_TRUE(QueryRegistryValue(key_, u"Blob", &type, buffer.get(), bufferSize, &length));
      EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
      EXPECT_EQ(length, static_cast<ULONG>(dataSize));
      const long copied = std::min(bufferSize, dataSize);
      EXPECT_TRUE(std::equal(data.begin(), data.begin() + copied, buffer.get()));
      for (long i = copied; i < bufferSize && bufferSize <= kRegistryScratchThreshold; ++i) {
        ASSERT_EQ(buffer[i], 0xEE) << i;  // small buffers only receive the data itself
      }
    }
  }
}

TEST_F(RegistryTest, MissingValuesAndRetryAllocationFailuresFailWithoutLeaking) {
  kt::RegistrySetValue(kKeyPath, u"Blob", REG_BINARY, Pattern(3000));
  kt::RegistrySetValue(kKeyPath, u"Small", REG_BINARY, Pattern(300));
  uint8_t small[16];
  ULONG length = 0;
  EXPECT_FALSE(QueryRegistryValue(key_, u"Absent", nullptr, small, sizeof small, nullptr));
  kt::FailAllocationsWithTag(kPoolTagSupport);
  EXPECT_FALSE(QueryRegistryValue(key_, u"Blob", nullptr, small, sizeof small, nullptr));
  // A small value never needs pool memory.
  EXPECT_TRUE(QueryRegistryValue(key_, u"Small", nullptr, small, sizeof small, &length));
  EXPECT_EQ(length, 300u);
  kt::ClearPoolFaults();
  EXPECT_TRUE(QueryRegistryValue(key_, u"Blob", nullptr, small, sizeof small, &length));
  EXPECT_EQ(length, 3000u);
}

TEST_F(RegistryTest, StringsAreTerminatedAtDataLengthOrCapacity) {
  for (ULONG type : {static_cast<ULONG>(REG_SZ), static_cast<ULONG>(REG_EXPAND_SZ)}) {
    kt::RegistrySetString(kKeyPath, u"Name", u"vaultkd", type);
    for (ULONG capacity : {1u, 7u, 8u}) {
      SCOPED_TRACE(testing::Message() << "type " << type << " capacity " << capacity);
      std::unique_ptr<WCHAR[]> text(new WCHAR[capacity]);
      ASSERT_TRUE(QueryRegistryString(key_, u"Name", text.get(), capacity));
      EXPECT_EQ(std::u16string(text.get()), std::u16string(u"vaultkd").substr(0, capacity - 1));
    }
  }
  // Stored without a terminator: cut at the data length, not one past it.
  kt::RegistrySetValue(kKeyPath, u"Raw", REG_SZ, {'a', 0, 'b', 0, 'c', 0, 'd'});  // odd length
  WCHAR text[16];
  std::fill(std::begin(text), std::end(text), u'#');
  ASSERT_TRUE(QueryRegistryString(key_, u"Raw", text, 16));
  EXPECT_EQ(std::u16string(text), u"abc");
  kt::RegistrySetValue(kKeyPath, u"Number", REG_DWORD, {1, 0, 0, 0});
  EXPECT_FALSE(QueryRegistryString(key_, u"Number", text, 16));
  EXPECT_FALSE(QueryRegistryString(key_, u"Name", text, 0));
  // A long string read through a buffer larger than the scratch area.
  const std::u16string longText(500, u'x');
  kt::RegistrySetString(kKeyPath, u"Long", longText, REG_SZ);
  std::unique_ptr<WCHAR[]> big(new WCHAR[250]);
  ASSERT_TRUE(QueryRegistryString(key_, u"Long", big.get(), 250));
  EXPECT_EQ(std::u16string(big.get()), longText.substr(0, 249));
}

}  // namespace
