// The signature policy as user mode keeps it: the bank header values and one
// record per signature, read from and written as JSON, and turned into the
// exact bytes of control requests 2 and 3.
#pragma once

#include <stdint.h>

#include <array>
#include <string>
#include <vector>

namespace nipstool {

struct PolicyEntry {
  uint32_t id = 0;
  uint32_t level = 0;  // 0 disables, 1..4
  uint32_t flag = 1;   // non-zero: matches are reported and acted on
};

struct Policy {
  bool blockHost = false;
  uint64_t actionParam = 0;
  std::array<uint32_t, 4> levelReactions{};  // reactions of levels 1..4
  std::vector<PolicyEntry> signatures;       // sorted by id, ids unique
};

// Every signature id of the built-in table at level 3 with flag 1; header
// block_host false, action parameter 0x00000000FFFFFFFF, level reactions
// 2, 2, 3, 3 (levels 1 and 2 report and allow, 3 and 4 block).
Policy DefaultPolicy();

// Parses a JSON policy file's text. Fields left out take the default
// policy's values; a missing "signatures" list means the default list.
// On failure *error names the offending field or entry (without the file).
bool ParsePolicy(const std::string& text, Policy* policy, std::string* error);

// Reads and parses a policy file; *error is the reason without the path.
bool LoadPolicyFile(const std::string& path, Policy* policy, std::string* error);
// A whole file's bytes; *error is strerror's text.
bool ReadTextFile(const std::string& path, std::string* text, std::string* error);

// A log mask as given on a command line: decimal or 0x hex, 0 to 0xFFFFFFFF.
bool ParseLogMask(const std::string& text, uint32_t* mask);

// The policy as a JSON document that ParsePolicy reads back unchanged.
std::string PolicyToJson(const Policy& policy);

// Request 2's 32 bytes and request 3's 12-byte records, little-endian.
std::vector<uint8_t> BankHeaderBytes(const Policy& policy);
std::vector<uint8_t> PolicyRecordBytes(const Policy& policy);

}  // namespace nipstool
