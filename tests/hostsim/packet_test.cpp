// The simulated core's per-packet objects: what each slot hands the plug-in
// for a decoded frame, and what the verdict sink records.
#include <gtest/gtest.h>

#include "hostsim/packet.h"
#include "hostsim/packet_builder.h"

namespace hostsim {
namespace {

TEST(SimPacketTest, SlotsReportTheDecodedPacket) {
  Ipv4Header header;
  header.source = Ipv4Address("10.9.8.7");
  header.destination = Ipv4Address("10.1.1.1");
  header.options = {1, 1, 1, 1};
  const ByteVector ip = Ipv4Packet(header, TcpSegment(50000, 445, 1, 1, kTcpFlagSyn | kTcpFlagAck,
                                                      BytesOf("smb"), {1, 1, 1, 1}));
  DecodedPacket decoded{};
  ASSERT_EQ(DecodeIp(ip.data(), ip.size(), &decoded), DecodeResult::kOk);  // ip outlives packet
  SimPacket packet;
  packet.Reset(decoded);
  EXPECT_EQ(packet.GetAdapter()->GetIndex(), 1u);   // a capture without interfaces: interface 0 + 1
  packet.Reset(decoded, 2 + kDefaultAdapterIndex);  // pcapng interface 2
  EXPECT_EQ(packet.GetAdapter()->GetIndex(), 3u);

  HostFlow* flow = packet.GetFlow();
  EXPECT_EQ(flow->GetProtocol(), kIpProtocolTcp);
  EXPECT_EQ(flow->GetSourcePort(), 0x50C3);  // 50000 in network byte order
  EXPECT_EQ(flow->GetDestinationPort(), 0xBD01);
  EXPECT_EQ(flow->GetPortA(), flow->GetSourcePort());
  EXPECT_EQ(flow->GetPortB(), flow->GetDestinationPort());
  EXPECT_EQ(flow->GetSourceAddress()->bytes[3], 7);
  EXPECT_EQ(flow->GetDestinationAddress()->version, 4u);

  HostPacketData* data = packet.GetPacketData();
  EXPECT_EQ(data->GetNetworkProtocol(), kNetworkProtocolIpv4);
  ULONG64 length = 12345;
  EXPECT_EQ(data->GetIpHeader(&length), ip.data());
  EXPECT_EQ(length, 24u);
  EXPECT_EQ(data->GetTransportHeader(&length), ip.data() + 24);
  EXPECT_EQ(length, 24u);
  EXPECT_EQ(data->GetTcpFlags(), kTcpFlagSyn | kTcpFlagAck);
  // Every call gives the same payload, whatever the length variable held.
  const UCHAR* payload = data->GetPayload(&length);
  EXPECT_EQ(std::string(payload, payload + length), "smb");
  length = 999;
  EXPECT_EQ(data->GetPayload(&length), payload);
  EXPECT_EQ(length, 3u);

  EXPECT_EQ(packet.GetBuffer()->GetLength(), ip.size());
  EXPECT_EQ(packet.GetApplication()->GetProcessId(), ~0ULL);  // no process known
  EXPECT_EQ(packet.GetApplication()->GetImagePath(&length), nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(packet.GetSigMask(), nullptr);

  // Tests may give a process and a signature mask.
  const std::u16string path = u"C:\\Program Files\\sqlservr.exe";
  const WCHAR* wide = reinterpret_cast<const WCHAR*>(path.data());
  packet.application().SetProcess(4242, wide, path.size());
  const ULONG mask[4] = {1, 0, 0, 0};
  packet.set_sig_mask(mask);
  EXPECT_EQ(packet.GetApplication()->GetProcessId(), 4242u);
  EXPECT_EQ(packet.GetApplication()->GetImagePath(&length), wide);
  EXPECT_EQ(length, path.size());
  EXPECT_EQ(packet.GetSigMask(), mask);
}

TEST(SimPacketTest, VerdictSinkRecordsCallsAndResetForgetsThem) {
  Ipv6Header header;
  header.protocol = kIpProtocolIcmpv6;
  const ByteVector ip = Ipv6Packet(header, IcmpMessage(128, 0, 1, {}));
  DecodedPacket decoded{};
  ASSERT_EQ(DecodeIp(ip.data(), ip.size(), &decoded), DecodeResult::kOk);
  SimPacket packet;
  packet.Reset(decoded);
  EXPECT_EQ(packet.GetFlow()->GetPortA(), 0);

  HostVerdictSink* sink = packet.GetVerdictSink();
  sink->ReportIntrusion(1, 2, 3, 4);
  EXPECT_TRUE(packet.verdict().reportBeforeVerdict);
  sink->SetVerdict(FW_ACTION_BLOCK_PACKET, 0, 0xFFFFFFFF, 2);
  sink->ReportIntrusion(3700, 3, 3, 17);
  const VerdictRecord& record = packet.verdict();
  EXPECT_EQ(record.verdictCalls, 1u);
  EXPECT_EQ(record.reportCalls, 2u);
  EXPECT_EQ(record.action, static_cast<ULONG>(FW_ACTION_BLOCK_PACKET));
  EXPECT_EQ(record.actionParameter, 0xFFFFFFFFu);
  EXPECT_EQ(record.kind, 2u);
  EXPECT_EQ(record.signatureId, 3700u);
  EXPECT_EQ(record.additionalDataIndex, 17u);

  packet.Reset(decoded);
  EXPECT_EQ(packet.verdict().verdictCalls, 0u);
  EXPECT_EQ(packet.verdict().reportCalls, 0u);
  EXPECT_FALSE(packet.verdict().reportBeforeVerdict);
  EXPECT_EQ(packet.verdict().signatureId, 0u);
}

}  // namespace
}  // namespace hostsim
