// The SQL resolution detector (3720) with its application test and record removal, and the
// PPTP start-request length test (3723).
#include <optional>
#include <string>
#include <tuple>

#include "detectors/detector_run.h"

namespace dtest {
namespace {

constexpr char kClient[] = "10.7.7.7";

Bytes Request(uint8_t type, size_t length, size_t colonAt = 0) {
  Bytes b(length, 'A');
  if (length > 0) b[0] = type;
  if (colonAt != 0) b.at(colonAt) = ':';
  return b;
}
std::unique_ptr<FakePacket> Resolution(const Bytes& payload, uint16_t port = 1434) {
  return FakePacket::Udp(kClient, 50000, "10.9.9.9", port, payload);
}

class SqlTest : public TrackedTest {
 protected:
  ULONG Send(FakePacket& p) { return RunDetector(DetectSqlResolutionLongRequest, p); }
  ULONG Send(const Bytes& b) { return Send(*Resolution(b)); }
};

TEST_F(SqlTest, LengthsTypesAndTheSeparator) {
  const std::tuple<Bytes, ULONG> rows[] = {
      {Request(4, 301), 2}, {Request(4, 300), 0},    {Request(4, 1460), 2},
      {Request(8, 20), 2},  {Request(8, 20, 19), 0}, {Request(8, 20, 1), 0},
      {Request(8, 1), 2},   {Request(8, 300, 5), 0}, {Request(8, 301, 5), 2},
      {Request(5, 301), 0}, {Request(3, 20), 0},     {Request(0x84, 301), 0},
      {Bytes{}, 0},
  };
  int row = 0;
  for (const auto& [payload, expected] : rows) EXPECT_EQ(Send(payload), expected) << row++;
  for (uint16_t port : {1433, 1435, 0x9A05})
    EXPECT_EQ(Send(*Resolution(Request(4, 400), port)), 0u);
  auto reply = FakePacket::Udp("10.9.9.9", 1434, kClient, 50000, Request(4, 400));
  EXPECT_EQ(Send(*reply), 0u);
}

// The receiving process: examined when unknown or when its file name begins with the server's.
TEST_F(SqlTest, ApplicationTest) {
  constexpr ULONG64 kPid = 4321;
  const std::tuple<ULONG64, std::optional<std::u16string>, ULONG> rows[] = {
      {kNoProcessId, u"C:\\Program Files\\SQL\\sqlbrowser.exe", 2},  // no process: not tested
      {kPid, u"C:\\Program Files\\SQL\\sqlbrowser.exe", 0},
      {kPid, u"C:\\Program Files\\SQL\\sqlservr.exe", 2},
      {kPid, u"C:\\PROGRAM FILES\\SQL\\SQLSERVR.EXE", 2},
      {kPid, u"D:\\sql\\sqlservr.exe.1", 2},
      {kPid, u"sqlservr.exe", 2},  // no backslash: the whole path
      {kPid, u"sqlservr.ex", 0},
      {kPid, u"C:\\sqlservr.exe\\", 0},  // an empty file name
      {kPid, u"C:\\sqlservr.exe\\svc.exe", 0},
      {kPid, u"C:\\x_sqlservr.exe", 0},
      {kPid, u"C:/sql/sqlservr.exe", 0},  // only a backslash separates
      {0, u"C:\\bin\\sqlbrowser.exe", 0},
      {kPid, u"", 2},  // no path: not tested
      {kPid, std::nullopt, 2},
  };
  int row = 0;
  for (const auto& [pid, path, expected] : rows) {
    auto p = Resolution(Request(4, 301));
    if (path)
      p->SetApplication(pid, *path);
    else
      p->SetApplicationNullPath(pid);
    EXPECT_EQ(Send(*p), expected) << row++;
  }
}

// A match drops the source's record, never creates one; no match leaves it.
TEST_F(SqlTest, MatchRemovesTheSourceRecord) {
  const HostAddress client = testlib::MakeAddress(kClient);
  ASSERT_EQ(CreateHostRecord(&client, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(Send(Request(4, 300)), 0u);
  EXPECT_TRUE(FindRecord(kClient));
  EXPECT_EQ(Send(Request(8, 30, 10)), 0u);
  EXPECT_TRUE(FindRecord(kClient));
  EXPECT_EQ(Send(Request(8, 30)), 2u);
  EXPECT_FALSE(FindRecord(kClient));
  EXPECT_EQ(Send(Request(4, 301)), 2u);
  EXPECT_FALSE(FindRecord(kClient));
}

Bytes Pptp(size_t length, uint16_t declared, uint16_t messageType = 1, uint16_t controlType = 1) {
  Bytes b(length, 0);
  auto put = [&](size_t at, uint16_t v) { b[at] = uint8_t(v >> 8), b[at + 1] = uint8_t(v); };
  put(0, declared), put(2, messageType), put(4, 0x1A2B), put(6, 0x3C4D), put(8, controlType);
  return b;
}

TEST(PptpTest, StartRequestLength) {
  const std::tuple<Bytes, ULONG> rows[] = {
      {Pptp(156, 156), 0},       {Pptp(156, 157), 2},        {Pptp(156, 155), 2},
      {Pptp(200, 156), 2},       {Pptp(200, 200), 0},        {Pptp(156, 157, 2), 0},
      {Pptp(156, 157, 1, 2), 0}, {Pptp(156, 157, 0x100), 0}, {Pptp(156, 157, 1, 0x100), 0},
  };
  int row = 0;
  for (const auto& [payload, expected] : rows)
    EXPECT_EQ(RunTcp(DetectPptpStartRequestLengthMismatch, 1723, payload), expected) << row++;
  for (size_t length : {155u, 156u}) {
    auto p = FakePacket::Tcp("10.1.1.1", 50000, "10.9.9.9", 1723, 0x18, Pptp(length, 1));
    EXPECT_EQ(RunDetector(DetectPptpStartRequestLengthMismatch, *p), length == 156 ? 2u : 0u);
    EXPECT_EQ(p->payloadLengthArguments().size(), length == 156 ? 2u : 1u);
  }
  for (uint16_t port : {1722, 1724, 0xBB06})
    EXPECT_EQ(RunTcp(DetectPptpStartRequestLengthMismatch, port, Pptp(156, 1)), 0u);
}

}  // namespace
}  // namespace dtest
