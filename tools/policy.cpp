#include "tools/policy.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>

#include "nips/engine/config.h"
#include "nips/engine/signature.h"

namespace nipstool {
namespace {

using nlohmann::json;

constexpr uint32_t kDefaultLevel = 3;
constexpr uint32_t kDefaultFlag = 1;
constexpr std::array<uint32_t, 4> kDefaultLevelReactions = {kReactionAllow, kReactionAllow,
                                                            kReactionBlock, kReactionBlock};

bool TableHasId(uint32_t id) {
  for (const SignatureEntry& row : g_signatureTable.rows) {
    if (row.signatureId == id) return true;
  }
  return false;
}

// An unsigned JSON integer no larger than `max`.
bool ReadUnsigned(const json& value, uint64_t max, uint64_t* out) {
  if (value.is_number_unsigned()) {
    *out = value.get<uint64_t>();
  } else if (value.is_number_integer() && value.get<int64_t>() >= 0) {
    *out = static_cast<uint64_t>(value.get<int64_t>());
  } else {
    return false;
  }
  return *out <= max;
}

std::string EntryName(size_t index, const json& entry) {
  std::string name = "signatures[" + std::to_string(index) + "]";
  if (entry.is_object() && entry.contains("id") && entry["id"].is_number_integer()) {
    name += " (id " + entry["id"].dump() + ")";
  }
  return name;
}

void PutLe32(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

Policy DefaultPolicy() {
  Policy policy;
  policy.blockHost = false;
  policy.actionParam = kDefaultActionParam;
  policy.levelReactions = kDefaultLevelReactions;
  for (const SignatureEntry& row : g_signatureTable.rows) {
    policy.signatures.push_back({row.signatureId, kDefaultLevel, kDefaultFlag});
  }
  std::sort(policy.signatures.begin(), policy.signatures.end(),
            [](const PolicyEntry& a, const PolicyEntry& b) { return a.id < b.id; });
  return policy;
}

bool ParsePolicy(const std::string& text, Policy* policy, std::string* error) {
  json document;
  try {
    document = json::parse(text);
  } catch (const json::exception& e) {
    // Parse errors carry the line and column; a number too large for any
    // JSON number type is refused while parsing, with its own exception.
    std::string what = e.what();
    const size_t idEnd = what.find("] ");
    if (what.rfind("[json.exception.", 0) == 0 && idEnd != std::string::npos) {
      what = what.substr(idEnd + 2);
    }
    *error = "not valid JSON: " + what;
    return false;
  }
  if (!document.is_object()) {
    *error = "the policy must be a JSON object";
    return false;
  }
  Policy result = DefaultPolicy();
  for (const auto& [key, value] : document.items()) {
    if (key == "block_host") {
      if (!value.is_boolean()) {
        *error = "block_host: expected true or false";
        return false;
      }
      result.blockHost = value.get<bool>();
    } else if (key == "action_param") {
      if (!ReadUnsigned(value, std::numeric_limits<uint64_t>::max(), &result.actionParam)) {
        *error = "action_param: expected a number from 0 to 18446744073709551615";
        return false;
      }
    } else if (key == "level_reactions") {
      if (!value.is_array() || value.size() != result.levelReactions.size()) {
        *error = "level_reactions: expected a list of four numbers (levels 1 to 4)";
        return false;
      }
      for (size_t i = 0; i < value.size(); ++i) {
        uint64_t reaction;
        if (!ReadUnsigned(value[i], std::numeric_limits<uint32_t>::max(), &reaction)) {
          *error = "level_reactions[" + std::to_string(i) + "]: expected a number from 0 to " +
                   "4294967295";
          return false;
        }
        result.levelReactions[i] = static_cast<uint32_t>(reaction);
      }
    } else if (key == "signatures") {
      if (!value.is_array()) {
        *error = "signatures: expected a list of {\"id\", \"level\", \"flag\"} objects";
        return false;
      }
      if (value.size() > kSignatureRows) {
        *error = "signatures: " + std::to_string(value.size()) + " entries, at most " +
                 std::to_string(kSignatureRows) + " (one per signature)";
        return false;
      }
      result.signatures.clear();
      for (size_t i = 0; i < value.size(); ++i) {
        const json& entry = value[i];
        const std::string name = EntryName(i, entry);
        if (!entry.is_object()) {
          *error = name + ": expected an object with \"id\", \"level\" and \"flag\"";
          return false;
        }
        PolicyEntry parsed{0, kDefaultLevel, kDefaultFlag};
        bool haveId = false;
        for (const auto& [field, fieldValue] : entry.items()) {
          uint64_t number;
          if (field == "id") {
            if (!ReadUnsigned(fieldValue, std::numeric_limits<uint32_t>::max(), &number)) {
              *error = name + ": id: expected a signature id";
              return false;
            }
            parsed.id = static_cast<uint32_t>(number);
            haveId = true;
          } else if (field == "level") {
            if (!ReadUnsigned(fieldValue, kMaxLevel, &number)) {
              *error = name + ": level: expected 0 (disabled) to 4";
              return false;
            }
            parsed.level = static_cast<uint32_t>(number);
          } else if (field == "flag") {
            if (!ReadUnsigned(fieldValue, std::numeric_limits<uint32_t>::max(), &number)) {
              *error = name + ": flag: expected a number from 0 to 4294967295";
              return false;
            }
            parsed.flag = static_cast<uint32_t>(number);
          } else {
            *error = name + ": unknown field \"" + field + "\" (expected id, level, flag)";
            return false;
          }
        }
        if (!haveId) {
          *error = name + ": missing \"id\"";
          return false;
        }
        if (!TableHasId(parsed.id)) {
          *error = name + ": " + std::to_string(parsed.id) +
                   " is not a built-in signature id (see `nips signatures`)";
          return false;
        }
        for (size_t j = 0; j < result.signatures.size(); ++j) {
          if (result.signatures[j].id == parsed.id) {
            *error = name + ": duplicate of the entry signatures[" + std::to_string(j) + "]";
            return false;
          }
        }
        result.signatures.push_back(parsed);
      }
      // The driver takes records in ascending id order only.
      std::sort(result.signatures.begin(), result.signatures.end(),
                [](const PolicyEntry& a, const PolicyEntry& b) { return a.id < b.id; });
    } else {
      *error = "unknown field \"" + key +
               "\" (expected block_host, action_param, level_reactions, signatures)";
      return false;
    }
  }
  *policy = std::move(result);
  return true;
}

std::string PolicyToJson(const Policy& policy) {
  // One signature per line keeps a 48-entry policy readable and diffable.
  std::string text = "{\n";
  text += "  \"block_host\": " + json(policy.blockHost).dump() + ",\n";
  text += "  \"action_param\": " + json(policy.actionParam).dump() + ",\n";
  text += "  \"level_reactions\": " + json(policy.levelReactions).dump() + ",\n";
  text += "  \"signatures\": [";
  for (size_t i = 0; i < policy.signatures.size(); ++i) {
    const PolicyEntry& entry = policy.signatures[i];
    text += i == 0 ? "\n    " : ",\n    ";
    text += nlohmann::ordered_json{{"id", entry.id}, {"level", entry.level}, {"flag", entry.flag}}
                .dump();
  }
  text += policy.signatures.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return text;
}

std::vector<uint8_t> BankHeaderBytes(const Policy& policy) {
  std::vector<uint8_t> bytes;
  PutLe32(&bytes, policy.blockHost ? 1 : 0);
  PutLe32(&bytes, 0);  // reserved
  PutLe32(&bytes, static_cast<uint32_t>(policy.actionParam));
  PutLe32(&bytes, static_cast<uint32_t>(policy.actionParam >> 32));
  for (uint32_t reaction : policy.levelReactions) PutLe32(&bytes, reaction);
  return bytes;
}

std::vector<uint8_t> PolicyRecordBytes(const Policy& policy) {
  std::vector<uint8_t> bytes;
  for (const PolicyEntry& entry : policy.signatures) {
    PutLe32(&bytes, entry.id);
    PutLe32(&bytes, entry.level);
    PutLe32(&bytes, entry.flag);
  }
  return bytes;
}

bool ReadTextFile(const std::string& path, std::string* text, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = strerror(errno);
    return false;
  }
  std::ostringstream contents;
  contents << in.rdbuf();
  if (in.bad()) {
    *error = "read error";
    return false;
  }
  *text = contents.str();
  return true;
}

bool LoadPolicyFile(const std::string& path, Policy* policy, std::string* error) {
  std::string text;
  return ReadTextFile(path, &text, error) && ParsePolicy(text, policy, error);
}

bool ParseLogMask(const std::string& text, uint32_t* mask) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || text[0] == '-' || value > 0xFFFFFFFFull) return false;
  *mask = static_cast<uint32_t>(value);
  return true;
}

}  // namespace nipstool
