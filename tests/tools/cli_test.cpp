// The `nips` program as users run it: help, exit codes, messages that name
// the bad file or entry, alert output on stdout, summary on stderr, the log
// file.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tools/capture_gen.h"
#include "tools/policy.h"
#include "tools/signatures.h"

namespace nipstool {
namespace {

struct Result {
  int exitCode;
  std::string out;
  std::string err;
};

std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  return lines;
}

class CliTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/nips-cli-test-XXXXXX";
    dir_ = new std::string(mkdtemp(pattern));
    std::vector<capgen::GeneratedCapture> written;
    std::string error;
    ASSERT_TRUE(capgen::WriteExamples(*dir_ + "/examples", &written, &error)) << error;
  }
  static void TearDownTestSuite() {
    std::filesystem::remove_all(*dir_);
    delete dir_;
  }

  static std::string File(const std::string& name) { return *dir_ + "/" + name; }
  static std::string Example(const std::string& name) { return File("examples/" + name); }

  void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(File(name)) << text;
  }

  Result Run(const std::vector<std::string>& args) {
    std::string command = Quote(NIPS_BINARY_DIR "/tools/nips");
    for (const std::string& arg : args) command += " " + Quote(arg);
    const std::string out = File("stdout"), err = File("stderr");
    command += " >" + Quote(out) + " 2>" + Quote(err) + " </dev/null";
    const int status = system(command.c_str());
    Result result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = Slurp(out);
    result.err = Slurp(err);
    return result;
  }

  static std::string* dir_;
};

std::string* CliTest::dir_ = nullptr;

TEST_F(CliTest, EveryCommandHasHelp) {
  const std::vector<std::vector<std::string>> commands = {{"--help"},
                                                          {"scan", "--help"},
                                                          {"signatures", "--help"},
                                                          {"policy", "--help"},
                                                          {"policy", "default", "--help"}};
  for (const auto& args : commands) {
    const Result r = Run(args);
    EXPECT_EQ(r.exitCode, 0) << args[0];
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << args[0] << r.out;
  }
  const Result scanHelp = Run({"scan", "--help"});
  for (const char* option : {"--policy", "--json", "--log", "--log-mask", "-q", "CAPTURE"}) {
    EXPECT_NE(scanHelp.out.find(option), std::string::npos) << option;
  }
}

TEST_F(CliTest, UsageErrorsExitWithTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"frobnicate"},
      {"scan"},
      {"scan", "--bogus", Example("benign.pcap")},
      {"policy"},
      {"scan", "--log-mask", "lots", Example("benign.pcap")},
      {"scan", "--log-mask", "0x100000000", Example("benign.pcap")},
      {"scan", "--log", File("no/such/dir/log.txt"), Example("benign.pcap")}};
  for (const auto& args : bad) {
    const Result r = Run(args);
    EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "(none)" : args.back()) << r.err;
    EXPECT_FALSE(r.err.empty());
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_NE(Run({"scan", "--log", File("no/such/dir/log.txt"), Example("benign.pcap")})
                .err.find(File("no/such/dir/log.txt")),
            std::string::npos);
}

TEST_F(CliTest, BadPolicyFilesNameTheFileAndTheEntry) {
  WriteFile("dup.json", R"({"signatures": [{"id": 2231}, {"id": 3700}, {"id": 2231}]})");
  WriteFile("broken.json", "{\"block_host\": tru}");
  const Result dup = Run({"scan", "--policy", File("dup.json"), Example("benign.pcap")});
  EXPECT_EQ(dup.exitCode, 2);
  EXPECT_EQ(dup.err, "nips: " + File("dup.json") +
                         ": signatures[2] (id 2231): duplicate of the entry signatures[0]\n");
  const Result broken = Run({"scan", "--policy", File("broken.json"), Example("benign.pcap")});
  EXPECT_EQ(broken.exitCode, 2);
  EXPECT_NE(broken.err.find(File("broken.json") + ": not valid JSON"), std::string::npos)
      << broken.err;
  const Result missing = Run({"scan", "--policy", File("none.json"), Example("benign.pcap")});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find(File("none.json") + ": No such file"), std::string::npos);
}

TEST_F(CliTest, BadCapturesNameTheFileAndTheOthersAreStillScanned) {
  if (!SignatureImplemented(2231)) GTEST_SKIP() << "no detector for 2231 yet";
  WriteFile("notes.txt", "hello\n");
  const Result r = Run({"scan", File("missing.pcap"), File("notes.txt"),
                        Example("attack-2231-smb-negotiate-high-pid.pcap"), File("examples")});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("nips: " + File("missing.pcap") + ": No such file or directory\n"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("nips: " + File("notes.txt") + ": not a pcap or pcapng capture"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("nips: " + File("examples") + ": is a directory"), std::string::npos);
  ASSERT_EQ(Lines(r.out).size(), 1u) << r.out;
  EXPECT_NE(r.out.find("[2231]"), std::string::npos);
  EXPECT_NE(r.err.find("total: 4 captures"), std::string::npos) << r.err;
}

TEST_F(CliTest, TruncatedCapturePrintsTheAlertsBeforeTheCut) {
  if (!SignatureImplemented(2231)) GTEST_SKIP() << "no detector for 2231 yet";
  const std::string path = File("cut.pcap");
  std::filesystem::copy_file(Example("attack-2231-smb-negotiate-high-pid.pcap"), path,
                             std::filesystem::copy_options::overwrite_existing);
  std::filesystem::resize_file(path, std::filesystem::file_size(path) - 30);
  const Result r = Run({"scan", "--json", path});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("nips: " + path + ": read error after frame 7: truncated dump file"),
            std::string::npos)
      << r.err;
  ASSERT_EQ(Lines(r.out).size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(r.out)["pcap_cnt"], 4);
}

TEST_F(CliTest, AlertsGoToStdoutAsTextOrJsonLines) {
  if (!SignatureImplemented(3700) || !SignatureImplemented(2231)) GTEST_SKIP();
  const std::vector<std::string> captures = {Example("attack-3700-tcp-port-scan.pcap"),
                                             Example("benign.pcap"),
                                             Example("attack-2231-smb-negotiate-high-pid.pcap")};
  std::vector<std::string> args = {"scan"};
  args.insert(args.end(), captures.begin(), captures.end());
  const Result text = Run(args);
  EXPECT_EQ(text.exitCode, 0) << text.err;
  const auto lines = Lines(text.out);
  ASSERT_EQ(lines.size(), 2u) << text.out;
  EXPECT_NE(lines[0].find("[Block Packet] [3700]"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("[2231]"), std::string::npos) << lines[1];
  EXPECT_NE(text.err.find("alerts: 2 (2231 x1, 3700 x1)"), std::string::npos) << text.err;

  args.insert(args.begin() + 1, {"--json", "-q"});
  const Result json = Run(args);
  EXPECT_EQ(json.exitCode, 0);
  EXPECT_TRUE(json.err.empty()) << json.err;
  const auto records = Lines(json.out);
  ASSERT_EQ(records.size(), 2u);
  const nlohmann::json first = nlohmann::json::parse(records[0]);
  EXPECT_EQ(first["capture"], captures[0]);
  EXPECT_EQ(first["pcap_cnt"], 39);
  EXPECT_EQ(first["alert"]["signature_id"], 3700);
  EXPECT_EQ(first["alert"]["verdict"], "Block Packet");
  EXPECT_EQ(nlohmann::json::parse(records[1])["alert"]["signature_id"], 2231);
}

TEST_F(CliTest, PolicyFilesChangeTheVerdicts) {
  if (!SignatureImplemented(2231)) GTEST_SKIP();
  const Result printed = Run({"policy", "default"});
  ASSERT_EQ(printed.exitCode, 0);
  Policy policy;
  std::string error;
  ASSERT_TRUE(ParsePolicy(printed.out, &policy, &error)) << error;
  EXPECT_EQ(PolicyRecordBytes(policy), PolicyRecordBytes(DefaultPolicy()));

  WriteFile("host.json", R"({"block_host": true, "signatures": [{"id": 2231, "level": 4}]})");
  const Result host = Run({"scan", "--json", "--policy", File("host.json"),
                           Example("attack-2231-smb-negotiate-high-pid.pcap")});
  ASSERT_EQ(host.exitCode, 0) << host.err;
  const nlohmann::json record = nlohmann::json::parse(host.out);
  EXPECT_EQ(record["alert"]["verdict"], "Block Host");
  EXPECT_EQ(record["alert"]["severity"], 4);

  WriteFile("off.json", R"({"signatures": [{"id": 2231, "level": 0}]})");
  const Result off = Run(
      {"scan", "--policy", File("off.json"), Example("attack-2231-smb-negotiate-high-pid.pcap")});
  EXPECT_EQ(off.exitCode, 0);
  EXPECT_TRUE(off.out.empty()) << off.out;
}

TEST_F(CliTest, LogFileHoldsTheDecodedDriverLog) {
  const std::string log = File("driver.log");
  const Result r = Run({"scan", "-q", "--log", log, "--log-mask", "0x16", Example("benign.pcap")});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(Slurp(log));
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0], "# driver log while scanning " + Example("benign.pcap"));
  bool enforced = false;
  for (const std::string& line : lines)
    enforced |= line == "[2 flagged] Enforced new configuration.";
  EXPECT_TRUE(enforced) << Slurp(log);
}

TEST_F(CliTest, SignaturesListsTheTable) {
  const Result r = Run({"signatures"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(Lines(r.out).size(), 49u);
  EXPECT_NE(r.out.find("3700  TCP"), std::string::npos) << r.out;
}

}  // namespace
}  // namespace nipstool
