// What user mode sends the loaded driver, shared by `nips scan` and the
// inline service: the configuration cycle (requests 1-4), the log reader that
// drains request 6 until request 7 closes the queue, and the evidence fetch
// (request 8).
#pragma once

#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/driver_link.h"
#include "tools/nimq_log.h"
#include "tools/policy.h"

namespace nipstool {

// Request 6 and its two 16-byte records.
struct DrainRequest {
  uint64_t address;
  uint64_t length;
};
struct DrainReply {
  uint64_t size;
  uint64_t returned;
};

// "0xC000000D"
std::string StatusText(NTSTATUS status);

// One request; false with *error naming it ("request 2 (bank header) refused: ...").
bool RunControl(DriverLink* driver, ULONG code, const char* name, const void* input,
                uint64_t inputLength, void* output, uint64_t outputLength, std::string* error);

// Runs the configuration cycle of user mode: handshake (1), bank header (2),
// signature policy (3), enforce (4). False with *error naming the request.
bool ConfigureDriver(DriverLink* driver, const Policy& policy, std::string* error);

// The text of an evidence slot, fetched with request 8; nullopt with *error
// set when the driver refuses.
std::optional<std::string> FetchEvidence(DriverLink* driver, uint32_t slot, std::string* error);

// The user-mode log service: drains the driver's log queue through request 6
// on a thread of its own, and stops once request 7 has closed the queue and
// the last records are out. A link that can tell its backlog may instead be
// drained on the caller's thread, from WaitForBacklogAtMost and Stop: a scan
// of many small captures then starts no thread per capture.
class LogReader {
 public:
  enum class Drain { kOwnThread, kCallerThread };
  // onLog runs on the draining thread for every decoded record.
  LogReader(DriverLink* driver, std::function<void(const LogRecord&)> onLog,
            Drain drain = Drain::kOwnThread);
  ~LogReader();
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  // Closes the queue (request 7) and waits for the reader to finish.
  void Stop();
  // Holds the calling (inspecting) thread back until the queue holds at most
  // `limit` bytes; on the caller's thread, drains the queue when it holds more.
  void WaitForBacklogAtMost(uint64_t limit);
  uint64_t records() const { return records_; }
  uint64_t overflows() const { return overflows_; }
  std::string error() const;

 private:
  void Run();
  // One request 6; false when it failed (the error is set).
  bool DrainOnce(uint64_t* returned);
  void Deliver(uint64_t length);
  void SetError(const std::string& error);

  DriverLink* driver_;
  std::function<void(const LogRecord&)> onLog_;
  std::vector<uint8_t> buffer_;
  std::atomic<bool> closing_{false};
  std::atomic<bool> failed_{false};
  std::mutex drainedMutex_;
  std::condition_variable drained_;
  std::atomic<uint64_t> records_{0};
  std::atomic<uint64_t> overflows_{0};
  mutable std::mutex errorMutex_;
  std::string error_;
  const Drain drain_;
  bool stopped_ = false;
  std::thread thread_;
};

}  // namespace nipstool
