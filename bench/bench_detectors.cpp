// Cost per packet of a whole inspection with every row of the built-in table
// enabled: benign SMB sessions, benign TCP traffic and benign UDP traffic,
// each a rotating set of packets from a handful of clients. One iteration is
// one InspectPacket call (view, dispatch over all enabled rows, verdict).
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "detectors/smb_packets.h"
#include "kt_hooks.h"
#include "nips/engine/plugin.h"
#include "testlib/engine_support.h"
#include "testlib/fake_packet.h"

namespace {

using dtest::Bytes;
using testlib::FakePacket;

constexpr char kServer[] = "10.0.0.2";
constexpr int kClients = 8;
constexpr UCHAR kDataFlags = kTcpFlagAck | 0x08;

std::string Client(int i) { return "10.1.0." + std::to_string(10 + i); }

// A started plug-in whose every row is enabled at a blocking level.
class ConfiguredPlugin {
 public:
  ConfiguredPlugin() {
    kt::ResetWorld();
    plugin_.emplace();
    (*plugin_)->Start();
    testlib::Configure(plugin_->get(), testlib::MakeHeader({3, 3, 3, 3}),
                       testlib::RecordsForAllRows(g_signatureTable, 1));
  }
  NipsPlugin* get() { return plugin_->get(); }

 private:
  std::optional<testlib::PluginHolder> plugin_;
};

// Requests and replies of ordinary SMB1/SMB2 sessions on 445 and 139.
std::vector<std::unique_ptr<FakePacket>> BenignSmb() {
  std::vector<std::unique_ptr<FakePacket>> packets;
  for (int c = 0; c < kClients; ++c) {
    const std::string client = Client(c);
    const uint16_t port = static_cast<uint16_t>(50000 + c);
    auto toServer = [&](uint16_t serverPort, const Bytes& payload) {
      packets.push_back(FakePacket::Tcp(client, port, kServer, serverPort, kDataFlags, payload));
    };
    toServer(445, dtest::Negotiate(0, 0, 0, 120));       // with its dialect strings
    toServer(445, dtest::SessionSetup(300, {{40, 1}}));  // NTLM negotiate
    toServer(445, dtest::Trans2(40, 40, 5, 120));
    toServer(445, dtest::Smb2(120, 5));  // SMB2 create
    toServer(445, dtest::Smb2Write(112, 900));
    toServer(445, dtest::Smb2Ioctl(0xD0, 0x100, 0, 200));
    toServer(139, dtest::MailslotWrite(std::string("\\MAILSLOT\\BROWSE") + '\0', 2, 40));
    toServer(139, dtest::TransSecondary(200, 100, 80));
    packets.push_back(
        FakePacket::Tcp(kServer, 445, client, port, kDataFlags, dtest::Smb2Reply(1200, 1196)));
    packets.push_back(
        FakePacket::Tcp(kServer, 445, client, port, kDataFlags, dtest::Smb2Reply(300, 296)));
  }
  return packets;
}

// Web and mail data segments of established connections.
std::vector<std::unique_ptr<FakePacket>> BenignTcp() {
  std::vector<std::unique_ptr<FakePacket>> packets;
  const std::string request =
      "GET /index.html HTTP/1.1\r\nHost: www.example.com\r\nAccept: */*\r\n"
      "Accept-Encoding: gzip, deflate\r\nUser-Agent: bench\r\n\r\n";
  for (int c = 0; c < kClients; ++c) {
    const std::string client = Client(c);
    const uint16_t port = static_cast<uint16_t>(51000 + c);
    packets.push_back(
        FakePacket::Tcp(client, port, kServer, 80, kDataFlags, testlib::BytesOf(request)));
    packets.push_back(FakePacket::Tcp(kServer, 80, client, port, kDataFlags, Bytes(1400, 'a')));
    packets.push_back(FakePacket::Tcp(client, port, kServer, 443, kDataFlags,
                                      Bytes{0x17, 0x03, 0x03, 0x00, 0x20, 1, 2, 3, 4, 5}));
    packets.push_back(FakePacket::Tcp(kServer, 443, client, port, kDataFlags, Bytes(1000, 0x5A)));
    packets.push_back(FakePacket::Tcp(client, port, kServer, 25, kDataFlags,
                                      testlib::BytesOf("MAIL FROM:<a@example.com>\r\n")));
    packets.push_back(FakePacket::Tcp(client, port, kServer, 80, kTcpFlagAck, Bytes()));
  }
  return packets;
}

// DNS queries and answers, NTP and syslog.
std::vector<std::unique_ptr<FakePacket>> BenignUdp() {
  std::vector<std::unique_ptr<FakePacket>> packets;
  // Query for www.example.com A.
  const Bytes query = {0x12, 0x34, 0x01, 0x00, 0,   1,   0,   0,   0,   0,   0,
                       0,    3,    'w',  'w',  'w', 7,   'e', 'x', 'a', 'm', 'p',
                       'l',  'e',  3,    'c',  'o', 'm', 0,   0,   1,   0,   1};
  Bytes answer = query;
  answer[2] = 0x81;
  answer[3] = 0x80;
  answer[7] = 1;
  const Bytes record = {0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 0x0E, 0x10, 0, 4, 93, 184, 216, 34};
  answer.insert(answer.end(), record.begin(), record.end());
  for (int c = 0; c < kClients; ++c) {
    const std::string client = Client(c);
    const uint16_t port = static_cast<uint16_t>(52000 + c);
    packets.push_back(FakePacket::Udp(client, port, kServer, 53, query));
    packets.push_back(FakePacket::Udp(kServer, 53, client, port, answer));
    packets.push_back(FakePacket::Udp(client, 123, kServer, 123, Bytes(48, 0x23)));
    packets.push_back(FakePacket::Udp(client, port, kServer, 514,
                                      testlib::BytesOf("<13>Mar  1 10:00:00 host app: started")));
  }
  return packets;
}

void RunInspections(benchmark::State& state, std::vector<std::unique_ptr<FakePacket>> packets) {
  ConfiguredPlugin plugin;
  size_t next = 0;
  size_t blocked = 0;
  for (auto _ : state) {
    FakePacket* packet = packets[next].get();
    packet->ClearRecord();
    benchmark::DoNotOptimize(plugin.get()->InspectPacket(packet));
    if (packet->report().signatureId != 0) ++blocked;
    next = next + 1 == packets.size() ? 0 : next + 1;
  }
  state.SetItemsProcessed(state.iterations());
  // Benign traffic: any match here means the benchmark measures the wrong path.
  state.counters["matches"] = static_cast<double>(blocked);
}

void BM_InspectBenignSmb(benchmark::State& state) { RunInspections(state, BenignSmb()); }
void BM_InspectBenignTcp(benchmark::State& state) { RunInspections(state, BenignTcp()); }
void BM_InspectBenignUdp(benchmark::State& state) { RunInspections(state, BenignUdp()); }

BENCHMARK(BM_InspectBenignSmb);
BENCHMARK(BM_InspectBenignTcp);
BENCHMARK(BM_InspectBenignUdp);

}  // namespace

BENCHMARK_MAIN();
