#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kt_hooks.h"
#include "nips/driver/content_driver.h"
#include "nips/driver/service_client.h"
#include "nips/engine/log.h"
#include "testlib/engine_support.h"
#include "testlib/nimq_reader.h"

namespace {

constexpr GUID kOtherIid = {0xED755236,
                            0x878E,
                            0x4662,
                            {0x94, 0x5D, 0xF1, 0x7B, 0x5A, 0xF6, 0xA0, 0xEF}};  // last byte differs
const GUID* const kIid = &IID_BASTION_PLUGIN_PACKET_INSPECT;

// A registry connection that records what the client asks of it.
class RecordingConnection final : public ServiceConnection {
 public:
  void Unregister() override { unregisters.fetch_add(1); }
  UCHAR AttachInterface(const GUID* iid, PVOID clientContext) override {
    attaches.fetch_add(1);
    lastAttachIid = iid;
    lastClientContext = clientContext;
    return attachResult;
  }
  void DetachInterface(const GUID* iid, PVOID serverContext, PVOID clientContext) override {
    detaches.fetch_add(1);
    lastDetach = {iid, serverContext, clientContext};
  }
  std::atomic<int> unregisters{0}, attaches{0}, detaches{0};
  UCHAR attachResult = 1;
  const GUID* lastAttachIid = nullptr;
  PVOID lastClientContext = nullptr;
  struct {  // the last DetachInterface
    const GUID* iid;
    PVOID server, client;
  } lastDetach = {};
};

RecordingConnection* g_connection = nullptr;
NTSTATUS g_registerStatus = STATUS_SUCCESS;
ServiceClient* g_registeredClient = nullptr;

NTSTATUS RegisterClient(ServiceClient* client, ServiceConnection** connection) {
  g_registeredClient = client;
  if (g_registerStatus != STATUS_SUCCESS) return g_registerStatus;
  *connection = g_connection;
  return STATUS_SUCCESS;
}

// A log line as queued: the text is cut to the log's line length.
using Line = std::pair<ULONG, std::string>;
Line L(ULONG category, const std::string& text) { return {category, text.substr(0, kLogTextMax)}; }
using Lines = std::vector<Line>;

const std::string kPrefix = "Tarn Nips plugin driver ";
const std::string kNotified = kPrefix + "notified for IID_BASTION_PLUGIN_PACKET_INSPECT.\n";
const std::string kIgnored =
    kPrefix + "notification for IID_BASTION_PLUGIN_PACKET_INSPECT ignored ";
const std::string kWrongContext = kPrefix + "got detatch with wrong provider or client context\n";

class ServiceClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    for (PVOID& entry : table_) entry = nullptr;
    table_[kServiceTableRegisterClient] = reinterpret_cast<PVOID>(&RegisterClient);
    g_serviceTable = table_;
    g_connection = &connection_;
    g_registerStatus = STATUS_SUCCESS;
    g_registeredClient = nullptr;
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
  Lines Drain(NipsPlugin* plugin = nullptr) {
    Lines lines;
    for (const testlib::LogRecord& record : testlib::DrainLog(plugin ? plugin : plugin_->get())) {
      EXPECT_FALSE(record.overflow);
      EXPECT_EQ(record.kind, kLogKindFlagged) << record.Narrow();
      lines.push_back({record.category, record.Narrow()});
    }
    return lines;
  }
  PVOID PluginContext() { return static_cast<HostPluginBase*>(plugin_->get()); }
  void RegisterAndAttach() {
    ASSERT_TRUE(client_->Register(plugin_->get()));
    client_->OnInterfaceNotify(kIid, 0);
    client_->OnAttach(kIid, &server_);
    ASSERT_TRUE(client_->registered());
    ASSERT_EQ(client_->serverContext(), &server_);
    Drain();
  }

  PVOID table_[kServiceTableEntries];
  RecordingConnection connection_;
  std::unique_ptr<testlib::PluginHolder> plugin_;
  std::unique_ptr<NipsServiceClient> client_;
  int server_ = 0;  // its address serves as a server context
};

TEST_F(ServiceClientTest, RegistersThroughEntry25AndLogsARefusal) {
  g_registerStatus = STATUS_ACCESS_DENIED;
  EXPECT_FALSE(client_->Register(plugin_->get()));
  EXPECT_EQ(client_->connection(), nullptr);
  EXPECT_EQ(Drain(), Lines{L(kLogError, kPrefix + "failed to register as service registry "
                                                  "client, sts=0xC0000022\n")});
  g_serviceTable = nullptr;  // without a table the registration is refused the same way
  EXPECT_FALSE(client_->Register(plugin_->get()));
  EXPECT_EQ(Drain().size(), 1u);

  g_serviceTable = table_;
  g_registerStatus = STATUS_SUCCESS;
  ASSERT_TRUE(client_->Register(plugin_->get()));
  EXPECT_EQ(g_registeredClient, client_.get());
  EXPECT_EQ(client_->connection(), &connection_);
  EXPECT_EQ(client_->clientContext(), PluginContext());
  EXPECT_FALSE(client_->registered());
  EXPECT_TRUE(Drain().empty());
}

TEST_F(ServiceClientTest, OnlyTheInspectInterfaceWithFlagZeroAttachesAndOnlyOnce) {
  ASSERT_TRUE(client_->Register(plugin_->get()));
  client_->OnInterfaceNotify(&kOtherIid, 0);
  client_->OnInterfaceNotify(kIid, 1);
  client_->OnInterfaceNotify(kIid, 0x80);
  client_->OnInterfaceNotify(nullptr, 0);
  EXPECT_EQ(connection_.attaches.load(), 0);
  EXPECT_TRUE(Drain().empty());
  // A failed attach lets the next notification try again.
  connection_.attachResult = 0;
  client_->OnInterfaceNotify(kIid, 0);
  EXPECT_FALSE(client_->registered());
  Drain();
  connection_.attachResult = 1;
  const GUID iid = IID_BASTION_PLUGIN_PACKET_INSPECT;  // a copy: the id, not the address, counts
  client_->OnInterfaceNotify(&iid, 0);
  EXPECT_EQ(connection_.attaches.load(), 2);
  EXPECT_EQ(connection_.lastAttachIid, &iid);
  EXPECT_EQ(connection_.lastClientContext, PluginContext());
  EXPECT_TRUE(client_->registered());
  const std::string attaching = kPrefix + "attaching to IID_BASTION_PLUGIN_PACKET_INSPECT.\n";
  EXPECT_EQ(Drain(), (Lines{L(kLogInfo, kNotified), L(kLogInfo, attaching)}));
  // A second notification while attached.
  client_->OnInterfaceNotify(&iid, 0);
  EXPECT_EQ(connection_.attaches.load(), 2);
  EXPECT_EQ(Drain(),
            (Lines{L(kLogInfo, kNotified), L(kLogInfo, kIgnored + "since already registered.\n")}));
}

TEST_F(ServiceClientTest, AttachKeepsOnlyAValidContextAndTheNextNotificationClearsIt) {
  ASSERT_TRUE(client_->Register(plugin_->get()));
  client_->OnAttach(&kOtherIid, &server_);
  client_->OnAttach(kIid, nullptr);
  EXPECT_EQ(client_->serverContext(), nullptr);
  client_->OnAttach(kIid, &server_);
  EXPECT_EQ(client_->serverContext(), &server_);
  WCHAR attached[kLogBufferChars];
  FormatLogText(attached, kLogBufferChars,
                "Tarn Nips plugin driver service attached with context=0x%p\n", &server_);
  EXPECT_EQ(Drain(), (Lines{L(kLogError, "Tarn Nips plugin got attach notify with invalid GUID\n"),
                            L(kLogError, kPrefix + "got attach notify with NULL server context\n"),
                            L(kLogInfo, kt::Narrow(attached))}));
  // A notification clears it before attaching: the attach may deliver no
  // OnAttach, and the old context must not survive.
  client_->OnInterfaceNotify(kIid, 0);
  EXPECT_TRUE(client_->registered());
  EXPECT_EQ(client_->serverContext(), nullptr);
}

TEST_F(ServiceClientTest, DetachNeedsTheInterfaceAndBothCurrentContexts) {
  RegisterAndAttach();
  int stale = 0;
  client_->OnDetach(kIid, &stale, PluginContext());
  client_->OnDetach(kIid, &server_, &stale);
  client_->OnDetach(&kOtherIid, &server_, PluginContext());
  EXPECT_TRUE(client_->registered());
  EXPECT_EQ(connection_.detaches.load(), 0);
  EXPECT_EQ(Drain(), (Lines{L(kLogError, kWrongContext), L(kLogError, kWrongContext),
                            L(kLogError, "Tarn Nips plugin got detatch with invalid GUID\n")}));

  const GUID iid = IID_BASTION_PLUGIN_PACKET_INSPECT;
  client_->OnDetach(&iid, &server_, PluginContext());
  EXPECT_EQ(connection_.detaches.load(), 1);
  // The client's own constant, not the caller's copy.
  ASSERT_NE(connection_.lastDetach.iid, nullptr);
  EXPECT_NE(connection_.lastDetach.iid, &iid);
  EXPECT_EQ(memcmp(connection_.lastDetach.iid, kIid, sizeof(GUID)), 0);
  EXPECT_EQ(connection_.lastDetach.server, &server_);
  EXPECT_EQ(connection_.lastDetach.client, PluginContext());
  EXPECT_FALSE(client_->registered());
  EXPECT_EQ(Drain(), Lines{L(kLogInfo, "Tarn Nips plugin detaching...")});
  client_->OnDetach(&iid, &server_, PluginContext());
  EXPECT_EQ(Drain(), Lines{L(kLogError, kPrefix + "got detatch while plugin is not registered\n")});
  client_->OnInterfaceNotify(&iid, 0);  // attaches again
  EXPECT_EQ(connection_.attaches.load(), 2);
}

TEST_F(ServiceClientTest, StopUnregistersOnceAndRefusesLaterNotifications) {
  RegisterAndAttach();
  client_->Stop();
  EXPECT_EQ(connection_.unregisters.load(), 1);
  EXPECT_EQ(client_->connection(), nullptr);
  EXPECT_EQ(client_->clientContext(), nullptr);
  EXPECT_TRUE(client_->unloading());
  EXPECT_EQ(Drain(), Lines{L(kLogInfo, "detaching from service registry...\n")});
  client_->Stop();
  EXPECT_EQ(connection_.unregisters.load(), 1);
  EXPECT_TRUE(Drain().empty());
  // Even after a detach (registered 0) nothing attaches once stopping began.
  client_->OnDetach(kIid, &server_, nullptr);
  Drain();
  client_->OnInterfaceNotify(kIid, 0);
  EXPECT_EQ(connection_.attaches.load(), 1);
  EXPECT_EQ(Drain(), Lines{L(kLogInfo, kIgnored + "since we are unloading.\n")});
  client_.reset();  // stops once more without another Unregister
  EXPECT_EQ(connection_.unregisters.load(), 1);
}

// The content-driver object over this registry: a loader's refusal is logged
// as an error while the lifecycle lines stay out of the log.
TEST_F(ServiceClientTest, ContentDriverLogsTheLoadersRefusal) {
  struct KeepingLoader final : ContentDriverHost {  // keeps the object alive to read its log
    NTSTATUS RegisterContentDriver(ContentDriver* driver) override {
      driver->AddRef();
      return STATUS_ACCESS_DENIED;
    }
  } loader;
  NipsContentDriver* driver = NipsContentDriver::Create(&loader);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(driver->Start(), STATUS_ACCESS_DENIED);
  EXPECT_EQ(
      Drain(driver->plugin()),
      Lines{L(kLogError, "ERROR: Failed to register as content driver, status = 0xc0000022\n")});
  driver->Release();
  driver->Release();
  EXPECT_EQ(connection_.unregisters.load(), 1);
}

TEST_F(ServiceClientTest, ConcurrentNotificationsAttachExactlyOnce) {
  ASSERT_TRUE(client_->Register(plugin_->get()));
  constexpr int kThreads = 8;
  for (int round = 0; round < 20; ++round) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        ready.fetch_add(1);
        for (long spin = 0; spin < 5000000 && ready.load() < kThreads; ++spin) {
          std::this_thread::yield();  // bounded: every thread arrives at once in practice
        }
        client_->OnInterfaceNotify(kIid, 0);
      });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(connection_.attaches.load(), round + 1);
    client_->OnAttach(kIid, &server_);
    client_->OnDetach(kIid, &server_, PluginContext());
    ASSERT_FALSE(client_->registered());
    Drain();
  }
}

}  // namespace
