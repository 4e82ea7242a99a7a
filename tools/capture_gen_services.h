// Service detectors without an SMB or RPC family of their own: UPnP event
// subscriptions (3845), FTP (3806, 3846), TLS heartbeats (6058), SSH
// key-exchange bursts (6500), IPv4 options (3801, 3725), SQL resolution
// (3720) and PPTP (3723): their attacks, examples and regression captures.
#pragma once

#include <vector>

#include "tools/capture_gen.h"

namespace capgen {

// attack-<id>-*.pcap, one per signature.
std::vector<FamilyCapture> ServicesFamilyExamples();
// "service-detectors": each stateless attack after a near miss of it;
// "ssh-kex-burst": the SSH window restarting and then filling up.
std::vector<FamilyCapture> ServicesFamilyRegressionCaptures();

}  // namespace capgen
