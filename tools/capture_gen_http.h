// Attack captures for the HTTP and WS-Management request detectors, made
// with the project's capture generator (capture_gen.h): one example capture
// per signature and one regression capture for the family.
#pragma once

#include <vector>

#include "tools/capture_gen.h"

namespace capgen {

// attack-<id>-*.pcap for 6177, 6178 and 6204.
std::vector<FamilyCapture> HttpFamilyExamples();

// Regression capture "http-detectors": every attack from one client in turn,
// with the chunk size of all F assembled over three requests as well.
std::vector<FamilyCapture> HttpFamilyRegressionCaptures();

}  // namespace capgen
