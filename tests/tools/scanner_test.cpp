// The scan through the real driver with scripted detectors: evidence, an empty ledger after unload.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <mutex>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "kt_hooks.h"
#include "nips/engine/additional_data.h"
#include "nips/engine/log.h"
#include "nips/engine/packet_view.h"
#include "nips/engine/plugin.h"
#include "testlib/engine_support.h"
#include "tools/capture_gen.h"
#include "tools/driver_link.h"
#include "tools/scanner.h"

namespace nipstool {
namespace {

using hostsim::ByteVector;

constexpr ULONG kRowTcpPortScan = 4;  // signature 3700, TCP

std::unique_ptr<DriverLink> LoadWithScriptedTable(std::string* error) {
  static SignatureTable table = testlib::ScriptedTable();
  std::unique_ptr<SimulatedDriver> driver = SimulatedDriver::Load(error);
  if (driver) static_cast<NipsPlugin*>(driver->host().core().firewall().plugin())->table = &table;
  return driver;
}

capgen::Trace TcpTrace(int packets) {
  capgen::Trace trace;
  for (int i = 0; i < packets; ++i)
    trace.Add(capgen::IpPacket(
                  "10.0.0.1", "10.0.0.2", kIpProtocolTcp,
                  hostsim::TcpSegment(40000, 80, static_cast<uint32_t>(i), 1, kTcpFlagAck | 0x08,
                                      hostsim::BytesOf("GET / HTTP/1.1\r\n\r\n"))),
              250000);
  return trace;
}

class ScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nips-scan-test-XXXXXX";
    dir_ = mkdtemp(pattern);
    testlib::Script().Reset();
    testlib::Script().recordOrder = false;
    options_.policy = DefaultPolicy();
    options_.loadDriver = LoadWithScriptedTable;
  }
  void TearDown() override {
    testlib::Script().Reset();
    std::filesystem::remove_all(dir_);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }

  CaptureResult Run(const std::string& path) {
    const CaptureResult r =
        ScanCapture(path, options_, [this](const Alert& a) { alerts_.push_back(a); });
    EXPECT_EQ(r.poolOutstandingAfterUnload, 0u) << path;
    EXPECT_EQ(r.contractViolations, 0u) << path;
    EXPECT_EQ(r.status, ScanStatus::kOk) << r.message;
    return r;
  }

  std::string dir_;
  ScanOptions options_;
  std::vector<Alert> alerts_;
};

TEST_F(ScannerTest, EvidenceIsFetchedForEveryAlertBeforeTheRingWraps) {
  // Every packet leaves its own evidence; 300 packets wrap the 128-slot ring twice.
  std::atomic<int> calls{0};
  testlib::Script().hook = [&calls](ULONG row, PacketView* view) -> ULONG {
    if (row != kRowTcpPortScan) return kDetectNoMatch;
    WCHAR* text = ReserveAdditionalData(&view->additionalDataIndex);
    if (text == nullptr) return kDetectError;
    const std::u16string evidence = u"evidence #" + kt::Utf16(std::to_string(++calls));
    memcpy(text, evidence.c_str(), (evidence.size() + 1) * sizeof(WCHAR));
    return kDetectMatch;
  };
  const std::string path = dir_ + "/trace.pcap";
  ASSERT_TRUE(capgen::WriteTrace(path, TcpTrace(300)));
  Run(path);
  ASSERT_EQ(alerts_.size(), 300u);
  for (size_t i = 0; i < alerts_.size(); ++i) {
    const Alert& a = alerts_[i];
    EXPECT_EQ(std::tuple(a.pcapCount, a.signatureId, a.evidenceSlot, a.evidence.value_or("-")),
              std::tuple(i + 1, 3700u, i % kAdditionalDataSlots + 1,
                         "evidence #" + std::to_string(i + 1)));
  }
}

// Detectors see each frame's capture time and its interface's adapter; a cut frame is skipped, a
// UDP packet to port 0 is refused before any detector, a failing detector gives no verdict.
TEST_F(ScannerTest, DetectorsSeeCaptureTimeAndAdapterAndOtherFramesAreCounted) {
  std::vector<std::pair<int64_t, ULONG>> seen, expected;  // time, adapter
  testlib::Script().hook = [&seen](ULONG row, PacketView* view) -> ULONG {
    if (row != kRowTcpPortScan) return kDetectNoMatch;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    seen.emplace_back(now.QuadPart, view->adapter->GetIndex());
    return kDetectError;
  };
  const capgen::Trace trace = TcpTrace(3);
  const std::vector<capgen::TimedPacket>& p = trace.packets();
  const ByteVector tcp = hostsim::EthernetFrame(p[0].ip);
  const int64_t later = p[2].seconds + 1;
  hostsim::CaptureWriter writer;
  const std::string path = dir_ + "/mixed.pcapng";
  ASSERT_TRUE(
      writer.Open(path, hostsim::CaptureWriter::Format::kPcapng, hostsim::kLinktypeEthernet, 3));
  for (uint32_t i = 0; i < 3; ++i) {
    writer.Write(hostsim::EthernetFrame(p[i].ip), p[i].seconds, p[i].microseconds, 2 - i);
    expected.emplace_back(kt::SystemTimeFromUnix(p[i].seconds, p[i].microseconds), 3 - i);
  }
  writer.Write(ByteVector(tcp.begin(), tcp.end() - 4), later, 0, 0, tcp.size());  // snap length
  writer.Write(hostsim::EthernetFrame(capgen::UdpPacket("10.0.0.1", 5000, "10.0.0.2", 0, {1})),
               later, 3);
  ASSERT_TRUE(writer.Close());
  const std::string summary = FormatSummary({Run(path)});
  EXPECT_EQ(seen, expected);
  EXPECT_TRUE(alerts_.empty());
  EXPECT_TRUE(summary.find(": 5 frames, 0 inspected, 1 not inspected, 3 failed, 1 skipped "
                           "(1 truncated)") != summary.npos)
      << summary;
}

// Frames cross from the reading thread in batches bounded by count and by bytes: every frame
// arrives once, in order, with its own bytes, including the one held back when a batch is full.
TEST_F(ScannerTest, FramesCrossBatchBoundariesIntactAndInOrder) {
  std::vector<uint32_t> seen;
  testlib::Script().hook = [&seen](ULONG row, PacketView* view) -> ULONG {
    if (row != kRowTcpPortScan) return kDetectNoMatch;
    ULONG64 length = 0;
    const UCHAR* payload = view->data->GetPayload(&length);
    uint32_t index = 0;
    if (payload == nullptr || length < sizeof index) return kDetectError;
    memcpy(&index, payload, sizeof index);
    seen.push_back(index);
    return kDetectNoMatch;
  };
  // 5000 short frames pass the batch's frame limit; 3200 of 1454 bytes its 4 MiB of bytes.
  constexpr uint32_t kShort = 5000, kFrames = kShort + 3200;
  capgen::Trace trace;
  for (uint32_t i = 0; i < kFrames; ++i) {
    ByteVector payload(i < kShort ? 8 : 1400, static_cast<uint8_t>(i));
    memcpy(payload.data(), &i, sizeof i);
    trace.Add(capgen::IpPacket("10.0.0.1", "10.0.0.2", kIpProtocolTcp,
                               hostsim::TcpSegment(40000, 80, i, 1, kTcpFlagAck, payload)));
  }
  const std::string path = dir_ + "/batches.pcap";
  ASSERT_TRUE(capgen::WriteTrace(path, trace));
  const CaptureResult r = Run(path);
  EXPECT_EQ(std::tuple(r.frames, r.inspected), std::tuple(uint64_t{kFrames}, uint64_t{kFrames}));
  ASSERT_EQ(seen.size(), kFrames);
  for (uint32_t i = 0; i < kFrames; ++i) ASSERT_EQ(seen[i], i) << "frame " << i + 1;
}

// A pcapng whose interface counts time in whole seconds can put a frame
// 1.7e12 seconds after 1970, past the kernel clock's end: the detectors see
// the clock's last moment, and the scan says so instead of overflowing.
TEST_F(ScannerTest, ACaptureTimePastTheKernelClockIsClampedAndReported) {
  std::vector<int64_t> seen;
  testlib::Script().hook = [&seen](ULONG row, PacketView*) -> ULONG {
    if (row != kRowTcpPortScan) return kDetectNoMatch;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    seen.push_back(now.QuadPart);
    return kDetectNoMatch;
  };
  auto u16 = [](ByteVector* out, uint16_t v) {
    for (uint8_t item : {uint8_t(v), uint8_t(v >> 8)}) out->push_back(item);
  };
  auto u32 = [&u16](ByteVector* out, uint32_t v) {
    u16(out, uint16_t(v)), u16(out, uint16_t(v >> 16));
  };
  auto block = [&u32](ByteVector* file, uint32_t type, const ByteVector& body) {
    const uint32_t length = static_cast<uint32_t>(body.size() + 12);
    u32(file, type), u32(file, length);
    file->insert(file->end(), body.begin(), body.end());
    u32(file, length);
  };
  ByteVector file, section, interface, packet;
  u32(&section, 0x1A2B3C4D), u16(&section, 1), u16(&section, 0), u32(&section, 0xFFFFFFFF),
      u32(&section, 0xFFFFFFFF);
  u16(&interface, hostsim::kLinktypeEthernet), u16(&interface, 0), u32(&interface, 65535);
  u16(&interface, 9), u16(&interface, 1), u32(&interface, 0);  // if_tsresol 10^0: seconds
  u32(&interface, 0);                                          // end of options
  const ByteVector frame = hostsim::EthernetFrame(TcpTrace(1).packets()[0].ip);
  const uint64_t seconds = 1695728003815;
  u32(&packet, 0), u32(&packet, uint32_t(seconds >> 32)), u32(&packet, uint32_t(seconds));
  u32(&packet, uint32_t(frame.size())), u32(&packet, uint32_t(frame.size()));
  packet.insert(packet.end(), frame.begin(), frame.end());
  packet.resize((packet.size() + 3) / 4 * 4, 0);
  block(&file, 0x0A0D0D0A, section), block(&file, 1, interface), block(&file, 6, packet);
  const std::string path = dir_ + "/far-future.pcapng";
  FILE* out = fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(fwrite(file.data(), 1, file.size(), out), file.size());
  fclose(out);

  const CaptureResult r = Run(path);
  EXPECT_EQ(seen, std::vector<int64_t>{INT64_MAX});
  EXPECT_NE(r.warning.find("frame 1: capture time 1695728003815 s is outside the kernel clock"),
            std::string::npos)
      << r.warning;
  bool fits = true;
  EXPECT_EQ(kt::SystemTimeFromUnix(-20000000000LL, 0, &fits), 0);
  EXPECT_FALSE(fits);
  EXPECT_EQ(kt::SystemTimeFromUnix(0, 1, &fits), 116444736000000010LL);
  EXPECT_TRUE(fits);
}

}  // namespace
}  // namespace nipstool

namespace nipstool {
namespace {

namespace fs = std::filesystem;

// What a scan says about a capture, the trace lines left out.
std::string Transcript(const std::string& path, uint32_t logMask) {
  ScanOptions options;
  options.policy = DefaultPolicy();
  options.logMask = logMask;
  std::mutex mutex;
  std::string text;
  options.onLog = [&](const LogRecord& record) {
    if ((record.category & kLogTrace) != 0) return;
    std::lock_guard<std::mutex> guard(mutex);
    text += (record.overflow ? "overflow" : record.text) + "\n";
  };
  std::string alerts;
  const CaptureResult r = ScanCapture(path, options, [&](const Alert& a) {
    alerts += fmt::format("{} {} {} {} {}\n", a.pcapCount, a.signatureId, a.action, a.evidenceSlot,
                          a.evidence.value_or("-"));
  });
  std::lock_guard<std::mutex> guard(mutex);
  return FormatSummary({r}) + alerts + text;
}

// With trace lines on, the dispatcher calls every detector (each call logs);
// with them off, it leaves out those whose port gate the packet fails. The
// two must agree on every alert, evidence and other log line, so a gate that
// rules out a port its detector acts on, or a detector that does something
// before its port test, shows here.
TEST(PortGateTest, ScansWithAndWithoutPortGatesAgree) {
  std::vector<std::string> captures;
  const fs::path source(NIPS_SOURCE_DIR);
  for (const fs::path& folder : {source / "examples", source / "tests/regress/cases"}) {
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      const std::string name = entry.path().string();
      if (name.ends_with(".pcap") || name.ends_with(".pcapng")) captures.push_back(name);
    }
  }
  char pattern[] = "/tmp/nips-gate-test-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  std::string error;
  ASSERT_TRUE(capgen::WriteBenchCapture(dir + "/sessions.pcap", 20000, &error)) << error;
  captures.push_back(dir + "/sessions.pcap");
  // Real traffic of every protocol family the gates name, as far as present.
  const fs::path corpus = source / "../shared/corpus";
  if (fs::is_directory(corpus)) {
    for (const auto& entry : fs::recursive_directory_iterator(corpus)) {
      if (entry.is_regular_file() && entry.file_size() < (256 << 10) &&
          (entry.path().extension() == ".pcap" || entry.path().extension() == ".pcapng")) {
        captures.push_back(entry.path().string());
      }
    }
  }
  constexpr uint32_t kAllButTrace = kLogInfo | kLogLifecycle | kLogMalformed | kLogError;
  for (const std::string& capture : captures) {
    SCOPED_TRACE(capture);
    ASSERT_EQ(Transcript(capture, kAllButTrace), Transcript(capture, kAllButTrace | kLogTrace));
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace nipstool

namespace nipstool {
namespace {

// The profile counts what the dispatcher did: every reported signature was a
// match of its row, no row matched more often than it was called, and the
// counts survive the record a worker process sends back.
TEST(ScanProfileTest, CountsAgreeWithTheAlertsAndSurviveTheWorkerRecord) {
  ScanOptions options;
  options.policy = DefaultPolicy();
  options.profile = true;
  ScanProfile total;
  std::map<uint32_t, uint64_t> alerts;
  uint64_t frames = 0;
  for (const auto& entry : fs::directory_iterator(fs::path(NIPS_SOURCE_DIR) / "examples")) {
    if (entry.path().extension() != ".pcap") continue;
    const CaptureResult r = ScanCapture(entry.path(), options, nullptr);
    ASSERT_TRUE(r.profile.has_value());
    EXPECT_GT(r.profile->readingNs + r.profile->decodingNs, 0u);
    EXPECT_GT(r.profile->viewNs, 0u);
    total.Add(*r.profile);
    for (const auto& [id, count] : r.alertsBySignature) alerts[id] += count;
    frames += r.frames;

    CaptureResult back;
    ASSERT_TRUE(CaptureResultFromRecord(CaptureResultToRecord(r), &back));
    ASSERT_TRUE(back.profile.has_value());
    EXPECT_EQ(ProfileRecord(*back.profile), ProfileRecord(*r.profile));
  }
  EXPECT_GE(alerts.size(), 40u);
  for (const auto& [id, count] : alerts) {
    SCOPED_TRACE(id);
    ASSERT_TRUE(total.rows.count(id));
    EXPECT_GE(total.rows[id].matches, count);
  }
  for (const auto& [id, cost] : total.rows) EXPECT_LE(cost.matches, cost.calls) << id;
  const std::string table = FormatProfile(total, frames);
  EXPECT_NE(table.find(fmt::format("profile: {} frames", frames)), std::string::npos) << table;
  EXPECT_NE(table.find("\ndispatch   inspecting"), std::string::npos) << table;

  options.profile = false;
  const CaptureResult plain = ScanCapture(
      fs::path(NIPS_SOURCE_DIR) / "examples" / "attack-6022-smb2-reply-length-mismatch.pcap",
      options, nullptr);
  EXPECT_FALSE(plain.profile.has_value());
}

}  // namespace
}  // namespace nipstool

namespace nipstool {
namespace {

// With the per-packet trace on, the scan drains the log as fast as packets
// fill it: the log holds one "Sig" line for every detector call the profile
// counts, and no overflow marker.
TEST(ScanLogTest, ATraceRunLosesNoLineOfItsDetectorCalls) {
  char pattern[] = "/tmp/nips-trace-test-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  std::string error;
  ASSERT_TRUE(capgen::WriteBenchCapture(dir + "/sessions.pcap", 20000, &error)) << error;
  ScanOptions options;
  options.policy = DefaultPolicy();
  options.profile = true;
  options.logMask = kLogTrace | kLogInfo | kLogLifecycle | kLogMalformed | kLogError;
  uint64_t sigLines = 0, overflows = 0;
  options.onLog = [&](const LogRecord& record) {
    if (record.overflow) ++overflows;
    if (record.text.find("] Sig ") != std::string::npos) ++sigLines;
  };
  const CaptureResult r = ScanCapture(dir + "/sessions.pcap", options, nullptr);
  fs::remove_all(dir);
  ASSERT_EQ(r.status, ScanStatus::kOk) << r.message;
  ASSERT_TRUE(r.profile.has_value());
  uint64_t calls = 0;
  for (const auto& [id, cost] : r.profile->rows) calls += cost.calls;
  EXPECT_GT(calls, 20000u);
  EXPECT_EQ(sigLines, calls);
  EXPECT_EQ(overflows, 0u);
  EXPECT_EQ(r.logOverflows, 0u);
}

}  // namespace
}  // namespace nipstool
