#include <gtest/gtest.h>

#include <vector>

#include "kt_hooks.h"

namespace {

class NamespaceTest : public ::testing::Test {
 protected:
  void SetUp() override { kt::ResetWorld(); }
  // Points attributes_ at path (kept in name_) for a Zw open call.
  OBJECT_ATTRIBUTES* At(const char16_t* path, ULONG flags = OBJ_CASE_INSENSITIVE) {
    RtlInitUnicodeString(&name_, path);
    InitializeObjectAttributes(&attributes_, &name_, flags, nullptr, nullptr);
    return &attributes_;
  }
  UNICODE_STRING name_;
  OBJECT_ATTRIBUTES attributes_;
};

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nips";

TEST_F(NamespaceTest, RegistryValueRoundTripsWithWindowsOverflowStatuses) {
  const char16_t* path = u"\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\NIPS";
  HANDLE key = nullptr;
  EXPECT_EQ(ZwOpenKey(&key, KEY_READ, At(path)), STATUS_OBJECT_NAME_NOT_FOUND);
  kt::RegistryCreateKeyPath(kService);
  ASSERT_EQ(ZwOpenKey(&key, KEY_READ, At(path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE)),
            STATUS_SUCCESS);
  UNICODE_STRING valueName, missing;
  RtlInitUnicodeString(&valueName, u"DriverEntry");
  RtlInitUnicodeString(&missing, u"AltServiceName");
  ULONG value = 0xC0000017;
  ASSERT_EQ(ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
  EXPECT_EQ(kt::RegistryQueryDword(kService, u"driverentry"), 0xC0000017u);

  std::vector<UCHAR> buffer(64);
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
  ULONG resultLength = 0;
  auto query = [&](UNICODE_STRING* name, ULONG size) {
    return ZwQueryValueKey(key, name, KeyValuePartialInformation, buffer.data(), size,
                           &resultLength);
  };
  ASSERT_EQ(query(&valueName, 64), STATUS_SUCCESS);
  EXPECT_EQ(resultLength, 16u);
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(info->DataLength, 4u);
  EXPECT_EQ(memcmp(info->Data, &value, 4), 0);
  // Room for the fixed part only: overflow, fixed part written, size reported.
  info->DataLength = 0;
  EXPECT_EQ(query(&valueName, 13), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(resultLength, 16u);
  EXPECT_EQ(info->DataLength, 4u);
  EXPECT_EQ(query(&valueName, 8), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(resultLength, 16u);
  EXPECT_EQ(query(&missing, 64), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(kt::OpenHandleCount(), 0u);
}

// The reply reaches the caller on success and on a warning, not on an error.
TEST_F(NamespaceTest, DeviceReceivesIoctlAndReplyComesBack) {
  ULONG seenCode = 0;
  std::u16string seenInput;
  NTSTATUS answer = STATUS_SUCCESS;
  kt::RegisterDevice(u"\\Device\\vaultkd", [&](ULONG code, PVOID buffer, ULONG inLength,
                                               ULONG outLength, ULONG_PTR* information) {
    seenCode = code;
    seenInput.assign(static_cast<char16_t*>(buffer), inLength / 2 - 1);
    memset(buffer, 0, outLength);
    const ULONG magic = 0x43444C41;
    memcpy(buffer, &magic, sizeof magic);
    *information = outLength;
    return answer;
  });
  HANDLE file;
  IO_STATUS_BLOCK io;
  ASSERT_EQ(ZwOpenFile(&file, 3, At(u"\\device\\VAULTKD", OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE),
                       &io, 7, FILE_NON_DIRECTORY_FILE),
            STATUS_SUCCESS);
  ASSERT_EQ(kt::FileOpens().size(), 1u);
  EXPECT_EQ(kt::FileOpens()[0].attributes, 0x240u);
  EXPECT_EQ(kt::FileOpens()[0].shareAccess, 7u);

  char16_t service[] = u"nips";
  UCHAR reply[80];
  const ULONG code = CTL_CODE(0x42, 0x80D, METHOD_BUFFERED, FILE_ANY_ACCESS);
  const std::pair<NTSTATUS, bool> answers[] = {
      {STATUS_SUCCESS, true}, {STATUS_BUFFER_OVERFLOW, true}, {STATUS_UNSUCCESSFUL, false}};
  for (const auto& [status, copied] : answers) {
    SCOPED_TRACE(testing::Message() << std::hex << status);
    answer = status;
    seenCode = 0;
    memset(reply, 0xEE, sizeof reply);
    ASSERT_EQ(ZwDeviceIoControlFile(file, nullptr, nullptr, nullptr, &io, code, service,
                                    sizeof service, reply, sizeof reply),
              status);
    EXPECT_EQ(seenCode, 0x422034u);
    EXPECT_EQ(seenInput, u"nips");
    EXPECT_EQ(reply[0], copied ? 0x41 : 0xEE);
    EXPECT_EQ(reply[79], copied ? 0 : 0xEE);
    if (copied) {
      EXPECT_EQ(io.Information, 80u);
    }
  }
  ZwClose(file);
  EXPECT_EQ(ZwOpenFile(&file, 3, At(u"\\Device\\absent"), &io, 7, 0), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(NamespaceTest, SymbolicLinkIsCreatedReplacedAndDeleted) {
  UNICODE_STRING link, target, other;
  RtlInitUnicodeString(&link, u"\\Device\\nips.8.0.0.11690");
  RtlInitUnicodeString(&target, u"\\Driver\\nips");
  RtlInitUnicodeString(&other, u"\\Driver\\older");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &other), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(kt::QuerySymbolicLink(u"\\Device\\nips.8.0.0.11690"), u"\\Driver\\older");
  ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(kt::QuerySymbolicLink(u"\\Device\\nips.8.0.0.11690"), u"\\Driver\\nips");
  ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_FALSE(kt::QuerySymbolicLink(u"\\Device\\nips.8.0.0.11690").has_value());
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(NamespaceTest, ClosingAnUnknownHandleStops) {
  EXPECT_DEATH(ZwClose(reinterpret_cast<HANDLE>(0x12345)), "INVALID_KERNEL_HANDLE");
}

}  // namespace
