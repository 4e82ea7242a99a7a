// Regression captures of the capture path rather than of a detector family:
// benign traffic, every link type, VLAN tags in pcapng, IPv6 extension
// headers and fragments, a short snap length and a cut file.
#pragma once

#include <vector>

#include "tools/capture_gen.h"

namespace capgen {

std::vector<RegressionCapture> DecoderRegressionCaptures();

}  // namespace capgen
