// Real captures from other projects' test suites (kept outside the
// repository, next to it): every capture listed in the corpus manifest is
// scanned with the default policy in this one process. Each must end without
// an engine error and with nothing allocated; a readable capture must yield
// exactly the frames tcpdump read; a link type the scanner does not decode
// must be reported, not scanned; and for every signature whose detector
// exists, the manifest's must-alert and must-not-alert expectations hold.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "hostsim/capture.h"
#include "kt_hooks.h"
#include "tools/scanner.h"
#include "tools/signatures.h"

namespace nipstool {
namespace {

// NIPS_CORPUS overrides; otherwise the folder beside the checkout, then the
// workplace's shared folder (a CI clone may live anywhere).
std::string CorpusDir() {
  if (const char* configured = std::getenv("NIPS_CORPUS")) return configured;
  for (const char* candidate : {NIPS_SOURCE_DIR "/../shared/corpus", "/work/shared/corpus"}) {
    if (std::filesystem::exists(std::string(candidate) + "/MANIFEST.tsv")) return candidate;
  }
  return NIPS_SOURCE_DIR "/../shared/corpus";
}

const std::string kCorpus = CorpusDir();

struct ManifestRow {
  std::string file;
  std::string linkType;
  uint64_t frames = 0;
  std::string mustAlert;
  std::string mustNotAlert;
};

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::stringstream stream(text);
  std::string part;
  while (std::getline(stream, part, separator)) parts.push_back(part);
  return parts;
}

std::vector<ManifestRow> ReadManifest(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::vector<ManifestRow> rows;
  std::getline(in, line);  // header
  EXPECT_EQ(Split(line, '\t').size(), 7u) << line;
  while (std::getline(in, line)) {
    const std::vector<std::string> fields = Split(line, '\t');
    if (fields.size() < 6) {
      ADD_FAILURE() << "manifest row with " << fields.size() << " fields: " << line;
      continue;
    }
    ManifestRow row;
    row.file = fields[0];
    row.linkType = fields[2];
    row.frames = std::stoull(fields[3]);
    row.mustAlert = fields[4];
    row.mustNotAlert = fields[5];
    rows.push_back(row);
  }
  return rows;
}

// "SIG@CNT" or a bare "SIG" (cnt 0: anywhere).
struct Expectation {
  uint32_t signatureId;
  uint64_t pcapCount;
};

std::vector<Expectation> ParseExpectations(const std::string& column) {
  std::vector<Expectation> expectations;
  if (column == "-") return expectations;
  for (const std::string& item : Split(column, ',')) {
    const size_t at = item.find('@');
    Expectation e;
    e.signatureId = static_cast<uint32_t>(std::stoul(item.substr(0, at)));
    e.pcapCount = at == std::string::npos ? 0 : std::stoull(item.substr(at + 1));
    expectations.push_back(e);
  }
  return expectations;
}

// Frames libpcap delivers before the end or the first error, counted by a
// plain read loop.
uint64_t CountFrames(const std::string& path) {
  hostsim::CaptureReader reader;
  std::string error;
  if (!reader.Open(path, &error)) return 0;
  hostsim::CaptureFrame frame;
  uint64_t frames = 0;
  while (reader.Next(&frame, &error) == hostsim::CaptureReader::ReadStatus::kFrame) ++frames;
  return frames;
}

bool Decoded(const std::string& linkType) {
  static const std::set<std::string> kDecoded = {"EN10MB", "NULL", "LOOP",      "RAW",
                                                 "IPV4",   "IPV6", "LINUX_SLL", "LINUX_SLL2"};
  return kDecoded.count(linkType) != 0;
}

TEST(CorpusTest, EveryManifestCaptureScansCleanlyAndMeetsItsExpectations) {
  const std::string manifest = kCorpus + "/MANIFEST.tsv";
  if (!std::filesystem::exists(manifest)) GTEST_SKIP() << "no corpus at " << kCorpus;
  const std::vector<ManifestRow> rows = ReadManifest(manifest);
  ASSERT_FALSE(rows.empty());

  ScanOptions options;
  options.policy = DefaultPolicy();
  size_t scanned = 0, refused = 0, checkedExpectations = 0;
  uint64_t frames = 0, alerts = 0;
  for (const ManifestRow& row : rows) {
    SCOPED_TRACE(row.file);
    std::vector<Alert> found;
    const CaptureResult result =
        ScanCapture(kCorpus + "/" + row.file, options,
                    [&found](const Alert& alert) { found.push_back(alert); });
    ASSERT_NE(result.status, ScanStatus::kEngineError) << result.message;
    EXPECT_EQ(result.poolOutstandingAfterUnload, 0u);
    EXPECT_EQ(result.contractViolations, 0u);
    frames += result.frames;
    alerts += found.size();

    if (row.linkType == "unreadable") {
      EXPECT_EQ(result.status, ScanStatus::kInputError);
      ++refused;
      continue;
    }
    EXPECT_EQ(result.linkType, row.linkType);
    if (!Decoded(row.linkType)) {
      EXPECT_EQ(result.status, ScanStatus::kInputError);
      EXPECT_NE(result.message.find("unsupported link type " + row.linkType), std::string::npos)
          << result.message;
      ++refused;
      continue;
    }
    ++scanned;
    // Every frame up to the end or the first cut one is scanned. The
    // manifest's column counts the lines tcpdump prints, at least one per
    // frame (more for frames it shows in hex).
    EXPECT_EQ(result.frames, CountFrames(kCorpus + "/" + row.file));
    EXPECT_LE(result.frames, row.frames);
    EXPECT_EQ(result.inspected + result.notInspected + result.failed + result.skipped(),
              result.frames);

    for (const Expectation& e : ParseExpectations(row.mustAlert)) {
      if (!SignatureImplemented(e.signatureId)) continue;
      ++checkedExpectations;
      bool seen = false;
      for (const Alert& alert : found) {
        seen |= alert.signatureId == e.signatureId && alert.pcapCount == e.pcapCount;
      }
      EXPECT_TRUE(seen) << "missing alert " << e.signatureId << "@" << e.pcapCount;
    }
    for (const Expectation& e : ParseExpectations(row.mustNotAlert)) {
      if (!SignatureImplemented(e.signatureId)) continue;
      ++checkedExpectations;
      for (const Alert& alert : found) {
        EXPECT_FALSE(alert.signatureId == e.signatureId &&
                     (e.pcapCount == 0 || alert.pcapCount == e.pcapCount))
            << "unexpected alert " << alert.signatureId << "@" << alert.pcapCount;
      }
    }
  }
  EXPECT_EQ(kt::PoolOutstanding(), 0u);
  printf(
      "[ corpus   ] %zu captures scanned, %zu refused, %llu frames, %llu alerts, %zu "
      "expectations of implemented signatures checked\n",
      scanned, refused, static_cast<unsigned long long>(frames),
      static_cast<unsigned long long>(alerts), checkedExpectations);
}

}  // namespace
}  // namespace nipstool
