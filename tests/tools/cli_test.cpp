// The `nips` program as users run it: exit codes, messages naming the bad file
// or entry, alerts on stdout, summary on stderr, the log file, the listings.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "nips/engine/signature.h"
#include "tools/capture_gen.h"
#include "tools/policy.h"
#include "tools/signatures.h"

namespace nipstool {
namespace {

struct Result {
  int exitCode;
  std::string out, err;
};

// No argument here holds a single quote.
std::string Quote(const std::string& arg) { return "'" + arg + "'"; }

std::string Slurp(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

bool Has(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/nips-cli-test-XXXXXX";
    dir_ = mkdtemp(pattern);
    std::vector<capgen::GeneratedCapture> written;
    std::string error;
    ASSERT_TRUE(capgen::WriteExamples(dir_ + "/examples", &written, &error)) << error;
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

  static std::string File(const std::string& name) { return dir_ + "/" + name; }
  static std::string Example(const std::string& name) { return File("examples/" + name); }
  static std::string Attack2231() { return Example("attack-2231-smb-negotiate-high-pid.pcap"); }
  static std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(File(name)) << text;
    return File(name);
  }

  Result Run(const std::vector<std::string>& args) {
    std::string command = Quote(NIPS_BINARY_DIR "/tools/nips");
    for (const std::string& arg : args) command += " " + Quote(arg);
    const std::string out = File("stdout"), err = File("stderr");
    command += " >" + Quote(out) + " 2>" + Quote(err) + " </dev/null";
    const int status = system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), Slurp(out),
            Slurp(err)};
  }

  static inline std::string dir_;
};

TEST_F(CliTest, HelpExitsWithZeroAndUsageErrorsWithTwo) {
  const std::string benign = Example("benign.pcap"), noDir = File("no/such/dir/log.txt");
  const std::string dup =
      Write("dup.json", R"({"signatures": [{"id": 2231}, {"id": 3700}, {"id": 2231}]})");
  const struct {
    std::vector<std::string> args;
    int exitCode;
    std::string part;  // of stdout for help, of stderr for errors
  } cases[] = {
      {{"--help"}, 0, "Usage"},
      {{"scan", "--help"}, 0, "--log-mask"},
      {{}, 2, "A subcommand is required"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"scan"}, 2, "CAPTURE is required"},
      {{"scan", "--bogus", benign}, 2, "--bogus"},
      {{"scan", "--log-mask", "lots", benign}, 2, "nips: --log-mask lots: expected a number"},
      {{"scan", "--log-mask", "0x100000000", benign}, 2, "--log-mask 0x100000000"},
      {{"scan", "--log", noDir, benign}, 2, noDir},
      {{"scan", "--policy", dup, benign},
       2,
       "nips: " + dup + ": signatures[2] (id 2231): duplicate of the entry signatures[0]\n"},
      {{"scan", "--policy", File("none.json"), benign}, 2, File("none.json") + ": No such file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Result r = Run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_TRUE(Has(c.exitCode == 0 ? r.out : r.err, c.part)) << r.out << r.err;
    EXPECT_TRUE(c.exitCode == 0 || r.out.empty()) << r.out;
  }
}

// Each bad capture is named with its reason, the others are still scanned,
// and a truncated one still prints the alerts before the cut.
TEST_F(CliTest, BadCapturesNameTheFileAndTheOthersAreStillScanned) {
  const std::string wifi = File("wifi.pcap"), cut = File("cut.pcap");
  capgen::Trace one;
  one.Add(capgen::UdpPacket("10.0.0.1", 5000, "10.0.0.2", 53, {1}));
  ASSERT_TRUE(capgen::WriteTrace(wifi, one, hostsim::CaptureWriter::Format::kPcap,
                                 hostsim::kLinktypeIeee80211));
  std::filesystem::copy_file(Attack2231(), cut, std::filesystem::copy_options::overwrite_existing);
  std::filesystem::resize_file(cut, std::filesystem::file_size(cut) - 30);
  const Result r = Run({"scan", "--json", File("missing.pcap"), Write("notes.txt", "hello\n"),
                        Attack2231(), File("examples"), wifi, cut});
  EXPECT_EQ(r.exitCode, 1);
  for (const std::string& message :
       {File("missing.pcap") + ": No such file or directory\n",
        File("notes.txt") + ": not a pcap or pcapng capture", File("examples") + ": is a directory",
        wifi + ": unsupported link type IEEE802_11 (105)",
        cut + ": read error after frame 7: truncated dump file"}) {
    EXPECT_TRUE(Has(r.err, "nips: " + message)) << message << "\n" << r.err;
  }
  const auto records = Lines(r.out);
  ASSERT_EQ(records.size(), 2u) << r.out;
  for (const auto& [record, capture] : {std::pair{records[0], Attack2231()}, {records[1], cut}}) {
    EXPECT_EQ(nlohmann::json::parse(record)["capture"], capture);
    EXPECT_EQ(nlohmann::json::parse(record)["pcap_cnt"], 4);
  }
  EXPECT_TRUE(Has(r.err, "total: 6 captures")) << r.err;
}

TEST_F(CliTest, AlertsGoToStdoutAsTextOrJsonLinesWithThePolicysVerdicts) {
  std::vector<std::string> args = {"scan", Example("attack-3700-tcp-port-scan.pcap"),
                                   Example("benign.pcap"), Attack2231()};
  const Result text = Run(args);
  EXPECT_EQ(text.exitCode, 0) << text.err;
  const auto lines = Lines(text.out);
  ASSERT_EQ(lines.size(), 2u) << text.out;
  EXPECT_TRUE(Has(lines[0], "[Block Packet] [3700]")) << lines[0];
  EXPECT_TRUE(Has(lines[1], "[2231]")) << lines[1];
  EXPECT_TRUE(Has(text.err, "alerts: 2 (2231 x1, 3700 x1)")) << text.err;

  const std::string policy = Write("host.json", R"({"block_host": true,
      "signatures": [{"id": 2231, "level": 4}, {"id": 3700}]})");
  args.insert(args.begin() + 1, {"--json", "-q", "--policy", policy});
  const Result json = Run(args);
  EXPECT_EQ(json.exitCode, 0) << json.err;
  EXPECT_TRUE(json.err.empty()) << json.err;
  const auto records = Lines(json.out);
  ASSERT_EQ(records.size(), 2u);
  const nlohmann::json first = nlohmann::json::parse(records[0]);
  EXPECT_EQ(first["pcap_cnt"], 39);
  EXPECT_EQ(first["alert"]["signature_id"], 3700);
  const nlohmann::json second = nlohmann::json::parse(records[1]);
  EXPECT_EQ(second["alert"]["signature_id"], 2231);
  EXPECT_EQ(second["alert"]["verdict"], "Block Host");
  EXPECT_EQ(second["alert"]["severity"], 4);
}

TEST_F(CliTest, LogFileHoldsTheDecodedDriverLog) {
  const std::string log = File("driver.log");
  const Result r = Run({"scan", "-q", "--log", log, "--log-mask", "0x16", Example("benign.pcap")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(Slurp(log));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "# driver log while scanning " + Example("benign.pcap"));
  EXPECT_NE(std::find(lines.begin(), lines.end(), "[2 flagged] Enforced new configuration."),
            lines.end())
      << Slurp(log);
}

TEST_F(CliTest, ListingsOfSignaturesAndTheDefaultPolicy) {
  const Result printed = Run({"policy", "default"});
  ASSERT_EQ(printed.exitCode, 0);
  Policy policy;
  std::string error;
  ASSERT_TRUE(ParsePolicy(printed.out, &policy, &error)) << error;
  EXPECT_EQ(PolicyRecordBytes(policy), PolicyRecordBytes(DefaultPolicy()));
  const Result r = Run({"signatures"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Lines(r.out).size(), 1 + kSignatureRows);  // a header and 48 rows
  EXPECT_TRUE(Has(r.out, "3700  TCP")) << r.out;
  for (const SignatureEntry& row : g_signatureTable.rows) {
    EXPECT_TRUE(Has(r.out, " " + std::to_string(row.signatureId) + "  ")) << row.signatureId;
    EXPECT_STRNE(SignatureSummary(row.signatureId), "") << row.signatureId;
  }
}

}  // namespace
}  // namespace nipstool
