// The scan pipeline end to end: the real driver loaded through its entry
// routine, configured by requests 1-4, fed generated captures. The alert path
// is driven both by the built-in detectors and, through the plug-in's table
// seam, by scripted test detectors (evidence slots, errors, replay time).
#include <gtest/gtest.h>
#include <stdlib.h>

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
#include "tools/signatures.h"

namespace nipstool {
namespace {

using hostsim::ByteVector;

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/nips-scan-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

constexpr ULONG kRowTcpPortScan = 4;  // signature 3700, TCP

// The scripted table every scan of this fixture runs on, when asked.
SignatureTable& ScriptedTableForScans() {
  static SignatureTable table = testlib::ScriptedTable();
  return table;
}

std::unique_ptr<DriverLink> LoadWithScriptedTable(std::string* error) {
  std::unique_ptr<SimulatedDriver> driver = SimulatedDriver::Load(error);
  if (driver) {
    // The plug-in copies its rows from this table at every policy request.
    static_cast<NipsPlugin*>(driver->host().core().firewall().plugin())->table =
        &ScriptedTableForScans();
  }
  return driver;
}

struct Scan {
  CaptureResult result;
  std::vector<Alert> alerts;
};

class ScannerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testlib::Script().Reset();
    options_.policy = DefaultPolicy();
  }
  void TearDown() override {
    testlib::Script().Reset();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }

  Scan Run(const std::string& path) {
    Scan scan;
    scan.result =
        ScanCapture(path, options_, [&scan](const Alert& a) { scan.alerts.push_back(a); });
    EXPECT_EQ(scan.result.poolOutstandingAfterUnload, 0u) << path;
    EXPECT_EQ(scan.result.contractViolations, 0u) << path;
    return scan;
  }

  std::string Write(const std::string& name, const capgen::Trace& trace) {
    const std::string path = dir_.File(name);
    EXPECT_TRUE(capgen::WriteTrace(path, trace));
    return path;
  }

  TempDir dir_;
  ScanOptions options_;
};

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

TEST_F(ScannerTest, BenignTrafficIsInspectedWithoutAlerts) {
  const std::string path = Write("benign.pcap", capgen::BenignTrace());
  const Scan scan = Run(path);
  EXPECT_EQ(scan.result.status, ScanStatus::kOk) << scan.result.message;
  EXPECT_EQ(scan.result.frames, capgen::BenignTrace().size());
  EXPECT_EQ(scan.result.inspected, scan.result.frames);
  EXPECT_EQ(scan.result.skipped(), 0u);
  EXPECT_TRUE(scan.alerts.empty());
  EXPECT_EQ(scan.result.verdicts.at(FW_ACTION_ALLOW), scan.result.frames);
}

TEST_F(ScannerTest, BuiltInDetectorsRaiseAlertsOnTheGeneratedAttacks) {
  if (!SignatureImplemented(3700)) GTEST_SKIP() << "no detector for 3700 yet";
  std::vector<capgen::GeneratedCapture> written;
  std::string error;
  ASSERT_TRUE(capgen::WriteExamples(dir_.File("examples"), &written, &error)) << error;
  const Scan scan = Run(dir_.File("examples/attack-3700-tcp-port-scan.pcap"));
  ASSERT_EQ(scan.alerts.size(), 1u);
  EXPECT_EQ(scan.alerts[0].signatureId, 3700u);
  EXPECT_EQ(scan.alerts[0].pcapCount, 39u);
  EXPECT_EQ(scan.alerts[0].action, static_cast<uint32_t>(FW_ACTION_BLOCK_PACKET));
  EXPECT_EQ(scan.alerts[0].severity, 3u);
  EXPECT_EQ(scan.alerts[0].destinationPort, 1000);
  EXPECT_EQ(scan.result.alertsBySignature.at(3700), 1u);
}

TEST_F(ScannerTest, EvidenceIsFetchedForEveryAlertBeforeTheRingWraps) {
  options_.loadDriver = LoadWithScriptedTable;
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
  const Scan scan = Run(Write("tcp.pcap", TcpTrace(300)));
  EXPECT_EQ(scan.result.status, ScanStatus::kOk) << scan.result.message;
  ASSERT_EQ(scan.alerts.size(), 300u);
  for (size_t i = 0; i < scan.alerts.size(); ++i) {
    const Alert& alert = scan.alerts[i];
    EXPECT_EQ(alert.pcapCount, i + 1);
    EXPECT_EQ(alert.signatureId, 3700u);
    EXPECT_EQ(alert.evidenceSlot, i % kAdditionalDataSlots + 1);
    ASSERT_TRUE(alert.evidence.has_value());
    EXPECT_EQ(*alert.evidence, "evidence #" + std::to_string(i + 1));
  }
  const nlohmann::json record = nlohmann::json::parse(FormatAlertJson(scan.alerts[299]));
  EXPECT_EQ(record["alert"]["evidence"], "evidence #300");
  EXPECT_EQ(record["pcap_cnt"], 300);
}

TEST_F(ScannerTest, PolicyDecidesVerdictAndWhetherAMatchIsReported) {
  options_.loadDriver = LoadWithScriptedTable;
  testlib::Script().result[kRowTcpPortScan] = kDetectMatch;
  const std::string path = Write("tcp.pcap", TcpTrace(3));
  struct Case {
    const char* name;
    uint32_t level;
    uint32_t flag;
    bool blockHost;
    size_t alerts;
    uint32_t action;
  };
  const Case cases[] = {
      {"level 3 blocks the packet", 3, 1, false, 3, FW_ACTION_BLOCK_PACKET},
      {"level 4 with block_host blocks the host", 4, 1, true, 3, FW_ACTION_BLOCK_HOST},
      {"level 1 reports and allows", 1, 1, false, 3, FW_ACTION_ALLOW},
      {"level 1 without the flag is ignored", 1, 0, false, 0, FW_ACTION_ALLOW},
      {"level 3 without the flag still blocks", 3, 0, false, 3, FW_ACTION_BLOCK_PACKET},
      {"level 0 disables", 0, 1, false, 0, FW_ACTION_ALLOW},
  };
  for (const Case& c : cases) {
    options_.policy = DefaultPolicy();
    options_.policy.blockHost = c.blockHost;
    for (PolicyEntry& entry : options_.policy.signatures) {
      if (entry.id == 3700) {
        entry.level = c.level;
        entry.flag = c.flag;
      }
    }
    const Scan scan = Run(path);
    EXPECT_EQ(scan.result.status, ScanStatus::kOk) << c.name;
    ASSERT_EQ(scan.alerts.size(), c.alerts) << c.name;
    EXPECT_EQ(scan.result.verdicts.at(c.action), 3u) << c.name;
    for (const Alert& alert : scan.alerts) {
      EXPECT_EQ(alert.action, c.action) << c.name;
      EXPECT_EQ(alert.severity, c.level) << c.name;
      EXPECT_FALSE(alert.evidence.has_value()) << c.name;
    }
  }
}

TEST_F(ScannerTest, DetectorsRunOnCaptureTimeAndAdapterIndexFromTheInterface) {
  options_.loadDriver = LoadWithScriptedTable;
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
  const std::string path = dir_.File("two-interfaces.pcapng");
  ASSERT_TRUE(
      writer.Open(path, hostsim::CaptureWriter::Format::kPcapng, hostsim::kLinktypeEthernet, 3));
  uint32_t interfaceId = 0;
  for (const capgen::TimedPacket& p : trace.packets()) {
    writer.Write(hostsim::EthernetFrame(p.ip), p.seconds, p.microseconds, interfaceId);
    interfaceId = (interfaceId + 2) % 3;
  }
  ASSERT_TRUE(writer.Close());
  const Scan scan = Run(path);
  EXPECT_EQ(scan.result.status, ScanStatus::kOk) << scan.result.message;
  ASSERT_EQ(times.size(), 4u);
  for (size_t i = 0; i < times.size(); ++i) {
    const capgen::TimedPacket& p = trace.packets()[i];
    EXPECT_EQ(times[i], kt::SystemTimeFromUnix(p.seconds, p.microseconds));
  }
  EXPECT_EQ(adapters, (std::vector<ULONG>{1, 3, 2, 1}));
}

TEST_F(ScannerTest, DetectorFailuresAreCountedWithoutVerdicts) {
  options_.loadDriver = LoadWithScriptedTable;
  testlib::Script().result[kRowTcpPortScan] = kDetectError;
  const Scan scan = Run(Write("tcp.pcap", TcpTrace(5)));
  EXPECT_EQ(scan.result.status, ScanStatus::kOk);
  EXPECT_EQ(scan.result.failed, 5u);
  EXPECT_EQ(scan.result.inspected, 0u);
  EXPECT_TRUE(scan.alerts.empty());
  EXPECT_NE(FormatSummary({scan.result}).find("5 failed"), std::string::npos);
}

TEST_F(ScannerTest, LogReaderDeliversTheDriversLogDecoded) {
  options_.loadDriver = LoadWithScriptedTable;
  testlib::Script().result[kRowTcpPortScan] = kDetectMatch;
  options_.logMask = 0x1F;
  std::mutex mutex;
  std::vector<LogRecord> records;
  options_.onLog = [&](const LogRecord& record) {
    std::lock_guard<std::mutex> guard(mutex);
    records.push_back(record);
  };
  const Scan scan = Run(Write("tcp.pcap", TcpTrace(2)));
  EXPECT_EQ(scan.result.status, ScanStatus::kOk) << scan.result.message;
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

TEST_F(ScannerTest, RequestFiveIsNotSentWithoutAMask) {
  // With the driver's default mask (errors and malformed packets) a clean
  // capture leaves the log empty.
  size_t records = 0;
  options_.onLog = [&records](const LogRecord&) { ++records; };
  const Scan scan = Run(Write("tcp.pcap", TcpTrace(2)));
  EXPECT_EQ(scan.result.status, ScanStatus::kOk);
  EXPECT_EQ(records, 0u);
}

TEST_F(ScannerTest, BadCapturesAreInputErrorsNamingTheFile) {
  const std::string text = dir_.File("notes.pcap");
  FILE* f = fopen(text.c_str(), "w");
  fputs("not a capture\n", f);
  fclose(f);
  const std::string wifi = dir_.File("wifi.pcap");
  capgen::Trace one = TcpTrace(1);
  ASSERT_TRUE(capgen::WriteTrace(wifi, one, hostsim::CaptureWriter::Format::kPcap,
                                 hostsim::kLinktypeIeee80211));
  struct Case {
    std::string path;
    const char* reason;
  };
  const Case cases[] = {{dir_.File("missing.pcap"), "No such file"},
                        {text, "not a pcap or pcapng capture"},
                        {wifi, "unsupported link type IEEE802_11 (105)"}};
  for (const Case& c : cases) {
    const Scan scan = Run(c.path);
    EXPECT_EQ(scan.result.status, ScanStatus::kInputError) << c.path;
    EXPECT_EQ(scan.result.message.rfind(c.path + ": ", 0), 0u) << scan.result.message;
    EXPECT_NE(scan.result.message.find(c.reason), std::string::npos) << scan.result.message;
    EXPECT_EQ(scan.result.frames, 0u);
  }
}

TEST_F(ScannerTest, TruncatedCaptureStillReportsTheAlertsBeforeTheCut) {
  options_.loadDriver = LoadWithScriptedTable;
  testlib::Script().result[kRowTcpPortScan] = kDetectMatch;
  const std::string path = Write("tcp.pcap", TcpTrace(10));
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 20);
  const Scan scan = Run(path);
  EXPECT_EQ(scan.result.status, ScanStatus::kInputError);
  EXPECT_NE(scan.result.message.find("read error after frame 9"), std::string::npos)
      << scan.result.message;
  EXPECT_EQ(scan.result.frames, 9u);
  EXPECT_EQ(scan.alerts.size(), 9u);
}

TEST_F(ScannerTest, SkippedFramesAreCountedByReason) {
  capgen::Trace trace = TcpTrace(2);
  hostsim::CaptureWriter writer;
  const std::string path = dir_.File("mixed.pcap");
  ASSERT_TRUE(writer.Open(path, hostsim::CaptureWriter::Format::kPcap, hostsim::kLinktypeEthernet));
  writer.Write(hostsim::EthernetFrame(trace.packets()[0].ip), 1, 0);
  writer.Write(hostsim::EthernetFrameWithType(0x0806, ByteVector(28, 0)), 1, 1);  // ARP
  ByteVector cut = hostsim::EthernetFrame(trace.packets()[1].ip);
  cut.resize(cut.size() - 4);
  writer.Write(cut, 1, 2, 0, static_cast<uint32_t>(cut.size() + 4));  // snap length
  writer.Write(
      hostsim::EthernetFrame(capgen::IpPacket("10.0.0.1", "10.0.0.2", 47, ByteVector(8, 0))), 1,
      3);  // GRE
  ASSERT_TRUE(writer.Close());
  const Scan scan = Run(path);
  EXPECT_EQ(scan.result.frames, 4u);
  EXPECT_EQ(scan.result.inspected, 1u);
  EXPECT_EQ(scan.result.decodeResults[static_cast<int>(hostsim::DecodeResult::kNonIp)], 1u);
  EXPECT_EQ(scan.result.decodeResults[static_cast<int>(hostsim::DecodeResult::kTruncated)], 1u);
  EXPECT_EQ(
      scan.result.decodeResults[static_cast<int>(hostsim::DecodeResult::kUnsupportedTransport)],
      1u);
  const std::string summary = FormatSummary({scan.result});
  EXPECT_NE(summary.find("3 skipped (1 not IP, 1 other IP protocol, 1 truncated)"),
            std::string::npos)
      << summary;
}

TEST_F(ScannerTest, PayloadsTheDriverRefusesAreCountedNotInspected) {
  // A 1461-byte payload is over the driver's limit; a UDP packet to port 0 is
  // refused before any detector.
  capgen::Trace trace;
  trace.Add(capgen::IpPacket("10.0.0.1", "10.0.0.2", kIpProtocolTcp,
                             hostsim::TcpSegment(1, 80, 1, 1, kTcpFlagAck, ByteVector(1461, 'x'))));
  trace.Add(capgen::UdpPacket("10.0.0.1", 5000, "10.0.0.2", 0, {1}));
  const Scan scan = Run(Write("refused.pcap", trace));
  EXPECT_EQ(scan.result.notInspected, 2u);
  EXPECT_EQ(scan.result.inspected, 0u);
}

TEST_F(ScannerTest, ScansAreIndependentOfEachOther) {
  options_.loadDriver = LoadWithScriptedTable;
  testlib::Script().result[kRowTcpPortScan] = kDetectMatch;
  const std::string path = Write("tcp.pcap", TcpTrace(4));
  const Scan first = Run(path);
  const Scan second = Run(path);
  ASSERT_EQ(first.alerts.size(), 4u);
  ASSERT_EQ(second.alerts.size(), 4u);
  EXPECT_EQ(FormatAlertJson(first.alerts[3]), FormatAlertJson(second.alerts[3]));
  const std::string summary = FormatSummary({first.result, second.result});
  EXPECT_NE(summary.find("total: 2 captures, 8 frames, 8 inspected"), std::string::npos) << summary;
  EXPECT_NE(summary.find("alerts: 8 (3700 x8)"), std::string::npos) << summary;
  EXPECT_NE(summary.find("verdicts: Allow 0, Block Packet 8, Block Host 0"), std::string::npos)
      << summary;
}

}  // namespace
}  // namespace nipstool
