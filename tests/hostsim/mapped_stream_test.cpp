// Reading through the mapping must hand libpcap exactly the bytes read(2)
// would: every frame, its times, its pcapng interface and the final error.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "hostsim/capture.h"
#include "hostsim/capture_writer.h"
#include "hostsim/mapped_stream.h"
#include "hostsim/packet_builder.h"

namespace hostsim {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kDltEthernet = 1;

struct Read {
  bool opened = false;
  std::vector<CaptureFrame> frames;  // data pointers not kept
  std::vector<ByteVector> bytes;
  CaptureReader::ReadStatus end = CaptureReader::ReadStatus::kFrame;
  std::string error;
};

Read ReadAll(const std::string& path, CaptureReadMode mode) {
  SetCaptureReadMode(mode);
  Read r;
  CaptureReader reader;
  r.opened = reader.Open(path, &r.error);
  SetCaptureReadMode(CaptureReadMode::kMapped);
  if (!r.opened) return r;
  CaptureFrame frame;
  while ((r.end = reader.Next(&frame, &r.error)) == CaptureReader::ReadStatus::kFrame) {
    r.bytes.emplace_back(frame.data, frame.data + frame.capturedLength);
    frame.data = nullptr;
    r.frames.push_back(frame);
  }
  return r;
}

void ExpectSameReads(const std::string& path) {
  SCOPED_TRACE(path);
  const Read mapped = ReadAll(path, CaptureReadMode::kMapped);
  const Read stdio = ReadAll(path, CaptureReadMode::kStdio);
  ASSERT_EQ(mapped.opened, stdio.opened);
  EXPECT_EQ(mapped.error, stdio.error);
  EXPECT_EQ(mapped.end, stdio.end);
  ASSERT_EQ(mapped.frames.size(), stdio.frames.size());
  for (size_t i = 0; i < mapped.frames.size(); ++i) {
    const CaptureFrame& a = mapped.frames[i];
    const CaptureFrame& b = stdio.frames[i];
    ASSERT_TRUE(a.capturedLength == b.capturedLength && a.wireLength == b.wireLength &&
                a.seconds == b.seconds && a.microseconds == b.microseconds &&
                a.interfaceId == b.interfaceId && mapped.bytes[i] == stdio.bytes[i])
        << "frame " << i + 1;
  }
}

class MappedStreamTest : public ::testing::Test {
 protected:
  ~MappedStreamTest() override { fs::remove_all(dir_); }
  char pattern_[32] = "/tmp/nips-mapped-test-XXXXXX";
  const std::string dir_ = mkdtemp(pattern_);
};

// Large enough that pages are populated ahead and given back behind several
// times, and cut inside its last frame so that the two error paths meet.
TEST_F(MappedStreamTest, BothReadModesYieldTheSameFramesAndErrors) {
  for (const CaptureWriter::Format format :
       {CaptureWriter::Format::kPcap, CaptureWriter::Format::kPcapng}) {
    const std::string path = dir_ + "/large";
    CaptureWriter writer;
    ASSERT_TRUE(writer.Open(path, format, kDltEthernet, 2));
    for (uint32_t i = 0; i < 12000; ++i) {
      const ByteVector payload(i % 1400, static_cast<uint8_t>(i));
      writer.Write(EthernetFrame(Ipv4Packet({.protocol = kIpProtocolUdp, .options = {}},
                                            UdpDatagram(1000, 2000, payload))),
                   1700000000 + i, i % 1000000,
                   format == CaptureWriter::Format::kPcapng ? i % 2 : 0);
    }
    ASSERT_TRUE(writer.Close());
    ExpectSameReads(path);
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(fs::file_size(path) - 100)), 0);
    ExpectSameReads(path);
  }

  const fs::path examples = fs::path(NIPS_SOURCE_DIR) / "examples";
  for (const auto& entry : fs::directory_iterator(examples)) {
    if (entry.path().extension() == ".pcap") ExpectSameReads(entry.path());
  }
  // pcapng interface ids are read behind libpcap at its stream position.
  const fs::path corpus = fs::path(NIPS_SOURCE_DIR) / "../shared/corpus";
  int pcapngs = 0;
  if (fs::is_directory(corpus)) {
    for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
      if (entry.path().extension() == ".pcapng" && pcapngs++ < 40) ExpectSameReads(entry.path());
    }
  }
}

// A capture cut short by another process while it is mapped: the read that
// reaches the vanished pages fails instead of the process dying.
TEST_F(MappedStreamTest, AFileCutWhileMappedEndsInAReadError) {
  const std::string path = dir_ + "/cut.pcap";
  CaptureWriter writer;
  ASSERT_TRUE(writer.Open(path, CaptureWriter::Format::kPcap, kDltEthernet));
  for (uint32_t i = 0; i < 4000; ++i) {
    writer.Write(EthernetFrame(Ipv4Packet({.protocol = kIpProtocolUdp, .options = {}},
                                          UdpDatagram(1000, 2000, ByteVector(1000, 0x61)))),
                 1700000000, i);
  }
  ASSERT_TRUE(writer.Close());
  CaptureReader reader;
  std::string error;
  ASSERT_TRUE(reader.Open(path, &error)) << error;
  CaptureFrame frame;
  ASSERT_EQ(reader.Next(&frame, &error), CaptureReader::ReadStatus::kFrame);
  ASSERT_EQ(truncate(path.c_str(), 8192), 0);
  CaptureReader::ReadStatus status = CaptureReader::ReadStatus::kFrame;
  int frames = 1;
  while (status == CaptureReader::ReadStatus::kFrame && frames < 5000) {
    status = reader.Next(&frame, &error);
    frames += status == CaptureReader::ReadStatus::kFrame;
  }
  EXPECT_EQ(status, CaptureReader::ReadStatus::kError);
  EXPECT_LT(frames, 4000);
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace hostsim
