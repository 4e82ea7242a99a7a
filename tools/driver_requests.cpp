#include "tools/driver_requests.h"

#include <fmt/format.h>

#include <chrono>

#include "nips/engine/additional_data.h"
#include "nips/engine/config.h"
#include "nips/engine/nimq.h"

namespace nipstool {
namespace {
constexpr std::chrono::milliseconds kEmptyDrainPause{50};
}  // namespace

std::string StatusText(NTSTATUS status) {
  return fmt::format("0x{:08X}", static_cast<uint32_t>(status));
}

bool RunControl(DriverLink* driver, ULONG code, const char* name, const void* input,
                uint64_t inputLength, void* output, uint64_t outputLength, std::string* error) {
  uint64_t returned = 0;
  const NTSTATUS status =
      driver->Control(code, const_cast<void*>(input), inputLength, output, outputLength, &returned);
  if (NT_SUCCESS(status)) return true;
  *error = fmt::format("request {} ({}) refused: {}", code, name, StatusText(status));
  return false;
}

bool ConfigureDriver(DriverLink* driver, const Policy& policy, std::string* error) {
  HandshakeRecord ours = {kHandshakeMagic, kPluginVersion.major, kPluginVersion.minor,
                          kPluginVersion.revision, kPluginVersion.build};
  HandshakeRecord theirs = {};
  if (!RunControl(driver, kControlHandshake, "handshake", &ours, sizeof ours, &theirs,
                  sizeof theirs, error)) {
    return false;
  }
  if (theirs.magic != kHandshakeMagic) {
    *error = fmt::format("handshake answered with magic 0x{:08X}", theirs.magic);
    return false;
  }
  const std::vector<uint8_t> header = BankHeaderBytes(policy);
  const std::vector<uint8_t> records = PolicyRecordBytes(policy);
  return RunControl(driver, kControlSetBankHeader, "bank header", header.data(), header.size(),
                    nullptr, 0, error) &&
         RunControl(driver, kControlApplyPolicy, "signature policy",
                    records.empty() ? nullptr : records.data(), records.size(), nullptr, 0,
                    error) &&
         RunControl(driver, kControlEnforce, "enforce", nullptr, 0, nullptr, 0, error);
}

// Fetched at once after the report, before later reports can wrap the ring
// over the slot.
std::optional<std::string> FetchEvidence(DriverLink* driver, uint32_t slot, std::string* error) {
  LONG index = static_cast<LONG>(slot);
  std::vector<uint8_t> output(kAdditionalDataSlotBytes);
  uint64_t returned = 0;
  const NTSTATUS status = driver->Control(kControlGetAdditionalData, &index, sizeof index,
                                          output.data(), output.size(), &returned);
  if (!NT_SUCCESS(status)) {
    *error = fmt::format("request 8 (evidence slot {}) failed: {}", slot, StatusText(status));
    return std::nullopt;
  }
  std::u16string text;
  for (size_t i = 0; i + 1 < output.size(); i += 2) {
    const char16_t c = static_cast<char16_t>(output[i] | output[i + 1] << 8);
    if (c == 0) break;
    text.push_back(c);
  }
  return Utf16ToUtf8(text.data(), text.size());
}

LogReader::LogReader(DriverLink* driver, std::function<void(const LogRecord&)> onLog, Drain drain)
    : driver_(driver), onLog_(std::move(onLog)), buffer_(kNimqCapacity), drain_(drain) {
  if (drain_ == Drain::kOwnThread) thread_ = std::thread([this] { Run(); });
}

LogReader::~LogReader() { Stop(); }

void LogReader::Stop() {
  if (stopped_) return;
  stopped_ = true;
  closing_.store(true);
  const NTSTATUS status = driver_->Control(kControlCloseLog, nullptr, 0, nullptr, 0, nullptr);
  if (!NT_SUCCESS(status)) SetError("request 7 (close log) failed: " + StatusText(status));
  if (thread_.joinable()) {
    thread_.join();
    return;
  }
  // After the close an empty drain means everything has been read.
  uint64_t returned = 1;
  while (returned != 0 && DrainOnce(&returned)) {
  }
}

// The reader drains whenever anything is queued, so this ends; the timed wait
// covers a drain that finished between the check and the wait.
void LogReader::WaitForBacklogAtMost(uint64_t limit) {
  for (;;) {
    const std::optional<uint64_t> backlog = driver_->LogBacklogBytes();
    if (!backlog || *backlog <= limit || stopped_ || failed_.load()) return;
    if (drain_ == Drain::kCallerThread) {
      // Records are queued, so the drain returns at once.
      uint64_t returned;
      DrainOnce(&returned);
      continue;
    }
    std::unique_lock<std::mutex> lock(drainedMutex_);
    drained_.wait_for(lock, std::chrono::milliseconds(1));
  }
}

std::string LogReader::error() const {
  std::lock_guard<std::mutex> guard(errorMutex_);
  return error_;
}

bool LogReader::DrainOnce(uint64_t* returned) {
  DrainRequest request = {reinterpret_cast<uint64_t>(buffer_.data()), buffer_.size()};
  DrainReply reply = {};
  uint64_t bytes = 0;
  const NTSTATUS status =
      driver_->Control(kControlDrainLog, &request, sizeof request, &reply, sizeof reply, &bytes);
  if (!NT_SUCCESS(status)) {
    SetError("request 6 (drain log) failed: " + StatusText(status));
    return false;
  }
  if (reply.returned > buffer_.size()) {
    SetError(fmt::format("request 6 returned {} bytes into {}", reply.returned, buffer_.size()));
    return false;
  }
  if (reply.returned != 0) Deliver(reply.returned);
  *returned = reply.returned;
  return true;
}

void LogReader::Run() {
  for (;;) {
    uint64_t returned;
    if (!DrainOnce(&returned)) return;
    drained_.notify_all();
    // The buffer holds a full queue, so "too small" cannot happen; after the
    // close, an empty drain means everything has been read.
    if (returned == 0 && closing_.load()) return;
    // An empty drain otherwise means the queue was closed by someone else
    // (request 7 from another client: every later drain returns at once) or
    // another reader took the records first; either way, do not spin.
    if (returned == 0) std::this_thread::sleep_for(kEmptyDrainPause);
  }
}

void LogReader::Deliver(uint64_t length) {
  std::vector<LogRecord> records;
  std::string error;
  if (!DecodeNimqRecords(buffer_.data(), length, &records, &error)) {
    SetError("undecodable log records: " + error);
  }
  for (const LogRecord& record : records) {
    if (record.overflow) {
      ++overflows_;
    } else {
      ++records_;
    }
    if (onLog_) onLog_(record);
  }
}

void LogReader::SetError(const std::string& error) {
  failed_.store(true);
  std::lock_guard<std::mutex> guard(errorMutex_);
  if (error_.empty()) error_ = error;
}

}  // namespace nipstool
