// The UPnP event-subscription detector (3845): request line, Host port, and the window of the
// first NT or SID value.
#include <string>
#include <tuple>

#include "detectors/detector_run.h"

namespace dtest {
namespace {

const std::string kLine = "SUBSCRIBE /upnphost/udhisapi.dll?event HTTP/1.1\r\n";
const std::string kHost = "HOST: 192.168.1.5:2869\r\n";

std::string Value(size_t n) { return std::string(n, 'v'); }
// Padded with a trailing header line to at least 700 bytes, unless exact.
Bytes Request(std::string text, bool pad = true) {
  if (pad && text.size() < 700) text += "\r\nX-Pad: " + std::string(700 - text.size(), 'p');
  return Text(text);
}
ULONG Upnp(const Bytes& payload, uint16_t port = 2869) {
  return RunTcp(DetectUpnpEventLongHeader, port, payload);
}

TEST(UpnpTest, RequestsHeadersAndValueWindow) {
  const std::string longNt = "NT: " + Value(600);
  const std::tuple<std::string, ULONG> rows[] = {
      {kLine + kHost + longNt, 2},
      {kLine + kHost + "NT: " + Value(100) + "\r\nSID: " + Value(600), 0},  // the first decides
      {kLine + "Host: 192.168.1.5:80\r\n" + longNt, 0},
      {kLine + "Host: devicehost\r\n" + longNt, 0},
      {kLine + "Host: a:80 :2869\r\n" + longNt,
       2},  // colons in the name's next 5 bytes: unseen           // the next ':' is NT's
      {kLine + "Host: devicehost\r\n:2869\r\n" + longNt, 2},  // found beyond the line end
      {kLine + "Host: devicehost\r\nX: :2869\r\n" + longNt, 0},
      {kLine + longNt, 2},
      {kLine + "Callback: <http://x/>\r\n\r\n" + longNt, 2},  // other headers are skipped
      {"SUBSCRIBE /other HTTP/1.1\r\n" + longNt, 0},          // the NT line is no request line
      {"subscribe /UPNPHOST/udhisapi.dll?EVENT http/1.1\r\n" + longNt, 2},
      {"UNSUBSCRIBE /upnphost/udhisapi.dll?event HTTP/1.1\r\n" + longNt, 2},
      {"SUBSCRIBE    /upnphost/udhisapi.dll?event HTTP/1.0\r\n" + longNt, 2},
      {"NOTIFY /upnphost/udhisapi.dll?event HTTP/1.1\r\n" + longNt, 0},
      {"SUBSCRIBE /upnphost/udhisapi.dll?event HTTP/1.1x\r\n" + longNt, 0},
      {"SUBSCRIBE /upnphost/udhisapi.dll?event/x HTTP/1.12\r\n" + longNt, 2},
      {"SUBSCRIBE /upnphost/udhisapi.dll?event HTTP/2.0\r\n" + longNt, 0},
      {kLine + "nt:" + Value(511) + "\r\n", 0},  // the CR is the window's last byte
      {kLine + "NT:" + Value(512) + "\r\n", 2},
      {kLine + "NT:" + Value(511) + "\n", 0},
      {kLine + "NT:" + Value(512) + "\n", 2},
      {kLine + "NT:" + Value(511) + "\rx" + Value(100), 2},
      {kLine + "SID:" + Value(510) + "\r\n", 0},  // the window starts at SID's colon
      {kLine + "sid:" + Value(511) + "\r\n", 2},
      {kLine + "NT:" + Value(20) + "\r" + Value(600), 2},  // CR alone ends nothing
      {kLine + "NTS: upnp:propchange\r\n" + longNt, 2},    // NTS is not NT: skipped
  };
  int row = 0;
  for (const auto& [text, expected] : rows) EXPECT_EQ(Upnp(Request(text)), expected) << row++;
}

// The length test before the pointer; the window's end at the segment's last byte; the port.
TEST(UpnpTest, LengthsAndPorts) {
  const std::string attack = kLine + kHost + "NT: " + Value(600);
  for (size_t length : {593u, 594u}) {
    auto p =
        FakePacket::Tcp("10.1.1.1", 50000, "10.9.9.9", 2869, 0x18, Text(attack.substr(0, length)));
    EXPECT_EQ(RunDetector(DetectUpnpEventLongHeader, *p), length == 593 ? 0u : 2u);
    const std::vector<ULONG64> asked =
        length == 593 ? std::vector<ULONG64>{0} : std::vector<ULONG64>{0, length};
    EXPECT_EQ(p->payloadLengthArguments(), asked);
  }
  // Short of 512 bytes the window ends before the segment's last byte: a LF there is outside,
  // one byte earlier inside, as is a CR there before a final LF.
  const std::string head = kLine + kHost + "X: " + Value(100) + "\r\nNT:";
  for (const auto& [tail, expected] : {std::pair("\n", 2u), {"\nx", 0u}, {"\r\n", 0u}}) {
    const std::string end = tail;
    EXPECT_EQ(Upnp(Request(head + Value(594 - head.size() - end.size()) + end, false)), expected)
        << expected;
  }
  // Ending before any NT or SID header, or in the request line.
  EXPECT_EQ(Upnp(Request(kLine + kHost + "X: " + Value(600), false)), 0u);
  EXPECT_EQ(Upnp(Request("SUBSCRIBE /upnphost/udhisapi.dll?event" + Value(600), false)), 0u);
  for (uint16_t port : {2868, 2870, 80, 0x350B}) EXPECT_EQ(Upnp(Request(attack), port), 0u) << port;
  auto reply = FakePacket::Tcp("10.9.9.9", 2869, "10.1.1.1", 50000, 0x18, Request(attack));
  EXPECT_EQ(RunDetector(DetectUpnpEventLongHeader, *reply), 0u);
}

}  // namespace
}  // namespace dtest
