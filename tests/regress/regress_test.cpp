// Capture-driven regression cases: every folder under tests/regress/cases
// holds a capture, its expectations (expect.json), a policy when the case
// needs one (policy.json) and a README. The capture is scanned as `nips scan`
// does and the alerts are checked as the user sees them (the JSON line of
// each alert). A second test proves that the committed captures, and the
// example captures, are exactly what the generator writes today.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "hostsim/decode.h"
#include "kt_hooks.h"
#include "tools/capture_gen.h"
#include "tools/policy.h"
#include "tools/scanner.h"
#include "tools/signatures.h"

namespace nipstool {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const fs::path kCases = fs::path(NIPS_SOURCE_DIR) / "tests" / "regress" / "cases";
const fs::path kExamples = fs::path(NIPS_SOURCE_DIR) / "examples";

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> CaseNames() {
  std::vector<std::string> names;
  if (!fs::exists(kCases)) return names;
  for (const fs::directory_entry& entry : fs::directory_iterator(kCases)) {
    if (entry.is_directory()) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

fs::path CaptureOf(const fs::path& folder) {
  for (const char* name : {"capture.pcap", "capture.pcapng"}) {
    if (fs::exists(folder / name)) return folder / name;
  }
  return {};
}

class RegressionCase : public ::testing::TestWithParam<std::string> {};

TEST_P(RegressionCase, MeetsItsExpectations) {
  const fs::path folder = kCases / GetParam();
  ASSERT_TRUE(fs::exists(folder / "README.md")) << "every case explains itself";
  const fs::path capture = CaptureOf(folder);
  ASSERT_FALSE(capture.empty()) << "no capture.pcap or capture.pcapng";
  const json expect = json::parse(Slurp(folder / "expect.json"));

  ScanOptions options;
  options.policy = DefaultPolicy();
  if (fs::exists(folder / "policy.json")) {
    std::string error;
    ASSERT_TRUE(ParsePolicy(Slurp(folder / "policy.json"), &options.policy, &error)) << error;
  }
  std::vector<json> alerts;
  const CaptureResult result = ScanCapture(
      capture.string(), options,
      [&alerts](const Alert& alert) { alerts.push_back(json::parse(FormatAlertJson(alert))); });
  EXPECT_EQ(result.poolOutstandingAfterUnload, 0u);
  EXPECT_EQ(result.contractViolations, 0u);
  EXPECT_EQ(kt::PoolOutstanding(), 0u);

  const std::string status = expect.value("status", "ok");
  EXPECT_EQ(result.status, status == "input_error" ? ScanStatus::kInputError : ScanStatus::kOk)
      << result.message;
  if (expect.contains("error_contains")) {
    EXPECT_NE(result.message.find(expect["error_contains"].get<std::string>()), std::string::npos)
        << result.message;
  }
  const std::pair<const char*, uint64_t> counts[] = {{"frames", result.frames},
                                                     {"inspected", result.inspected},
                                                     {"not_inspected", result.notInspected},
                                                     {"failed", result.failed}};
  for (const auto& [name, value] : counts) {
    if (expect.contains(name)) {
      EXPECT_EQ(value, expect[name].get<uint64_t>()) << name;
    }
  }
  if (expect.contains("skipped")) {
    for (int i = 0; i < hostsim::kDecodeResultCount; ++i) {
      const auto reason = static_cast<hostsim::DecodeResult>(i);
      if (reason == hostsim::DecodeResult::kOk) continue;
      const std::string name = hostsim::DecodeResultName(reason);
      EXPECT_EQ(result.decodeResults[i], expect["skipped"].value(name, uint64_t{0})) << name;
    }
  }

  // Expected alerts, as targeted checks of the fields each one names; only
  // signatures whose detectors exist can be expected to fire.
  std::vector<bool> matched(alerts.size(), false);
  for (const json& wanted : expect.value("alerts", json::array())) {
    const uint32_t id = wanted["signature_id"].get<uint32_t>();
    if (!SignatureImplemented(id)) continue;
    bool found = false;
    for (size_t i = 0; i < alerts.size() && !found; ++i) {
      const json& alert = alerts[i];
      if (matched[i] || alert["alert"]["signature_id"] != id ||
          alert["pcap_cnt"] != wanted["pcap_cnt"]) {
        continue;
      }
      found = matched[i] = true;
      for (const char* field : {"verdict", "action", "severity", "reaction", "evidence"}) {
        if (wanted.contains(field)) {
          EXPECT_EQ(alert["alert"].value(field, json()), wanted[field]) << id << " " << field;
        }
      }
      for (const char* field : {"proto", "src_ip", "src_port", "dest_ip", "dest_port"}) {
        if (wanted.contains(field)) {
          EXPECT_EQ(alert.value(field, json()), wanted[field]) << id << " " << field;
        }
      }
    }
    EXPECT_TRUE(found) << "no alert " << id << " at pcap_cnt " << wanted["pcap_cnt"];
  }
  if (expect.value("no_other_alerts", false)) {
    for (size_t i = 0; i < alerts.size(); ++i) {
      EXPECT_TRUE(matched[i]) << "unexpected alert " << alerts[i].dump();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, RegressionCase, ::testing::ValuesIn(CaseNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param;
                           for (char& c : name) {
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/nips-regress-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~TempDir() { fs::remove_all(path_); }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

TEST(GeneratedCaptures, CommittedCapturesAreWhatTheGeneratorWrites) {
  TempDir dir;
  std::vector<capgen::GeneratedCapture> written;
  std::string error;
  ASSERT_TRUE(capgen::WriteRegressionCaptures((dir.path() / "cases").string(), &written, &error))
      << error;
  ASSERT_TRUE(capgen::WriteExamples((dir.path() / "examples").string(), &written, &error)) << error;
  size_t compared = 0;
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(dir.path())) {
    if (!entry.is_regular_file()) continue;
    const fs::path relative = fs::relative(entry.path(), dir.path());
    const fs::path committed = (*relative.begin() == "cases" ? kCases : kExamples) /
                               fs::relative(relative, *relative.begin());
    ASSERT_TRUE(fs::exists(committed)) << committed << " is not committed (run nips_gen_captures)";
    EXPECT_TRUE(Slurp(committed) == Slurp(entry.path()))
        << committed << " differs from the generator's output (run nips_gen_captures)";
    ++compared;
  }
  EXPECT_GT(compared, 0u);
}

}  // namespace
}  // namespace nipstool
