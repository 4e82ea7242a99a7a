#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>

#include "kt_hooks.h"
#include "nips/support/core_handshake.h"
#include "nips/support/support_pool.h"

namespace {

const std::u16string kServicesRoot = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
const std::u16string kServiceKey = kServicesRoot + u"nips";
const std::u16string kCoreDevice = u"\\Device\\vaultkd";

class CoreHandshakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    reply_.magic = kLoaderRecordMagic;
    reply_.interfaceVersion = 156001;
    reply_.reserved32[47] = 0x5A;  // the last byte: the copy is whole
    kt::RegisterDevice(
        kCoreDevice, [this](ULONG code, PVOID buffer, ULONG in, ULONG out, ULONG_PTR* info) {
          ++calls_;
          request_ = {code, out};
          input_.assign(static_cast<WCHAR*>(buffer), static_cast<WCHAR*>(buffer) + in / 2);
          if (out >= sizeof reply_) memcpy(buffer, &reply_, sizeof reply_);
          *info = information_;
          return status_;
        });
  }
  void TearDown() override {
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::OpenHandleCount(), 0u);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
  // The path is passed counted, not terminated, in a block of its exact length.
  LoaderRecord* Query(const std::u16string& path) {
    LoaderRecord* record = reinterpret_cast<LoaderRecord*>(0x1);
    WCHAR serviceName[kServiceNameCapacity], altName[kServiceNameCapacity];
    auto counted = std::make_unique<WCHAR[]>(std::max<size_t>(path.size(), 1));
    std::copy(path.begin(), path.end(), counted.get());
    QueryLoaderRecord(counted.get(), ULONG(path.size()), &record, serviceName, altName);
    service_ = serviceName;
    alt_ = altName;
    return record;
  }

  LoaderRecord reply_ = {};
  NTSTATUS status_ = STATUS_SUCCESS;
  ULONG_PTR information_ = kLoaderRecordSize;
  int calls_ = 0;
  std::pair<ULONG, ULONG> request_;  // control code, output length
  std::u16string input_, service_, alt_;
};

TEST_F(CoreHandshakeTest, OpensTheCoreDeviceAndReturnsTheStaticCopyOfItsReply) {
  kt::RegistryCreateKeyPath(kServiceKey);
  LoaderRecord* record = Query(kServiceKey);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(memcmp(record, &reply_, sizeof reply_), 0);
  EXPECT_EQ(std::tie(service_, alt_), std::make_tuple(u"nips", u"nips"));  // no AltServiceName
  const auto opens = kt::FileOpens();
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_EQ(std::tie(opens[0].name, opens[0].access, opens[0].attributes, opens[0].shareAccess,
                     opens[0].openOptions),
            std::make_tuple(kCoreDevice, 3u, 0x240u, 7u, 0x40u));
  EXPECT_EQ(calls_, 1);
  EXPECT_EQ(request_, std::make_pair(0x422034u, 80u));
  EXPECT_EQ(input_, std::u16string(u"nips\0", 5));  // the service name and its NUL
  LoaderRecord* again = nullptr;  // without name buffers, into the same static storage
  QueryLoaderRecord(kServiceKey.c_str(), ULONG(kServiceKey.size()), &again);
  EXPECT_EQ(again, record);
  kt::RegistrySetString(kServiceKey, u"AltServiceName", u"nips_alt");
  ASSERT_NE(Query(kServiceKey), nullptr);
  EXPECT_EQ(alt_, u"nips_alt");
}

// An error status brings no output back; a short reply leaves the zeroed buffer.
TEST_F(CoreHandshakeTest, TheMagicAloneDecidesWhetherTheReplyIsAccepted) {
  kt::RegistryCreateKeyPath(kServiceKey);
  const std::tuple<NTSTATUS, ULONG, ULONG_PTR, bool> cases[] = {
      {STATUS_SUCCESS, 0x43444C41, kLoaderRecordSize, true},
      {STATUS_BUFFER_OVERFLOW, 0x43444C41, kLoaderRecordSize, true},
      {STATUS_SUCCESS, 0x41444C43, kLoaderRecordSize, false},
      {STATUS_BUFFER_OVERFLOW, 0x43444C40, kLoaderRecordSize, false},
      {STATUS_INVALID_DEVICE_REQUEST, 0x43444C41, kLoaderRecordSize, false},
      {STATUS_SUCCESS, 0x43444C41, 0, false}};
  for (const auto& [status, magic, information, accepted] : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << status << " " << magic << " " << information);
    std::tie(status_, reply_.magic, information_) = std::tie(status, magic, information);
    EXPECT_EQ(Query(kServiceKey) != nullptr, accepted);
  }
}

TEST_F(CoreHandshakeTest, NothingIsAskedWithoutTheServiceKeyThePathOrMemory) {
  EXPECT_EQ(Query(kServiceKey), nullptr);  // no service key
  EXPECT_TRUE(kt::FileOpens().empty());
  LoaderRecord* record = reinterpret_cast<LoaderRecord*>(0x1);
  QueryLoaderRecord(nullptr, 40, &record);
  EXPECT_EQ(record, nullptr);
  EXPECT_EQ(Query(u"nips"), nullptr);  // all service name, but no key path
  EXPECT_EQ(std::tie(service_, alt_), std::make_tuple(u"nips", u"nips"));
  kt::RegistryCreateKeyPath(kServiceKey);
  kt::FailAllocationsWithTag(kPoolTagSupport);
  EXPECT_EQ(Query(kServiceKey), nullptr);
  EXPECT_EQ(calls_, 0);
}

// 150 and more characters: the last component loses its tail; exactly 149 are used whole.
TEST_F(CoreHandshakeTest, OnlyTheFirst149CharactersOfTheRegistryPathCount) {
  const size_t root = kServicesRoot.size();
  const std::u16string fullPath = kServicesRoot + std::u16string(170 - root, u'n');
  const std::u16string cutName = fullPath.substr(root, 149 - root);
  kt::RegistryCreateKeyPath(fullPath.substr(0, 149));
  ASSERT_NE(Query(fullPath), nullptr);
  EXPECT_EQ(service_, cutName);
  EXPECT_EQ(input_, cutName + u'\0');
  const std::u16string exact = kServicesRoot + std::u16string(149 - root, u'e');
  kt::RegistryCreateKeyPath(exact);
  ASSERT_NE(Query(exact), nullptr);
  EXPECT_EQ(service_, exact.substr(root));
}

}  // namespace
