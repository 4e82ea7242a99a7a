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
#include "tools/scan_profile.h"

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
  // With timed set, the reading thread times its reads and decodes.
  FramePipe(hostsim::CaptureReader* reader, hostsim::LinkLayer link, bool timed)
      : reader_(reader), link_(link), timed_(timed) {
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
  // Valid once the last batch was taken.
  uint64_t readingNs() const { return readingNs_; }
  uint64_t decodingNs() const { return decodingNs_; }

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
      const uint64_t started = timed_ ? ProfileNow() : 0;
      if (!held_) {
        batch->last = reader_->Next(&frame_, &batch->error);
        if (batch->last != hostsim::CaptureReader::ReadStatus::kFrame) {
          if (timed_) readingNs_ += ProfileNow() - started;
          break;
        }
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
      const uint64_t read = timed_ ? ProfileNow() : 0;
      entry.decodeResult = frame_.filteredOut
                               ? hostsim::DecodeResult::kFiltered
                               : hostsim::DecodeFrame(link_, copy, length, &entry.decoded);
      if (timed_) {
        readingNs_ += read - started;
        decodingNs_ += ProfileNow() - read;
      }
    }
    return batch->last == hostsim::CaptureReader::ReadStatus::kFrame;
  }

  hostsim::CaptureReader* reader_;
  const hostsim::LinkLayer link_;
  const bool timed_;
  uint64_t readingNs_ = 0;
  uint64_t decodingNs_ = 0;
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

namespace {

// One capture's scan, in the order it runs: open the capture, load and
// configure the driver, feed every frame through the core, then collect the
// log and the counts and unload. Each stage that fails records why in the
// result and stops the ones after it.
class CaptureScan {
 public:
  CaptureScan(const std::string& path, const ScanOptions& options,
              const std::function<void(const Alert&)>& onAlert)
      : path_(path),
        options_(options),
        onAlert_(onAlert),
        started_(std::chrono::steady_clock::now()),
        progress_(options.progress, path) {
    result_.path = path;
  }

  CaptureResult Run() {
    if (OpenCapture() && LoadDriver()) {
      if (Configure()) InspectFrames();
      Finish();
    }
    StopClock();
    return std::move(result_);
  }

 private:
  // The actions the core knows are counted in place; a map per packet showed
  // in scan profiles.
  static constexpr uint32_t kCountedActions = FW_ACTION_CALL_PLUGIN + 1;

  void Fail(ScanStatus status, const std::string& message) {
    result_.status = status;
    result_.message = path_ + ": " + message;
  }
  void StopClock() {
    result_.wallSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  }

  bool OpenCapture() {
    std::string error;
    if (!reader_.Open(path_, &error)) {
      Fail(ScanStatus::kInputError, error);
      return false;
    }
    result_.linkType = reader_.dltName();
    link_ = reader_.linkLayer();
    if (!link_) {
      Fail(ScanStatus::kInputError,
           fmt::format("unsupported link type {} ({}); supported: Ethernet, Linux cooked "
                       "(SLL, SLL2), raw IP, BSD loopback",
                       result_.linkType, reader_.dlt()));
      return false;
    }
    if (!options_.filter.empty() && !reader_.SetFilter(options_.filter, &error)) {
      Fail(ScanStatus::kInputError, fmt::format("filter '{}' does not apply to link type {}: {}",
                                                options_.filter, result_.linkType, error));
      return false;
    }
    return true;
  }

  bool LoadDriver() {
    std::string error;
    driver_ = options_.loadDriver(&error);
    if (!driver_) {
      Fail(ScanStatus::kEngineError, "driver load failed: " + error);
      return false;
    }
    if (options_.profile) {
      profileBlock_ = std::make_unique<DispatchProfile>();
      *profileBlock_ = {};
      profileBlock_->now = ProfileNow;
      if (!driver_->AttachProfile(profileBlock_.get())) profileBlock_.reset();
    }
    return true;
  }

  // The mask goes first so that the configuration's own log lines pass it.
  bool Configure() {
    if (options_.logMask) {
      uint32_t mask = *options_.logMask;
      uint64_t returned = 0;
      const NTSTATUS status =
          driver_->Control(kControlSetLogMask, &mask, sizeof mask, nullptr, 0, &returned);
      if (!NT_SUCCESS(status)) {
        Fail(ScanStatus::kEngineError, "request 5 (log mask) refused: " + StatusText(status));
        return false;
      }
    }
    // The simulated driver tells its log backlog: the scan drains the queue
    // itself between packets and starts no thread for it.
    drainOnScanThread_ = driver_->LogBacklogBytes().has_value();
    logReader_ = std::make_unique<LogReader>(
        driver_.get(), options_.onLog,
        drainOnScanThread_ ? LogReader::Drain::kCallerThread : LogReader::Drain::kOwnThread);
    std::string error;
    if (!ConfigureDriver(driver_.get(), options_.policy, &error)) {
      Fail(ScanStatus::kEngineError, "configuration failed: " + error);
      return false;
    }
    return true;
  }

  void InspectFrames() {
    // A capture has no real-time deadline: the scan waits for (or does) the
    // drain before the queue can fill, so no record is dropped for want of
    // draining. Per-packet trace lines (up to one per row) are checked for
    // after every packet, the few other lines a packet can raise every
    // kLogCheckFrames packets; half the queue stays free for what comes in
    // between.
    const bool checkLog = drainOnScanThread_ || static_cast<bool>(options_.onLog);
    logCheckFrames_ = !checkLog ? 0
                      : (options_.logMask.value_or(kDefaultLogMask) & kLogTrace) != 0
                          ? 1
                          : kLogCheckFrames;
    FramePipe pipe(&reader_, *link_, options_.profile);
    hostsim::CaptureReader::ReadStatus status = hostsim::CaptureReader::ReadStatus::kFrame;
    std::string readError;
    while (status == hostsim::CaptureReader::ReadStatus::kFrame && engineError_.empty()) {
      FrameBatch* batch = pipe.Take();
      driver_->BeginInspectRun();
      for (const FrameBatch::Entry* entry = batch->begin(); entry != batch->end(); ++entry) {
        // The reading thread wrote these bytes on the other core: ask for the
        // next packet's headers and first payload bytes while this one runs.
        if (entry + 1 != batch->end() && entry[1].decodeResult == hostsim::DecodeResult::kOk) {
          __builtin_prefetch(entry[1].decoded.ip);
          __builtin_prefetch(entry[1].decoded.ip + 64);
        }
        if (!InspectFrame(*entry)) break;
      }
      driver_->EndInspectRun();
      status = batch->last;
      readError = batch->error;
      pipe.Recycle(batch);
    }
    if (status == hostsim::CaptureReader::ReadStatus::kError && engineError_.empty()) {
      Fail(ScanStatus::kInputError,
           fmt::format("read error after frame {}: {}", result_.frames, readError));
    }
    if (options_.profile) {
      profile_.readingNs = pipe.readingNs();
      profile_.decodingNs = pipe.decodingNs();
    }
    for (uint32_t action = 0; action < kCountedActions; ++action) {
      if (actionCounts_[action] != 0) result_.verdicts[action] += actionCounts_[action];
    }
  }

  // One frame through the firewall core; false stops the scan.
  bool InspectFrame(const FrameBatch::Entry& entry) {
    const hostsim::CaptureFrame& frame = entry.frame;
    const uint64_t pcapCount = ++result_.frames;
    progress_.Update(pcapCount);
    ++result_.decodeResults[static_cast<int>(entry.decodeResult)];
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
    if (!timeFits && result_.warning.empty()) {
      result_.warning = fmt::format(
          "{}: frame {}: capture time {} s is outside the kernel clock (1601 to 30828); "
          "the detectors saw it clamped to the nearest end",
          path_, pcapCount, frame.seconds);
    }
    const uint64_t coreStarted = options_.profile ? ProfileNow() : 0;
    // pcapng interface ids count from 0; the core's adapter indexes from 1.
    packet_.Reset(decoded, frame.interfaceId + hostsim::kDefaultAdapterIndex);
    const std::optional<LONG> answer = driver_->Inspect(&packet_);
    if (options_.profile) profile_.coreNs += ProfileNow() - coreStarted;
    if (logCheckFrames_ != 0 && pcapCount % logCheckFrames_ == 0) {
      logReader_->WaitForBacklogAtMost(kNimqCapacity / 2);
    }
    if (!answer) {
      engineError_ = "the plug-in is not attached to the firewall core";
      return false;
    }
    return Tally(*answer, decoded, frame, pcapCount);
  }

  // The verdict and report the core received for one packet.
  bool Tally(LONG answer, const hostsim::DecodedPacket& decoded, const hostsim::CaptureFrame& frame,
             uint64_t pcapCount) {
    const hostsim::VerdictRecord& verdict = packet_.verdict();
    if (answer != kInspectDelivered) {
      ++(answer == kInspectNotInspected ? result_.notInspected : result_.failed);
      if (verdict.verdictCalls != 0 || verdict.reportCalls != 0) ++result_.contractViolations;
      return true;
    }
    ++result_.inspected;
    if (verdict.verdictCalls != 1 || verdict.reportCalls != 1 || verdict.reportBeforeVerdict) {
      ++result_.contractViolations;
    }
    if (verdict.action < kCountedActions) {
      ++actionCounts_[verdict.action];
    } else {
      ++result_.verdicts[verdict.action];
    }
    if (verdict.signatureId == 0) return true;

    ++result_.alerts;
    ++result_.alertsBySignature[verdict.signatureId];
    Alert alert;
    alert.capture = path_;
    alert.pcapCount = pcapCount;
    alert.seconds = frame.seconds;
    alert.microseconds = frame.microseconds;
    FillAlert(decoded, verdict, &alert);
    if (verdict.additionalDataIndex != 0) {
      alert.evidence = FetchEvidence(driver_.get(), verdict.additionalDataIndex, &engineError_);
      if (!alert.evidence) return false;
    }
    if (onAlert_) onAlert_(alert);
    return true;
  }

  // Drains the log, settles the status and unloads with an empty ledger.
  void Finish() {
    if (logReader_) {
      logReader_->Stop();
      result_.logRecords = logReader_->records();
      result_.logOverflows = logReader_->overflows();
      if (engineError_.empty() && !logReader_->error().empty()) engineError_ = logReader_->error();
    }
    if (engineError_.empty() && result_.contractViolations != 0) {
      engineError_ =
          fmt::format("{} packets broke the verdict/report contract", result_.contractViolations);
    }
    if (!engineError_.empty()) Fail(ScanStatus::kEngineError, engineError_);
    if (profileBlock_) {
      driver_->AttachProfile(nullptr);
      profile_.AddDriverBlock(*profileBlock_);
      // The simulated core's share is what the plug-in did not spend.
      const uint64_t plugin = profile_.viewNs + profileBlock_->dispatchTicks;
      profile_.coreNs = profile_.coreNs > plugin ? profile_.coreNs - plugin : 0;
    }
    if (options_.profile) result_.profile = profile_;

    driver_->Unload();
    driver_.reset();
    result_.poolOutstandingAfterUnload = kt::PoolOutstanding();
    if (result_.poolOutstandingAfterUnload == 0) return;
    const std::string leak = fmt::format("{} pool allocations left after unload:\n{}",
                                         result_.poolOutstandingAfterUnload, kt::PoolLeakReport());
    if (result_.status == ScanStatus::kEngineError) {
      result_.message += "; " + leak;
    } else {
      Fail(ScanStatus::kEngineError, leak);
    }
  }

  const std::string& path_;
  const ScanOptions& options_;
  const std::function<void(const Alert&)>& onAlert_;
  const std::chrono::steady_clock::time_point started_;
  CaptureResult result_;
  hostsim::CaptureReader reader_;
  std::optional<hostsim::LinkLayer> link_;
  std::unique_ptr<DriverLink> driver_;
  std::unique_ptr<LogReader> logReader_;
  ProgressLine progress_;
  bool drainOnScanThread_ = false;
  uint64_t logCheckFrames_ = 0;
  uint64_t actionCounts_[kCountedActions] = {};
  hostsim::SimPacket packet_;
  std::string engineError_;
  std::unique_ptr<DispatchProfile> profileBlock_;
  ScanProfile profile_;
};

}  // namespace

CaptureResult ScanCapture(const std::string& path, const ScanOptions& options,
                          const std::function<void(const Alert&)>& onAlert) {
  return CaptureScan(path, options, onAlert).Run();
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
