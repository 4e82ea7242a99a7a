// Byte readers at the end of an exact-size buffer; the packet view's refusals.
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
  // The last offset that fits, and what is read there.
  // clang-format off
  const struct { std::optional<ULONG64> (*read)(const ByteView&, ULONG64); ULONG64 last, value; }
      readers[] = {{ReadAt<UCHAR, ReadU8>, 7, 0x08}, {ReadAt<USHORT, ReadU16Be>, 6, 0x0708},
                   {ReadAt<ULONG, ReadU32Le>, 4, 0x08070605},
                   {ReadAt<ULONG64, ReadU64Le>, 0, 0x0807060504030201}};
  // clang-format on
  for (const auto& r : readers) {
    SCOPED_TRACE(r.value);
    EXPECT_EQ(r.read(v, r.last), r.value);
    for (ULONG64 offset : {r.last + 1, ~ULONG64{0} - r.last})
      EXPECT_FALSE(r.read(v, offset)) << offset;
  }
  ByteView out;
  EXPECT_FALSE(Slice(v, 2, ~ULONG64{0}, &out)) << "offset + count wraps";
  EXPECT_FALSE(BytesEqual(v, 7, "\x08\x09", 2)) << "one byte more than there is";
  EXPECT_FALSE(SliceFrom(v, 9, &out));
}

using PacketViewTest = EngineTest;

TEST_F(PacketViewTest, EachRefusalLogsOneLineAndGivesNoVerdict) {
  LogEverything();
  using P = FakePacket*;
  constexpr USHORT F = kLogKindFlagged, U = kLogKindUnflagged;
  constexpr ULONG I = kLogInfo, E = kLogError, M = kLogMalformed;
  const std::string nullInterface = "Unexpected null packet interface\n",
                    port = "Unexpected port 0\n",
                    nonIp = "Unexpected non-ip network layer protocol\n",
                    big = "Unexpected large transport payload: 0x5b5 (bug 579380)\n";
  // clang-format off
  const struct { std::function<void(P)> mutate; std::string line; ULONG category; USHORT kind; }
      refusals[] = {  // no mutation: inspect a null packet; the port test comes first
      {nullptr, "Unexpected null packet io\n", M, F},
      {[](P p) { p->SetNullFlow(true); }, nullInterface, E, F},
      {[](P p) { p->SetNullData(true); }, nullInterface, E, F},
      {[](P p) { p->SetNullAdapter(true); }, nullInterface, E, F},
      {[](P p) { p->SetNullBuffer(true); }, nullInterface, E, F},
      {[](P p) { p->SetPortA(0); }, port, I, F},
      {[](P p) { p->SetPortB(0), p->SetAdapterIndex(~0u); }, port, I, F},
      {[](P p) { p->SetAdapterIndex(~0u); }, "Ignore potential loopback (-1) packet\n", I, U},
      {[](P p) { p->SetNetworkProtocol(0x806); }, nonIp, E, F},
      {[](P p) { p->SetNullIpHeader(true); }, "Unexpected IP header\n", M, F},
      {[](P p) { p->SetIpHeader({}); }, "Unexpected IP header size\n", M, F},
      {[](P p) { p->SetProtocol(47); }, "Unexpected protocol\n", E, F},
      {[](P p) { p->SetNullTransportHeader(true); }, "Unexpected transport header\n", M, F},
      {[](P p) { p->SetTransportHeader({}); }, "Unexpected transport header size\n", M, F},
      {[](P p) { p->SetBufferLength(0); }, "Empty payload\n", I, U},
      {[](P p) { p->SetPayload(testlib::Bytes(1461, 'a')); }, big, I, U},
  };
  // clang-format on
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

}  // namespace
}  // namespace enginetest
