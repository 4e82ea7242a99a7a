#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kt_hooks.h"
#include "nips/driver/service_client.h"
#include "nips/engine/log.h"
#include "testlib/engine_support.h"
#include "testlib/nimq_reader.h"

namespace {

constexpr GUID kOtherIid = {0xED755236,
                            0x878E,
                            0x4662,
                            {0x94, 0x5D, 0xF1, 0x7B, 0x5A, 0xF6, 0xA0, 0xEF}};  // last byte differs

// A registry connection that records what the client asks of it.
class RecordingConnection final : public ServiceConnection {
 public:
  void Unregister() override { unregisters.fetch_add(1); }
  UCHAR AttachInterface(const GUID* iid, PVOID clientContext) override {
    attaches.fetch_add(1);
    lastAttachIid = iid;
    lastClientContext = clientContext;
    return attachResult.load();
  }
  void DetachInterface(const GUID* iid, PVOID serverContext, PVOID clientContext) override {
    detaches.fetch_add(1);
    lastDetachIid = iid;
    lastDetachServer = serverContext;
    lastDetachClient = clientContext;
  }

  std::atomic<int> unregisters{0};
  std::atomic<int> attaches{0};
  std::atomic<int> detaches{0};
  std::atomic<UCHAR> attachResult{1};
  const GUID* lastAttachIid = nullptr;
  PVOID lastClientContext = nullptr;
  const GUID* lastDetachIid = nullptr;
  PVOID lastDetachServer = nullptr;
  PVOID lastDetachClient = nullptr;
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
struct Line {
  Line(const std::string& t, ULONG c) : text(t.substr(0, kLogTextMax)), category(c) {}
  std::string text;
  ULONG category;
  bool operator==(const Line& other) const {
    return text == other.text && category == other.category;
  }
};
std::ostream& operator<<(std::ostream& out, const Line& line) {
  return out << "{" << line.category << ", \"" << line.text << "\"}";
}

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
  std::vector<Line> Lines() {
    std::vector<Line> lines;
    for (const testlib::LogRecord& record : testlib::DrainLog(plugin_->get())) {
      EXPECT_FALSE(record.overflow);
      EXPECT_EQ(record.kind, kLogKindFlagged) << record.Narrow();
      lines.push_back({record.Narrow(), record.category});
    }
    return lines;
  }

  PVOID PluginContext() { return static_cast<HostPluginBase*>(plugin_->get()); }

  void RegisterAndAttach(PVOID server) {
    ASSERT_TRUE(client_->Register(plugin_->get()));
    client_->OnInterfaceNotify(&IID_BASTION_PLUGIN_PACKET_INSPECT, 0);
    client_->OnAttach(&IID_BASTION_PLUGIN_PACKET_INSPECT, server);
    ASSERT_TRUE(client_->registered());
    ASSERT_EQ(client_->serverContext(), server);
    Lines();
  }

  PVOID table_[kServiceTableEntries];
  RecordingConnection connection_;
  std::unique_ptr<testlib::PluginHolder> plugin_;
  std::unique_ptr<NipsServiceClient> client_;
  int server_ = 0;  // its address serves as a server context
};

const std::string kNotified =
    "Tarn Nips plugin driver notified for IID_BASTION_PLUGIN_PACKET_INSPECT.\n";
const std::string kAttaching =
    "Tarn Nips plugin driver attaching to IID_BASTION_PLUGIN_PACKET_INSPECT.\n";
const std::string kAlreadyRegistered =
    "Tarn Nips plugin driver notification for IID_BASTION_PLUGIN_PACKET_INSPECT ignored since "
    "already registered.\n";
const std::string kUnloading =
    "Tarn Nips plugin driver notification for IID_BASTION_PLUGIN_PACKET_INSPECT ignored since we "
    "are unloading.\n";

TEST_F(ServiceClientTest, RegistersThroughEntry25WithThePluginAsClientContext) {
  ASSERT_TRUE(client_->Register(plugin_->get()));
  EXPECT_EQ(g_registeredClient, client_.get());
  EXPECT_EQ(client_->connection(), &connection_);
  EXPECT_EQ(client_->clientContext(), PluginContext());
  EXPECT_FALSE(client_->registered());
  EXPECT_TRUE(Lines().empty());
}

TEST_F(ServiceClientTest, RefusedRegistrationLogsTheStatusAndLeavesNoConnection) {
  g_registerStatus = STATUS_ACCESS_DENIED;
  EXPECT_FALSE(client_->Register(plugin_->get()));
  EXPECT_EQ(client_->connection(), nullptr);
  EXPECT_EQ(
      Lines(),
      (std::vector<Line>{{"Tarn Nips plugin driver failed to register as service registry client, "
                          "sts=0xC0000022\n",
                          kLogError}}));
  // Without a table the registration is refused the same way.
  g_serviceTable = nullptr;
  EXPECT_FALSE(client_->Register(plugin_->get()));
  EXPECT_EQ(Lines().size(), 1u);
  client_->Stop();
  EXPECT_EQ(connection_.unregisters.load(), 0);
}

TEST_F(ServiceClientTest, NotificationAttachesOnceAndASecondOneIsRefused) {
  ASSERT_TRUE(client_->Register(plugin_->get()));
  const GUID iid = IID_BASTION_PLUGIN_PACKET_INSPECT;  // a copy: the id, not the address, counts
  client_->OnInterfaceNotify(&iid, 0);
  EXPECT_EQ(connection_.attaches.load(), 1);
  EXPECT_EQ(connection_.lastAttachIid, &iid);
  EXPECT_EQ(connection_.lastClientContext, PluginContext());
  EXPECT_TRUE(client_->registered());
  EXPECT_EQ(Lines(), (std::vector<Line>{{kNotified, kLogInfo}, {kAttaching, kLogInfo}}));

  client_->OnInterfaceNotify(&iid, 0);
  EXPECT_EQ(connection_.attaches.load(), 1);
  EXPECT_EQ(Lines(), (std::vector<Line>{{kNotified, kLogInfo}, {kAlreadyRegistered, kLogInfo}}));
}

TEST_F(ServiceClientTest, OtherInterfacesAndNonZeroFlagsAreIgnoredSilently) {
  ASSERT_TRUE(client_->Register(plugin_->get()));
  client_->OnInterfaceNotify(&kOtherIid, 0);
  client_->OnInterfaceNotify(&IID_BASTION_PLUGIN_PACKET_INSPECT, 1);
  client_->OnInterfaceNotify(&IID_BASTION_PLUGIN_PACKET_INSPECT, 0x80);
  client_->OnInterfaceNotify(nullptr, 0);
  EXPECT_EQ(connection_.attaches.load(), 0);
  EXPECT_FALSE(client_->registered());
  EXPECT_TRUE(Lines().empty());
}

TEST_F(ServiceClientTest, AFailedAttachAllowsTheNextNotificationToTryAgain) {
  ASSERT_TRUE(client_->Register(plugin_->get()));
  connection_.attachResult = 0;
  client_->OnInterfaceNotify(&IID_BASTION_PLUGIN_PACKET_INSPECT, 0);
  EXPECT_FALSE(client_->registered());
  connection_.attachResult = 1;
  client_->OnInterfaceNotify(&IID_BASTION_PLUGIN_PACKET_INSPECT, 0);
  EXPECT_EQ(connection_.attaches.load(), 2);
  EXPECT_TRUE(client_->registered());
}

TEST_F(ServiceClientTest, NotificationClearsTheServerContextBeforeAttaching) {
  RegisterAndAttach(&server_);
  connection_.lastDetachServer = nullptr;
  client_->OnDetach(&IID_BASTION_PLUGIN_PACKET_INSPECT, &server_, PluginContext());
  ASSERT_FALSE(client_->registered());
  // The next attach delivers no OnAttach: the old context must not survive.
  client_->OnInterfaceNotify(&IID_BASTION_PLUGIN_PACKET_INSPECT, 0);
  EXPECT_EQ(client_->serverContext(), nullptr);
}

TEST_F(ServiceClientTest, AttachNotificationsAreCheckedBeforeTheContextIsKept) {
  ASSERT_TRUE(client_->Register(plugin_->get()));
  client_->OnAttach(&kOtherIid, &server_);
  client_->OnAttach(&IID_BASTION_PLUGIN_PACKET_INSPECT, nullptr);
  EXPECT_EQ(client_->serverContext(), nullptr);
  client_->OnAttach(&IID_BASTION_PLUGIN_PACKET_INSPECT, &server_);
  EXPECT_EQ(client_->serverContext(), &server_);
  WCHAR expected[kLogBufferChars];
  FormatLogText(expected, kLogBufferChars,
                "Tarn Nips plugin driver service attached with context=0x%p\n", &server_);
  EXPECT_EQ(Lines(),
            (std::vector<Line>{
                {"Tarn Nips plugin got attach notify with invalid GUID\n", kLogError},
                {"Tarn Nips plugin driver got attach notify with NULL server context\n", kLogError},
                {kt::Narrow(expected), kLogInfo}}));
}

TEST_F(ServiceClientTest, DetachWithStaleOrForeignContextsIsRefused) {
  RegisterAndAttach(&server_);
  int stale = 0;
  const std::string wrong =
      "Tarn Nips plugin driver got detatch with wrong provider or client context\n";
  client_->OnDetach(&IID_BASTION_PLUGIN_PACKET_INSPECT, &stale, PluginContext());
  client_->OnDetach(&IID_BASTION_PLUGIN_PACKET_INSPECT, &server_, &stale);
  client_->OnDetach(&kOtherIid, &server_, PluginContext());
  EXPECT_TRUE(client_->registered());
  EXPECT_EQ(connection_.detaches.load(), 0);
  EXPECT_EQ(Lines(),
            (std::vector<Line>{{wrong, kLogError},
                               {wrong, kLogError},
                               {"Tarn Nips plugin got detatch with invalid GUID\n", kLogError}}));
}

TEST_F(ServiceClientTest, DetachWithTheRightContextsDetachesAndAllowsReattach) {
  RegisterAndAttach(&server_);
  const GUID iid = IID_BASTION_PLUGIN_PACKET_INSPECT;
  client_->OnDetach(&iid, &server_, PluginContext());
  EXPECT_EQ(connection_.detaches.load(), 1);
  // The client's own constant, not the caller's copy.
  ASSERT_NE(connection_.lastDetachIid, nullptr);
  EXPECT_NE(connection_.lastDetachIid, &iid);
  EXPECT_EQ(memcmp(connection_.lastDetachIid, &IID_BASTION_PLUGIN_PACKET_INSPECT, sizeof(GUID)), 0);
  EXPECT_EQ(connection_.lastDetachServer, &server_);
  EXPECT_EQ(connection_.lastDetachClient, PluginContext());
  EXPECT_FALSE(client_->registered());
  EXPECT_EQ(Lines(), (std::vector<Line>{{"Tarn Nips plugin detaching...", kLogInfo}}));

  client_->OnDetach(&iid, &server_, PluginContext());
  EXPECT_EQ(
      Lines(),
      (std::vector<Line>{
          {"Tarn Nips plugin driver got detatch while plugin is not registered\n", kLogError}}));
  client_->OnInterfaceNotify(&iid, 0);
  EXPECT_EQ(connection_.attaches.load(), 2);
}

TEST_F(ServiceClientTest, StopUnregistersOnceAndRefusesLaterNotifications) {
  RegisterAndAttach(&server_);
  client_->Stop();
  EXPECT_EQ(connection_.unregisters.load(), 1);
  EXPECT_EQ(client_->connection(), nullptr);
  EXPECT_EQ(client_->clientContext(), nullptr);
  EXPECT_TRUE(client_->unloading());
  EXPECT_EQ(Lines(), (std::vector<Line>{{"detaching from service registry...\n", kLogInfo}}));
  client_->Stop();
  EXPECT_EQ(connection_.unregisters.load(), 1);
  EXPECT_TRUE(Lines().empty());

  // Even after a detach (registered 0) nothing attaches once stopping began.
  client_->OnDetach(&IID_BASTION_PLUGIN_PACKET_INSPECT, &server_, nullptr);
  Lines();
  client_->OnInterfaceNotify(&IID_BASTION_PLUGIN_PACKET_INSPECT, 0);
  EXPECT_EQ(connection_.attaches.load(), 1);
  EXPECT_EQ(Lines(), (std::vector<Line>{{kUnloading, kLogInfo}}));
  // Destruction stops once more without another Unregister.
  client_.reset();
  EXPECT_EQ(connection_.unregisters.load(), 1);
}

TEST_F(ServiceClientTest, ConcurrentNotificationsAttachExactlyOnce) {
  ASSERT_TRUE(client_->Register(plugin_->get()));
  constexpr int kThreads = 8;
  constexpr int kRounds = 20;
  for (int round = 0; round < kRounds; ++round) {
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        ready.fetch_add(1);
        // Bounded: every thread arrives at once in practice.
        for (long spin = 0; spin < 5000000 && ready.load() < kThreads; ++spin) {
          std::this_thread::yield();
        }
        client_->OnInterfaceNotify(&IID_BASTION_PLUGIN_PACKET_INSPECT, 0);
      });
    }
    for (auto& thread : threads) thread.join();
    ASSERT_EQ(connection_.attaches.load(), round + 1);
    client_->OnAttach(&IID_BASTION_PLUGIN_PACKET_INSPECT, &server_);
    client_->OnDetach(&IID_BASTION_PLUGIN_PACKET_INSPECT, &server_, PluginContext());
    ASSERT_FALSE(client_->registered());
    Lines();
  }
}

}  // namespace
