#include <gtest/gtest.h>

#include "hostsim/packet.h"
#include "hostsim/packet_builder.h"

namespace hostsim {
namespace {

TEST(SimPacketTest, SlotsReportTheDecodedPacketAndTheSinkRecordsVerdicts) {
  const ByteVector ip = Ipv4Packet(
      {Ipv4Address("10.9.8.7"), Ipv4Address("10.1.1.1"), 6, 64, 0, 0x4000, {1, 1, 1, 1}},
      TcpSegment(50000, 445, 1, 1, kTcpFlagSyn | kTcpFlagAck, BytesOf("smb"), {1, 1, 1, 1}));
  DecodedPacket decoded{};
  ASSERT_EQ(DecodeIp(ip.data(), ip.size(), &decoded), DecodeResult::kOk);  // ip outlives packet
  SimPacket packet;
  packet.Reset(decoded);
  EXPECT_EQ(packet.GetAdapter()->GetIndex(), 1u);  // a capture without interfaces: interface 0 + 1
  HostFlow* flow = packet.GetFlow();
  EXPECT_EQ(flow->GetProtocol(), kIpProtocolTcp);
  EXPECT_EQ(flow->GetSourcePort(), 0x50C3);  // 50000 in network byte order
  EXPECT_EQ(flow->GetDestinationPort(), 0xBD01);
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
  const UCHAR* payload = data->GetPayload(&length);
  EXPECT_EQ(std::string(payload, payload + length), "smb");
  EXPECT_EQ(packet.GetBuffer()->GetLength(), ip.size());
  EXPECT_EQ(packet.GetApplication()->GetProcessId(), ~0ULL);  // no process known
  EXPECT_EQ(packet.GetSigMask(), nullptr);

  packet.GetVerdictSink()->ReportIntrusion(1, 2, 3, 4);
  packet.GetVerdictSink()->SetVerdict(FW_ACTION_BLOCK_PACKET, 0, 0xFFFFFFFF, 2);
  packet.GetVerdictSink()->ReportIntrusion(3700, 3, 3, 17);
  const VerdictRecord& record = packet.verdict();
  EXPECT_TRUE(record.reportBeforeVerdict);
  EXPECT_EQ(record.verdictCalls, 1u);
  EXPECT_EQ(record.reportCalls, 2u);
  // A process known for one packet is forgotten with the next.
  static const WCHAR kPath[] = u"C:\\sql\\sqlservr.exe";
  packet.application().SetProcess(812, kPath, 20);
  EXPECT_EQ(std::pair(packet.GetApplication()->GetImagePath(&length), length),
            std::pair(kPath, ULONG64{20}));
  EXPECT_EQ(packet.GetApplication()->GetProcessId(), 812u);
  packet.Reset(decoded);
  EXPECT_EQ(record.verdictCalls + record.reportCalls, 0u);
  EXPECT_FALSE(record.reportBeforeVerdict);
  EXPECT_EQ(packet.GetApplication()->GetProcessId(), ~0ULL);
  EXPECT_EQ(packet.GetApplication()->GetImagePath(&length), nullptr);
  EXPECT_EQ(length, 0u);
}

}  // namespace
}  // namespace hostsim
