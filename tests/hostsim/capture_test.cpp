// Capture reading through libpcap: pcap and pcapng files, pcapng interface
// ids (in either byte order, with foreign blocks between packets), files cut
// short, and files that are no capture at all.
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "hostsim/capture.h"
#include "hostsim/capture_writer.h"
#include "hostsim/packet_builder.h"

namespace hostsim {
namespace {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/nips-capture-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteBytes(const std::string& path, const ByteVector& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

ByteVector ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return ByteVector(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ByteVector SampleFrame(size_t payload, uint8_t fill = 0x61) {
  Ipv4Header header;
  header.source = Ipv4Address("10.0.0.1");
  header.destination = Ipv4Address("10.0.0.2");
  header.protocol = kIpProtocolUdp;
  return EthernetFrame(Ipv4Packet(header, UdpDatagram(1000, 2000, ByteVector(payload, fill))));
}

// A pcapng file written block by block in a chosen byte order.
class PcapngBytes {
 public:
  explicit PcapngBytes(bool bigEndian) : big_(bigEndian) {
    Block(0x0A0D0D0A, [&](ByteVector* b) {
      Put32(b, 0x1A2B3C4D);
      Put16(b, 1);
      Put16(b, 0);
      Put32(b, 0xFFFFFFFF);
      Put32(b, 0xFFFFFFFF);
    });
  }
  void Interface(uint16_t linktype) {
    Block(1, [&](ByteVector* b) {
      Put16(b, linktype);
      Put16(b, 0);
      Put32(b, 262144);
    });
  }
  void Packet(uint32_t interfaceId, const ByteVector& frame, uint64_t microseconds) {
    Block(6, [&](ByteVector* b) {
      Put32(b, interfaceId);
      Put32(b, static_cast<uint32_t>(microseconds >> 32));
      Put32(b, static_cast<uint32_t>(microseconds));
      Put32(b, static_cast<uint32_t>(frame.size()));
      Put32(b, static_cast<uint32_t>(frame.size()));
      b->insert(b->end(), frame.begin(), frame.end());
      while (b->size() % 4 != 0) b->push_back(0);
    });
  }
  void SimplePacket(const ByteVector& frame) {
    Block(3, [&](ByteVector* b) {
      Put32(b, static_cast<uint32_t>(frame.size()));
      b->insert(b->end(), frame.begin(), frame.end());
      while (b->size() % 4 != 0) b->push_back(0);
    });
  }
  // A name resolution block (an IPv4 record, then the end of records) and an
  // interface statistics block: blocks libpcap passes over.
  void ForeignBlocks() {
    Block(4, [&](ByteVector* b) {
      Put16(b, 1);
      Put16(b, 12);
      b->insert(b->end(), {10, 0, 0, 1, 'h', 'o', 's', 't', '.', 'x', 0, 0});
      Put16(b, 0);
      Put16(b, 0);
    });
    Block(5, [&](ByteVector* b) {
      Put32(b, 0);
      Put32(b, 0);
      Put32(b, 0);
    });
  }
  const ByteVector& bytes() const { return bytes_; }

 private:
  template <typename Fill>
  void Block(uint32_t type, Fill fill) {
    ByteVector body;
    fill(&body);
    const uint32_t length = static_cast<uint32_t>(body.size() + 12);
    Put32(&bytes_, type);
    Put32(&bytes_, length);
    bytes_.insert(bytes_.end(), body.begin(), body.end());
    Put32(&bytes_, length);
  }
  void Put32(ByteVector* b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
      b->push_back(static_cast<uint8_t>(v >> (big_ ? 24 - 8 * i : 8 * i)));
  }
  void Put16(ByteVector* b, uint16_t v) {
    for (int i = 0; i < 2; ++i) b->push_back(static_cast<uint8_t>(v >> (big_ ? 8 - 8 * i : 8 * i)));
  }
  bool big_;
  ByteVector bytes_;
};

std::vector<CaptureFrame> ReadAll(CaptureReader* reader, std::vector<ByteVector>* data,
                                  std::string* error, bool* failed) {
  std::vector<CaptureFrame> frames;
  CaptureFrame frame;
  CaptureReader::ReadStatus status;
  while ((status = reader->Next(&frame, error)) == CaptureReader::ReadStatus::kFrame) {
    frames.push_back(frame);
    data->emplace_back(frame.data, frame.data + frame.capturedLength);
  }
  *failed = status == CaptureReader::ReadStatus::kError;
  return frames;
}

TEST(CaptureTest, PcapFramesComeBackWithTimesAndLengths) {
  TempDir dir;
  const std::string path = dir.File("a.pcap");
  CaptureWriter writer;
  ASSERT_TRUE(writer.Open(path, CaptureWriter::Format::kPcap, kLinktypeEthernet));
  writer.Write(SampleFrame(10), 1700000000, 5);
  ByteVector cut = SampleFrame(100);
  const uint32_t wire = static_cast<uint32_t>(cut.size());
  cut.resize(64);
  writer.Write(cut, 1700000001, 999999, 0, wire);
  ASSERT_TRUE(writer.Close());

  CaptureReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, &error)) << error;
  EXPECT_FALSE(reader.pcapng());
  EXPECT_EQ(reader.dltName(), "EN10MB");
  EXPECT_EQ(reader.linkLayer(), LinkLayer::kEthernet);
  std::vector<ByteVector> data;
  bool failed = false;
  const auto frames = ReadAll(&reader, &data, &error, &failed);
  EXPECT_FALSE(failed) << error;
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(data[0], SampleFrame(10));
  EXPECT_EQ(frames[0].seconds, 1700000000);
  EXPECT_EQ(frames[0].microseconds, 5);
  EXPECT_EQ(frames[1].capturedLength, 64u);
  EXPECT_EQ(frames[1].wireLength, wire);
  EXPECT_EQ(frames[1].microseconds, 999999);
  EXPECT_EQ(frames[1].interfaceId, 0u);
}

TEST(CaptureTest, PcapngInterfaceIdsFollowEveryPacketInEitherByteOrder) {
  TempDir dir;
  for (bool bigEndian : {false, true}) {
    PcapngBytes file(bigEndian);
    for (int i = 0; i < 3; ++i) file.Interface(static_cast<uint16_t>(kLinktypeEthernet));
    file.Packet(2, SampleFrame(8), 1000001);
    file.ForeignBlocks();
    const ByteVector big(70000, 0x62);  // larger than the tracker's read buffer
    file.Packet(0, big, 2000002);
    file.SimplePacket(SampleFrame(9));
    file.ForeignBlocks();
    file.Packet(1, SampleFrame(12), 3000003);
    const std::string path = dir.File(bigEndian ? "big.pcapng" : "little.pcapng");
    WriteBytes(path, file.bytes());

    CaptureReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(path, &error)) << error;
    EXPECT_TRUE(reader.pcapng());
    std::vector<ByteVector> data;
    bool failed = false;
    const auto frames = ReadAll(&reader, &data, &error, &failed);
    EXPECT_FALSE(failed) << error;
    ASSERT_EQ(frames.size(), 4u) << (bigEndian ? "big" : "little");
    EXPECT_EQ(frames[0].interfaceId, 2u);
    EXPECT_EQ(frames[1].interfaceId, 0u);
    EXPECT_EQ(data[1], big);
    EXPECT_EQ(frames[2].interfaceId, 0u);  // a simple packet block belongs to interface 0
    EXPECT_EQ(frames[3].interfaceId, 1u);
    EXPECT_EQ(frames[0].seconds, 1);
    EXPECT_EQ(frames[0].microseconds, 1);
    EXPECT_EQ(frames[3].seconds, 3);
    EXPECT_EQ(data[3], SampleFrame(12));
  }
}

TEST(CaptureTest, WriterPcapngCarriesInterfaceIds) {
  TempDir dir;
  const std::string path = dir.File("w.pcapng");
  CaptureWriter writer;
  ASSERT_TRUE(writer.Open(path, CaptureWriter::Format::kPcapng, kLinktypeLinuxSll, 2));
  for (uint32_t i = 0; i < 6; ++i) writer.Write(SampleFrame(i), 100 + i, i, i % 2);
  ASSERT_TRUE(writer.Close());
  CaptureReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, &error)) << error;
  EXPECT_EQ(reader.linkLayer(), LinkLayer::kLinuxSll);
  std::vector<ByteVector> data;
  bool failed = false;
  const auto frames = ReadAll(&reader, &data, &error, &failed);
  ASSERT_EQ(frames.size(), 6u);
  for (uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(frames[i].interfaceId, i % 2);
    EXPECT_EQ(frames[i].seconds, 100 + i);
  }
}

TEST(CaptureTest, TruncatedFileYieldsTheWholeFramesThenAnError) {
  TempDir dir;
  const std::string path = dir.File("cut.pcap");
  CaptureWriter writer;
  ASSERT_TRUE(writer.Open(path, CaptureWriter::Format::kPcap, kLinktypeEthernet));
  for (int i = 0; i < 3; ++i) writer.Write(SampleFrame(20), 1, i);
  ASSERT_TRUE(writer.Close());
  ByteVector bytes = ReadBytes(path);
  bytes.resize(bytes.size() - 5);  // inside the third frame
  WriteBytes(path, bytes);

  CaptureReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, &error)) << error;
  std::vector<ByteVector> data;
  bool failed = false;
  const auto frames = ReadAll(&reader, &data, &error, &failed);
  EXPECT_EQ(frames.size(), 2u);
  EXPECT_TRUE(failed);
  EXPECT_NE(error.find("truncated"), std::string::npos) << error;
}

TEST(CaptureTest, FilesThatAreNoCaptureAreRefusedWithAReason) {
  TempDir dir;
  WriteBytes(dir.File("text.pcap"), BytesOf("this is a text file, not a capture\n"));
  WriteBytes(dir.File("empty.pcap"), {});
  ByteVector halfHeader = {0xD4, 0xC3, 0xB2, 0xA1, 2, 0, 4, 0};
  WriteBytes(dir.File("half-header.pcap"), halfHeader);
  struct Case {
    std::string path;
    const char* reason;
  };
  const Case cases[] = {
      {dir.File("text.pcap"), "unknown file format"},
      {dir.File("empty.pcap"), ""},
      {dir.File("half-header.pcap"), ""},
      {dir.File("missing.pcap"), "No such file"},
      {dir.File(""), "directory"},
  };
  for (const Case& c : cases) {
    CaptureReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(c.path, &error)) << c.path;
    EXPECT_FALSE(error.empty()) << c.path;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.path << ": " << error;
  }
}

TEST(CaptureTest, UnsupportedLinkTypesOpenButHaveNoDecoder) {
  TempDir dir;
  const std::string path = dir.File("wifi.pcap");
  CaptureWriter writer;
  ASSERT_TRUE(writer.Open(path, CaptureWriter::Format::kPcap, kLinktypeIeee80211));
  writer.Write(ByteVector(24, 0), 1, 0);
  ASSERT_TRUE(writer.Close());
  CaptureReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, &error));
  EXPECT_FALSE(reader.linkLayer().has_value());
  EXPECT_EQ(reader.dltName(), "IEEE802_11");
}

TEST(CaptureTest, EveryDecodedLinkTypeMapsFromItsDlt) {
  EXPECT_EQ(LinkLayerFromDlt(DLT_EN10MB), LinkLayer::kEthernet);
  EXPECT_EQ(LinkLayerFromDlt(DLT_NULL), LinkLayer::kNull);
  EXPECT_EQ(LinkLayerFromDlt(DLT_LOOP), LinkLayer::kLoop);
  EXPECT_EQ(LinkLayerFromDlt(DLT_RAW), LinkLayer::kRaw);
  EXPECT_EQ(LinkLayerFromDlt(DLT_IPV4), LinkLayer::kIpv4);
  EXPECT_EQ(LinkLayerFromDlt(DLT_IPV6), LinkLayer::kIpv6);
  EXPECT_EQ(LinkLayerFromDlt(DLT_LINUX_SLL), LinkLayer::kLinuxSll);
  EXPECT_EQ(LinkLayerFromDlt(DLT_LINUX_SLL2), LinkLayer::kLinuxSll2);
  EXPECT_FALSE(LinkLayerFromDlt(DLT_PPP).has_value());
  EXPECT_FALSE(LinkLayerFromDlt(DLT_IEEE802_11_RADIO).has_value());
}

}  // namespace
}  // namespace hostsim
