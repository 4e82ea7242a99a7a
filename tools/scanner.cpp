#include "tools/scanner.h"

#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "hostsim/capture.h"
#include "hostsim/packet.h"
#include "kt_hooks.h"
#include "nips/engine/additional_data.h"
#include "nips/engine/config.h"
#include "nips/engine/log.h"
#include "nips/engine/nimq.h"
#include "nips/engine/plugin.h"

#if defined(__SANITIZE_ADDRESS__)
#define NIPS_SCAN_EXACT_COPIES 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define NIPS_SCAN_EXACT_COPIES 1
#endif
#endif

namespace nipstool {
namespace {

constexpr uint64_t kProgressCheckFrames = 1 << 16;
constexpr uint64_t kLogCheckFrames = 64;

class ProgressLine {
 public:
  ProgressLine(bool enabled, const std::string& path)
      : enabled_(enabled), path_(path), last_(std::chrono::steady_clock::now()) {}
  ~ProgressLine() {
    if (shown_) fprintf(stderr, "\r\033[K");
  }
  void Update(uint64_t frames) {
    if (!enabled_ || frames % kProgressCheckFrames != 0) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::seconds(1)) return;
    last_ = now;
    shown_ = true;
    fprintf(stderr, "\r\033[K%s: %llu frames", path_.c_str(),
            static_cast<unsigned long long>(frames));
  }

 private:
  bool enabled_;
  const std::string& path_;
  std::chrono::steady_clock::time_point last_;
  bool shown_ = false;
};

// Frames cross from a reading thread to the inspecting thread in batches, so
// that libpcap's reads and the decoding overlap the inspection instead of
// adding to it. The pipe holds a fixed number of batches of bounded size:
// memory stays flat whatever the capture's size.
constexpr size_t kBatchFrames = 4096;
constexpr size_t kBatchBytes = 4 << 20;  // a larger frame gets a batch of its own
constexpr size_t kBatchesInFlight = 4;

// Both arrays are allocated once and left uninitialised: each frame is copied
// and decoded straight into its place while its bytes are still in cache, and
// pages no frame reached are never touched.
struct FrameBatch {
  struct Entry {
    hostsim::CaptureFrame frame;  // data points into bytes
    hostsim::DecodeResult decodeResult;
    hostsim::DecodedPacket decoded;  // points into bytes when decodeResult is kOk
  };
  std::unique_ptr<Entry[]> entries{new Entry[kBatchFrames]};
  size_t count = 0;
  std::unique_ptr<uint8_t[]> bytes{new uint8_t[kBatchBytes]};
  size_t capacity = kBatchBytes;
  size_t used = 0;
  // kFrame: more batches follow; kEnd or kError: the last one.
  hostsim::CaptureReader::ReadStatus last = hostsim::CaptureReader::ReadStatus::kFrame;
  std::string error;

  const Entry* begin() const { return entries.get(); }
  const Entry* end() const { return entries.get() + count; }
};

class FramePipe {
 public:
  FramePipe(hostsim::CaptureReader* reader, hostsim::LinkLayer link)
      : reader_(reader), link_(link) {
    for (FrameBatch& batch : batches_) free_.push_back(&batch);
    // The first batch is read here: a capture that fits in it (most of a
    // directory of small captures) costs no thread start and join.
    FrameBatch* first = free_.front();
    free_.pop_front();
    const bool more = Fill(first);
    filled_.push_back(first);
    if (more) thread_ = std::thread([this] { Read(); });
  }
  ~FramePipe() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  // The next filled batch, in capture order; give it back with Recycle.
  FrameBatch* Take() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return !filled_.empty(); });
    FrameBatch* batch = filled_.front();
    filled_.pop_front();
    return batch;
  }
  void Recycle(FrameBatch* batch) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      free_.push_back(batch);
    }
    changed_.notify_all();
  }

 private:
  void Read() {
    for (;;) {
      FrameBatch* batch;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return stopping_ || !free_.empty(); });
        if (stopping_) return;
        batch = free_.front();
        free_.pop_front();
      }
      const bool more = Fill(batch);
      {
        std::lock_guard<std::mutex> guard(mutex_);
        filled_.push_back(batch);
      }
      changed_.notify_all();
      if (!more) return;
    }
  }

  bool Fill(FrameBatch* batch) {
    batch->count = 0;
    batch->used = 0;
    batch->error.clear();
    batch->last = hostsim::CaptureReader::ReadStatus::kFrame;
    while (batch->count < kBatchFrames && batch->used < kBatchBytes) {
      // A frame held back from the previous batch is still in libpcap's
      // buffer: nothing was read since.
      if (!held_) {
        batch->last = reader_->Next(&frame_, &batch->error);
        if (batch->last != hostsim::CaptureReader::ReadStatus::kFrame) break;
      }
      held_ = false;
      const size_t length = frame_.capturedLength;
      if (length > batch->capacity - batch->used) {
        if (batch->count != 0) {
          held_ = true;
          break;
        }
        batch->bytes.reset(new uint8_t[length]);
        batch->capacity = length;
      }
      FrameBatch::Entry& entry = batch->entries[batch->count++];
      uint8_t* copy = batch->bytes.get() + batch->used;
      memcpy(copy, frame_.data, length);
      batch->used += length;
      entry.frame = frame_;
      entry.frame.data = copy;
      entry.decodeResult = frame_.filteredOut
                               ? hostsim::DecodeResult::kFiltered
                               : hostsim::DecodeFrame(link_, copy, length, &entry.decoded);
    }
    return batch->last == hostsim::CaptureReader::ReadStatus::kFrame;
  }

  hostsim::CaptureReader* reader_;
  const hostsim::LinkLayer link_;
  hostsim::CaptureFrame frame_ = {};
  bool held_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  FrameBatch batches_[kBatchesInFlight];
  std::deque<FrameBatch*> free_;
  std::deque<FrameBatch*> filled_;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace

uint64_t CaptureResult::skipped() const {
  uint64_t total = 0;
  for (int i = 0; i < hostsim::kDecodeResultCount; ++i) {
    if (i != static_cast<int>(hostsim::DecodeResult::kOk)) total += decodeResults[i];
  }
  return total;
}

CaptureResult ScanCapture(const std::string& path, const ScanOptions& options,
                          const std::function<void(const Alert&)>& onAlert) {
  const auto started = std::chrono::steady_clock::now();
  CaptureResult result;
  result.path = path;
  auto stopClock = [&result, started] {
    result.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };
  auto fail = [&result, &stopClock](ScanStatus status, const std::string& message) {
    result.status = status;
    result.message = result.path + ": " + message;
    stopClock();
    return result;
  };

  hostsim::CaptureReader reader;
  std::string error;
  if (!reader.Open(path, &error)) return fail(ScanStatus::kInputError, error);
  result.linkType = reader.dltName();
  const std::optional<hostsim::LinkLayer> link = reader.linkLayer();
  if (!link) {
    return fail(ScanStatus::kInputError,
                fmt::format("unsupported link type {} ({}); supported: Ethernet, Linux cooked "
                            "(SLL, SLL2), raw IP, BSD loopback",
                            result.linkType, reader.dlt()));
  }

  if (!options.filter.empty() && !reader.SetFilter(options.filter, &error)) {
    return fail(ScanStatus::kInputError,
                fmt::format("filter '{}' does not apply to link type {}: {}", options.filter,
                            result.linkType, error));
  }

  std::unique_ptr<DriverLink> driver = options.loadDriver(&error);
  if (!driver) return fail(ScanStatus::kEngineError, "driver load failed: " + error);
  auto unload = [&result, &driver]() {
    driver->Unload();
    driver.reset();
    result.poolOutstandingAfterUnload = kt::PoolOutstanding();
    if (result.poolOutstandingAfterUnload == 0) return;
    const std::string leak = fmt::format("{} pool allocations left after unload:\n{}",
                                         result.poolOutstandingAfterUnload, kt::PoolLeakReport());
    if (result.status == ScanStatus::kEngineError) {
      result.message += "; " + leak;
    } else {
      result.status = ScanStatus::kEngineError;
      result.message = result.path + ": " + leak;
    }
  };

  // The mask goes first so that the configuration's own log lines pass it.
  if (options.logMask) {
    uint32_t mask = *options.logMask;
    uint64_t returned = 0;
    const NTSTATUS status =
        driver->Control(kControlSetLogMask, &mask, sizeof mask, nullptr, 0, &returned);
    if (!NT_SUCCESS(status)) {
      unload();
      return fail(ScanStatus::kEngineError, "request 5 (log mask) refused: " + StatusText(status));
    }
  }

  LogReader logReader(driver.get(), options.onLog);
  if (!ConfigureDriver(driver.get(), options.policy, &error)) {
    logReader.Stop();
    fail(ScanStatus::kEngineError, "configuration failed: " + error);
    unload();
    return result;
  }
  ProgressLine progress(options.progress, path);
  // A capture has no real-time deadline: when the log is kept, the scan waits
  // for the reader before the queue can fill, so no record is dropped for
  // want of draining. Per-packet trace lines (up to one per row) are checked
  // for after every packet, the few other lines a packet can raise every
  // kLogCheckFrames packets; half the queue stays free for what comes in
  // between.
  const bool keepLog = static_cast<bool>(options.onLog);
  const uint64_t logCheckFrames =
      (options.logMask.value_or(kDefaultLogMask) & kLogTrace) != 0 ? 1 : kLogCheckFrames;
  // The actions the core knows are counted in place; a map per packet showed
  // in scan profiles.
  constexpr uint32_t kCountedActions = FW_ACTION_CALL_PLUGIN + 1;
  uint64_t actionCounts[kCountedActions] = {};
  hostsim::SimPacket packet;
  std::string engineError;
  hostsim::CaptureReader::ReadStatus status = hostsim::CaptureReader::ReadStatus::kFrame;
  // One frame through decoding and the firewall core; false stops the scan.
  auto inspectFrame = [&](const FrameBatch::Entry& entry) -> bool {
    const hostsim::CaptureFrame& frame = entry.frame;
    const uint64_t pcapCount = ++result.frames;
    progress.Update(pcapCount);
    ++result.decodeResults[static_cast<int>(entry.decodeResult)];
    if (entry.decodeResult != hostsim::DecodeResult::kOk) return true;
#ifdef NIPS_SCAN_EXACT_COPIES
    // Sanitizer builds give the plug-in the IP packet in an allocation of its
    // exact size, so that a read one byte past the packet is reported.
    hostsim::DecodedPacket decoded = entry.decoded;
    std::unique_ptr<uint8_t[]> exact(new uint8_t[decoded.ipLength]);
    memcpy(exact.get(), decoded.ip, decoded.ipLength);
    hostsim::RebasePacket(&decoded, exact.get());
#else
    const hostsim::DecodedPacket& decoded = entry.decoded;
#endif
    // Every time window of the detectors runs on capture time.
    bool timeFits = true;
    kt::SetSystemTime(kt::SystemTimeFromUnix(frame.seconds, frame.microseconds, &timeFits));
    if (!timeFits && result.warning.empty()) {
      result.warning = fmt::format(
          "{}: frame {}: capture time {} s is outside the kernel clock (1601 to 30828); "
          "the detectors saw it clamped to the nearest end",
          path, pcapCount, frame.seconds);
    }
    // pcapng interface ids count from 0; the core's adapter indexes from 1.
    packet.Reset(decoded, frame.interfaceId + hostsim::kDefaultAdapterIndex);
    const std::optional<LONG> answer = driver->Inspect(&packet);
    if (keepLog && pcapCount % logCheckFrames == 0) {
      logReader.WaitForBacklogAtMost(kNimqCapacity / 2);
    }
    if (!answer) {
      engineError = "the plug-in is not attached to the firewall core";
      return false;
    }
    const hostsim::VerdictRecord& verdict = packet.verdict();
    if (*answer != kInspectDelivered) {
      if (*answer == kInspectNotInspected) {
        ++result.notInspected;
      } else {
        ++result.failed;
      }
      if (verdict.verdictCalls != 0 || verdict.reportCalls != 0) ++result.contractViolations;
      return true;
    }
    ++result.inspected;
    if (verdict.verdictCalls != 1 || verdict.reportCalls != 1 || verdict.reportBeforeVerdict) {
      ++result.contractViolations;
    }
    if (verdict.action < kCountedActions) {
      ++actionCounts[verdict.action];
    } else {
      ++result.verdicts[verdict.action];
    }
    if (verdict.signatureId == 0) return true;

    ++result.alerts;
    ++result.alertsBySignature[verdict.signatureId];
    Alert alert;
    alert.capture = path;
    alert.pcapCount = pcapCount;
    alert.seconds = frame.seconds;
    alert.microseconds = frame.microseconds;
    FillAlert(decoded, verdict, &alert);
    if (verdict.additionalDataIndex != 0) {
      alert.evidence = FetchEvidence(driver.get(), verdict.additionalDataIndex, &engineError);
      if (!alert.evidence) return false;
    }
    if (onAlert) onAlert(alert);
    return true;
  };
  FramePipe pipe(&reader, *link);
  while (status == hostsim::CaptureReader::ReadStatus::kFrame && engineError.empty()) {
    FrameBatch* batch = pipe.Take();
    driver->BeginInspectRun();
    for (const FrameBatch::Entry& entry : *batch) {
      if (!inspectFrame(entry)) break;
    }
    driver->EndInspectRun();
    status = batch->last;
    error = batch->error;
    pipe.Recycle(batch);
  }

  for (uint32_t action = 0; action < kCountedActions; ++action) {
    if (actionCounts[action] != 0) result.verdicts[action] += actionCounts[action];
  }
  logReader.Stop();
  result.logRecords = logReader.records();
  result.logOverflows = logReader.overflows();
  if (status == hostsim::CaptureReader::ReadStatus::kError && engineError.empty()) {
    fail(ScanStatus::kInputError,
         fmt::format("read error after frame {}: {}", result.frames, error));
  }
  if (engineError.empty() && !logReader.error().empty()) engineError = logReader.error();
  if (engineError.empty() && result.contractViolations != 0) {
    engineError =
        fmt::format("{} packets broke the verdict/report contract", result.contractViolations);
  }
  if (!engineError.empty()) fail(ScanStatus::kEngineError, engineError);
  unload();
  stopClock();
  return result;
}

std::string FormatSummary(const std::vector<CaptureResult>& results) {
  CaptureResult total;
  std::string text;
  for (const CaptureResult& r : results) {
    text += fmt::format("{}: {} frames, {} inspected, {} not inspected, {} failed, {} skipped",
                        r.path, r.frames, r.inspected, r.notInspected, r.failed, r.skipped());
    std::string reasons;
    for (int i = 0; i < hostsim::kDecodeResultCount; ++i) {
      if (i == static_cast<int>(hostsim::DecodeResult::kOk) || r.decodeResults[i] == 0) continue;
      reasons += fmt::format("{}{} {}", reasons.empty() ? "" : ", ", r.decodeResults[i],
                             hostsim::DecodeResultName(static_cast<hostsim::DecodeResult>(i)));
    }
    if (!reasons.empty()) text += " (" + reasons + ")";
    text += fmt::format(", {} alerts", r.alerts);
    if (r.status != ScanStatus::kOk) text += " [error]";
    text += "\n";
    total.frames += r.frames;
    total.inspected += r.inspected;
    total.notInspected += r.notInspected;
    total.failed += r.failed;
    total.alerts += r.alerts;
    total.logOverflows += r.logOverflows;
    for (int i = 0; i < hostsim::kDecodeResultCount; ++i) {
      total.decodeResults[i] += r.decodeResults[i];
    }
    for (const auto& [id, count] : r.alertsBySignature) total.alertsBySignature[id] += count;
    for (const auto& [action, count] : r.verdicts) total.verdicts[action] += count;
  }
  text += fmt::format(
      "total: {} captures, {} frames, {} inspected, {} not inspected, {} failed, {} skipped\n",
      results.size(), total.frames, total.inspected, total.notInspected, total.failed,
      total.skipped());
  std::string verdicts;
  for (uint32_t action : {FW_ACTION_ALLOW, FW_ACTION_BLOCK_PACKET, FW_ACTION_BLOCK_HOST}) {
    verdicts += fmt::format("{}{} {}", verdicts.empty() ? "" : ", ", VerdictName(action),
                            total.verdicts.count(action) ? total.verdicts.at(action) : 0);
  }
  for (const auto& [action, count] : total.verdicts) {
    if (action != FW_ACTION_ALLOW && action != FW_ACTION_BLOCK_PACKET &&
        action != FW_ACTION_BLOCK_HOST) {
      verdicts += fmt::format(", {} {}", VerdictName(action), count);
    }
  }
  text += "verdicts: " + verdicts + "\n";
  if (total.alertsBySignature.empty()) {
    text += "alerts: none\n";
  } else {
    std::string alerts;
    for (const auto& [id, count] : total.alertsBySignature) {
      alerts += fmt::format("{}{} x{}", alerts.empty() ? "" : ", ", id, count);
    }
    text += fmt::format("alerts: {} ({})\n", total.alerts, alerts);
  }
  if (total.logOverflows != 0) {
    text += fmt::format("log: the queue overflowed {} times\n", total.logOverflows);
  }
  return text;
}

}  // namespace nipstool
