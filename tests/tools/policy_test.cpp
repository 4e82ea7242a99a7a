// Policy files: the default policy, defaults, messages naming the entry, the bytes of requests
// 2, 3.
#include <gtest/gtest.h>

#include <algorithm>

#include "nips/engine/signature.h"
#include "tools/policy.h"

namespace nipstool {
namespace {

// The little-endian 32-bit words of requests 2 (header) and 3 (records).
std::vector<uint32_t> Words(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> words(bytes.size() / 4);
  for (size_t i = 0; i < bytes.size(); ++i) words[i / 4] |= uint32_t{bytes[i]} << (8 * (i % 4));
  return words;
}

TEST(PolicyTest, DefaultPolicyEnablesEveryTableIdAtLevelThreeSortedById) {
  const Policy policy = DefaultPolicy();
  EXPECT_EQ(Words(BankHeaderBytes(policy)),
            (std::vector<uint32_t>{0, 0, 0xFFFFFFFF, 0, 2, 2, 3, 3}));
  std::vector<uint32_t> tableIds;
  for (const SignatureEntry& row : g_signatureTable.rows) tableIds.push_back(row.signatureId);
  std::sort(tableIds.begin(), tableIds.end());
  ASSERT_EQ(policy.signatures.size(), kSignatureRows);
  for (size_t i = 0; i < policy.signatures.size(); ++i) {
    const auto& entry = policy.signatures[i];
    EXPECT_EQ(std::tuple(entry.id, entry.level, entry.flag), std::tuple(tableIds[i], 3u, 1u));
  }
}

TEST(PolicyTest, OmittedFieldsTakeDefaultsAndRecordsAreSorted) {
  Policy policy;
  std::string error;
  ASSERT_TRUE(ParsePolicy(R"({"block_host": true, "action_param": 1234605616436508552,
      "signatures": [{"id": 6058, "level": 1}, {"id": 3700, "flag": 0}, {"id": 2231}]})",
                          &policy, &error))
      << error;
  EXPECT_EQ(Words(BankHeaderBytes(policy)),  // action_param 0x1122334455667788
            (std::vector<uint32_t>{1, 0, 0x55667788, 0x11223344, 2, 2, 3, 3}));
  EXPECT_EQ(Words(PolicyRecordBytes(policy)),
            (std::vector<uint32_t>{2231, 3, 1, 3700, 3, 0, 6058, 1, 1}));
  ASSERT_TRUE(ParsePolicy("{}", &policy, &error));
  EXPECT_EQ(PolicyRecordBytes(policy), PolicyRecordBytes(DefaultPolicy()));
  EXPECT_EQ(BankHeaderBytes(policy), BankHeaderBytes(DefaultPolicy()));
  ASSERT_TRUE(ParsePolicy(R"({"signatures": []})", &policy, &error));
  EXPECT_TRUE(policy.signatures.empty());
}

TEST(PolicyTest, BadPoliciesAreRefusedNamingTheEntry) {
  // clang-format off
  const struct { const char* text; const char* message; /* a part of the error */ } cases[] = {
      {"", "not valid JSON"},
      {R"({"action_param": 1e999})", "not valid JSON: number overflow"},  // fuzzing found it
      {"[1, 2]", "must be a JSON object"},
      {R"({"block_host": 1})", "block_host: expected true or false"},
      {R"({"action_param": -1})", "action_param"},
      {R"({"level_reactions": [2, 2, 3]})", "level_reactions: expected a list of four"},
      {R"({"level_reactions": [2, 2, 3, -3]})", "level_reactions[3]"},
      {R"({"signatures": {"id": 3700}})", "signatures: expected a list"},
      {R"({"signatures": [{"id": 3700}, 5]})", "signatures[1]: expected an object"},
      {R"({"signatures": [{"level": 2}]})", "signatures[0]: missing \"id\""},
      {R"({"signatures": [{"id": 3700, "level": 5}]})",
       "signatures[0] (id 3700): level: expected 0 (disabled) to 4"},
      {R"({"signatures": [{"id": 3700, "flag": 1.5}]})", "signatures[0] (id 3700): flag"},
      {R"({"signatures": [{"id": 3700, "sid": 1}]})",
       "signatures[0] (id 3700): unknown field \"sid\""},
      {R"({"signatures": [{"id": 2231}, {"id": 3700}, {"id": 2231}]})",
       "signatures[2] (id 2231): duplicate of the entry signatures[0]"},
      {R"({"signatures": [{"id": 9999}]})",
       "signatures[0] (id 9999): 9999 is not a built-in signature id"},
      {R"({"blockhost": true})", "unknown field \"blockhost\""}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Policy policy = DefaultPolicy();
    policy.blockHost = true;  // must stay untouched on failure
    std::string error;
    EXPECT_FALSE(ParsePolicy(c.text, &policy, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
    EXPECT_TRUE(policy.blockHost);
  }
}

}  // namespace
}  // namespace nipstool
