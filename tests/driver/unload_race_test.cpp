// Packets inspected on several threads while the registry detaches and
// re-attaches the plug-in, user mode configures it, and the driver unloads.
// Under AddressSanitizer a packet reaching a freed plug-in is caught; the
// watched packets catch any inspection after the registry's Unregister has
// returned.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "hostsim/driver_host.h"
#include "kt_hooks.h"
#include "nips/driver/content_driver.h"
#include "nips/engine/config.h"
#include "testlib/fake_packet.h"

namespace {

// Delegates to a fake packet and counts every call the plug-in makes once
// the registry's Unregister has returned.
class WatchedPacket final : public HostPacket {
 public:
  WatchedPacket(const hostsim::ServiceRegistry* registry, std::atomic<int>* lateCalls)
      : registry_(registry),
        lateCalls_(lateCalls),
        inner_(testlib::FakePacket::Tcp("192.0.2.1", 40000, "192.0.2.2", 80, kTcpFlagAck,
                                        testlib::BytesOf("GET / HTTP/1.1\r\n\r\n"))) {}

  HostFlow* GetFlow() override { return Watch(inner_->GetFlow()); }
  HostPacketData* GetPacketData() override { return Watch(inner_->GetPacketData()); }
  HostApplication* GetApplication() override { return Watch(inner_->GetApplication()); }
  HostAdapter* GetAdapter() override { return Watch(inner_->GetAdapter()); }
  HostBuffer* GetBuffer() override { return Watch(inner_->GetBuffer()); }
  HostVerdictSink* GetVerdictSink() override { return Watch(inner_->GetVerdictSink()); }
  void Reserved6() override {}
  const ULONG* GetSigMask() override { return Watch(inner_->GetSigMask()); }

  testlib::FakePacket* inner() { return inner_.get(); }

 private:
  template <typename T>
  T Watch(T value) {
    if (registry_->unregistrations() != 0) lateCalls_->fetch_add(1);
    return value;
  }

  const hostsim::ServiceRegistry* registry_;
  std::atomic<int>* lateCalls_;
  std::unique_ptr<testlib::FakePacket> inner_;
};

// Spins (bounded) until ready() holds; false if it never did.
template <typename Ready>
bool SpinUntil(Ready ready) {
  constexpr long kMaxSpins = 20000000;
  for (long i = 0; i < kMaxSpins; ++i) {
    if (ready()) return true;
    std::this_thread::yield();
  }
  return false;
}

constexpr int kInspectors = 3;
// Every loop is bounded; the unload comes long before these bounds.
constexpr int kMaxPacketsPerThread = 200000;
constexpr int kPacketsAfterUnload = 50;
constexpr int kMaxReattachRounds = 5000;
constexpr int kMaxConfigCycles = 5000;
// The unload waits for this much concurrent activity first.
constexpr uint64_t kInspectionsBeforeUnload = 2000;
constexpr int kReattachesBeforeUnload = 20;

TEST(UnloadRaceTest, NoInspectionRunsOnOrAfterTheUnloadedPlugin) {
  kt::ResetWorld();
  auto core = std::make_unique<hostsim::CoreDriver>();
  auto host = std::make_unique<hostsim::DriverHost>(core.get());
  ASSERT_EQ(host->Load(), STATUS_SUCCESS);

  std::atomic<int> lateCalls{0};
  std::atomic<bool> unloaded{false};
  std::atomic<int> inspectorsDone{0};
  std::atomic<int> inspectedAfterUnload{0};
  std::atomic<int> unexpectedResults{0};
  std::atomic<int> reattachRounds{0};
  std::atomic<int> started{0};
  const int threadCount = kInspectors + 2;
  auto startTogether = [&] {
    started.fetch_add(1);
    SpinUntil([&] { return started.load() >= threadCount; });
  };

  std::vector<std::thread> threads;
  for (int t = 0; t < kInspectors; ++t) {
    threads.emplace_back([&] {
      WatchedPacket packet(&core->registry(), &lateCalls);
      startTogether();
      int afterUnload = 0;
      for (int i = 0; i < kMaxPacketsPerThread && afterUnload < kPacketsAfterUnload; ++i) {
        const bool wasUnloaded = unloaded.load();
        HostPacket* subject = (i % 4 == 3) ? nullptr : &packet;
        std::optional<LONG> result = host->Inspect(subject);
        packet.inner()->ClearRecord();
        if (result.has_value()) {
          if (wasUnloaded) inspectedAfterUnload.fetch_add(1);
          if (*result != 0 && *result != 2) unexpectedResults.fetch_add(1);
        }
        if (wasUnloaded) ++afterUnload;
      }
      inspectorsDone.fetch_add(1);
    });
  }
  threads.emplace_back([&] {
    startTogether();
    for (int round = 0; round < kMaxReattachRounds && !unloaded.load(); ++round) {
      core->registry().RequestDetach();
      core->registry().AnnounceInterface();
      reattachRounds.fetch_add(1);
    }
  });
  threads.emplace_back([&] {
    BankHeader header = {};
    header.actionParam = 0xFFFFFFFF;
    for (ULONG& reaction : header.levelReaction) reaction = 3;
    startTogether();
    for (int cycle = 0; cycle < kMaxConfigCycles && !unloaded.load(); ++cycle) {
      uint64_t returned = 0;
      host->Control(kControlSetBankHeader, &header, sizeof header, nullptr, 0, &returned);
      host->Control(kControlApplyPolicy, nullptr, 0, nullptr, 0, &returned);
      host->Control(kControlEnforce, nullptr, 0, nullptr, 0, &returned);
    }
  });

  // Unload while the others are busy. The detacher runs until the unload,
  // so the wait for its rounds ends; so does the one for the inspectors.
  EXPECT_TRUE(SpinUntil([&] {
    return (core->firewall().inspections() >= kInspectionsBeforeUnload ||
            inspectorsDone.load() == kInspectors) &&
           reattachRounds.load() >= kReattachesBeforeUnload;
  }));
  host->Unload();
  unloaded.store(true);
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(lateCalls.load(), 0);
  EXPECT_EQ(inspectedAfterUnload.load(), 0);
  EXPECT_EQ(unexpectedResults.load(), 0);
  EXPECT_EQ(g_contentDriver, nullptr);
  EXPECT_EQ(core->registry().unregistrations(), 1);
  EXPECT_EQ(core->registry().detach_mismatches(), 0);
  // Each round detached and attached again, with the contexts kept right.
  EXPECT_GE(core->registry().detach_calls(), kReattachesBeforeUnload);
  EXPECT_GE(core->registry().attach_calls(), kReattachesBeforeUnload);
  host.reset();
  core.reset();
  EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
}

}  // namespace
