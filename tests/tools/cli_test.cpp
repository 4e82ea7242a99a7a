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
#include "tools/capture_gen_benign.h"
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

  // No argument here holds a single quote.
  Result Run(const std::vector<std::string>& args, const std::string& input = "/dev/null") {
    std::string command = NIPS_BINARY_DIR "/tools/nips";
    for (const std::string& arg : args) command += " '" + arg + "'";
    const std::string out = File("stdout"), err = File("stderr");
    command += " >'" + out + "' 2>'" + err + "' <'" + input + "'";
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
                        Attack2231(), wifi, cut});
  EXPECT_EQ(r.exitCode, 1);
  for (const std::string& message : {File("missing.pcap") + ": No such file or directory\n",
                                     File("notes.txt") + ": not a pcap or pcapng capture",
                                     wifi + ": unsupported link type IEEE802_11 (105)",
                                     cut + ": read error after frame 7: truncated dump file"})
    EXPECT_TRUE(Has(r.err, "nips: " + message)) << message << "\n" << r.err;
  const auto records = Lines(r.out);
  ASSERT_EQ(records.size(), 2u) << r.out;
  for (const auto& [record, capture] : {std::pair{records[0], Attack2231()}, {records[1], cut}}) {
    const auto json = nlohmann::json::parse(record);
    EXPECT_EQ(std::tuple(json["capture"], json["pcap_cnt"]), std::tuple(capture, 4));
  }
  EXPECT_TRUE(Has(r.err, "total: 5 captures")) << r.err;
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

// 6042's evidence: on the text line, as alert.evidence in JSON, and in the driver log's trace
// category (not in the default mask).
TEST_F(CliTest, LoopbackAnswerEvidenceInAlertsAndLog) {
  const std::string capture = Example("attack-6042-dns-loopback-answers.pcap");
  const std::string evidence = "IPAddresses 127.1.0.1 127.1.0.2 127.1.0.3 127.0.53.53";
  const Result text = Run({"scan", "-q", capture});
  ASSERT_EQ(text.exitCode, 0) << text.err;
  ASSERT_EQ(Lines(text.out).size(), 1u) << text.out;
  EXPECT_TRUE(Has(text.out, "[6042]") && Has(text.out, "[Evidence: \"" + evidence + "\"]"))
      << text.out;

  const std::string traced = File("traced.log"), quiet = File("quiet.log");
  const Result json = Run({"scan", "-q", "--json", "--log", traced, "--log-mask", "121", capture});
  ASSERT_EQ(json.exitCode, 0) << json.err;
  const auto record = nlohmann::json::parse(Lines(json.out).at(0));
  EXPECT_EQ(
      std::tuple(record["pcap_cnt"], record["alert"]["signature_id"], record["alert"]["evidence"]),
      std::tuple(2, 6042, evidence));
  EXPECT_TRUE(Has(Slurp(traced), "\n[1 unflagged] Buffer content " + evidence + "\n"))
      << Slurp(traced);
  ASSERT_EQ(Run({"scan", "-q", "--log", quiet, capture}).exitCode, 0);
  EXPECT_FALSE(Has(Slurp(quiet), "Buffer content")) << Slurp(quiet);
  EXPECT_TRUE(Has(Run({"signatures"}).out, "127.0.53.48/28"));
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

// A pipe on standard input is scanned as a capture named "-"; directories
// expand to every file below them in sorted order, non-captures named once.
TEST_F(CliTest, StandardInputAndDirectoriesAreCaptures) {
  const std::string scan = Example("attack-3700-tcp-port-scan.pcap");
  const Result piped = Run({"scan", "--json", "-q", "-"}, scan);
  const Result named = Run({"scan", "--json", "-q", scan});
  ASSERT_EQ(std::tuple(piped.exitCode, named.exitCode), std::tuple(0, 0)) << piped.err;
  auto alert = nlohmann::json::parse(piped.out);
  EXPECT_EQ(std::tuple(alert["capture"], alert["pcap_cnt"]), std::tuple("-", 39));
  alert["capture"] = alert["pcap_filename"] = scan;
  EXPECT_EQ(alert, nlohmann::json::parse(named.out));

  const std::filesystem::path tree = File("tree");
  std::filesystem::create_directories(tree / "b" / "deeper");
  std::filesystem::create_directories(tree / "a");
  std::filesystem::copy_file(Attack2231(), tree / "b" / "deeper" / "x.pcap");
  std::filesystem::copy_file(scan, tree / "a" / "z.pcap");
  std::filesystem::copy_file(Attack2231(), tree / "b" / "cut.pcap");
  std::filesystem::resize_file(tree / "b" / "cut.pcap",
                               std::filesystem::file_size(tree / "b" / "cut.pcap") - 30);
  Write("tree/b/notes.txt", "not a capture\n");
  const Result r = Run({"scan", "--json", tree.string()});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  const auto records = Lines(r.out);
  ASSERT_EQ(records.size(), 3u) << r.out;
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(
        nlohmann::json::parse(records[i])["capture"],
        (tree / std::vector<std::string>{"a/z.pcap", "b/cut.pcap", "b/deeper/x.pcap"}[i]).string());
  }
  EXPECT_TRUE(Has(r.err, "nips: " + (tree / "b" / "notes.txt").string() + ": not a pcap"));
  EXPECT_TRUE(Has(r.err, "nips: " + (tree / "b" / "cut.pcap").string())) << r.err;
  EXPECT_TRUE(Has(r.err, "total: 4 captures")) << r.err;
  EXPECT_EQ(Run({"scan", "-", "-"}).exitCode, 2);
}

// Several captures at once give the sequential run's output byte for byte:
// alerts, log and summary, and the stats file adds up.
TEST_F(CliTest, ParallelJobsPrintExactlyWhatOneJobPrints) {
  std::vector<std::string> args = {"scan",          "--json",       "--log",
                                   File("log.txt"), "--stats-json", File("stats.json"),
                                   File("examples")};
  const char* corpus = getenv("NIPS_CORPUS");
  const std::filesystem::path sample =
      corpus != nullptr
          ? std::filesystem::path(corpus) / "zeek"
          : std::filesystem::path(NIPS_SOURCE_DIR) / ".." / "shared" / "corpus" / "eternalblue";
  if (std::filesystem::is_directory(sample)) args.push_back(sample.string());
  const Result one = Run(args);
  const std::string oneLog = Slurp(File("log.txt"));
  const auto stats = nlohmann::json::parse(Slurp(File("stats.json")));
  args.insert(args.begin() + 1, {"-j", "2"});
  const Result two = Run(args);
  EXPECT_EQ(one.exitCode, two.exitCode);
  EXPECT_EQ(one.out, two.out);
  EXPECT_EQ(one.err, two.err);
  EXPECT_EQ(oneLog, Slurp(File("log.txt")));
  EXPECT_GT(Lines(one.out).size(), 10u);

  uint64_t frames = 0, alerts = 0;
  for (const auto& capture : stats["captures"]) {
    frames += capture["frames"].get<uint64_t>();
    alerts += capture["alerts"].get<uint64_t>();
  }
  EXPECT_EQ(stats["total"]["frames"], frames);
  EXPECT_EQ(stats["total"]["alerts"], alerts);
  EXPECT_EQ(alerts, Lines(one.out).size());
  EXPECT_EQ(stats["total"]["captures"], stats["captures"].size());
  // Each directory's files in sorted order (the arguments keep theirs).
  std::vector<std::string> paths;
  for (const auto& capture : stats["captures"]) {
    const std::string path = capture["path"];
    if (path.rfind(File("examples/"), 0) == 0) paths.push_back(path);
  }
  EXPECT_TRUE(std::is_sorted(paths.begin(), paths.end()));
  EXPECT_EQ(paths[0], Example("attack-2231-smb-negotiate-high-pid.pcap"));
  EXPECT_TRUE(Has(one.err, "total: " + stats["total"]["captures"].dump() + " captures"));
}

// The filter keeps port 445; everything else is skipped as "filter". A bad
// expression is a usage error that names it.
TEST_F(CliTest, FilterSkipsWhatItRejectsAndABadOneIsAUsageError) {
  const Result all = Run({"scan", "--stats-json", File("all.json"), Example("benign.pcap")});
  const Result smb = Run({"scan", "--filter", "tcp port 445", "--stats-json", File("smb.json"),
                          Example("benign.pcap"), Attack2231()});
  ASSERT_EQ(std::tuple(all.exitCode, smb.exitCode), std::tuple(0, 0)) << smb.err;
  const auto before = nlohmann::json::parse(Slurp(File("all.json")))["captures"][0];
  const auto after = nlohmann::json::parse(Slurp(File("smb.json")))["captures"];
  EXPECT_EQ(after[0]["frames"], before["frames"]);
  const uint64_t kept = after[0]["inspected"].get<uint64_t>();
  EXPECT_GT(kept, 0u);
  EXPECT_LT(kept, before["inspected"].get<uint64_t>());
  EXPECT_EQ(after[0]["skipped"]["filter"].get<uint64_t>() + kept, before["frames"]);
  EXPECT_EQ(after[1]["alerts_by_signature"]["2231"], 1);
  EXPECT_TRUE(Has(smb.err, "skipped (" + after[0]["skipped"]["filter"].dump() + " filter)"));

  const Result bad = Run({"scan", "--filter", "tcp prot 445", Example("benign.pcap")});
  EXPECT_EQ(bad.exitCode, 2);
  EXPECT_TRUE(Has(bad.err, "nips: --filter 'tcp prot 445': ")) << bad.err;
}

// With --log nothing is lost for want of draining: the per-packet trace of
// a capture many times the queue's size has no overflow marker, and exactly
// as many lines as the same packets give one pass at a time.
TEST_F(CliTest, TheLogKeepsEveryTraceLineOfALongCapture) {
  const capgen::Trace one = capgen::BenignTrace();
  capgen::Trace many;
  constexpr int kPasses = 40;
  for (int pass = 0; pass < kPasses; ++pass) {
    for (const capgen::TimedPacket& packet : one.packets()) many.Add(packet.ip);
  }
  ASSERT_TRUE(capgen::WriteTrace(File("one.pcap"), one));
  ASSERT_TRUE(capgen::WriteTrace(File("many.pcap"), many));
  auto traceLines = [this](const std::string& capture) {
    EXPECT_EQ(
        Run({"scan", "-q", "--log-mask", "0x7F", "--log", File("trace.txt"), capture}).exitCode, 0);
    size_t sig = 0, overflow = 0;
    for (const std::string& line : Lines(Slurp(File("trace.txt")))) {
      sig += Has(line, "] Sig ");
      overflow += Has(line, "overflow");
    }
    EXPECT_EQ(overflow, 0u);
    return sig;
  };
  const size_t perPass = traceLines(File("one.pcap"));
  EXPECT_GT(perPass, 100u);
  EXPECT_EQ(traceLines(File("many.pcap")), kPasses * perPass);
}

}  // namespace
}  // namespace nipstool
