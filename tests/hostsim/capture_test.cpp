#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <tuple>

#include "hostsim/capture.h"
#include "hostsim/capture_writer.h"
#include "hostsim/packet_builder.h"

namespace hostsim {
namespace {

class CaptureTest : public ::testing::Test {
 protected:
  ~CaptureTest() override { std::filesystem::remove_all(dir_); }
  std::string File(const std::string& name, const ByteVector* bytes = nullptr) const {
    const std::string path = dir_ + "/" + name;
    if (bytes) {
      std::ofstream(path, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes->data()), std::streamsize(bytes->size()));
    }
    return path;
  }
  char pattern_[32] = "/tmp/nips-capture-test-XXXXXX";
  const std::string dir_ = mkdtemp(pattern_);
};

struct Contents {
  bool opened;
  std::string error;
  std::vector<std::pair<CaptureFrame, ByteVector>> frames;  // data pointers not valid
  CaptureReader::ReadStatus end;
};

Contents ReadCapture(const std::string& path) {
  Contents c{};
  CaptureReader reader;
  if (!(c.opened = reader.Open(path, &c.error))) return c;
  CaptureFrame f;
  for (int i = 0;
       i < 100 && (c.end = reader.Next(&f, &c.error)) == CaptureReader::ReadStatus::kFrame; ++i) {
    c.frames.emplace_back(f, ByteVector(f.data, f.data + f.capturedLength));
  }
  return c;
}

ByteVector SampleFrame(size_t payload) {
  return EthernetFrame(Ipv4Packet({.protocol = kIpProtocolUdp, .options = {}},
                                  UdpDatagram(1000, 2000, ByteVector(payload, 0x61))));
}

struct Pcapng {
  ByteVector N(uint64_t v, int n = 4) const {  // an n-byte field
    ByteVector b(n);
    for (int i = 0; i < n; ++i) b[big ? n - 1 - i : i] = static_cast<uint8_t>(v >> 8 * i);
    return b;
  }
  void Block(uint32_t type, std::initializer_list<ByteVector> parts) {
    ByteVector body;
    for (const ByteVector& part : parts) body.insert(body.end(), part.begin(), part.end());
    body.resize((body.size() + 3) / 4 * 4);
    const ByteVector length = N(body.size() + 12);
    for (const ByteVector& part : {N(type), length, body, length})
      bytes.insert(bytes.end(), part.begin(), part.end());
  }
  void Packet(uint32_t interfaceId, const ByteVector& frame, uint64_t microseconds) {
    Block(6, {N(interfaceId), N(microseconds >> 32), N(microseconds & ~0u), N(frame.size()),
              N(frame.size()), frame});
  }
  bool big;
  ByteVector bytes{};
};

// Ids are walked past non-packet blocks and a packet larger than the walker's buffer.
TEST_F(CaptureTest, PcapngInterfaceIdsFollowEveryPacketInEitherByteOrder) {
  const ByteVector big(70000, 0x62);
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
    Pcapng f{bigEndian};
    f.Block(0x0A0D0D0A, {f.N(0x1A2B3C4D), f.N(1, 2), f.N(0, 2), f.N(~0u), f.N(~0u)});
    for (int i = 0; i < 3; ++i) f.Block(1, {f.N(kLinktypeEthernet, 2), f.N(0, 2), f.N(262144)});
    f.Packet(2, SampleFrame(8), 1000001);
    f.Block(5, {f.N(0), f.N(0), f.N(0)});  // interface statistics
    f.Packet(0, big, 2000002);
    f.Block(3, {f.N(SampleFrame(9).size()), SampleFrame(9)});  // simple packet: interface 0
    f.Packet(1, SampleFrame(12), 3000003);
    const Contents c = ReadCapture(File("i.pcapng", &f.bytes));
    ASSERT_TRUE(c.opened) << c.error;
    EXPECT_EQ(c.end, CaptureReader::ReadStatus::kEnd) << c.error;
    ASSERT_EQ(c.frames.size(), 4u);
    const uint32_t ids[] = {2, 0, 0, 1};
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(c.frames[i].first.interfaceId, ids[i]) << i;
    EXPECT_EQ(c.frames[1].second, big);
    EXPECT_EQ(c.frames[3].second, SampleFrame(12));
    EXPECT_EQ(c.frames[3].first.seconds, 3);
    EXPECT_EQ(c.frames[3].first.microseconds, 3);
  }
}

TEST_F(CaptureTest, TruncatedPcapYieldsTheWholeFramesThenAnError) {
  CaptureWriter writer;
  ASSERT_TRUE(writer.Open(File("cut.pcap"), CaptureWriter::Format::kPcap, kLinktypeEthernet));
  for (int i = 0; i < 3; ++i) writer.Write(SampleFrame(20), 1, i);
  ASSERT_TRUE(writer.Close());
  std::filesystem::resize_file(File("cut.pcap"), std::filesystem::file_size(File("cut.pcap")) - 5);
  const Contents c = ReadCapture(File("cut.pcap"));
  ASSERT_TRUE(c.opened) << c.error;
  ASSERT_EQ(c.frames.size(), 2u);
  EXPECT_EQ(c.frames[1].second, SampleFrame(20));
  EXPECT_EQ(c.frames[1].first.microseconds, 1);
  EXPECT_EQ(c.frames[1].first.interfaceId, 0u);  // pcap files have one interface
  EXPECT_EQ(c.end, CaptureReader::ReadStatus::kError);
  EXPECT_NE(c.error.find("truncated"), std::string::npos) << c.error;
}

TEST_F(CaptureTest, FilesThatAreNoCaptureAreRefusedWithAReason) {
  const ByteVector text = BytesOf("this is a text file, not a capture\n"), empty;
  const std::tuple<const char*, const ByteVector*, const char*> cases[] = {
      {"text.pcap", &text, "unknown file format"}, {"empty.pcap", &empty, ""}};
  for (const auto& [name, bytes, reason] : cases) {
    const Contents c = ReadCapture(File(name, bytes));
    EXPECT_FALSE(c.opened) << name;
    EXPECT_FALSE(c.error.empty()) << name;
    EXPECT_NE(c.error.find(reason), std::string::npos) << name << ": " << c.error;
  }
}

TEST(CaptureLinkTest, LinkTypesMapToTheirDecoders) {
  using L = LinkLayer;
  const std::pair<int, std::optional<LinkLayer>> dlts[] = {
      {DLT_EN10MB, L::kEthernet},    {DLT_NULL, L::kNull},
      {DLT_LOOP, L::kLoop},          {DLT_RAW, L::kRaw},
      {DLT_IPV4, L::kIpv4},          {DLT_IPV6, L::kIpv6},
      {DLT_LINUX_SLL, L::kLinuxSll}, {DLT_LINUX_SLL2, L::kLinuxSll2},
      {DLT_PPP, std::nullopt}};
  for (const auto& [dlt, link] : dlts) EXPECT_EQ(LinkLayerFromDlt(dlt), link) << dlt;
}

}  // namespace
}  // namespace hostsim
