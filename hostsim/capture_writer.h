// Writing pcap and pcapng files frame by frame, for the project's capture
// generator and for tests. pcapng files may declare several interfaces.
#pragma once

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

namespace hostsim {

class CaptureWriter {
 public:
  enum class Format { kPcap, kPcapng };

  CaptureWriter() = default;
  ~CaptureWriter();
  CaptureWriter(const CaptureWriter&) = delete;
  CaptureWriter& operator=(const CaptureWriter&) = delete;

  // `interfaces` is the number of pcapng interfaces (all of `linktype`);
  // pcap files have one.
  bool Open(const std::string& path, Format format, uint32_t linktype, uint32_t interfaces = 1,
            uint32_t snapLength = 262144);
  // `wireLength` 0 means the frame's own length; a larger value records a
  // frame cut to the snap length.
  void Write(const std::vector<uint8_t>& frame, int64_t seconds, int64_t microseconds,
             uint32_t interfaceId = 0, uint32_t wireLength = 0);
  // False when any write failed.
  bool Close();
  uint64_t frames() const { return frames_; }

 private:
  void Put(const void* data, size_t length);
  void Put32(uint32_t value);
  void Put16(uint16_t value);

  FILE* file_ = nullptr;
  Format format_ = Format::kPcap;
  bool ok_ = true;
  uint64_t frames_ = 0;
};

}  // namespace hostsim
