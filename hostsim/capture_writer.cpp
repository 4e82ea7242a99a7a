#include "hostsim/capture_writer.h"

namespace hostsim {
namespace {
constexpr uint32_t kPcapMagicMicroseconds = 0xA1B2C3D4;
constexpr uint32_t kPcapngSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kPcapngByteOrderMagic = 0x1A2B3C4D;
constexpr uint32_t kPcapngInterfaceDescription = 1;
constexpr uint32_t kPcapngEnhancedPacket = 6;
constexpr size_t kFileBuffer = 1 << 20;
}  // namespace

CaptureWriter::~CaptureWriter() { Close(); }

void CaptureWriter::Put(const void* data, size_t length) {
  if (length != 0 && fwrite(data, 1, length, file_) != length) ok_ = false;
}

// Files are written little-endian, the byte order of the generating machine
// on every platform the project builds on.
void CaptureWriter::Put32(uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  Put(bytes, 4);
}

void CaptureWriter::Put16(uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)};
  Put(bytes, 2);
}

bool CaptureWriter::Open(const std::string& path, Format format, uint32_t linktype,
                         uint32_t interfaces, uint32_t snapLength) {
  Close();
  file_ = fopen(path.c_str(), "wb");
  if (file_ == nullptr) return false;
  setvbuf(file_, nullptr, _IOFBF, kFileBuffer);
  format_ = format;
  ok_ = true;
  frames_ = 0;
  if (format == Format::kPcap) {
    Put32(kPcapMagicMicroseconds);
    Put16(2);
    Put16(4);
    Put32(0);  // time zone
    Put32(0);  // accuracy
    Put32(snapLength);
    Put32(linktype);
  } else {
    Put32(kPcapngSectionHeader);
    Put32(28);
    Put32(kPcapngByteOrderMagic);
    Put16(1);
    Put16(0);
    Put32(0xFFFFFFFF);  // section length unknown
    Put32(0xFFFFFFFF);
    Put32(28);
    for (uint32_t i = 0; i < interfaces; ++i) {
      Put32(kPcapngInterfaceDescription);
      Put32(20);
      Put16(static_cast<uint16_t>(linktype));
      Put16(0);
      Put32(snapLength);
      Put32(20);
    }
  }
  return ok_;
}

void CaptureWriter::Write(const std::vector<uint8_t>& frame, int64_t seconds, int64_t microseconds,
                          uint32_t interfaceId, uint32_t wireLength) {
  if (file_ == nullptr) return;
  const uint32_t captured = static_cast<uint32_t>(frame.size());
  const uint32_t original = wireLength != 0 ? wireLength : captured;
  if (format_ == Format::kPcap) {
    Put32(static_cast<uint32_t>(seconds));
    Put32(static_cast<uint32_t>(microseconds));
    Put32(captured);
    Put32(original);
    Put(frame.data(), frame.size());
  } else {
    const uint32_t padded = (captured + 3) & ~3u;
    const uint32_t blockLength = 32 + padded;
    // Default interface resolution: microseconds.
    const uint64_t stamp =
        static_cast<uint64_t>(seconds) * 1000000 + static_cast<uint64_t>(microseconds);
    Put32(kPcapngEnhancedPacket);
    Put32(blockLength);
    Put32(interfaceId);
    Put32(static_cast<uint32_t>(stamp >> 32));
    Put32(static_cast<uint32_t>(stamp));
    Put32(captured);
    Put32(original);
    Put(frame.data(), frame.size());
    static const uint8_t kZeros[4] = {};
    Put(kZeros, padded - captured);
    Put32(blockLength);
  }
  ++frames_;
}

bool CaptureWriter::Close() {
  if (file_ == nullptr) return ok_;
  if (fclose(file_) != 0) ok_ = false;
  file_ = nullptr;
  return ok_;
}

}  // namespace hostsim
