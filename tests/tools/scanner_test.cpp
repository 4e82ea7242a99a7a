// The scan pipeline through the real driver (requests 1-4, evidence by request
// 8, ledger empty after unload), with scripted detectors in the plug-in's table.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>

#include "kt_hooks.h"
#include "nips/engine/additional_data.h"
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
  if (driver) {
    static_cast<NipsPlugin*>(driver->host().core().firewall().plugin())->table = &table;
  }
  return driver;
}

capgen::Trace TcpTrace(int packets) {
  capgen::Trace trace;
  for (int i = 0; i < packets; ++i) {
    trace.Add(capgen::IpPacket(
                  "10.0.0.1", "10.0.0.2", kIpProtocolTcp,
                  hostsim::TcpSegment(40000, 80, static_cast<uint32_t>(i), 1, kTcpFlagAck | 0x08,
                                      hostsim::BytesOf("GET / HTTP/1.1\r\n\r\n"))),
              250000);
  }
  return trace;
}

struct Scan {
  CaptureResult result;
  std::vector<Alert> alerts;
};

class ScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/nips-scan-test-XXXXXX";
    dir_ = mkdtemp(pattern);
    testlib::Script().Reset();
    options_.policy = DefaultPolicy();
    options_.loadDriver = LoadWithScriptedTable;
  }
  void TearDown() override {
    testlib::Script().Reset();
    std::filesystem::remove_all(dir_);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }

  Scan Run(const std::string& path) {
    Scan scan;
    scan.result =
        ScanCapture(path, options_, [&scan](const Alert& a) { scan.alerts.push_back(a); });
    EXPECT_EQ(scan.result.poolOutstandingAfterUnload, 0u) << path;
    EXPECT_EQ(scan.result.contractViolations, 0u) << path;
    EXPECT_EQ(scan.result.status, ScanStatus::kOk) << scan.result.message;
    return scan;
  }

  std::string dir_;
  ScanOptions options_;
};

TEST_F(ScannerTest, EvidenceIsFetchedForEveryAlertBeforeTheRingWraps) {
  // Every packet leaves its own evidence; 300 packets wrap the 128-slot ring twice.
  std::atomic<int> calls{0};
  testlib::Script().recordOrder = false;
  testlib::Script().hook = [&calls](ULONG row, PacketView* view) -> ULONG {
    if (row != kRowTcpPortScan) return kDetectNoMatch;
    ULONG slot = 0;
    WCHAR* text = ReserveAdditionalData(&slot);
    if (text == nullptr) return kDetectError;
    const std::u16string evidence = u"evidence #" + kt::Utf16(std::to_string(++calls));
    memcpy(text, evidence.c_str(), (evidence.size() + 1) * sizeof(WCHAR));
    view->additionalDataIndex = slot;
    return kDetectMatch;
  };
  const std::string path = dir_ + "/trace.pcap";
  ASSERT_TRUE(capgen::WriteTrace(path, TcpTrace(300)));
  const Scan scan = Run(path);
  ASSERT_EQ(scan.alerts.size(), 300u);
  for (size_t i = 0; i < scan.alerts.size(); ++i) {
    const Alert& alert = scan.alerts[i];
    EXPECT_EQ(alert.pcapCount, i + 1);
    EXPECT_EQ(alert.signatureId, 3700u);
    EXPECT_EQ(alert.evidenceSlot, i % kAdditionalDataSlots + 1);
    ASSERT_TRUE(alert.evidence.has_value());
    EXPECT_EQ(*alert.evidence, "evidence #" + std::to_string(i + 1));
  }
}

// Detectors see each frame's capture time and its interface's adapter; frames
// are skipped by reason, a UDP packet to port 0 is refused before any
// detector, and a failing detector gives no verdict.
TEST_F(ScannerTest, DetectorsSeeCaptureTimeAndAdapterAndOtherFramesAreCounted) {
  std::vector<int64_t> times;
  std::vector<ULONG> adapters;
  testlib::Script().recordOrder = false;
  testlib::Script().hook = [&](ULONG row, PacketView* view) -> ULONG {
    if (row != kRowTcpPortScan) return kDetectNoMatch;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    times.push_back(now.QuadPart);
    adapters.push_back(view->adapter->GetIndex());
    return kDetectError;
  };
  const capgen::Trace trace = TcpTrace(3);
  const ByteVector tcp = hostsim::EthernetFrame(trace.packets()[0].ip);
  const int64_t later = trace.packets()[2].seconds + 1;
  hostsim::CaptureWriter writer;
  const std::string path = dir_ + "/mixed.pcapng";
  ASSERT_TRUE(
      writer.Open(path, hostsim::CaptureWriter::Format::kPcapng, hostsim::kLinktypeEthernet, 3));
  for (uint32_t i = 0; i < 3; ++i) {
    const capgen::TimedPacket& p = trace.packets()[i];
    writer.Write(hostsim::EthernetFrame(p.ip), p.seconds, p.microseconds, 2 - i);
  }
  writer.Write(ByteVector(tcp.begin(), tcp.end() - 4), later, 0, 0, tcp.size());      // snap length
  writer.Write(hostsim::EthernetFrameWithType(0x0806, ByteVector(28, 0)), later, 1);  // ARP
  writer.Write(hostsim::EthernetFrame(capgen::IpPacket("10.0.0.1", "10.0.0.2", 47, ByteVector(8))),
               later, 2);  // GRE
  writer.Write(hostsim::EthernetFrame(capgen::UdpPacket("10.0.0.1", 5000, "10.0.0.2", 0, {1})),
               later, 3);
  ASSERT_TRUE(writer.Close());
  const Scan scan = Run(path);
  ASSERT_EQ(times.size(), 3u);
  for (size_t i = 0; i < times.size(); ++i) {
    const capgen::TimedPacket& p = trace.packets()[i];
    EXPECT_EQ(times[i], kt::SystemTimeFromUnix(p.seconds, p.microseconds));
  }
  EXPECT_EQ(adapters, (std::vector<ULONG>{3, 2, 1}));
  EXPECT_TRUE(scan.alerts.empty());
  const std::string summary = FormatSummary({scan.result});
  EXPECT_NE(summary.find(": 7 frames, 0 inspected, 1 not inspected, 3 failed, 3 skipped (1 not IP, "
                         "1 other IP protocol, 1 truncated)"),
            std::string::npos)
      << summary;
}

}  // namespace
}  // namespace nipstool
