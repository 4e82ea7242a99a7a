// What users read: alert lines (text and JSON Lines) and the decoded driver
// log.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "hostsim/packet_builder.h"
#include "tools/alert.h"
#include "tools/nimq_log.h"

namespace nipstool {
namespace {

Alert TcpAlert() {
  Alert alert;
  alert.capture = "dir/capture.pcap";
  alert.pcapCount = 39;
  alert.seconds = 1709287204;  // 2024-03-01T10:00:04Z
  alert.microseconds = 19000;
  alert.ipProtocol = kIpProtocolTcp;
  memcpy(alert.source.bytes, hostsim::Ipv4Address("10.0.0.66").data(), 4);
  memcpy(alert.destination.bytes, hostsim::Ipv4Address("192.168.1.20").data(), 4);
  alert.source.version = alert.destination.version = 4;
  alert.sourcePort = 40019;
  alert.destinationPort = 1000;
  alert.signatureId = 3700;
  alert.severity = 3;
  alert.reaction = 3;
  alert.action = FW_ACTION_BLOCK_PACKET;
  alert.evidenceSlot = 5;
  alert.evidence = "127.0.0.1 \"quoted\"\nnext";
  return alert;
}

TEST(AlertOutputTest, JsonLineCarriesEveryField) {
  const std::string line = FormatAlertJson(TcpAlert());
  EXPECT_EQ(line.find('\n'), std::string::npos);
  const nlohmann::json expected = {{"timestamp", "2024-03-01T10:00:04.019000+00:00"},
                                   {"event_type", "alert"},
                                   {"capture", "dir/capture.pcap"},
                                   {"pcap_cnt", 39},
                                   {"src_ip", "10.0.0.66"},
                                   {"src_port", 40019},
                                   {"dest_ip", "192.168.1.20"},
                                   {"dest_port", 1000},
                                   {"proto", "TCP"},
                                   {"alert",
                                    {{"signature_id", 3700},
                                     {"severity", 3},
                                     {"reaction", 3},
                                     {"action", "blocked"},
                                     {"verdict", "Block Packet"},
                                     {"evidence", "127.0.0.1 \"quoted\"\nnext"}}}};
  EXPECT_EQ(nlohmann::json::parse(line), expected) << line;
}

TEST(AlertOutputTest, IcmpHasNoPortsAndAllowedVerdictsSayAllowed) {
  Alert alert = TcpAlert();
  alert.ipProtocol = kIpProtocolIcmpv6;
  memcpy(alert.source.bytes, hostsim::Ipv6Address("2001:db8::1").data(), 16);
  alert.source.version = 6;
  alert.evidence.reset();
  alert.action = FW_ACTION_ALLOW;
  const nlohmann::json record = nlohmann::json::parse(FormatAlertJson(alert));
  EXPECT_EQ(record["proto"], "IPv6-ICMP");
  EXPECT_EQ(record["src_ip"], "2001:db8::1");
  EXPECT_FALSE(record.contains("src_port") || record.contains("dest_port"));
  EXPECT_FALSE(record["alert"].contains("evidence"));
  EXPECT_EQ(record["alert"]["action"], "allowed");
  EXPECT_EQ(record["alert"]["verdict"], "Allow");
  alert.action = FW_ACTION_BLOCK_HOST;
  EXPECT_EQ(nlohmann::json::parse(FormatAlertJson(alert))["alert"]["verdict"], "Block Host");
}

TEST(AlertOutputTest, TextLineNamesEverything) {
  Alert alert = TcpAlert();
  alert.evidence = "two\nlines";
  const std::string line = FormatAlertText(alert);
  EXPECT_EQ(line.rfind("2024-03-01T10:00:04.019000+00:00  [Block Packet] [3700] ", 0), 0u) << line;
  for (const char* part : {"[Severity: 3]", "{TCP} 10.0.0.66:40019 -> 192.168.1.20:1000",
                           "[dir/capture.pcap:39]", "[Evidence: \"two\\nlines\"]"}) {
    EXPECT_NE(line.find(part), std::string::npos) << part << " in " << line;
  }
  EXPECT_EQ(line.find('\n'), std::string::npos);
  alert.destination = {};
  alert.destination.version = 6;
  EXPECT_NE(FormatAlertText(alert).find("-> [::]:1000"), std::string::npos);
}

// ---- The driver's log as request 6 delivers it ----

void Put(std::vector<uint8_t>* out, uint32_t v, int bytes = 4) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutRecord(std::vector<uint8_t>* out, uint32_t category, uint16_t kind,
               const std::u16string& text) {
  Put(out, static_cast<uint32_t>(2 * text.size() + 12));
  Put(out, 0);
  Put(out, category);
  Put(out, kind, 2);
  for (char16_t c : text + u'\0') Put(out, c, 2);
}

TEST(NimqLogTest, RecordsAndTheOverflowMarkerDecodeToLines) {
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
}

TEST(NimqLogTest, BrokenBytesStopTheDecodeAndKeepWhatCameBefore) {
  const std::vector<std::vector<uint8_t>> tails = {
      {1, 0},                   // a cut length word
      {11, 0, 0, 0},            // shorter than the fixed part
      {13, 0, 0, 0},            // odd length
      {100, 0, 0, 0, 1, 2, 3},  // longer than what is there
  };
  for (const auto& tail : tails) {
    std::vector<uint8_t> bytes;
    PutRecord(&bytes, 8, kLogKindFlagged, u"ok");
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    std::vector<LogRecord> records;
    std::string error;
    EXPECT_FALSE(DecodeNimqRecords(bytes.data(), bytes.size(), &records, &error));
    EXPECT_FALSE(error.empty());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "ok");
  }
}

}  // namespace
}  // namespace nipstool
