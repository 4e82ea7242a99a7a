#include "tools/scan_profile.h"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "nips/engine/signature.h"

namespace nipstool {

uint64_t ProfileNow() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void ScanProfile::Add(const ScanProfile& other) {
  readingNs += other.readingNs;
  decodingNs += other.decodingNs;
  coreNs += other.coreNs;
  viewNs += other.viewNs;
  dispatchNs += other.dispatchNs;
  for (const auto& [id, cost] : other.rows) {
    RowCost& mine = rows[id];
    mine.calls += cost.calls;
    mine.matches += cost.matches;
    mine.nanoseconds += cost.nanoseconds;
  }
}

void ScanProfile::AddDriverBlock(const DispatchProfile& block) {
  uint64_t detectors = 0;
  for (ULONG row = 0; row < kSignatureRows; ++row) {
    if (block.calls[row] == 0) continue;
    RowCost& cost = rows[g_signatureTable.rows[row].signatureId];
    cost.calls += block.calls[row];
    cost.matches += block.matches[row];
    cost.nanoseconds += block.ticks[row];
    detectors += block.ticks[row];
  }
  viewNs += block.viewTicks;
  dispatchNs += block.dispatchTicks > detectors ? block.dispatchTicks - detectors : 0;
}

std::string FormatProfile(const ScanProfile& p, uint64_t frames) {
  const double perFrame = frames != 0 ? 1.0 / static_cast<double>(frames) : 0;
  uint64_t detectors = 0;
  for (const auto& [id, cost] : p.rows) detectors += cost.nanoseconds;
  std::string text = fmt::format("profile: {} frames\n{:<11}{:<12}{:>12}{:>12}\n", frames, "stage",
                                 "thread", "total ms", "ns/frame");
  const struct {
    const char* name;
    const char* thread;
    uint64_t ns;
  } stages[] = {{"reading", "reading", p.readingNs},      {"decoding", "reading", p.decodingNs},
                {"core", "inspecting", p.coreNs},         {"view", "inspecting", p.viewNs},
                {"dispatch", "inspecting", p.dispatchNs}, {"detectors", "inspecting", detectors}};
  for (const auto& stage : stages) {
    text +=
        fmt::format("{:<11}{:<12}{:>12.1f}{:>12.0f}\n", stage.name, stage.thread,
                    static_cast<double>(stage.ns) / 1e6, static_cast<double>(stage.ns) * perFrame);
  }
  std::vector<std::pair<uint32_t, RowCost>> rows(p.rows.begin(), p.rows.end());
  std::stable_sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
    return a.second.nanoseconds > b.second.nanoseconds;
  });
  text += fmt::format("{:<11}{:>12}{:>10}{:>12}{:>10}\n", "signature", "calls", "matches",
                      "total ms", "mean ns");
  for (const auto& [id, cost] : rows) {
    text += fmt::format("{:<11}{:>12}{:>10}{:>12.1f}{:>10.0f}\n", id, cost.calls, cost.matches,
                        static_cast<double>(cost.nanoseconds) / 1e6,
                        static_cast<double>(cost.nanoseconds) / static_cast<double>(cost.calls));
  }
  const size_t uncalled = kSignatureRows - rows.size();
  if (uncalled != 0) text += fmt::format("{} signature rows were never called\n", uncalled);
  return text;
}

nlohmann::json ProfileRecord(const ScanProfile& p) {
  nlohmann::json rows = nlohmann::json::object();
  for (const auto& [id, cost] : p.rows) {
    rows[std::to_string(id)] = {cost.calls, cost.matches, cost.nanoseconds};
  }
  return {{"reading_ns", p.readingNs}, {"decoding_ns", p.decodingNs}, {"core_ns", p.coreNs},
          {"view_ns", p.viewNs},       {"dispatch_ns", p.dispatchNs}, {"rows", rows}};
}

bool ProfileFromRecord(const nlohmann::json& record, ScanProfile* p) {
  try {
    p->readingNs = record.at("reading_ns").get<uint64_t>();
    p->decodingNs = record.at("decoding_ns").get<uint64_t>();
    p->coreNs = record.at("core_ns").get<uint64_t>();
    p->viewNs = record.at("view_ns").get<uint64_t>();
    p->dispatchNs = record.at("dispatch_ns").get<uint64_t>();
    for (const auto& [id, cost] : record.at("rows").items()) {
      RowCost& row = p->rows[static_cast<uint32_t>(std::stoul(id))];
      row.calls = cost.at(0).get<uint64_t>();
      row.matches = cost.at(1).get<uint64_t>();
      row.nanoseconds = cost.at(2).get<uint64_t>();
    }
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

}  // namespace nipstool
