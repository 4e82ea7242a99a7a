#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostsim/core_driver.h"
#include "kt_hooks.h"
#include "nips/support/core_handshake.h"

namespace {

using hostsim::CoreDriver;

std::atomic<int> g_sequence{0};
int Tick() { return g_sequence.fetch_add(1) + 1; }

// Spins (bounded) until ready() holds; false if it never did.
template <typename Ready>
bool SpinUntil(Ready ready) {
  constexpr long kMaxSpins = 5000000;
  for (long i = 0; i < kMaxSpins; ++i) {
    if (ready()) return true;
    std::this_thread::yield();
  }
  return false;
}

// Holds a test object's thread inside a call until released (bounded).
void HoldWhile(const std::atomic<bool>& hold) {
  SpinUntil([&] { return !hold.load(); });
}

// A plug-in whose inspection can be held until released.
class TestPlugin final : public HostPluginBase {
 public:
  TestPlugin() : HostPluginBase(GUID{}) {}
  LONG InspectPacket(HostPacket*) override {
    irql.store(KeGetCurrentIrql());
    calls.fetch_add(1);
    inside.store(true);
    HoldWhile(hold);
    inside.store(false);
    lastEnd.store(Tick());
    return result;
  }
  ULONG GetPolicyType() override { return FW_POLICY_TYPE_PACKET; }

  std::atomic<int> calls{0};
  std::atomic<int> irql{-1};
  std::atomic<bool> hold{false};
  std::atomic<bool> inside{false};
  std::atomic<int> lastEnd{0};
  LONG result = 7;
};

// A content driver that records the loader's calls.
class TestContentDriver final : public ContentDriver {
 public:
  void AddRef() override { refs.fetch_add(1); }
  void Release() override { refs.fetch_sub(1); }
  void PrepareUnload(PVOID, PVOID) override {
    prepared.fetch_add(1);
    preparedAt.store(Tick());
    refs.fetch_sub(1);
  }
  NTSTATUS Control(ULONG code, PVOID input, ULONG64 inputLength, PVOID output, ULONG64 outputLength,
                   ULONG64* bytesReturned) override {
    lastCode = code;
    lastInput = input;
    lastInputLength = inputLength;
    lastOutput = output;
    lastOutputLength = outputLength;
    // Only request 2 is held, so that others can probe the loader meanwhile.
    if (code == 2) {
      inside.store(true);
      HoldWhile(hold);
      inside.store(false);
    }
    controlEnd.store(Tick());
    if (bytesReturned) *bytesReturned = 3;
    return static_cast<NTSTATUS>(0x100 + code);
  }
  NTSTATUS UnsupportedRequest() override { return STATUS_NOT_IMPLEMENTED; }
  void IgnoredNotification() override {}

  std::atomic<int> refs{1};
  std::atomic<int> prepared{0};
  std::atomic<int> preparedAt{0};
  std::atomic<bool> hold{false};
  std::atomic<bool> inside{false};
  std::atomic<int> controlEnd{0};
  ULONG lastCode = 0;
  PVOID lastInput = nullptr;
  ULONG64 lastInputLength = 0;
  PVOID lastOutput = nullptr;
  ULONG64 lastOutputLength = 0;
};

// A service client that attaches its plug-in when notified.
class TestClient final : public ServiceClient {
 public:
  void OnDetach(const GUID* iid, PVOID serverContext, PVOID clientContext) override {
    detaches.fetch_add(1);
    lastDetachServer = serverContext;
    lastDetachClient = clientContext;
    if (connection) connection->DetachInterface(iid, serverContext, clientContext);
  }
  void OnInterfaceNotify(const GUID* iid, UCHAR flag) override {
    notifies.fetch_add(1);
    lastFlag = flag;
    inside.store(true);
    HoldWhile(hold);
    inside.store(false);
    callbackEnd.store(Tick());
    if (attachOnNotify && connection) attachResult = connection->AttachInterface(iid, &plugin);
  }
  void OnAttach(const GUID*, PVOID serverContext) override {
    attaches.fetch_add(1);
    server = serverContext;
  }

  ServiceConnection* connection = nullptr;
  TestPlugin plugin;
  bool attachOnNotify = true;
  UCHAR attachResult = 0;
  std::atomic<int> notifies{0};
  std::atomic<int> attaches{0};
  std::atomic<int> detaches{0};
  std::atomic<bool> hold{false};
  std::atomic<bool> inside{false};
  std::atomic<int> callbackEnd{0};
  UCHAR lastFlag = 0xFF;
  PVOID server = nullptr;
  PVOID lastDetachServer = nullptr;
  PVOID lastDetachClient = nullptr;
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

  // Sends the handshake as the driver does; returns the request's status.
  static NTSTATUS Handshake(const std::u16string& service, LoaderRecord* record,
                            ULONG outputLength = sizeof(LoaderRecord),
                            ULONG code = kCoreHandshakeIoctl) {
    std::u16string name = CoreDriver::DeviceName();
    UNICODE_STRING objectName{static_cast<USHORT>(name.size() * 2),
                              static_cast<USHORT>(name.size() * 2), name.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, kCoreDeviceAttributes, nullptr, nullptr);
    IO_STATUS_BLOCK io;
    HANDLE device = nullptr;
    NTSTATUS status = ZwOpenFile(&device, kCoreDeviceAccess, &attributes, &io, kCoreDeviceShare,
                                 kCoreDeviceOptions);
    if (!NT_SUCCESS(status)) return status;
    std::u16string input = service;
    status =
        ZwDeviceIoControlFile(device, nullptr, nullptr, nullptr, &io, code, input.data(),
                              static_cast<ULONG>((input.size() + 1) * 2), record, outputLength);
    ZwClose(device);
    return status;
  }

  TestClient* RegisterClient(TestClient* client) {
    auto registerClient = reinterpret_cast<RegisterServiceClientFn>(
        core_->registry().table()[kServiceTableRegisterClient]);
    EXPECT_NE(registerClient, nullptr);
    EXPECT_EQ(registerClient(client, &client->connection), STATUS_SUCCESS);
    return client;
  }

  std::unique_ptr<CoreDriver> core_;
};

TEST_F(CoreDriverTest, HandshakeAnswersWithTheLoaderRecord) {
  LoaderRecord record = {};
  ASSERT_EQ(Handshake(u"nips", &record), STATUS_SUCCESS);
  EXPECT_EQ(record.magic, kLoaderRecordMagic);
  EXPECT_EQ(record.interfaceVersion, kLoaderInterfaceVersion);
  EXPECT_LE(record.oldestInterfaceVersion, kLoaderInterfaceVersion);
  EXPECT_EQ(record.loaderHost, &core_->loader());
  ASSERT_EQ(record.serviceTable, core_->registry().table());
  for (ULONG i = 0; i < kServiceTableEntries; ++i) {
    EXPECT_EQ(record.serviceTable[i] != nullptr, i == kServiceTableRegisterClient) << i;
  }
  EXPECT_EQ(core_->last_handshake_service(), u"nips");
  EXPECT_EQ(core_->handshakes(), 1);

  EXPECT_EQ(Handshake(u"nips", &record, sizeof record, kCoreHandshakeIoctl + 4),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(Handshake(u"nips", &record, sizeof record - 1), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(CoreDriverTest, HandshakeKnobs) {
  core_->set_record_magic(0x12345678);
  core_->set_interface_versions(155999, 156001);
  core_->set_reply_status(STATUS_BUFFER_OVERFLOW);
  LoaderRecord record = {};
  EXPECT_EQ(Handshake(u"x", &record), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(record.magic, 0x12345678u);
  EXPECT_EQ(record.interfaceVersion, 155999);
  EXPECT_EQ(record.oldestInterfaceVersion, 156001);

  core_->set_device_present(false);
  EXPECT_EQ(Handshake(u"x", &record), STATUS_OBJECT_NAME_NOT_FOUND);
  core_->set_device_present(true);
  EXPECT_EQ(Handshake(u"x", &record), STATUS_BUFFER_OVERFLOW);
}

TEST_F(CoreDriverTest, ASecondCoreDriverKeepsTheDeviceWhenTheFirstGoes) {
  auto second = std::make_unique<CoreDriver>();
  core_.reset();
  LoaderRecord record = {};
  ASSERT_EQ(Handshake(u"nips", &record), STATUS_SUCCESS);
  EXPECT_EQ(record.loaderHost, &second->loader());
}

TEST_F(CoreDriverTest, LoaderTakesAReferenceForwardsRequestsAndCallsPrepareUnloadLast) {
  auto& loader = core_->loader();
  TestContentDriver driver;
  ULONG64 returned = 0;
  EXPECT_EQ(loader.Control(1, nullptr, 0, nullptr, 0, &returned), STATUS_INVALID_DEVICE_REQUEST);
  ASSERT_EQ(loader.RegisterContentDriver(&driver), STATUS_SUCCESS);
  EXPECT_EQ(driver.refs.load(), 2);
  TestContentDriver other;
  EXPECT_EQ(loader.RegisterContentDriver(&other), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(other.refs.load(), 1);

  char in[3];
  char out[5];
  EXPECT_EQ(loader.Control(6, in, sizeof in, out, sizeof out, &returned), 0x106);
  EXPECT_EQ(driver.lastCode, 6u);
  EXPECT_EQ(driver.lastInput, in);
  EXPECT_EQ(driver.lastInputLength, 3u);
  EXPECT_EQ(driver.lastOutput, out);
  EXPECT_EQ(driver.lastOutputLength, 5u);
  EXPECT_EQ(returned, 3u);

  EXPECT_TRUE(loader.PrepareUnload());
  EXPECT_EQ(driver.prepared.load(), 1);
  EXPECT_EQ(driver.refs.load(), 1);
  EXPECT_EQ(loader.driver(), nullptr);
  EXPECT_EQ(loader.Control(1, nullptr, 0, nullptr, 0, &returned), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_FALSE(loader.PrepareUnload());
  EXPECT_EQ(driver.prepared.load(), 1);
}

TEST_F(CoreDriverTest, LoaderRefusalTakesNoReference) {
  core_->loader().set_registration_status(STATUS_ACCESS_DENIED);
  TestContentDriver driver;
  EXPECT_EQ(core_->loader().RegisterContentDriver(&driver), STATUS_ACCESS_DENIED);
  EXPECT_EQ(driver.refs.load(), 1);
  EXPECT_EQ(core_->loader().driver(), nullptr);
  EXPECT_EQ(core_->loader().registrations(), 1);
}

TEST_F(CoreDriverTest, PrepareUnloadWaitsForRunningRequests) {
  auto& loader = core_->loader();
  TestContentDriver driver;
  ASSERT_EQ(loader.RegisterContentDriver(&driver), STATUS_SUCCESS);
  driver.hold = true;
  std::thread request([&] {
    ULONG64 returned;
    loader.Control(2, nullptr, 0, nullptr, 0, &returned);
  });
  ASSERT_TRUE(SpinUntil([&] { return driver.inside.load(); }));
  std::thread unload([&] { loader.PrepareUnload(); });
  // Once new requests are refused, the unload is waiting for the running one.
  ULONG64 returned;
  EXPECT_TRUE(SpinUntil([&] {
    return loader.Control(3, nullptr, 0, nullptr, 0, &returned) == STATUS_INVALID_DEVICE_REQUEST;
  }));
  EXPECT_EQ(driver.prepared.load(), 0);
  driver.hold = false;
  request.join();
  unload.join();
  EXPECT_EQ(driver.prepared.load(), 1);
  EXPECT_LT(driver.controlEnd.load(), driver.preparedAt.load());
}

TEST_F(CoreDriverTest, RegistryAttachesInspectsAndDetaches) {
  auto& registry = core_->registry();
  auto& firewall = core_->firewall();
  TestClient client;
  RegisterClient(&client);
  EXPECT_EQ(registry.registered_clients(), 1u);

  registry.AnnounceInterface(IID_BASTION_PLUGIN_PACKET_INSPECT, 0);
  EXPECT_EQ(client.notifies.load(), 1);
  EXPECT_EQ(client.lastFlag, 0);
  EXPECT_EQ(client.attachResult, 1);
  EXPECT_EQ(client.attaches.load(), 1);
  ASSERT_NE(client.server, nullptr);
  EXPECT_EQ(client.server, registry.server_context());
  EXPECT_EQ(firewall.plugin(), &client.plugin);

  // Packets reach the plug-in at DISPATCH_LEVEL; the caller's IRQL is back.
  EXPECT_EQ(firewall.Inspect(nullptr), 7);
  EXPECT_EQ(client.plugin.irql.load(), DISPATCH_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  firewall.set_inspect_irql(PASSIVE_LEVEL);
  EXPECT_EQ(firewall.Inspect(nullptr), 7);
  EXPECT_EQ(client.plugin.irql.load(), PASSIVE_LEVEL);

  // A second attach, and detaches with the wrong id or contexts, change nothing.
  EXPECT_EQ(client.connection->AttachInterface(&IID_BASTION_PLUGIN_PACKET_INSPECT, &client.plugin),
            0);
  int other = 0;
  client.connection->DetachInterface(&IID_BASTION_PLUGIN_PACKET_INSPECT, &other, &client.plugin);
  client.connection->DetachInterface(&IID_BASTION_PLUGIN_PACKET_INSPECT, client.server, &other);
  GUID otherIid = IID_BASTION_PLUGIN_PACKET_INSPECT;
  otherIid.Data1 ^= 1;
  client.connection->DetachInterface(&otherIid, client.server, &client.plugin);
  EXPECT_EQ(registry.detach_mismatches(), 3);
  EXPECT_TRUE(firewall.attached());

  // The registry's detach request carries the attachment's contexts.
  registry.RequestDetach();
  EXPECT_EQ(client.detaches.load(), 1);
  EXPECT_EQ(client.lastDetachServer, client.server);
  EXPECT_EQ(client.lastDetachClient, &client.plugin);
  EXPECT_FALSE(firewall.attached());
  EXPECT_EQ(firewall.Inspect(nullptr), std::nullopt);
  EXPECT_EQ(client.plugin.calls.load(), 2);
  registry.RequestDetach();  // nothing attached: no callback
  EXPECT_EQ(client.detaches.load(), 1);

  // Attaches again after a new announcement; nothing after Unregister.
  registry.AnnounceInterface();
  EXPECT_TRUE(firewall.attached());
  client.connection->Unregister();
  EXPECT_FALSE(firewall.attached());
  EXPECT_EQ(registry.unregistrations(), 1);
  EXPECT_EQ(registry.registered_clients(), 0u);
  registry.AnnounceInterface();
  registry.SendAttach(&IID_BASTION_PLUGIN_PACKET_INSPECT, &other);
  EXPECT_EQ(client.notifies.load(), 2);
  EXPECT_EQ(client.attaches.load(), 2);
  EXPECT_EQ(client.connection->AttachInterface(&IID_BASTION_PLUGIN_PACKET_INSPECT, &client.plugin),
            0);
  client.connection->Unregister();  // a second call returns at once
  EXPECT_EQ(registry.unregistrations(), 1);
}

TEST_F(CoreDriverTest, RegistryKnobs) {
  auto& registry = core_->registry();
  registry.set_registration_status(STATUS_INSUFFICIENT_RESOURCES);
  TestClient refused;
  auto registerClient =
      reinterpret_cast<RegisterServiceClientFn>(registry.table()[kServiceTableRegisterClient]);
  EXPECT_EQ(registerClient(&refused, &refused.connection), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(refused.connection, nullptr);
  registry.set_registration_status(STATUS_SUCCESS);

  TestClient client;
  RegisterClient(&client);
  registry.set_refuse_attach(true);
  registry.AnnounceInterface();
  EXPECT_EQ(client.attachResult, 0);
  EXPECT_FALSE(core_->firewall().attached());
  registry.set_refuse_attach(false);
  registry.set_deliver_on_attach(false);
  registry.AnnounceInterface(IID_BASTION_PLUGIN_PACKET_INSPECT, 1);
  EXPECT_EQ(client.lastFlag, 1);
  EXPECT_EQ(client.attachResult, 1);
  EXPECT_EQ(client.attaches.load(), 0);
  EXPECT_EQ(registry.attach_calls(), 2);
  EXPECT_EQ(registry.registrations(), 2);
  client.connection->Unregister();
}

TEST_F(CoreDriverTest, UnregisterWaitsForARunningInspection) {
  TestClient client;
  RegisterClient(&client);
  core_->registry().AnnounceInterface();
  ASSERT_TRUE(core_->firewall().attached());
  client.plugin.hold = true;
  std::thread packet([&] { core_->firewall().Inspect(nullptr); });
  ASSERT_TRUE(SpinUntil([&] { return client.plugin.inside.load(); }));
  std::atomic<int> unregisteredAt{0};
  std::thread unregister([&] {
    client.connection->Unregister();
    unregisteredAt.store(Tick());
  });
  // Detached from the core (no new packet gets in) but still waiting.
  EXPECT_TRUE(SpinUntil([&] { return !core_->firewall().attached(); }));
  EXPECT_EQ(core_->firewall().Inspect(nullptr), std::nullopt);
  client.plugin.hold = false;
  packet.join();
  unregister.join();
  EXPECT_LT(client.plugin.lastEnd.load(), unregisteredAt.load());
  EXPECT_EQ(client.plugin.calls.load(), 1);
}

TEST_F(CoreDriverTest, UnregisterWaitsForARunningCallback) {
  TestClient client;
  client.attachOnNotify = false;
  RegisterClient(&client);
  client.hold = true;
  std::thread notify([&] { core_->registry().AnnounceInterface(); });
  ASSERT_TRUE(SpinUntil([&] { return client.inside.load(); }));
  std::atomic<int> unregisteredAt{0};
  std::thread unregister([&] {
    client.connection->Unregister();
    unregisteredAt.store(Tick());
  });
  EXPECT_TRUE(SpinUntil([&] { return core_->registry().registered_clients() == 0; }));
  client.hold = false;
  notify.join();
  unregister.join();
  EXPECT_LT(client.callbackEnd.load(), unregisteredAt.load());
}

TEST_F(CoreDriverTest, FirewallCoreHoldsOnePluginAtATime) {
  TestPlugin first;
  TestPlugin second;
  auto& firewall = core_->firewall();
  EXPECT_FALSE(firewall.Attach(nullptr));
  EXPECT_TRUE(firewall.Attach(&first));
  EXPECT_FALSE(firewall.Attach(&second));
  firewall.Detach(&second);  // not attached: no effect
  EXPECT_EQ(firewall.plugin(), &first);
  firewall.Detach(&first);
  EXPECT_TRUE(firewall.Attach(&second));
  EXPECT_EQ(firewall.Inspect(nullptr), 7);
  EXPECT_EQ(second.calls.load(), 1);
  EXPECT_EQ(first.calls.load(), 0);
  EXPECT_EQ(firewall.inspections(), 1u);
  firewall.Detach(&second);
}

}  // namespace
