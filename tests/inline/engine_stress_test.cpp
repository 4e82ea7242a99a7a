// Two queue workers sharing the one loaded driver through the inline engine,
// with policy swaps and log drains running at the same time: the shape of
// `nips run --queue 0-1` without the kernel's queues. Meant for the TSan
// build as much as for the plain one.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "inline/inline_support.h"
#include "kt_hooks.h"
#include "nips/engine/config.h"
#include "tools/driver_requests.h"
#include "tools/inline_engine.h"

namespace nipstool {
namespace {

constexpr int kPacketsPerWorker = 20000;
constexpr int kWorkers = 2;

TEST(InlineEngineStressTest, TwoWorkersPolicySwapsAndLogDrainsAtOnce) {
  const std::vector<uint8_t> attack =
      inlinetest::ExampleIpPacket("attack-2231-smb-negotiate-high-pid.pcap", 4);
  const std::vector<uint8_t> benign =
      inlinetest::ExampleIpPacket("attack-2231-smb-negotiate-high-pid.pcap", 3);
  ASSERT_FALSE(attack.empty());
  ASSERT_FALSE(benign.empty());

  std::string error;
  std::unique_ptr<DriverLink> driver = LoadSimulatedDriver(&error);
  ASSERT_TRUE(driver) << error;
  uint32_t mask = 0x7E;  // information and detections too: every swap and match logs
  ASSERT_TRUE(RunControl(driver.get(), kControlSetLogMask, "log mask", &mask, sizeof mask, nullptr,
                         0, &error));
  std::atomic<uint64_t> logLines{0};
  LogReader reader(driver.get(), [&logLines](const LogRecord&) { ++logLines; });

  Policy with = DefaultPolicy();
  Policy without = DefaultPolicy();
  for (PolicyEntry& entry : without.signatures) {
    if (entry.id == 2231) entry.level = 0;
  }
  ASSERT_TRUE(ConfigureDriver(driver.get(), with, &error)) << error;

  std::atomic<uint64_t> alerts{0};
  EngineOptions options;
  options.onAlert = [&alerts](const Alert&) { ++alerts; };
  InlineEngine engine(driver.get(), options);

  std::atomic<int> running{kWorkers};
  std::atomic<uint64_t> attackDrops{0}, attackAccepts{0}, benignDrops{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      PacketOrigin origin;
      origin.adapterIndex = static_cast<uint32_t>(w + 1);
      for (int i = 0; i < kPacketsPerWorker; ++i) {
        const bool isAttack = i % 4 == 0;
        const std::vector<uint8_t>& packet = isAttack ? attack : benign;
        const Decision decision = engine.Judge(packet.data(), packet.size(), origin);
        if (isAttack) {
          ++(decision == Decision::kDrop ? attackDrops : attackAccepts);
        } else if (decision == Decision::kDrop) {
          ++benignDrops;
        }
      }
      --running;
    });
  }
  // Swaps as fast as the configuration cycle goes while the workers run,
  // ending on the policy with 2231.
  uint64_t swaps = 0;
  std::string swapError;
  while (running.load() != 0) {
    if (!ConfigureDriver(driver.get(), swaps % 2 == 0 ? without : with, &swapError)) break;
    ++swaps;
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_TRUE(swapError.empty()) << swapError;
  ASSERT_TRUE(ConfigureDriver(driver.get(), with, &error)) << error;
  PacketOrigin origin;
  EXPECT_EQ(engine.Judge(attack.data(), attack.size(), origin), Decision::kDrop);

  reader.Stop();
  EXPECT_TRUE(reader.error().empty()) << reader.error();
  const InlineEngine::Counters& counters = engine.counters();
  const uint64_t total = uint64_t{kPacketsPerWorker} * kWorkers + 1;
  EXPECT_EQ(counters.packets.load(), total);
  EXPECT_EQ(counters.inspected.load(), total);
  EXPECT_EQ(counters.failed.load(), 0u);
  EXPECT_EQ(benignDrops.load(), 0u);
  EXPECT_EQ(attackDrops + attackAccepts, uint64_t{kPacketsPerWorker} * kWorkers / 4);
  EXPECT_EQ(alerts.load(), counters.alerts.load());
  EXPECT_EQ(counters.dropped.load(), attackDrops.load() + 1);
  EXPECT_GT(swaps, 1u);
  EXPECT_GT(attackDrops.load(), 0u);
  EXPECT_GT(logLines.load(), 0u);
  driver->Unload();
  driver.reset();
  EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
}

}  // namespace
}  // namespace nipstool
