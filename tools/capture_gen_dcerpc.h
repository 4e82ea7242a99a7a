// Attack captures for the DCE/RPC and RDP detectors, made with the project's
// capture generator (capture_gen.h): one example capture per signature and
// one regression capture for the family.
#pragma once

#include <vector>

#include "tools/capture_gen.h"

namespace capgen {

// attack-<id>-*.pcap for 3721, 3722, 3724, 6182, 6043, 6137 and 6146.
std::vector<FamilyCapture> DceRpcFamilyExamples();

// Regression capture "dcerpc-rdp": every attack of the family, each after
// look-alike traffic that must stay quiet.
std::vector<FamilyCapture> DceRpcFamilyRegressionCaptures();

}  // namespace capgen
