// Fuzz target: arbitrary bytes as a capture file through `nips scan`'s
// reading, decoding and clock path: libpcap's pcap and pcapng readers, the
// pcapng interface tracker, the link-layer and IP decoders and the capture
// clock, then every decoded packet into one driver loaded once through its
// entry routine with the default policy (every row enabled), as a long scan
// would. Each inspected packet must get exactly one verdict and one report.
// (The per-capture load and unload, with its empty-ledger check, costs tens
// of milliseconds; the corpus and regression suites cover it.)
#include <stdint.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "hostsim/capture.h"
#include "hostsim/packet.h"
#include "kt_hooks.h"
#include "nips/engine/plugin.h"
#include "tools/driver_link.h"
#include "tools/policy.h"
#include "tools/scanner.h"

namespace {

#define FUZZ_CHECK(condition)  \
  do {                         \
    if (!(condition)) abort(); \
  } while (0)

// One file, rewritten for each input: the reader needs a path (pcapng
// interface ids are read behind libpcap with pread).
const std::string& CapturePath() {
  static const std::string path = [] {
    char pattern[] = "/tmp/nips-fuzz-capture-XXXXXX";
    const int fd = mkstemp(pattern);
    if (fd >= 0) close(fd);
    return std::string(pattern);
  }();
  return path;
}

nipstool::DriverLink* Driver() {
  static nipstool::DriverLink* driver = [] {
    std::string error;
    std::unique_ptr<nipstool::DriverLink> loaded = nipstool::LoadSimulatedDriver(&error);
    FUZZ_CHECK(loaded != nullptr);
    FUZZ_CHECK(nipstool::ConfigureDriver(loaded.get(), nipstool::DefaultPolicy(), &error));
    return loaded.release();  // lives as long as the fuzzing process
  }();
  return driver;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* out = fopen(CapturePath().c_str(), "wb");
  FUZZ_CHECK(out != nullptr);
  FUZZ_CHECK(size == 0 || fwrite(data, 1, size, out) == size);
  FUZZ_CHECK(fclose(out) == 0);

  hostsim::CaptureReader reader;
  std::string error;
  if (!reader.Open(CapturePath(), &error)) return 0;
  const std::optional<hostsim::LinkLayer> link = reader.linkLayer();
  if (!link) return 0;
  nipstool::DriverLink* driver = Driver();
  hostsim::CaptureFrame frame;
  hostsim::SimPacket packet;
  while (reader.Next(&frame, &error) == hostsim::CaptureReader::ReadStatus::kFrame) {
    FUZZ_CHECK(frame.data != nullptr || frame.capturedLength == 0);
    // The decoder gets the frame in an allocation of its exact size.
    std::unique_ptr<uint8_t[]> copy(new uint8_t[frame.capturedLength + 1]);
    if (frame.capturedLength != 0) memcpy(copy.get(), frame.data, frame.capturedLength);
    hostsim::DecodedPacket decoded;
    if (hostsim::DecodeFrame(*link, copy.get(), frame.capturedLength, &decoded) !=
        hostsim::DecodeResult::kOk) {
      continue;
    }
    FUZZ_CHECK(decoded.ip >= copy.get() &&
               decoded.ip + decoded.ipLength <= copy.get() + frame.capturedLength);
    bool fits = true;
    kt::SetSystemTime(kt::SystemTimeFromUnix(frame.seconds, frame.microseconds, &fits));
    packet.Reset(decoded, frame.interfaceId + hostsim::kDefaultAdapterIndex);
    const std::optional<LONG> answer = driver->Inspect(&packet);
    FUZZ_CHECK(answer.has_value());
    const hostsim::VerdictRecord& verdict = packet.verdict();
    if (*answer == kInspectDelivered) {
      FUZZ_CHECK(verdict.verdictCalls == 1 && verdict.reportCalls == 1 &&
                 !verdict.reportBeforeVerdict);
    } else {
      FUZZ_CHECK(verdict.verdictCalls == 0 && verdict.reportCalls == 0);
    }
  }
  return 0;
}
