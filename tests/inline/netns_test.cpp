// `nips run` end to end: client, router and server namespaces joined by veth
// pairs; the router queues forwarded packets to NFQUEUE 0 for `nips run`, and
// real sockets show what reaches the server. Waits are bounded; namespaces go
// when the suite ends, also after a failure. Without root, `ip`, `iptables`,
// namespaces or NFQUEUE the suite is skipped and says why.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "inline/inline_support.h"
#include "tools/policy.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

const std::string kNips = std::string(NIPS_BINARY_DIR) + "/tools/nips";
constexpr const char* kClientAddress = "10.77.1.2";
constexpr const char* kServerAddress = "10.77.2.2";
constexpr uint16_t kBenignPort = 8080;
constexpr uint16_t kUdpPort = 5353;
const uint16_t kTcpPorts[] = {kBenignPort, 445, 139, 53, 80, 3389, 16992, 49670};

int Shell(const std::string& command) {
  const int status = system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Contains(const std::string& haystack, const std::vector<uint8_t>& needle) {
  return !needle.empty() &&
         haystack.find(std::string(needle.begin(), needle.end())) != std::string::npos;
}

// Waits (bounded) until `done` holds.
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (Clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

// Runs fn in a child process inside the named network namespace; its exit
// status, or -1. The child dies by alarm after `seconds`.
pid_t StartInNamespace(const std::string& name, const std::function<int()>& fn, int seconds) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  alarm(static_cast<unsigned>(seconds));
  const int fd = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(100);
  _exit(fn());
}

int Wait(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunInNamespace(const std::string& name, const std::function<int()>& fn, int seconds = 20) {
  return Wait(StartInNamespace(name, fn, seconds));
}

// The server's address and port; any address (to bind) when `any`.
sockaddr_in ServerAddress(uint16_t port, bool any = false) {
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  if (!any) inet_pton(AF_INET, kServerAddress, &address.sin_addr);
  return address;
}

int ConnectWithin(uint16_t port, int milliseconds) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  sockaddr_in address = ServerAddress(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
      errno != EINPROGRESS) {
    close(fd);
    return -1;
  }
  pollfd poller = {fd, POLLOUT, 0};
  int error = 0;
  socklen_t length = sizeof error;
  if (poll(&poller, 1, milliseconds) != 1 ||
      getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, 0);
  return fd;
}

// Client side: one connection that sends the chunks with a pause after
// each. 0 when every chunk was handed to the kernel.
int SendChunks(uint16_t port, const std::vector<std::vector<uint8_t>>& chunks, int pauseMs) {
  const int fd = ConnectWithin(port, 2000);
  if (fd < 0) return 1;
  for (const std::vector<uint8_t>& chunk : chunks) {
    if (send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(chunk.size())) {
      close(fd);
      return 2;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
  // An attack segment never acknowledged stays queued: reset, do not linger.
  linger hard = {1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  close(fd);
  return 0;
}

int SendDatagrams(int count, int intervalUs) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address = ServerAddress(kUdpPort);
  for (int i = 0; i < count; ++i) {
    const std::string text = "datagram " + std::to_string(i) + "\n";
    sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
    std::this_thread::sleep_for(std::chrono::microseconds(intervalUs));
  }
  close(fd);
  return 0;
}

// Server side: accepts on the TCP ports and appends what each connection
// sends to tcp-<port>.bin; datagrams to udp.bin.
int Serve(const fs::path& dir) {
  std::vector<pollfd> fds;
  std::vector<std::string> files;
  for (uint16_t port : kTcpPorts) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address = ServerAddress(port, true);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 64) != 0)
      return 3;
    fds.push_back({fd, POLLIN, 0});
    files.push_back("listen:" + std::to_string(port));
  }
  const int udp = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address = ServerAddress(kUdpPort, true);
  if (bind(udp, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 4;
  fds.push_back({udp, POLLIN, 0});
  files.push_back((dir / "udp.bin").string());
  std::ofstream(dir / "ready").put('1');
  for (;;) {
    if (poll(fds.data(), fds.size(), 1000) < 0) return 5;
    for (size_t i = 0; i < fds.size(); ++i) {
      if ((fds[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
      char buffer[65536];
      if (files[i].rfind("listen:", 0) == 0) {
        const int fd = accept(fds[i].fd, nullptr, nullptr);
        if (fd < 0) continue;
        fds.push_back({fd, POLLIN, 0});
        files.push_back((dir / ("tcp-" + files[i].substr(7) + ".bin")).string());
        continue;
      }
      const ssize_t n = recv(fds[i].fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        close(fds[i].fd);
        fds.erase(fds.begin() + static_cast<ptrdiff_t>(i));
        files.erase(files.begin() + static_cast<ptrdiff_t>(i));
        --i;
        continue;
      }
      std::ofstream(files[i], std::ios::app | std::ios::binary).write(buffer, n);
    }
  }
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

class InlineNetnsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    skip_.clear();
    if (geteuid() != 0) {
      skip_ = "needs root (network namespaces, iptables, NFQUEUE)";
      return;
    }
    if (!fs::exists("/proc/net/netfilter/nfnetlink_queue") &&
        Shell("modprobe nfnetlink_queue") != 0) {
      skip_ = "this kernel has no NFQUEUE (no /proc/net/netfilter/nfnetlink_queue)";
      return;
    }
    if (Shell("command -v ip") != 0 || Shell("command -v iptables") != 0) {
      skip_ = "needs the ip and iptables programs (iproute2, iptables)";
      return;
    }
    RemoveOrphanedNamespaces();
    const std::string tag = std::to_string(getpid());
    client_ = "nipsc" + tag;
    router_ = "nipsr" + tag;
    server_ = "nipss" + tag;
    dir_ = fs::temp_directory_path() / ("nips-netns-" + tag);
    fs::create_directories(dir_);
    if (Shell("ip netns add " + client_) != 0) {
      skip_ = "this kernel or container cannot create network namespaces";
      fs::remove_all(dir_);
      return;
    }
    created_ = true;
    std::vector<std::string> steps = {
        "ip netns add " + router_, "ip netns add " + server_,
        "ip link add c0 netns " + client_ + " type veth peer name r0 netns " + router_,
        "ip link add r1 netns " + router_ + " type veth peer name s0 netns " + server_,
        "ip netns exec " + router_ + " sysctl -qw net.ipv4.ip_forward=1"};
    const std::string interfaces[][3] = {{client_, "c0", "10.77.1.2/24"},
                                         {router_, "r0", "10.77.1.1/24"},
                                         {router_, "r1", "10.77.2.1/24"},
                                         {server_, "s0", "10.77.2.2/24"}};
    for (const auto& [ns, device, address] : interfaces) {
      steps.push_back("ip -n " + ns + " addr add " + address + " dev " + device);
      steps.push_back("ip -n " + ns + " link set " + device + " up");
      steps.push_back("ip -n " + ns + " link set lo up");
    }
    steps.push_back("ip -n " + client_ + " route add default via 10.77.1.1");
    steps.push_back("ip -n " + server_ + " route add default via 10.77.2.1");
    for (const std::string& step : steps) {
      if (Shell(step) != 0) {
        setupError_ = "topology step failed: " + step;
        return;
      }
    }
    if (!Iptables("-S FORWARD")) {
      skip_ = "iptables does not work in a network namespace here";
      return;
    }
    const fs::path serverDir = dir_;
    serverPid_ = StartInNamespace(
        server_, [serverDir] { return Serve(serverDir); }, 600);
    if (!WaitFor([] { return fs::exists(dir_ / "ready"); }, std::chrono::seconds(10))) {
      setupError_ = "the test server did not start";
    }
  }

  // Namespaces of an earlier run of this suite that died before its
  // teardown (a crash, a kill): their names end in a pid that is gone.
  static void RemoveOrphanedNamespaces() {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/var/run/netns", error)) {
      const std::string name = entry.path().filename().string();
      if (name.size() < 6 || name.rfind("nips", 0) != 0 || name.find_first_not_of("csr", 4) != 5 ||
          name.find_first_not_of("0123456789", 5) != std::string::npos) {
        continue;
      }
      const pid_t owner = static_cast<pid_t>(std::stol(name.substr(5)));
      if (kill(owner, 0) != 0 && errno == ESRCH) Shell("ip netns del " + name);
    }
  }

  static void TearDownTestSuite() {
    if (serverPid_ > 0) {
      kill(serverPid_, SIGKILL);
      Wait(serverPid_);
      serverPid_ = -1;
    }
    if (created_) {
      for (const std::string& name : {client_, router_, server_}) Shell("ip netns del " + name);
      created_ = false;
    }
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  void SetUp() override {
    if (!skip_.empty()) GTEST_SKIP() << skip_;
    ASSERT_TRUE(setupError_.empty()) << setupError_;
    ASSERT_TRUE(Iptables("-F FORWARD"));
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().extension() == ".bin") fs::remove(entry.path());
    }
    work_ = dir_ / ::testing::UnitTest::GetInstance()->current_test_info()->name();
    fs::create_directories(work_);
    control_ = (work_ / "ctl.sock").string();
  }

  void TearDown() override { StopService(); }

  static bool Iptables(const std::string& arguments) {
    return Shell("ip netns exec " + router_ + " iptables " + arguments) == 0;
  }

  // Starts `nips run` in the router; false when it does not report running.
  bool StartService(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {
        "ip",  "netns",     "exec",   router_, kNips,
        "run", "--control", control_, "--eve", (work_ / "eve.json").string()};
    args.insert(args.end(), extra.begin(), extra.end());
    const std::string err = (work_ / "service.err").string();
    const std::string out = (work_ / "service.out").string();
    servicePid_ = fork();
    if (servicePid_ == 0) {
      alarm(300);
      freopen(out.c_str(), "w", stdout);
      freopen(err.c_str(), "w", stderr);
      std::vector<char*> argv;
      for (std::string& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execvp(argv[0], argv.data());
      _exit(127);
    }
    return WaitFor([&] { return ReadAll(err).find("nips run: running") != std::string::npos; },
                   std::chrono::seconds(20));
  }

  // SIGTERM, then the exit status (bounded; SIGKILL after 15 s).
  int StopService() {
    if (servicePid_ <= 0) return -1;
    kill(servicePid_, SIGTERM);
    int status = -1;
    const auto end = Clock::now() + std::chrono::seconds(15);
    while (Clock::now() < end) {
      if (waitpid(servicePid_, &status, WNOHANG) == servicePid_) {
        servicePid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(servicePid_, SIGKILL);
    waitpid(servicePid_, &status, 0);
    servicePid_ = -1;
    return -1;
  }

  std::string Ctl(const std::string& arguments) {
    const std::string command = kNips + " ctl --control " + control_ + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, n);
    pclose(pipe);
    return text;
  }

  std::string Eve() { return ReadAll(work_ / "eve.json"); }
  std::string ServiceErr() { return ReadAll(work_ / "service.err"); }
  std::string Received(uint16_t port) {
    return ReadAll(dir_ / ("tcp-" + std::to_string(port) + ".bin"));
  }

  // The NFQUEUE rule in the router's path, then the service on queue 0.
  bool StartInline(std::vector<std::string> extra = {}) {
    extra.insert(extra.begin(), {"--queue", "0"});
    return Iptables("-A FORWARD -j NFQUEUE --queue-num 0") && StartService(extra);
  }
  fs::path WritePolicy(const std::string& name, const std::string& json) {
    std::ofstream(work_ / name) << json;
    return work_ / name;
  }
  bool Arrives(uint16_t port, const std::vector<uint8_t>& bytes) {
    return WaitFor([&] { return Contains(Received(port), bytes); }, std::chrono::seconds(5));
  }
  // 0 when the text was handed to the client's kernel on a connection to the benign port.
  int SendBenign(const std::string& text) {
    return RunInNamespace(client_, [&] { return SendChunks(kBenignPort, {Bytes(text)}, 50); });
  }

  // Sends prelude then attack on one connection; the server must get the
  // prelude (benign packets of the connection flow).
  void SendAttack(uint16_t port, const std::vector<uint8_t>& prelude,
                  const std::vector<uint8_t>& attack) {
    ASSERT_EQ(RunInNamespace(client_, [&] { return SendChunks(port, {prelude, attack}, 800); }), 0);
    EXPECT_TRUE(Arrives(port, prelude))
        << "the connection's benign bytes did not reach the server on port " << port;
  }

  static std::string skip_, setupError_, client_, router_, server_;
  static fs::path dir_;
  static bool created_;
  static pid_t serverPid_;
  fs::path work_;
  std::string control_;
  pid_t servicePid_ = -1;
};

std::string InlineNetnsTest::skip_, InlineNetnsTest::setupError_, InlineNetnsTest::client_,
    InlineNetnsTest::router_, InlineNetnsTest::server_;
fs::path InlineNetnsTest::dir_;
bool InlineNetnsTest::created_ = false;
pid_t InlineNetnsTest::serverPid_ = -1;

constexpr char kOnly3804[] = "{\"signatures\": [{\"id\": 3804, \"level\": 3, \"flag\": 1}]}";
std::string DefaultJson() { return nipstool::PolicyToJson(nipstool::DefaultPolicy()); }

struct AttackCase {
  const char* capture;
  uint16_t port;
  uint32_t signature;
  int frame = 4;  // the example's frame whose payload is the attack
};
const AttackCase kAttacks[] = {
    {"attack-2231-smb-negotiate-high-pid.pcap", 445, 2231},
    {"attack-3804-mailslot-name-unterminated.pcap", 139, 3804},
    {"attack-6029-smb-search-long-bytes.pcap", 445, 6029},
    {"attack-6182-rpc-zero-block.pcap", 49670, 6182},
    {"attack-6137-rdp-ms-t120.pcap", 3389, 6137, 8},
    {"attack-6202-dns-update-short-key.pcap", 53, 6202},
    {"attack-6177-wsman-negative-content-length.pcap", 16992, 6177},
    {"attack-6204-http-accept-encoding-malformed.pcap", 80, 6204},
};

std::vector<uint8_t> Attack2231() { return inlinetest::ExamplePayload(kAttacks[0].capture, 4); }

TEST_F(InlineNetnsTest, BenignTrafficPassesAndAttackPacketsNeverReachTheServer) {
  ASSERT_TRUE(StartInline()) << ServiceErr();
  const std::vector<uint8_t> tcp = Bytes("benign tcp bytes\n");
  ASSERT_EQ(RunInNamespace(client_, [&] { return SendChunks(kBenignPort, {tcp}, 50); }), 0);
  ASSERT_EQ(RunInNamespace(client_, [] { return SendDatagrams(5, 1000); }), 0);
  EXPECT_TRUE(Arrives(kBenignPort, tcp));
  EXPECT_TRUE(
      WaitFor([&] { return ReadAll(dir_ / "udp.bin").find("datagram 4\n") != std::string::npos; },
              std::chrono::seconds(5)));
  for (const AttackCase& attack : kAttacks) {
    SCOPED_TRACE(attack.capture);
    const std::vector<uint8_t> payload = inlinetest::ExamplePayload(attack.capture, attack.frame);
    ASSERT_FALSE(payload.empty());
    SendAttack(attack.port, Bytes(std::string("prelude ") + attack.capture), payload);
    EXPECT_FALSE(Contains(Received(attack.port), payload)) << "the attack reached the server";
    EXPECT_NE(Eve().find("\"signature_id\":" + std::to_string(attack.signature)), std::string::npos)
        << Eve();
  }
  const std::string stats = Ctl("stats");
  EXPECT_NE(stats.find("\"Block Packet\":"), std::string::npos) << stats;
  EXPECT_EQ(stats.find("\"Block Packet\":0"), std::string::npos) << stats;
  EXPECT_EQ(StopService(), 0);
  EXPECT_NE(ServiceErr().find("pool ledger empty"), std::string::npos) << ServiceErr();
}

TEST_F(InlineNetnsTest, ATcpPortScanIsCaughtAtItsTwentiethPortAndThatSynIsDropped) {
  ASSERT_TRUE(StartInline()) << ServiceErr();
  // Twenty closed low ports: the first nineteen are refused at once by the
  // server's reset; the twentieth SYN is dropped, so its connect waits for
  // the retransmission (about a second) before the reset comes.
  std::vector<double> seconds(20);
  const fs::path timings = work_ / "timings";
  ASSERT_EQ(
      RunInNamespace(client_,
                     [&] {
                       std::ofstream out(timings);
                       for (uint16_t port = 1; port <= 20; ++port) {
                         const auto start = Clock::now();
                         const int fd = ConnectWithin(static_cast<uint16_t>(port + 600), 3000);
                         if (fd >= 0) close(fd);
                         out << std::chrono::duration<double>(Clock::now() - start).count() << "\n";
                       }
                       return 0;
                     }),
      0);
  std::ifstream in(timings);
  for (double& value : seconds) in >> value;
  for (int i = 0; i < 19; ++i) EXPECT_LT(seconds[i], 0.5) << "port " << i + 601;
  EXPECT_GT(seconds[19], 0.8) << "the twentieth SYN reached the server";
  EXPECT_NE(Eve().find("\"signature_id\":3700"), std::string::npos) << Eve();
  EXPECT_NE(Eve().find("\"dest_port\":620"), std::string::npos) << Eve();
}

TEST_F(InlineNetnsTest, BlockHostStopsTheSourceForTheConfiguredTimeAndThenLetsItThrough) {
  const fs::path policy = WritePolicy("policy.json", "{\"block_host\": true, \"action_param\": 3}");
  ASSERT_TRUE(StartInline({"--policy", policy.string()})) << ServiceErr();
  ASSERT_EQ(SendBenign("before\n"), 0);
  const std::vector<uint8_t> payload = Attack2231();
  const auto attacked = Clock::now();
  ASSERT_EQ(RunInNamespace(client_,
                           [&] {
                             return SendChunks(445, {Bytes("x"), payload}, 300);
                           }),
            0);
  EXPECT_NE(Eve().find("\"verdict\":\"Block Host\""), std::string::npos) << Eve();
  // Blocked: not even a connection to the benign port.
  EXPECT_NE(SendBenign("during\n"), 0);
  EXPECT_NE(Ctl("stats").find(kClientAddress), std::string::npos);
  // Three seconds after the block it lifts.
  std::this_thread::sleep_until(attacked + std::chrono::milliseconds(4000));
  EXPECT_EQ(SendBenign("after\n"), 0);
  EXPECT_TRUE(Arrives(kBenignPort, Bytes("after\n")));
  EXPECT_EQ(Received(kBenignPort).find("during\n"), std::string::npos);
}

TEST_F(InlineNetnsTest, APolicySwapUnderSteadyTrafficLosesNoPacketAndActsFromTheNextPacket) {
  const fs::path without = WritePolicy("without-2231.json", kOnly3804);
  const fs::path full = WritePolicy("default.json", DefaultJson());
  ASSERT_TRUE(StartInline({"--policy", without.string()})) << ServiceErr();
  const std::vector<uint8_t> payload = Attack2231();
  // Signature 2231 is off: the attack goes through.
  SendAttack(445, Bytes("first connection\n"), payload);
  EXPECT_TRUE(Arrives(445, payload));
  // 600 datagrams over about 1.5 s, the swap in the middle.
  constexpr int kDatagrams = 600;
  const pid_t sender = StartInNamespace(
      client_, [] { return SendDatagrams(kDatagrams, 2500); }, 30);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const std::string swapped = Ctl("policy " + full.string());
  EXPECT_NE(swapped.find("enforced: 48 signatures"), std::string::npos) << swapped;
  EXPECT_EQ(Wait(sender), 0);
  const std::string last = "datagram " + std::to_string(kDatagrams - 1) + "\n";
  EXPECT_TRUE(WaitFor([&] { return ReadAll(dir_ / "udp.bin").find(last) != std::string::npos; },
                      std::chrono::seconds(5)));
  const std::string udp = ReadAll(dir_ / "udp.bin");
  int received = 0;
  for (size_t at = 0; (at = udp.find("datagram ", at)) != std::string::npos; ++at) ++received;
  EXPECT_EQ(received, kDatagrams) << "datagrams lost across the swap";
  // From now on the attack is dropped.
  fs::remove(dir_ / "tcp-445.bin");
  SendAttack(445, Bytes("second connection\n"), payload);
  EXPECT_FALSE(Contains(Received(445), payload));
}

TEST_F(InlineNetnsTest, SighupRereadsThePolicyAndReopensTheOutputsAndCtlDrainsTheLog) {
  const fs::path policy = WritePolicy("policy.json", kOnly3804);
  ASSERT_TRUE(StartInline({"--policy", policy.string()})) << ServiceErr();
  EXPECT_NE(Ctl("handshake").find("driver 8.0.0.11690"), std::string::npos);
  EXPECT_EQ(Ctl("log-mask 0x7E"), "");
  const std::vector<uint8_t> payload = Attack2231();
  SendAttack(445, Bytes("before the reload\n"), payload);
  EXPECT_TRUE(Arrives(445, payload));
  // Rotate the eve file away, put the default policy in place, SIGHUP.
  fs::rename(work_ / "eve.json", work_ / "eve.json.1");
  WritePolicy("policy.json", DefaultJson());
  kill(servicePid_, SIGHUP);
  EXPECT_TRUE(WaitFor([&] { return ServiceErr().find("SIGHUP: policy") != std::string::npos; },
                      std::chrono::seconds(5)))
      << ServiceErr();
  EXPECT_NE(ServiceErr().find("48 signatures enabled"), std::string::npos) << ServiceErr();
  fs::remove(dir_ / "tcp-445.bin");
  SendAttack(445, Bytes("after the reload\n"), payload);
  EXPECT_FALSE(Contains(Received(445), payload));
  EXPECT_NE(Eve().find("\"signature_id\":2231"), std::string::npos) << "the reopened file";
  // The reload's configuration cycle is in the driver's log.
  EXPECT_NE(Ctl("log").find("Enforced new configuration."), std::string::npos);
  EXPECT_EQ(StopService(), 0);
  EXPECT_NE(ServiceErr().find("pool ledger empty"), std::string::npos) << ServiceErr();
}

TEST_F(InlineNetnsTest, WithQueueBypassTrafficFlowsWhileTheServiceIsStopped) {
  // Without the bypass a queue nobody reads drops everything: the rule is
  // really in the path.
  ASSERT_TRUE(Iptables("-A FORWARD -j NFQUEUE --queue-num 0"));
  EXPECT_NE(SendBenign("nobody\n"), 0);
  ASSERT_TRUE(Iptables("-F FORWARD"));
  ASSERT_TRUE(Iptables("-A FORWARD -j NFQUEUE --queue-num 0 --queue-bypass"));
  EXPECT_EQ(SendBenign("bypassed\n"), 0);
  EXPECT_TRUE(Arrives(kBenignPort, Bytes("bypassed\n")));
  // And with the service up again, it inspects.
  ASSERT_TRUE(StartService({"--queue", "0", "--fail-open"})) << ServiceErr();
  const std::vector<uint8_t> payload = Attack2231();
  SendAttack(445, Bytes("bypass prelude\n"), payload);
  EXPECT_FALSE(Contains(Received(445), payload));
}

TEST_F(InlineNetnsTest, PassiveModeReportsTheSameAlertsAndBlocksNothing) {
  ASSERT_TRUE(StartService({"--interface", "r0"})) << ServiceErr();
  for (const AttackCase& attack : kAttacks) {
    SCOPED_TRACE(attack.capture);
    const std::vector<uint8_t> payload = inlinetest::ExamplePayload(attack.capture, attack.frame);
    SendAttack(attack.port, Bytes("passive prelude\n"), payload);
    EXPECT_TRUE(Arrives(attack.port, payload)) << "passive mode kept the attack from the server";
    EXPECT_TRUE(WaitFor(
        [&] {
          return Eve().find("\"signature_id\":" + std::to_string(attack.signature)) !=
                 std::string::npos;
        },
        std::chrono::seconds(5)))
        << Eve();
  }
  EXPECT_NE(Eve().find("\"in_iface\":\"r0\""), std::string::npos);
  const std::string stats = Ctl("stats");
  EXPECT_NE(stats.find("\"dropped\":0,"), std::string::npos) << stats;
  EXPECT_EQ(StopService(), 0);
}

}  // namespace
