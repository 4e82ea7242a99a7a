#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kt_hooks.h"
#include "nips/support/core_handshake.h"
#include "nips/support/support_pool.h"

namespace {

const std::u16string kServicesRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
const std::u16string kCoreDevice = u"\\Device\\vaultkd";

// A core driver device whose reply the test controls.
struct FakeCoreDevice {
  ULONG magic = kLoaderRecordMagic;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = kLoaderRecordSize;
  int calls = 0;
  ULONG code = 0;
  ULONG inputLength = 0;
  ULONG outputLength = 0;
  std::vector<uint8_t> input;

  void Register() {
    kt::RegisterDevice(
        kCoreDevice, [this](ULONG c, PVOID buffer, ULONG in, ULONG out, ULONG_PTR* info) {
          ++calls;
          code = c;
          inputLength = in;
          outputLength = out;
          input.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + in);
          LoaderRecord reply = {};
          reply.magic = magic;
          reply.interfaceVersion = 156001;
          reply.oldestInterfaceVersion = 150000;
          reply.loaderHost = reinterpret_cast<ContentDriverHost*>(0x1234500);
          reply.serviceTable = reinterpret_cast<PVOID*>(0x6789A00);
          reply.reserved32[47] = 0x5A;
          if (out >= sizeof reply) memcpy(buffer, &reply, sizeof reply);
          *info = information;
          return status;
        });
  }

  std::u16string InputText() const {
    std::u16string text(input.size() / 2, u'\0');
    memcpy(text.data(), input.data(), text.size() * 2);
    return text;
  }
};

class CoreHandshakeTest : public ::testing::Test {
 protected:
  void SetUp() override { kt::ResetWorld(); }
  void TearDown() override {
    EXPECT_EQ(kt::OpenHandleCount(), 0u);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }

  static LoaderRecord* Query(const std::u16string& path, std::u16string* service = nullptr,
                             std::u16string* alt = nullptr) {
    LoaderRecord* record = reinterpret_cast<LoaderRecord*>(0x1);
    WCHAR serviceName[kServiceNameCapacity];
    WCHAR altName[kServiceNameCapacity];
    // Not terminated: only the given length may be read.
    std::unique_ptr<WCHAR[]> counted(new WCHAR[path.size() ? path.size() : 1]);
    memcpy(counted.get(), path.data(), path.size() * 2);
    QueryLoaderRecord(counted.get(), static_cast<ULONG>(path.size()), &record,
                      service ? serviceName : nullptr, alt ? altName : nullptr);
    if (service) *service = serviceName;
    if (alt) *alt = altName;
    return record;
  }

  FakeCoreDevice device_;
};

TEST_F(CoreHandshakeTest, OpensTheCoreDeviceAndReturnsTheStaticCopyOfItsReply) {
  kt::RegistryCreateKeyPath(kServicesRoot + u"nips");
  device_.Register();
  LoaderRecord* record = Query(kServicesRoot + u"nips");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->magic, kLoaderRecordMagic);
  EXPECT_EQ(record->interfaceVersion, 156001);
  EXPECT_EQ(record->oldestInterfaceVersion, 150000);
  EXPECT_EQ(record->loaderHost, reinterpret_cast<ContentDriverHost*>(0x1234500));
  EXPECT_EQ(record->serviceTable, reinterpret_cast<PVOID*>(0x6789A00));
  EXPECT_EQ(record->reserved32[47], 0x5A);

  auto opens = kt::FileOpens();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(opens[0].name, kCoreDevice);
  EXPECT_EQ(opens[0].access, 3u);
  EXPECT_EQ(opens[0].attributes, 0x240u);
  EXPECT_EQ(opens[0].shareAccess, 7u);
  EXPECT_EQ(opens[0].openOptions, 0x40u);
  EXPECT_EQ(device_.calls, 1);
  EXPECT_EQ(device_.code, 0x422034u);
  EXPECT_EQ(device_.inputLength, 10u);  // "nips" and its NUL
  EXPECT_EQ(device_.InputText(), std::u16string(u"nips\0", 5));
  EXPECT_EQ(device_.outputLength, 80u);

  // A later query returns the same storage, refreshed.
  device_.magic = kLoaderRecordMagic;
  EXPECT_EQ(Query(kServicesRoot + u"nips"), record);
}

TEST_F(CoreHandshakeTest, TheMagicAloneDecidesWhetherTheReplyIsAccepted) {
  kt::RegistryCreateKeyPath(kServicesRoot + u"nips");
  device_.Register();
  // A warning status still carries the reply back: accepted.
  device_.status = STATUS_BUFFER_OVERFLOW;
  EXPECT_NE(Query(kServicesRoot + u"nips"), nullptr);
  // Success without the magic: discarded.
  device_.status = STATUS_SUCCESS;
  device_.magic = 0x41444C43;
  EXPECT_EQ(Query(kServicesRoot + u"nips"), nullptr);
  // An error status brings no output back, so nothing carries the magic.
  device_.magic = kLoaderRecordMagic;
  device_.status = STATUS_INVALID_DEVICE_REQUEST;
  EXPECT_EQ(Query(kServicesRoot + u"nips"), nullptr);
  // A short reply leaves the zeroed buffer without the magic.
  device_.status = STATUS_SUCCESS;
  device_.information = 0;
  EXPECT_EQ(Query(kServicesRoot + u"nips"), nullptr);
}

TEST_F(CoreHandshakeTest, NoHandshakeWithoutTheServiceKeyAndNothingWithoutTheDevice) {
  device_.Register();
  EXPECT_EQ(Query(kServicesRoot + u"nips"), nullptr);
  EXPECT_TRUE(kt::FileOpens().empty());
  EXPECT_EQ(device_.calls, 0);

  kt::UnregisterDevice(kCoreDevice);
  kt::RegistryCreateKeyPath(kServicesRoot + u"nips");
  EXPECT_EQ(Query(kServicesRoot + u"nips"), nullptr);
  EXPECT_EQ(kt::FileOpens().size(), 1u);
}

TEST_F(CoreHandshakeTest, PathWithoutBackslashIsAllServiceName) {
  device_.Register();
  std::u16string service;
  std::u16string alt;
  EXPECT_EQ(Query(u"nips", &service, &alt), nullptr);  // not an absolute key path
  EXPECT_EQ(service, u"nips");
  EXPECT_EQ(alt, u"nips");
  EXPECT_EQ(device_.calls, 0);
}

TEST_F(CoreHandshakeTest, OnlyTheFirst149CharactersOfTheRegistryPathCount) {
  device_.Register();
  // 150 and more characters: the last component loses its tail.
  const std::u16string longName(150 - kServicesRoot.size() + 20, u'n');
  const std::u16string fullPath = kServicesRoot + longName;
  ASSERT_GE(fullPath.size(), 150u);
  const std::u16string cutPath = fullPath.substr(0, 149);
  const std::u16string cutName = cutPath.substr(kServicesRoot.size());
  kt::RegistryCreateKeyPath(cutPath);
  std::u16string service;
  ASSERT_NE(Query(fullPath, &service), nullptr);
  EXPECT_EQ(service, cutName);
  EXPECT_EQ(device_.InputText(), cutName + std::u16string(1, u'\0'));

  // Exactly 149 characters are used whole.
  const std::u16string exact = kServicesRoot + std::u16string(149 - kServicesRoot.size(), u'e');
  kt::RegistryCreateKeyPath(exact);
  ASSERT_NE(Query(exact, &service), nullptr);
  EXPECT_EQ(service, exact.substr(kServicesRoot.size()));
}

TEST_F(CoreHandshakeTest, AltServiceNameFallsBackToTheServiceName) {
  kt::RegistryCreateKeyPath(kServicesRoot + u"nips");
  device_.Register();
  std::u16string service;
  std::u16string alt;
  ASSERT_NE(Query(kServicesRoot + u"nips", &service, &alt), nullptr);
  EXPECT_EQ(alt, u"nips");
  kt::RegistrySetString(kServicesRoot + u"nips", u"AltServiceName", u"nips_alt");
  ASSERT_NE(Query(kServicesRoot + u"nips", &service, &alt), nullptr);
  EXPECT_EQ(service, u"nips");
  EXPECT_EQ(alt, u"nips_alt");
  kt::RegistrySetValue(kServicesRoot + u"nips", u"AltServiceName", REG_DWORD, {1, 2, 3, 4});
  ASSERT_NE(Query(kServicesRoot + u"nips", &service, &alt), nullptr);
  EXPECT_EQ(alt, u"nips");
}

TEST_F(CoreHandshakeTest, AllocationFailureEndsTheHandshakeSilently) {
  kt::RegistryCreateKeyPath(kServicesRoot + u"nips");
  device_.Register();
  kt::FailAllocationsWithTag(kPoolTagSupport);
  EXPECT_EQ(Query(kServicesRoot + u"nips"), nullptr);
  EXPECT_EQ(device_.calls, 0);
  kt::ClearPoolFaults();
}

TEST_F(CoreHandshakeTest, EmptyOrNullPathFindsNothing) {
  device_.Register();
  EXPECT_EQ(Query(u""), nullptr);
  LoaderRecord* record = reinterpret_cast<LoaderRecord*>(0x1);
  QueryLoaderRecord(nullptr, 40, &record);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(device_.calls, 0);
}

}  // namespace
