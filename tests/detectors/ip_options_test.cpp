// The IPv4 option detectors: malformed source routes (3801) and a truncated last option in a
// 60-byte header (3725).
#include <tuple>

#include "detectors/detector_run.h"

namespace dtest {
namespace {

using Options = std::vector<uint8_t>;
constexpr uint8_t kLsrr = 131, kSsrr = 137, kNop = 1;

// An ICMP echo whose IPv4 header carries the options (header length from their count).
std::unique_ptr<FakePacket> Icmp(const Options& options) {
  Bytes header = {static_cast<uint8_t>(0x40 | (20 + options.size()) / 4),
                  0,
                  0,
                  0,
                  0,
                  0,
                  0,
                  0,
                  64,
                  1,
                  0,
                  0,
                  10,
                  1,
                  1,
                  1,
                  10,
                  9,
                  9,
                  9};
  header.insert(header.end(), options.begin(), options.end());
  return FakePacket::Raw(kIpProtocolIcmp, header, {8, 0, 0, 0, 0, 1, 0, 1}, {});
}
ULONG Check(NipsDetector d, const Options& options) { return RunDetector(d, *Icmp(options)); }
Options Route(uint8_t type, uint8_t length, uint8_t pointer, size_t size) {
  Options o = {type, length, pointer};
  o.resize(size, 0x0A);
  return o;
}
Options Cat(Options a, const Options& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
Options Nops(size_t n, Options tail = {}) { return Cat(Options(n, kNop), tail); }

TEST(IpOptionsTest, SourceRouteRules) {
  const std::tuple<Options, ULONG> rows[] = {
      {{kNop, kNop, kNop, 0}, 0},
      {Cat(Route(kLsrr, 7, 4, 7), {0}), 2},    // pointer on the last entry: 4 >= 7 - 3
      {Cat(Route(kLsrr, 11, 4, 11), {0}), 0},  // well formed
      {Cat(Route(kSsrr, 11, 4, 11), {0}), 0},
      {Cat(Route(kLsrr, 11, 8, 11), {0}), 2},
      {Cat(Route(kLsrr, 11, 5, 11), {0}), 2},  // misaligned
      {Cat(Route(kLsrr, 12, 7, 12), {}), 2},
      {Cat(Route(kLsrr, 12, 8, 12), {}), 0},
      {Cat(Route(kSsrr, 6, 4, 7), {0}), 2},
      {Cat(Route(kSsrr, 7, 0, 7), {0}), 0},  // pointer 0: aligned, before the last entry
      {Route(kLsrr, 40, 4, 20), 2},          // overruns the header
      {Route(kLsrr, 21, 4, 20), 2},
      {Route(kLsrr, 20, 4, 20), 0},
      {Cat({7, 0, 0, 0}, Route(kLsrr, 3, 4, 8)), 0},  // a length of 0 ends the walk
      {Cat({7, 4, 0, 0}, Route(kLsrr, 3, 4, 8)), 2},  // record route skipped by its length
      {Cat({0, 0, 0, 0}, Route(kLsrr, 3, 4, 8)), 0},
      {Cat(Route(kLsrr, 11, 4, 11), Route(kSsrr, 5, 4, 5)), 2},  // the second route decides
      {Nops(3, {kLsrr}), 2},                                     // in the last byte: no length
      {Nops(2, {kSsrr, 7}), 2},                                  // in the last two bytes
      {Nops(3, {7}), 0},                                         // another type in the last byte
      {Options{}, 0},
  };
  int row = 0;
  for (const auto& [options, expected] : rows)
    EXPECT_EQ(Check(DetectSourceRouteOptionMalformed, options), expected) << row++;
  // IPv6 destination: the header is not asked for.
  auto v6 = Icmp(Route(kLsrr, 3, 4, 8));
  v6->SetAddresses(testlib::MakeAddress("fe80::1"), testlib::MakeAddress("fe80::2"));
  v6->SetNullIpHeader(true);
  EXPECT_EQ(RunDetector(DetectSourceRouteOptionMalformed, *v6), 0u);
}

TEST(IpOptionsTest, TruncatedLastOptionOfA60ByteHeader) {
  const std::tuple<Options, ULONG> rows[] = {
      {Nops(38, {7, 2}), 0},  // ends at byte 40 exactly
      {Nops(39, {7}), 2},
      {Nops(39, {0x44}), 2},
      {Nops(39, {0}), 0},
      {Nops(39, {1}), 0},
      {Nops(40), 0},
      {Cat(Route(7, 39, 4, 39), {7}), 2},
      {Cat(Route(7, 39, 4, 39), {1}), 0},
      {Cat(Route(7, 38, 4, 38), {7, 2}), 0},
      {Cat(Route(7, 40, 4, 39), {7}), 0},  // jumps past
      {Cat({0}, Nops(38, {7})), 0},
      {Cat({7, 0}, Nops(37, {7})), 0},
      {Cat(Route(kLsrr, 3, 4, 3), Nops(36, {7})), 2},  // any kind; the length steps
      {Nops(35, {7}), 0},                              // a 56-byte header
  };
  int row = 0;
  for (const auto& [options, expected] : rows)
    EXPECT_EQ(Check(DetectIpv4TruncatedLastOption, options), expected) << row++;
  auto v6 = Icmp(Nops(39, {7}));
  v6->SetAddresses(testlib::MakeAddress("fe80::1"), testlib::MakeAddress("fe80::2"));
  EXPECT_EQ(RunDetector(DetectIpv4TruncatedLastOption, *v6), 0u);
}

}  // namespace
}  // namespace dtest
