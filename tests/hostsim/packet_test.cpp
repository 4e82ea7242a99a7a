// The simulated core's per-packet objects: what each slot hands the plug-in
// for a decoded frame, and what the verdict sink records.
#include <gtest/gtest.h>

#include "hostsim/packet.h"
#include "hostsim/packet_builder.h"

namespace hostsim {
namespace {

DecodedPacket DecodeRaw(const ByteVector& ip) {
  DecodedPacket packet{};
  EXPECT_EQ(DecodeIp(ip.data(), ip.size(), &packet), DecodeResult::kOk);
  return packet;
}

TEST(SimPacketTest, SlotsReportTheDecodedTcpPacket) {
  Ipv4Header header;
  header.source = Ipv4Address("10.9.8.7");
  header.destination = Ipv4Address("10.1.1.1");
  header.options = {1, 1, 1, 1};
  const ByteVector ip = Ipv4Packet(header, TcpSegment(50000, 445, 1, 1, kTcpFlagSyn | kTcpFlagAck,
                                                      BytesOf("smb"), {1, 1, 1, 1}));
  SimPacket packet;
  packet.Reset(DecodeRaw(ip), 3);

  HostFlow* flow = packet.GetFlow();
  EXPECT_EQ(flow->GetProtocol(), kIpProtocolTcp);
  EXPECT_EQ(flow->GetSourcePort(), __builtin_bswap16(50000));
  EXPECT_EQ(flow->GetDestinationPort(), __builtin_bswap16(445));
  EXPECT_EQ(flow->GetPortA(), flow->GetSourcePort());
  EXPECT_EQ(flow->GetPortB(), flow->GetDestinationPort());
  EXPECT_EQ(flow->GetSourceAddress()->bytes[0], 10);
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
  const UCHAR* first = data->GetPayload(&length);
  EXPECT_EQ(length, 3u);
  length = 999;
  EXPECT_EQ(data->GetPayload(&length), first);
  EXPECT_EQ(length, 3u);
  EXPECT_EQ(std::string(first, first + 3), "smb");

  EXPECT_EQ(packet.GetAdapter()->GetIndex(), 3u);
  EXPECT_EQ(packet.GetBuffer()->GetLength(), ip.size());
  EXPECT_EQ(packet.GetApplication()->GetProcessId(), kNoProcessId);
  EXPECT_EQ(packet.GetApplication()->GetImagePath(&length), nullptr);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(packet.GetSigMask(), nullptr);
}

TEST(SimPacketTest, VerdictSinkRecordsCallsAndResetForgetsThem) {
  const ByteVector ip = [] {
    Ipv6Header header;
    header.source = Ipv6Address("2001:db8::1");
    header.destination = Ipv6Address("2001:db8::2");
    header.protocol = kIpProtocolIcmpv6;
    return Ipv6Packet(header, IcmpMessage(128, 0, 1, {}));
  }();
  SimPacket packet;
  packet.Reset(DecodeRaw(ip));
  EXPECT_EQ(packet.GetAdapter()->GetIndex(), kDefaultAdapterIndex);
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

  packet.Reset(DecodeRaw(ip));
  EXPECT_EQ(packet.verdict().verdictCalls, 0u);
  EXPECT_EQ(packet.verdict().reportCalls, 0u);
  EXPECT_FALSE(packet.verdict().reportBeforeVerdict);
  EXPECT_EQ(packet.verdict().signatureId, 0u);
}

TEST(SimPacketTest, ProcessAndSigMaskCanBeGivenForTests) {
  const ByteVector ip = [] {
    Ipv4Header header;
    header.source = Ipv4Address("10.0.0.1");
    header.destination = Ipv4Address("10.0.0.2");
    header.protocol = kIpProtocolUdp;
    return Ipv4Packet(header, UdpDatagram(1, 1434, {4}));
  }();
  SimPacket packet;
  packet.Reset(DecodeRaw(ip));
  const std::u16string path = u"C:\\Program Files\\sqlservr.exe";
  packet.application().SetProcess(4242, reinterpret_cast<const WCHAR*>(path.data()), path.size());
  const ULONG mask[4] = {1, 0, 0, 0};
  packet.set_sig_mask(mask);
  ULONG64 length = 0;
  EXPECT_EQ(packet.GetApplication()->GetProcessId(), 4242u);
  EXPECT_EQ(packet.GetApplication()->GetImagePath(&length),
            reinterpret_cast<const WCHAR*>(path.data()));
  EXPECT_EQ(length, path.size());
  EXPECT_EQ(packet.GetSigMask(), mask);
}

}  // namespace
}  // namespace hostsim
