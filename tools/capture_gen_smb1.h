// SMB1 requests of the first detector family (2231, 2232, 2233, 3718): the
// SMB1 and SMB2 builders that benign traffic also uses, the attack examples
// and the regression captures, policy cases included.
#pragma once

#include <vector>

#include "tools/capture_gen.h"

namespace capgen {

struct Smb1Ids {
  uint16_t pidHigh = 0;
  uint16_t tid = 0;
  uint16_t pid = 0xFEFF;
  uint16_t uid = 0;
  uint16_t mid = 1;
};

ByteVector Smb1Negotiate(const Smb1Ids& ids);
ByteVector Smb2Negotiate();
// The four malformed requests, one session each.
Trace SmbRequestAttacks();

// attack-<id>-*.pcap for 2231, 2232, 2233 and 3718.
std::vector<FamilyCapture> Smb1RequestFamilyExamples();
// "smb1-requests" and the policy cases "policy-report-only" and
// "policy-block-host", all of SmbRequestAttacks().
std::vector<FamilyCapture> Smb1RequestFamilyRegressionCaptures();

}  // namespace capgen
