// Fuzz target: arbitrary text as a policy file. A policy either parses, and
// then survives its own round trip through JSON and yields well-formed
// request bytes, or is refused with a message; nothing else happens.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "tools/policy.h"

#define FUZZ_CHECK(condition)  \
  do {                         \
    if (!(condition)) abort(); \
  } while (0)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  nipstool::Policy policy;
  std::string error;
  if (!nipstool::ParsePolicy(text, &policy, &error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  nipstool::Policy again;
  FUZZ_CHECK(nipstool::ParsePolicy(nipstool::PolicyToJson(policy), &again, &error));
  FUZZ_CHECK(nipstool::PolicyRecordBytes(again) == nipstool::PolicyRecordBytes(policy));
  FUZZ_CHECK(nipstool::BankHeaderBytes(again) == nipstool::BankHeaderBytes(policy));
  FUZZ_CHECK(nipstool::BankHeaderBytes(policy).size() == 32);
  FUZZ_CHECK(nipstool::PolicyRecordBytes(policy).size() == 12 * policy.signatures.size());
  return 0;
}
