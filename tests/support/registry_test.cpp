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
  const LONG_PTR notHandles[] = {0,           -1,          -0x7FFFFFFF,
                                 -0x7FFFFFFE, -0x7FFFFFFD, kRegistryRootMachine};
  for (LONG_PTR value : notHandles) EXPECT_FALSE(IsRegistryHandle(value)) << std::hex << value;
  const LONG_PTR handles[] = {
      -0x7FFFFFFC, -0x80000000LL, -0x7FFFFFFFFFFFFFFFLL, 1, 0x1000, 0x80000002, -2};
  for (LONG_PTR value : handles) EXPECT_TRUE(IsRegistryHandle(value)) << std::hex << value;
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
  // The machine selector never means an absolute path, nor the other way round.
  EXPECT_EQ(OpenRegistryKey(kRegistryRootMachine, u"\\Registry\\Machine\\Software", false),
            nullptr);
  EXPECT_EQ(OpenRegistryKey(kRegistryRootAbsolute, u"Software\\Nips", false), nullptr);
  for (const char16_t* path :
       {static_cast<const char16_t*>(nullptr), u"", u"\\Registry\\Machine\\No"}) {
    EXPECT_EQ(OpenRegistryKey(kRegistryRootAbsolute, path, false), nullptr);
  }
  EXPECT_EQ(OpenRegistryKey(kRegistryRootMachine, u"", false), nullptr);
  for (LONG_PTR root : {LONG_PTR{0}, LONG_PTR{-0x7FFFFFFF}, LONG_PTR{-0x7FFFFFFD}}) {
    EXPECT_EQ(OpenRegistryKey(root, u"Software", false), nullptr) << root;
  }
  // Closing a non-handle is a no-op rather than a verifier stop.
  CloseRegistryKey(nullptr);
  CloseRegistryKey(reinterpret_cast<HANDLE>(kRegistryRootMachine));
  // The machine path cannot be formatted without memory.
  kt::FailAllocationsWithTag(kPoolTagSupport);
  EXPECT_EQ(OpenRegistryKey(kRegistryRootMachine, u"Software\\Nips", false), nullptr);
}

// Buffers around the scratch threshold, each with data that fits exactly, is
// one byte short or one byte long, and data far larger than any first area.
TEST_F(RegistryTest, ValueBuffersAroundTheScratchAreaCopyExactlyWhatFits) {
  for (ULONG bufferSize : {0u, 1u, 388u, 397u, 398u, 399u, 400u, 401u, 412u}) {
    for (size_t dataSize :
         std::vector<size_t>{0, 1, bufferSize > 0 ? bufferSize - 1 : 0, bufferSize, bufferSize + 1,
                             386, 387, 388, 389, 390, 400, 4000}) {
      SCOPED_TRACE(testing::Message() << "buffer " << bufferSize << " data " << dataSize);
      const std::vector<uint8_t> data = Pattern(dataSize);
      kt::RegistrySetValue(kKeyPath, u"Blob", REG_BINARY, data);
      // Exact-size heap buffer so that any write past it is caught.
      std::unique_ptr<uint8_t[]> buffer(bufferSize ? new uint8_t[bufferSize] : nullptr);
      if (bufferSize) memset(buffer.get(), 0xEE, bufferSize);
      ULONG type = 0;
      ULONG length = 0;
      ASSERT_TRUE(QueryRegistryValue(key_, u"Blob", &type, buffer.get(), bufferSize, &length));
      EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
      EXPECT_EQ(length, dataSize);
      const size_t copied = std::min<size_t>(bufferSize, dataSize);
      if (copied != 0) {
        EXPECT_EQ(memcmp(buffer.get(), data.data(), copied), 0);
      }
      for (size_t i = copied; i < bufferSize && bufferSize <= kRegistryScratchThreshold; ++i) {
        ASSERT_EQ(buffer[i], 0xEE) << i;  // small buffers only receive the data itself
      }
    }
  }
}

TEST_F(RegistryTest, RetryAllocationFailureFailsWithoutLeaking) {
  kt::RegistrySetValue(kKeyPath, u"Blob", REG_BINARY, Pattern(3000));
  kt::RegistrySetValue(kKeyPath, u"Small", REG_BINARY, Pattern(300));
  uint8_t small[16];
  ULONG length = 0;
  kt::FailAllocationsWithTag(kPoolTagSupport);
  EXPECT_FALSE(QueryRegistryValue(key_, u"Blob", nullptr, small, sizeof small, nullptr));
  // A small value never needs pool memory.
  EXPECT_TRUE(QueryRegistryValue(key_, u"Small", nullptr, small, sizeof small, &length));
  EXPECT_EQ(length, 300u);
  kt::ClearPoolFaults();
  EXPECT_TRUE(QueryRegistryValue(key_, u"Blob", nullptr, small, sizeof small, &length));
  EXPECT_EQ(length, 3000u);
}

TEST_F(RegistryTest, MissingValuesFailAndEmptyNamesMeanTheDefaultValue) {
  ULONG dword = 0;
  ULONG type = 0;
  EXPECT_FALSE(QueryRegistryValue(key_, u"Absent", nullptr, &dword, sizeof dword, nullptr));
  ASSERT_TRUE(SetRegistryDword(key_, nullptr, 77));
  EXPECT_EQ(kt::RegistryQueryDword(kKeyPath, u""), 77u);
  ASSERT_TRUE(SetRegistryDword(key_, u"", 78));
  ASSERT_TRUE(QueryRegistryValue(key_, nullptr, &type, &dword, sizeof dword, nullptr));
  EXPECT_EQ(type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(dword, 78u);
  const uint8_t bytes[3] = {1, 2, 3};
  ASSERT_TRUE(SetRegistryValue(key_, u"Bytes", REG_BINARY, bytes, sizeof bytes));
  auto stored = kt::RegistryQueryValue(kKeyPath, u"Bytes");
  ASSERT_TRUE(stored.has_value());
  EXPECT_EQ(stored->type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(stored->data, std::vector<uint8_t>(bytes, bytes + 3));
}

TEST_F(RegistryTest, StringsAreTerminatedAtDataLengthOrCapacity) {
  for (ULONG type : {static_cast<ULONG>(REG_SZ), static_cast<ULONG>(REG_EXPAND_SZ)}) {
    kt::RegistrySetString(kKeyPath, u"Name", u"vaultkd", type);
    for (ULONG capacity : {1u, 2u, 7u, 8u, 9u, 300u}) {
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
  kt::RegistrySetValue(kKeyPath, u"Multi", 7 /* REG_MULTI_SZ */, {'a', 0, 0, 0, 0, 0});
  for (const char16_t* refused : {u"Number", u"Multi", u"Absent"}) {
    EXPECT_FALSE(QueryRegistryString(key_, refused, text, 16)) << kt::Narrow(refused);
  }
  EXPECT_FALSE(QueryRegistryString(key_, u"Name", text, 0));
  // A long string read through a buffer larger than the scratch area.
  const std::u16string longText(500, u'x');
  kt::RegistrySetString(kKeyPath, u"Long", longText, REG_SZ);
  std::unique_ptr<WCHAR[]> big(new WCHAR[250]);
  ASSERT_TRUE(QueryRegistryString(key_, u"Long", big.get(), 250));
  EXPECT_EQ(std::u16string(big.get()), longText.substr(0, 249));
}

}  // namespace
