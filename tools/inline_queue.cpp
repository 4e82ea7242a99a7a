#include "tools/inline_queue.h"

// The C library's network headers go before the kernel's, which then leave
// out what the former define.
#include <net/if.h>
#include <netinet/in.h>
// clang-format off
#include <linux/ethtool.h>
#include <linux/netfilter.h>
#include <linux/sockios.h>
// clang-format on
#include <errno.h>
#include <fmt/format.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <sstream>

extern "C" {
#include <libnetfilter_queue/libnetfilter_queue.h>
}

#include "hostsim/capture.h"
#include "hostsim/decode.h"

namespace nipstool {
namespace {

constexpr const char* kNfqueueProc = "/proc/net/netfilter/nfnetlink_queue";
// Large enough for a 64 KiB packet with its netlink headers.
constexpr size_t kReceiveBuffer = 0x10000 + 4096;
constexpr int kPollMs = 200;  // how soon a worker sees the stop flag
constexpr uint32_t kCopyRange = 0xFFFF;

int Callback(nfq_q_handle* queueHandle, nfgenmsg*, nfq_data* data, void* worker) {
  return static_cast<QueueWorker*>(worker)->OnPacket(queueHandle, data);
}

}  // namespace

const InterfaceNames::Known& InterfaceNames::Lookup(uint32_t ifindex) {
  for (const Known& known : known_) {
    if (known.ifindex == ifindex) return known;
  }
  Known known{ifindex, "", false};
  char name[IF_NAMESIZE] = {};
  if (ifindex != 0 && if_indextoname(ifindex, name) != nullptr) {
    known.name = name;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
      ifreq request = {};
      memcpy(request.ifr_name, name, strnlen(name, IF_NAMESIZE - 1));
      if (ioctl(fd, SIOCGIFFLAGS, &request) == 0)
        known.loopback = (request.ifr_flags & IFF_LOOPBACK) != 0;
      close(fd);
    }
  }
  known_.push_back(known);
  return known_.back();
}

std::string InterfaceNames::Name(uint32_t ifindex) { return Lookup(ifindex).name; }

uint32_t InterfaceNames::AdapterIndex(uint32_t ifindex) {
  return Lookup(ifindex).loopback ? kLoopbackAdapterIndex : ifindex;
}

namespace {
// Bucket b covers up to 2^(b/4) ns.
double BucketBound(int bucket) { return std::exp2(bucket / 4.0); }
}  // namespace

void LatencyHistogram::Add(uint64_t nanoseconds) {
  int bucket = 0;
  if (nanoseconds > 1) {
    bucket = static_cast<int>(std::ceil(std::log2(static_cast<double>(nanoseconds)) * 4));
  }
  if (bucket >= kBuckets) bucket = kBuckets - 1;
  buckets_[static_cast<size_t>(bucket)].fetch_add(1, std::memory_order_relaxed);
}

uint64_t LatencyHistogram::count() const {
  uint64_t total = 0;
  for (const auto& bucket : buckets_) total += bucket.load(std::memory_order_relaxed);
  return total;
}

uint64_t LatencyHistogram::Quantile(double fraction) const {
  const uint64_t total = count();
  if (total == 0) return 0;
  const double wanted = fraction * static_cast<double>(total);
  uint64_t seen = 0;
  for (int b = 0; b < kBuckets; ++b) {
    seen += buckets_[static_cast<size_t>(b)].load(std::memory_order_relaxed);
    if (static_cast<double>(seen) >= wanted) return static_cast<uint64_t>(BucketBound(b));
  }
  return static_cast<uint64_t>(BucketBound(kBuckets - 1));
}

QueueWorker::~QueueWorker() {
  Join();
  if (queueHandle_ != nullptr) nfq_destroy_queue(static_cast<nfq_q_handle*>(queueHandle_));
  if (handle_ != nullptr) nfq_close(static_cast<nfq_handle*>(handle_));
}

bool QueueWorker::Open(const QueueSettings& settings, std::string* error) {
  nfq_handle* handle = nfq_open();
  if (handle == nullptr) {
    *error = fmt::format("queue {}: cannot open the netfilter queue socket: {}", queue_,
                         strerror(errno));
    return false;
  }
  handle_ = handle;
  nfq_q_handle* queueHandle = nfq_create_queue(handle, queue_, &Callback, this);
  if (queueHandle == nullptr) {
    *error = fmt::format("queue {}: cannot bind it ({}; another program may hold it)", queue_,
                         strerror(errno));
    return false;
  }
  queueHandle_ = queueHandle;
  if (nfq_set_mode(queueHandle, NFQNL_COPY_PACKET, kCopyRange) < 0) {
    *error = fmt::format("queue {}: cannot set copy-packet mode: {}", queue_, strerror(errno));
    return false;
  }
  if (nfq_set_queue_maxlen(queueHandle, settings.maxLength) < 0) {
    *error = fmt::format("queue {}: cannot set the queue length: {}", queue_, strerror(errno));
    return false;
  }
  // Without the flag the kernel drops what a full queue cannot take.
  const uint32_t failOpen = settings.failOpen ? NFQA_CFG_F_FAIL_OPEN : 0;
  if (nfq_set_queue_flags(queueHandle, NFQA_CFG_F_FAIL_OPEN, failOpen) < 0 && settings.failOpen) {
    *error = fmt::format("queue {}: this kernel refuses fail-open: {}", queue_, strerror(errno));
    return false;
  }
  fd_ = nfq_fd(handle);
  // SO_RCVBUFFORCE passes the system limit when we may (root); else the
  // limit applies.
  const int size = settings.socketBufferBytes;
  if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  return true;
}

void QueueWorker::Start(const std::atomic<bool>* stop) {
  thread_ = std::thread([this, stop] { Run(stop); });
}

void QueueWorker::Join() {
  if (thread_.joinable()) thread_.join();
}

void QueueWorker::Run(const std::atomic<bool>* stop) {
  std::vector<char> buffer(kReceiveBuffer);
  nfq_handle* handle = static_cast<nfq_handle*>(handle_);
  while (!stop->load(std::memory_order_relaxed)) {
    pollfd poller = {fd_, POLLIN, 0};
    const int ready = poll(&poller, 1, kPollMs);
    if (ready <= 0) continue;
    const ssize_t length = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
    if (length < 0) {
      // The socket overran: the kernel dropped messages it could not queue
      // for us. Counted; the packets concerned are the kernel's to drop.
      if (errno == ENOBUFS) enobufs_.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    nfq_handle_packet(handle, buffer.data(), static_cast<int>(length));
  }
}

int QueueWorker::OnPacket(void* queueHandle, void* data) {
  const auto arrived = std::chrono::steady_clock::now();
  nfq_data* packetData = static_cast<nfq_data*>(data);
  const nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(packetData);
  if (header == nullptr) return 0;
  const uint32_t id = ntohl(header->packet_id);
  unsigned char* payload = nullptr;
  const int length = nfq_get_payload(packetData, &payload);
  packets_.fetch_add(1, std::memory_order_relaxed);
  Decision decision = Decision::kAccept;
  if (length > 0) {
    const uint32_t ifindex = nfq_get_indev(packetData);
    PacketOrigin origin;
    origin.adapterIndex = names_.AdapterIndex(ifindex);
    const std::string& name = names_.Name(ifindex);
    origin.interfaceName = name;
    decision = engine_->Judge(payload, static_cast<size_t>(length), origin);
  }
  const int verdict = decision == Decision::kDrop ? NF_DROP : NF_ACCEPT;
  if (nfq_set_verdict(static_cast<nfq_q_handle*>(queueHandle), id, verdict, 0, nullptr) < 0) {
    verdictErrors_.fetch_add(1, std::memory_order_relaxed);
  }
  latency_.Add(static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                         std::chrono::steady_clock::now() - arrived)
                                         .count()));
  return 0;
}

void QueueWorker::FillStats(nlohmann::ordered_json* out) const {
  nlohmann::ordered_json& stats = *out;
  stats["queue"] = queue_;
  stats["packets"] = packets();
  stats["enobufs"] = enobufs();
  stats["verdict_errors"] = verdictErrors();
  stats["verdict_ns_p50"] = latency_.Quantile(0.5);
  stats["verdict_ns_p99"] = latency_.Quantile(0.99);
  KernelQueueCounters kernel;
  if (ReadKernelQueueCounters(queue_, &kernel)) {
    stats["kernel_waiting"] = kernel.waiting;
    stats["queue_dropped"] = kernel.queueDropped;
    stats["user_dropped"] = kernel.userDropped;
  }
}

bool ReadKernelQueueCounters(uint16_t queue, KernelQueueCounters* counters) {
  std::ifstream in(kNfqueueProc);
  std::string line;
  while (std::getline(in, line)) {
    // queue, peer port id, waiting, copy mode, copy range, queue dropped,
    // user dropped, last id, 1
    std::istringstream fields(line);
    uint64_t number, peer, waiting, mode, range, queueDropped, userDropped;
    if (!(fields >> number >> peer >> waiting >> mode >> range >> queueDropped >> userDropped)) {
      continue;
    }
    if (number != queue) continue;
    counters->waiting = waiting;
    counters->queueDropped = queueDropped;
    counters->userDropped = userDropped;
    return true;
  }
  return false;
}

bool KernelHasNfqueue() { return access(kNfqueueProc, F_OK) == 0; }

std::vector<std::string> InterfacesWithOffloads() {
  std::vector<std::string> found;
  struct if_nameindex* names = if_nameindex();
  if (names == nullptr) return found;
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  for (struct if_nameindex* entry = names; fd >= 0 && entry->if_index != 0; ++entry) {
    ifreq request = {};
    strncpy(request.ifr_name, entry->if_name, IF_NAMESIZE - 1);
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0 || (request.ifr_flags & IFF_LOOPBACK) != 0) continue;
    std::string on;
    const std::pair<uint32_t, const char*> offloads[] = {
        {ETHTOOL_GGRO, "gro"}, {ETHTOOL_GTSO, "tso"}, {ETHTOOL_GGSO, "gso"}};
    for (const auto& [command, name] : offloads) {
      ethtool_value value = {};
      value.cmd = command;
      request.ifr_data = reinterpret_cast<char*>(&value);
      if (ioctl(fd, SIOCETHTOOL, &request) == 0 && value.data != 0) {
        on += on.empty() ? name : std::string(", ") + name;
      }
    }
    if (!on.empty()) found.push_back(fmt::format("{} ({})", entry->if_name, on));
  }
  if (fd >= 0) close(fd);
  if_freenameindex(names);
  return found;
}

PassiveReader::~PassiveReader() {
  Join();
  if (pcap_ != nullptr) pcap_close(static_cast<pcap_t*>(pcap_));
}

bool PassiveReader::Open(const std::string& interface, std::string* error) {
  char message[PCAP_ERRBUF_SIZE] = {};
  pcap_t* pcap = pcap_create(interface.c_str(), message);
  if (pcap == nullptr) {
    *error = fmt::format("{}: {}", interface, message);
    return false;
  }
  pcap_ = pcap;
  interface_ = interface;
  pcap_set_snaplen(pcap, 0xFFFF);
  pcap_set_promisc(pcap, 1);  // a monitoring port sees traffic addressed to others
  pcap_set_immediate_mode(pcap, 1);
  pcap_set_timeout(pcap, kPollMs);
  const int activated = pcap_activate(pcap);
  if (activated < 0) {
    *error = fmt::format("{}: {}", interface, pcap_geterr(pcap));
    return false;
  }
  link_ = pcap_datalink(pcap);
  if (!hostsim::LinkLayerFromDlt(link_)) {
    *error = fmt::format("{}: unsupported link type {}", interface, link_);
    return false;
  }
  if (pcap_setnonblock(pcap, 1, message) != 0) {
    *error = fmt::format("{}: {}", interface, message);
    return false;
  }
  InterfaceNames names;
  const uint32_t ifindex = if_nametoindex(interface.c_str());
  adapterIndex_ = names.AdapterIndex(ifindex);
  return true;
}

void PassiveReader::Start(const std::atomic<bool>* stop) {
  thread_ = std::thread([this, stop] { Run(stop); });
}

void PassiveReader::Join() {
  if (thread_.joinable()) thread_.join();
}

void PassiveReader::Run(const std::atomic<bool>* stop) {
  pcap_t* pcap = static_cast<pcap_t*>(pcap_);
  const hostsim::LinkLayer link = *hostsim::LinkLayerFromDlt(link_);
  const int fd = pcap_get_selectable_fd(pcap);
  while (!stop->load(std::memory_order_relaxed)) {
    pollfd poller = {fd, POLLIN, 0};
    if (poll(&poller, 1, kPollMs) <= 0) continue;
    for (;;) {
      pcap_pkthdr* header = nullptr;
      const u_char* frame = nullptr;
      if (pcap_next_ex(pcap, &header, &frame) != 1) break;
      frames_.fetch_add(1, std::memory_order_relaxed);
      hostsim::DecodedPacket decoded;
      if (hostsim::DecodeFrame(link, frame, header->caplen, &decoded) !=
          hostsim::DecodeResult::kOk) {
        undecoded_.fetch_add(1, std::memory_order_relaxed);
        continue;
      }
      PacketOrigin origin;
      origin.adapterIndex = adapterIndex_;
      origin.interfaceName = interface_;
      origin.seconds = header->ts.tv_sec;
      origin.microseconds = header->ts.tv_usec;
      engine_->JudgeDecoded(decoded, origin);
    }
  }
}

uint64_t PassiveReader::kernelDrops() const {
  pcap_stat stats = {};
  if (pcap_ == nullptr || pcap_stats(static_cast<pcap_t*>(pcap_), &stats) != 0) return 0;
  return stats.ps_drop;
}

void PassiveReader::FillStats(nlohmann::ordered_json* out) const {
  nlohmann::ordered_json& stats = *out;
  stats["interface"] = interface_;
  stats["frames"] = frames();
  stats["not_ip"] = undecoded_.load();
}

}  // namespace nipstool
