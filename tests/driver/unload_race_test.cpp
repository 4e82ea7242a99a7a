// Packets inspected on several threads while the registry detaches and
// re-attaches the plug-in, user mode configures it, and the driver unloads.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "hostsim/driver_host.h"
#include "kt_hooks.h"
#include "nips/driver/content_driver.h"
#include "nips/engine/config.h"
#include "testlib/fake_packet.h"

namespace {

// Counts every call the plug-in makes once the registry's Unregister has
// returned (a freed plug-in is AddressSanitizer's to catch).
class WatchedPacket final : public HostPacket {
 public:
  WatchedPacket(const hostsim::ServiceRegistry* registry, std::atomic<int>* late)
      : registry_(registry), late_(late) {}
  HostFlow* GetFlow() override { return Watch(inner->GetFlow()); }
  HostPacketData* GetPacketData() override { return Watch(inner->GetPacketData()); }
  HostApplication* GetApplication() override { return Watch(inner->GetApplication()); }
  HostAdapter* GetAdapter() override { return Watch(inner->GetAdapter()); }
  HostBuffer* GetBuffer() override { return Watch(inner->GetBuffer()); }
  HostVerdictSink* GetVerdictSink() override { return Watch(inner->GetVerdictSink()); }
  void Reserved6() override {}
  const ULONG* GetSigMask() override { return Watch(inner->GetSigMask()); }
  const std::unique_ptr<testlib::FakePacket> inner = testlib::FakePacket::Tcp(
      "192.0.2.1", 40000, "192.0.2.2", 80, kTcpFlagAck, testlib::BytesOf("GET / HTTP/1.1\r\n\r\n"));

 private:
  template <typename T>
  T Watch(T value) {
    if (registry_->unregistrations() != 0) late_->fetch_add(1);
    return value;
  }
  const hostsim::ServiceRegistry* registry_;
  std::atomic<int>* late_;
};

bool SpinUntil(const std::function<bool()>& ready) {
  for (long i = 0; i < 20000000; ++i) {
    if (ready()) return true;
    std::this_thread::yield();
  }
  return false;
}

TEST(UnloadRaceTest, NoInspectionRunsOnOrAfterTheUnloadedPlugin) {
  constexpr int kInspectors = 3, kRounds = 5000, kReattachesBeforeUnload = 20;
  kt::ResetWorld();
  auto core = std::make_unique<hostsim::CoreDriver>();
  auto host = std::make_unique<hostsim::DriverHost>(core.get());
  ASSERT_EQ(host->Load(), STATUS_SUCCESS);

  std::atomic<int> lateCalls{0}, inspectorsDone{0}, inspectedAfterUnload{0}, unexpected{0},
      reattachRounds{0}, started{0};
  std::atomic<bool> unloaded{false};
  auto startTogether = [&] {
    started.fetch_add(1);
    SpinUntil([&] { return started.load() >= kInspectors + 2; });
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kInspectors; ++t) {
    threads.emplace_back([&] {
      WatchedPacket packet(&core->registry(), &lateCalls);
      startTogether();
      int afterUnload = 0;
      for (int i = 0; i < 200000 && afterUnload < 50; ++i) {
        const bool wasUnloaded = unloaded.load();
        const std::optional<LONG> result = host->Inspect((i % 4 == 3) ? nullptr : &packet);
        packet.inner->ClearRecord();
        if (result && wasUnloaded) inspectedAfterUnload.fetch_add(1);
        if (result && *result != 0 && *result != 2) unexpected.fetch_add(1);
        afterUnload += wasUnloaded;
      }
      inspectorsDone.fetch_add(1);
    });
  }
  threads.emplace_back([&] {
    startTogether();
    for (int round = 0; round < kRounds && !unloaded.load(); ++round) {
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
    for (int cycle = 0; cycle < kRounds && !unloaded.load(); ++cycle) {
      uint64_t returned = 0;
      host->Control(kControlSetBankHeader, &header, sizeof header, nullptr, 0, &returned);
      host->Control(kControlApplyPolicy, nullptr, 0, nullptr, 0, &returned);
      host->Control(kControlEnforce, nullptr, 0, nullptr, 0, &returned);
    }
  });

  EXPECT_TRUE(SpinUntil([&] {
    return (core->firewall().inspections() >= 2000 || inspectorsDone.load() == kInspectors) &&
           reattachRounds.load() >= kReattachesBeforeUnload;
  }));
  host->Unload();
  unloaded.store(true);
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(lateCalls.load(), 0);
  EXPECT_EQ(inspectedAfterUnload.load(), 0);
  EXPECT_EQ(unexpected.load(), 0);
  EXPECT_EQ(g_contentDriver, nullptr);
  EXPECT_EQ(core->registry().unregistrations(), 1);
  EXPECT_EQ(core->registry().detach_mismatches(), 0);
  EXPECT_GE(core->registry().detach_calls(), kReattachesBeforeUnload);
  EXPECT_GE(core->registry().attach_calls(), kReattachesBeforeUnload);
  host.reset();
  core.reset();
  EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
}

}  // namespace
