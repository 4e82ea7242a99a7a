// Bank reuse under concurrency: packets inspect on several threads while
// another thread runs configuration cycles without pause. Every generation
// writes its number into the header and into every row; a detector checks,
// while it runs, that the bank it was dispatched under holds exactly one
// generation. A bank rewritten under a packet shows up as a mixture (and as
// a data race under the thread sanitizer).
#include <gtest/gtest.h>

#include <sched.h>

#include <atomic>
#include <thread>

#include "engine_fixture.h"

namespace enginetest {
namespace {

std::atomic<ULONG> g_mixed{0}, g_checks{0}, g_generationsSeen{0};

// True when every field that a cycle writes carries generation g.
bool BankIsGeneration(const ConfigBank* bank, ULONG g) {
  bool same = bank->header.reserved == g && bank->header.actionParam == g &&
              bank->recordCount == kSignatureRows;
  for (ULONG row = 0; row < kSignatureRows; ++row) {
    const SignatureEntry& entry = bank->rows[row];
    same = same && entry.policyFlag == g && entry.level == (g << 8 | 1) && entry.reaction == 2 &&
           entry.actionFlags == kActionFlagReport && bank->map[row] != 0;
  }
  return same;
}

ULONG GenerationCheckDetector(PacketView* view) {
  const ConfigBank* bank = view->bank;
  const ULONG g = bank->header.reserved;
  // Look several times, yielding in between, so that a writer that rewrites
  // the bank under us has every chance to be caught.
  for (int pass = 0; pass < 3; ++pass) {
    if (!BankIsGeneration(bank, g)) {
      g_mixed.fetch_add(1);
      return kDetectError;
    }
    sched_yield();
  }
  g_checks.fetch_add(1);
  ULONG seen = g_generationsSeen.load();
  while (g > seen && !g_generationsSeen.compare_exchange_weak(seen, g)) {
  }
  return kDetectNoMatch;
}

TEST(BankConcurrencyTest, NoPacketEverSeesAMixedBank) {
  kt::ResetWorld();
  g_mixed = g_checks = g_generationsSeen = 0;
  const SignatureTable table = testlib::TableWithDetector(&GenerationCheckDetector);
  {
    testlib::PluginHolder plugin(table);
    ASSERT_TRUE(plugin->Start());
    // Generation 1 before the packets start, so every packet has work.
    auto configure = [&](ULONG g) {
      BankHeader header = testlib::MakeHeader({2, 2, 2, 2}, 0, g);
      header.reserved = g;
      return testlib::Configure(plugin.get(), header,
                                testlib::RecordsForAllRows(table, g << 8 | 1, g));
    };
    ASSERT_EQ(configure(1), STATUS_SUCCESS);

    constexpr ULONG kCycles = 400;
    constexpr int kInspectors = 3;
    std::atomic<bool> done{false};
    std::atomic<ULONG> badResults{0};
    std::vector<std::thread> inspectors;
    for (int t = 0; t < kInspectors; ++t) {
      inspectors.emplace_back([&, t] {
        auto packet = FakePacket::Tcp("10.0.0.1", static_cast<uint16_t>(1000 + t), "10.0.0.2", 445,
                                      kTcpFlagAck, {1, 2, 3});
        while (!done.load()) {  // bounded by the writer's cycles
          packet->ClearRecord();
          const LONG result = plugin->InspectPacket(packet.get());
          badResults += result != kInspectDelivered || !packet->DeliveredOnce();
        }
      });
    }
    std::thread writer([&] {
      for (ULONG g = 2; g <= kCycles; ++g) {
        if (configure(g) != STATUS_SUCCESS) badResults.fetch_add(1);
      }
      done = true;
    });
    writer.join();
    for (auto& t : inspectors) t.join();

    EXPECT_EQ(g_mixed.load(), 0u);
    EXPECT_EQ(badResults.load(), 0u);
    EXPECT_GT(g_checks.load(), 0u);
    // Packets ran under more than the first generation: swaps really
    // happened while packets were inspected.
    EXPECT_GT(g_generationsSeen.load(), 1u);
    EXPECT_EQ(plugin->bankUsers[0], 0);
    EXPECT_EQ(plugin->bankUsers[1], 0);
  }
  EXPECT_EQ(kt::PoolOutstanding(), 0u);
}

}  // namespace
}  // namespace enginetest
