// `nips ctl`: user mode's side of the inline service's control socket.
#pragma once

#include <string>
#include <vector>

namespace nipstool {

struct CtlArguments {
  std::string controlPath;
  std::string command;   // handshake, policy, log-mask, log, close-log, evidence, stats
  std::string argument;  // FILE, MASK or K
  bool follow = false;   // log --follow
};

int RunCtl(const CtlArguments& args);

}  // namespace nipstool
