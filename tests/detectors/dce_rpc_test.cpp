// The DCE/RPC detectors: the shared PDU tests on exact-size buffers, the three conversation
// detectors across the packets of one TCP conversation (alone and through a started plug-in), and
// the stateless zero-block test of requests to dynamic ports.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>

#include "detectors/detector_run.h"
#include "detectors/smb_packets.h"
#include "kt_hooks.h"
#include "nips/detectors/dce_rpc.h"
#include "nips/detectors/detectors.h"
#include "nips/tracking/tracking.h"
#include "testlib/engine_support.h"

namespace dtest {
namespace {

using testlib::ExactBytes;
using testlib::FakePacket;

constexpr UCHAR kData = kTcpFlagAck | 0x08;
constexpr char kClient[] = "10.1.1.1";
constexpr char kServer[] = "10.9.9.9";
constexpr uint16_t kClientPort = 50123;
constexpr USHORT kActivation = 2, kLargeFragment = 3, kOpnum9 = 4;  // conversation kinds

const Bytes kRemoteActivation = {0xb8, 0x4a, 0x9f, 0x4d, 0x1c, 0x7d, 0xcf, 0x11,
                                 0x86, 0x1e, 0x00, 0x20, 0xaf, 0x6e, 0x7c, 0x57};
const Bytes kScmActivator = {0xa0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                             0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const Bytes kLargeFragmentIf = {0x60, 0x9e, 0xe7, 0xb9, 0x52, 0x3d, 0xce, 0x11,
                                0xaa, 0xa1, 0x00, 0x00, 0x69, 0x01, 0x29, 0x3f};
const Bytes kOpnum9If = {0x6a, 0x28, 0x19, 0x39, 0x0c, 0xb1, 0xd0, 0x11,
                         0x9b, 0xa8, 0x00, 0xc0, 0x4f, 0xd9, 0x2e, 0xf5};

Bytes Cat(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }
Bytes Head(Bytes b, size_t n) { return b.resize(n), b; }

// A version 5.0 PDU of size bytes whose fragment length says fragment (0: its size).
Bytes Pdu(uint8_t type, size_t size, uint32_t fragment = 0) {
  return Put(Bytes(size, 0), {{0, 5, 1},
                              {2, type, 1},
                              {3, 3, 1},
                              {4, 0x10, 1},
                              {8, fragment ? fragment : uint32_t(size)}});
}
Bytes Bind(const Bytes& uuid) {
  Bytes b = Put(Pdu(11, 72), {{24, 1, 1}});
  std::copy(uuid.begin(), uuid.end(), b.begin() + 32);
  return b;
}
Bytes Request(uint16_t opnum, const Bytes& stub = {}, uint32_t fragment = 0) {
  return Cat(Put(Pdu(0, 24, fragment ? fragment : uint32_t(24 + stub.size())), {{22, opnum}}),
             stub);
}
// UTF-16LE: two backslashes, letters server-name characters, then tail.
Bytes Unc(size_t letters, const std::string& tail = "\\share") {
  Bytes b = {0x5C, 0, 0x5C, 0};
  for (char c : std::string(letters, 'S') + tail)
    for (uint8_t item : {uint8_t(c), uint8_t(0)}) b.push_back(item);
  return b;
}
// An activation request whose stub holds a UNC path with a server name of letters characters.
Bytes UncRequest(size_t letters, uint16_t opnum = 0) {
  return Request(opnum, Cat(Bytes(8, 1), Unc(letters)));
}

// SMB1 carriage: a Transaction (data count at 59, offset at 61) or a Write AndX (offset at 59, byte
// count at 65) of header bytes followed by rpc; the data offset says header - 4 unless given.
using Count = std::optional<uint16_t>;
Bytes Transaction(const Bytes& rpc, size_t header = 88, Count count = {}, Count offset = {}) {
  const uint16_t n = count.value_or(uint16_t(rpc.size()));
  return Cat(Put(Smb1(header, 0x25), {{59, n}, {61, offset.value_or(uint16_t(header - 4))}}), rpc);
}
Bytes WriteAndX(const Bytes& rpc, size_t header = 68, Count count = {}, Count offset = {}) {
  const uint16_t n = count.value_or(uint16_t(rpc.size()));
  return Cat(Put(Smb1(header, 0x2F), {{59, offset.value_or(uint16_t(header - 4))}, {65, n}}), rpc);
}

auto Segment(uint16_t port, const Bytes& payload, UCHAR flags = kData,
             uint16_t sourcePort = kClientPort) {
  return FakePacket::Tcp(kClient, sourcePort, kServer, port, flags, payload);
}

struct Conversation {
  ULONG id;
  NipsDetector detect;
  USHORT kind;
};
const Conversation kConversations[] = {{3721, DetectActivationLongUncPath, kActivation},
                                       {3722, DetectRpcLargeRequestFragment, kLargeFragment},
                                       {3724, DetectRpcOpnum9LargeFragment, kOpnum9}};

// Whether the store holds the conversation of kind (source port given, the rest fixed).
bool Bound(USHORT kind, uint16_t port = 135, uint16_t sourcePort = kClientPort) {
  const HostAddress s = testlib::MakeAddress(kClient), d = testlib::MakeAddress(kServer);
  ConversationRecord* r = FindConversationRecord(&s, &d, sourcePort, port, kind);
  if (r != nullptr) ReleaseConversationRecord(r, true);
  return r != nullptr;
}

// ---- The shared PDU tests ----------------------------------------------------------------------

bool On(bool (*test)(const ByteView&), const Bytes& bytes) {
  const ExactBytes exact(bytes);
  return test(ByteView{exact.data(), exact.size()});
}

TEST(RpcPduTests, FieldBoundaries) {
  const Bytes bind = Bind(kOpnum9If);
  struct Row {
    bool (*test)(const ByteView&);
    Bytes bytes;
    bool expected;
  } rows[] = {
      {IsRpcVersion5, {5, 0}, true},
      {IsRpcVersion5, {5}, false},
      {IsRpcVersion5, {5, 1}, false},
      {IsRpcVersion5, {4, 0}, false},
      {IsRpcBind, Head(bind, 16), true},
      {IsRpcBind, Head(bind, 15), false},
      {IsRpcBind, Put(bind, {{2, 12, 1}}), false},
      {IsRpcBind, Put(bind, {{1, 1, 1}}), false},
      {IsRpcRequestOpnum0or4, Request(0), true},
      {IsRpcRequestOpnum0or4, Request(4), true},
      {IsRpcRequestOpnum0or4, Bytes(24, 0), false},  // version 0
      {IsRpcRequestOpnum0or4, Head(Request(4), 23), false},
      {IsRpcRequestOpnum0or4, Request(1), false},
      {IsRpcRequestOpnum0or4, Request(0x400), false},
      {IsRpcRequestOpnum0or4, Put(Request(4), {{2, 11, 1}}), false},
      {IsActivationInterface, kRemoteActivation, true},
      {IsActivationInterface, kScmActivator, true},
      {IsActivationInterface, Cat(kScmActivator, {1}), true},
      {IsActivationInterface, Bytes(kScmActivator.begin(), kScmActivator.end() - 1), false},
      {IsActivationInterface, Put(kScmActivator, {{15, 0x47, 1}}), false},
      {IsActivationInterface, kOpnum9If, false},
  };
  int n = 0;
  for (const Row& row : rows) EXPECT_EQ(On(row.test, row.bytes), row.expected) << "row " << n++;
  for (auto test : {IsRpcVersion5, IsRpcBind, IsRpcRequestOpnum0or4, IsActivationInterface,
                    HasLongUncServerName})
    EXPECT_FALSE(test(ByteView{nullptr, 100}));
}

// 40 code units after the first pair, neither backslash nor NUL, within the area.
TEST(RpcPduTests, LongUncServerName) {
  auto area = [](Bytes b, size_t size) { return b.resize(size), b; };
  struct Row {
    Bytes bytes;
    bool expected;
  } rows[] = {
      {Unc(40, ""), true},
      {Unc(39, ""), false},
      {Unc(39), false},                   // the backslash of the share ends the name
      {Unc(40), true},                    // a backslash as the 41st unit is allowed
      {area(Unc(40, ""), 83), false},     // the 40th unit lacks its second byte
      {Cat({0x41}, Unc(40, "")), true},   // the pair at an odd offset is found
      {Cat(Unc(0), Unc(40, "")), false},  // only the first pair counts: a third backslash
      {Put(Unc(40, ""), {{4 + 2 * 20, 0x015C}}), true},   // 0x015C is no backslash
      {Put(Unc(40, ""), {{4 + 2 * 20, 0x5C00}}), true},   // nor is 0x5C00
      {Put(Unc(40, ""), {{4 + 2 * 39, 0x0000}}), false},  // NUL as the 40th unit
      {Cat(Bytes(36, 'x'), {0x5C, 0, 0x5C, 0}), false},   // 40 bytes, no room after the pair
      {Cat(Bytes(38, 'x'), Bytes(80, 'x')), false},       // no pair
      {Bytes(39, 0x5C), false},                           // shorter than 40
  };
  int n = 0;
  for (const Row& row : rows) EXPECT_EQ(On(HasLongUncServerName, row.bytes), row.expected) << n++;
}

// ---- Conversation detectors, called directly ---------------------------------------------------

class RpcConversationTest : public TrackedTest {
 protected:
  ULONG Send(NipsDetector d, uint16_t port, const Bytes& payload, UCHAR flags = kData) {
    return RunDetector(d, *Segment(port, payload, flags));
  }
};

// Which ports each detector examines; an SMB-looking payload on 135 is not unwrapped, and only
// 3724 unwraps a Write AndX.
TEST_F(RpcConversationTest, PortsAndCarriage) {
  const Bytes bare[] = {Bind(kRemoteActivation), Cat(Bind(kLargeFragmentIf), {0}), Bind(kOpnum9If)};
  const Bytes trans[] = {Transaction(Bind(kRemoteActivation)), {}, Transaction(Bind(kOpnum9If))};
  const Bytes write[] = {WriteAndX(Bind(kRemoteActivation)), {}, WriteAndX(Bind(kOpnum9If))};
  for (int k = 0; k < 3; ++k) {
    const Conversation& c = kConversations[k];
    SCOPED_TRACE(c.id);
    for (uint16_t port : {134, 136, 138, 140, 444, 446, 0x8700, 0xBD01}) {
      EXPECT_EQ(Send(c.detect, port, bare[k]), kDetectNoMatch);
      EXPECT_FALSE(Bound(c.kind, port));
    }
    EXPECT_EQ(Send(c.detect, 135, bare[k]), kDetectNoMatch);
    EXPECT_TRUE(Bound(c.kind, 135));
    for (uint16_t port : {139, 445}) {
      if (k == 1) {  // 3722 watches the endpoint mapper only
        EXPECT_EQ(Send(c.detect, port, bare[k]), kDetectNoMatch);
        EXPECT_FALSE(Bound(c.kind, port));
        continue;
      }
      EXPECT_EQ(Send(c.detect, port, trans[k]), kDetectNoMatch);
      EXPECT_TRUE(Bound(c.kind, port)) << port;
      Send(c.detect, port, {}, kTcpFlagFin | kTcpFlagAck);
      EXPECT_EQ(Send(c.detect, port, write[k]), kDetectNoMatch);
      EXPECT_EQ(Bound(c.kind, port), c.id == 3724) << port;
      Send(c.detect, port, {}, kTcpFlagRst);
    }
  }
  // Carried binds are not unwrapped on 135.
  Send(DetectActivationLongUncPath, 135, {}, kTcpFlagFin);
  EXPECT_EQ(Send(DetectActivationLongUncPath, 135, Transaction(Bind(kRemoteActivation))),
            kDetectNoMatch);
  EXPECT_FALSE(Bound(kActivation));
}

// Length floors of the first-packet and continuation tests, and the SMB data offsets.
TEST_F(RpcConversationTest, LengthsAndDataOffsets) {
  struct Row {
    NipsDetector d;
    USHORT kind;
    uint16_t port;
    Bytes payload;
    bool bound;
  } rows[] = {
      {DetectActivationLongUncPath, kActivation, 135, Bind(kScmActivator), true},  // 72 bytes
      {DetectActivationLongUncPath, kActivation, 135, Head(Bind(kScmActivator), 71), false},
      {DetectRpcLargeRequestFragment, kLargeFragment, 135, Bind(kLargeFragmentIf), false},  // > 72
      {DetectRpcLargeRequestFragment, kLargeFragment, 135, Cat(Bind(kLargeFragmentIf), {0}), true},
      {DetectRpcOpnum9LargeFragment, kOpnum9, 445, Transaction(Bind(kOpnum9If)), true},
      // 137 bytes on the SMB ports: a bind cut to 49 bytes (its UUID ends at 48).
      {DetectRpcOpnum9LargeFragment, kOpnum9, 139, Transaction(Head(Bind(kOpnum9If), 49)), true},
      {DetectRpcOpnum9LargeFragment, kOpnum9, 139, Transaction(Head(Bind(kOpnum9If), 48)), false},
      {DetectActivationLongUncPath, kActivation, 139, Transaction(Head(Bind(kScmActivator), 49)),
       true},
      {DetectActivationLongUncPath, kActivation, 445, Transaction(Head(Bind(kScmActivator), 48)),
       false},
      // No data; data offset 0; data beyond the payload (o + 4 = L + 1) or at its very end.
      {DetectRpcOpnum9LargeFragment, kOpnum9, 139, Transaction(Bind(kOpnum9If), 88, 0), false},
      {DetectRpcOpnum9LargeFragment, kOpnum9, 445, WriteAndX(Bind(kOpnum9If), 68, 0), false},
      {DetectActivationLongUncPath, kActivation, 445, Transaction(Bind(kScmActivator), 88, 0),
       false},
      {DetectRpcOpnum9LargeFragment, kOpnum9, 445, Transaction(Bind(kOpnum9If), 88, {}, 0), false},
      {DetectRpcOpnum9LargeFragment, kOpnum9, 445, WriteAndX(Bind(kOpnum9If), 68, {}, 0), false},
      {DetectRpcOpnum9LargeFragment, kOpnum9, 445, Transaction(Bind(kOpnum9If), 88, {}, 157),
       false},
      {DetectRpcOpnum9LargeFragment, kOpnum9, 445, Transaction(Bind(kOpnum9If), 88, {}, 156),
       false},
      // The data offset counts from the SMB header, 4 bytes in.
      {DetectRpcOpnum9LargeFragment, kOpnum9, 445,
       Transaction(Cat(Bytes(4, 0), Bind(kOpnum9If)), 88, {}, 88), true},
      {DetectRpcOpnum9LargeFragment, kOpnum9, 445,
       Transaction(Cat(Bytes(4, 0), Bind(kOpnum9If)), 88, {}, 84), false},
      {DetectRpcOpnum9LargeFragment, kOpnum9, 445,
       WriteAndX(Cat(Bytes(4, 0), Bind(kOpnum9If)), 68, {}, 68), true},
  };
  int n = 0;
  for (const Row& row : rows) {
    EXPECT_EQ(Send(row.d, row.port, row.payload), kDetectNoMatch) << n;
    EXPECT_EQ(Bound(row.kind, row.port), row.bound) << n++;
    Send(row.d, row.port, {}, kTcpFlagRst);
  }
}

// Continuation floors: 24 bytes on 135, 89 on the SMB ports; fragment and opnum boundaries.
TEST_F(RpcConversationTest, BoundConversationBoundaries) {
  auto bindThen = [&](const Conversation& c, uint16_t port, const Bytes& bind, const Bytes& later) {
    Send(c.detect, port, {}, kTcpFlagRst);
    EXPECT_EQ(Send(c.detect, port, bind), kDetectNoMatch);
    EXPECT_TRUE(Bound(c.kind, port));
    return Send(c.detect, port, later);
  };
  const Conversation &unc = kConversations[0], &large = kConversations[1], &op9 = kConversations[2];
  const Bytes bind135 = Cat(Bind(kLargeFragmentIf), {0});
  struct Row {
    const Conversation& c;
    uint16_t port;
    Bytes bind, later;
    ULONG expected;
  } rows[] = {
      {large, 135, bind135, Request(1, {}, 34835), kDetectNoMatch},
      {large, 135, bind135, Request(1, {}, 34836), kDetectMatch},
      {large, 135, bind135, Cat(Request(1), Request(1, {}, 34836)), kDetectMatch},
      {large, 135, bind135, Cat(Request(1, {}, 34836), Request(1)), kDetectMatch},
      {large, 135, bind135, Put(Request(1, {}, 34836), {{2, 2, 1}}), kDetectNoMatch},  // response
      {large, 135, bind135, Head(Request(1, {}, 34836), 15), kDetectNoMatch},
      {op9, 135, Bind(kOpnum9If), Request(9, {}, 2048), kDetectMatch},  // 24 bytes
      {op9, 135, Bind(kOpnum9If), Request(9, {}, 2047), kDetectNoMatch},
      {op9, 135, Bind(kOpnum9If), Request(8, {}, 4000), kDetectNoMatch},
      {op9, 135, Bind(kOpnum9If), Head(Request(9, {}, 2048), 23), kDetectNoMatch},
      {op9, 445, WriteAndX(Bind(kOpnum9If)), WriteAndX(Request(9, {}, 2048)), kDetectMatch},
      {op9, 445, WriteAndX(Bind(kOpnum9If)), Transaction(Cat(Request(9, {}, 2048), {0}), 64),
       kDetectMatch},  // 89 bytes
      {op9, 445, WriteAndX(Bind(kOpnum9If)), Transaction(Request(9, {}, 2048), 64),
       kDetectNoMatch},  // 88 bytes
      {op9, 139, Transaction(Bind(kOpnum9If)),
       Transaction(Cat(Request(1, {}, 24), Request(9, {}, 4096))), kDetectMatch},
      {unc, 135, Bind(kRemoteActivation), UncRequest(40), kDetectMatch},
      {unc, 135, Bind(kRemoteActivation), UncRequest(39), kDetectNoMatch},
      {unc, 135, Bind(kRemoteActivation), UncRequest(40, 4), kDetectMatch},
      {unc, 135, Bind(kRemoteActivation), UncRequest(40, 3), kDetectNoMatch},
      // The search starts at byte 16, inside the request header: the pair in the allocation hint,
      // then the context id and the opnum 4 as the first two of the 40 units.
      {unc, 135, Bind(kRemoteActivation),
       Put(Request(4, Bytes(76, 'S')), {{16, 0x005C005C, 4}, {20, 'S'}}), kDetectMatch},
      {unc, 135, Bind(kRemoteActivation),
       Put(Request(4, Bytes(75, 'S')), {{16, 0x005C005C, 4}, {20, 'S'}}), kDetectNoMatch},
      {unc, 135, Bind(kRemoteActivation), Cat(Request(1, {}, 24), UncRequest(40)), kDetectMatch},
      {unc, 445, Transaction(Bind(kScmActivator)), Transaction(UncRequest(40)), kDetectMatch},
      {unc, 445, Transaction(Bind(kScmActivator)), WriteAndX(UncRequest(40)), kDetectNoMatch},
      {unc, 135, Bind(kRemoteActivation), Head(UncRequest(40), 23), kDetectNoMatch},
  };
  int n = 0;
  for (const Row& row : rows)
    EXPECT_EQ(bindThen(row.c, row.port, row.bind, row.later), row.expected) << "row " << n++;
}

// The first packet's own requests: bounds 5000 (3722), 2048 (3724) and 40 characters (3721).
TEST_F(RpcConversationTest, RequestInTheBindPacketMatchesWithoutARecord) {
  struct Row {
    const Conversation& c;
    uint16_t port;
    Bytes payload;
    ULONG expected;
  } rows[] = {
      {kConversations[1], 135, Cat(Bind(kLargeFragmentIf), Request(1, {}, 5001)), kDetectMatch},
      {kConversations[1], 135, Cat(Bind(kLargeFragmentIf), Request(1, {}, 5000)), kDetectNoMatch},
      {kConversations[2], 135, Cat(Bind(kOpnum9If), Request(9, {}, 2048)), kDetectMatch},
      {kConversations[2], 445, WriteAndX(Cat(Bind(kOpnum9If), Request(9, {}, 2048))), kDetectMatch},
      {kConversations[2], 135, Cat(Bind(kOpnum9If), Request(9, {}, 2047)), kDetectNoMatch},
      {kConversations[0], 135, Cat(Bind(kRemoteActivation), UncRequest(40)), kDetectMatch},
      {kConversations[0], 139, Transaction(Cat(Bind(kScmActivator), UncRequest(40, 4))),
       kDetectMatch},
      {kConversations[0], 135, Cat(Bind(kRemoteActivation), UncRequest(39)), kDetectNoMatch},
      // A bind whose fragment length is 0 is walked from itself: the walk ends there.
      {kConversations[0], 135, Cat(Put(Bind(kRemoteActivation), {{8, 0}}), UncRequest(40)),
       kDetectNoMatch},
  };
  int n = 0;
  for (const Row& row : rows) {
    EXPECT_EQ(Send(row.c.detect, row.port, row.payload), row.expected) << "row " << n;
    EXPECT_EQ(Bound(row.c.kind, row.port), row.expected == kDetectNoMatch) << "row " << n++;
    Send(row.c.detect, row.port, {}, kTcpFlagFin);
  }
}

// A request with opnum 4 whose name runs past the end of its own PDU, within the payload.
TEST_F(RpcConversationTest, UncNameMayRunPastItsPdu) {
  ASSERT_EQ(Send(DetectActivationLongUncPath, 135, Bind(kRemoteActivation)), kDetectNoMatch);
  const Bytes request = Request(4, Cat(Bytes(8, 1), Unc(0, "")));  // fragment ends after the pair
  EXPECT_EQ(Send(DetectActivationLongUncPath, 135, Cat(request, Unc(40, ""))),
            kDetectNoMatch);  // a third backslash ends the name at once
  Bytes letters;
  for (int i = 0; i < 40; ++i)
    for (uint8_t item : {uint8_t('S'), uint8_t(0)}) letters.push_back(item);
  EXPECT_EQ(Send(DetectActivationLongUncPath, 135, Cat(request, letters)), kDetectMatch);
  letters.pop_back();
  EXPECT_EQ(Send(DetectActivationLongUncPath, 135, Cat(request, letters)), kDetectNoMatch);
}

TEST_F(RpcConversationTest, FailedCreationAbortsAndNothingIsRemembered) {
  kt::FailAllocationsWithTag(kt::Tag("Qvst"));
  EXPECT_EQ(Send(DetectActivationLongUncPath, 135, Bind(kRemoteActivation)), kDetectError);
  EXPECT_EQ(Send(DetectActivationLongUncPath, 135, Cat(Bind(kRemoteActivation), UncRequest(40))),
            kDetectMatch);  // a match needs no record
  kt::ClearPoolFaults();
  EXPECT_EQ(context_.conversationCount, 0u);
}

// ---- Conversations through a started plug-in ---------------------------------------------------

class RpcDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    plugin_.emplace();
    ASSERT_TRUE((*plugin_)->Start());
    ASSERT_EQ(testlib::Configure(plugin_->get(), testlib::MakeHeader({1, 3, 1, 1}),
                                 testlib::RecordsForAllRows(g_signatureTable, 2)),
              STATUS_SUCCESS);
  }
  void TearDown() override {
    plugin_.reset();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
  // The signature reported for one segment (0: allowed).
  ULONG Inspect(uint16_t port, const Bytes& payload, UCHAR flags = kData,
                uint16_t sourcePort = kClientPort) {
    auto packet = Segment(port, payload, flags, sourcePort);
    EXPECT_EQ((*plugin_)->InspectPacket(packet.get()), kInspectDelivered);
    EXPECT_TRUE(packet->DeliveredOnce());
    return packet->report().signatureId;
  }
  std::optional<testlib::PluginHolder> plugin_;
};

// Bind, then requests on later packets; a match keeps the record; FIN and RST forget it.
TEST_F(RpcDispatchTest, BindThenRequestsUntilFinOrRst) {
  for (UCHAR end : {UCHAR(kTcpFlagFin | kTcpFlagAck), UCHAR(kTcpFlagRst)}) {
    SCOPED_TRACE(int(end));
    EXPECT_EQ(Inspect(135, Bind(kRemoteActivation)), 0u);
    EXPECT_TRUE(Bound(kActivation));
    EXPECT_EQ(Inspect(135, UncRequest(39)), 0u);
    EXPECT_EQ(Inspect(135, UncRequest(40)), 3721u);
    EXPECT_EQ(Inspect(135, UncRequest(40, 4)), 3721u);
    EXPECT_TRUE(Bound(kActivation));
    EXPECT_EQ(Inspect(135, {}, end), 0u);
    EXPECT_FALSE(Bound(kActivation));
    EXPECT_EQ(Inspect(135, UncRequest(40)), 0u);  // a first packet again: only a bind counts
    EXPECT_FALSE(Bound(kActivation));
  }
}

TEST_F(RpcDispatchTest, RequestInTheBindPacketLeavesNoRecord) {
  EXPECT_EQ(Inspect(135, Cat(Bind(kRemoteActivation), UncRequest(40))), 3721u);
  EXPECT_FALSE(Bound(kActivation));
  EXPECT_EQ(Inspect(445, WriteAndX(Cat(Bind(kOpnum9If), Request(9, {}, 2048)))), 3724u);
  EXPECT_FALSE(Bound(kOpnum9, 445));
  EXPECT_EQ(g_trackingContext->conversationCount, 0u);
}

// A SYN, even with data (and with ACK), neither binds nor matches nor forgets.
TEST_F(RpcDispatchTest, SynIsIgnored) {
  for (UCHAR syn : {kTcpFlagSyn, UCHAR(kTcpFlagSyn | kTcpFlagAck)}) {
    EXPECT_EQ(Inspect(135, Bind(kRemoteActivation), syn), 0u);
    EXPECT_EQ(Inspect(135, Cat(Bind(kRemoteActivation), UncRequest(40)), syn), 0u);
  }
  EXPECT_EQ(g_trackingContext->conversationCount, 0u);
  EXPECT_EQ(Inspect(135, Bind(kRemoteActivation)), 0u);
  EXPECT_EQ(Inspect(135, UncRequest(40), kTcpFlagSyn | kTcpFlagFin), 0u);
  EXPECT_TRUE(Bound(kActivation));
  EXPECT_EQ(Inspect(135, UncRequest(40)), 3721u);
}

// The oldest conversation is evicted by the 1025th; its next request meets the first-packet test.
TEST_F(RpcDispatchTest, EvictionForgetsTheConversation) {
  EXPECT_EQ(Inspect(445, WriteAndX(Bind(kOpnum9If))), 0u);
  for (uint16_t p = 1; p < kMaxConversationRecords; ++p)
    ASSERT_EQ(Inspect(135, Bind(kRemoteActivation), kData, p), 0u);
  EXPECT_TRUE(Bound(kOpnum9, 445));
  EXPECT_EQ(Inspect(445, WriteAndX(Request(9, Bytes(1, 0), 2048))), 3724u);  // moves to the tail
  ASSERT_EQ(Inspect(135, Bind(kRemoteActivation), kData, 1024), 0u);         // evicts port 1
  EXPECT_EQ(std::tuple(Bound(kActivation, 135, 1), Bound(kOpnum9, 445)), std::tuple(false, true));
  for (uint16_t p = 2; p < 1024 + 2; ++p)
    ASSERT_EQ(Inspect(135, Bind(kScmActivator), kData, 2000 + p), 0u);
  EXPECT_FALSE(Bound(kOpnum9, 445));
  EXPECT_EQ(g_trackingContext->conversationCount, kMaxConversationRecords);
  EXPECT_EQ(Inspect(445, WriteAndX(Request(9, Bytes(1, 0), 2048))), 0u);
}

// One conversation bound to all three interfaces in turn: each kind judges only its own abuse.
TEST_F(RpcDispatchTest, KindsNeverShareARecord) {
  const Bytes abuse[] = {UncRequest(40), Request(1, {}, 40000), Request(9, {}, 2048)};
  const Bytes binds[] = {Bind(kRemoteActivation), Cat(Bind(kLargeFragmentIf), {0}),
                         Bind(kOpnum9If)};
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(Inspect(135, binds[k]), 0u);
    for (int j = 0; j < 3; ++j) EXPECT_EQ(Bound(kConversations[j].kind), j <= k);
    for (int j = 0; j < 3; ++j)
      EXPECT_EQ(Inspect(135, abuse[j]), j <= k ? kConversations[j].id : 0u) << j;
  }
  EXPECT_EQ(g_trackingContext->conversationCount, 3u);
  EXPECT_EQ(Inspect(135, {}, kTcpFlagRst), 0u);
  EXPECT_EQ(g_trackingContext->conversationCount, 0u);
}

// ---- 6182: a zero block after the strings of a request to a dynamic port -----------------------

// A request with a first string of n units ("\\" and letters), optional padding, a second string
// of m units and, when d is given, a third count at 2c + 62; size bytes in all, zero-filled.
Bytes Names(uint64_t n, uint64_t m, bool padded, size_t size, std::optional<uint32_t> d = {}) {
  Bytes b = Put(Bytes(size, 0), {{0, 5, 1}, {3, 3, 1}, {36, uint32_t(n), 4}, {40, 0x005C005C, 4}});
  auto put = [&](uint64_t at, uint32_t v, int w) {
    if (at + w <= size) b = Put(b, {{size_t(at), v, w}});
  };
  if (padded) put(40 + 2 * n, 0xABAB, 2);
  put(40 + 2 * n + (padded ? 2 : 0) + 8, uint32_t(m), 4);
  if (d) put(2 * (n + m) + 62, *d, 4);
  return b;
}

TEST(RpcZeroBlock, LayoutsAndLengths) {
  auto run = [](const Bytes& b, uint16_t port = 49152) {
    return RunDetector(DetectRpcZeroBlockAfterNames,
                       *FakePacket::Tcp(kClient, kClientPort, kServer, port, kData, b));
  };
  const uint32_t n = 3, m = 4, c2 = 2 * (n + m);
  const Bytes plain = Names(n, m, false, c2 + 60), padded = Names(n, m, true, c2 + 62);
  for (uint16_t port : {49151, 49152, 65535, 135, 0x00C0})  // 0x00C0: 49152 byte-swapped
    EXPECT_EQ(run(plain, port), port >= 49152 ? kDetectMatch : kDetectNoMatch) << port;
  auto packet = FakePacket::Tcp(kClient, kClientPort, kServer, 50000, kData, plain);
  EXPECT_EQ(RunDetector(DetectRpcZeroBlockAfterNames, *packet), kDetectMatch);
  EXPECT_EQ(packet->payloadLengthArguments(), (std::vector<ULONG64>{0, plain.size()}));
  for (size_t i = c2 + 52; i < c2 + 60; ++i)
    EXPECT_EQ(run(Put(plain, {{i, 1, 1}})), kDetectNoMatch) << i;
  for (size_t i = c2 + 54; i < c2 + 62; ++i)
    EXPECT_EQ(run(Put(padded, {{i, 1, 1}})), kDetectNoMatch) << i;
  struct Row {
    Bytes bytes;
    ULONG expected;
  } rows[] = {
      {plain, kDetectMatch},
      {padded, kDetectMatch},
      {Put(padded, {{c2 + 52, 1, 1}, {c2 + 53, 1, 1}}), kDetectMatch},  // before the block
      {Put(plain, {{3, 1, 1}}), kDetectNoMatch},                        // first fragment only
      {Put(plain, {{2, 2, 1}}), kDetectNoMatch},                        // a response
      {Put(plain, {{42, 'A'}}), kDetectNoMatch},                        // one backslash
      {Names(n, m, false, c2 + 59), kDetectNoMatch},
      {Names(n, m, false, c2 + 61), kDetectNoMatch},
      {Names(n, m, false, c2 + 72), kDetectNoMatch},  // too long for two, too short for three
      {Names(n, m, true, c2 + 72), kDetectNoMatch},
      {Names(n, m, true, c2 + 61), kDetectNoMatch},
      // Three strings: judged by the 8 bytes at 2e + 66, e = n + m + d, at the unpadded offsets.
      {Names(n, m, false, c2 + 73, 0), kDetectNoMatch},  // below 2e + 74
      {Names(n, m, false, c2 + 74, 0), kDetectMatch},
      {Names(n, m, false, c2 + 84, 5), kDetectMatch},  // the block at 2e + 66 = c2 + 76
      {Names(n, m, false, c2 + 83, 5), kDetectNoMatch},
      {Put(Names(n, m, false, c2 + 84, 5), {{c2 + 75, 1, 1}}), kDetectMatch},
      {Put(Names(n, m, false, c2 + 84, 5), {{c2 + 76, 1, 1}}), kDetectNoMatch},
      {Put(Names(n, m, false, c2 + 84, 5), {{c2 + 83, 1, 1}}), kDetectNoMatch},
      {Put(Names(n, m, false, c2 + 90, 5), {{c2 + 84, 1, 1}}), kDetectMatch},
      {Put(Names(n, m, true, c2 + 84), {{c2 + 62, 5, 4}}), kDetectMatch},
      {Names(n, m, false, c2 + 84, 0xFFFFFFFF), kDetectNoMatch},  // no wrap in 64 bits
      {Names(n, 0xFFFFFFFF, false, 200), kDetectNoMatch},
      {Names(0x7FFFFFF0, m, false, 200), kDetectNoMatch},
      {Names(n, m, false, 60), kDetectNoMatch},  // below 61
      {Names(4, 0, false, 68), kDetectMatch},    // 61 < 2c + 60
      {Names(0, 0, false, 61), kDetectNoMatch},
  };
  int i = 0;
  for (const Row& row : rows) EXPECT_EQ(run(row.bytes), row.expected) << "row " << i++;
}

}  // namespace
}  // namespace dtest
