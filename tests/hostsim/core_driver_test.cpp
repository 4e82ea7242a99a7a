#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "hostsim/core_driver.h"
#include "kt_hooks.h"
#include "nips/support/core_handshake.h"

namespace {

using hostsim::CoreDriver;

std::atomic<int> g_sequence{0};

template <typename Ready>
bool SpinUntil(Ready ready, long spins = 5000000) {
  for (long i = 0; i < spins; ++i) {
    if (ready()) return true;
    std::this_thread::yield();
  }
  return false;
}

struct Gate {
  void Pass() {
    inside = true;
    SpinUntil([&] { return !closed.load(); });
    leftAt = ++g_sequence;
  }
  std::atomic<bool> closed{false}, inside{false};
  std::atomic<int> leftAt{0};
};

struct TestPlugin final : HostPluginBase {
  TestPlugin() : HostPluginBase(GUID{}) {}
  LONG InspectPacket(HostPacket*) override {
    irql = KeGetCurrentIrql();
    ++calls;
    gate.Pass();
    return 7;
  }
  ULONG GetPolicyType() override { return FW_POLICY_TYPE_PACKET; }
  std::atomic<int> calls{0}, irql{-1};
  Gate gate;
};

struct TestContentDriver final : ContentDriver {
  void AddRef() override { ++refs; }
  void Release() override { --refs; }
  void PrepareUnload(PVOID, PVOID) override {
    ++prepared;
    preparedAt = ++g_sequence;
    --refs;
  }
  NTSTATUS Control(ULONG code, PVOID, ULONG64, PVOID, ULONG64, ULONG64* returned) override {
    if (code == 2) gate.Pass();  // only request 2 is held: others probe the loader meanwhile
    *returned = 3;
    return static_cast<NTSTATUS>(0x100 + code);
  }
  NTSTATUS UnsupportedRequest() override { return STATUS_NOT_IMPLEMENTED; }
  void IgnoredNotification() override {}
  std::atomic<int> refs{1}, prepared{0}, preparedAt{0};
  Gate gate;
};

struct TestClient final : ServiceClient {
  void OnDetach(const GUID* iid, PVOID serverContext, PVOID clientContext) override {
    ++detaches;
    connection->DetachInterface(iid, serverContext, clientContext);
  }
  void OnInterfaceNotify(const GUID* iid, UCHAR) override {
    ++notifies;
    attachResult = connection->AttachInterface(iid, &plugin);
  }
  void OnAttach(const GUID*, PVOID) override {}
  ServiceConnection* connection = nullptr;
  TestPlugin plugin;
  UCHAR attachResult = 0;
  std::atomic<int> notifies{0}, detaches{0};
};

class CoreDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    core_ = std::make_unique<CoreDriver>();
  }
  void TearDown() override {
    core_.reset();
    EXPECT_EQ(kt::OpenHandleCount(), 0u);
  }
  static NTSTATUS Handshake(LoaderRecord* record, ULONG outputLength = sizeof(LoaderRecord),
                            ULONG code = kCoreHandshakeIoctl) {
    char16_t service[] = u"nips";
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, CoreDriver::DeviceName().c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, kCoreDeviceAttributes, nullptr, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE device = nullptr;
    NTSTATUS status = ZwOpenFile(&device, kCoreDeviceAccess, &attributes, &io, kCoreDeviceShare,
                                 kCoreDeviceOptions);
    if (!NT_SUCCESS(status)) return status;
    status = ZwDeviceIoControlFile(device, nullptr, nullptr, nullptr, &io, code, service,
                                   sizeof service, record, outputLength);
    ZwClose(device);
    return status;
  }
  void RegisterAndAnnounce(TestClient* client) {
    auto registerClient = reinterpret_cast<RegisterServiceClientFn>(
        core_->registry().table()[kServiceTableRegisterClient]);
    ASSERT_EQ(registerClient(client, &client->connection), STATUS_SUCCESS);
    core_->registry().AnnounceInterface(IID_BASTION_PLUGIN_PACKET_INSPECT, 1);
    ASSERT_EQ(core_->firewall().plugin(), &client->plugin);
    EXPECT_EQ(client->attachResult, 1);
  }
  std::unique_ptr<CoreDriver> core_;
};

TEST_F(CoreDriverTest, HandshakeAnswersWithTheLoaderRecord) {
  LoaderRecord record = {};
  ASSERT_EQ(Handshake(&record), STATUS_SUCCESS);
  EXPECT_EQ(record.magic, kLoaderRecordMagic);
  EXPECT_EQ(record.interfaceVersion, kLoaderInterfaceVersion);
  EXPECT_EQ(record.loaderHost, &core_->loader());
  EXPECT_EQ(record.serviceTable, core_->registry().table());
  EXPECT_EQ(Handshake(&record, sizeof record, kCoreHandshakeIoctl + 4),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Handshake(&record, sizeof record - 1), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(CoreDriverTest, LoaderTakesAReferenceForwardsRequestsAndCallsPrepareUnloadLast) {
  auto& loader = core_->loader();
  TestContentDriver driver, other;
  ULONG64 returned = 0, probeReturned;
  ASSERT_EQ(loader.RegisterContentDriver(&driver), STATUS_SUCCESS);
  EXPECT_EQ(driver.refs.load(), 2);
  EXPECT_EQ(loader.RegisterContentDriver(&other), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(other.refs.load(), 1);
  EXPECT_EQ(loader.Control(6, nullptr, 0, nullptr, 0, &returned), 0x106);
  EXPECT_EQ(returned, 3u);

  driver.gate.closed = true;
  std::thread request([&] { loader.Control(2, nullptr, 0, nullptr, 0, &returned); });
  ASSERT_TRUE(SpinUntil([&] { return driver.gate.inside.load(); }));
  std::thread unload([&] { EXPECT_TRUE(loader.PrepareUnload()); });
  EXPECT_TRUE(SpinUntil([&] {
    return loader.Control(3, nullptr, 0, nullptr, 0, &probeReturned) ==
           STATUS_INVALID_DEVICE_REQUEST;
  }));
  EXPECT_EQ(driver.prepared.load(), 0);
  driver.gate.closed = false;
  request.join();
  unload.join();
  EXPECT_EQ(driver.prepared.load(), 1);
  EXPECT_LT(driver.gate.leftAt.load(), driver.preparedAt.load());
  EXPECT_EQ(driver.refs.load(), 1);
  EXPECT_EQ(loader.driver(), nullptr);
  EXPECT_FALSE(loader.PrepareUnload());
  EXPECT_EQ(driver.prepared.load(), 1);
}

TEST_F(CoreDriverTest, RegistryAttachesInspectsAndDetaches) {
  auto& registry = core_->registry();
  auto& firewall = core_->firewall();
  TestClient client;
  RegisterAndAnnounce(&client);
  void* server = registry.server_context();
  EXPECT_EQ(firewall.Inspect(nullptr), 7);
  EXPECT_EQ(client.plugin.irql.load(), DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  const GUID* iid = &IID_BASTION_PLUGIN_PACKET_INSPECT;
  EXPECT_EQ(client.connection->AttachInterface(iid, &client.plugin), 0);
  GUID otherIid = *iid;
  otherIid.Data1 ^= 1;
  client.connection->DetachInterface(iid, &otherIid, &client.plugin);
  client.connection->DetachInterface(iid, server, &otherIid);
  client.connection->DetachInterface(&otherIid, server, &client.plugin);
  EXPECT_EQ(registry.detach_mismatches(), 3);
  EXPECT_TRUE(firewall.attached());
  registry.RequestDetach();
  registry.RequestDetach();  // nothing attached: no callback
  EXPECT_EQ(client.detaches.load(), 1);
  EXPECT_FALSE(firewall.attached());
  EXPECT_EQ(firewall.Inspect(nullptr), std::nullopt);
  EXPECT_EQ(client.plugin.calls.load(), 1);
  registry.AnnounceInterface();
  EXPECT_TRUE(firewall.attached());
  client.connection->Unregister();
  EXPECT_FALSE(firewall.attached());
  EXPECT_EQ(registry.registered_clients(), 0u);
  registry.AnnounceInterface();
  EXPECT_EQ(client.notifies.load(), 2);
  EXPECT_EQ(client.connection->AttachInterface(iid, &client.plugin), 0);
  client.connection->Unregister();  // a second call returns at once
  EXPECT_EQ(registry.unregistrations(), 1);
}

TEST_F(CoreDriverTest, UnregisterWaitsForARunningInspection) {
  TestClient client;
  RegisterAndAnnounce(&client);
  client.plugin.gate.closed = true;
  std::thread packet([&] { EXPECT_EQ(core_->firewall().Inspect(nullptr), 7); });
  ASSERT_TRUE(SpinUntil([&] { return client.plugin.gate.inside.load(); }));
  std::atomic<int> unregisteredAt{0};
  std::thread unregister([&] {
    client.connection->Unregister();
    unregisteredAt = ++g_sequence;
  });
  EXPECT_TRUE(SpinUntil([&] { return !core_->firewall().attached(); }));
  EXPECT_EQ(core_->firewall().Inspect(nullptr), std::nullopt);
  EXPECT_EQ(unregisteredAt.load(), 0);
  client.plugin.gate.closed = false;
  packet.join();
  unregister.join();
  EXPECT_LT(client.plugin.gate.leftAt.load(), unregisteredAt.load());
  EXPECT_EQ(client.plugin.calls.load(), 1);
}

TEST_F(CoreDriverTest, UnregisterWaitsForTheEndOfAnInspectRun) {
  TestClient client;
  RegisterAndAnnounce(&client);
  std::atomic<int> unregisteredAt{0};
  std::thread unregister;
  int runEndingAt = 0;
  {
    hostsim::FirewallCore::InspectRun run(&core_->firewall());
    EXPECT_EQ(run.Inspect(nullptr), 7);
    unregister = std::thread([&] {
      client.connection->Unregister();
      unregisteredAt = ++g_sequence;
    });
    ASSERT_TRUE(SpinUntil([&] { return !core_->firewall().attached(); }));
    // The run still holds its entry, but offers the detached plug-in nothing.
    EXPECT_EQ(run.Inspect(nullptr), std::nullopt);
    EXPECT_FALSE(SpinUntil([&] { return unregisteredAt.load() != 0; }, 20000));
    runEndingAt = ++g_sequence;  // the run's entry is given back just after
  }
  unregister.join();
  EXPECT_GT(unregisteredAt.load(), runEndingAt);
  EXPECT_EQ(client.plugin.calls.load(), 1);
  EXPECT_EQ(core_->firewall().inspections(), 1u);
  hostsim::FirewallCore::InspectRun detached(&core_->firewall());
  EXPECT_EQ(detached.Inspect(nullptr), std::nullopt);
}

}  // namespace
