// The control socket's frames: header checks at their limits, malformed
// frames answered with their error and the connection closed, wrong buffer
// sizes refused by the driver itself, and a service that keeps answering and
// inspecting through all of it.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "inline/inline_support.h"
#include "kt_hooks.h"
#include "nips/engine/additional_data.h"
#include "nips/engine/config.h"
#include "nips/engine/nimq.h"
#include "tools/control_socket.h"
#include "tools/driver_requests.h"
#include "tools/inline_engine.h"
#include "tools/run_command.h"

namespace nipstool {
namespace {

void Header(uint8_t (&bytes)[kFrameHeaderBytes], uint32_t magic, uint32_t code, uint32_t flags,
            uint32_t reserved, uint64_t input, uint64_t output) {
  const std::vector<uint8_t> frame = EncodeRequest(code, flags, nullptr, 0, output);
  memcpy(bytes, frame.data(), kFrameHeaderBytes);
  memcpy(bytes, &magic, 4);
  memcpy(bytes + 12, &reserved, 4);
  memcpy(bytes + 16, &input, 8);
}

TEST(ControlFrameTest, RequestHeadersAreCheckedAtTheirLimits) {
  struct Case {
    const char* name;
    uint32_t magic, flags, reserved;
    uint64_t input, output;
    FrameError expected;
  };
  const Case cases[] = {
      {"plain", kRequestMagic, 0, 0, 20, 20, FrameError::kNone},
      {"largest input", kRequestMagic, 0, 0, kMaxControlInput, 0, FrameError::kNone},
      {"input one over", kRequestMagic, 0, 0, kMaxControlInput + 1, 0, FrameError::kInputTooLarge},
      {"largest output", kRequestMagic, 0, 0, 0, kMaxControlOutput, FrameError::kNone},
      {"output one over", kRequestMagic, 0, 0, 0, kMaxControlOutput + 1,
       FrameError::kOutputTooLarge},
      {"input 2^64-1", kRequestMagic, 0, 0, ~uint64_t{0}, 0, FrameError::kInputTooLarge},
      {"reply magic", kReplyMagic, 0, 0, 0, 0, FrameError::kBadMagic},
      {"magic off by one", kRequestMagic + 1, 0, 0, 0, 0, FrameError::kBadMagic},
      {"reserved set", kRequestMagic, 0, 1, 0, 0, FrameError::kBadReserved},
      {"no-wait flag", kRequestMagic, kControlFlagNoWait, 0, 0, 0, FrameError::kNone},
      {"unknown flag", kRequestMagic, 2, 0, 0, 0, FrameError::kUnknownFlags},
  };
  for (const Case& c : cases) {
    uint8_t bytes[kFrameHeaderBytes];
    Header(bytes, c.magic, 6, c.flags, c.reserved, c.input, c.output);
    RequestHeader header;
    EXPECT_EQ(ParseRequestHeader(bytes, &header), c.expected) << c.name;
    if (c.expected == FrameError::kNone) {
      EXPECT_EQ(header.code, 6u) << c.name;
      EXPECT_EQ(header.inputLength, c.input) << c.name;
      EXPECT_EQ(header.outputLength, c.output) << c.name;
    }
  }
}

// A frame error the handler finds in a request's input (a drain asking for
// more than the output limit) ends the connection after its reply, as one in
// the header does: the request behind it is never read (fuzzing found the
// connection kept being served).
TEST(ControlFrameTest, AnInputFrameErrorEndsTheConnectionAfterItsReply) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  // Both requests are queued before the server starts, so the client never
  // writes to a connection the server has already closed.
  std::vector<uint8_t> frames;
  for (int i = 0; i < 2; ++i) {
    const std::vector<uint8_t> frame = EncodeRequest(kControlDrainLog, 0, nullptr, 0, 16);
    frames.insert(frames.end(), frame.begin(), frame.end());
  }
  ASSERT_EQ(send(fds[1], frames.data(), frames.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(frames.size()));
  shutdown(fds[1], SHUT_WR);  // a server that read on would then stop at the end
  uint64_t answered = 0;
  std::thread server([&] {
    answered = ServeConnection(fds[0], [](const RequestHeader&, const std::vector<uint8_t>&) {
      Reply reply;
      reply.error = FrameError::kOutputTooLarge;
      return reply;
    });
    close(fds[0]);
  });
  server.join();
  EXPECT_EQ(answered, 1u);
  uint8_t header[kFrameHeaderBytes];
  ASSERT_EQ(read(fds[1], header, sizeof header), static_cast<ssize_t>(sizeof header));
  Reply reply;
  uint64_t length = 0;
  ASSERT_TRUE(ParseReplyHeader(header, &reply, &length));
  EXPECT_EQ(reply.error, FrameError::kOutputTooLarge);
  // Closed with the second request unread (a reset): no second reply.
  EXPECT_LE(read(fds[1], header, sizeof header), 0);
  close(fds[1]);
}

TEST(ControlFrameTest, QueueRangesAreParsedWithinTheirLimits) {
  struct Case {
    const char* text;
    bool ok;
    uint16_t first, last;
  };
  const Case cases[] = {
      {"0", true, 0, 0},     {"3-4", true, 3, 4},    {"65535", true, 65535, 65535},
      {"0-63", true, 0, 63}, {"0-64", false, 0, 0},  {"65536", false, 0, 0},
      {"4-3", false, 0, 0},  {"", false, 0, 0},      {"-1", false, 0, 0},
      {"1-", false, 0, 0},   {"1-2-3", false, 0, 0}, {"x", false, 0, 0},
      {"1 ", false, 0, 0},
  };
  for (const Case& c : cases) {
    uint16_t first = 99, last = 99;
    EXPECT_EQ(ParseQueueRange(c.text, &first, &last), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(first, c.first) << c.text;
      EXPECT_EQ(last, c.last) << c.text;
    }
  }
}

TEST(BlockTableTest, ABlockLastsItsSecondsAndTheAllOnesParameterLastsForever) {
  BlockTable table;
  HostAddress a{}, b{}, c{};
  a.version = b.version = c.version = 4;
  a.bytes[0] = 10, b.bytes[0] = 11, c.bytes[0] = 12;
  const auto now = BlockTable::Clock::now();
  table.Block(a, 2, now);
  table.Block(b, 0x1FFFFFFFFull, now);  // only the low 32 bits count: forever
  table.Block(c, 0, now);               // the packet alone
  EXPECT_TRUE(table.IsBlocked(a, now + std::chrono::milliseconds(1999)));
  EXPECT_FALSE(table.IsBlocked(c, now));
  EXPECT_TRUE(table.IsBlocked(b, now + std::chrono::hours(24 * 365)));
  EXPECT_EQ(table.Snapshot(now).size(), 2u);
  EXPECT_FALSE(table.IsBlocked(a, now + std::chrono::seconds(2)));
  EXPECT_EQ(table.Snapshot(now).size(), 1u);  // the expired entry is gone
  HostAddress v6 = a;
  v6.version = 6;
  table.Block(a, 2, now);
  EXPECT_FALSE(table.IsBlocked(v6, now));  // same bytes, other family
}

// A service in this process: the real driver behind the control server, and
// an inspecting thread that keeps judging packets while the frames arrive.
class ControlServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("nips-ctl-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "ctl.sock").string();
    std::string error;
    driver_ = LoadSimulatedDriver(&error);
    ASSERT_TRUE(driver_) << error;
    ASSERT_TRUE(ConfigureDriver(driver_.get(), DefaultPolicy(), &error)) << error;
    engine_ = std::make_unique<InlineEngine>(driver_.get(), EngineOptions());
    DriverLink* link = driver_.get();
    ASSERT_TRUE(server_.Start(
        path_,
        [link](const RequestHeader& header, const std::vector<uint8_t>& input) {
          return ForwardToDriver(link, header, input, [] { return std::string("{\"ok\":1}"); });
        },
        &error))
        << error;
    attack_ = inlinetest::ExampleIpPacket("attack-2231-smb-negotiate-high-pid.pcap", 4);
    ASSERT_FALSE(attack_.empty());
    inspector_ = std::thread([this] {
      PacketOrigin origin;
      origin.adapterIndex = 1;
      while (!stop_.load()) {
        if (engine_->Judge(attack_.data(), attack_.size(), origin) == Decision::kDrop) ++drops_;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    });
  }
  void TearDown() override {
    stop_.store(true);
    if (inspector_.joinable()) inspector_.join();
    if (driver_) driver_->Control(kControlCloseLog, nullptr, 0, nullptr, 0, nullptr);
    server_.Stop();
    engine_.reset();
    if (driver_) driver_->Unload();
    driver_.reset();
    std::filesystem::remove_all(dir_);
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }

  // A malformed frame on a connection of its own: the error reply, then the
  // service's end of the connection closes.
  Reply SendMalformed(const std::vector<uint8_t>& bytes, bool closeWrite) {
    ControlClient client;
    std::string error;
    EXPECT_TRUE(client.Connect(path_, &error)) << error;
    EXPECT_TRUE(client.SendRaw(bytes, &error)) << error;
    if (closeWrite) client.ShutdownWrite();
    Reply reply;
    EXPECT_TRUE(client.ReadReply(&reply, &error)) << error;
    char extra;
    EXPECT_EQ(read(client.fd(), &extra, 1), 0) << "the connection stays open";
    return reply;
  }

  Reply Call(uint32_t code, const void* input, uint64_t inputLength, uint64_t outputLength,
             uint32_t flags = 0) {
    ControlClient client;
    std::string error;
    Reply reply;
    EXPECT_TRUE(client.Connect(path_, &error)) << error;
    EXPECT_TRUE(client.Call(code, flags, input, inputLength, outputLength, &reply, &error))
        << error;
    return reply;
  }

  std::filesystem::path dir_;
  std::string path_;
  std::unique_ptr<DriverLink> driver_;
  std::unique_ptr<InlineEngine> engine_;
  ControlServer server_;
  std::vector<uint8_t> attack_;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> drops_{0};
  std::thread inspector_;
};

TEST_F(ControlServiceTest, MalformedFramesGetTheirErrorAndTheServiceKeepsAnsweringAndInspecting) {
  const HandshakeRecord hello = kPluginVersion;
  std::vector<uint8_t> good = EncodeRequest(kControlHandshake, 0, &hello, sizeof hello, 20);
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    bool closeWrite;
    FrameError expected;
  };
  std::vector<uint8_t> garbage(kFrameHeaderBytes, 0xA5);
  std::vector<uint8_t> oversized = EncodeRequest(kControlApplyPolicy, 0, nullptr, 0, 0);
  const uint64_t tooMuch = kMaxControlInput + 12;
  memcpy(&oversized[16], &tooMuch, 8);
  std::vector<uint8_t> hugeOutput =
      EncodeRequest(kControlGetAdditionalData, 0, nullptr, 0, kMaxControlOutput + 1);
  const Case cases[] = {
      {"empty header then close", {}, true, FrameError::kTruncated},
      {"header cut at 31 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 31), true,
       FrameError::kTruncated},
      {"input cut one byte short", std::vector<uint8_t>(good.begin(), good.end() - 1), true,
       FrameError::kTruncated},
      {"garbage", garbage, false, FrameError::kBadMagic},
      {"oversized input", oversized, false, FrameError::kInputTooLarge},
      {"oversized output", hugeOutput, false, FrameError::kOutputTooLarge},
  };
  for (const Case& c : cases) {
    if (c.bytes.empty()) {
      // A peer that connects and closes at once sends no frame: no reply.
      ControlClient client;
      std::string error;
      ASSERT_TRUE(client.Connect(path_, &error));
      client.ShutdownWrite();
      char extra;
      EXPECT_EQ(read(client.fd(), &extra, 1), 0) << c.name;
      continue;
    }
    const Reply reply = SendMalformed(c.bytes, c.closeWrite);
    EXPECT_EQ(reply.error, c.expected) << c.name;
    EXPECT_EQ(static_cast<uint32_t>(reply.status), static_cast<uint32_t>(STATUS_INVALID_PARAMETER))
        << c.name;
    EXPECT_TRUE(reply.output.empty()) << c.name;
  }
  // Still answering, with the driver's own reply.
  const Reply handshake = Call(kControlHandshake, &hello, sizeof hello, 20);
  EXPECT_EQ(handshake.error, FrameError::kNone);
  EXPECT_EQ(handshake.status, STATUS_SUCCESS);
  ASSERT_EQ(handshake.output.size(), 20u);
  HandshakeRecord theirs;
  memcpy(&theirs, handshake.output.data(), sizeof theirs);
  EXPECT_EQ(theirs.build, kPluginVersion.build);
  // And still inspecting: the attack keeps being dropped.
  const uint64_t before = drops_.load();
  for (int i = 0; i < 200 && drops_.load() == before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(drops_.load(), before);
}

// The driver's own buffer checks are tested with the engine; here each length, the status and
// the count returned must cross the socket unchanged.
TEST_F(ControlServiceTest, WrongBufferSizesAreRefusedByTheDriverOverOneConnection) {
  ControlClient client;
  std::string error;
  ASSERT_TRUE(client.Connect(path_, &error)) << error;
  const HandshakeRecord hello = kPluginVersion;
  uint8_t bytes[1024] = {};
  memcpy(bytes, &hello, sizeof hello);
  const uint32_t mask = 0x7F;
  struct Case {
    const char* name;
    uint32_t code;
    const void* input;
    uint64_t inputLength, outputLength;
    NTSTATUS status;
    uint64_t returned;
  };
  const Case cases[] = {
      {"handshake input 19", kControlHandshake, bytes, 19, 20, STATUS_INVALID_PARAMETER, 0},
      {"handshake output 19", kControlHandshake, bytes, 20, 19, STATUS_INVALID_PARAMETER, 0},
      {"handshake output 21", kControlHandshake, bytes, 20, 21, STATUS_SUCCESS, 20},
      {"header 31", kControlSetBankHeader, bytes, 31, 0, STATUS_INVALID_PARAMETER, 0},
      {"log mask with output", kControlSetLogMask, &mask, 4, 4, STATUS_INVALID_PARAMETER, 0},
      {"drain output 17", kControlDrainLog, bytes, 16, 17, STATUS_INVALID_PARAMETER, 0},
      {"drain null address", kControlDrainLog, bytes, 16, 16, STATUS_ACCESS_VIOLATION, 16},
      {"evidence slot 0", kControlGetAdditionalData, bytes, 4, 1024, STATUS_INVALID_PARAMETER,
       1024},
      {"code 9", 9, nullptr, 0, 0, STATUS_NOT_IMPLEMENTED, 0},
  };
  for (const Case& c : cases) {
    Reply reply;
    ASSERT_TRUE(client.Call(c.code, 0, c.input, c.inputLength, c.outputLength, &reply, &error))
        << c.name << ": " << error;
    EXPECT_EQ(reply.error, FrameError::kNone) << c.name;
    EXPECT_EQ(static_cast<uint32_t>(reply.status), static_cast<uint32_t>(c.status)) << c.name;
    EXPECT_EQ(reply.bytesReturned, c.returned) << c.name;
  }
  // The configuration survived every refusal: the attack is still dropped.
  PacketOrigin origin;
  EXPECT_EQ(engine_->Judge(attack_.data(), attack_.size(), origin), Decision::kDrop);
}

TEST_F(ControlServiceTest, TheLogDrainReturnsTheRecordsBehindItsOutputRecord) {
  // Nothing queued: the no-wait drain answers at once with nothing.
  DrainRequest request = {1, kNimqCapacity};
  Reply empty = Call(kControlDrainLog, &request, sizeof request, 16, kControlFlagNoWait);
  ASSERT_EQ(empty.status, STATUS_SUCCESS);
  ASSERT_EQ(empty.output.size(), 16u);
  // Information lines on, one configuration cycle: its line comes back.
  const uint32_t mask = 0x7E;
  ASSERT_EQ(Call(kControlSetLogMask, &mask, 4, 0).status, STATUS_SUCCESS);
  std::string error;
  ASSERT_TRUE(ConfigureDriver(driver_.get(), DefaultPolicy(), &error)) << error;
  Reply reply = Call(kControlDrainLog, &request, sizeof request, 16);
  ASSERT_EQ(reply.status, STATUS_SUCCESS);
  ASSERT_GE(reply.output.size(), 16u);
  DrainReply drained;
  memcpy(&drained, reply.output.data(), sizeof drained);
  EXPECT_EQ(drained.returned, reply.output.size() - 16);
  std::vector<LogRecord> records;
  ASSERT_TRUE(
      DecodeNimqRecords(reply.output.data() + 16, reply.output.size() - 16, &records, &error))
      << error;
  bool enforced = false;
  for (const LogRecord& record : records) enforced |= record.text == "Enforced new configuration.";
  EXPECT_TRUE(enforced);
  // A buffer too small keeps the records: size says what is needed.
  ASSERT_TRUE(ConfigureDriver(driver_.get(), DefaultPolicy(), &error)) << error;
  DrainRequest small = {1, 4};
  Reply tooSmall = Call(kControlDrainLog, &small, sizeof small, 16);
  ASSERT_EQ(tooSmall.status, STATUS_SUCCESS);
  ASSERT_EQ(tooSmall.output.size(), 16u);
  memcpy(&drained, tooSmall.output.data(), sizeof drained);
  EXPECT_GT(drained.size, 4u);
  EXPECT_EQ(drained.returned, 0u);
  // The service's own request answers with its text.
  Reply stats = Call(kServiceRequestStats, nullptr, 0, 64);
  EXPECT_EQ(std::string(stats.output.begin(), stats.output.end()), "{\"ok\":1}");
  EXPECT_EQ(Call(kServiceRequestStats, nullptr, 0, 3).status, STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ControlServiceTest, ASecondServiceIsRefusedTheSocketAndAStaleFileIsReplaced) {
  ControlServer second;
  std::string error;
  EXPECT_FALSE(second.Start(
      path_, [](const RequestHeader&, const std::vector<uint8_t>&) { return Reply(); }, &error));
  EXPECT_NE(error.find("held by another"), std::string::npos) << error;
  EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  // A socket file nobody answers on (a killed service) is taken over.
  const std::string stale = (dir_ / "stale.sock").string();
  {
    ControlServer first;
    ASSERT_TRUE(first.Start(
        stale, [](const RequestHeader&, const std::vector<uint8_t>&) { return Reply(); }, &error))
        << error;
    first.Stop();
  }
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  strcpy(address.sun_path, stale.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);  // bound, never listening: stale
  ControlServer third;
  EXPECT_TRUE(third.Start(
      stale, [](const RequestHeader&, const std::vector<uint8_t>&) { return Reply(); }, &error))
      << error;
}

}  // namespace
}  // namespace nipstool
