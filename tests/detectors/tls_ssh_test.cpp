// The TLS heartbeat detector (6058) and the SSH key-exchange burst (6500) with its window.
#include <string>
#include <tuple>

#include "detectors/detector_run.h"

namespace dtest {
namespace {

constexpr char kClient[] = "10.3.3.3";
const std::string kGroups = "diffie-hellman-group-exchange-sha1,diffie-hellman-group1-sha1";

Bytes Heartbeat(std::initializer_list<uint8_t> head, size_t length) {
  Bytes b(head);
  b.resize(length, 0x41);
  return b;
}

// Packet length, padding length, code, cookie, then the two name-lists; the declared lengths
// can be overridden. Padded to at least 67 bytes.
Bytes KexInit(const std::string& kex, const std::string& hostKeys, uint8_t code = 20,
              uint32_t kexLength = ~0u, uint32_t hostKeyLength = ~0u) {
  Bytes b = {0, 0, 1, 0, 4, code};
  b.resize(22, 0xC0);
  auto list = [&](const std::string& s, uint32_t n) {
    if (n == ~0u) n = static_cast<uint32_t>(s.size());
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(n >> (8 * i)));
    b.insert(b.end(), s.begin(), s.end());
  };
  list(kex, kexLength);
  list(hostKeys, hostKeyLength);
  if (b.size() < 67) b.resize(67, 0);
  return b;
}
const Bytes kOffer = KexInit(kGroups, "ssh-rsa,ssh-dss");

class SshTest : public TrackedTest {
 protected:
  ULONG Send(const Bytes& b, const char* source = kClient, uint16_t port = 22) {
    return RunTcp(DetectSshDssKexBurst, port, b, source);
  }
  // The count after sending one packet from a fresh source (-1: no record).
  int CountAfter(const Bytes& b, uint16_t port = 22) {
    const std::string source = "10.4.0." + std::to_string(++sources_);
    EXPECT_EQ(Send(b, source.c_str(), port), 0u);
    HostRecord r;
    return FindRecord(source, &r) ? int(r.sig6500Count) : -1;
  }
  int sources_ = 0;
};

TEST(TlsTest, HeartbeatRequestsLongerThanTheSegment) {
  const std::tuple<Bytes, ULONG> rows[] = {
      {{0x18, 3, 2, 0, 3, 1, 0x40, 0}, 2},
      {Heartbeat({0x18, 3, 2, 0, 3, 1, 0, 2}, 24), 0},
      {Heartbeat({0x18, 3, 1, 0, 3, 1, 0, 24}, 24), 0},  // equal is not more
      {Heartbeat({0x18, 3, 1, 0, 3, 1, 0, 25}, 24), 2},
      {Heartbeat({0x18, 3, 0, 0, 0, 1, 1, 0}, 200), 2},  // SSL 3.0; the record length is not read
      {Heartbeat({0x18, 3, 3, 0xFF, 0xFF, 1, 0xFF, 0xFF}, 200), 2},
      {Heartbeat({0x18, 3, 4, 0, 3, 1, 0x40, 0}, 200), 0},
      {Heartbeat({0x18, 3, 2, 0, 3, 2, 0x40, 0}, 200), 0},  // a response
      {Heartbeat({0x18, 2, 2, 0, 3, 1, 0x40, 0}, 200), 0},
      {Heartbeat({0x17, 3, 2, 0, 3, 1, 0x40, 0}, 200), 0},
      {{0x18, 3, 2, 0, 3, 1, 0x40}, 0},  // the length's second byte is missing
  };
  int row = 0;
  for (const auto& [payload, expected] : rows)
    EXPECT_EQ(RunTcp(DetectTlsHeartbeatOverlength, 443, payload), expected) << row++;
  const Bytes attack = std::get<0>(rows[0]);
  for (uint16_t port : {442, 444, 0xBB01})
    EXPECT_EQ(RunTcp(DetectTlsHeartbeatOverlength, port, attack), 0u);
  auto server = FakePacket::Tcp("10.9.9.9", 443, "10.1.1.1", 50000, 0x18, attack);
  EXPECT_EQ(RunDetector(DetectTlsHeartbeatOverlength, *server), 0u);
  auto shortOne = FakePacket::Tcp("10.1.1.1", 50000, "10.9.9.9", 443, 0x18, Bytes(6, 0x18));
  EXPECT_EQ(RunDetector(DetectTlsHeartbeatOverlength, *shortOne), 0u);
  EXPECT_EQ(shortOne->payloadLengthArguments(), std::vector<ULONG64>{0});
}

// Which segments count, which only create the record, and which do not touch the store.
TEST_F(SshTest, QualifyingOffers) {
  const std::tuple<Bytes, int> rows[] = {
      {kOffer, 1},
      {KexInit(kGroups, "ssh-dss"), 1},
      {KexInit(kGroups, "x-ssh-dss-cert"), 1},  // inside a longer name
      {KexInit("diffie-hellman-group1-sha1", "ssh-dss"), 0},
      {KexInit("diffie-hellman-group-exchange-sha1", "ssh-dss"), 0},
      {KexInit(kGroups, "ssh-rsa"), 0},
      {KexInit(kGroups + ",ssh-dss", "ssh-rsa"), 0},  // the host key in the wrong list
      {KexInit("x", kGroups + ",ssh-dss"), 0},
      {KexInit(kGroups, "ssh-rsa,SSH-DSS"), 0},  // exact bytes
      {KexInit(kGroups, "ssh-dss", 21), 0},
      {KexInit(kGroups, "ssh-dss", 20, 200), 0},         // the kex list runs past the segment
      {KexInit(kGroups, "ssh-dss", 20, 61 + 4 + 7), 0},  // ... swallows the host-key list
      {KexInit(kGroups, "ssh-dss", 20, ~0u, 8), 0},      // the host-key list one byte past
      {KexInit(kGroups, "ssh-dss", 20, 0x80000000u), 0},
      {Bytes(67, 0), 0},  // no offer: the record is created all the same
      {Bytes(66, 20), -1},
  };
  int row = 0;
  for (const auto& [payload, count] : rows) EXPECT_EQ(CountAfter(payload), count) << row++;
  for (uint16_t port : {21, 23, 0x1600}) EXPECT_EQ(CountAfter(kOffer, port), -1) << port;
  kt::FailAllocationsWithTag(kt::Tag("Qvat"));
  EXPECT_EQ(Send(Bytes(67, 0), "10.4.9.9"), kDetectError);
  EXPECT_EQ(Send(Bytes(66, 0), "10.4.9.9"), kDetectNoMatch);
}

// 15 offers spread over 45000 ms count; the 16th at exactly 45000 ms matches, takes the record
// out and the 17th opens a new window. 45001 ms after a window's start, an offer restarts it.
TEST_F(SshTest, SixteenOffersWithin45Seconds) {
  for (int i = 1; i <= 15; ++i, kt::AdvanceSystemTimeMs(3000)) ASSERT_EQ(Send(kOffer), 0u) << i;
  HostRecord r;
  ASSERT_TRUE(FindRecord(kClient, &r));
  EXPECT_EQ(r.sig6500Count, 15u);
  // Now exactly 45000 ms after the first offer.
  EXPECT_EQ(Send(kOffer), 2u);
  EXPECT_FALSE(FindRecord(kClient));
  EXPECT_EQ(Send(kOffer), 0u);
  ASSERT_TRUE(FindRecord(kClient, &r));
  EXPECT_EQ(std::pair(r.sig6500Count, r.sig6500Stamp != 0), std::pair(1u, true));

  const ULONG start = r.sig6500Stamp;
  kt::AdvanceSystemTimeMs(45001);
  EXPECT_EQ(Send(kOffer), 0u);
  ASSERT_TRUE(FindRecord(kClient, &r));
  EXPECT_EQ(std::pair(r.sig6500Count, r.sig6500Stamp), std::pair(1u, start + 45001));
  kt::AdvanceSystemTimeMs(45000);
  for (int i = 2; i <= 15; ++i) ASSERT_EQ(Send(kOffer), 0u) << i;
  // Non-qualifying segments neither count nor move the window.
  EXPECT_EQ(Send(KexInit(kGroups, "ssh-rsa")), 0u);
  EXPECT_EQ(Send(KexInit(kGroups, "ssh-dss", 20, 500)), 0u);
  ASSERT_TRUE(FindRecord(kClient, &r));
  EXPECT_EQ(std::pair(r.sig6500Count, r.sig6500Stamp), std::pair(15u, start + 45001));
  EXPECT_EQ(Send(kOffer, "10.3.3.4"), 0u);  // another source has its own window
  EXPECT_EQ(Send(kOffer), 2u);
}

}  // namespace
}  // namespace dtest
