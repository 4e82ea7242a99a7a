// What users read: alert lines (text and JSON Lines), the decoded driver log
// and the signature listing.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "hostsim/packet_builder.h"
#include "nips/engine/signature.h"
#include "tools/alert.h"
#include "tools/nimq_log.h"
#include "tools/signatures.h"

namespace nipstool {
namespace {

Alert TcpAlert() {
  Alert alert;
  alert.capture = "dir/capture.pcap";
  alert.pcapCount = 39;
  alert.seconds = 1709287204;  // 2024-03-01T10:00:04Z
  alert.microseconds = 19000;
  alert.ipProtocol = kIpProtocolTcp;
  const auto source = hostsim::Ipv4Address("10.0.0.66");
  const auto destination = hostsim::Ipv4Address("192.168.1.20");
  memcpy(alert.source.bytes, source.data(), 4);
  memcpy(alert.destination.bytes, destination.data(), 4);
  alert.source.version = alert.destination.version = 4;
  alert.sourcePort = 40019;
  alert.destinationPort = 1000;
  alert.signatureId = 3700;
  alert.severity = 3;
  alert.reaction = 3;
  alert.action = FW_ACTION_BLOCK_PACKET;
  return alert;
}

TEST(AlertOutputTest, JsonLineCarriesTheEveNames) {
  Alert alert = TcpAlert();
  alert.evidenceSlot = 5;
  alert.evidence = "127.0.0.1 \"quoted\"\nnext";
  const nlohmann::json record = nlohmann::json::parse(FormatAlertJson(alert));
  EXPECT_EQ(record["timestamp"], "2024-03-01T10:00:04.019000+00:00");
  EXPECT_EQ(record["event_type"], "alert");
  EXPECT_EQ(record["capture"], "dir/capture.pcap");
  EXPECT_EQ(record["pcap_cnt"], 39);
  EXPECT_EQ(record["src_ip"], "10.0.0.66");
  EXPECT_EQ(record["src_port"], 40019);
  EXPECT_EQ(record["dest_ip"], "192.168.1.20");
  EXPECT_EQ(record["dest_port"], 1000);
  EXPECT_EQ(record["proto"], "TCP");
  EXPECT_EQ(record["alert"]["signature_id"], 3700);
  EXPECT_EQ(record["alert"]["severity"], 3);
  EXPECT_EQ(record["alert"]["reaction"], 3);
  EXPECT_EQ(record["alert"]["action"], "blocked");
  EXPECT_EQ(record["alert"]["verdict"], "Block Packet");
  EXPECT_EQ(record["alert"]["evidence"], "127.0.0.1 \"quoted\"\nnext");
  EXPECT_EQ(FormatAlertJson(alert).find('\n'), std::string::npos);
}

TEST(AlertOutputTest, IcmpHasNoPortsAndAllowedVerdictsSayAllowed) {
  Alert alert = TcpAlert();
  alert.ipProtocol = kIpProtocolIcmpv6;
  const auto v6 = hostsim::Ipv6Address("2001:db8::1");
  memcpy(alert.source.bytes, v6.data(), 16);
  alert.source.version = 6;
  alert.action = FW_ACTION_ALLOW;
  const nlohmann::json record = nlohmann::json::parse(FormatAlertJson(alert));
  EXPECT_EQ(record["proto"], "IPv6-ICMP");
  EXPECT_EQ(record["src_ip"], "2001:db8::1");
  EXPECT_FALSE(record.contains("src_port"));
  EXPECT_FALSE(record.contains("dest_port"));
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

// ---- The driver's log as request 6 delivers it --------------------------------

void Put32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void PutRecord(std::vector<uint8_t>* out, uint32_t category, uint16_t kind,
               const std::u16string& text) {
  Put32(out, static_cast<uint32_t>(2 * text.size() + 12));
  Put32(out, 0);
  Put32(out, category);
  out->push_back(static_cast<uint8_t>(kind));
  out->push_back(static_cast<uint8_t>(kind >> 8));
  for (char16_t c : text) {
    out->push_back(static_cast<uint8_t>(c));
    out->push_back(static_cast<uint8_t>(c >> 8));
  }
  out->push_back(0);
  out->push_back(0);
}

TEST(NimqLogTest, RecordsAndTheOverflowMarkerDecodeToLines) {
  std::vector<uint8_t> bytes;
  PutRecord(&bytes, 16, kLogKindFlagged, u"Unexpected IP header\n");
  PutRecord(&bytes, 2, kLogKindUnflagged, u"Empty payload\n");
  Put32(&bytes, 0xFFFFFFFF);
  PutRecord(&bytes, 4, 0x33, u"caf\u00e9 \U0001F600 \xD800!");
  std::vector<LogRecord> records;
  std::string error;
  ASSERT_TRUE(DecodeNimqRecords(bytes.data(), bytes.size(), &records, &error)) << error;
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(FormatLogRecord(records[0]), "[16 flagged] Unexpected IP header");
  EXPECT_EQ(FormatLogRecord(records[1]), "[2 unflagged] Empty payload");
  EXPECT_TRUE(records[2].overflow);
  EXPECT_NE(FormatLogRecord(records[2]).find("dropped"), std::string::npos);
  EXPECT_EQ(FormatLogRecord(records[3]), "[4 kind 0x33] caf\u00e9 \U0001F600 \uFFFD!");
}

TEST(NimqLogTest, BrokenBytesStopTheDecodeAndKeepWhatCameBefore) {
  std::vector<uint8_t> good;
  PutRecord(&good, 8, kLogKindFlagged, u"ok");
  const std::vector<std::vector<uint8_t>> tails = {
      {1, 0},                   // a cut length word
      {11, 0, 0, 0},            // shorter than the fixed part
      {13, 0, 0, 0},            // odd length
      {100, 0, 0, 0, 1, 2, 3},  // longer than what is there
  };
  for (const auto& tail : tails) {
    std::vector<uint8_t> bytes = good;
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    std::vector<LogRecord> records;
    std::string error;
    EXPECT_FALSE(DecodeNimqRecords(bytes.data(), bytes.size(), &records, &error));
    EXPECT_FALSE(error.empty());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, "ok");
  }
}

TEST(SignatureListingTest, ListsEveryRowWithItsProtocolsAndDescription) {
  const std::string listing = SignatureListing();
  size_t lines = 0;
  for (char c : listing) lines += c == '\n';
  EXPECT_EQ(lines, 1 + kSignatureRows);
  for (const SignatureEntry& row : g_signatureTable.rows) {
    EXPECT_NE(listing.find(" " + std::to_string(row.signatureId) + "  "), std::string::npos);
    EXPECT_STRNE(SignatureSummary(row.signatureId), "") << row.signatureId;
  }
  EXPECT_EQ(ProtocolMaskNames(kProtocolMaskAll), "TCP UDP ICMP");
  EXPECT_EQ(ProtocolMaskNames(0), "none");
  EXPECT_STREQ(SignatureSummary(1), "");
}

}  // namespace
}  // namespace nipstool
