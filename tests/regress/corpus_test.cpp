// Real captures that nobody wrote for this engine, from open projects' test
// suites (../shared/corpus beside the checkout, or $NIPS_CORPUS): every one
// is scanned with the default policy as `nips scan` does. Each must end
// without a broken contract and with nothing left allocated, and the
// manifest's expectations (a signature on a frame, or nowhere) must hold.
// Without the corpus the test is skipped.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "kt_hooks.h"
#include "tools/policy.h"
#include "tools/scanner.h"

namespace nipstool {
namespace {

namespace fs = std::filesystem;

fs::path CorpusDir() {
  if (const char* dir = getenv("NIPS_CORPUS")) return dir;
  return fs::path(NIPS_SOURCE_DIR) / ".." / "shared" / "corpus";
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  std::string part;
  while (std::getline(in, part, separator)) parts.push_back(part);
  return parts;
}

// "SIG@PCAP_CNT" (frame) or "SIG" (anywhere, frame 0); "-" is empty.
std::vector<std::pair<uint32_t, uint64_t>> ParseExpectations(const std::string& column) {
  std::vector<std::pair<uint32_t, uint64_t>> out;
  if (column == "-") return out;
  for (const std::string& item : Split(column, ',')) {
    const size_t at = item.find('@');
    const uint32_t id = static_cast<uint32_t>(std::stoul(item.substr(0, at)));
    out.emplace_back(id, at == std::string::npos ? 0 : std::stoull(item.substr(at + 1)));
  }
  return out;
}

TEST(Corpus, EveryCaptureScansCleanlyAndMeetsTheManifest) {
  const fs::path corpus = CorpusDir();
  std::ifstream manifest(corpus / "MANIFEST.tsv");
  if (!manifest) GTEST_SKIP() << "no corpus at " << corpus;
  std::string line;
  std::getline(manifest, line);
  const std::vector<std::string> header = Split(line, '\t');
  ASSERT_GE(header.size(), 6u);
  ASSERT_EQ(header[0], "file");
  ASSERT_EQ(header[4], "must_alert");
  ASSERT_EQ(header[5], "must_not_alert");

  ScanOptions options;
  options.policy = DefaultPolicy();
  size_t scanned = 0;
  std::map<uint32_t, uint64_t> alertsBySignature;
  while (std::getline(manifest, line)) {
    const std::vector<std::string> row = Split(line, '\t');
    if (row.size() < 6) continue;
    const std::string path = (corpus / row[0]).string();
    std::set<std::pair<uint32_t, uint64_t>> raised;
    const CaptureResult result = ScanCapture(path, options, [&](const Alert& alert) {
      raised.emplace(alert.signatureId, alert.pcapCount);
    });
    ++scanned;
    EXPECT_NE(result.status, ScanStatus::kEngineError) << row[0] << ": " << result.message;
    EXPECT_EQ(result.contractViolations, 0u) << row[0];
    EXPECT_EQ(result.poolOutstandingAfterUnload, 0u) << row[0];
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << row[0];
    for (const auto& [id, frame] : ParseExpectations(row[4])) {
      EXPECT_TRUE(raised.count({id, frame})) << row[0] << ": no " << id << " on frame " << frame;
    }
    for (const auto& [id, frame] : ParseExpectations(row[5])) {
      for (const auto& [raisedId, raisedFrame] : raised) {
        EXPECT_FALSE(raisedId == id && (frame == 0 || raisedFrame == frame))
            << row[0] << ": " << id << " raised on frame " << raisedFrame;
      }
    }
    for (const auto& [id, frame] : raised) ++alertsBySignature[id];
  }
  EXPECT_GT(scanned, 0u);
  std::string tally;
  for (const auto& [id, count] : alertsBySignature) {
    tally += " " + std::to_string(id) + "x" + std::to_string(count);
  }
  printf("corpus: %zu captures; alerts by signature:%s\n", scanned, tally.c_str());
}

}  // namespace
}  // namespace nipstool
