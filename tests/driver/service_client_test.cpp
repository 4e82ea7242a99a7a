#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "kt_hooks.h"
#include "nips/driver/service_client.h"
#include "nips/engine/log.h"
#include "testlib/engine_support.h"
#include "testlib/nimq_reader.h"

namespace {

const GUID kOtherIid = [] {  // the last byte differs
  GUID iid = IID_BASTION_PLUGIN_PACKET_INSPECT;
  iid.Data4[7] ^= 1;
  return iid;
}();
const GUID* const kIid = &IID_BASTION_PLUGIN_PACKET_INSPECT;

class RecordingConnection final : public ServiceConnection {
 public:
  void Unregister() override { unregisters.fetch_add(1); }
  UCHAR AttachInterface(const GUID* iid, PVOID clientContext) override {
    attaches.fetch_add(1);
    last = {iid, nullptr, clientContext};
    return attachResult;
  }
  void DetachInterface(const GUID* iid, PVOID serverContext, PVOID clientContext) override {
    detaches.fetch_add(1);
    last = {iid, serverContext, clientContext};
  }
  std::atomic<int> unregisters{0}, attaches{0}, detaches{0};
  UCHAR attachResult = 1;
  std::tuple<const GUID*, PVOID, PVOID> last;  // of the last attach or detach
};

RecordingConnection* g_connection = nullptr;

using Lines = std::vector<std::pair<ULONG, std::string>>;

class ServiceClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    table_[kServiceTableRegisterClient] =
        reinterpret_cast<PVOID>(+[](ServiceClient*, ServiceConnection** connection) -> NTSTATUS {
          *connection = g_connection;
          return STATUS_SUCCESS;
        });
    g_serviceTable = table_;
    g_connection = &connection_;
    plugin_ = std::make_unique<testlib::PluginHolder>();
    ASSERT_EQ(testlib::SendLogMask(plugin_->get(), 0xFF), STATUS_SUCCESS);
    client_ = std::make_unique<NipsServiceClient>(plugin_->get());
  }
  void TearDown() override {
    client_.reset();
    plugin_.reset();
    g_serviceTable = nullptr;
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
  // Every queued line since the last call; all of the client's are flagged.
  Lines Drain() {
    Lines lines;
    for (const testlib::LogRecord& record : testlib::DrainLog(plugin_->get())) {
      EXPECT_FALSE(record.overflow);
      EXPECT_EQ(record.kind, kLogKindFlagged) << record.Narrow();
      lines.push_back({record.category, record.Narrow()});
    }
    return lines;
  }
  PVOID PluginContext() { return static_cast<HostPluginBase*>(plugin_->get()); }
  void Attach() {
    ASSERT_TRUE(client_->Register(plugin_->get()));
    client_->OnInterfaceNotify(kIid, 0);
  }

  PVOID table_[kServiceTableEntries] = {};
  RecordingConnection connection_;
  std::unique_ptr<testlib::PluginHolder> plugin_;
  std::unique_ptr<NipsServiceClient> client_;
  int server_ = 0;  // its address serves as a server context
};

// The one byte-exact check of the client's log lines.
TEST_F(ServiceClientTest, OnlyTheInspectInterfaceWithFlagZeroAttachesAndOnlyOnce) {
  ASSERT_TRUE(client_->Register(plugin_->get()));
  EXPECT_EQ(client_->connection(), &connection_);
  EXPECT_EQ(client_->clientContext(), PluginContext());
  client_->OnInterfaceNotify(&kOtherIid, 0);
  client_->OnInterfaceNotify(kIid, 1);
  client_->OnInterfaceNotify(nullptr, 0);
  EXPECT_EQ(connection_.attaches.load(), 0);
  EXPECT_TRUE(Drain().empty());
  connection_.attachResult = 0;  // a failed attach lets the next notification try again
  client_->OnInterfaceNotify(kIid, 0);
  EXPECT_FALSE(client_->registered());
  Drain();
  connection_.attachResult = 1;
  const GUID iid = IID_BASTION_PLUGIN_PACKET_INSPECT;  // a copy: the id, not the address, counts
  client_->OnInterfaceNotify(&iid, 0);
  EXPECT_EQ(connection_.attaches.load(), 2);
  EXPECT_EQ(connection_.last, std::make_tuple(&iid, PVOID(), PluginContext()));
  EXPECT_TRUE(client_->registered());
  auto notified = "Tarn Nips plugin driver notified for IID_BASTION_PLUGIN_PACKET_INSPECT.\n";
  EXPECT_EQ(Drain(), (Lines{{kLogInfo, notified},
                            {kLogInfo,
                             "Tarn Nips plugin driver attaching to "
                             "IID_BASTION_PLUGIN_PACKET_INSPECT.\n"}}));
  client_->OnInterfaceNotify(&iid, 0);
  EXPECT_EQ(connection_.attaches.load(), 2);
  EXPECT_EQ(Drain(), (Lines{{kLogInfo, notified},
                            {kLogInfo,
                             "Tarn Nips plugin driver notification for "
                             "IID_BASTION_PLUGIN_PACKET_INSPECT ign"}}));  // cut at 78
}

// The next notification clears the context before it attaches (the attach may deliver no OnAttach).
TEST_F(ServiceClientTest, AttachAndDetachNeedTheInterfaceAndTheCurrentContexts) {
  Attach();
  client_->OnAttach(&kOtherIid, &server_);
  client_->OnAttach(kIid, nullptr);
  EXPECT_EQ(client_->serverContext(), nullptr);
  client_->OnAttach(kIid, &server_);
  EXPECT_EQ(client_->serverContext(), &server_);
  int stale = 0;
  client_->OnDetach(kIid, &stale, PluginContext());
  client_->OnDetach(kIid, &server_, &stale);
  client_->OnDetach(&kOtherIid, &server_, PluginContext());
  EXPECT_TRUE(client_->registered());
  EXPECT_EQ(connection_.detaches.load(), 0);
  const GUID iid = IID_BASTION_PLUGIN_PACKET_INSPECT;
  client_->OnDetach(&iid, &server_, PluginContext());
  EXPECT_EQ(connection_.detaches.load(), 1);
  const auto [detachedIid, server, client] = connection_.last;
  ASSERT_NE(detachedIid, nullptr);
  EXPECT_NE(detachedIid, &iid);  // the client's own constant, not the caller's copy
  EXPECT_EQ(memcmp(detachedIid, kIid, sizeof(GUID)), 0);
  EXPECT_EQ(std::make_pair(server, client), std::make_pair(PVOID(&server_), PluginContext()));
  EXPECT_FALSE(client_->registered());
  client_->OnDetach(&iid, &server_, PluginContext());  // not registered: nothing
  EXPECT_EQ(connection_.detaches.load(), 1);
  EXPECT_EQ(Drain().size(), 10u);
  client_->OnInterfaceNotify(&iid, 0);
  EXPECT_EQ(connection_.attaches.load(), 2);
  EXPECT_EQ(client_->serverContext(), nullptr);
}

TEST_F(ServiceClientTest, StopUnregistersOnceAndRefusesLaterNotifications) {
  Attach();
  client_->OnAttach(kIid, &server_);
  client_->Stop();
  client_->Stop();
  EXPECT_EQ(connection_.unregisters.load(), 1);
  EXPECT_EQ(client_->connection(), nullptr);
  EXPECT_EQ(client_->clientContext(), nullptr);
  EXPECT_TRUE(client_->unloading());
  client_->OnDetach(kIid, &server_, nullptr);
  ASSERT_FALSE(client_->registered());
  client_->OnInterfaceNotify(kIid, 0);
  EXPECT_EQ(connection_.attaches.load(), 1);
  client_.reset();  // stops once more without another Unregister
  EXPECT_EQ(connection_.unregisters.load(), 1);
}

// The plug-in outlives the client here, so every line of the client's life is seen.
TEST_F(ServiceClientTest, ARefusalThatHandsBackAConnectionKeepsItForStop) {
  table_[kServiceTableRegisterClient] =
      reinterpret_cast<PVOID>(+[](ServiceClient*, ServiceConnection** connection) -> NTSTATUS {
        *connection = g_connection;
        return 0x103;  // STATUS_PENDING: informational, still not a success
      });
  EXPECT_FALSE(client_->Register(plugin_->get()));
  EXPECT_EQ(client_->connection(), &connection_);
  client_->Stop();
  EXPECT_EQ(client_->connection(), nullptr);
  client_.reset();  // stops once more
  EXPECT_EQ(connection_.unregisters.load(), 1);
  EXPECT_EQ(Drain(), (Lines{{kLogError,
                             "Tarn Nips plugin driver failed to register as service registry "
                             "client, sts=0x1"},
                            {kLogInfo, "detaching from service registry...\n"}}));
}

TEST_F(ServiceClientTest, ConcurrentNotificationsAttachExactlyOnce) {
  ASSERT_TRUE(client_->Register(plugin_->get()));
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&] {
        ready.fetch_add(1);
        for (long spin = 0; spin < 5000000 && ready.load() < 8; ++spin) std::this_thread::yield();
        client_->OnInterfaceNotify(kIid, 0);
      });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(connection_.attaches.load(), round + 1);
    client_->OnAttach(kIid, &server_);
    client_->OnDetach(kIid, &server_, PluginContext());
    ASSERT_FALSE(client_->registered());
  }
}

}  // namespace
