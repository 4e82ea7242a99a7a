// The shared heart of `nips run`: every queue worker (and the passive
// reader) hands each IP packet to one InlineEngine, which builds the firewall
// core's objects around it, lets the one loaded driver judge it and turns the
// verdict into accept or drop. It keeps the block-host table and the
// service's counters. Any number of threads may call Judge at once, as the
// firewall core calls the plug-in on every processor.
#pragma once

#include <stdint.h>

#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "hostsim/decode.h"
#include "tools/alert.h"
#include "tools/driver_link.h"

namespace nipstool {

// The adapter index the core gives a packet that may be loopback traffic.
constexpr uint32_t kLoopbackAdapterIndex = 0xFFFFFFFF;

// The action parameter of a Block Host verdict is the block's duration in
// seconds (its low 32 bits); 0xFFFFFFFF (the default policy's value) blocks
// the source until the service stops, and 0 blocks only the packet itself.
constexpr uint32_t kBlockForever = 0xFFFFFFFF;

enum class Decision { kAccept, kDrop };

// Where the packet was taken from: the adapter index for the core, the
// interface name for the alert.
struct PacketOrigin {
  uint32_t adapterIndex = 0;
  std::string_view interfaceName;
  // Capture time of a passive frame; 0 means now.
  int64_t seconds = 0;
  int64_t microseconds = 0;
};

// Sources under a Block Host verdict, with their expiry.
class BlockTable {
 public:
  using Clock = std::chrono::steady_clock;
  // durationSeconds as the action parameter gives it (see kBlockForever).
  void Block(const HostAddress& source, uint64_t actionParameter, Clock::time_point now);
  // True while the source is blocked; an expired entry is removed.
  bool IsBlocked(const HostAddress& source, Clock::time_point now);
  struct Entry {
    HostAddress address;
    bool forever;
    double secondsLeft;
  };
  std::vector<Entry> Snapshot(Clock::time_point now);
  void Clear();

 private:
  static std::string Key(const HostAddress& address);
  std::mutex mutex_;
  std::atomic<size_t> size_{0};  // lets the common case (nobody blocked) skip the lock
  std::unordered_map<std::string, std::pair<HostAddress, Clock::time_point>> entries_;
};

struct EngineOptions {
  // False in passive mode: verdicts are counted and reported, never enforced,
  // and no source is blocked.
  bool enforce = true;
  // Called for every packet whose report names a signature (any thread).
  std::function<void(const Alert&)> onAlert;
};

class InlineEngine {
 public:
  InlineEngine(DriverLink* driver, EngineOptions options);

  // Judges one IP packet (no link header) of `length` bytes.
  Decision Judge(const uint8_t* ip, size_t length, const PacketOrigin& origin);
  // The same for a packet already decoded (the passive reader decodes frames).
  Decision JudgeDecoded(const hostsim::DecodedPacket& decoded, const PacketOrigin& origin);

  BlockTable& blocks() { return blocks_; }
  // The counters, the alerts per signature and the blocked hosts as fields
  // of *out (see `nips ctl stats`).
  void FillStats(nlohmann::ordered_json* out);

  struct Counters {
    std::atomic<uint64_t> packets{0};
    std::atomic<uint64_t> undecodable{0};  // not an IPv4/IPv6 packet the core could hand on
    std::atomic<uint64_t> inspected{0};
    std::atomic<uint64_t> notInspected{0};
    std::atomic<uint64_t> failed{0};
    std::atomic<uint64_t> accepted{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<uint64_t> blockedHostDrops{0};  // dropped without inspection
    std::atomic<uint64_t> alerts{0};
    std::atomic<uint64_t> evidenceErrors{0};
    std::array<std::atomic<uint64_t>, FW_ACTION_CALL_PLUGIN + 1> verdicts{};
  };
  const Counters& counters() const { return counters_; }
  std::map<uint32_t, uint64_t> AlertsBySignature();

 private:
  DriverLink* driver_;
  EngineOptions options_;
  BlockTable blocks_;
  Counters counters_;
  std::mutex alertsMutex_;
  std::map<uint32_t, uint64_t> alertsBySignature_;
};

}  // namespace nipstool
