// nips: the driver run in user mode over captures.
//   nips scan [--policy FILE] [--json] [--log FILE] [--log-mask MASK] [-j N] [--filter EXPR]
//             [--stats-json FILE] [--profile] [-q] CAPTURE|DIRECTORY|-...
//   nips run --queue N[-M] | --interface IF [--policy FILE] [--fail-open] [--control PATH]
//            [--eve FILE] [--log FILE] [--log-mask MASK] [--alerts FILE]
//   nips ctl [--control PATH] handshake | policy FILE | log-mask MASK | log [--follow] |
//            close-log | evidence K | stats
//   nips signatures
//   nips policy default
#include <stdio.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "tools/ctl_command.h"
#include "tools/policy.h"
#include "tools/run_command.h"
#include "tools/scan_command.h"
#include "tools/signatures.h"

using nipstool::kExitOk;
using nipstool::kExitUsage;

int main(int argc, char** argv) {
  CLI::App app{
      "nips: the intrusion prevention driver, loaded in user mode against a simulated core "
      "driver and firewall core, inspecting captured traffic."};
  app.name("nips");
  app.require_subcommand(1);

  nipstool::ScanArguments scanArgs;
  CLI::App* scan = app.add_subcommand(
      "scan", "Inspect pcap/pcapng captures with the driver and print its alerts on stdout");
  scan->add_option("--policy", scanArgs.policyPath,
                   "JSON signature policy (default: the policy `nips policy default` prints)");
  scan->add_flag("--json", scanArgs.json, "alerts as JSON Lines with EVE-style field names");
  scan->add_option("--log", scanArgs.logPath, "write the driver's log, decoded, to this file");
  scan->add_option("--log-mask", scanArgs.logMask,
                   "driver log categories (decimal or 0x hex): 1 per-packet trace, 2 information,"
                   " 4 lifecycle and detections, 8 malformed packets, 16 errors; default 120");
  scan->add_option("-j,--jobs", scanArgs.jobs,
                   "scan this many captures at once, each in a process of its own (0: one per "
                   "core); the output is the same as with 1");
  scan->add_option("--filter", scanArgs.filter,
                   "BPF expression (libpcap syntax); frames it rejects are skipped as \"filter\"");
  scan->add_option("--stats-json", scanArgs.statsJsonPath,
                   "write the summary as one JSON object to this file");
  scan->add_flag("-q,--quiet", scanArgs.quiet, "no summary (and no progress) on stderr");
  scan->add_flag("--profile", scanArgs.profile,
                 "after the summary, the time of each stage and of each signature row");
  scan->add_option("CAPTURE", scanArgs.captures,
                   "pcap or pcapng captures, directories (every file below, sorted), or - for "
                   "standard input")
      ->required();

  nipstool::RunArguments runArgs;
  CLI::App* run = app.add_subcommand(
      "run",
      "Inline prevention: judge packets from NFQUEUE queues (or passively from an "
      "interface) until SIGTERM or SIGINT; SIGHUP re-reads the policy and reopens outputs");
  auto* queueOption = run->add_option("-q,--queue", runArgs.queues,
                                      "NFQUEUE queue number or range N-M, one worker each");
  run->add_option("-i,--interface", runArgs.interface,
                  "read this interface passively with libpcap: verdicts reported, never enforced")
      ->excludes(queueOption);
  run->add_option("--policy", runArgs.policyPath,
                  "JSON signature policy (default: the policy `nips policy default` prints)");
  run->add_flag("--fail-open", runArgs.failOpen,
                "the kernel accepts packets while a queue is full instead of dropping them");
  run->add_option("--control", runArgs.controlPath, "control socket path")->capture_default_str();
  run->add_option("--eve", runArgs.evePath, "append alerts as JSON Lines to this file");
  run->add_option("--log", runArgs.logPath, "append the driver's log, decoded, to this file");
  run->add_option("--log-mask", runArgs.logMask,
                  "driver log categories (decimal or 0x hex); default 120");
  run->add_option("--alerts", runArgs.alertsPath,
                  "append text alerts to this file instead of standard output");

  nipstool::CtlArguments ctlArgs;
  ctlArgs.controlPath = nipstool::kDefaultControlPath;
  CLI::App* ctl = app.add_subcommand("ctl", "Send control requests to a running `nips run`");
  ctl->add_option("--control", ctlArgs.controlPath, "control socket path")->capture_default_str();
  ctl->require_subcommand(1);
  ctl->add_subcommand("handshake", "request 1: print the driver's version");
  ctl->add_subcommand("policy", "requests 1-4: a live policy swap")
      ->add_option("FILE", ctlArgs.argument, "JSON policy file")
      ->required();
  ctl->add_subcommand("log-mask", "request 5: set the log categories")
      ->add_option("MASK", ctlArgs.argument, "decimal or 0x hex")
      ->required();
  ctl->add_subcommand("log", "request 6: print the driver's queued log lines")
      ->add_flag("-f,--follow", ctlArgs.follow, "keep draining until the log is closed");
  ctl->add_subcommand("close-log", "request 7: close the driver's log for good");
  ctl->add_subcommand("evidence", "request 8: print an evidence slot")
      ->add_option("K", ctlArgs.argument, "slot number, 1-128")
      ->required();
  ctl->add_subcommand("stats", "the service's counters as JSON");

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
    fprintf(
        stderr,
        "nips: unknown command '%s' (commands: scan, run, ctl, signatures, policy; see --help)\n",
        argv[1]);
    return kExitUsage;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }

  if (scan->parsed()) return nipstool::RunScan(scanArgs);
  if (run->parsed()) return nipstool::RunService(runArgs);
  if (ctl->parsed()) {
    ctlArgs.command = ctl->get_subcommands().front()->get_name();
    return nipstool::RunCtl(ctlArgs);
  }
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
