// Where `nips run` takes its packets from: NFQUEUE queues (one worker thread
// per queue, verdicts enforced) or one interface read passively with
// libpcap (verdicts reported only). Both hand every packet to the shared
// InlineEngine.
#pragma once

#include <stdint.h>

#include <array>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/inline_engine.h"

namespace nipstool {

struct QueueSettings {
  bool failOpen = false;             // NFQA_CFG_F_FAIL_OPEN: accept when the queue is full
  uint32_t maxLength = 8192;         // packets the kernel may hold for a queue
  int socketBufferBytes = 16 << 20;  // netlink receive buffer: a burst must not lose verdicts
};

// The interface name for an index, and the adapter index the core gives
// packets from it (0xFFFFFFFF for loopback). Cached: called per packet.
class InterfaceNames {
 public:
  std::string Name(uint32_t ifindex);
  uint32_t AdapterIndex(uint32_t ifindex);

 private:
  struct Known {
    uint32_t ifindex;
    std::string name;
    bool loopback;
  };
  const Known& Lookup(uint32_t ifindex);
  std::vector<Known> known_;
};

// Time from a packet's arrival in the service to its verdict's return from
// the kernel, in buckets of a quarter octave (about 19 % wide) from 1 ns to
// 16 ms; written by one worker, read by the statistics.
class LatencyHistogram {
 public:
  static constexpr int kBuckets = 97;  // 4 per octave up to 2^24 ns, then one for the rest
  void Add(uint64_t nanoseconds);
  // The upper bound of the bucket holding the given fraction (0.5, 0.99); 0 when empty.
  uint64_t Quantile(double fraction) const;
  uint64_t count() const;

 private:
  std::array<std::atomic<uint64_t>, kBuckets> buckets_{};
};

class QueueWorker {
 public:
  QueueWorker(uint16_t queue, InlineEngine* engine) : queue_(queue), engine_(engine) {}
  ~QueueWorker();
  QueueWorker(const QueueWorker&) = delete;
  QueueWorker& operator=(const QueueWorker&) = delete;

  // Binds the queue; false with *error (queue taken, no permission, no
  // NFQUEUE in the kernel).
  bool Open(const QueueSettings& settings, std::string* error);
  // Starts the worker thread; it runs until stop becomes true.
  void Start(const std::atomic<bool>* stop);
  void Join();

  uint16_t queue() const { return queue_; }
  uint64_t packets() const { return packets_.load(); }
  uint64_t enobufs() const { return enobufs_.load(); }
  uint64_t verdictErrors() const { return verdictErrors_.load(); }
  std::string error() const { return error_; }
  void FillStats(nlohmann::ordered_json* out) const;

  // Called by the library's callback.
  int OnPacket(void* queueHandle, void* data);

 private:
  void Run(const std::atomic<bool>* stop);

  uint16_t queue_;
  InlineEngine* engine_;
  void* handle_ = nullptr;       // nfq_handle
  void* queueHandle_ = nullptr;  // nfq_q_handle
  int fd_ = -1;
  InterfaceNames names_;
  std::thread thread_;
  std::atomic<uint64_t> packets_{0};
  std::atomic<uint64_t> enobufs_{0};
  std::atomic<uint64_t> verdictErrors_{0};
  LatencyHistogram latency_;
  std::string error_;
};

// The kernel's own counters of a queue (/proc/net/netfilter/nfnetlink_queue):
// packets waiting, dropped because the queue was full, and dropped because
// the netlink socket was full (overruns).
struct KernelQueueCounters {
  uint64_t waiting = 0;
  uint64_t queueDropped = 0;
  uint64_t userDropped = 0;
};
bool ReadKernelQueueCounters(uint16_t queue, KernelQueueCounters* counters);

// True when this kernel can queue packets to user space.
bool KernelHasNfqueue();

// Interfaces (other than loopback) with receive or segmentation offloads on,
// as "eth0 (gro, tso)": packets that reach a queue merged past the MTU
// carry payloads the engine refuses to inspect.
std::vector<std::string> InterfacesWithOffloads();

class PassiveReader {
 public:
  explicit PassiveReader(InlineEngine* engine) : engine_(engine) {}
  ~PassiveReader();
  bool Open(const std::string& interface, std::string* error);
  void Start(const std::atomic<bool>* stop);
  void Join();
  uint64_t frames() const { return frames_.load(); }
  // libpcap's count of frames the kernel dropped; only once the reader has stopped.
  uint64_t kernelDrops() const;
  void FillStats(nlohmann::ordered_json* out) const;

 private:
  void Run(const std::atomic<bool>* stop);
  InlineEngine* engine_;
  std::string interface_;
  uint32_t adapterIndex_ = 0;
  void* pcap_ = nullptr;
  int link_ = 0;
  std::thread thread_;
  std::atomic<uint64_t> frames_{0};
  std::atomic<uint64_t> undecoded_{0};
};

}  // namespace nipstool
