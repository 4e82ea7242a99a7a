// Stateless SMB detectors: the ports each examines, minimum lengths and the
// two-call payload fetch, and the boundaries of each field.
#include "detector_fixture.h"

namespace dtest {
namespace {

class SmbTest : public DetectorTest {};

TEST_F(SmbTest, PortsExaminedAndNot) {
  for (const Detector& t : Detectors()) {
    SCOPED_TRACE(t.id);
    const NipsDetector d = DetectorFor(t.id);
    const uint32_t from = t.ports & kFrom;
    EXPECT_EQ(RunTcp(d, from | 139, t.match[0]), t.ports & k139 ? kDetectMatch : kDetectNoMatch);
    EXPECT_EQ(RunTcp(d, from | 445, t.match[0]), t.ports & k445 ? kDetectMatch : kDetectNoMatch);
    // Neighbours, byte-swapped values, and the other direction.
    for (uint32_t port : {135u, 138u, 140u, 444u, 446u, 0x8B00u, 0xBD01u, kFrom | 445}) {
      EXPECT_EQ(RunTcp(d, from ^ port, t.match[0]), kDetectNoMatch) << port;
    }
    auto foreign = Segment(from | 80, t.match[0]);
    EXPECT_EQ(Run(d, *foreign), kDetectNoMatch);
    EXPECT_LE(foreign->payloadLengthArguments().size(), 1u) << "no pointer for a foreign port";
  }
}

// Every shorter prefix of the attack fails (no read past its end under ASan),
// one more byte still matches; the length is asked first, the pointer with it.
TEST_F(SmbTest, MinimumLengthAndPayloadFetch) {
  for (const Detector& t : Detectors()) {
    SCOPED_TRACE(t.id);
    const NipsDetector d = DetectorFor(t.id);
    const Bytes& attack = t.match[0];
    auto packet = Segment(t.Port(), attack);
    EXPECT_EQ(Run(d, *packet), kDetectMatch);
    EXPECT_EQ(packet->payloadLengthArguments(),
              (t.lengthTest ? std::vector<ULONG64>{0, attack.size()} : std::vector<ULONG64>{0}));
    EXPECT_EQ(RunTcp(d, t.Port(), Cut(attack, attack.size() + 1)), kDetectMatch);
    for (size_t length = 0; length < attack.size(); ++length) {
      auto prefix = Segment(t.Port(), Cut(attack, length));
      ASSERT_EQ(Run(d, *prefix), kDetectNoMatch) << length;
      const size_t calls = t.lengthTest != 0 && length >= t.lengthTest ? 2 : 1;
      ASSERT_EQ(prefix->payloadLengthArguments().size(), calls) << length;
    }
    // Not a session message; a foreign protocol id.
    EXPECT_EQ(RunTcp(d, t.Port(), Put(attack, {{0, 0x85, 1}})), kDetectNoMatch);
    EXPECT_EQ(RunTcp(d, t.Port(), Put(attack, {{5, 's', 1}})), kDetectNoMatch);
  }
}

TEST_F(SmbTest, FieldBoundaries) {
  for (const Detector& t : Detectors()) {
    SCOPED_TRACE(t.id);
    for (size_t i = 0; i < t.match.size(); ++i) {
      EXPECT_EQ(RunTcp(DetectorFor(t.id), t.Port(), t.match[i]), kDetectMatch) << i;
    }
    for (size_t i = 0; i < t.noMatch.size(); ++i) {
      EXPECT_EQ(RunTcp(DetectorFor(t.id), t.Port(), t.noMatch[i]), kDetectNoMatch) << i;
    }
  }
}

}  // namespace
}  // namespace dtest
