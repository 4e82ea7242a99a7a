// Packets inspect on several threads while another runs configuration cycles. Generation g writes
// g into the header and every row; a detector checks that its bank holds one generation only. A
// bank rewritten under a packet shows up as a mixture (and as a data race under TSan).
#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <thread>

#include "engine_fixture.h"

namespace enginetest {
namespace {

std::atomic<ULONG> g_mixed{0}, g_generationsSeen{0};

ULONG GenerationCheckDetector(PacketView* view) {
  const ConfigBank* bank = view->bank;
  const ULONG g = bank->header.reserved;
  for (int pass = 0; pass < 3; ++pass) {  // yield between looks to give a writer its chance
    bool same = bank->header.actionParam == g && bank->recordCount == kSignatureRows;
    for (ULONG row = 0; row < kSignatureRows; ++row) {
      const SignatureEntry& e = bank->rows[row];
      same = same && e.policyFlag == g && e.level == (g << 8 | 1) && e.reaction == 2 &&
             e.actionFlags == kActionFlagReport && bank->map[row] != 0;
    }
    if (!same || bank->header.reserved != g) return g_mixed.fetch_add(1), kDetectError;
    sched_yield();
  }
  ULONG seen = g_generationsSeen.load();
  while (g > seen && !g_generationsSeen.compare_exchange_weak(seen, g)) {
  }
  return kDetectNoMatch;
}

TEST(BankConcurrencyTest, NoPacketEverSeesAMixedBank) {
  kt::ResetWorld();
  g_mixed = g_generationsSeen = 0;
  const SignatureTable table = testlib::TableWithDetector(&GenerationCheckDetector);
  {
    testlib::PluginHolder plugin(table);
    ASSERT_TRUE(plugin->Start());
    auto configure = [&](ULONG g) {
      BankHeader header = testlib::MakeHeader({2, 2, 2, 2}, 0, g);
      header.reserved = g;
      return testlib::Configure(plugin.get(), header,
                                testlib::RecordsForAllRows(table, g << 8 | 1, g));
    };
    ASSERT_EQ(configure(1), STATUS_SUCCESS);  // before the packets, so each has work
    std::atomic<bool> done{false};
    std::atomic<ULONG> badResults{0};
    std::vector<std::thread> inspectors;
    for (int t = 0; t < 3; ++t) {
      inspectors.emplace_back([&, t] {
        auto packet = FakePacket::Tcp("10.0.0.1", static_cast<uint16_t>(1000 + t), "10.0.0.2", 445,
                                      kTcpFlagAck, {1, 2, 3});
        while (!done.load()) {  // bounded by the writer's cycles
          packet->ClearRecord();
          badResults +=
              plugin->InspectPacket(packet.get()) != kInspectDelivered || !packet->DeliveredOnce();
        }
      });
    }
    auto waitUntilSeen = [](ULONG g) {
      for (int spin = 0; g_generationsSeen.load() < g && spin < 10'000'000; ++spin) sched_yield();
    };
    waitUntilSeen(1);
    for (ULONG g = 2; g <= 400; ++g) badResults += configure(g) != STATUS_SUCCESS;
    waitUntilSeen(400);
    done = true;
    for (auto& t : inspectors) t.join();

    EXPECT_EQ(std::tuple(g_mixed.load(), badResults.load()), std::tuple(0u, 0u));
    EXPECT_GT(g_generationsSeen.load(), 1u) << "swaps happened while packets were inspected";
    EXPECT_EQ(std::tuple(plugin->bankUsers[0], plugin->bankUsers[1]), std::tuple(0, 0));
  }
  EXPECT_EQ(kt::PoolOutstanding(), 0u);
}

}  // namespace
}  // namespace enginetest
