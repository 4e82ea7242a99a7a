// Fuzz target: arbitrary bytes as the stream a control-socket client sends.
// The service's connection loop reads and parses the frames from one end of
// a socket pair (in-process; nothing listens) and forwards each well-formed
// request, marshalled as for the driver, to a stand-in driver that checks the
// buffers it is given. Checks: every frame gets exactly one reply, a frame
// error ends the connection, the replies parse, and every buffer handed to
// the driver has the length the frame named (the stand-in reads or writes every
// byte of them, so a short one is an ASan report).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "tools/control_socket.h"
#include "tools/driver_requests.h"

namespace {

#define FUZZ_CHECK(condition)  \
  do {                         \
    if (!(condition)) abort(); \
  } while (0)

class CheckingDriver final : public nipstool::DriverLink {
 public:
  NTSTATUS Control(ULONG code, void* input, uint64_t inputLength, void* output,
                   uint64_t outputLength, uint64_t* bytesReturned) override {
    FUZZ_CHECK((input == nullptr) == (inputLength == 0));
    FUZZ_CHECK((output == nullptr) == (outputLength == 0));
    FUZZ_CHECK(bytesReturned != nullptr);
    Read(input, inputLength);
    Write(output, outputLength);
    uint64_t answer = (inputLength * 7 + code) % (outputLength + 2);  // may overstate by one
    if (code == 6 && inputLength == sizeof(nipstool::DrainRequest)) {
      nipstool::DrainRequest request;
      memcpy(&request, input, sizeof request);
      // The service's own buffer, of the length the client asked for.
      if (request.address != 0) Write(reinterpret_cast<void*>(request.address), request.length);
      if (outputLength == sizeof(nipstool::DrainReply)) {
        const nipstool::DrainReply reply = {request.length, request.length + (code & 1)};
        memcpy(output, &reply, sizeof reply);
        answer = sizeof reply;
      }
    }
    *bytesReturned = answer;
    return (code & 1) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  }
  std::optional<LONG> Inspect(HostPacket*) override { return std::nullopt; }
  std::optional<uint64_t> LogBacklogBytes() override { return 0; }
  void Unload() override {}

 private:
  static void Read(const void* p, uint64_t n) {
    const volatile uint8_t* bytes = static_cast<const volatile uint8_t*>(p);
    for (uint64_t i = 0; i < n; ++i) (void)bytes[i];
  }
  static void Write(void* p, uint64_t n) {
    if (n != 0) memset(p, 0x5A, n);
  }
};

// Reads what the service wrote until it closed its end.
std::vector<uint8_t> ReadAll(int fd) {
  std::vector<uint8_t> all;
  uint8_t chunk[4096];
  for (;;) {
    const ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) return all;
    all.insert(all.end(), chunk, chunk + n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The header parser alone, on the first 32 bytes.
  if (size >= nipstool::kFrameHeaderBytes) {
    uint8_t header[nipstool::kFrameHeaderBytes];
    memcpy(header, data, sizeof header);
    nipstool::RequestHeader request;
    if (nipstool::ParseRequestHeader(header, &request) == nipstool::FrameError::kNone) {
      FUZZ_CHECK(request.inputLength <= nipstool::kMaxControlInput &&
                 request.outputLength <= nipstool::kMaxControlOutput);
    }
  }
  // The whole stream must fit the socket buffer: the loop runs on this thread.
  if (size > 64 * 1024) return 0;
  int fds[2];
  FUZZ_CHECK(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
  const int sndbuf = 1 << 20;
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  FUZZ_CHECK(size == 0 || write(fds[0], data, size) == static_cast<ssize_t>(size));
  FUZZ_CHECK(shutdown(fds[0], SHUT_WR) == 0);

  // Replies may be larger than the socket buffer: read them as they come.
  std::vector<uint8_t> replies;
  std::thread reader([&] { replies = ReadAll(fds[0]); });
  CheckingDriver driver;
  uint64_t handled = 0;
  const uint64_t answered = nipstool::ServeConnection(
      fds[1], [&](const nipstool::RequestHeader& header, const std::vector<uint8_t>& input) {
        FUZZ_CHECK(input.size() == header.inputLength);
        ++handled;
        return nipstool::ForwardToDriver(&driver, header, input, [] { return std::string("{}"); });
      });
  FUZZ_CHECK(answered == handled);
  close(fds[1]);
  reader.join();
  close(fds[0]);

  // Every reply header parses and only the last may carry a frame error:
  // nothing is served after one.
  size_t at = 0;
  uint64_t count = 0;
  bool errored = false;
  while (at < replies.size()) {
    FUZZ_CHECK(!errored);
    FUZZ_CHECK(replies.size() - at >= nipstool::kFrameHeaderBytes);
    uint8_t header[nipstool::kFrameHeaderBytes];
    memcpy(header, replies.data() + at, sizeof header);
    nipstool::Reply reply;
    uint64_t outputLength = 0;
    FUZZ_CHECK(nipstool::ParseReplyHeader(header, &reply, &outputLength));
    at += sizeof header;
    FUZZ_CHECK(replies.size() - at >= outputLength);
    at += outputLength;
    errored = reply.error != nipstool::FrameError::kNone;
    ++count;
  }
  // The service's own frame error (for a header) is a reply beyond the
  // answered requests; a request refused for its input is answered.
  FUZZ_CHECK(count == answered || (errored && count == answered + 1));
  return 0;
}
