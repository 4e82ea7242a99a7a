#include "hostsim/capture.h"

#include <errno.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace hostsim {

namespace {
constexpr uint32_t kPcapngSectionHeader = 0x0A0D0D0A;  // the same in either byte order
constexpr uint32_t kPcapngByteOrderMagic = 0x1A2B3C4D;
constexpr uint32_t kPcapngPacketBlock = 2;  // obsolete, u16 interface id
constexpr uint32_t kPcapngSimplePacketBlock = 3;
constexpr uint32_t kPcapngEnhancedPacketBlock = 6;
constexpr size_t kPcapngMinBlock = 12;
constexpr size_t kTrackerBuffer = 64 * 1024;
constexpr size_t kReadBuffer = 256 << 10;
}  // namespace

// libpcap does not tell which pcapng interface a packet came in on. The
// tracker walks the block headers of the same file behind libpcap: after each
// packet, libpcap's stream position is the end of the packet block it just
// read, and the tracker reads that block's interface id. If the two ever
// disagree the tracker gives up and every later packet counts as interface 0.
class PcapngInterfaceTracker {
 public:
  ~PcapngInterfaceTracker() {
    if (fd_ >= 0) close(fd_);
  }
  bool Open(const std::string& path) {
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    buffer_.resize(kTrackerBuffer);
    return fd_ >= 0;
  }
  // The interface id of the packet block that ends at `blockEnd`.
  uint32_t InterfaceEndingAt(uint64_t blockEnd) {
    if (failed_) return 0;
    uint32_t interfaceId = 0;
    bool sawPacket = false;
    while (position_ < blockEnd) {
      uint8_t header[12];
      if (!Read(position_, header, 8)) return Fail();
      const uint32_t type = Word(header);
      if (type == kPcapngSectionHeader) {
        uint8_t magic[4];
        if (!Read(position_ + 8, magic, 4)) return Fail();
        bigEndian_ = false;
        if (Word(magic) != kPcapngByteOrderMagic) {
          bigEndian_ = true;
          if (Word(magic) != kPcapngByteOrderMagic) return Fail();
        }
      }
      const uint32_t length = Word(header + 4);
      if (length < kPcapngMinBlock || length % 4 != 0) return Fail();
      sawPacket = false;
      if (type == kPcapngEnhancedPacketBlock || type == kPcapngPacketBlock) {
        if (!Read(position_ + 8, header + 8, 4)) return Fail();
        interfaceId = type == kPcapngEnhancedPacketBlock ? Word(header + 8) : Half(header + 8);
        sawPacket = true;
      } else if (type == kPcapngSimplePacketBlock) {
        interfaceId = 0;
        sawPacket = true;
      }
      position_ += length;
    }
    if (position_ != blockEnd || !sawPacket) return Fail();
    return interfaceId;
  }

 private:
  uint32_t Fail() {
    failed_ = true;
    return 0;
  }
  uint32_t Word(const uint8_t* p) const {
    return bigEndian_ ? (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3])
                      : (uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0]);
  }
  uint32_t Half(const uint8_t* p) const {
    return bigEndian_ ? (uint32_t{p[0]} << 8 | p[1]) : (uint32_t{p[1]} << 8 | p[0]);
  }
  bool Read(uint64_t offset, uint8_t* out, size_t count) {
    if (offset < bufferOffset_ || offset + count > bufferOffset_ + bufferFill_) {
      ssize_t got = pread(fd_, buffer_.data(), buffer_.size(), static_cast<off_t>(offset));
      if (got < 0) return false;
      bufferOffset_ = offset;
      bufferFill_ = static_cast<size_t>(got);
      if (count > bufferFill_) return false;
    }
    memcpy(out, buffer_.data() + (offset - bufferOffset_), count);
    return true;
  }

  int fd_ = -1;
  std::vector<uint8_t> buffer_;
  uint64_t bufferOffset_ = 0;
  size_t bufferFill_ = 0;
  uint64_t position_ = 0;
  bool bigEndian_ = false;
  bool failed_ = false;
};

std::optional<LinkLayer> LinkLayerFromDlt(int dlt) {
  switch (dlt) {
    case DLT_EN10MB:
      return LinkLayer::kEthernet;
    case DLT_NULL:
      return LinkLayer::kNull;
    case DLT_LOOP:
      return LinkLayer::kLoop;
    case DLT_RAW:
      return LinkLayer::kRaw;
    case DLT_IPV4:
      return LinkLayer::kIpv4;
    case DLT_IPV6:
      return LinkLayer::kIpv6;
    case DLT_LINUX_SLL:
      return LinkLayer::kLinuxSll;
    case DLT_LINUX_SLL2:
      return LinkLayer::kLinuxSll2;
    default:
      return std::nullopt;
  }
}

CaptureReader::CaptureReader() = default;

CaptureReader::~CaptureReader() { Close(); }

bool CaptureReader::Open(const std::string& path, std::string* error) {
  Close();
  struct stat info;
  const bool standardInput = path == kStandardInputPath;
  if (standardInput ? fstat(STDIN_FILENO, &info) != 0 : stat(path.c_str(), &info) != 0) {
    *error = strerror(errno);
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    *error = "is a directory";
    return false;
  }
  const bool regular = S_ISREG(info.st_mode);
  int fd;
  if (standardInput) {
    // A duplicate, so that closing the capture leaves descriptor 0 alone.
    fd = dup(STDIN_FILENO);
  } else {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd < 0) {
    *error = strerror(errno);
    return false;
  }
  uint8_t magic[4] = {};
  if (regular && pread(fd, magic, sizeof magic, 0) == sizeof magic) {
    pcapng_ = (uint32_t{magic[0]} | uint32_t{magic[1]} << 8 | uint32_t{magic[2]} << 16 |
               uint32_t{magic[3]} << 24) == kPcapngSectionHeader;
  }
  file_ = fdopen(fd, "rb");
  if (file_ == nullptr) {
    *error = strerror(errno);
    close(fd);
    pcapng_ = false;
    return false;
  }
  // stdio's default buffer is one page: a read call every few frames. One
  // that stays in the second-level cache keeps libpcap's copy out of it cheap.
  streamBuffer_.reset(new char[kReadBuffer]);
  setvbuf(file_, streamBuffer_.get(), _IOFBF, kReadBuffer);
  char errorBuffer[PCAP_ERRBUF_SIZE] = {};
  pcap_ = pcap_fopen_offline(file_, errorBuffer);
  if (pcap_ == nullptr) {
    fclose(file_);
    file_ = nullptr;
    pcapng_ = false;
    *error = errorBuffer[0] != '\0' ? errorBuffer : "not a capture file";
    if (*error == "unknown file format")
      *error = "not a pcap or pcapng capture (unknown file format)";
    return false;
  }
  dlt_ = pcap_datalink(pcap_);
  if (pcapng_ && !standardInput) {
    interfaces_ = new PcapngInterfaceTracker;
    if (!interfaces_->Open(path)) {
      delete interfaces_;
      interfaces_ = nullptr;
    }
  }
  return true;
}

CaptureReader::ReadStatus CaptureReader::Next(CaptureFrame* frame, std::string* error) {
  if (pcap_ == nullptr) {
    *error = "capture not open";
    return ReadStatus::kError;
  }
  struct pcap_pkthdr* header;
  const u_char* data;
  const int result = pcap_next_ex(pcap_, &header, &data);
  if (result == PCAP_ERROR_BREAK) return ReadStatus::kEnd;
  if (result != 1) {
    *error = pcap_geterr(pcap_);
    return ReadStatus::kError;
  }
  frame->data = data;
  frame->capturedLength = header->caplen;
  frame->wireLength = header->len;
  frame->seconds = header->ts.tv_sec;
  frame->microseconds = header->ts.tv_usec;
  frame->interfaceId = 0;
  frame->filteredOut = filter_ != nullptr && pcap_offline_filter(filter_, header, data) == 0;
  if (interfaces_ != nullptr) {
    const long position = ftell(file_);
    if (position >= 0)
      frame->interfaceId = interfaces_->InterfaceEndingAt(static_cast<uint64_t>(position));
  }
  return ReadStatus::kFrame;
}

bool CaptureReader::SetFilter(const std::string& expression, std::string* error) {
  if (pcap_ == nullptr) {
    *error = "capture not open";
    return false;
  }
  auto* program = new bpf_program;
  if (pcap_compile(pcap_, program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
    *error = pcap_geterr(pcap_);
    delete program;
    return false;
  }
  if (filter_ != nullptr) {
    pcap_freecode(filter_);
    delete filter_;
  }
  filter_ = program;
  return true;
}

void CaptureReader::Close() {
  if (filter_ != nullptr) {
    pcap_freecode(filter_);
    delete filter_;
    filter_ = nullptr;
  }
  if (pcap_ != nullptr) {
    pcap_close(pcap_);  // closes file_ too
    pcap_ = nullptr;
  } else if (file_ != nullptr) {
    fclose(file_);
  }
  file_ = nullptr;
  streamBuffer_.reset();
  delete interfaces_;
  interfaces_ = nullptr;
  dlt_ = -1;
  pcapng_ = false;
}

std::string CaptureReader::dltName() const {
  const char* name = pcap_datalink_val_to_name(dlt_);
  return name != nullptr ? name : "DLT " + std::to_string(dlt_);
}

}  // namespace hostsim
