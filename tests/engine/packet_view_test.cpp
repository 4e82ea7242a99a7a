// The bounds-checked readers at the edges of exact-size buffers, and the
// packet view's checks: each refusal, its one log line, no verdict.
#include <gtest/gtest.h>

#include <functional>

#include "engine_fixture.h"
#include "nips/engine/bytes.h"

namespace enginetest {
namespace {

// One read with reader R; a failed read must leave the output as it was.
template <typename T, bool (*R)(const ByteView&, ULONG64, T*)>
std::optional<ULONG64> ReadAt(const ByteView& v, ULONG64 offset) {
  T out = static_cast<T>(0x5A5A5A5A5A5A5A5Aull);
  if (R(v, offset, &out)) return out;
  EXPECT_EQ(out, static_cast<T>(0x5A5A5A5A5A5A5A5Aull)) << "a failed read wrote its output";
  return std::nullopt;
}

TEST(BytesTest, ReadersStopAtTheLastByteAndNeverWrap) {
  // An exact-size heap buffer, so ASan reports any read past the end.
  const std::vector<UCHAR> buffer = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  const ByteView v{buffer.data(), buffer.size()};
  constexpr ULONG64 kMax = ~ULONG64{0}, kHigh = ULONG64{1} << 63;
  const struct {
    std::optional<ULONG64> (*read)(const ByteView&, ULONG64);
    ULONG64 last, value;  // the last offset that fits, and what is read there
  } readers[] = {
      {ReadAt<UCHAR, ReadU8>, 7, 0x08},
      {ReadAt<USHORT, ReadU16Le>, 6, 0x0807},
      {ReadAt<USHORT, ReadU16Be>, 6, 0x0708},
      {ReadAt<ULONG, ReadU32Le>, 4, 0x08070605},
      {ReadAt<ULONG, ReadU32Be>, 4, 0x05060708},
      {ReadAt<ULONG64, ReadU64Le>, 0, 0x0807060504030201},
  };
  for (const auto& r : readers) {
    SCOPED_TRACE(r.value);
    EXPECT_EQ(r.read(v, r.last), r.value);
    for (ULONG64 offset : {r.last + 1, kMax, kMax - r.last, kHigh}) {
      EXPECT_FALSE(r.read(v, offset)) << offset;
    }
  }
  ByteView out;
  for (ULONG64 offset : {ULONG64{8}, kMax, kHigh}) EXPECT_FALSE(Slice(v, offset, 1, &out));
  EXPECT_FALSE(Slice(v, 2, kMax, &out)) << "offset + count wraps";
  EXPECT_FALSE(BytesEqual(v, 1, "\x02", kMax)) << "offset + count wraps";
  EXPECT_TRUE(BytesEqual(v, 4, "\x05\x06\x07\x08", 4));
  EXPECT_FALSE(BytesEqual(v, 7, "\x08\x09", 2)) << "one byte more than there is";
  EXPECT_FALSE(BytesEqual(v, 0, "\x01\x03", 2));
  ASSERT_TRUE(SliceFrom(v, 3, &out));
  EXPECT_EQ(out.length, 5u);
  EXPECT_TRUE(SliceFrom(v, 8, &out));
  EXPECT_EQ(out.length, 0u);
  EXPECT_FALSE(SliceFrom(v, 9, &out));
  UCHAR copy[8] = {};
  EXPECT_TRUE(ReadBytes(v, 0, copy, 8));
  EXPECT_EQ(copy[7], 8);
  EXPECT_FALSE(ReadBytes(v, 1, copy, 8));
  // Null views: nothing to read, an empty slice; a claimed length is ignored.
  EXPECT_FALSE((ReadAt<UCHAR, ReadU8>(ByteView{nullptr, 0}, 0)));
  EXPECT_FALSE((ReadAt<UCHAR, ReadU8>(ByteView{nullptr, 16}, 0)));
  EXPECT_TRUE(Slice(ByteView{nullptr, 0}, 0, 0, &out));
  EXPECT_EQ(out.length, 0u);
}

TEST(BytesTest, PayloadHelpersPassTheLengthArgumentAndTakeTheWrittenLength) {
  auto packet = FakePacket::Tcp("10.0.0.1", 1, "10.0.0.2", 2, 0, {9, 8, 7});
  PacketView view{};
  view.packet = packet.get();
  view.data = packet->GetPacketData();
  EXPECT_EQ(GetPayloadLength(&view), 3u);
  ByteView payload, header;
  ASSERT_TRUE(GetPayloadView(&view, 3, &payload));
  EXPECT_EQ(payload.length, 3u);
  EXPECT_EQ(payload.data[2], 7);
  EXPECT_EQ(packet->payloadLengthArguments(), (std::vector<ULONG64>{0, 3}));
  ASSERT_TRUE(GetTransportHeaderView(&view, &header));
  EXPECT_EQ(header.length, 20u);
  ASSERT_TRUE(GetIpHeaderView(&view, &header));
  EXPECT_EQ(header.length, 20u);
  packet->SetNullPayload(true);
  EXPECT_TRUE(GetPayloadView(&view, &payload));  // null with length 0: an empty payload
  EXPECT_EQ(payload.length, 0u);
  packet->SetNullIpHeader(true);
  EXPECT_FALSE(GetIpHeaderView(&view, &header));
}

using PacketViewTest = EngineTest;

TEST_F(PacketViewTest, EachRefusalLogsOneLineAndGivesNoVerdict) {
  LogEverything();
  using P = FakePacket*;
  constexpr USHORT F = kLogKindFlagged, U = kLogKindUnflagged;
  const struct {
    std::function<void(P)> mutate;  // null: inspect a null packet
    const char* line;
    ULONG category;
    USHORT kind;
  } refusals[] = {
      {nullptr, "Unexpected null packet io\n", kLogMalformed, F},
      {[](P p) { p->SetNullFlow(true); }, "Unexpected null packet interface\n", kLogError, F},
      {[](P p) { p->SetNullData(true); }, "Unexpected null packet interface\n", kLogError, F},
      {[](P p) { p->SetNullAdapter(true); }, "Unexpected null packet interface\n", kLogError, F},
      {[](P p) { p->SetNullBuffer(true); }, "Unexpected null packet interface\n", kLogError, F},
      {[](P p) { p->SetPortA(0); }, "Unexpected port 0\n", kLogInfo, F},
      {[](P p) { p->SetPortB(0); }, "Unexpected port 0\n", kLogInfo, F},
      // The port test comes before the loopback and network-protocol tests.
      {[](P p) {
         p->SetPortB(0);
         p->SetAdapterIndex(~0u);
         p->SetNetworkProtocol(0x0806);
       },
       "Unexpected port 0\n", kLogInfo, F},
      {[](P p) { p->SetAdapterIndex(0xFFFFFFFF); }, "Ignore potential loopback (-1) packet\n",
       kLogInfo, U},
      {[](P p) { p->SetNetworkProtocol(0x0806); }, "Unexpected non-ip network layer protocol\n",
       kLogError, F},
      {[](P p) { p->SetNullIpHeader(true); }, "Unexpected IP header\n", kLogMalformed, F},
      {[](P p) { p->SetIpHeader({}); }, "Unexpected IP header size\n", kLogMalformed, F},
      {[](P p) { p->SetProtocol(47); }, "Unexpected protocol\n", kLogError, F},
      {[](P p) { p->SetNullTransportHeader(true); }, "Unexpected transport header\n", kLogMalformed,
       F},
      {[](P p) { p->SetTransportHeader({}); }, "Unexpected transport header size\n", kLogMalformed,
       F},
      {[](P p) { p->SetBufferLength(0); }, "Empty payload\n", kLogInfo, U},
      {[](P p) { p->SetPayload(testlib::Bytes(1461, 'a')); },
       "Unexpected large transport payload: 0x5b5 (bug 579380)\n", kLogInfo, U},
  };
  for (const auto& r : refusals) {
    SCOPED_TRACE(r.line);
    auto packet = TcpPacket();
    if (r.mutate) r.mutate(packet.get());
    EXPECT_EQ(plugin()->InspectPacket(r.mutate ? packet.get() : nullptr), kInspectNotInspected);
    EXPECT_TRUE(packet->calls().empty());
    ExpectOnlyLine(plugin(), r.line, r.category, r.kind);
  }
  EXPECT_EQ(Script().TotalCalls(), 0u);
}

// Packets at the edges that pass: the verdict is delivered and the only
// non-trace line is the one expected (if any).
TEST_F(PacketViewTest, AcceptedEdges) {
  LogEverything();
  auto icmpPortA0 = FakePacket::Icmp("10.0.0.1", "10.0.0.2", 8, 0, {1, 2, 3});
  icmpPortA0->SetPortA(0);
  const struct {
    std::unique_ptr<FakePacket> packet;
    std::vector<std::string> lines;
  } cases[] = {
      {TcpPacket(testlib::Bytes(1460, 'a')), {}},
      {FakePacket::Udp("10.0.0.1", 5000, "10.0.0.2", 161, {}),
       {"Allowing Empty UDP payload for UDP port scan\n"}},
      {TcpPacket({}), {}},  // empty payload, non-empty buffer
      {std::move(icmpPortA0), {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    EXPECT_EQ(plugin()->InspectPacket(c.packet.get()), kInspectDelivered);
    EXPECT_TRUE(c.packet->DeliveredOnce());
    std::vector<std::string> lines;
    for (const auto& record : testlib::DrainLog(plugin())) {
      if (record.category != kLogTrace) lines.push_back(record.Narrow());
    }
    EXPECT_EQ(lines, c.lines);
  }
}

}  // namespace
}  // namespace enginetest
