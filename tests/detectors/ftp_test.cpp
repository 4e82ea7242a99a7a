// The FTP detectors: USER and PASS arguments to port 21 (3806), 1024-byte reply lines from it
// (3846).
#include <string>
#include <tuple>

#include "detectors/detector_run.h"

namespace dtest {
namespace {

ULONG Command(const std::string& text, uint16_t port = 21) {
  return RunTcp(DetectFtpLongUserPass, port, Text(text));
}
ULONG Reply(const std::string& text, uint16_t sourcePort = 21) {
  auto p = FakePacket::Tcp("10.9.9.9", sourcePort, "10.1.1.1", 50000, 0x18, Text(text));
  return RunDetector(DetectFtpReplyLine1024, *p);
}
std::string Filler(size_t n) { return std::string(n, 'a'); }
// A final reply line of `length` bytes through its CR LF.
std::string Line(size_t length, const std::string& code = "220 ") {
  return code + Filler(length - code.size() - 2) + "\r\n";
}

TEST(FtpTest, UserAndPassArguments) {
  const std::tuple<std::string, ULONG> rows[] = {
      {"USER " + Filler(258), 2},           // offsets 5..262 free of LF
      {"USER " + Filler(257) + "\n", 0},    // LF at 262
      {"USER " + Filler(258) + "\n", 2},    // LF at 263
      {"USER " + Filler(256), 0},           // 261 bytes: runs out
      {"PASS " + Filler(257), 0},           // 262 bytes
      {"pass " + Filler(258), 2},           // case folded
      {"uSeR " + Filler(300) + "\r\n", 2},  // CR is an ordinary byte
      {"USER\t" + Filler(258), 0},          // the space is compared
      {"USERX" + Filler(258), 0},          {"ACCT " + Filler(258), 0},
      {"\nUSER " + Filler(258), 0},        {"USER " + Filler(100) + "\n" + Filler(200), 0},
  };
  int row = 0;
  for (const auto& [text, expected] : rows) EXPECT_EQ(Command(text), expected) << row++;
  for (uint16_t port : {20, 22, 0x1500}) EXPECT_EQ(Command("USER " + Filler(300), port), 0u);
  EXPECT_EQ(Reply("USER " + Filler(300), 50000), 0u);  // from port 21 to 21 is a reply
  for (size_t length : {260u, 261u}) {
    auto p = FakePacket::Tcp("10.1.1.1", 50000, "10.9.9.9", 21, 0x18,
                             Text("USER " + Filler(length - 5)));
    EXPECT_EQ(RunDetector(DetectFtpLongUserPass, *p), 0u);
    EXPECT_EQ(p->payloadLengthArguments().size(), length >= 261 ? 2u : 1u) << length;
  }
}

TEST(FtpTest, ReplyLineOfExactly1024Bytes) {
  const std::string overlong = "220 " + Filler(1020);  // no LF 1020 bytes after the space
  const std::tuple<std::string, ULONG> rows[] = {
      {Line(1024), 2},  // CR at 1022, LF at 1023
      {Line(1025), 0},
      {Line(1024) + Line(1024), 2},
      {Line(1023) + "x", 0},
      {Line(1023) + Line(1024), 2},
      {"220 OK\r\n" + Line(1024), 2},
      {"220-Hello\r\n" + Line(1024), 0},  // a multi-line reply: nothing more is measured
      {"220 OK\r\n220-Hello\r\n" + Line(1024), 0},
      {"22 x\r\n" + Line(1024), 0},
      {"2x0 OK\r\n" + Line(1024), 0},
      {"\r\n" + Line(1024), 0},
      {Line(1024, "220\t"), 0},
      {Line(1024, "999 "), 2},
      {overlong + Line(1024), 2},  // the line goes on: its byte 1024 starts a line
      {overlong + "x" + Line(1024), 0},
      {Line(1024).substr(0, 1023) + "x\n", 0},
  };
  int row = 0;
  for (const auto& [text, expected] : rows) EXPECT_EQ(Reply(text), expected) << row++;
  EXPECT_EQ(Reply(Line(1024).substr(0, 1023)), 0u);  // too short to be read
  for (uint16_t port : {20, 22, 0x1500}) EXPECT_EQ(Reply(Line(1024), port), 0u);
  EXPECT_EQ(Command(Line(1024)), 0u);
}

}  // namespace
}  // namespace dtest
