// Reading pcap and pcapng files frame by frame through libpcap. Frames are
// streamed: memory does not grow with the size of the capture.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <memory>
#include <optional>
#include <string>

#include "hostsim/decode.h"

typedef struct pcap pcap_t;
struct bpf_program;

namespace hostsim {

struct CaptureFrame {
  const uint8_t* data;  // valid until the next Next() or Close()
  uint32_t capturedLength;
  uint32_t wireLength;
  int64_t seconds;  // capture time, Unix epoch
  int64_t microseconds;
  uint32_t interfaceId;  // pcapng interface id; 0 for pcap files
  bool filteredOut;      // the filter given to SetFilter rejected the frame
};

// The path that names standard input.
constexpr char kStandardInputPath[] = "-";

// The link layer that decodes frames of a libpcap DLT_ value, if any does.
std::optional<LinkLayer> LinkLayerFromDlt(int dlt);

class PcapngInterfaceTracker;

class CaptureReader {
 public:
  enum class ReadStatus { kFrame, kEnd, kError };

  CaptureReader();
  ~CaptureReader();
  CaptureReader(const CaptureReader&) = delete;
  CaptureReader& operator=(const CaptureReader&) = delete;

  // Opens a capture, or standard input for "-"; on failure *error says why
  // (without the path). A pcapng read from a pipe gives every frame
  // interface 0: the interface of a block is read behind libpcap with pread.
  bool Open(const std::string& path, std::string* error);
  // Compiles a BPF expression for this capture's link type; every later
  // frame is marked filteredOut when it rejects it. False with *error set
  // (libpcap's message) when the expression does not compile.
  bool SetFilter(const std::string& expression, std::string* error);
  // The next frame; kError leaves a reason in *error (for example a file cut
  // in the middle of a frame). Frames read before an error stay valid results.
  ReadStatus Next(CaptureFrame* frame, std::string* error);
  void Close();

  int dlt() const { return dlt_; }
  std::string dltName() const;  // as tcpdump names it, e.g. "EN10MB"
  std::optional<LinkLayer> linkLayer() const { return LinkLayerFromDlt(dlt_); }
  bool pcapng() const { return pcapng_; }

 private:
  pcap_t* pcap_ = nullptr;
  FILE* file_ = nullptr;  // owned by pcap_ once it is open
  // stdio's own buffer for file_: glibc ignores the size asked of setvbuf
  // unless the caller gives the buffer. Freed only after file_ is closed.
  std::unique_ptr<char[]> streamBuffer_;
  PcapngInterfaceTracker* interfaces_ = nullptr;
  bpf_program* filter_ = nullptr;
  int dlt_ = -1;
  bool pcapng_ = false;
};

}  // namespace hostsim
