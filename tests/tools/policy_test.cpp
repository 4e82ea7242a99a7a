// Policy files: the default policy, parsing with defaults, validation
// messages that name the entry, and the bytes of requests 2 and 3.
#include <gtest/gtest.h>

#include <set>

#include "nips/engine/signature.h"
#include "tools/policy.h"

namespace nipstool {
namespace {

uint32_t Le32At(const std::vector<uint8_t>& bytes, size_t offset) {
  return uint32_t{bytes[offset]} | uint32_t{bytes[offset + 1]} << 8 |
         uint32_t{bytes[offset + 2]} << 16 | uint32_t{bytes[offset + 3]} << 24;
}

TEST(PolicyTest, DefaultPolicyEnablesEveryTableIdAtLevelThree) {
  const Policy policy = DefaultPolicy();
  EXPECT_FALSE(policy.blockHost);
  EXPECT_EQ(policy.actionParam, 0x00000000FFFFFFFFull);
  EXPECT_EQ(policy.levelReactions, (std::array<uint32_t, 4>{2, 2, 3, 3}));
  ASSERT_EQ(policy.signatures.size(), kSignatureRows);
  std::set<uint32_t> tableIds;
  for (const SignatureEntry& row : g_signatureTable.rows) tableIds.insert(row.signatureId);
  for (size_t i = 0; i < policy.signatures.size(); ++i) {
    EXPECT_EQ(policy.signatures[i].level, 3u);
    EXPECT_EQ(policy.signatures[i].flag, 1u);
    EXPECT_TRUE(tableIds.count(policy.signatures[i].id));
    if (i > 0) {
      EXPECT_LT(policy.signatures[i - 1].id, policy.signatures[i].id);
    }
  }
}

TEST(PolicyTest, RequestBytesAreLittleEndianRecords) {
  Policy policy = DefaultPolicy();
  policy.blockHost = true;
  policy.actionParam = 0x1122334455667788ull;
  policy.levelReactions = {1, 2, 3, 4};
  policy.signatures = {{3700, 4, 7}, {6058, 0, 1}};
  const std::vector<uint8_t> header = BankHeaderBytes(policy);
  ASSERT_EQ(header.size(), 32u);
  EXPECT_EQ(Le32At(header, 0), 1u);
  EXPECT_EQ(Le32At(header, 4), 0u);
  EXPECT_EQ(Le32At(header, 8), 0x55667788u);
  EXPECT_EQ(Le32At(header, 12), 0x11223344u);
  for (uint32_t level = 0; level < 4; ++level) EXPECT_EQ(Le32At(header, 16 + 4 * level), level + 1);
  const std::vector<uint8_t> records = PolicyRecordBytes(policy);
  ASSERT_EQ(records.size(), 24u);
  EXPECT_EQ(Le32At(records, 0), 3700u);
  EXPECT_EQ(Le32At(records, 4), 4u);
  EXPECT_EQ(Le32At(records, 8), 7u);
  EXPECT_EQ(Le32At(records, 12), 6058u);
  EXPECT_EQ(Le32At(records, 16), 0u);
}

TEST(PolicyTest, PrintedDefaultPolicyReadsBackUnchanged) {
  Policy parsed;
  std::string error;
  ASSERT_TRUE(ParsePolicy(PolicyToJson(DefaultPolicy()), &parsed, &error)) << error;
  const Policy expected = DefaultPolicy();
  EXPECT_EQ(parsed.blockHost, expected.blockHost);
  EXPECT_EQ(parsed.actionParam, expected.actionParam);
  EXPECT_EQ(parsed.levelReactions, expected.levelReactions);
  EXPECT_EQ(PolicyRecordBytes(parsed), PolicyRecordBytes(expected));
}

TEST(PolicyTest, OmittedFieldsTakeDefaultsAndRecordsAreSorted) {
  Policy policy;
  std::string error;
  ASSERT_TRUE(ParsePolicy(R"({"block_host": true,
      "signatures": [{"id": 6058, "level": 1}, {"id": 3700, "flag": 0}, {"id": 2231}]})",
                          &policy, &error))
      << error;
  EXPECT_TRUE(policy.blockHost);
  EXPECT_EQ(policy.actionParam, DefaultPolicy().actionParam);
  EXPECT_EQ(policy.levelReactions, DefaultPolicy().levelReactions);
  ASSERT_EQ(policy.signatures.size(), 3u);
  EXPECT_EQ(policy.signatures[0].id, 2231u);
  EXPECT_EQ(policy.signatures[0].level, 3u);
  EXPECT_EQ(policy.signatures[0].flag, 1u);
  EXPECT_EQ(policy.signatures[1].id, 3700u);
  EXPECT_EQ(policy.signatures[1].flag, 0u);
  EXPECT_EQ(policy.signatures[2].id, 6058u);
  EXPECT_EQ(policy.signatures[2].level, 1u);

  // An empty object is the default policy; an empty list enables nothing.
  ASSERT_TRUE(ParsePolicy("{}", &policy, &error));
  EXPECT_EQ(policy.signatures.size(), kSignatureRows);
  ASSERT_TRUE(ParsePolicy(R"({"signatures": []})", &policy, &error));
  EXPECT_TRUE(policy.signatures.empty());
}

TEST(PolicyTest, BadPoliciesAreRefusedNamingTheEntry) {
  struct Case {
    const char* text;
    const char* message;  // a part of the error
  };
  const Case cases[] = {
      {"", "not valid JSON"},
      {"{\"block_host\": true,", "not valid JSON: parse error at line 1"},
      {"[1, 2]", "must be a JSON object"},
      {R"({"block_host": 1})", "block_host: expected true or false"},
      {R"({"action_param": -1})", "action_param"},
      {R"({"action_param": "0xffffffff"})", "action_param"},
      {R"({"level_reactions": [2, 2, 3]})", "level_reactions: expected a list of four"},
      {R"({"level_reactions": [2, 2, 3, -3]})", "level_reactions[3]"},
      {R"({"signatures": {"id": 3700}})", "signatures: expected a list"},
      {R"({"signatures": [{"id": 3700}, 5]})", "signatures[1]: expected an object"},
      {R"({"signatures": [{"level": 2}]})", "signatures[0]: missing \"id\""},
      {R"({"signatures": [{"id": 3700, "level": 5}]})",
       "signatures[0] (id 3700): level: expected 0 (disabled) to 4"},
      {R"({"signatures": [{"id": 3700, "level": "high"}]})", "signatures[0] (id 3700): level"},
      {R"({"signatures": [{"id": 3700, "flag": 1.5}]})", "signatures[0] (id 3700): flag"},
      {R"({"signatures": [{"id": 3700, "sid": 1}]})",
       "signatures[0] (id 3700): unknown field \"sid\""},
      {R"({"signatures": [{"id": 2231}, {"id": 3700}, {"id": 2231}]})",
       "signatures[2] (id 2231): duplicate of the entry signatures[0]"},
      {R"({"signatures": [{"id": 9999}]})",
       "signatures[0] (id 9999): 9999 is not a built-in signature id"},
      {R"({"signatures": [{"id": -3700}]})", "signatures[0] (id -3700): id"},
      {R"({"blockhost": true})", "unknown field \"blockhost\""},
  };
  for (const Case& c : cases) {
    Policy policy = DefaultPolicy();
    policy.blockHost = true;  // must stay untouched on failure
    std::string error;
    EXPECT_FALSE(ParsePolicy(c.text, &policy, &error)) << c.text;
    EXPECT_NE(error.find(c.message), std::string::npos) << c.text << "\n -> " << error;
    EXPECT_TRUE(policy.blockHost) << c.text;
  }
}

}  // namespace
}  // namespace nipstool
