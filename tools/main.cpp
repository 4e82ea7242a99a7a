// nips: the driver run in user mode over captures.
//   nips scan [--policy FILE] [--json] [--log FILE] [--log-mask MASK] [-q] CAPTURE...
//   nips signatures
//   nips policy default
#include <stdio.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <fstream>
#include <sstream>

#include "tools/policy.h"
#include "tools/scanner.h"
#include "tools/signatures.h"

namespace {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitInputError = 1;   // a capture could not be read (fully)
constexpr int kExitUsage = 2;        // bad command line or policy
constexpr int kExitEngineError = 3;  // the driver failed or leaked

bool ReadFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = strerror(errno);
    return false;
  }
  std::ostringstream contents;
  contents << in.rdbuf();
  if (in.bad()) {
    *error = "read error";
    return false;
  }
  *text = contents.str();
  return true;
}

bool ParseLogMask(const std::string& text, uint32_t* mask) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-' || value > 0xFFFFFFFFull) return false;
  *mask = static_cast<uint32_t>(value);
  return true;
}

struct ScanArguments {
  std::string policyPath;
  bool json = false;
  std::string logPath;
  std::string logMask;
  bool quiet = false;
  std::vector<std::string> captures;
};

int RunScan(const ScanArguments& args) {
  nipstool::ScanOptions options;
  options.policy = nipstool::DefaultPolicy();
  if (!args.policyPath.empty()) {
    std::string text, error;
    if (!ReadFile(args.policyPath, &text, &error) ||
        !nipstool::ParsePolicy(text, &options.policy, &error)) {
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
  FILE* log = nullptr;
  if (!args.logPath.empty()) {
    log = fopen(args.logPath.c_str(), "w");
    if (log == nullptr) {
      fprintf(stderr, "nips: %s: %s\n", args.logPath.c_str(), strerror(errno));
      return kExitUsage;
    }
    // Written from the log reader thread only while a capture is scanned.
    options.onLog = [log](const nipstool::LogRecord& record) {
      const std::string line = nipstool::FormatLogRecord(record) + "\n";
      fwrite(line.data(), 1, line.size(), log);
    };
  }
  options.progress = !args.quiet && isatty(STDERR_FILENO);

  const auto printAlert = [&args](const nipstool::Alert& alert) {
    std::string line =
        args.json ? nipstool::FormatAlertJson(alert) : nipstool::FormatAlertText(alert);
    line += '\n';
    fwrite(line.data(), 1, line.size(), stdout);
  };
  int exitCode = kExitOk;
  std::vector<nipstool::CaptureResult> results;
  for (const std::string& capture : args.captures) {
    if (log != nullptr) fprintf(log, "# driver log while scanning %s\n", capture.c_str());
    nipstool::CaptureResult result = nipstool::ScanCapture(capture, options, printAlert);
    fflush(stdout);
    if (result.status == nipstool::ScanStatus::kInputError) {
      fprintf(stderr, "nips: %s\n", result.message.c_str());
      if (exitCode == kExitOk) exitCode = kExitInputError;
    } else if (result.status == nipstool::ScanStatus::kEngineError) {
      fprintf(stderr, "nips: %s\n", result.message.c_str());
      exitCode = kExitEngineError;
    }
    results.push_back(std::move(result));
  }
  if (log != nullptr && fclose(log) != 0) {
    fprintf(stderr, "nips: %s: %s\n", args.logPath.c_str(), strerror(errno));
    if (exitCode == kExitOk) exitCode = kExitInputError;
  }
  if (!args.quiet) fputs(nipstool::FormatSummary(results).c_str(), stderr);
  return exitCode;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "nips: the intrusion prevention driver, loaded in user mode against a simulated core "
      "driver and firewall core, inspecting captured traffic."};
  app.name("nips");
  app.require_subcommand(1);

  ScanArguments scanArgs;
  CLI::App* scan = app.add_subcommand(
      "scan", "Inspect pcap/pcapng captures with the driver and print its alerts on stdout");
  scan->add_option("--policy", scanArgs.policyPath,
                   "JSON signature policy (default: the policy `nips policy default` prints)");
  scan->add_flag("--json", scanArgs.json, "alerts as JSON Lines with EVE-style field names");
  scan->add_option("--log", scanArgs.logPath, "write the driver's log, decoded, to this file");
  scan->add_option("--log-mask", scanArgs.logMask,
                   "driver log categories (decimal or 0x hex): 1 per-packet trace, 2 information,"
                   " 4 lifecycle and detections, 8 malformed packets, 16 errors; default 120");
  scan->add_flag("-q,--quiet", scanArgs.quiet, "no summary (and no progress) on stderr");
  scan->add_option("CAPTURE", scanArgs.captures, "capture files (pcap or pcapng)")->required();

  CLI::App* signatures = app.add_subcommand(
      "signatures", "List the built-in signatures: row, id, protocols, detector, what it detects");
  CLI::App* policy = app.add_subcommand("policy", "Signature policy files");
  policy->require_subcommand(1);
  CLI::App* policyDefault =
      policy->add_subcommand("default", "Print the default policy as a policy file");

  // CLI11 reports an unknown command as a missing one; name it instead.
  const auto known = [&app](const char* name) {
    for (const CLI::App* command : app.get_subcommands({})) {
      if (command->get_name() == name) return true;
    }
    return false;
  };
  if (argc > 1 && argv[1][0] != '-' && !known(argv[1])) {
    fprintf(stderr, "nips: unknown command '%s' (commands: scan, signatures, policy; see --help)\n",
            argv[1]);
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  if (scan->parsed()) return RunScan(scanArgs);
  if (signatures->parsed()) {
    fputs(nipstool::SignatureListing().c_str(), stdout);
    return kExitOk;
  }
  if (policyDefault->parsed()) {
    fputs(nipstool::PolicyToJson(nipstool::DefaultPolicy()).c_str(), stdout);
    return kExitOk;
  }
  return kExitUsage;
}
