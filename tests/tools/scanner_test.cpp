// The scan pipeline end to end: the real driver loaded through its entry
// routine, configured by requests 1-4, fed generated captures, unloaded with
// nothing left in the ledger. The alert path is driven through the plug-in's
// table seam by scripted test detectors (evidence slots, errors, replay time).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <nlohmann/json.hpp>

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
    // The plug-in copies its rows from this table at every policy request.
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

  std::string Write(const capgen::Trace& trace) {
    const std::string path = dir_ + "/trace.pcap";
    EXPECT_TRUE(capgen::WriteTrace(path, trace));
    return path;
  }

  std::string dir_;
  ScanOptions options_;
};

TEST_F(ScannerTest, EvidenceIsFetchedForEveryAlertBeforeTheRingWraps) {
  // Every packet matches row 4 and leaves its own text in an evidence slot;
  // 300 packets wrap the 128-slot ring twice.
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
  const Scan scan = Run(Write(TcpTrace(300)));
  ASSERT_EQ(scan.alerts.size(), 300u);
  for (size_t i = 0; i < scan.alerts.size(); ++i) {
    const Alert& alert = scan.alerts[i];
    EXPECT_EQ(alert.pcapCount, i + 1);
    EXPECT_EQ(alert.signatureId, 3700u);
    EXPECT_EQ(alert.evidenceSlot, i % kAdditionalDataSlots + 1);
    ASSERT_TRUE(alert.evidence.has_value());
    EXPECT_EQ(*alert.evidence, "evidence #" + std::to_string(i + 1));
  }
  EXPECT_EQ(nlohmann::json::parse(FormatAlertJson(scan.alerts[299]))["alert"]["evidence"],
            "evidence #300");
}

TEST_F(ScannerTest, PolicyDecidesVerdictAndWhetherAMatchIsReported) {
  testlib::Script().result[kRowTcpPortScan] = kDetectMatch;
  const std::string path = Write(TcpTrace(3));
  const struct {
    const char* name;
    uint32_t level, flag;
    bool blockHost;
    size_t alerts;
    uint32_t action;
  } cases[] = {
      {"level 3 blocks the packet", 3, 1, false, 3, FW_ACTION_BLOCK_PACKET},
      {"level 4 with block_host blocks the host", 4, 1, true, 3, FW_ACTION_BLOCK_HOST},
      {"level 1 reports and allows", 1, 1, false, 3, FW_ACTION_ALLOW},
      {"level 1 without the flag is ignored", 1, 0, false, 0, FW_ACTION_ALLOW},
      {"level 3 without the flag still blocks", 3, 0, false, 3, FW_ACTION_BLOCK_PACKET},
      {"level 0 disables", 0, 1, false, 0, FW_ACTION_ALLOW},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    options_.policy = DefaultPolicy();
    options_.policy.blockHost = c.blockHost;
    for (PolicyEntry& entry : options_.policy.signatures) {
      if (entry.id == 3700) entry = {3700, c.level, c.flag};
    }
    const Scan scan = Run(path);
    ASSERT_EQ(scan.alerts.size(), c.alerts);
    EXPECT_EQ(scan.result.verdicts.at(c.action), 3u);
    for (const Alert& alert : scan.alerts) {
      EXPECT_EQ(alert.action, c.action);
      EXPECT_EQ(alert.severity, c.level);
      EXPECT_FALSE(alert.evidence.has_value());
    }
  }
  // Each scan loads its own driver: one sees nothing of the others.
  options_.policy = DefaultPolicy();
  const std::string summary = FormatSummary({Run(path).result, Run(path).result});
  EXPECT_NE(summary.find("total: 2 captures, 6 frames, 6 inspected"), std::string::npos) << summary;
  EXPECT_NE(summary.find("alerts: 6 (3700 x6)"), std::string::npos) << summary;
  EXPECT_NE(summary.find("verdicts: Allow 0, Block Packet 6, Block Host 0"), std::string::npos);
}

TEST_F(ScannerTest, DetectorsRunOnCaptureTimeAndAdapterIndexFromTheInterface) {
  std::vector<int64_t> times;
  std::vector<ULONG> adapters;
  testlib::Script().recordOrder = false;
  testlib::Script().hook = [&](ULONG row, PacketView* view) -> ULONG {
    if (row != kRowTcpPortScan) return kDetectNoMatch;
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    times.push_back(now.QuadPart);
    adapters.push_back(view->adapter->GetIndex());
    return kDetectNoMatch;
  };
  const capgen::Trace trace = TcpTrace(4);
  hostsim::CaptureWriter writer;
  const std::string path = dir_ + "/three-interfaces.pcapng";
  ASSERT_TRUE(
      writer.Open(path, hostsim::CaptureWriter::Format::kPcapng, hostsim::kLinktypeEthernet, 3));
  const uint32_t interfaces[] = {0, 2, 1, 0};
  for (size_t i = 0; i < 4; ++i) {
    const capgen::TimedPacket& p = trace.packets()[i];
    writer.Write(hostsim::EthernetFrame(p.ip), p.seconds, p.microseconds, interfaces[i]);
  }
  ASSERT_TRUE(writer.Close());
  Run(path);
  ASSERT_EQ(times.size(), 4u);
  for (size_t i = 0; i < times.size(); ++i) {
    const capgen::TimedPacket& p = trace.packets()[i];
    EXPECT_EQ(times[i], kt::SystemTimeFromUnix(p.seconds, p.microseconds));
  }
  EXPECT_EQ(adapters, (std::vector<ULONG>{1, 3, 2, 1}));
}

TEST_F(ScannerTest, DetectorFailuresAreCountedWithoutVerdicts) {
  testlib::Script().result[kRowTcpPortScan] = kDetectError;
  const Scan scan = Run(Write(TcpTrace(5)));
  EXPECT_EQ(scan.result.failed, 5u);
  EXPECT_EQ(scan.result.inspected, 0u);
  EXPECT_TRUE(scan.alerts.empty());
  EXPECT_NE(FormatSummary({scan.result}).find("5 failed"), std::string::npos);
}

TEST_F(ScannerTest, LogReaderDeliversTheDriversLogDecoded) {
  testlib::Script().result[kRowTcpPortScan] = kDetectMatch;
  std::mutex mutex;
  std::vector<LogRecord> records;
  options_.onLog = [&](const LogRecord& record) {
    std::lock_guard<std::mutex> guard(mutex);
    records.push_back(record);
  };
  // With the driver's default mask (errors and malformed packets) and no
  // request 5, a clean capture leaves the log empty.
  const std::string path = Write(TcpTrace(2));
  Run(path);
  EXPECT_TRUE(records.empty());
  options_.logMask = 0x1F;
  const Scan scan = Run(path);
  size_t detections = 0, traces = 0;
  for (const LogRecord& record : records) {
    if (record.overflow) continue;
    if (record.text.rfind("Detect sig 3700, severity 3, reaction 3 -> Block Packet", 0) == 0) {
      EXPECT_EQ(record.category, 4u);
      EXPECT_EQ(record.kind, kLogKindUnflagged);
      ++detections;
    }
    if (record.text == "No sigmask (check all sigs)") ++traces;
  }
  EXPECT_EQ(detections, 2u);
  EXPECT_EQ(traces, 2u);
  EXPECT_EQ(scan.result.logRecords + scan.result.logOverflows, records.size());
}

// Frames the scanner cannot decode are skipped by reason; a 1461-byte payload
// (over the driver's limit) and a UDP packet to port 0 are refused by the
// driver before any detector.
TEST_F(ScannerTest, SkippedAndRefusedFramesAreCountedByReason) {
  const capgen::Trace trace = TcpTrace(2);
  hostsim::CaptureWriter writer;
  const std::string path = dir_ + "/mixed.pcap";
  ASSERT_TRUE(writer.Open(path, hostsim::CaptureWriter::Format::kPcap, hostsim::kLinktypeEthernet));
  writer.Write(hostsim::EthernetFrame(trace.packets()[0].ip), 1, 0);
  writer.Write(hostsim::EthernetFrameWithType(0x0806, ByteVector(28, 0)), 1, 1);  // ARP
  ByteVector cut = hostsim::EthernetFrame(trace.packets()[1].ip);
  cut.resize(cut.size() - 4);
  writer.Write(cut, 1, 2, 0, static_cast<uint32_t>(cut.size() + 4));  // snap length
  writer.Write(
      hostsim::EthernetFrame(capgen::IpPacket("10.0.0.1", "10.0.0.2", 47, ByteVector(8, 0))), 1,
      3);  // GRE
  writer.Write(hostsim::EthernetFrame(capgen::IpPacket(
                   "10.0.0.1", "10.0.0.2", kIpProtocolTcp,
                   hostsim::TcpSegment(1, 80, 1, 1, kTcpFlagAck, ByteVector(1461, 'x')))),
               1, 4);
  writer.Write(hostsim::EthernetFrame(capgen::UdpPacket("10.0.0.1", 5000, "10.0.0.2", 0, {1})), 1,
               5);
  ASSERT_TRUE(writer.Close());
  const Scan scan = Run(path);
  EXPECT_EQ(scan.result.frames, 6u);
  EXPECT_EQ(scan.result.inspected, 1u);
  EXPECT_EQ(scan.result.notInspected, 2u);
  const std::string summary = FormatSummary({scan.result});
  EXPECT_NE(summary.find("3 skipped (1 not IP, 1 other IP protocol, 1 truncated)"),
            std::string::npos)
      << summary;
}

}  // namespace
}  // namespace nipstool
