// The DNS and LLMNR detectors (UDP) and the DNS-over-TCP detectors, run alone on exact-size
// payloads, with 6042's evidence text.
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

#include "detectors/detector_run.h"
#include "detectors/dns_packets.h"
#include "kt_hooks.h"
#include "nips/detectors/detectors.h"
#include "nips/detectors/dns_common.h"
#include "nips/engine/additional_data.h"
#include "nips/tracking/tracking.h"

namespace dtest {
namespace {

using namespace dnsmsg;
using testlib::FakePacket;

constexpr char kClient[] = "10.1.1.1";
constexpr char kServer[] = "10.9.9.9";
constexpr uint32_t kLoop1 = 0x7F010001, kLoop2 = 0x7F010002, kLoop3 = 0x7F010003;
constexpr uint32_t kMarker = 0x7FFFFFFF;  // 127.255.255.255

struct Result {
  ULONG value;
  ULONG index;  // additionalDataIndex after the call
};
Result RunDetector(NipsDetector d, FakePacket& p) {
  PacketView view{nullptr,       &p, p.GetFlow(), p.GetPacketData(), p.GetAdapter(),
                  p.GetBuffer(), 0,  nullptr};
  const ULONG value = d(&view);
  EXPECT_EQ(kt::HeldSpinLockCount(), 0);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  return {value, view.additionalDataIndex};
}
ULONG Udp(NipsDetector d, uint16_t sourcePort, uint16_t destinationPort, const Bytes& payload) {
  return RunDetector(d, *FakePacket::Udp(kServer, sourcePort, kClient, destinationPort, payload))
      .value;
}
ULONG Tcp(NipsDetector d, uint16_t sourcePort, uint16_t destinationPort, const Bytes& payload,
          const std::string& source = kClient) {
  return RunDetector(d,
                     *FakePacket::Tcp(source, sourcePort, kServer, destinationPort, 0x18, payload))
      .value;
}

std::u16string Text(const WCHAR* text) { return text ? std::u16string(text) : u"(null)"; }

// ---- Helpers -------------------------------------------------------------------------------

TEST(DnsHelpers, SkipDnsNameStepsOverBytesNotLabels) {
  struct Case {
    Bytes message;
    ULONG64 offset, left, offsetAfter;
  } cases[] = {
      {{3, 'a', 'b', 'c', 0, 9, 9}, 0, 2, 5},
      {{3, 'a', 0xC0, 0x0C, 9}, 0, 1, 4},         // a pointer inside a label still ends it
      {{0xC1, 0x40, 0xBF, 0xFF, 0, 1}, 0, 1, 5},  // bytes next to 0xC0 are ordinary
      {{5, 'a', 'b'}, 0, 0, 3},                   // runs to the end
      {{1, 'a', 0}, 0, 0, 3},                     // ends exactly at the end
      {{1, 'a', 0xC0}, 0, 0, 4},                  // a pointer cut by the end
      {{1, 0, 7}, 3, 0, 3},                       // at the end: unchanged
      {{1, 0, 7}, 9, 0, 9},                       // past it: unchanged
      {{0, 0, 0}, 1, 1, 2},
  };
  for (const Case& c : cases) {
    const testlib::ExactBytes exact(c.message);
    ULONG64 offset = c.offset;
    EXPECT_EQ(dns::SkipDnsName({exact.data(), exact.size()}, &offset), c.left);
    EXPECT_EQ(offset, c.offsetAfter);
    offset = c.offset;
    EXPECT_EQ(dns::SkipUpdateName({exact.data(), exact.size()}, &offset), c.left);
  }
}

TEST(DnsHelpers, FormatIpv4AddressWritesWireOrderWithoutLeadingZeros) {
  struct Case {
    uint8_t bytes[4];
    std::u16string text;
  } cases[] = {{{10, 0, 100, 7}, u"10.0.100.7"},
               {{0, 0, 0, 0}, u"0.0.0.0"},
               {{255, 255, 255, 255}, u"255.255.255.255"},
               {{100, 99, 9, 200}, u"100.99.9.200"}};
  for (const Case& c : cases) {
    ULONG address;
    memcpy(&address, c.bytes, 4);
    WCHAR text[dns::kIpv4TextChars + 2];
    std::fill(std::begin(text), std::end(text), 0xAAAA);
    EXPECT_EQ(dns::FormatIpv4Address(address, text), text);
    EXPECT_EQ(Text(text), c.text);
    for (size_t i = c.text.size(); i < dns::kIpv4TextChars; ++i) EXPECT_EQ(text[i], 0) << i;
    EXPECT_EQ(text[dns::kIpv4TextChars], 0xAAAA);  // nothing past the 18 characters
  }
}

// ---- 3803 ----------------------------------------------------------------------------------

const Bytes kQuestion = Question(Name("www.example.com"), 16);

Bytes Response(std::initializer_list<Bytes> records, uint8_t flags = kResponse) {
  Bytes b = Cat({Header(flags, 1, 1), kQuestion});
  for (const Bytes& r : records) b = Cat({b, r});
  return b;
}

TEST(DnsOversizedRecord, DataLengthBoundariesPerType) {
  const NipsDetector d = DetectDnsOversizedRecord;
  struct Case {
    uint16_t type, dataLength;
    ULONG expected;
  } cases[] = {
      {16, 10922, kDetectMatch},       {16, 10921, kDetectNoMatch}, {16, 0xFFFF, kDetectMatch},
      {13, 10922, kDetectMatch},       {13, 10921, kDetectNoMatch}, {19, 10922, kDetectMatch},
      {20, 10922, kDetectMatch},       {20, 10921, kDetectNoMatch}, {21, 10922, kDetectNoMatch},
      {1, 10922, kDetectNoMatch},      {34, 0, kDetectMatch},       {34, 1, kDetectNoMatch},
      {0x0110, 10922, kDetectNoMatch},  // the type is 16 bits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << "/" << c.dataLength);
    const Bytes b = Response({Record(kPointerToQuestion, c.type, c.dataLength)});
    EXPECT_EQ(Udp(d, 53, 40000, b), c.expected);
    EXPECT_EQ(Udp(d, 40000, 53, b), c.expected);
    EXPECT_EQ(Udp(d, 40000, 54, b), kDetectNoMatch);
    EXPECT_EQ(Udp(d, 0x3500, 40000, b), kDetectNoMatch);
  }
}

TEST(DnsOversizedRecord, WalkOverSectionsAndItsEnds) {
  const NipsDetector d = DetectDnsOversizedRecord;
  const Bytes a = Record(kPointerToQuestion, 1, 4, Address(0x0A000001));
  const Bytes atma = Record(Name("x.example"), 34, 0);
  const Bytes txt = Record(kPointerToQuestion, 16, 10922);
  struct Case {
    Bytes payload;
    ULONG expected;
  } cases[] = {
      // ATMA with no data in the additional section, after answer and authority records.
      {Cat({Header(kResponse, 1, 1, 1, 1), kQuestion, a, a, atma}), kDetectMatch},
      {Cat({Header(kResponse, 1, 0, 0, 0), kQuestion, a, a, atma}), kDetectMatch},  // no counts
      {Response({txt}, kQuery), kDetectNoMatch},                                    // a query
      {Response({txt}, 0x80), kDetectMatch},
      // A record header with 9 bytes after its name; then with all 10.
      {Response({Bytes(txt.begin(), txt.begin() + 11)}), kDetectNoMatch},
      {Response({Bytes(txt.begin(), txt.begin() + 12)}), kDetectMatch},
      // A question leaving only its type and class; two questions where one is counted.
      {Cat({Header(kResponse, 1, 0), kQuestion}), kDetectNoMatch},
      {Cat({Header(kResponse, 2, 1), kQuestion, txt}), kDetectNoMatch},  // txt read as question
      {Cat({Header(kResponse, 2, 1), kQuestion, kQuestion, txt}), kDetectMatch},
      {Cat({Header(kResponse, 0, 1), txt}), kDetectMatch},
      // A data length that walks past the end stops the walk; one that lands on the next.
      {Response({Record(kPointerToQuestion, 16, 4, {3, 'a', 'b', 'c'}), txt}), kDetectMatch},
      {Response({Record(kPointerToQuestion, 16, 5, {3, 'a', 'b', 'c'}), txt}), kDetectNoMatch},
      {Bytes(Header(kResponse, 0, 0)), kDetectNoMatch},  // the header alone
  };
  for (const Case& c : cases) EXPECT_EQ(Udp(d, 53, 40000, c.payload), c.expected) << (&c - cases);
  // The helper judges the same bytes.
  const testlib::ExactBytes exact(cases[0].payload);
  EXPECT_EQ(dns::ScanDnsResponseRecords({exact.data(), exact.size()}), kDetectMatch);
}

// ---- 6042 ----------------------------------------------------------------------------------

Bytes LoopbackResponse(const std::vector<uint32_t>& addresses, int answerCount = -1,
                       const Bytes& extraAnswer = {}) {
  Bytes b = Cat({Header(kResponse, 1,
                        static_cast<uint16_t>(answerCount < 0 ? addresses.size() : answerCount)),
                 Question(Name("wpad.example"))});
  for (uint32_t a : addresses) b = Cat({b, AnswerA(a)});
  return Cat({b, extraAnswer});
}

class DnsEvidenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    ASSERT_TRUE(AllocateAdditionalData());
  }
  void TearDown() override {
    FreeAdditionalData();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
  Result Loopback(const Bytes& payload, uint16_t sourcePort = 53) {
    return RunDetector(DetectDnsLoopbackAnswers,
                       *FakePacket::Udp(kServer, sourcePort, kClient, 40000, payload));
  }
};

TEST_F(DnsEvidenceTest, AddressRangesAtTheirEdges) {
  // Three counted loopback answers plus the address under test: the match needs a marker.
  struct Case {
    uint32_t address;
    bool marker, counted;
  } cases[] = {
      {0x7F00FFFF, false, false},  // 127.0.255.255
      {0x7F010000, false, true},   // 127.1.0.0
      {0x7FFEFFFF, false, true},   // 127.254.255.255
      {0x7FFF0000, true, false},   // 127.255.0.0
      {0x7FFFFFFF, true, false},   // 127.255.255.255
      {0x80000000, false, false}, {0x7E010001, false, false},
      {0x7F00352F, false, false},  // 127.0.53.47
      {0x7F003530, true, false},   // 127.0.53.48
      {0x7F003535, true, false},   // 127.0.53.53
      {0x7F00353F, true, false},   // 127.0.53.63
      {0x7F003540, false, false},  // 127.0.53.64
      {0x7F013535, false, true},   // 127.1.53.53: counted, not the block
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.address);
    EXPECT_EQ(Loopback(LoopbackResponse({kLoop1, kLoop2, kLoop3, c.address})).value,
              c.marker ? kDetectMatch : kDetectNoMatch);
    // Two counted answers, a marker and the address: counted ones make the third.
    EXPECT_EQ(Loopback(LoopbackResponse({kLoop1, c.address, kLoop2, kMarker})).value,
              c.counted ? kDetectMatch : kDetectNoMatch);
  }
}

TEST_F(DnsEvidenceTest, CountsDataLengthsAndPorts) {
  const std::vector<uint32_t> four = {kLoop1, kLoop2, kLoop3, kMarker};
  std::vector<uint32_t> many(124, 0x0A000001);
  many.insert(many.end(), four.begin(), four.end());  // 128 answers
  struct Case {
    Bytes payload;
    ULONG expected;
  } cases[] = {
      {LoopbackResponse(four), kDetectMatch},
      {LoopbackResponse({kLoop1, kLoop2, kMarker}), kDetectNoMatch},  // 3 answers
      {LoopbackResponse(four, 3), kDetectNoMatch},                    // counted 3 of 4
      {LoopbackResponse(many), kDetectMatch},                         // 128
      {LoopbackResponse(many, 129, AnswerA(1)), kDetectNoMatch},      // 129
      {LoopbackResponse(four, 5), kDetectNoMatch},                    // ends before the fifth
      // 127.0.x.x is not counted: two loopback answers only.
      {LoopbackResponse({0x7F000002, kLoop1, 0x7F020001, 0x7FFF0001}), kDetectNoMatch},
      // Data length 5 after enough answers; 4, 0 and any type or name are accepted.
      {LoopbackResponse(four, 5, AnswerA(1, 5)), kDetectNoMatch},
      {LoopbackResponse(four, 5, AnswerA(1, 0)), kDetectMatch},
      {Cat({Header(kResponse, 1, 4), Question(Name("a")), Record({9, 9}, 28, 4, Address(kLoop1)),
            Record({0, 0}, 5, 4, Address(kLoop2)), AnswerA(kLoop3), AnswerA(kMarker)}),
       kDetectMatch},
      {Put16(LoopbackResponse(four), 2, 0x0180), kDetectNoMatch},  // a query
  };
  for (const Case& c : cases) EXPECT_EQ(Loopback(c.payload).value, c.expected) << (&c - cases);
  EXPECT_EQ(Loopback(LoopbackResponse(four), 5353).value, kDetectNoMatch);
  EXPECT_EQ(RunDetector(DetectDnsLoopbackAnswers,
                        *FakePacket::Udp(kClient, 40000, kServer, 53, LoopbackResponse(four)))
                .value,
            kDetectNoMatch);  // destination 53 is not enough
}

TEST_F(DnsEvidenceTest, EvidenceTextByteForByteAndRingWrap) {
  const Result first = Loopback(LoopbackResponse({kLoop1, 0x0A000001, kLoop2, kLoop3, kMarker}));
  ASSERT_EQ(first.value, kDetectMatch);
  ASSERT_EQ(first.index, 1u);
  EXPECT_EQ(Text(AdditionalDataSlot(1)),
            u"IPAddresses 127.1.0.1 127.1.0.2 127.1.0.3 127.255.255.255");
  for (ULONG k = 2; k <= 128; ++k)
    ASSERT_EQ(Loopback(LoopbackResponse({0x7F0A0000 + k, kLoop2, kLoop3, 0x7F003530})).index, k);
  EXPECT_EQ(Text(AdditionalDataSlot(128)),
            u"IPAddresses 127.10.0.128 127.1.0.2 127.1.0.3 127.0.53.48");
  const Result wrapped = Loopback(LoopbackResponse({0x7FFF0000, 0x7FC8C8C8, kLoop1, kLoop2}));
  EXPECT_EQ(wrapped.index, 1u);
  EXPECT_EQ(Text(AdditionalDataSlot(1)),
            u"IPAddresses 127.255.0.0 127.200.200.200 127.1.0.1 127.1.0.2");
}

// 512 characters with the NUL: 30 addresses of 16 characters with their space and two of 10 end
// the text at character 511 exactly; the next address, however short, is left out whole.
TEST_F(DnsEvidenceTest, EvidenceNeverRunsPastItsSlot) {
  std::vector<uint32_t> answers(30, 0x7FFEFFFF);
  std::u16string expected = u"IPAddresses";
  for (int i = 0; i < 30; ++i) expected += u" 127.254.255.255";
  expected += u" 127.1.0.1 127.1.0.1";
  ASSERT_EQ(expected.size(), kAdditionalDataSlotChars - 1);
  for (uint32_t item : {kLoop1, kLoop1, 0x7FFF0000u, kLoop1}) answers.push_back(item);
  const Result full = Loopback(LoopbackResponse(answers));
  ASSERT_EQ(full.value, kDetectMatch);
  const WCHAR* slot = AdditionalDataSlot(full.index);
  EXPECT_EQ(Text(slot), expected);
  // One character longer: the second short address no longer fits.
  answers[31] = 0x7F01000A;
  const Result over = Loopback(LoopbackResponse(answers));
  EXPECT_EQ(Text(AdditionalDataSlot(over.index)), expected.substr(0, expected.size() - 10));
  // 128 longest answers: 31 fit.
  const Result longest =
      Loopback(LoopbackResponse(std::vector<uint32_t>(127, 0x7FFEFFFF), 128, AnswerA(kMarker)));
  ASSERT_EQ(longest.value, kDetectMatch);
  const std::u16string text = Text(AdditionalDataSlot(longest.index));
  EXPECT_EQ(text.size(), 11u + 31 * 16);
  EXPECT_EQ(text.substr(text.size() - 16), u" 127.254.255.255");
}

TEST_F(DnsEvidenceTest, WithoutAStoreTheMatchHasNoEvidence) {
  FreeAdditionalData();
  const Result r = Loopback(LoopbackResponse({kLoop1, kLoop2, kLoop3, kMarker}));
  EXPECT_EQ(std::pair(r.value, r.index), std::pair(kDetectMatch, 0u));
}

// ---- 6044 ----------------------------------------------------------------------------------

TEST(LlmnrLeadingDotName, LengthDotAndPort) {
  const Bytes dotted = Cat({Header(0, 1, 0), Bytes{5, '.', 'c', 'o', 'r', 'p', 0, 0, 1, 0, 1}});
  ASSERT_EQ(dotted[13], '.');
  struct Case {
    Bytes payload;
    uint16_t port;
    ULONG expected;
  } cases[] = {
      {Bytes(dotted.begin(), dotted.begin() + 15), 5355, kDetectMatch},
      {Bytes(dotted.begin(), dotted.begin() + 14), 5355, kDetectNoMatch},
      {dotted, 5355, kDetectMatch},
      {Cat({Header(0, 1, 0), Question(Name("corp"))}), 5355, kDetectNoMatch},
      {dotted, 5354, kDetectNoMatch},
      {dotted, 53, kDetectNoMatch},
      {dotted, 0xEB14, kDetectNoMatch},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Udp(DetectLlmnrLeadingDotName, 40000, c.port, c.payload), c.expected) << (&c - cases);
  EXPECT_EQ(Udp(DetectLlmnrLeadingDotName, 5355, 40000, dotted), kDetectNoMatch);
}

// ---- 6173 ----------------------------------------------------------------------------------

// A TCP response: length prefix, header, question, then the SIG answer whose signer name is
// the pointer given; padded to `length`.
Bytes SigResponse(uint8_t signerSecond, size_t length = 520, uint16_t questionType = 24,
                  uint16_t answerType = 24, uint16_t typeCovered = 1,
                  const Bytes& name = Name("www.example.com")) {
  Bytes sig;
  Be16(sig, typeCovered);
  for (uint8_t item : {5, 3}) sig.push_back(item);  // algorithm, labels
  for (int i = 0; i < 3; ++i) Be32(sig, 3600);
  Be16(sig, 0x1234);  // key tag
  for (uint8_t item : {uint8_t(0xC0), signerSecond}) sig.push_back(item);
  Bytes b =
      Cat({{0, 0},
           Header(0x84, 1, 1),
           Question(name, questionType),
           Record(kPointerToQuestion, answerType, static_cast<uint16_t>(sig.size() + 64), sig)});
  b.resize(length, 0x41);
  return b;
}

TEST(DnsSigAnswerForeignSigner, FieldsLengthsAndPorts) {
  const NipsDetector d = DetectDnsSigAnswerForeignSigner;
  struct Case {
    Bytes payload;
    ULONG expected;
  } cases[] = {
      {SigResponse(0x2A), kDetectMatch},
      {SigResponse(0x0C), kDetectNoMatch},
      {SigResponse(0x2A, 519), kDetectNoMatch},
      {SigResponse(0x2A, 1460), kDetectMatch},
      {SigResponse(0x2A, 520, 46), kDetectMatch},
      {SigResponse(0x2A, 520, 1), kDetectNoMatch},
      {SigResponse(0x2A, 520, 0x0118), kDetectMatch},  // only the low byte is read
      {SigResponse(0x2A, 520, 24, 46), kDetectNoMatch},
      {SigResponse(0x2A, 520, 24, 24, 2), kDetectNoMatch},
      // A label length byte of 0xC0 in the question name.
      {SigResponse(0x2A, 520, 24, 24, 1, {2, 'w', 'w', 0xC0, 0}), kDetectNoMatch},
      {Put16(SigResponse(0x2A), 35, 0xC00D), kDetectNoMatch},  // the answer's name elsewhere
      // A question name whose labels run past the payload.
      {Cat({{0, 0}, Header(0x84, 1, 1), Bytes(506, 0x3F)}), kDetectNoMatch},
  };
  for (const Case& c : cases) EXPECT_EQ(Tcp(d, 53, 40000, c.payload), c.expected) << (&c - cases);
  for (uint16_t port : {445, 139, 80, 443, 22, 3389})
    EXPECT_EQ(Tcp(d, 53, port, cases[0].payload), kDetectNoMatch) << port;
  for (uint16_t port : {53, 444, 8080, 3390})
    EXPECT_EQ(Tcp(d, 53, port, cases[0].payload), kDetectMatch);
  EXPECT_EQ(Tcp(d, 54, 40000, cases[0].payload), kDetectNoMatch);
  EXPECT_EQ(Tcp(d, 40000, 53, cases[0].payload), kDetectNoMatch);
  // The helper's position ends at the name's zero.
  const testlib::ExactBytes exact(cases[0].payload);
  ULONG64 position = 14;
  EXPECT_TRUE(dns::HasSigAnswerWithForeignSigner({exact.data(), exact.size()}, &position));
  EXPECT_EQ(position, 14u + 16);
}

// ---- Update walks: 6199, 6202, 6200, 6201 --------------------------------------------------

const Bytes kZone = Question(Name("example.com"), 6);
const Bytes kPrerequisite = Record(Name("a.example.com"), 255, 0);
Bytes Txt(const Bytes& strings, uint16_t dataLength) {
  return Record(Name("t.example.com"), 16, dataLength, strings);
}
const Bytes kGoodTxt = Txt({4, 'a', 'b', 'c', 'd'}, 5);
const Bytes kBadTxt = Txt({2, 'a', 'b', 1, 'c'}, 5);  // two strings
Bytes Update(std::initializer_list<Bytes> updates, size_t base = 0, uint8_t flags = Opcode(5),
             uint16_t prerequisites = 0) {
  Bytes b = Cat({Bytes(base, 0),
                 Header(flags, 1, prerequisites, static_cast<uint16_t>(updates.size())), kZone});
  for (uint16_t p = 0; p < prerequisites; ++p) b = Cat({b, kPrerequisite});
  for (const Bytes& u : updates) b = Cat({b, u});
  return b;
}

TEST(DnsUpdateWalk, OpcodesPortsAndCounts) {
  struct Walker {
    NipsDetector d;
    size_t base;
    Bytes match;
    size_t dataBytes;
  } walkers[] = {
      {DetectDnsUpdateTxtLengthMismatch, 0, kBadTxt, 5},
      {DetectDnsUpdateShortKeyRecord, 2, Record(Name("k"), 25, 3, {1, 2, 3}), 3},
  };
  for (const Walker& w : walkers) {
    // Opcodes with bit 0 or 2: 1, 4, 5, 7 and beyond pass; 0, 2 and responses do not.
    for (uint8_t opcode = 0; opcode < 16; ++opcode) {
      const bool passes = (opcode & 5) != 0;
      EXPECT_EQ(Tcp(w.d, 40000, 53, Update({w.match}, w.base, Opcode(opcode))),
                passes ? kDetectMatch : kDetectNoMatch)
          << int(opcode);
      EXPECT_EQ(Tcp(w.d, 40000, 53, Update({w.match}, w.base, Opcode(opcode) | 0x80)),
                kDetectNoMatch);
    }
    const Bytes attack = Update({w.match}, w.base);
    for (uint16_t port : {52, 54, 0x3500, 5353}) EXPECT_EQ(Tcp(w.d, 40000, port, attack), 0u);
    EXPECT_EQ(Tcp(w.d, 53, 40000, attack), kDetectNoMatch);
    const size_t afterZone = attack.size() - w.base - 12 - kZone.size();
    struct Case {
      Bytes payload;
      ULONG expected;
    } cases[] = {
        {Update({w.match}, w.base, Opcode(5), 2), kDetectMatch},  // past two prerequisites
        {Update({kGoodTxt, Record(Name("a"), 1, 4, {1, 2, 3, 4}), w.match}, w.base), kDetectMatch},
        {Update({}, w.base), kDetectNoMatch},
        {Put16(attack, w.base + 8, 0), kDetectNoMatch},  // update count 0
        // As many update records as 10 bytes each fit after the zone, and one more.
        {Put16(attack, w.base + 8, static_cast<uint16_t>(afterZone / 10)), kDetectMatch},
        {Put16(attack, w.base + 8, static_cast<uint16_t>(afterZone / 10 + 1)), kDetectNoMatch},
        {Put16(attack, w.base + 6, 1), kDetectNoMatch},  // the record taken as a prerequisite
        // The record's data need not be there; its fixed part must.
        {Bytes(attack.begin(), attack.end() - w.dataBytes),
         w.d == DetectDnsUpdateShortKeyRecord ? kDetectMatch : kDetectNoMatch},  // TXT: see below
        {Bytes(attack.begin(), attack.end() - w.dataBytes - 1), kDetectNoMatch},
        {Bytes(attack.begin(), attack.begin() + 11 + w.base), kDetectNoMatch},
    };
    for (const Case& c : cases)
      EXPECT_EQ(Tcp(w.d, 40000, 53, c.payload), c.expected) << (&c - cases);
    // A zone count whose entries cannot fit: 4 Z + 12 + b above the length.
    const size_t fit = (attack.size() - 12 - w.base) / 4;
    EXPECT_EQ(Tcp(w.d, 40000, 53, Put16(attack, w.base + 4, static_cast<uint16_t>(fit + 1))),
              kDetectNoMatch);
    EXPECT_EQ(
        Tcp(w.d, 40000, 53, Put16(attack, w.base + 4, static_cast<uint16_t>(attack.size() + 1))),
        kDetectNoMatch);
  }
}

TEST(DnsUpdateWalk, TxtLengthAgainstFirstString) {
  const Bytes txtName = Name("t.example.com");
  struct Case {
    Bytes record;
    ULONG expected;
  } cases[] = {
      {kGoodTxt, kDetectNoMatch},
      {kBadTxt, kDetectMatch},
      {Txt({5, 'a', 'b', 'c', 'd'}, 5), kDetectMatch},
      {Txt({3, 'a', 'b', 'c', 'd'}, 5), kDetectMatch},
      {Txt({0}, 1), kDetectNoMatch},
      {Txt({255}, 0), kDetectMatch},  // RDLENGTH 0: the next byte is the first string
      {Txt({}, 1), kDetectNoMatch},   // the fixed part ends at the payload's end
      {Record(txtName, 0x0110, 5, {2, 'a', 'b', 1, 'c'}), kDetectNoMatch},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Tcp(DetectDnsUpdateTxtLengthMismatch, 40000, 53, Update({c.record})), c.expected)
        << (&c - cases);
  // Read at base 0: the same message behind a length prefix is not an update.
  EXPECT_EQ(Tcp(DetectDnsUpdateTxtLengthMismatch, 40000, 53, Update({kBadTxt}, 2)), 0u);
}

TEST(DnsUpdateWalk, ShortKeyRecordAtBaseTwo) {
  auto key = [](uint16_t n) { return Record(Name("k.example.com"), 25, n, Bytes(n, 1)); };
  struct Case {
    Bytes payload;
    ULONG expected;
  } cases[] = {
      {Update({key(3)}, 2), kDetectMatch},
      {Update({key(4)}, 2), kDetectNoMatch},
      {Update({key(0)}, 2), kDetectMatch},
      {Update({key(4), key(2)}, 2), kDetectMatch},
      {Put16(Update({key(3)}, 2), 0, 0xFFFF), kDetectMatch},  // the prefix is never read
      {Update({key(3)}, 0), kDetectNoMatch},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Tcp(DetectDnsUpdateShortKeyRecord, 40000, 53, c.payload), c.expected) << (&c - cases);
}

class DnsBurstTest : public dtest::TrackedTest {
 protected:
  std::optional<HostRecord> Find(const std::string& source) {
    HostRecord copy;
    return FindRecord(source, &copy) ? std::optional(copy) : std::nullopt;
  }
};

struct Burst {
  ULONG id;
  NipsDetector d;
  size_t base;
  uint16_t type;
  ULONG HostRecord::*stamp;
  ULONG HostRecord::*count;
  Bytes Message(int records, int others = 0) const {
    Bytes b = Cat(
        {Bytes(base, 0), Header(Opcode(5), 1, 0, static_cast<uint16_t>(records + others)), kZone});
    for (int i = 0; i < others; ++i) b = Cat({b, Record(Name("o"), 1, 4, {1, 2, 3, 4})});
    for (int i = 0; i < records; ++i) b = Cat({b, Record(kPointerToQuestion, type, 2, {7, 7})});
    return b;
  }
};
const Burst kBursts[] = {
    {6200, DetectDnsUpdateSigRecordBurst, 0, 24, &HostRecord::sig6200Stamp,
     &HostRecord::sig6200Count},
    {6201, DetectDnsUpdateAaaaRecordBurst, 2, 28, &HostRecord::sig6201Stamp,
     &HostRecord::sig6201Count},
};

TEST_F(DnsBurstTest, WindowOpensOnTheFirstRecordAndMatchesOnTheSixth) {
  for (const Burst& b : kBursts) {
    SCOPED_TRACE(b.id);
    const std::string source = "10.3.0." + std::to_string(b.id % 100);
    auto send = [&](const Bytes& m) { return Tcp(b.d, 40000, 53, m, source); };
    ASSERT_EQ(send(b.Message(6, 1)), kDetectNoMatch);  // opens with the first, stops there
    EXPECT_EQ(Find(source).value().*b.count, 1u);
    const ULONG stamp = Find(source).value().*b.stamp;
    EXPECT_NE(stamp, 0u);
    kt::AdvanceSystemTimeMs(10000);
    ASSERT_EQ(send(b.Message(3)), kDetectNoMatch);  // several per message, at the window's end
    EXPECT_EQ(Find(source).value().*b.count, 4u);
    EXPECT_EQ(Find(source).value().*b.stamp, stamp);  // not extended
    // The second record of this message is the sixth in the window.
    EXPECT_EQ(send(Cat({b.Message(2), Bytes(3, 0xEE)})), kDetectMatch);
    EXPECT_FALSE(Find(source));
    // Afresh: 10001 ms after the start a record opens a new window instead of counting.
    ASSERT_EQ(send(b.Message(5)), kDetectNoMatch);
    kt::AdvanceSystemTimeMs(10001);
    ASSERT_EQ(send(b.Message(5)), kDetectNoMatch);
    EXPECT_EQ(Find(source).value().*b.count, 1u);
    ASSERT_EQ(send(b.Message(4)), kDetectNoMatch);
    EXPECT_EQ(Find(source).value().*b.count, 5u);
    EXPECT_EQ(send(b.Message(1)), kDetectMatch);
  }
}

TEST_F(DnsBurstTest, WhichMessagesCreateTheRecord) {
  int n = 0;
  for (const Burst& b : kBursts) {
    auto created = [&](const Bytes& m, uint16_t port = 53) {
      const std::string source = "10.4.0." + std::to_string(++n);
      EXPECT_EQ(Tcp(b.d, 40000, port, m, source), kDetectNoMatch);
      const std::optional<HostRecord> r = Find(source);
      return r ? int((*r).*b.count) : -1;
    };
    SCOPED_TRACE(b.id);
    EXPECT_EQ(created(b.Message(0, 2)), 0);  // no record of the type
    EXPECT_EQ(created(b.Message(1, 2)), 1);
    EXPECT_EQ(created(b.Message(0, 0)), b.id == 6201 ? 0 : -1);  // update count 0
    EXPECT_EQ(created(b.Message(1), 54), -1);
    EXPECT_EQ(created(Put16(b.Message(1), b.base + 2, 0x0100)), -1);  // a query
    // Counts above the length: no record; entries that cannot fit: a record, nothing counted.
    EXPECT_EQ(created(Put16(b.Message(1), b.base + 6, 2000)), -1);
    EXPECT_EQ(created(Put16(b.Message(1), b.base + 6, 5)), 0);
  }
  kt::FailAllocationsWithTag(kt::Tag("Qvat"));
  for (const Burst& b : kBursts) {
    EXPECT_EQ(Tcp(b.d, 40000, 53, b.Message(1), "10.4.9.9"), kDetectError);
    EXPECT_EQ(Tcp(b.d, 40000, 53, b.Message(1), "10.4.0.2"), kDetectNoMatch);  // has one
  }
}

}  // namespace
}  // namespace dtest
