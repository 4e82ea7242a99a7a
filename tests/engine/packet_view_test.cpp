// The packet view's checks: each refusal, its one log line, no verdict.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "engine_fixture.h"

namespace enginetest {
namespace {

using testlib::FakePacket;

struct Refusal {
  const char* name;
  std::function<void(FakePacket*)> mutate;
  const char* line;
  ULONG category;
  USHORT kind;
};

const Refusal kRefusals[] = {
    {"null flow", [](FakePacket* p) { p->SetNullFlow(true); }, "Unexpected null packet interface\n",
     kLogError, kLogKindFlagged},
    {"null data", [](FakePacket* p) { p->SetNullData(true); }, "Unexpected null packet interface\n",
     kLogError, kLogKindFlagged},
    {"null adapter", [](FakePacket* p) { p->SetNullAdapter(true); },
     "Unexpected null packet interface\n", kLogError, kLogKindFlagged},
    {"null buffer", [](FakePacket* p) { p->SetNullBuffer(true); },
     "Unexpected null packet interface\n", kLogError, kLogKindFlagged},
    {"port A 0", [](FakePacket* p) { p->SetPortA(0); }, "Unexpected port 0\n", kLogInfo,
     kLogKindFlagged},
    {"port B 0", [](FakePacket* p) { p->SetPortB(0); }, "Unexpected port 0\n", kLogInfo,
     kLogKindFlagged},
    // The port test comes before the loopback and network-protocol tests.
    {"port 0 before loopback and ARP",
     [](FakePacket* p) {
       p->SetPortB(0);
       p->SetAdapterIndex(0xFFFFFFFF);
       p->SetNetworkProtocol(0x0806);
     },
     "Unexpected port 0\n", kLogInfo, kLogKindFlagged},
    {"loopback", [](FakePacket* p) { p->SetAdapterIndex(0xFFFFFFFF); },
     "Ignore potential loopback (-1) packet\n", kLogInfo, kLogKindUnflagged},
    {"ARP", [](FakePacket* p) { p->SetNetworkProtocol(0x0806); },
     "Unexpected non-ip network layer protocol\n", kLogError, kLogKindFlagged},
    {"null IP header", [](FakePacket* p) { p->SetNullIpHeader(true); }, "Unexpected IP header\n",
     kLogMalformed, kLogKindFlagged},
    {"empty IP header", [](FakePacket* p) { p->SetIpHeader({}); }, "Unexpected IP header size\n",
     kLogMalformed, kLogKindFlagged},
    {"GRE", [](FakePacket* p) { p->SetProtocol(47); }, "Unexpected protocol\n", kLogError,
     kLogKindFlagged},
    {"null transport header", [](FakePacket* p) { p->SetNullTransportHeader(true); },
     "Unexpected transport header\n", kLogMalformed, kLogKindFlagged},
    {"empty transport header", [](FakePacket* p) { p->SetTransportHeader({}); },
     "Unexpected transport header size\n", kLogMalformed, kLogKindFlagged},
    {"empty buffer", [](FakePacket* p) { p->SetBufferLength(0); }, "Empty payload\n", kLogInfo,
     kLogKindUnflagged},
    {"1461-byte payload", [](FakePacket* p) { p->SetPayload(testlib::Bytes(1461, 'a')); },
     "Unexpected large transport payload: 0x5b5 (bug 579380)\n", kLogInfo, kLogKindUnflagged},
};

class PacketViewTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    LogEverything();
  }
};

TEST_F(PacketViewTest, EachRefusalLogsOneLineAndGivesNoVerdict) {
  for (const Refusal& r : kRefusals) {
    SCOPED_TRACE(r.name);
    auto packet = TcpPacket();
    r.mutate(packet.get());
    EXPECT_EQ(plugin()->InspectPacket(packet.get()), kInspectNotInspected);
    EXPECT_TRUE(packet->calls().empty());
    auto records = testlib::DrainLog(plugin());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].Narrow(), r.line);
    EXPECT_EQ(records[0].category, r.category);
    EXPECT_EQ(records[0].kind, r.kind);
  }
  EXPECT_EQ(testlib::Script().TotalCalls(), 0u);
}

TEST_F(PacketViewTest, NullPacket) {
  EXPECT_EQ(plugin()->InspectPacket(nullptr), kInspectNotInspected);
  auto records = testlib::DrainLog(plugin());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Narrow(), "Unexpected null packet io\n");
  EXPECT_EQ(records[0].category, kLogMalformed);
  EXPECT_EQ(records[0].kind, kLogKindFlagged);
}

// Packets that pass: the verdict is delivered and the only non-trace line is
// the one expected (if any).
void ExpectPasses(NipsPlugin* plugin, FakePacket* packet, const std::string& infoLine) {
  EXPECT_EQ(plugin->InspectPacket(packet), kInspectDelivered);
  EXPECT_TRUE(packet->DeliveredOnce());
  std::vector<std::string> lines;
  for (const auto& record : testlib::DrainLog(plugin)) {
    if (record.category != kLogTrace) lines.push_back(record.Narrow());
  }
  EXPECT_EQ(lines,
            infoLine.empty() ? std::vector<std::string>{} : std::vector<std::string>{infoLine});
}

TEST_F(PacketViewTest, AcceptedEdges) {
  {
    SCOPED_TRACE("1460-byte payload");
    auto packet = TcpPacket(testlib::Bytes(1460, 'a'));
    ExpectPasses(plugin(), packet.get(), "");
  }
  {
    SCOPED_TRACE("empty UDP payload");
    auto packet = FakePacket::Udp("10.0.0.1", 5000, "10.0.0.2", 161, {});
    ExpectPasses(plugin(), packet.get(), "Allowing Empty UDP payload for UDP port scan\n");
  }
  {
    SCOPED_TRACE("empty TCP payload, non-empty buffer");
    auto packet = TcpPacket({});
    ExpectPasses(plugin(), packet.get(), "");
  }
  {
    SCOPED_TRACE("ICMP with port A 0");
    auto packet = FakePacket::Icmp("10.0.0.1", "10.0.0.2", 8, 0, {1, 2, 3});
    packet->SetPortA(0);
    ExpectPasses(plugin(), packet.get(), "");
  }
  {
    SCOPED_TRACE("ICMPv6 over IPv6");
    auto packet = FakePacket::Icmp("fe80::1", "fe80::2", 128, 0, {1});
    ExpectPasses(plugin(), packet.get(), "");
  }
}

}  // namespace
}  // namespace enginetest
