// The HTTP request detectors: WS-Management negative Content-Length (6177), chunk size of all F
// (6178, also assembled over requests) and malformed Accept-Encoding lists (6204).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "detectors/detector_run.h"
#include "kt_hooks.h"
#include "nips/detectors/detectors.h"
#include "nips/engine/packet_view.h"
#include "nips/engine/signature.h"
#include "nips/tracking/tracking.h"
#include "testlib/fake_packet.h"

namespace dtest {
namespace {

using testlib::Bytes;
using testlib::FakePacket;

constexpr char kClient[] = "10.2.2.2";
const std::string kLine = "POST /wsman HTTP/1.1\r\n";

struct Sent {
  ULONG result;
  std::vector<ULONG64> lengthArguments;
};
Sent Send(NipsDetector d, const std::string& text, uint16_t port = 16992,
          const std::string& source = kClient) {
  auto p = FakePacket::Tcp(source, 50000, "10.9.9.9", port, 0x18, testlib::BytesOf(text));
  const ULONG result = RunDetector(d, *p);
  return {result, p->payloadLengthArguments()};
}
ULONG Result(NipsDetector d, const std::string& text, uint16_t port = 16992) {
  return Send(d, text, port).result;
}

struct Case {
  std::string text;
  ULONG expected;
};

// ---- 6177 ----------------------------------------------------------------------------------

TEST(WsmanNegativeContentLength, HeaderFormsAndBoundaries) {
  const NipsDetector d = DetectWsmanNegativeContentLength;
  const std::string attack = kLine + "Content-Length: -1\r\n\r\n";
  const Case cases[] = {
      {attack, kDetectMatch},
      {kLine + "Content-Length:    -5\r\n", kDetectMatch},
      {kLine + "content-length: -1\r\n", kDetectMatch},
      {"post /WSMAN http/1.1\r\nCONTENT-LENGTH: -1\r\n", kDetectMatch},
      {"POSTx/wsmanyHTTP/1.1\r\nContent-Length: -1\r\n", kDetectMatch},  // 4 and 11 not read
      {kLine + "Content-Length:-1\r\n", kDetectNoMatch},
      {kLine + "Content-Length: 1\r\n", kDetectNoMatch},
      {kLine + "Content-Length: \t-1\r\n", kDetectNoMatch},  // only spaces are skipped
      {kLine + "Content-Length: -", kDetectNoMatch},         // ends right after the minus
      {kLine + "Content-Length: -1", kDetectMatch},
      {kLine + "Content-Length:     ", kDetectNoMatch},
      {"POST /wsman HTTP/1.1Content-Length: -1\r\n", kDetectNoMatch},  // header at 20
      {"POST /wsman HTTP/1.1 Content-Length: -1\r\n", kDetectMatch},   // header at 21
      {"POST /wsman HTTP/1.0\r\nContent-Length: -1\r\n", kDetectNoMatch},
      {"POST /wsmen HTTP/1.1\r\nContent-Length: -1\r\n", kDetectNoMatch},
      {"PUT  /wsman HTTP/1.1\r\nContent-Length: -1\r\n", kDetectNoMatch},
      {kLine + "Content-Length: 5\r\nX: Content-Length: -1\r\n", kDetectNoMatch},  // the first
  };
  for (const Case& c : cases) EXPECT_EQ(Result(d, c.text), c.expected) << c.text;
  for (uint16_t port : {16992, 16993, 16994, 16995}) EXPECT_EQ(Result(d, attack, port), 2u);
  for (uint16_t port : {16991, 16996, 80, 0x6042}) EXPECT_EQ(Result(d, attack, port), 0u);
  // Length first, the pointer only from 36 bytes on.
  EXPECT_EQ(Send(d, attack.substr(0, 35)).lengthArguments, std::vector<ULONG64>({0}));
  EXPECT_EQ(Send(d, attack.substr(0, 36)).lengthArguments, std::vector<ULONG64>({0, 36}));
}

// ---- 6178 ----------------------------------------------------------------------------------

std::string Chunked(const std::string& size, const std::string& after = "\r\n\r\n") {
  return kLine + "Transfer-Encoding: chunked" + after + size;
}

// The tracking store at a fixed clock, from the shared fixture.
class WsmanChunkTest : public dtest::TrackedTest {
 protected:
  ULONG Chunk(const std::string& text, uint16_t port = 16992, const std::string& s = kClient) {
    return Send(DetectWsmanChunkSizeAllF, text, port, s).result;
  }
  std::optional<HostRecord> Find(const std::string& source = kClient) {
    HostRecord copy;
    return FindRecord(source, &copy) ? std::optional(copy) : std::nullopt;
  }
};

TEST_F(WsmanChunkTest, SingleRequestForms) {
  const Case cases[] = {
      {Chunked("ffffffff\r\n"), kDetectMatch},
      {Chunked("FfFfFfFf"), kDetectMatch},
      {Chunked("FFFFFFFF", "\r\n\r\n\n\r\n"), kDetectMatch},  // any run of CR and LF
      {Chunked("FFFFFFFF", ""), kDetectMatch},
      {Chunked("FFFFFFF0\r\n"), kDetectNoMatch},
      {Chunked("FFFFFFF"), kDetectNoMatch},  // fewer than 8 bytes after the header
      {Chunked("FFFFFFFF", "\r\nHost: x\r\n\r\n"), kDetectNoMatch},
      {kLine + "transfer-encoding: CHUNKED\r\n\r\nffffffff", kDetectMatch},
      {kLine + "Transfer-Encoding:chunked\r\n\r\nffffffff", kDetectNoMatch},
      {"POST /wsman HTTP/1.1Transfer-Encoding: chunked\r\n\r\nffffffff", kDetectNoMatch},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string source = "10.2.3." + std::to_string(++n);
    EXPECT_EQ(Send(DetectWsmanChunkSizeAllF, c.text, 16992, source).result, c.expected) << c.text;
    if (c.expected == kDetectMatch) {
      EXPECT_FALSE(Find(source)) << c.text;  // a match removes the record
    }
  }
  // 54 bytes: length only; 55: the pointer, and a request too short for a chunk size.
  const std::string shortest = Chunked("", "\r");
  ASSERT_EQ(shortest.size(), 49u);
  const std::string at55 = shortest + "FFFFFF";
  EXPECT_EQ(Send(DetectWsmanChunkSizeAllF, at55.substr(0, 54), 16992, "10.2.4.1").lengthArguments,
            std::vector<ULONG64>({0}));
  EXPECT_EQ(Send(DetectWsmanChunkSizeAllF, at55, 16992, "10.2.4.1").lengthArguments,
            std::vector<ULONG64>({0, 55}));
  EXPECT_EQ(Find("10.2.4.1").value().sig6178Count, 0u);  // created, nothing counted
  EXPECT_EQ(Chunk(Chunked("FFFFFFFF"), 80), kDetectNoMatch);
  EXPECT_FALSE(Find());
}

// Three requests whose F positions together cover all eight: on one port the third matches; on
// two ports neither block fills. 60000 ms after the start the flags still count, 1 ms later not.
TEST_F(WsmanChunkTest, PositionsAccumulatePerPortWithinTheWindow) {
  const std::string parts[] = {Chunked("FFF00000"), Chunked("000fff00"), Chunked("000000FF")};
  EXPECT_EQ(Chunk(parts[0]), kDetectNoMatch);
  EXPECT_EQ(Chunk(parts[1]), kDetectNoMatch);
  EXPECT_EQ(Find().value().sig6178Ports[0].seenCount, 6);
  EXPECT_EQ(Chunk(parts[2]), kDetectMatch);
  EXPECT_FALSE(Find());

  EXPECT_EQ(Chunk(parts[0], 16993), kDetectNoMatch);
  EXPECT_EQ(Chunk(parts[1], 16993), kDetectNoMatch);
  EXPECT_EQ(Chunk(parts[2], 16995), kDetectNoMatch);
  const HostRecord r = Find().value();
  EXPECT_EQ(std::tuple(r.sig6178Ports[0].seenCount, r.sig6178Ports[1].seenCount,
                       r.sig6178Ports[3].seenCount, r.sig6178Count),
            std::tuple(0, 6, 2, 3u));
  const Sig6178PortState expected = {{1, 1, 1, 1, 1, 1, 0, 0}, 6};
  EXPECT_EQ(memcmp(r.sig6178Ports[1].seen, expected.seen, 8), 0);

  kt::AdvanceSystemTimeMs(60000);
  EXPECT_EQ(Chunk(parts[2], 16993), kDetectMatch);  // the window still holds
  EXPECT_EQ(Chunk(parts[0], 16994), kDetectNoMatch);
  EXPECT_EQ(Chunk(parts[1], 16994), kDetectNoMatch);
  kt::AdvanceSystemTimeMs(60001);
  EXPECT_EQ(Chunk(parts[2], 16994), kDetectNoMatch);  // a new window: flags cleared
  EXPECT_EQ(Find().value().sig6178Ports[2].seenCount, 2);
  EXPECT_EQ(Find().value().sig6178Count, 1u);
}

// 32 requests without a match; the 33rd is not examined (even all F) and drops the record; the
// 34th starts afresh.
TEST_F(WsmanChunkTest, ThirtyTwoRequestLimit) {
  for (int i = 0; i < 32; ++i) ASSERT_EQ(Chunk(Chunked("00000000")), kDetectNoMatch) << i;
  EXPECT_EQ(Find().value().sig6178Count, 32u);
  EXPECT_EQ(Chunk(Chunked("FFFFFFF")), kDetectNoMatch);  // short: the limit applies first
  EXPECT_FALSE(Find());
  for (int i = 0; i < 31; ++i) ASSERT_EQ(Chunk(Chunked("0000000F")), kDetectNoMatch) << i;
  EXPECT_EQ(Chunk(Chunked("FFFFFFFF")), kDetectMatch);  // the 32nd of a window is examined
  for (int i = 0; i < 32; ++i) ASSERT_EQ(Chunk(Chunked("00000000")), kDetectNoMatch) << i;
  EXPECT_EQ(Chunk(Chunked("FFFFFFFF")), kDetectNoMatch);
  EXPECT_FALSE(Find());
  EXPECT_EQ(Chunk(Chunked("FFFFFFFF")), kDetectMatch);
}

TEST_F(WsmanChunkTest, AllocationFailureAborts) {
  ASSERT_EQ(Chunk(Chunked("F0000000")), kDetectNoMatch);
  kt::FailAllocationsWithTag(kt::Tag("Qvat"));
  EXPECT_EQ(Chunk(Chunked("F0000000"), 16992, "10.2.9.9"), kDetectError);
  EXPECT_EQ(Chunk(Chunked("F0000000")), kDetectNoMatch);
  EXPECT_EQ(Find().value().sig6178Count, 2u);
}

// ---- 6204 ----------------------------------------------------------------------------------

std::string Get(const std::string& headers) { return "GET / HTTP/1.1\r\nHost: a\r\n" + headers; }

TEST(HttpAcceptEncodingMalformed, ValueClassesAndTheirCombinations) {
  const NipsDetector d = DetectHttpAcceptEncodingMalformed;
  auto ae = [](const std::string& value) { return "Accept-Encoding: " + value + "\r\n"; };
  const Case cases[] = {
      // One value: an empty element between codings; two commas only count after a token.
      {Get(ae("gzip, ,deflate")), kDetectMatch},
      {Get(ae("gzip,\t\r,deflate")), kDetectMatch},
      {Get(ae("gzip,\r\n ,deflate")), kDetectMatch},  // a folded line continues the value
      {Get(ae("gzip,") + "X: ,deflate\r\n"), kDetectNoMatch},
      {Get(ae("gzip,deflate")), kDetectNoMatch},
      {Get(ae("gzip,x,deflate")), kDetectNoMatch},
      {Get(ae(",,gzip")), kDetectNoMatch},  // B alone
      {Get(ae("*,,gzip")), kDetectNoMatch},
      {Get(ae("#1,,gzip")), kDetectMatch},
      // Two headers: A+B, C+D, C+B, B+C match; D then C, A+D, B+D, A+C do not.
      {Get(ae("gzip") + ae(",deflate")), kDetectMatch},
      {Get(ae(",deflate") + ae("gzip")), kDetectMatch},
      {Get(ae("gzip, deflate") + ae("")), kDetectMatch},
      {Get(ae("") + ae("gzip, deflate")), kDetectNoMatch},
      {Get(ae("gzip, deflate") + ae(", br")), kDetectMatch},
      {Get(ae(", br") + ae("gzip, deflate")), kDetectMatch},
      {Get(ae("gzip") + ae("")), kDetectNoMatch},
      {Get(ae(", br") + ae("*")), kDetectNoMatch},
      {Get(ae("gzip") + ae("a, b")), kDetectNoMatch},
      {Get(ae("*") + ae("") + ae("gzip, br")), kDetectNoMatch},
      {Get(ae("gzip") + "X-" + ae(",br")), kDetectMatch},  // the name is found anywhere
      {Get("accept-encoding:gzip\r\nACCEPT-ENCODING  :,br\r\n"), kDetectMatch},
      // The name's last byte one short of the end is not examined; with the colon it is.
      {Get(ae("a, b") + "Accept-Encoding"), kDetectNoMatch},
      {Get(ae("a, b") + "Accept-Encoding:"), kDetectMatch},
      {Get(ae("a, b") + "Accept-Encoding X"), kDetectMatch},  // no colon: an empty value
      // Only GET; the request line must end with CR LF.
      {"POST / HTTP/1.1\r\n" + ae("gzip, ,deflate"), kDetectNoMatch},
      {"get / HTTP/1.1\r\n" + ae("gzip, ,deflate"), kDetectMatch},
      {"GET / HTTP/1.1\n" + ae("gzip, ,deflate"), kDetectNoMatch},
      {"GET\r\n" + ae("gzip, ,deflate"), kDetectMatch},  // the LF at 4 is the first looked at
      {"GET", kDetectNoMatch},
      {"GET ", kDetectNoMatch},
  };
  for (const Case& c : cases) EXPECT_EQ(Result(d, c.text, 80), c.expected) << c.text;
  EXPECT_EQ(Result(d, Get(ae("gzip, ,deflate")), 16992), kDetectMatch);  // any port
  EXPECT_EQ(Send(d, "GET").lengthArguments, std::vector<ULONG64>({0}));
  EXPECT_EQ(Send(d, "GET ").lengthArguments, std::vector<ULONG64>({0, 4}));
}

}  // namespace
}  // namespace dtest
