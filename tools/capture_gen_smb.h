// Attack captures for the SMB and SMB/NetBIOS session detectors, made with the
// project's capture generator (capture_gen.h): one example capture per
// signature and one regression capture per detector family.
#pragma once

#include <string>
#include <vector>

#include "tools/capture_gen.h"

namespace capgen {

// attack-<id>-*.pcap for 3804, 3802, 6029, 6031, 6038, 6022, 6045, 6095, 6097,
// 6100, 6119, 6157 and 6175.
std::vector<FamilyCapture> SmbFamilyExamples();

// Regression captures: "smb-detectors" (3804, 3802, 6029, 6031, 6038, 6022,
// 6045) and "smb-sessions" (6095, 6097, 6100, 6119, 6157, 6175).
std::vector<FamilyCapture> SmbFamilyRegressionCaptures();

}  // namespace capgen
