// The `nips` program as users run it: exit codes, messages, alerts, the log file, the listings.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "nips/engine/signature.h"
#include "tools/capture_gen.h"
#include "tools/policy.h"

namespace nipstool {
namespace {

struct Result {
  int exitCode;
  std::string out, err;
};

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != text.npos; }

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

  Result Run(const std::vector<std::string>& args) {  // no argument here holds a single quote
    std::string command = NIPS_BINARY_DIR "/tools/nips";
    for (const std::string& arg : args) command += " '" + arg + "'";
    const std::string out = File("stdout"), err = File("stderr");
    command += " >'" + out + "' 2>'" + err + "' </dev/null";
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
  // clang-format off
  const struct { std::vector<std::string> args; int exitCode; std::string part; } cases[] = {
      {{"--help"}, 0, "Usage"},
      {{}, 2, "A subcommand is required"},
      {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
      {{"scan", "--log-mask", "0x100000000", benign}, 2, "nips: --log-mask 0x100000000"},
      {{"scan", "--log", noDir, benign}, 2, noDir},
      {{"scan", "--policy", dup, benign}, 2,
       "nips: " + dup + ": signatures[2] (id 2231): duplicate of the entry signatures[0]\n"},
      {{"scan", "--policy", File("none.json"), benign}, 2, File("none.json") + ": No such file"}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Result r = Run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_TRUE(Has(c.exitCode == 0 ? r.out : r.err, c.part)) << r.out << r.err;
    EXPECT_TRUE(c.exitCode == 0 || r.out.empty()) << r.out;
  }
}

// Each bad capture is named with its reason; a truncated one still prints the alerts before the
// cut.
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
        cut + ": read error after frame 7: truncated dump file"})
    EXPECT_TRUE(Has(r.err, "nips: " + message)) << message << "\n" << r.err;
  const auto records = Lines(r.out);
  ASSERT_EQ(records.size(), 2u) << r.out;
  for (const auto& [record, capture] : {std::pair{records[0], Attack2231()}, {records[1], cut}}) {
    const auto json = nlohmann::json::parse(record);
    EXPECT_EQ(std::tuple(json["capture"], json["pcap_cnt"]), std::tuple(capture, 4));
  }
  EXPECT_TRUE(Has(r.err, "total: 6 captures")) << r.err;
}

TEST_F(CliTest, AlertsGoToStdoutAsTextOrJsonLinesWithThePolicysVerdictsAndTheLogToItsFile) {
  std::vector<std::string> args = {"scan", Example("attack-3700-tcp-port-scan.pcap"),
                                   Example("benign.pcap"), Attack2231()};
  const Result text = Run(args);
  EXPECT_EQ(text.exitCode, 0) << text.err;
  const auto lines = Lines(text.out);
  ASSERT_EQ(lines.size(), 2u) << text.out;
  EXPECT_TRUE(Has(lines[0], "[Block Packet] [3700]") && Has(lines[1], "[2231]")) << text.out;
  EXPECT_TRUE(Has(text.err, "alerts: 2 (2231 x1, 3700 x1)")) << text.err;

  const std::string policy = Write("host.json", R"({"block_host": true,
      "signatures": [{"id": 2231, "level": 4}, {"id": 3700}]})");
  const std::string log = File("driver.log");
  args.insert(args.begin() + 1,
              {"--json", "-q", "--policy", policy, "--log", log, "--log-mask", "0x16"});
  const Result json = Run(args);
  EXPECT_EQ(std::tuple(json.exitCode, json.err), std::tuple(0, "")) << json.err;
  const auto records = Lines(json.out);
  ASSERT_EQ(records.size(), 2u);
  const auto first = nlohmann::json::parse(records[0]), second = nlohmann::json::parse(records[1]);
  EXPECT_EQ(std::tuple(first["pcap_cnt"], first["alert"]["signature_id"]), std::tuple(39, 3700));
  EXPECT_EQ(std::tuple(second["alert"]["signature_id"], second["alert"]["verdict"],
                       second["alert"]["severity"]),
            std::tuple(2231, "Block Host", 4));
  const std::string decoded = Slurp(log);
  EXPECT_TRUE(Has(decoded, "# driver log while scanning " + Attack2231() + "\n")) << decoded;
  EXPECT_TRUE(Has(decoded, "\n[2 flagged] Enforced new configuration.\n")) << decoded;
}

TEST_F(CliTest, ListingsOfSignaturesAndTheDefaultPolicy) {
  const Result printed = Run({"policy", "default"});
  ASSERT_EQ(printed.exitCode, 0);
  Policy policy;
  std::string error;
  ASSERT_TRUE(ParsePolicy(printed.out, &policy, &error)) << error;
  EXPECT_EQ(PolicyRecordBytes(policy), PolicyRecordBytes(DefaultPolicy()));
  const Result r = Run({"signatures"});
  EXPECT_EQ(std::tuple(r.exitCode, Lines(r.out).size()), std::tuple(0, 1 + kSignatureRows));
  EXPECT_TRUE(Has(r.out, "3700  TCP")) << r.out;
  for (const SignatureEntry& row : g_signatureTable.rows)
    EXPECT_TRUE(Has(r.out, " " + std::to_string(row.signatureId) + "  ")) << row.signatureId;
}

}  // namespace
}  // namespace nipstool
