// The bounds-checked readers at the edges of exact-size buffers.
#include "nips/engine/bytes.h"

#include <gtest/gtest.h>

#include <memory>

#include "nips/engine/packet_view.h"
#include "testlib/fake_packet.h"

namespace {

// An exact-size heap copy, so ASan reports any read past the end.
struct Exact {
  explicit Exact(std::initializer_list<UCHAR> bytes) : size(bytes.size()), data(new UCHAR[size]) {
    std::copy(bytes.begin(), bytes.end(), data.get());
  }
  ByteView View() const { return ByteView{data.get(), size}; }
  size_t size;
  std::unique_ptr<UCHAR[]> data;
};

TEST(BytesTest, EachReaderSucceedsExactlyUpToTheLastByte) {
  Exact buffer({0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08});
  const ByteView v = buffer.View();
  UCHAR u8 = 0;
  USHORT u16 = 0;
  ULONG u32 = 0;
  ULONG64 u64 = 0;
  // Last position that fits, then the first that does not, for every width.
  EXPECT_TRUE(ReadU8(v, 7, &u8));
  EXPECT_EQ(u8, 0x08);
  EXPECT_FALSE(ReadU8(v, 8, &u8));
  EXPECT_TRUE(ReadU16Le(v, 6, &u16));
  EXPECT_EQ(u16, 0x0807);
  EXPECT_TRUE(ReadU16Be(v, 6, &u16));
  EXPECT_EQ(u16, 0x0708);
  EXPECT_FALSE(ReadU16Le(v, 7, &u16));
  EXPECT_FALSE(ReadU16Be(v, 7, &u16));
  EXPECT_TRUE(ReadU32Le(v, 4, &u32));
  EXPECT_EQ(u32, 0x08070605u);
  EXPECT_TRUE(ReadU32Be(v, 4, &u32));
  EXPECT_EQ(u32, 0x05060708u);
  EXPECT_FALSE(ReadU32Le(v, 5, &u32));
  EXPECT_FALSE(ReadU32Be(v, 5, &u32));
  EXPECT_TRUE(ReadU64Le(v, 0, &u64));
  EXPECT_EQ(u64, 0x0807060504030201ull);
  EXPECT_FALSE(ReadU64Le(v, 1, &u64));
}

TEST(BytesTest, FailedReadsLeaveTheOutputUntouched) {
  Exact buffer({0xAA});
  USHORT u16 = 0x1234;
  ULONG u32 = 0x12345678;
  EXPECT_FALSE(ReadU16Be(buffer.View(), 0, &u16));
  EXPECT_FALSE(ReadU32Le(buffer.View(), 0, &u32));
  EXPECT_EQ(u16, 0x1234);
  EXPECT_EQ(u32, 0x12345678u);
}

TEST(BytesTest, HugeOffsetsAndCountsNeverWrap) {
  Exact buffer({1, 2, 3, 4});
  const ByteView v = buffer.View();
  UCHAR u8;
  ULONG u32;
  ByteView out;
  for (ULONG64 offset :
       {ULONG64{4}, ULONG64{5}, ULONG64{~0ull}, ULONG64{~0ull - 1}, ULONG64{1ull << 63}}) {
    EXPECT_FALSE(ReadU8(v, offset, &u8)) << offset;
    EXPECT_FALSE(ReadU32Be(v, offset, &u32)) << offset;
    EXPECT_FALSE(Slice(v, offset, 1, &out)) << offset;
  }
  // offset + count would wrap to a small number.
  EXPECT_FALSE(Slice(v, 2, ~0ull, &out));
  EXPECT_FALSE(BytesEqual(v, 1, "\x02", ~0ull));
}

TEST(BytesTest, EmptyAndNullViewsRefuseEveryRead) {
  UCHAR u8;
  ByteView out;
  const ByteView nullView{nullptr, 0};
  EXPECT_FALSE(ReadU8(nullView, 0, &u8));
  EXPECT_TRUE(Slice(nullView, 0, 0, &out));
  EXPECT_EQ(out.length, 0u);
  // A null pointer with a claimed length is never dereferenced.
  const ByteView lying{nullptr, 16};
  EXPECT_FALSE(ReadU8(lying, 0, &u8));
}

TEST(BytesTest, SlicesAndComparisonsStayInside) {
  Exact buffer({'G', 'E', 'T', ' ', '/'});
  const ByteView v = buffer.View();
  EXPECT_TRUE(BytesEqual(v, 0, "GET ", 4));
  EXPECT_TRUE(BytesEqual(v, 4, "/", 1));
  EXPECT_FALSE(BytesEqual(v, 4, "/x", 2));  // would need one byte more
  EXPECT_FALSE(BytesEqual(v, 0, "PUT", 3));
  ByteView tail;
  ASSERT_TRUE(SliceFrom(v, 3, &tail));
  EXPECT_EQ(tail.length, 2u);
  EXPECT_TRUE(SliceFrom(v, 5, &tail));
  EXPECT_EQ(tail.length, 0u);
  EXPECT_FALSE(SliceFrom(v, 6, &tail));
  UCHAR copy[5] = {};
  EXPECT_TRUE(ReadBytes(v, 0, copy, 5));
  EXPECT_EQ(copy[4], '/');
  EXPECT_FALSE(ReadBytes(v, 1, copy, 5));
}

TEST(BytesTest, PayloadHelpersPassTheLengthArgumentAndTakeTheWrittenLength) {
  auto packet = testlib::FakePacket::Tcp("10.0.0.1", 1, "10.0.0.2", 2, 0, {9, 8, 7});
  PacketView view{};
  view.packet = packet.get();
  view.data = packet->GetPacketData();
  EXPECT_EQ(GetPayloadLength(&view), 3u);
  ByteView payload;
  ASSERT_TRUE(GetPayloadView(&view, 3, &payload));
  EXPECT_EQ(payload.length, 3u);
  EXPECT_EQ(payload.data[2], 7);
  EXPECT_EQ(packet->payloadLengthArguments(), (std::vector<ULONG64>{0, 3}));

  ByteView header;
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

}  // namespace
