// Capture reading through libpcap: pcap and pcapng files, pcapng interface
// ids (in either byte order, with foreign blocks between packets), files cut
// short, and files that are no capture at all.
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
  CaptureTest() {
    char pattern[] = "/tmp/nips-capture-test-XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  ~CaptureTest() override { std::filesystem::remove_all(dir_); }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

struct Contents {
  bool opened, pcapng;
  std::string dltName, error;
  std::optional<LinkLayer> link;
  std::vector<CaptureFrame> frames;  // data pointers cleared: see data
  std::vector<ByteVector> data;
  CaptureReader::ReadStatus end;
};

// Opens a capture and reads every frame (at most 100).
Contents ReadCapture(const std::string& path) {
  Contents c{};
  CaptureReader reader;
  if (!(c.opened = reader.Open(path, &c.error))) return c;
  c.pcapng = reader.pcapng();
  c.dltName = reader.dltName();
  c.link = reader.linkLayer();
  CaptureFrame frame;
  for (int i = 0;
       i < 100 && (c.end = reader.Next(&frame, &c.error)) == CaptureReader::ReadStatus::kFrame;
       ++i) {
    c.data.emplace_back(frame.data, frame.data + frame.capturedLength);
    frame.data = nullptr;
    c.frames.push_back(frame);
  }
  return c;
}

void WriteBytes(const std::string& path, const ByteVector& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

ByteVector SampleFrame(size_t payload) {
  Ipv4Header header;
  header.source = Ipv4Address("10.0.0.1");
  header.destination = Ipv4Address("10.0.0.2");
  header.protocol = kIpProtocolUdp;
  return EthernetFrame(Ipv4Packet(header, UdpDatagram(1000, 2000, ByteVector(payload, 0x61))));
}

// A pcapng file written block by block in a chosen byte order.
class Pcapng {
 public:
  explicit Pcapng(bool big) : big_(big) {
    Block(0x0A0D0D0A, {W(0x1A2B3C4D), H(1), H(0), W(~0u), W(~0u)});
  }
  void Interface() { Block(1, {H(kLinktypeEthernet), H(0), W(262144)}); }
  void Packet(uint32_t interfaceId, const ByteVector& frame, uint64_t microseconds) {
    const uint32_t size = static_cast<uint32_t>(frame.size());
    Block(6,
          {W(interfaceId), W(microseconds >> 32), W(microseconds & ~0u), W(size), W(size), frame});
  }
  void SimplePacket(const ByteVector& frame) {
    Block(3, {W(static_cast<uint32_t>(frame.size())), frame});
  }
  // A name resolution block (an IPv4 record, then the end of records) and an
  // interface statistics block: blocks libpcap passes over.
  void ForeignBlocks() {
    Block(4, {H(1), H(12), {10, 0, 0, 1, 'h', 'o', 's', 't', '.', 'x', 0, 0}, H(0), H(0)});
    Block(5, {W(0), W(0), W(0)});
  }
  ByteVector bytes;

 private:
  void Block(uint32_t type, std::initializer_list<ByteVector> parts) {
    ByteVector body;
    for (const ByteVector& part : parts) body.insert(body.end(), part.begin(), part.end());
    body.resize((body.size() + 3) / 4 * 4);
    const uint32_t length = static_cast<uint32_t>(body.size() + 12);
    for (const ByteVector& part : {W(type), W(length), body, W(length)})
      bytes.insert(bytes.end(), part.begin(), part.end());
  }
  ByteVector W(uint64_t v) const {
    ByteVector b;
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (big_ ? 24 - 8 * i : 8 * i)));
    return b;
  }
  ByteVector H(uint16_t v) const {
    const ByteVector w = W(v);
    return big_ ? ByteVector(w.begin() + 2, w.end()) : ByteVector(w.begin(), w.begin() + 2);
  }
  bool big_;
};

// Frames written in either format come back with their times, lengths and
// (pcapng only) interface ids; a link type without a decoder still opens.
TEST_F(CaptureTest, WrittenCapturesReadBack) {
  ByteVector cut = SampleFrame(100);
  const uint32_t wire = static_cast<uint32_t>(cut.size());
  cut.resize(64);
  using F = CaptureWriter::Format;
  const std::tuple<F, uint32_t, const char*, std::optional<LinkLayer>> cases[] = {
      {F::kPcap, kLinktypeEthernet, "EN10MB", LinkLayer::kEthernet},
      {F::kPcapng, kLinktypeLinuxSll, "LINUX_SLL", LinkLayer::kLinuxSll},
      {F::kPcap, kLinktypeIeee80211, "IEEE802_11", std::nullopt},
  };
  for (const auto& [format, linktype, dltName, link] : cases) {
    SCOPED_TRACE(dltName);
    const bool pcapng = format == F::kPcapng;
    CaptureWriter writer;
    ASSERT_TRUE(writer.Open(File("w"), format, linktype, 3));
    writer.Write(cut, 1700000001, 999999, 2, wire);
    for (uint32_t i = 0; i < 6; ++i) writer.Write(SampleFrame(i), 100 + i, i, i % 3);
    ASSERT_TRUE(writer.Close());

    const Contents c = ReadCapture(File("w"));
    ASSERT_TRUE(c.opened) << c.error;
    EXPECT_EQ(c.pcapng, pcapng);
    EXPECT_EQ(c.dltName, dltName);
    EXPECT_EQ(c.link, link);
    EXPECT_EQ(c.end, CaptureReader::ReadStatus::kEnd) << c.error;
    ASSERT_EQ(c.frames.size(), 7u);
    EXPECT_EQ(c.frames[0].capturedLength, 64u);
    EXPECT_EQ(c.frames[0].wireLength, wire);
    EXPECT_EQ(c.frames[0].seconds, 1700000001);
    EXPECT_EQ(c.frames[0].microseconds, 999999);
    EXPECT_EQ(c.frames[0].interfaceId, pcapng ? 2u : 0u);
    for (uint32_t i = 0; i < 6; ++i) {
      EXPECT_EQ(c.data[i + 1], SampleFrame(i));
      EXPECT_EQ(c.frames[i + 1].wireLength, c.data[i + 1].size());
      EXPECT_EQ(c.frames[i + 1].seconds, 100 + i);
      EXPECT_EQ(c.frames[i + 1].microseconds, i);
      EXPECT_EQ(c.frames[i + 1].interfaceId, pcapng ? i % 3 : 0u);
    }
  }
}

TEST_F(CaptureTest, PcapngInterfaceIdsFollowEveryPacketInEitherByteOrder) {
  const ByteVector big(70000, 0x62);  // larger than the tracker's read buffer
  for (bool bigEndian : {false, true}) {
    SCOPED_TRACE(bigEndian ? "big-endian" : "little-endian");
    Pcapng file(bigEndian);
    for (int i = 0; i < 3; ++i) file.Interface();
    file.Packet(2, SampleFrame(8), 1000001);
    file.ForeignBlocks();
    file.Packet(0, big, 2000002);
    file.SimplePacket(SampleFrame(9));
    file.ForeignBlocks();
    file.Packet(1, SampleFrame(12), 3000003);
    WriteBytes(File("i.pcapng"), file.bytes);

    const Contents c = ReadCapture(File("i.pcapng"));
    ASSERT_TRUE(c.opened) << c.error;
    EXPECT_TRUE(c.pcapng);
    EXPECT_EQ(c.end, CaptureReader::ReadStatus::kEnd) << c.error;
    ASSERT_EQ(c.frames.size(), 4u);
    const uint32_t ids[] = {2, 0, 0, 1};  // a simple packet block belongs to interface 0
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(c.frames[i].interfaceId, ids[i]) << i;
    EXPECT_EQ(c.data[1], big);
    EXPECT_EQ(c.data[3], SampleFrame(12));
    EXPECT_EQ(c.frames[0].seconds, 1);
    EXPECT_EQ(c.frames[0].microseconds, 1);
    EXPECT_EQ(c.frames[3].seconds, 3);
  }
}

TEST_F(CaptureTest, TruncatedFileYieldsTheWholeFramesThenAnError) {
  const std::string path = File("cut.pcap");
  CaptureWriter writer;
  ASSERT_TRUE(writer.Open(path, CaptureWriter::Format::kPcap, kLinktypeEthernet));
  for (int i = 0; i < 3; ++i) writer.Write(SampleFrame(20), 1, i);
  ASSERT_TRUE(writer.Close());
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 5);  // inside frame three
  const Contents c = ReadCapture(path);
  ASSERT_TRUE(c.opened) << c.error;
  EXPECT_EQ(c.frames.size(), 2u);
  EXPECT_EQ(c.end, CaptureReader::ReadStatus::kError);
  EXPECT_NE(c.error.find("truncated"), std::string::npos) << c.error;
}

TEST_F(CaptureTest, FilesThatAreNoCaptureAreRefusedWithAReason) {
  WriteBytes(File("text.pcap"), BytesOf("this is a text file, not a capture\n"));
  WriteBytes(File("empty.pcap"), {});
  WriteBytes(File("half-header.pcap"), {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0});
  const std::pair<const char*, const char*> cases[] = {
      {"text.pcap", "unknown file format"}, {"empty.pcap", ""}, {"half-header.pcap", ""},
      {"missing.pcap", "No such file"},     {"", "directory"},
  };
  for (const auto& [name, reason] : cases) {
    const Contents c = ReadCapture(File(name));
    EXPECT_FALSE(c.opened) << name;
    EXPECT_FALSE(c.error.empty()) << name;
    EXPECT_NE(c.error.find(reason), std::string::npos) << name << ": " << c.error;
  }
}

TEST(CaptureLinkTest, LinkTypesMapToTheirDecoders) {
  const std::pair<int, std::optional<LinkLayer>> dlts[] = {
      {DLT_EN10MB, LinkLayer::kEthernet},
      {DLT_NULL, LinkLayer::kNull},
      {DLT_LOOP, LinkLayer::kLoop},
      {DLT_RAW, LinkLayer::kRaw},
      {DLT_IPV4, LinkLayer::kIpv4},
      {DLT_IPV6, LinkLayer::kIpv6},
      {DLT_LINUX_SLL, LinkLayer::kLinuxSll},
      {DLT_LINUX_SLL2, LinkLayer::kLinuxSll2},
      {DLT_PPP, std::nullopt},
      {DLT_IEEE802_11_RADIO, std::nullopt},
  };
  for (const auto& [dlt, link] : dlts) EXPECT_EQ(LinkLayerFromDlt(dlt), link) << dlt;
}

}  // namespace
}  // namespace hostsim
