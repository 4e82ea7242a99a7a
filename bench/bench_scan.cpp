// Frames per second of `nips scan -q` with the default policy over a
// generated capture of mixed traffic, side by side with a plain libpcap read
// loop over the same file (the floor no scanner can beat), and their ratio.
//
//   bench_scan [--frames N] [--runs R] [--capture FILE] [--nips PATH]
//
// The capture is generated once (nips_gen_captures' benchmark capture) and
// reused while its frame count matches. The scan runs the real program as a
// child process; the floor runs in this process. Each side is run R times
// (default 3), alternating, and the best run of each is reported.
#include <fcntl.h>
#include <limits.h>
#include <pcap/pcap.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "tools/capture_gen.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Every frame read and touched, nothing else: the cost of reading the file.
bool ReadLoop(const std::string& path, uint64_t* frames, double* seconds) {
  const Clock::time_point start = Clock::now();
  char error[PCAP_ERRBUF_SIZE];
  pcap_t* pcap = pcap_open_offline(path.c_str(), error);
  if (pcap == nullptr) {
    fprintf(stderr, "bench_scan: %s: %s\n", path.c_str(), error);
    return false;
  }
  struct pcap_pkthdr* header;
  const u_char* data;
  uint64_t count = 0, checksum = 0;
  while (pcap_next_ex(pcap, &header, &data) == 1) {
    ++count;
    checksum += header->caplen + data[header->caplen - 1];
  }
  pcap_close(pcap);
  *seconds = Seconds(start);
  *frames = count;
  if (checksum == 0) fprintf(stderr, "bench_scan: empty capture\n");
  return true;
}

bool RunScan(const std::string& nips, const std::string& path, double* seconds) {
  std::vector<std::string> args = {nips, "scan", "-q", path};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const Clock::time_point start = Clock::now();
  pid_t child;
  const int spawned = posix_spawn(&child, nips.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    fprintf(stderr, "bench_scan: cannot run %s: %s\n", nips.c_str(), strerror(spawned));
    return false;
  }
  int status = 0;
  waitpid(child, &status, 0);
  *seconds = Seconds(start);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "bench_scan: nips scan failed (status %d)\n", status);
    return false;
  }
  return true;
}

std::string SiblingProgram(const char* relative) {
  char self[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return relative;
  self[length] = '\0';
  std::string path = self;
  path = path.substr(0, path.rfind('/'));  // .../bench
  path = path.substr(0, path.rfind('/'));  // the build directory
  return path + "/" + relative;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t frames = 1000000;
  int runs = 3;
  std::string capture =
      std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/nips-bench-scan.pcap";
  std::string nips = SiblingProgram("tools/nips");
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--frames") {
      frames = strtoull(argv[i + 1], nullptr, 10);
    } else if (option == "--runs") {
      runs = atoi(argv[i + 1]);
    } else if (option == "--capture") {
      capture = argv[i + 1];
    } else if (option == "--nips") {
      nips = argv[i + 1];
    } else {
      fprintf(stderr, "usage: bench_scan [--frames N] [--runs R] [--capture FILE] [--nips PATH]\n");
      return 2;
    }
  }
  if (frames == 0 || runs <= 0) return 2;

  uint64_t present = 0;
  double ignored;
  struct stat info;
  if (stat(capture.c_str(), &info) != 0 || !ReadLoop(capture, &present, &ignored) ||
      present != frames) {
    printf("generating %llu frames into %s\n", static_cast<unsigned long long>(frames),
           capture.c_str());
    std::string error;
    if (!capgen::WriteBenchCapture(capture, frames, &error)) {
      fprintf(stderr, "bench_scan: %s\n", error.c_str());
      return 1;
    }
  }
  stat(capture.c_str(), &info);

  double bestRead = 1e9, bestScan = 1e9;
  uint64_t read = 0;
  // One untimed pass of each puts the file in the page cache and the program in memory.
  if (!ReadLoop(capture, &read, &ignored) || !RunScan(nips, capture, &ignored)) return 1;
  for (int run = 0; run < runs; ++run) {
    double seconds;
    if (!ReadLoop(capture, &read, &seconds)) return 1;
    bestRead = std::min(bestRead, seconds);
    if (!RunScan(nips, capture, &seconds)) return 1;
    bestScan = std::min(bestScan, seconds);
  }
  const double readRate = static_cast<double>(read) / bestRead;
  const double scanRate = static_cast<double>(read) / bestScan;
  printf("capture            %s: %llu frames, %.1f MB\n", capture.c_str(),
         static_cast<unsigned long long>(read), static_cast<double>(info.st_size) / 1e6);
  printf("libpcap read loop  %10.0f frames/s  (%.3f s, best of %d)\n", readRate, bestRead, runs);
  printf("nips scan -q       %10.0f frames/s  (%.3f s, best of %d)\n", scanRate, bestScan, runs);
  printf("ratio              %10.2f x the read loop's time\n", bestScan / bestRead);
  return 0;
}
