// Scan results as JSON: the statistics users ask for with --stats-json, and
// the record a scan run in a child process hands back to the parent.
#include <nlohmann/json.hpp>

#include "tools/scanner.h"

namespace nipstool {
namespace {

using nlohmann::json;
using nlohmann::ordered_json;

const char* StatusName(ScanStatus status) {
  switch (status) {
    case ScanStatus::kOk:
      return "ok";
    case ScanStatus::kInputError:
      return "input_error";
    case ScanStatus::kEngineError:
      return "engine_error";
  }
  return "unknown";
}

ordered_json Counts(const CaptureResult& r, double wallSeconds) {
  ordered_json out;
  out["frames"] = r.frames;
  out["inspected"] = r.inspected;
  out["not_inspected"] = r.notInspected;
  out["failed"] = r.failed;
  ordered_json skipped = ordered_json::object();
  for (int i = 0; i < hostsim::kDecodeResultCount; ++i) {
    const auto reason = static_cast<hostsim::DecodeResult>(i);
    if (reason == hostsim::DecodeResult::kOk) continue;
    skipped[hostsim::DecodeResultName(reason)] = r.decodeResults[i];
  }
  out["skipped"] = skipped;
  ordered_json verdicts = ordered_json::object();
  for (const auto& [action, count] : r.verdicts) verdicts[VerdictName(action)] = count;
  out["verdicts"] = verdicts;
  out["alerts"] = r.alerts;
  ordered_json bySignature = ordered_json::object();
  for (const auto& [id, count] : r.alertsBySignature) bySignature[std::to_string(id)] = count;
  out["alerts_by_signature"] = bySignature;
  out["log_records"] = r.logRecords;
  out["log_overflows"] = r.logOverflows;
  out["wall_seconds"] = wallSeconds;
  out["frames_per_second"] = wallSeconds > 0 ? static_cast<double>(r.frames) / wallSeconds : 0.0;
  return out;
}

void Add(CaptureResult* total, const CaptureResult& r) {
  total->frames += r.frames;
  total->inspected += r.inspected;
  total->notInspected += r.notInspected;
  total->failed += r.failed;
  total->alerts += r.alerts;
  total->logRecords += r.logRecords;
  total->logOverflows += r.logOverflows;
  for (int i = 0; i < hostsim::kDecodeResultCount; ++i) {
    total->decodeResults[i] += r.decodeResults[i];
  }
  for (const auto& [id, count] : r.alertsBySignature) total->alertsBySignature[id] += count;
  for (const auto& [action, count] : r.verdicts) total->verdicts[action] += count;
}

template <typename Map>
json MapRecord(const Map& map) {
  json out = json::array();
  for (const auto& [key, count] : map) out.push_back({key, count});
  return out;
}

template <typename Map>
bool MapFromRecord(const json& record, Map* map) {
  if (!record.is_array()) return false;
  for (const json& pair : record) {
    if (!pair.is_array() || pair.size() != 2) return false;
    (*map)[pair[0].get<typename Map::key_type>()] = pair[1].get<uint64_t>();
  }
  return true;
}

}  // namespace

std::string FormatStatsJson(const std::vector<CaptureResult>& results, double wallSeconds) {
  ordered_json captures = ordered_json::array();
  CaptureResult total;
  for (const CaptureResult& r : results) {
    ordered_json capture;
    capture["path"] = r.path;
    capture["status"] = StatusName(r.status);
    if (!r.message.empty()) capture["message"] = r.message;
    if (!r.warning.empty()) capture["warning"] = r.warning;
    if (!r.linkType.empty()) capture["link_type"] = r.linkType;
    capture.update(Counts(r, r.wallSeconds));
    captures.push_back(std::move(capture));
    Add(&total, r);
  }
  ordered_json stats;
  stats["captures"] = std::move(captures);
  ordered_json totals;
  totals["captures"] = results.size();
  totals.update(Counts(total, wallSeconds));
  stats["total"] = std::move(totals);
  return stats.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

std::string CaptureResultToRecord(const CaptureResult& r) {
  json record;
  record["path"] = r.path;
  record["status"] = static_cast<int>(r.status);
  record["message"] = r.message;
  record["warning"] = r.warning;
  record["link_type"] = r.linkType;
  record["frames"] = r.frames;
  record["decode_results"] = r.decodeResults;
  record["inspected"] = r.inspected;
  record["not_inspected"] = r.notInspected;
  record["failed"] = r.failed;
  record["verdicts"] = MapRecord(r.verdicts);
  record["alerts_by_signature"] = MapRecord(r.alertsBySignature);
  record["alerts"] = r.alerts;
  record["log_records"] = r.logRecords;
  record["log_overflows"] = r.logOverflows;
  record["contract_violations"] = r.contractViolations;
  record["pool_outstanding"] = r.poolOutstandingAfterUnload;
  record["wall_seconds"] = r.wallSeconds;
  if (r.profile) record["profile"] = ProfileRecord(*r.profile);
  return record.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool CaptureResultFromRecord(const std::string& text, CaptureResult* r) {
  const json record = json::parse(text, nullptr, false);
  if (record.is_discarded() || !record.is_object()) return false;
  try {
    r->path = record.at("path").get<std::string>();
    const int status = record.at("status").get<int>();
    if (status < 0 || status > static_cast<int>(ScanStatus::kEngineError)) return false;
    r->status = static_cast<ScanStatus>(status);
    r->message = record.at("message").get<std::string>();
    r->warning = record.at("warning").get<std::string>();
    r->linkType = record.at("link_type").get<std::string>();
    r->frames = record.at("frames").get<uint64_t>();
    const json& decode = record.at("decode_results");
    if (!decode.is_array() || decode.size() != hostsim::kDecodeResultCount) return false;
    for (int i = 0; i < hostsim::kDecodeResultCount; ++i) r->decodeResults[i] = decode[i];
    r->inspected = record.at("inspected").get<uint64_t>();
    r->notInspected = record.at("not_inspected").get<uint64_t>();
    r->failed = record.at("failed").get<uint64_t>();
    if (!MapFromRecord(record.at("verdicts"), &r->verdicts) ||
        !MapFromRecord(record.at("alerts_by_signature"), &r->alertsBySignature)) {
      return false;
    }
    r->alerts = record.at("alerts").get<uint64_t>();
    r->logRecords = record.at("log_records").get<uint64_t>();
    r->logOverflows = record.at("log_overflows").get<uint64_t>();
    r->contractViolations = record.at("contract_violations").get<uint64_t>();
    r->poolOutstandingAfterUnload = record.at("pool_outstanding").get<size_t>();
    r->wallSeconds = record.at("wall_seconds").get<double>();
    if (record.contains("profile")) {
      r->profile.emplace();
      if (!ProfileFromRecord(record.at("profile"), &*r->profile)) return false;
    }
  } catch (const json::exception&) {
    return false;
  }
  return true;
}

}  // namespace nipstool
