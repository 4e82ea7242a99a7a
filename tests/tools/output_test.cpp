// What users read: alert lines (text and JSON Lines) and the decoded driver log.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tools/alert.h"
#include "tools/nimq_log.h"

namespace nipstool {
namespace {

Alert TcpAlert() {  // 1709287204 is 2024-03-01T10:00:04Z
  // clang-format off
  return {.capture = "dir/capture.pcap", .pcapCount = 39, .seconds = 1709287204,
          .microseconds = 19000, .ipProtocol = kIpProtocolTcp, .source = {{10, 0, 0, 66}, 4},
          .destination = {{192, 168, 1, 20}, 4}, .sourcePort = 40019, .destinationPort = 1000,
          .signatureId = 3700, .severity = 3, .reaction = 3, .action = FW_ACTION_BLOCK_PACKET,
          .evidenceSlot = 5, .evidence = "127.0.0.1 \"quoted\"\nnext", .inIface = ""};
  // clang-format on
}

// Then ICMPv6 without evidence, allowed: no ports, no evidence; then the text line.
TEST(AlertOutputTest, JsonAndTextLinesCarryEveryField) {
  Alert alert = TcpAlert();
  std::string line = FormatAlertJson(alert);
  EXPECT_EQ(line.find('\n'), std::string::npos);
  nlohmann::json expected = nlohmann::json::parse(R"({
      "timestamp": "2024-03-01T10:00:04.019000+00:00", "event_type": "alert",
      "pcap_filename": "dir/capture.pcap",
      "capture": "dir/capture.pcap", "pcap_cnt": 39, "src_ip": "10.0.0.66", "src_port": 40019,
      "dest_ip": "192.168.1.20", "dest_port": 1000, "proto": "TCP",
      "alert": {"gid": 1, "signature_id": 3700, "rev": 1,
                "signature": "TCP port scan: one source probing many ports",
                "category": "Detection of a Network Scan", "severity": 3, "reaction": 3,
                "action": "blocked", "verdict": "Block Packet",
                "evidence": "127.0.0.1 \"quoted\"\nnext"}})");
  expected["flow_id"] = FlowId(alert);
  EXPECT_EQ(nlohmann::json::parse(line), expected) << line;
  expected.erase("flow_id");
  alert.ipProtocol = kIpProtocolIcmpv6;
  alert.evidence.reset();
  alert.action = FW_ACTION_ALLOW;
  expected["proto"] = "IPv6-ICMP";
  expected.erase("src_port"), expected.erase("dest_port"), expected["alert"].erase("evidence");
  expected["alert"].update({{"action", "allowed"}, {"verdict", "Allow"}});
  expected["flow_id"] = FlowId(alert);
  EXPECT_EQ(nlohmann::json::parse(FormatAlertJson(alert)), expected);
  alert = TcpAlert();
  alert.evidence = "two\nlines";
  line = FormatAlertText(alert);
  EXPECT_EQ(line.rfind("2024-03-01T10:00:04.019000+00:00  [Block Packet] [3700] ", 0), 0u) << line;
  for (const char* part : {"[Severity: 3]", "{TCP} 10.0.0.66:40019 -> 192.168.1.20:1000",
                           "[dir/capture.pcap:39]", "[Evidence: \"two\\nlines\"]"})
    EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
  EXPECT_EQ(line.find('\n'), std::string::npos);
  alert.destination = {{}, 6};
  EXPECT_NE(FormatAlertText(alert).find("-> [::]:1000"), std::string::npos);
  // Live traffic: the input interface instead of the capture and its frame.
  alert.capture.clear();
  alert.inIface = "r0";
  const nlohmann::json live = nlohmann::json::parse(FormatAlertJson(alert));
  EXPECT_EQ(live.value("in_iface", ""), "r0");
  for (const char* absent : {"capture", "pcap_cnt", "pcap_filename"}) {
    EXPECT_FALSE(live.contains(absent)) << absent;
  }
  EXPECT_NE(FormatAlertText(alert).find("[r0:live]"), std::string::npos);
}

// Both directions of a conversation share the flow id; any field of the
// 5-tuple changes it; it stays exact as a double.
TEST(AlertOutputTest, FlowIdIsOneForBothDirectionsAndDiffersPerFiveTuple) {
  const Alert forward = TcpAlert();
  Alert reverse = forward;
  std::swap(reverse.source, reverse.destination);
  std::swap(reverse.sourcePort, reverse.destinationPort);
  EXPECT_EQ(FlowId(forward), FlowId(reverse));
  EXPECT_LT(FlowId(forward), uint64_t{1} << 51);
  Alert other = forward;
  other.sourcePort = 40020;
  EXPECT_NE(FlowId(other), FlowId(forward));
  other = forward;
  other.ipProtocol = kIpProtocolUdp;
  EXPECT_NE(FlowId(other), FlowId(forward));
  other = forward;
  other.destination.bytes[3] = 21;
  EXPECT_NE(FlowId(other), FlowId(forward));
}

void Put(std::vector<uint8_t>* out, uint32_t v, int bytes = 4) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// One record of the driver's log as request 6 delivers it.
void PutRecord(std::vector<uint8_t>* out, uint32_t category, uint16_t kind,
               const std::u16string& text) {
  Put(out, static_cast<uint32_t>(2 * text.size() + 12)), Put(out, 0), Put(out, category);
  Put(out, kind, 2);
  for (char16_t c : text + u'\0') Put(out, c, 2);
}

TEST(NimqLogTest, RecordsAndTheOverflowMarkerDecodeToLinesAndBrokenBytesStopTheDecode) {
  std::vector<uint8_t> bytes;
  PutRecord(&bytes, 16, kLogKindFlagged, u"Unexpected IP header\n");
  PutRecord(&bytes, 2, kLogKindUnflagged, u"Empty payload\n");
  Put(&bytes, 0xFFFFFFFF);
  PutRecord(&bytes, 4, 0x33, u"caf\u00e9 \U0001F600 \xD800!");
  std::vector<LogRecord> records;
  std::string error;
  ASSERT_TRUE(DecodeNimqRecords(bytes.data(), bytes.size(), &records, &error)) << error;
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(FormatLogRecord(records[0]), "[16 flagged] Unexpected IP header");
  EXPECT_EQ(FormatLogRecord(records[1]), "[2 unflagged] Empty payload");
  EXPECT_TRUE(records[2].overflow);
  EXPECT_EQ(FormatLogRecord(records[2]),
            "[overflow] the log queue was full: records were dropped here");
  EXPECT_EQ(FormatLogRecord(records[3]), "[4 kind 0x33] caf\u00e9 \U0001F600 \uFFFD!");
  // Broken bytes stop the decode and keep what came before: a cut length word, shorter than the
  // fixed part, odd, longer than what is there.
  for (const std::vector<uint8_t>& tail :
       {std::vector<uint8_t>{1, 0}, {11, 0, 0, 0}, {13, 0, 0, 0}, {100, 0, 0, 0, 1, 2, 3}}) {
    std::vector<uint8_t> broken = bytes;
    broken.insert(broken.end(), tail.begin(), tail.end());
    std::vector<LogRecord> kept;
    EXPECT_FALSE(DecodeNimqRecords(broken.data(), broken.size(), &kept, &error));
    EXPECT_FALSE(error.empty());
    ASSERT_EQ(kept.size(), 4u);
    EXPECT_EQ(FormatLogRecord(kept[3]), FormatLogRecord(records[3]));
    error.clear();
  }
}

}  // namespace
}  // namespace nipstool
