// What each built-in signature looks for, for people reading alerts and the
// `nips signatures` listing. The table itself (ids, protocols, detectors) is
// the driver's.
#pragma once

#include <stdint.h>

#include <string>

namespace nipstool {

// A one-line description of what the signature detects; "" for unknown ids.
const char* SignatureSummary(uint32_t signatureId);

// The class of attack the signature belongs to (alert consumers' category);
// "" for unknown ids.
const char* SignatureCategory(uint32_t signatureId);

// "TCP", "UDP", "ICMP", "TCP UDP ICMP", or "none" for a zero mask.
std::string ProtocolMaskNames(uint32_t protocolMask);

// True when the built-in table has a detector for the id.
bool SignatureImplemented(uint32_t signatureId);

// The listing printed by `nips signatures`.
std::string SignatureListing();

}  // namespace nipstool
