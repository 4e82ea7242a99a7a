// `nips run`: the driver as an inline intrusion prevention service on Linux.
// NFQUEUE queues take the firewall core's place (verdicts enforced), or one
// interface is read passively (verdicts reported); a Unix control socket
// carries control requests 1-8 to the driver; SIGHUP re-reads the policy and
// reopens the output files; SIGTERM and SIGINT unload the driver.
#pragma once

#include <stdint.h>

#include <string>

namespace nipstool {

constexpr const char* kDefaultControlPath = "/run/nips/nips.sock";

struct RunArguments {
  std::string queues;     // "N" or "N-M"
  std::string interface;  // passive mode
  std::string policyPath;
  bool failOpen = false;
  std::string controlPath = kDefaultControlPath;
  std::string evePath;
  std::string logPath;
  std::string logMask;
  std::string alertsPath;  // text alerts; default standard output
};

// "N" or "N-M" with N <= M <= 65535 and at most kMaxQueues queues.
constexpr uint32_t kMaxQueues = 64;
bool ParseQueueRange(const std::string& text, uint16_t* first, uint16_t* last);

int RunService(const RunArguments& args);

}  // namespace nipstool
