// Benign traffic of every protocol the detectors look at, IPv4 and IPv6:
// every example and regression run checks that it raises no alert.
#pragma once

#include "tools/capture_gen.h"

namespace capgen {

Trace BenignTrace();

}  // namespace capgen
