// Port scans (3700, 3701): the scanning traffic, its examples and its
// regression captures.
#pragma once

#include <vector>

#include "tools/capture_gen.h"

namespace capgen {

// One source sends SYNs to 20 distinct ports below 1024 within a minute; the
// closed ports answer with resets.
void AddTcpPortScan(Trace* trace, const char* attacker, const char* target);
// One source sends empty datagrams to 100 distinct ports below 1024.
void AddUdpPortScan(Trace* trace, const char* attacker, const char* target);

std::vector<FamilyCapture> PortScanFamilyExamples();
std::vector<FamilyCapture> PortScanFamilyRegressionCaptures();

}  // namespace capgen
