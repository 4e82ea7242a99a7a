// Fuzz target: control requests 1 to 8 (and codes around them) with
// arbitrary buffers and lengths, in any order, interleaved with packets,
// against the driver loaded through its entry routine and the core driver's
// loader, as user mode reaches it. Each input gets a freshly loaded driver
// (so that a crash replays from its input alone) and must leave nothing
// allocated after unload.
//
// Input: a sequence of operations. An operation byte whose low nibble is 0-9
// is a control request with that code: a byte of buffer shape (bit 0 null
// input, bit 1 null output, bit 2 null returned-length), u16 input length,
// u16 output length (little-endian) and the input bytes (zeros when the input
// runs short). 10-15 is a packet: u16 length and that many bytes of IP
// packet through the firewall core.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "hostsim/decode.h"
#include "hostsim/driver_host.h"
#include "hostsim/packet.h"
#include "kt_hooks.h"
#include "nips/driver/content_driver.h"
#include "nips/engine/config.h"
#include "nips/engine/plugin.h"
#include "testlib/nimq_reader.h"

namespace {

#define FUZZ_CHECK(condition)  \
  do {                         \
    if (!(condition)) abort(); \
  } while (0)

constexpr size_t kMaxOperations = 48;
constexpr uint8_t kFirstPacketOperation = 10;
constexpr size_t kDrainRequestLength = 16;
constexpr size_t kMaxUserBuffer = 0x20000;

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
  uint16_t U16() {
    const uint16_t low = U8();
    return static_cast<uint16_t>(low | U8() << 8);
  }
  // Up to n bytes into an exact-size buffer padded with zeros.
  std::unique_ptr<uint8_t[]> Bytes(size_t n) {
    std::unique_ptr<uint8_t[]> out(new uint8_t[n]);
    const size_t have = std::min(n, size_ - std::min(at_, size_));
    if (have != 0) memcpy(out.get(), data_ + at_, have);
    if (n > have) memset(out.get() + have, 0, n - have);
    at_ += have;
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

void Request(hostsim::DriverHost& host, ULONG code, Input& in) {
  const uint8_t shape = in.U8();
  const size_t inputLength = in.U16();
  const size_t outputLength = in.U16();
  std::unique_ptr<uint8_t[]> input = in.Bytes(inputLength);
  std::unique_ptr<uint8_t[]> output(new uint8_t[outputLength]);
  std::vector<uint8_t> user;
  if (code == kControlDrainLog) {
    // A drain waits for records; never ask while none could come.
    if (g_contentDriver == nullptr || !testlib::LogReadable(g_contentDriver->plugin())) return;
    // The input names a user buffer: a real one, or one of the refused shapes,
    // never an address made of fuzzed bytes.
    if (inputLength == kDrainRequestLength) {
      ULONG64 request[2];
      memcpy(request, input.get(), sizeof request);
      user.resize(std::max<size_t>(1, request[1] % kMaxUserBuffer));
      request[0] = reinterpret_cast<ULONG64>(user.data());
      switch (shape >> 4 & 3) {
        case 1:
          request[0] = 0;
          break;
        case 2:
          request[1] = 0;
          break;
        default:
          request[1] = user.size();
      }
      memcpy(input.get(), request, sizeof request);
    }
  }
  uint64_t returned = 0;
  const NTSTATUS status = host.Control(code, (shape & 1) ? nullptr : input.get(), inputLength,
                                       (shape & 2) ? nullptr : output.get(), outputLength,
                                       (shape & 4) ? nullptr : &returned);
  if (code == 0 || code > kControlGetAdditionalData) FUZZ_CHECK(status == STATUS_NOT_IMPLEMENTED);
  if (NT_SUCCESS(status) && (shape & 4) == 0) FUZZ_CHECK(returned <= outputLength);
}

void Packet(hostsim::DriverHost& host, Input& in) {
  const size_t length = in.U16();
  std::unique_ptr<uint8_t[]> ip = in.Bytes(length);
  hostsim::DecodedPacket decoded;
  if (hostsim::DecodeIp(ip.get(), length, &decoded) != hostsim::DecodeResult::kOk) return;
  hostsim::SimPacket packet;
  packet.Reset(decoded);
  const std::optional<LONG> answer = host.Inspect(&packet);
  FUZZ_CHECK(answer.has_value());
  const hostsim::VerdictRecord& verdict = packet.verdict();
  if (*answer == kInspectDelivered) {
    FUZZ_CHECK(verdict.verdictCalls == 1 && verdict.reportCalls == 1);
  } else {
    FUZZ_CHECK(verdict.verdictCalls == 0 && verdict.reportCalls == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    kt::ResetWorld();
    return true;
  }();
  (void)once;
  Input in(data, size);
  {
    hostsim::DriverHost host;
    FUZZ_CHECK(host.Load() == STATUS_SUCCESS);
    for (size_t n = 0; n < kMaxOperations && !in.empty(); ++n) {
      const uint8_t operation = in.U8() & 0x0F;
      if (operation >= kFirstPacketOperation) {
        Packet(host, in);
      } else {
        Request(host, operation, in);
      }
    }
    host.Unload();
  }
  FUZZ_CHECK(kt::PoolOutstanding() == 0);
  return 0;
}
