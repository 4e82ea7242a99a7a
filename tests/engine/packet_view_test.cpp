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
  constexpr ULONG64 kMax = ~ULONG64{0};
  const struct {
    std::optional<ULONG64> (*read)(const ByteView&, ULONG64);
    ULONG64 last, value;  // the last offset that fits, and what is read there
  } readers[] = {
      {ReadAt<UCHAR, ReadU8>, 7, 0x08},
      {ReadAt<USHORT, ReadU16Be>, 6, 0x0708},
      {ReadAt<ULONG, ReadU32Le>, 4, 0x08070605},
      {ReadAt<ULONG64, ReadU64Le>, 0, 0x0807060504030201},
  };
  for (const auto& r : readers) {
    SCOPED_TRACE(r.value);
    EXPECT_EQ(r.read(v, r.last), r.value);
    for (ULONG64 offset : {r.last + 1, kMax - r.last}) EXPECT_FALSE(r.read(v, offset)) << offset;
  }
  ByteView out;
  EXPECT_FALSE(Slice(v, 2, kMax, &out)) << "offset + count wraps";
  EXPECT_FALSE(BytesEqual(v, 7, "\x08\x09", 2)) << "one byte more than there is";
  EXPECT_FALSE(SliceFrom(v, 9, &out));
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
      {[](P p) { p->SetPortB(0), p->SetAdapterIndex(~0u), p->SetNetworkProtocol(0x0806); },
       "Unexpected port 0\n", kLogInfo, F},  // the port test comes first
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

}  // namespace
}  // namespace enginetest
