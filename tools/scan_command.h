// `nips scan`: the captures named on the command line (files, directories,
// "-" for standard input) scanned one after the other, or several at once in
// child processes, with their alerts, log and summary in argument order.
#pragma once

#include <string>
#include <vector>

namespace nipstool {

// Exit codes of the nips program.
constexpr int kExitOk = 0;
constexpr int kExitInputError = 1;   // a capture could not be read (fully)
constexpr int kExitUsage = 2;        // bad command line or policy
constexpr int kExitEngineError = 3;  // the driver failed or leaked

struct ScanArguments {
  std::string policyPath;
  bool json = false;
  std::string logPath;
  std::string logMask;
  bool quiet = false;
  bool profile = false;  // stage and signature times after the summary
  unsigned jobs = 1;     // 0: one per core
  std::string filter;
  std::string statsJsonPath;
  std::vector<std::string> captures;
};

// Files as they are, "-" once, and every regular file below a directory,
// recursively, sorted by path. A directory that cannot be read is named in
// *problems (one line each) and leaves out what it hides.
std::vector<std::string> ExpandCaptureArguments(const std::vector<std::string>& arguments,
                                                std::vector<std::string>* problems);

int RunScan(const ScanArguments& args);

}  // namespace nipstool
