// The remote desktop detectors: Connect-Initial domain parameters (6043) and the MS_T120 channel
// request (6137) on exact-size payloads, and the per-source TLS record-length sequence (6146).
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <thread>

#include "detectors/detector_run.h"
#include "kt_hooks.h"
#include "nips/detectors/detectors.h"
#include "nips/tracking/tracking.h"
#include "testlib/fake_packet.h"

namespace rtest {
namespace {

using dtest::RunDetector;
using testlib::Bytes;
using testlib::FakePacket;

constexpr UCHAR kData = kTcpFlagAck | 0x08;
constexpr char kClient[] = "10.1.1.1";

Bytes Cat(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
Bytes Head(Bytes b, size_t n) { return b.resize(n), b; }
Bytes Set(Bytes b, size_t at, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), b.begin() + at);
  return b;
}
Bytes Le16(uint16_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
Bytes Le32(uint32_t v) { return Cat(Le16(uint16_t(v)), Le16(uint16_t(v >> 16))); }

auto Segment(const Bytes& payload, uint16_t port = 3389, const std::string& source = kClient) {
  return FakePacket::Tcp(source, 50123, "10.9.9.9", port, kData, payload);
}
ULONG Judge(NipsDetector d, const Bytes& payload, uint16_t port = 3389) {
  return RunDetector(d, *Segment(payload, port));
}

// ---- 6043: Connect-Initial ---------------------------------------------------------------------

// A BER INTEGER of width content bytes, big-endian.
Bytes Integer(uint32_t value, int width) {
  Bytes b = {0x02, uint8_t(width)};
  for (int i = width - 1; i >= 0; --i) b.push_back(uint8_t(value >> (8 * i)));
  return b;
}
// A DomainParameters SEQUENCE led by the given INTEGERs, filled up with one-byte INTEGERs and one
// last INTEGER of 1 to 4 bytes so that its length comes out 25 or 28.
Bytes Parameters(const Bytes& lead) {
  for (size_t total : {25, 28})
    for (size_t fill = 0; fill < 8; ++fill) {
      const long last = long(total) - long(lead.size()) - 3 * long(fill) - 2;
      if (last < 1 || last > 4) continue;
      Bytes b = Cat({0x30, uint8_t(total)}, lead);
      for (size_t i = 0; i < fill; ++i) b = Cat(b, Integer(1, 1));
      return Cat(b, Integer(0xFFFF, int(last)));
    }
  ADD_FAILURE() << "no DomainParameters fill for " << lead.size();
  return {};
}
// TPKT, X.224 data, the Connect-Initial tag with a two-byte length, domain selectors and the
// upward flag, then target, minimum and maximum parameters and some user data.
Bytes ConnectInitial(const Bytes& channels = Integer(34, 1), const Bytes& users = Integer(2, 1),
                     const Bytes& maxChannels = Integer(0xFFFF, 2)) {
  const Bytes head = {0x03, 0x00, 0x01, 0x94, 0x02, 0xF0, 0x80, 0x7F, 0x65, 0x82, 0x01,
                      0x88, 0x04, 0x01, 0x01, 0x04, 0x01, 0x01, 0x01, 0x01, 0xFF};
  Bytes b = Cat(head, Parameters(Cat(channels, users)));
  b = Cat(b, Parameters(Cat(Integer(1, 1), Integer(1, 1))));
  b = Cat(b, Parameters(Cat(maxChannels, Integer(0xFC17, 2))));
  return Cat(b, Bytes(20, 0x44));
}

TEST(RdpConnectInitial, DomainParameterBoundaries) {
  struct Row {
    Bytes bytes;
    ULONG expected;
  } rows[] = {
      {ConnectInitial(), kDetectNoMatch},
      {ConnectInitial(Integer(5, 1)), kDetectMatch},
      {ConnectInitial(Integer(6, 1)), kDetectNoMatch},
      {ConnectInitial(Integer(5, 2)), kDetectMatch},
      {ConnectInitial(Integer(6, 2)), kDetectNoMatch},
      {ConnectInitial(Integer(0x100, 2)), kDetectNoMatch},
      {ConnectInitial(Integer(5, 4)), kDetectMatch},
      {ConnectInitial(Integer(6, 4)), kDetectNoMatch},
      {ConnectInitial(Integer(0x01000005, 4)), kDetectNoMatch},
      {ConnectInitial(Integer(34, 1), Integer(8, 1)), kDetectMatch},
      {ConnectInitial(Integer(34, 1), Integer(7, 1)), kDetectNoMatch},
      {ConnectInitial(Integer(34, 1), Integer(8, 2)), kDetectMatch},
      {ConnectInitial(Integer(34, 1), Integer(7, 2)), kDetectNoMatch},
      {ConnectInitial(Integer(34, 1), Integer(8, 4)), kDetectMatch},
      {ConnectInitial(Integer(34, 1), Integer(7, 4)), kDetectNoMatch},
      {ConnectInitial(Integer(6, 2), Integer(7, 4)), kDetectNoMatch},
      {ConnectInitial(Integer(34, 1), Integer(2, 1), Integer(5, 1)), kDetectMatch},
      {ConnectInitial(Integer(34, 1), Integer(2, 1), Integer(6, 1)), kDetectNoMatch},
      {ConnectInitial(Integer(34, 1), Integer(2, 1), Integer(1, 4)), kDetectMatch},
      {ConnectInitial(Integer(34, 1), Integer(2, 1), Integer(5, 2)), kDetectMatch},
      // Lengths other than 1, 2 and 4 are not judged; the next test still runs.
      {ConnectInitial(Integer(1, 3), Integer(2, 1)), kDetectNoMatch},
      {ConnectInitial(Integer(1, 3), Integer(8, 1)), kDetectMatch},
      {ConnectInitial(Integer(1, 3), Integer(2, 1), Integer(5, 1)), kDetectMatch},
      {ConnectInitial(Integer(34, 1), Integer(9, 3)), kDetectNoMatch},
      {ConnectInitial(Integer(34, 1), Integer(2, 1), Integer(5, 3)), kDetectNoMatch},
      // The gate: TPKT 3.0, tag 0x65 0x82, a SEQUENCE of 25 or 28.
      {Set(ConnectInitial(Integer(5, 1)), 0, {0x02}), kDetectNoMatch},
      {Set(ConnectInitial(Integer(5, 1)), 1, {0x01}), kDetectNoMatch},
      {Set(ConnectInitial(Integer(5, 1)), 8, {0x66}), kDetectNoMatch},
      {Set(ConnectInitial(Integer(5, 1)), 9, {0x81}), kDetectNoMatch},
      {Set(ConnectInitial(Integer(5, 1)), 21, {0x31}), kDetectNoMatch},
      {Set(ConnectInitial(Integer(5, 1)), 22, {0x1A}), kDetectNoMatch},
      // The minimum or maximum parameters header is not a DomainParameters: the scan stops, even
      // though an attack follows.
      {Cat(Set(ConnectInitial(), 49, {0x1A}), ConnectInitial(Integer(5, 1))), kDetectNoMatch},
      {Cat(Set(ConnectInitial(), 48, {0x31}), ConnectInitial(Integer(5, 1))), kDetectNoMatch},
      {Cat(Set(ConnectInitial(), 76, {0x1D}), ConnectInitial(Integer(5, 1))), kDetectNoMatch},
      {Cat(Set(ConnectInitial(), 75, {0x31}), ConnectInitial(Integer(5, 1))), kDetectNoMatch},
      {Set(ConnectInitial(Integer(34, 1), Integer(2, 1), Integer(5, 1)), 49, {0x1C}),
       kDetectNoMatch},  // the maximum parameters are then looked for 3 bytes further on
      // A candidate that fails the gate is passed over: found 10 bytes in, or after another.
      {Cat(Bytes(10, 0x03), ConnectInitial(Integer(5, 1))), kDetectMatch},
      {Cat(Set(ConnectInitial(), 22, {0x1A}), ConnectInitial(Integer(5, 1))), kDetectMatch},
      {Cat(ConnectInitial(), ConnectInitial(Integer(5, 1))), kDetectMatch},
      // 26 bytes leave no candidate; 27 leave one, whose maxChannelIds is its 26th byte.
      {Head(ConnectInitial(Integer(5, 1)), 26), kDetectNoMatch},
      {Head(ConnectInitial(Integer(5, 1)), 27), kDetectMatch},
      {Head(ConnectInitial(Integer(5, 4)), 28), kDetectNoMatch},  // its value runs past the end
      {Head(ConnectInitial(Integer(5, 4)), 29), kDetectMatch},
      {Head(ConnectInitial(), 76), kDetectNoMatch},  // cut inside the maximum parameters
      {Head(ConnectInitial(Integer(34, 1), Integer(2, 1), Integer(5, 2)), 80), kDetectNoMatch},
      {Head(ConnectInitial(Integer(34, 1), Integer(2, 1), Integer(5, 2)), 81), kDetectMatch},
  };
  int n = 0;
  for (const Row& row : rows)
    EXPECT_EQ(Judge(DetectRdpBadDomainParameters, row.bytes), row.expected) << "row " << n++;
  for (uint16_t port : {3388, 3390, 0x3D0D, 443})
    EXPECT_EQ(Judge(DetectRdpBadDomainParameters, ConnectInitial(Integer(5, 1)), port),
              kDetectNoMatch);
  auto packet = Segment(Bytes(25, 3));
  EXPECT_EQ(RunDetector(DetectRdpBadDomainParameters, *packet), kDetectNoMatch);
  EXPECT_EQ(packet->payloadLengthArguments(), std::vector<ULONG64>{0});  // no pointer fetched
}

// ---- 6137: MS_T120 in the client network block -------------------------------------------------

struct Block {
  uint16_t type;
  Bytes body;
};
Bytes Blocks(const std::vector<Block>& blocks) {
  Bytes b;
  for (const Block& k : blocks)
    b = Cat(b, Cat(Cat(Le16(k.type), Le16(uint16_t(4 + k.body.size()))), k.body));
  return b;
}
// A network block body: the count, then one 12-byte definition per name.
Bytes Channels(uint32_t count, const std::vector<std::string>& names) {
  Bytes b = Le32(count);
  for (const std::string& name : names) {
    Bytes entry(12, 0);
    std::copy(name.begin(), name.begin() + std::min<size_t>(name.size(), 8), entry.begin());
    entry[8] = 0x80;  // options
    b = Cat(b, entry);
  }
  return b;
}
// A connection request: TPKT, X.224 data, the conference-create header up to the core block at
// coreAt, then core, cluster, security and network blocks.
Bytes ChannelRequest(const Bytes& network, size_t coreAt = 132,
                     std::vector<uint16_t> order = {0xC001, 0xC004, 0xC002}) {
  Bytes b(coreAt, 0x11);
  b = Set(b, 0, {0x03, 0x00, 0x01, 0x00, 0x02, 0xF0, 0x80});
  std::vector<Block> blocks;
  for (uint16_t type : order) blocks.push_back({type, Bytes(type == 0xC001 ? 212 : 8, 0)});
  blocks.push_back({0xC003, network});
  return Cat(b, Blocks(blocks));
}

TEST(RdpChannelRequest, ChannelListBoundaries) {
  const std::vector<std::string> many(31, "rdpdr"), more(32, "rdpdr");
  auto with = [](std::vector<std::string> v, size_t at, const std::string& name) {
    return v.at(at) = name, v;
  };
  const Bytes t120 = ChannelRequest(Channels(1, {"MS_T120"}));
  const Bytes alt = Set(ChannelRequest(Channels(1, {"MS_T120"}), 150), 132, Le16(0xC002));
  struct Row {
    Bytes bytes;
    ULONG expected;
  } rows[] = {
      {t120, kDetectMatch},
      {ChannelRequest(Channels(1, {"ms_t120"})), kDetectMatch},
      {ChannelRequest(Channels(1, {"Ms_t120"})), kDetectMatch},
      {ChannelRequest(Channels(1, {"MS_T1200"})), kDetectNoMatch},
      {ChannelRequest(Channels(1, {"MS_T12"})), kDetectNoMatch},
      {ChannelRequest(Channels(1, {"MS-T120"})), kDetectNoMatch},
      {ChannelRequest(Channels(1, {"rdpdr"})), kDetectNoMatch},
      {ChannelRequest(Channels(3, {"rdpdr", "cliprdr", "MS_T120"})), kDetectMatch},
      {ChannelRequest(Channels(2, {"rdpdr", "cliprdr", "MS_T120"})), kDetectNoMatch},
      {ChannelRequest(Channels(31, with(many, 30, "MS_T120"))), kDetectMatch},
      {ChannelRequest(Channels(32, with(many, 0, "MS_T120"))), kDetectNoMatch},
      {ChannelRequest(Channels(30, with(many, 30, "MS_T120"))), kDetectNoMatch},
      // A count of 0 walks at most 31 entries.
      {ChannelRequest(Channels(0, with(many, 30, "MS_T120"))), kDetectMatch},
      {ChannelRequest(Channels(0, with(more, 31, "MS_T120"))), kDetectNoMatch},
      {ChannelRequest(Channels(0, {"rdpdr"})), kDetectNoMatch},  // ends with the payload
      // A first byte of 0 ends the walk.
      {ChannelRequest(Channels(2, {"", "MS_T120"})), kDetectNoMatch},
      {ChannelRequest(Channels(2, {std::string("\0S_T120", 7), "MS_T120"})), kDetectNoMatch},
      // The entry must lie wholly within the payload, options included.
      {Head(t120, t120.size() - 1), kDetectNoMatch},
      {Cat(t120, {0}), kDetectMatch},
      // The core block at 150 only when 132 is not one and the payload has 154 bytes.
      {alt, kDetectMatch},
      {Set(alt, 132, Le16(0xC001)), kDetectNoMatch},
      // Blocks out of order, a zero block length, a network block cut inside its header.
      {ChannelRequest(Channels(1, {"MS_T120"}), 132, {0xC001, 0xC002, 0xC004}), kDetectNoMatch},
      {Set(t120, 134, Le16(0)), kDetectNoMatch},
      {Head(t120, 132 + 216 + 12 + 12 + 7), kDetectNoMatch},
      // TPKT version, X.224 code, length floors.
      {Set(t120, 0, {23}), kDetectNoMatch},
      {Set(t120, 5, {0xE0}), kDetectNoMatch},
      {Head(t120, 135), kDetectNoMatch},
      {Head(alt, 153), kDetectNoMatch},
      {Head(t120, 4), kDetectNoMatch},
      {Bytes{3, 0, 0}, kDetectNoMatch},
  };
  int n = 0;
  for (const Row& row : rows)
    EXPECT_EQ(Judge(DetectRdpMsT120ChannelRequest, row.bytes), row.expected) << "row " << n++;
  for (uint16_t port : {3388, 3390, 0x3D0D})
    EXPECT_EQ(Judge(DetectRdpMsT120ChannelRequest, t120, port), kDetectNoMatch);
}

// ---- 6146: TLS record lengths per source -------------------------------------------------------

Bytes Record(uint16_t length, uint8_t type = 23, uint8_t major = 3) {
  return {type, major, 3, uint8_t(length >> 8), uint8_t(length)};
}
std::vector<uint16_t> Sequence(int middle) {
  std::vector<uint16_t> s = {500, 48, 32};
  s.insert(s.end(), middle, 48);
  s.push_back(384);
  return s;
}

class RdpTlsSequenceTest : public dtest::TrackedTest {
 protected:
  ULONG Send(const Bytes& payload, const std::string& source = kClient) {
    return RunDetector(DetectRdpTlsRecordSequence, *Segment(payload, 3389, source));
  }
  // The results of the lengths in turn, as a string of digits.
  std::string Play(const std::vector<uint16_t>& lengths, const std::string& source = kClient) {
    std::string results;
    for (uint16_t length : lengths) results += char('0' + Send(Record(length), source));
    return results;
  }
  std::optional<ULONG> State(const std::string& source = kClient) {
    HostRecord r;
    return FindRecord(source, &r) ? std::optional(r.sig6146State) : std::nullopt;
  }
};

TEST_F(RdpTlsSequenceTest, SevenMiddleRecordsMatchSixDoNot) {
  EXPECT_EQ(Play(Sequence(7)), "00000000002");
  EXPECT_FALSE(State());
  EXPECT_EQ(Play(Sequence(6)), "0000000000");
  EXPECT_FALSE(State());  // state 9 with 384 breaks the sequence
  EXPECT_EQ(Play(Sequence(8)), "000000000000");
  EXPECT_FALSE(State());
}

TEST_F(RdpTlsSequenceTest, PositionsAndBreaks) {
  EXPECT_EQ(Play({431, 48}), "00");
  EXPECT_FALSE(State());  // below 432 from a source without a record: nothing
  EXPECT_EQ(Play({432}), "0");
  EXPECT_EQ(State(), 1u);
  const std::vector<uint16_t> steps = {48, 32, 48, 48, 48, 48, 48, 48, 48};
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_EQ(Send(Record(433)), kDetectNoMatch);  // large records leave the position alone
    EXPECT_EQ(State(), 1 + i);
    EXPECT_EQ(Send(Record(steps[i])), kDetectNoMatch);
    EXPECT_EQ(State(), 2 + i);
  }
  EXPECT_EQ(Send(Record(0xFFFF)), kDetectNoMatch);
  EXPECT_EQ(Send(Record(384)), kDetectMatch);
  // Each wrong length, at each position, removes the record.
  const std::vector<uint16_t> good = {48, 32, 48, 48, 48, 48, 48, 48, 48, 384};
  for (size_t at = 0; at < good.size(); ++at)
    for (uint16_t wrong :
         {uint16_t(good[at] - 1), uint16_t(good[at] + 1), uint16_t(good[at] == 48 ? 32 : 48)}) {
      const std::string source = "10.3." + std::to_string(at) + "." + std::to_string(wrong & 0xFF);
      std::vector<uint16_t> lengths = {500};
      lengths.insert(lengths.end(), good.begin(), good.begin() + at);
      lengths.push_back(wrong);
      EXPECT_EQ(Play(lengths, source), std::string(lengths.size(), '0')) << at << " " << wrong;
      EXPECT_FALSE(State(source)) << at << " " << wrong;
    }
}

// The TLS look: content type 23 or major version 3 suffices; 4 bytes are ignored.
TEST_F(RdpTlsSequenceTest, RecordHeaderGate) {
  EXPECT_EQ(Send(Record(500, 22, 3)), kDetectNoMatch);
  EXPECT_EQ(State(), 1u);
  EXPECT_EQ(Send(Record(48, 23, 2)), kDetectNoMatch);
  EXPECT_EQ(State(), 2u);
  EXPECT_EQ(Send(Record(32, 22, 2)), kDetectNoMatch);
  EXPECT_EQ(Send(Head(Record(32), 4)), kDetectNoMatch);
  EXPECT_EQ(State(), 2u);
  auto packet = Segment(Record(32), 3390);
  EXPECT_EQ(RunDetector(DetectRdpTlsRecordSequence, *packet), kDetectNoMatch);
  EXPECT_EQ(State(), 2u);
  EXPECT_EQ(Send(Record(32)), kDetectNoMatch);
  EXPECT_EQ(State(), 3u);
}

// A record another detector made (state 0) is removed by the first small record, with that
// detector's state; a failed creation aborts.
TEST_F(RdpTlsSequenceTest, SharedRecordAndFailedCreation) {
  kt::FailAllocationsWithTag(kt::Tag("Qvat"));
  EXPECT_EQ(Send(Record(500)), kDetectError);
  EXPECT_EQ(Send(Record(48)), kDetectNoMatch);
  kt::ClearPoolFaults();
  const HostAddress a = testlib::MakeAddress(kClient);
  HostRecord* r = nullptr;
  ASSERT_EQ(CreateHostRecord(&a, &r), STATUS_SUCCESS);
  r->sig6100Count = 7;
  ReleaseHostRecord(r);
  EXPECT_EQ(Play({500, 48}), "00");
  EXPECT_FALSE(State());
}

// The seven middle records split between two threads sent at once: with the record's lock each
// one moves the position exactly once, so the last record always matches (and under TSan the
// state field is never raced).
TEST_F(RdpTlsSequenceTest, MiddleRecordsFromTwoThreads) {
  for (int round = 0; round < 200; ++round) {
    ASSERT_EQ(Play({500, 48, 32}), "000");
    std::atomic<int> ready{0};
    auto send = [&](int count) {
      ++ready;
      while (ready.load() < 2) std::this_thread::yield();
      for (int i = 0; i < count; ++i) EXPECT_EQ(Send(Record(48)), kDetectNoMatch);
    };
    std::thread other(send, 3);
    send(4);
    other.join();
    ASSERT_EQ(State(), 10u) << round;
    ASSERT_EQ(Send(Record(384)), kDetectMatch) << round;
  }
}

}  // namespace
}  // namespace rtest
