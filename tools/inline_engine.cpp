#include "tools/inline_engine.h"

#include <string.h>
#include <sys/time.h>

#include "hostsim/packet.h"
#include "nips/engine/plugin.h"
#include "tools/driver_requests.h"

namespace nipstool {

std::string BlockTable::Key(const HostAddress& address) {
  const size_t length = address.version == 6 ? sizeof address.bytes : 4;
  std::string key(reinterpret_cast<const char*>(address.bytes), length);
  key.push_back(static_cast<char>(address.version));
  return key;
}

void BlockTable::Block(const HostAddress& source, uint64_t actionParameter, Clock::time_point now) {
  const uint32_t seconds = static_cast<uint32_t>(actionParameter);
  if (seconds == 0) return;
  const Clock::time_point expiry =
      seconds == kBlockForever ? Clock::time_point::max() : now + std::chrono::seconds(seconds);
  std::lock_guard<std::mutex> guard(mutex_);
  entries_[Key(source)] = {source, expiry};
  size_.store(entries_.size(), std::memory_order_release);
}

bool BlockTable::IsBlocked(const HostAddress& source, Clock::time_point now) {
  if (size_.load(std::memory_order_acquire) == 0) return false;
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = entries_.find(Key(source));
  if (it == entries_.end()) return false;
  if (now < it->second.second) return true;
  entries_.erase(it);
  size_.store(entries_.size(), std::memory_order_release);
  return false;
}

std::vector<BlockTable::Entry> BlockTable::Snapshot(Clock::time_point now) {
  std::vector<Entry> out;
  std::lock_guard<std::mutex> guard(mutex_);
  for (const auto& [key, value] : entries_) {
    if (value.second <= now) continue;
    const bool forever = value.second == Clock::time_point::max();
    out.push_back({value.first, forever,
                   forever ? 0.0 : std::chrono::duration<double>(value.second - now).count()});
  }
  return out;
}

void BlockTable::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.clear();
  size_.store(0, std::memory_order_release);
}

InlineEngine::InlineEngine(DriverLink* driver, EngineOptions options)
    : driver_(driver), options_(std::move(options)) {}

Decision InlineEngine::Judge(const uint8_t* ip, size_t length, const PacketOrigin& origin) {
  hostsim::DecodedPacket decoded;
  if (hostsim::DecodeIp(ip, length, &decoded) != hostsim::DecodeResult::kOk) {
    // What the core cannot describe to the plug-in (ARP never gets here;
    // fragments, other transports, broken headers) passes uninspected, as
    // the core passes it on.
    counters_.packets.fetch_add(1, std::memory_order_relaxed);
    counters_.undecodable.fetch_add(1, std::memory_order_relaxed);
    counters_.accepted.fetch_add(1, std::memory_order_relaxed);
    return Decision::kAccept;
  }
  return JudgeDecoded(decoded, origin);
}

Decision InlineEngine::JudgeDecoded(const hostsim::DecodedPacket& decoded,
                                    const PacketOrigin& origin) {
  counters_.packets.fetch_add(1, std::memory_order_relaxed);
  const BlockTable::Clock::time_point now = BlockTable::Clock::now();
  if (options_.enforce && blocks_.IsBlocked(decoded.source, now)) {
    counters_.blockedHostDrops.fetch_add(1, std::memory_order_relaxed);
    counters_.dropped.fetch_add(1, std::memory_order_relaxed);
    return Decision::kDrop;
  }
  hostsim::SimPacket packet;
  packet.Reset(decoded, origin.adapterIndex);
  const std::optional<LONG> answer = driver_->Inspect(&packet);
  const hostsim::VerdictRecord& verdict = packet.verdict();
  Decision decision = Decision::kAccept;
  if (!answer || *answer != kInspectDelivered) {
    // No verdict: the core lets the packet through (nothing to enforce).
    if (answer && *answer == kInspectNotInspected) {
      counters_.notInspected.fetch_add(1, std::memory_order_relaxed);
    } else {
      counters_.failed.fetch_add(1, std::memory_order_relaxed);
    }
  } else {
    counters_.inspected.fetch_add(1, std::memory_order_relaxed);
    if (verdict.action < counters_.verdicts.size()) {
      counters_.verdicts[verdict.action].fetch_add(1, std::memory_order_relaxed);
    }
    if (options_.enforce) {
      if (verdict.action == FW_ACTION_BLOCK_PACKET) decision = Decision::kDrop;
      if (verdict.action == FW_ACTION_BLOCK_HOST) {
        decision = Decision::kDrop;
        blocks_.Block(decoded.source, verdict.actionParameter, now);
      }
    }
    if (verdict.signatureId != 0) {
      counters_.alerts.fetch_add(1, std::memory_order_relaxed);
      {
        std::lock_guard<std::mutex> guard(alertsMutex_);
        ++alertsBySignature_[verdict.signatureId];
      }
      if (options_.onAlert) {
        Alert alert;
        alert.inIface = std::string(origin.interfaceName);
        if (origin.seconds != 0) {
          alert.seconds = origin.seconds;
          alert.microseconds = origin.microseconds;
        } else {
          struct timeval tv;
          gettimeofday(&tv, nullptr);
          alert.seconds = tv.tv_sec;
          alert.microseconds = tv.tv_usec;
        }
        FillAlert(decoded, verdict, &alert);
        if (verdict.additionalDataIndex != 0) {
          std::string error;
          alert.evidence = FetchEvidence(driver_, verdict.additionalDataIndex, &error);
          if (!alert.evidence) counters_.evidenceErrors.fetch_add(1, std::memory_order_relaxed);
        }
        options_.onAlert(alert);
      }
    }
  }
  (decision == Decision::kDrop ? counters_.dropped : counters_.accepted)
      .fetch_add(1, std::memory_order_relaxed);
  return decision;
}

std::map<uint32_t, uint64_t> InlineEngine::AlertsBySignature() {
  std::lock_guard<std::mutex> guard(alertsMutex_);
  return alertsBySignature_;
}

void InlineEngine::FillStats(nlohmann::ordered_json* out) {
  nlohmann::ordered_json& stats = *out;
  stats["enforce"] = options_.enforce;
  stats["packets"] = counters_.packets.load();
  stats["inspected"] = counters_.inspected.load();
  stats["not_inspected"] = counters_.notInspected.load();
  stats["failed"] = counters_.failed.load();
  stats["undecodable"] = counters_.undecodable.load();
  stats["accepted"] = counters_.accepted.load();
  stats["dropped"] = counters_.dropped.load();
  stats["blocked_host_drops"] = counters_.blockedHostDrops.load();
  nlohmann::ordered_json verdicts = nlohmann::ordered_json::object();
  for (uint32_t action = 0; action < counters_.verdicts.size(); ++action) {
    const uint64_t count = counters_.verdicts[action].load();
    if (count != 0 || action == FW_ACTION_ALLOW || action == FW_ACTION_BLOCK_PACKET ||
        action == FW_ACTION_BLOCK_HOST) {
      verdicts[VerdictName(action)] = count;
    }
  }
  stats["verdicts"] = verdicts;
  stats["alerts"] = counters_.alerts.load();
  nlohmann::ordered_json bySignature = nlohmann::ordered_json::object();
  for (const auto& [id, count] : AlertsBySignature()) bySignature[std::to_string(id)] = count;
  stats["alerts_by_signature"] = bySignature;
  stats["evidence_errors"] = counters_.evidenceErrors.load();
  nlohmann::ordered_json blocked = nlohmann::ordered_json::array();
  for (const BlockTable::Entry& entry : blocks_.Snapshot(BlockTable::Clock::now())) {
    nlohmann::ordered_json item;
    item["address"] = AddressText(entry.address);
    if (entry.forever) {
      item["expires"] = "never";
    } else {
      item["seconds_left"] = entry.secondsLeft;
    }
    blocked.push_back(item);
  }
  stats["blocked_hosts"] = blocked;
}

}  // namespace nipstool
