#include "tools/run_command.h"

#include <errno.h>
#include <fmt/format.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

#include "kt_hooks.h"
#include "nips/engine/config.h"
#include "tools/control_socket.h"
#include "tools/driver_link.h"
#include "tools/driver_requests.h"
#include "tools/inline_engine.h"
#include "tools/inline_queue.h"
#include "tools/scan_command.h"

namespace nipstool {
namespace {

// Exit status when the service cannot take its place (queue, interface or
// control socket unavailable).
constexpr int kExitUnavailable = 1;
constexpr int kSignalWaitSeconds = 1;

// The service's output files, reopened on SIGHUP so that rotation works.
// Every line is flushed as written.
class OutputFiles {
 public:
  explicit OutputFiles(const RunArguments& args) : args_(args) {}
  ~OutputFiles() { CloseAll(); }

  bool Open(std::string* error) {
    std::lock_guard<std::mutex> guard(mutex_);
    return OpenLocked(error);
  }
  bool Reopen(std::string* error) {
    std::lock_guard<std::mutex> guard(mutex_);
    CloseLocked();
    return OpenLocked(error);
  }
  void WriteAlert(const Alert& alert) {
    const std::string text = FormatAlertText(alert);
    // Formatted before the lock, from the arguments (not the file pointer,
    // which a SIGHUP may be replacing).
    const std::string json = args_.evePath.empty() ? std::string() : FormatAlertJson(alert);
    std::lock_guard<std::mutex> guard(mutex_);
    if (alerts_ != nullptr) {
      fprintf(alerts_, "%s\n", text.c_str());
      fflush(alerts_);
    }
    if (eve_ != nullptr) {
      fprintf(eve_, "%s\n", json.c_str());
      fflush(eve_);
    }
  }
  void WriteLog(const LogRecord& record) {
    const std::string line = FormatLogRecord(record);
    std::lock_guard<std::mutex> guard(mutex_);
    if (log_ == nullptr) return;
    fprintf(log_, "%s\n", line.c_str());
    fflush(log_);
  }

 private:
  static bool OpenOne(const std::string& path, FILE** file, std::string* error) {
    if (path.empty()) return true;
    *file = fopen(path.c_str(), "a");
    if (*file != nullptr) return true;
    *error = fmt::format("{}: {}", path, strerror(errno));
    return false;
  }
  bool OpenLocked(std::string* error) {
    if (args_.alertsPath.empty() || args_.alertsPath == "-") {
      alerts_ = stdout;
    } else if (!OpenOne(args_.alertsPath, &alerts_, error)) {
      return false;
    }
    return OpenOne(args_.evePath, &eve_, error) && OpenOne(args_.logPath, &log_, error);
  }
  void CloseLocked() {
    for (FILE** file : {&alerts_, &eve_, &log_}) {
      if (*file != nullptr && *file != stdout) fclose(*file);
      *file = nullptr;
    }
  }
  void CloseAll() {
    std::lock_guard<std::mutex> guard(mutex_);
    CloseLocked();
  }

  const RunArguments& args_;
  std::mutex mutex_;
  FILE* alerts_ = nullptr;
  FILE* eve_ = nullptr;
  FILE* log_ = nullptr;
};

size_t EnabledSignatures(const Policy& policy) {
  size_t count = 0;
  for (const PolicyEntry& entry : policy.signatures) count += entry.level != 0 ? 1 : 0;
  return count;
}

std::string PolicyDescription(const std::string& path, const Policy& policy) {
  return fmt::format(
      "{}: {} signatures enabled, block_host {}, action_param 0x{:X}{}",
      path.empty() ? "built-in default" : path, EnabledSignatures(policy),
      policy.blockHost ? "on" : "off", policy.actionParam,
      static_cast<uint32_t>(policy.actionParam) == kBlockForever
          ? " (hosts blocked until the service stops)"
          : fmt::format(" (hosts blocked for {} s)", static_cast<uint32_t>(policy.actionParam)));
}

bool EnsureParentDirectory(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos || slash == 0) return true;
  const std::string parent = path.substr(0, slash);
  struct stat info;
  if (stat(parent.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  return mkdir(parent.c_str(), 0755) == 0;
}

}  // namespace

bool ParseQueueRange(const std::string& text, uint16_t* first, uint16_t* last) {
  unsigned long a = 0, b = 0;
  char* end = nullptr;
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  a = strtoul(text.c_str(), &end, 10);
  if (errno != 0) return false;
  if (*end == '\0') {
    b = a;
  } else {
    if (*end != '-' || end[1] < '0' || end[1] > '9') return false;
    b = strtoul(end + 1, &end, 10);
    if (errno != 0 || *end != '\0') return false;
  }
  if (a > 0xFFFF || b > 0xFFFF || b < a || b - a + 1 > kMaxQueues) return false;
  *first = static_cast<uint16_t>(a);
  *last = static_cast<uint16_t>(b);
  return true;
}

int RunService(const RunArguments& args) {
  const bool queueMode = !args.queues.empty();
  if (queueMode == !args.interface.empty()) {
    fprintf(stderr, "nips run: give exactly one of --queue and --interface\n");
    return kExitUsage;
  }
  uint16_t firstQueue = 0, lastQueue = 0;
  if (queueMode && !ParseQueueRange(args.queues, &firstQueue, &lastQueue)) {
    fprintf(stderr, "nips run: --queue %s: expected N or N-M (0-65535, at most %u queues)\n",
            args.queues.c_str(), kMaxQueues);
    return kExitUsage;
  }
  if (!queueMode && args.failOpen) {
    fprintf(stderr, "nips run: --fail-open applies to --queue only\n");
    return kExitUsage;
  }
  Policy policy = DefaultPolicy();
  std::string error;
  if (!args.policyPath.empty() && !LoadPolicyFile(args.policyPath, &policy, &error)) {
    fprintf(stderr, "nips run: %s: %s\n", args.policyPath.c_str(), error.c_str());
    return kExitUsage;
  }
  std::optional<uint32_t> logMask;
  if (!args.logMask.empty()) {
    uint32_t mask;
    if (!ParseLogMask(args.logMask, &mask)) {
      fprintf(stderr, "nips run: --log-mask %s: expected a number from 0 to 0xFFFFFFFF\n",
              args.logMask.c_str());
      return kExitUsage;
    }
    logMask = mask;
  }
  OutputFiles outputs(args);
  if (!outputs.Open(&error)) {
    fprintf(stderr, "nips run: %s\n", error.c_str());
    return kExitUsage;
  }
  if (queueMode && !KernelHasNfqueue()) {
    fprintf(stderr,
            "nips run: this kernel has no NFQUEUE (no /proc/net/netfilter/nfnetlink_queue)\n");
    return kExitUnavailable;
  }

  // Signals are taken by the main thread only (sigtimedwait), so every
  // thread started from here on inherits the blocked mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  // The detectors' time windows run on the real clock.
  kt::UseRealClock();
  std::unique_ptr<DriverLink> driver = LoadSimulatedDriver(&error);
  if (!driver) {
    fprintf(stderr, "nips run: driver load failed: %s\n", error.c_str());
    return kExitEngineError;
  }
  int status = kExitOk;
  auto unload = [&driver, &status]() {
    driver->Unload();
    driver.reset();
    const size_t outstanding = kt::PoolOutstanding();
    if (outstanding == 0) {
      fprintf(stderr, "nips run: driver unloaded, pool ledger empty\n");
    } else {
      fprintf(stderr, "nips run: driver unloaded with %zu pool allocations left:\n%s", outstanding,
              kt::PoolLeakReport().c_str());
      status = kExitEngineError;
    }
  };
  if (logMask) {
    uint32_t mask = *logMask;
    if (!RunControl(driver.get(), kControlSetLogMask, "log mask", &mask, sizeof mask, nullptr, 0,
                    &error)) {
      fprintf(stderr, "nips run: %s\n", error.c_str());
      unload();
      return kExitEngineError;
    }
  }
  std::optional<LogReader> logReader;
  if (!args.logPath.empty()) {
    logReader.emplace(driver.get(),
                      [&outputs](const LogRecord& record) { outputs.WriteLog(record); });
  }
  // The service's own configuration cycles (start, SIGHUP) never interleave.
  std::mutex configMutex;
  {
    std::lock_guard<std::mutex> guard(configMutex);
    if (!ConfigureDriver(driver.get(), policy, &error)) {
      fprintf(stderr, "nips run: configuration failed: %s\n", error.c_str());
      if (logReader) logReader->Stop();
      unload();
      return kExitEngineError;
    }
  }

  EngineOptions engineOptions;
  engineOptions.enforce = queueMode;
  engineOptions.onAlert = [&outputs](const Alert& alert) { outputs.WriteAlert(alert); };
  InlineEngine engine(driver.get(), engineOptions);

  std::vector<std::unique_ptr<QueueWorker>> workers;
  std::unique_ptr<PassiveReader> passive;
  QueueSettings settings;
  settings.failOpen = args.failOpen;
  bool started = true;
  if (queueMode) {
    for (uint32_t queue = firstQueue; queue <= lastQueue && started; ++queue) {
      workers.push_back(std::make_unique<QueueWorker>(static_cast<uint16_t>(queue), &engine));
      started = workers.back()->Open(settings, &error);
    }
  } else {
    passive = std::make_unique<PassiveReader>(&engine);
    started = passive->Open(args.interface, &error);
  }

  const auto startTime = std::chrono::steady_clock::now();
  ControlServer control;
  auto stats = [&]() {
    nlohmann::ordered_json json;
    json["mode"] = queueMode ? "queue" : "passive";
    json["uptime_seconds"] =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - startTime).count();
    engine.FillStats(&json);
    if (queueMode) {
      nlohmann::ordered_json queues = nlohmann::ordered_json::array();
      for (const auto& worker : workers) {
        nlohmann::ordered_json one;
        worker->FillStats(&one);
        queues.push_back(one);
      }
      json["queues"] = queues;
    } else if (passive) {
      nlohmann::ordered_json one;
      passive->FillStats(&one);
      json["capture"] = one;
    }
    json["control_connections"] = control.connections();
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  };
  if (started) {
    if (!EnsureParentDirectory(args.controlPath)) {
      error = fmt::format("cannot create the directory of {}", args.controlPath);
      started = false;
    } else {
      DriverLink* link = driver.get();
      started = control.Start(
          args.controlPath,
          [link, &stats](const RequestHeader& header, const std::vector<uint8_t>& input) {
            return ForwardToDriver(link, header, input, stats);
          },
          &error);
    }
  }
  std::atomic<bool> stop{false};
  if (started) {
    fprintf(stderr, "nips run: %s\n",
            queueMode ? fmt::format("NFQUEUE queue{} {}{} (verdicts enforced), fail-open {}",
                                    firstQueue == lastQueue ? "" : "s", firstQueue,
                                    firstQueue == lastQueue ? "" : fmt::format("-{}", lastQueue),
                                    args.failOpen ? "on" : "off")
                            .c_str()
                      : fmt::format("interface {} (passive: verdicts reported, never enforced)",
                                    args.interface)
                            .c_str());
    fprintf(stderr, "nips run: policy %s\n", PolicyDescription(args.policyPath, policy).c_str());
    fprintf(stderr, "nips run: control socket %s\n", args.controlPath.c_str());
    fprintf(stderr, "nips run: alerts to %s, eve %s, log %s (mask %s)\n",
            args.alertsPath.empty() ? "standard output" : args.alertsPath.c_str(),
            args.evePath.empty() ? "off" : args.evePath.c_str(),
            args.logPath.empty() ? "off" : args.logPath.c_str(),
            args.logMask.empty() ? "120" : args.logMask.c_str());
    if (queueMode) {
      for (const std::string& offloaded : InterfacesWithOffloads()) {
        fprintf(stderr,
                "nips run: warning: %s: offloads on; merged packets above the MTU are not "
                "inspected (ethtool -K IF gro off gso off tso off)\n",
                offloaded.c_str());
      }
    }
    for (auto& worker : workers) worker->Start(&stop);
    if (passive) passive->Start(&stop);
    fprintf(stderr, "nips run: running (pid %d)\n", getpid());
    for (;;) {
      timespec wait = {kSignalWaitSeconds, 0};
      siginfo_t info;
      const int signal = sigtimedwait(&signals, &info, &wait);
      if (signal == SIGTERM || signal == SIGINT) {
        fprintf(stderr, "nips run: %s, stopping\n", signal == SIGTERM ? "SIGTERM" : "SIGINT");
        break;
      }
      if (signal != SIGHUP) continue;
      Policy fresh = DefaultPolicy();
      std::string reloadError;
      if (!args.policyPath.empty() && !LoadPolicyFile(args.policyPath, &fresh, &reloadError)) {
        fprintf(stderr, "nips run: SIGHUP: %s: %s; the running policy stays\n",
                args.policyPath.c_str(), reloadError.c_str());
      } else {
        std::lock_guard<std::mutex> guard(configMutex);
        if (ConfigureDriver(driver.get(), fresh, &reloadError)) {
          policy = fresh;
          fprintf(stderr, "nips run: SIGHUP: policy %s\n",
                  PolicyDescription(args.policyPath, policy).c_str());
        } else {
          fprintf(stderr, "nips run: SIGHUP: configuration failed: %s\n", reloadError.c_str());
        }
      }
      if (!outputs.Reopen(&reloadError)) {
        fprintf(stderr, "nips run: SIGHUP: %s\n", reloadError.c_str());
      }
    }
  } else {
    fprintf(stderr, "nips run: %s\n", error.c_str());
    status = kExitUnavailable;
  }

  stop.store(true);
  for (auto& worker : workers) worker->Join();
  if (passive) passive->Join();
  // Request 7 releases log drains blocked in the driver (ours and those of
  // control clients) before the connections are shut down.
  if (logReader) {
    logReader->Stop();
  } else {
    driver->Control(kControlCloseLog, nullptr, 0, nullptr, 0, nullptr);
  }
  control.Stop();
  nlohmann::ordered_json summary;
  engine.FillStats(&summary);
  fprintf(
      stderr,
      "nips run: %llu packets, %llu inspected, %llu dropped (%llu of blocked hosts), %llu alerts\n",
      static_cast<unsigned long long>(engine.counters().packets.load()),
      static_cast<unsigned long long>(engine.counters().inspected.load()),
      static_cast<unsigned long long>(engine.counters().dropped.load()),
      static_cast<unsigned long long>(engine.counters().blockedHostDrops.load()),
      static_cast<unsigned long long>(engine.counters().alerts.load()));
  for (const auto& worker : workers) {
    if (worker->enobufs() != 0) {
      fprintf(stderr, "nips run: queue %u: %llu receive overruns (ENOBUFS)\n", worker->queue(),
              static_cast<unsigned long long>(worker->enobufs()));
    }
  }
  if (passive && passive->kernelDrops() != 0) {
    fprintf(stderr, "nips run: %s: the kernel dropped %llu frames\n", args.interface.c_str(),
            static_cast<unsigned long long>(passive->kernelDrops()));
  }
  workers.clear();
  passive.reset();
  unload();
  return status;
}

}  // namespace nipstool
