#include <gtest/gtest.h>

#include <vector>

#include "kt_hooks.h"

namespace {

class NamespaceTest : public ::testing::Test {
 protected:
  void SetUp() override { kt::ResetWorld(); }

  static HANDLE OpenKey(const char16_t* path, NTSTATUS* status = nullptr) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               nullptr, nullptr);
    HANDLE key = nullptr;
    NTSTATUS s = ZwOpenKey(&key, KEY_READ, &attributes);
    if (status) *status = s;
    return NT_SUCCESS(s) ? key : nullptr;
  }
};

const std::u16string kService = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\nips";

TEST_F(NamespaceTest, RegistryValueRoundTripsWithWindowsOverflowStatuses) {
  kt::RegistryCreateKeyPath(kService);
  HANDLE key = OpenKey(u"\\REGISTRY\\MACHINE\\System\\CurrentControlSet\\Services\\NIPS");
  ASSERT_NE(key, nullptr);
  UNICODE_STRING valueName;
  RtlInitUnicodeString(&valueName, u"DriverEntry");
  ULONG value = 0xC0000017;
  ASSERT_EQ(ZwSetValueKey(key, &valueName, 0, REG_DWORD, &value, sizeof value), STATUS_SUCCESS);
  EXPECT_EQ(kt::RegistryQueryDword(kService, u"driverentry"), 0xC0000017u);

  std::vector<UCHAR> buffer(64);
  ULONG resultLength = 0;
  ASSERT_EQ(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer.data(),
                            static_cast<ULONG>(buffer.size()), &resultLength),
            STATUS_SUCCESS);
  auto* info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
  EXPECT_EQ(resultLength, 16u);
  EXPECT_EQ(info->Type, static_cast<ULONG>(REG_DWORD));
  EXPECT_EQ(info->DataLength, 4u);
  EXPECT_EQ(memcmp(info->Data, &value, 4), 0);

  // Room for the fixed part only: overflow, fixed part written, size reported.
  EXPECT_EQ(ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer.data(), 13,
                            &resultLength),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(resultLength, 16u);
  EXPECT_EQ(info->DataLength, 4u);
  // Not even the fixed part: too small.
  EXPECT_EQ(
      ZwQueryValueKey(key, &valueName, KeyValuePartialInformation, buffer.data(), 8, &resultLength),
      STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(resultLength, 16u);

  UNICODE_STRING missing;
  RtlInitUnicodeString(&missing, u"AltServiceName");
  EXPECT_EQ(
      ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer.data(), 64, &resultLength),
      STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
  EXPECT_EQ(kt::OpenHandleCount(), 0u);
}

TEST_F(NamespaceTest, KeysOpenOnlyWhenPresentAndCreateNeedsAParent) {
  NTSTATUS status;
  EXPECT_EQ(OpenKey(kService.c_str(), &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Registry\\Machine\\Software");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE parent;
  ULONG disposition = 0;
  ASSERT_EQ(ZwCreateKey(&parent, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, &disposition),
            STATUS_SUCCESS);
  EXPECT_EQ(disposition, 1u);
  RtlInitUnicodeString(&name, u"Vendor\\Product");  // two levels at once: no parent yet
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, parent, nullptr);
  HANDLE child;
  EXPECT_EQ(ZwCreateKey(&child, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  RtlInitUnicodeString(&name, u"Vendor");
  ASSERT_EQ(ZwCreateKey(&child, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr),
            STATUS_SUCCESS);
  EXPECT_TRUE(kt::RegistryKeyExists(u"\\Registry\\Machine\\Software\\Vendor"));
  ZwClose(child);
  ZwClose(parent);
}

TEST_F(NamespaceTest, DeviceReceivesIoctlAndReplyComesBack) {
  ULONG seenCode = 0;
  std::u16string seenInput;
  kt::RegisterDevice(u"\\Device\\vaultkd", [&](ULONG code, PVOID buffer, ULONG inLength,
                                               ULONG outLength, ULONG_PTR* information) {
    seenCode = code;
    seenInput.assign(static_cast<char16_t*>(buffer), inLength / 2 - 1);
    memset(buffer, 0, outLength);
    ULONG magic = 0x43444C41;
    memcpy(buffer, &magic, sizeof magic);
    *information = outLength;
    return STATUS_SUCCESS;
  });
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\device\\VAULTKD");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  HANDLE file;
  IO_STATUS_BLOCK io;
  ASSERT_EQ(ZwOpenFile(&file, 3, &attributes, &io, 7, FILE_NON_DIRECTORY_FILE), STATUS_SUCCESS);
  ASSERT_EQ(kt::FileOpens().size(), 1u);
  EXPECT_EQ(kt::FileOpens()[0].attributes, 0x240u);
  EXPECT_EQ(kt::FileOpens()[0].shareAccess, 7u);

  const char16_t service[] = u"nips";
  UCHAR reply[80] = {0xEE};
  const ULONG code = CTL_CODE(0x42, 0x80D, METHOD_BUFFERED, FILE_ANY_ACCESS);
  EXPECT_EQ(code, 0x422034u);
  ASSERT_EQ(
      ZwDeviceIoControlFile(file, nullptr, nullptr, nullptr, &io, code,
                            const_cast<char16_t*>(service), sizeof service, reply, sizeof reply),
      STATUS_SUCCESS);
  EXPECT_EQ(seenCode, 0x422034u);
  EXPECT_EQ(seenInput, u"nips");
  EXPECT_EQ(io.Information, 80u);
  ULONG magic;
  memcpy(&magic, reply, 4);
  EXPECT_EQ(magic, 0x43444C41u);
  ZwClose(file);

  RtlInitUnicodeString(&name, u"\\Device\\absent");
  EXPECT_EQ(ZwOpenFile(&file, 3, &attributes, &io, 7, 0), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(NamespaceTest, ErrorStatusLeavesTheOutputUntouchedButAWarningCopies) {
  NTSTATUS answer = STATUS_UNSUCCESSFUL;
  kt::RegisterDevice(u"\\Device\\d",
                     [&](ULONG, PVOID buffer, ULONG, ULONG outLength, ULONG_PTR* information) {
                       memset(buffer, 0xAB, outLength);
                       *information = outLength;
                       return answer;
                     });
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"\\Device\\d");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE file;
  IO_STATUS_BLOCK io;
  ASSERT_EQ(ZwOpenFile(&file, 3, &attributes, &io, 7, 0), STATUS_SUCCESS);
  UCHAR out[4] = {};
  EXPECT_EQ(ZwDeviceIoControlFile(file, nullptr, nullptr, nullptr, &io, 1, nullptr, 0, out, 4),
            STATUS_UNSUCCESSFUL);
  EXPECT_EQ(out[0], 0);
  answer = STATUS_BUFFER_OVERFLOW;
  EXPECT_EQ(ZwDeviceIoControlFile(file, nullptr, nullptr, nullptr, &io, 1, nullptr, 0, out, 4),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(out[0], 0xAB);
  ZwClose(file);
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
