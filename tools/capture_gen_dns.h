// Attack captures for the DNS and LLMNR detectors over UDP and the DNS over
// TCP detectors, made with the project's capture generator (capture_gen.h):
// one example capture per signature and one regression capture for the
// family.
#pragma once

#include <vector>

#include "tools/capture_gen.h"

namespace capgen {

// attack-<id>-*.pcap for 3803, 6042, 6044, 6173, 6199, 6200, 6201 and 6202.
std::vector<FamilyCapture> DnsFamilyExamples();

// Regression capture "dns-detectors": every attack from one client in turn.
std::vector<FamilyCapture> DnsFamilyRegressionCaptures();

}  // namespace capgen
