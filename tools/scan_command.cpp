#include "tools/scan_command.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <malloc.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "hostsim/capture.h"
#include "kt_hooks.h"
#include "tools/policy.h"
#include "tools/scanner.h"

namespace nipstool {
namespace {

namespace fs = std::filesystem;

// A filter is checked once against Ethernet, so that a typo is a usage error
// before any capture is scanned; an expression that only some link types
// accept fails on the captures of the others.
bool FilterCompiles(const std::string& expression, std::string* error) {
  pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
  if (dead == nullptr) {
    *error = "libpcap could not open a compiler";
    return false;
  }
  bpf_program program;
  const bool ok = pcap_compile(dead, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) == 0;
  if (ok) {
    pcap_freecode(&program);
  } else {
    *error = pcap_geterr(dead);
  }
  pcap_close(dead);
  return ok;
}

// Copies what a child wrote to a temporary file into out, from the start.
bool CopyAll(FILE* from, FILE* out) {
  if (fflush(from) != 0 || fseek(from, 0, SEEK_SET) != 0) return false;
  char buffer[1 << 16];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, from)) > 0) {
    if (fwrite(buffer, 1, got, out) != got) return false;
  }
  return !ferror(from);
}

std::string ReadAll(FILE* from) {
  std::string text;
  if (fflush(from) != 0 || fseek(from, 0, SEEK_SET) != 0) return text;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, from)) > 0) text.append(buffer, got);
  return text;
}

// Enough captures queued per worker to keep it busy between the parent's
// rounds of collecting (kCollectPauseUs apart).
constexpr size_t kWorkerQueueDepth = 16;
constexpr useconds_t kCollectPauseUs = 1000;
constexpr int kWorkerSilenceMs = 100;
constexpr int kScanMmapThreshold = 32 << 20;
constexpr int kScanTrimThreshold = 64 << 20;

// Where one capture's output goes while it is scanned.
struct CaptureSinks {
  std::function<FILE*()> alerts;  // asked for at the first alert
  FILE* log;                      // null without --log
};

class ScanRun {
 public:
  ScanRun(const ScanArguments& args, ScanOptions options, FILE* log)
      : args_(args), options_(std::move(options)), log_(log) {}

  // One capture in this process, its output into sinks.
  CaptureResult ScanOne(const std::string& capture, const CaptureSinks& sinks) {
    ScanOptions options = options_;
    if (sinks.log != nullptr) {
      FILE* log = sinks.log;
      fprintf(log, "# driver log while scanning %s\n", capture.c_str());
      // Written from the log reader thread only while the capture is scanned.
      options.onLog = [log](const LogRecord& record) {
        const std::string line = FormatLogRecord(record) + "\n";
        fwrite(line.data(), 1, line.size(), log);
      };
    }
    const bool json = args_.json;
    FILE* alerts = nullptr;
    CaptureResult result = ScanCapture(capture, options, [&](const Alert& alert) {
      std::string line = json ? FormatAlertJson(alert) : FormatAlertText(alert);
      line += '\n';
      if (alerts == nullptr) alerts = sinks.alerts();
      fwrite(line.data(), 1, line.size(), alerts);
    });
    if (alerts != nullptr) fflush(alerts);
    return result;
  }

  std::vector<CaptureResult> Sequential(const std::vector<std::string>& captures) {
    std::vector<CaptureResult> results;
    for (const std::string& capture : captures) {
      results.push_back(ScanOne(capture, {[] { return stdout; }, log_}));
      Report(results.back());
    }
    return results;
  }

  // Captures are scanned by worker processes: the driver's state is the
  // process's, as a loaded driver's is the machine's, so each worker loads
  // one driver at a time, capture after capture. A worker writes each
  // capture's alerts, log and result into files of a private directory; the
  // parent copies them out in argument order, so the output is the
  // sequential run's, byte for byte. A worker that dies costs its capture an
  // engine error and is replaced.
  std::vector<CaptureResult> Parallel(const std::vector<std::string>& captures, unsigned jobs) {
    captures_ = captures;
    const char* base = getenv("TMPDIR");
    std::string pattern =
        std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/nips-scan-XXXXXX";
    const char* tempDirectory = mkdtemp(pattern.data());
    int done[2];
    if (tempDirectory == nullptr || pipe(done) != 0) {
      fprintf(stderr, "nips: temporary directory: %s\n", strerror(errno));
      exit(kExitEngineError);
    }
    directory_ = tempDirectory;
    fflush(stdout);
    if (log_ != nullptr) fflush(log_);

    std::vector<Worker> workers(jobs);
    std::vector<bool> finished(captures.size(), false);
    std::vector<std::string> deaths(captures.size());
    std::vector<CaptureResult> results;
    size_t next = 0, emitted = 0;
    std::deque<size_t> retry;  // sent to a worker that died before it began them
    // Each worker holds up to kWorkerQueueDepth captures, so that it never
    // waits for the parent between two of them.
    auto assign = [&](Worker& worker) {
      while (worker.inflight.size() < kWorkerQueueDepth &&
             (!retry.empty() || next < captures.size())) {
        if (worker.pid <= 0) Start(&worker, workers, done);
        uint64_t index;
        if (!retry.empty()) {
          index = retry.front();
          retry.pop_front();
        } else {
          index = next++;
        }
        worker.inflight.push_back(index);
        if (write(worker.tasks, &index, sizeof index) != sizeof index) {
          fprintf(stderr, "nips: worker pipe: %s\n", strerror(errno));
          exit(kExitEngineError);
        }
      }
    };
    for (Worker& worker : workers) assign(worker);
    std::vector<Completion> completions(captures.size());
    std::vector<std::string> records(captures.size());
    // Completions are taken in rounds, not one wake-up each: the parent
    // sleeps a moment between rounds while the workers' queues keep them busy.
    // A wake-up per capture cost about a context switch and a migration per
    // capture, more than a small capture's scan on this kind of machine.
    fcntl(done[0], F_SETFL, fcntl(done[0], F_GETFL) | O_NONBLOCK);
    while (emitted < captures.size()) {
      // A worker that dies says nothing: it is found when the others have
      // gone quiet for a moment, and its captures are finished or retried.
      struct pollfd ready = {done[0], POLLIN, 0};
      if (poll(&ready, 1, kWorkerSilenceMs) == 0) {
        ReapDeadWorkers(&workers, &finished, &deaths, &retry);
      }
      for (;;) {
        Completion completion;
        const ssize_t got = read(done[0], &completion, sizeof completion);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) break;
        if (got != sizeof completion || completion.worker >= workers.size() ||
            completion.index >= captures.size()) {
          fprintf(stderr, "nips: worker pipe: %s\n", got < 0 ? strerror(errno) : "bad message");
          exit(kExitEngineError);
        }
        // The record came in the same write as its header.
        std::string record(completion.recordLength == kRecordInFile ? 0 : completion.recordLength,
                           '\0');
        if (read(done[0], record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
          fprintf(stderr, "nips: worker pipe: short record\n");
          exit(kExitEngineError);
        }
        Worker& worker = workers[completion.worker];
        finished[completion.index] = true;
        completions[completion.index] = completion;
        records[completion.index] = std::move(record);
        if (!worker.inflight.empty() && worker.inflight.front() == completion.index) {
          worker.inflight.pop_front();
        }
        assign(worker);
      }
      for (Worker& worker : workers) {
        if (worker.pid <= 0) assign(worker);
      }
      while (emitted < captures.size() && finished[emitted]) {
        results.push_back(Collect(captures[emitted], emitted, deaths[emitted], completions[emitted],
                                  records[emitted]));
        records[emitted].clear();
        Report(results.back());
        ++emitted;
      }
      if (emitted < captures.size()) usleep(kCollectPauseUs);
    }
    for (Worker& worker : workers) {
      if (worker.pid > 0) {
        close(worker.tasks);
        waitpid(worker.pid, nullptr, 0);
      }
    }
    close(done[0]);
    close(done[1]);
    rmdir(directory_.c_str());
    return results;
  }

  int exitCode() const { return exitCode_; }

 private:
  struct Worker {
    pid_t pid = -1;
    int tasks = -1;               // the parent's end of the worker's task pipe
    std::deque<size_t> inflight;  // capture indexes sent, in the order it scans them
  };
  // A worker's word that a capture is done, followed in the same write by
  // the result record unless that would not fit in one atomic pipe write.
  struct Completion {
    uint64_t worker;
    uint64_t index;
    uint32_t files;         // kAlertsFile, kLogFile
    uint64_t recordLength;  // kRecordInFile: the record is in its file
  };
  static constexpr uint32_t kAlertsFile = 1;
  static constexpr uint32_t kLogFile = 2;
  static constexpr uint64_t kRecordInFile = ~uint64_t{0};

  std::string FileOf(size_t index, const char* kind) const {
    return directory_ + "/" + std::to_string(index) + "." + kind;
  }

  void Start(Worker* worker, const std::vector<Worker>& all, const int done[2]) {
    int tasks[2];
    if (pipe(tasks) != 0) {
      fprintf(stderr, "nips: worker pipe: %s\n", strerror(errno));
      exit(kExitEngineError);
    }
    const pid_t pid = fork();
    if (pid < 0) {
      fprintf(stderr, "nips: fork: %s\n", strerror(errno));
      exit(kExitEngineError);
    }
    if (pid > 0) {
      close(tasks[0]);
      worker->pid = pid;
      worker->tasks = tasks[1];
      return;
    }
    // The worker: the other workers' task pipes must not stay open here, or
    // they would never see their end.
    for (const Worker& other : all) {
      if (other.tasks >= 0) close(other.tasks);
    }
    close(tasks[1]);
    close(done[0]);
    const uint64_t self = static_cast<uint64_t>(worker - all.data());
    uint64_t index;
    while (read(tasks[0], &index, sizeof index) == sizeof index) {
      // Most captures raise no alert: their alerts file is never made.
      FILE* alerts = nullptr;
      auto openAlerts = [&]() -> FILE* {
        alerts = fopen(FileOf(index, "alerts").c_str(), "w");
        if (alerts == nullptr) _exit(1);
        return alerts;
      };
      FILE* log = log_ != nullptr ? fopen(FileOf(index, "log").c_str(), "w") : nullptr;
      if (log_ != nullptr && log == nullptr) _exit(1);
      const CaptureResult result = ScanOne(captures_[index], {openAlerts, log});
      const std::string text = CaptureResultToRecord(result);
      bool ok = true;
      for (FILE* file : {alerts, log}) {
        if (file != nullptr && fclose(file) != 0) ok = false;
      }
      Completion completion = {
          self, index, (alerts != nullptr ? kAlertsFile : 0u) | (log != nullptr ? kLogFile : 0u),
          text.size()};
      std::string message(reinterpret_cast<const char*>(&completion), sizeof completion);
      if (sizeof completion + text.size() <= PIPE_BUF) {
        message += text;
      } else {
        FILE* record = fopen(FileOf(index, "result").c_str(), "w");
        ok = ok && record != nullptr && fwrite(text.data(), 1, text.size(), record) == text.size();
        if (record == nullptr || fclose(record) != 0) ok = false;
        completion.recordLength = kRecordInFile;
        message.assign(reinterpret_cast<const char*>(&completion), sizeof completion);
      }
      if (!ok ||
          write(done[1], message.data(), message.size()) != static_cast<ssize_t>(message.size())) {
        _exit(1);
      }
    }
    _exit(0);
  }

  // Workers that ended without being told to: their capture is finished
  // with the cause, and the slot starts afresh when work remains.
  void ReapDeadWorkers(std::vector<Worker>* workers, std::vector<bool>* finished,
                       std::vector<std::string>* deaths, std::deque<size_t>* retry) {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
      for (Worker& worker : *workers) {
        if (worker.pid != pid) continue;
        close(worker.tasks);
        worker.pid = -1;
        worker.tasks = -1;
        if (!worker.inflight.empty()) {
          const size_t index = worker.inflight.front();
          worker.inflight.pop_front();
          (*deaths)[index] = WIFSIGNALED(status) ? "the scanning process died of signal " +
                                                       std::to_string(WTERMSIG(status))
                                                 : "the scanning process ended without a result";
          (*finished)[index] = true;
          retry->insert(retry->begin(), worker.inflight.begin(), worker.inflight.end());
          worker.inflight.clear();
        }
      }
    }
  }

  // The finished capture's output, copied out in order, and its result.
  CaptureResult Collect(const std::string& capture, size_t index, const std::string& death,
                        const Completion& completion, std::string record) {
    CaptureResult result;
    if (death.empty() && completion.recordLength == kRecordInFile) {
      if (FILE* file = fopen(FileOf(index, "result").c_str(), "r")) {
        record = ReadAll(file);
        fclose(file);
      }
      unlink(FileOf(index, "result").c_str());
    }
    if (!death.empty() || !CaptureResultFromRecord(record, &result)) {
      result = CaptureResult();
      result.path = capture;
      result.status = ScanStatus::kEngineError;
      result.message =
          capture + ": " + (death.empty() ? "the scanning process left no result" : death);
    }
    // A worker that died may have left part of a capture's output.
    const bool died = !death.empty();
    if (died || (completion.files & kAlertsFile) != 0) {
      if (FILE* file = fopen(FileOf(index, "alerts").c_str(), "r")) {
        CopyAll(file, stdout);
        fclose(file);
      }
      unlink(FileOf(index, "alerts").c_str());
    }
    fflush(stdout);
    if (log_ != nullptr && (died || (completion.files & kLogFile) != 0)) {
      if (FILE* file = fopen(FileOf(index, "log").c_str(), "r")) {
        CopyAll(file, log_);
        fclose(file);
      }
      unlink(FileOf(index, "log").c_str());
    }
    if (died) unlink(FileOf(index, "result").c_str());
    return result;
  }

  void Report(const CaptureResult& result) {
    if (!result.warning.empty()) fprintf(stderr, "nips: warning: %s\n", result.warning.c_str());
    if (result.status == ScanStatus::kInputError) {
      fprintf(stderr, "nips: %s\n", result.message.c_str());
      if (exitCode_ == kExitOk) exitCode_ = kExitInputError;
    } else if (result.status == ScanStatus::kEngineError) {
      fprintf(stderr, "nips: %s\n", result.message.c_str());
      exitCode_ = kExitEngineError;
    }
  }

  const ScanArguments& args_;
  const ScanOptions options_;
  FILE* log_;
  std::vector<std::string> captures_;  // of a parallel run
  std::string directory_;              // a parallel run's private files
  int exitCode_ = kExitOk;
};

}  // namespace

std::vector<std::string> ExpandCaptureArguments(const std::vector<std::string>& arguments,
                                                std::vector<std::string>* problems) {
  std::vector<std::string> captures;
  for (const std::string& argument : arguments) {
    std::error_code error;
    if (argument == hostsim::kStandardInputPath || !fs::is_directory(argument, error)) {
      captures.push_back(argument);
      continue;
    }
    std::vector<std::string> found;
    fs::recursive_directory_iterator it(argument, fs::directory_options::none, error);
    if (error) {
      problems->push_back(argument + ": " + error.message());
      continue;
    }
    for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
      if (error) {
        problems->push_back(it->path().string() + ": " + error.message());
        break;
      }
      std::error_code typeError;
      if (it->is_regular_file(typeError)) found.push_back(it->path().string());
    }
    std::sort(found.begin(), found.end());
    captures.insert(captures.end(), found.begin(), found.end());
  }
  return captures;
}

int RunScan(const ScanArguments& args) {
  const auto started = std::chrono::steady_clock::now();
  // A scan goes capture after capture with the same few large buffers (the
  // frame batches, the driver's pool): keeping freed memory in the heap
  // instead of handing it back and faulting it in again halves the work per
  // small capture. Workers inherit it.
  mallopt(M_MMAP_THRESHOLD, kScanMmapThreshold);
  mallopt(M_TRIM_THRESHOLD, kScanTrimThreshold);
  ScanOptions options;
  options.policy = DefaultPolicy();
  if (!args.policyPath.empty()) {
    std::string error;
    if (!LoadPolicyFile(args.policyPath, &options.policy, &error)) {
      fprintf(stderr, "nips: %s: %s\n", args.policyPath.c_str(), error.c_str());
      return kExitUsage;
    }
  }
  if (!args.logMask.empty()) {
    uint32_t mask;
    if (!ParseLogMask(args.logMask, &mask)) {
      fprintf(stderr, "nips: --log-mask %s: expected a number from 0 to 0xFFFFFFFF\n",
              args.logMask.c_str());
      return kExitUsage;
    }
    options.logMask = mask;
  }
  if (!args.filter.empty()) {
    std::string error;
    if (!FilterCompiles(args.filter, &error)) {
      fprintf(stderr, "nips: --filter '%s': %s\n", args.filter.c_str(), error.c_str());
      return kExitUsage;
    }
    options.filter = args.filter;
  }
  std::vector<std::string> problems;
  const std::vector<std::string> captures = ExpandCaptureArguments(args.captures, &problems);
  if (std::count(captures.begin(), captures.end(), std::string(hostsim::kStandardInputPath)) > 1) {
    fprintf(stderr, "nips: standard input (-) can be scanned only once\n");
    return kExitUsage;
  }
  FILE* log = nullptr;
  if (!args.logPath.empty()) {
    log = fopen(args.logPath.c_str(), "w");
    if (log == nullptr) {
      fprintf(stderr, "nips: %s: %s\n", args.logPath.c_str(), strerror(errno));
      return kExitUsage;
    }
  }
  FILE* stats = nullptr;
  if (!args.statsJsonPath.empty()) {
    stats = fopen(args.statsJsonPath.c_str(), "w");
    if (stats == nullptr) {
      fprintf(stderr, "nips: %s: %s\n", args.statsJsonPath.c_str(), strerror(errno));
      if (log != nullptr) fclose(log);
      return kExitUsage;
    }
  }
  unsigned jobs = args.jobs == 0 ? std::max(1u, std::thread::hardware_concurrency()) : args.jobs;
  jobs = static_cast<unsigned>(std::min<size_t>(jobs, std::max<size_t>(1, captures.size())));
  options.progress = !args.quiet && jobs == 1 && isatty(STDERR_FILENO);
  options.profile = args.profile;

  int exitCode = kExitOk;
  for (const std::string& problem : problems) {
    fprintf(stderr, "nips: %s\n", problem.c_str());
    exitCode = kExitInputError;
  }
  ScanRun run(args, options, log);
  const std::vector<CaptureResult> results =
      jobs > 1 ? run.Parallel(captures, jobs) : run.Sequential(captures);
  exitCode = std::max(exitCode, run.exitCode());
  if (log != nullptr && fclose(log) != 0) {
    fprintf(stderr, "nips: %s: %s\n", args.logPath.c_str(), strerror(errno));
    if (exitCode == kExitOk) exitCode = kExitInputError;
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (stats != nullptr) {
    const std::string text = FormatStatsJson(results, wall);
    const bool written = fwrite(text.data(), 1, text.size(), stats) == text.size();
    if (fclose(stats) != 0 || !written) {
      fprintf(stderr, "nips: %s: %s\n", args.statsJsonPath.c_str(), strerror(errno));
      if (exitCode == kExitOk) exitCode = kExitInputError;
    }
  }
  if (!args.quiet) fputs(FormatSummary(results).c_str(), stderr);
  if (args.profile) {
    ScanProfile total;
    uint64_t frames = 0;
    for (const CaptureResult& r : results) {
      if (r.profile) total.Add(*r.profile);
      frames += r.frames;
    }
    fputs(FormatProfile(total, frames).c_str(), stderr);
  }
  return exitCode;
}

}  // namespace nipstool
