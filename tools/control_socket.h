// The inline service's control socket: a Unix stream socket carrying the
// driver's control requests as framed messages, and the client side that
// `nips ctl` uses.
//
// Request frame, little-endian: a 32-byte header (magic "NIPQ", code,
// flags, reserved 0, u64 input length, u64 output length) followed by the
// input bytes. Reply frame: a 32-byte header (magic "NIPR", frame error,
// NTSTATUS, reserved 0, u64 bytes returned, u64 output length) followed by
// that many output bytes. The service allocates the input and output buffers
// at exactly the lengths the frame names (null for 0), as the I/O manager
// does for a buffered device request, so the driver's own buffer checks
// judge them. A frame the service cannot take (wrong magic, non-zero
// reserved word, a length over the limits, a peer that closes mid-frame) gets
// a reply with a frame error and no call into the driver; the connection is
// then closed, since the rest of the stream cannot be trusted.
//
// Request 6 carries an address in its input, which means nothing in the
// service's address space: the service drains into a buffer of its own of
// the length the input names and returns the records after the 16-byte
// output record (output length 16 + returned).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/driver_link.h"

namespace nipstool {

constexpr uint32_t kRequestMagic = 0x5150494E;  // "NIPQ"
constexpr uint32_t kReplyMagic = 0x5250494E;    // "NIPR"
constexpr size_t kFrameHeaderBytes = 32;
// Larger than any request the driver takes (a full policy is 48 records of
// 12 bytes; a full log queue is 128 KiB).
constexpr uint64_t kMaxControlInput = 64 * 1024;
constexpr uint64_t kMaxControlOutput = 1024 * 1024;

// Request flag: for request 6, answer at once with nothing when the log
// queue is empty instead of waiting for records.
constexpr uint32_t kControlFlagNoWait = 1;

// Requests the service answers itself; the driver's codes are 1-8.
constexpr uint32_t kServiceRequestStats = 0x100;  // output: the statistics as JSON

enum class FrameError : uint32_t {
  kNone = 0,
  kBadMagic = 1,
  kBadReserved = 2,
  kInputTooLarge = 3,
  kOutputTooLarge = 4,
  kTruncated = 5,
  kUnknownFlags = 6,
};
const char* FrameErrorName(FrameError error);

struct RequestHeader {
  uint32_t code = 0;
  uint32_t flags = 0;
  uint64_t inputLength = 0;
  uint64_t outputLength = 0;
};

struct Reply {
  FrameError error = FrameError::kNone;
  NTSTATUS status = 0;
  uint64_t bytesReturned = 0;
  std::vector<uint8_t> output;
};

// Frame encoding and the checks on a received request header.
std::vector<uint8_t> EncodeRequest(uint32_t code, uint32_t flags, const void* input,
                                   uint64_t inputLength, uint64_t outputLength);
std::vector<uint8_t> EncodeReply(const Reply& reply);
FrameError ParseRequestHeader(const uint8_t (&bytes)[kFrameHeaderBytes], RequestHeader* header);
// False when the 32 bytes are not a reply header; *outputLength is what follows.
bool ParseReplyHeader(const uint8_t (&bytes)[kFrameHeaderBytes], Reply* reply,
                      uint64_t* outputLength);

// What the service does with one well-formed request.
using RequestHandler =
    std::function<Reply(const RequestHeader& header, const std::vector<uint8_t>& input)>;

// Serves one connection until the peer closes it or a frame error; every
// frame gets exactly one reply. Returns the number of requests answered.
uint64_t ServeConnection(int fd, const RequestHandler& handler);

// Forwards a request to the driver with its buffers marshalled as above;
// `stats` answers kServiceRequestStats.
Reply ForwardToDriver(DriverLink* driver, const RequestHeader& header,
                      const std::vector<uint8_t>& input, const std::function<std::string()>& stats);

// The listening socket and one thread per connection.
class ControlServer {
 public:
  ControlServer() = default;
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Binds `path` with mode 0600. Refuses (false, *error) when another
  // process answers on it; a stale socket file is replaced.
  bool Start(const std::string& path, RequestHandler handler, std::string* error);
  // Stops accepting, shuts every connection down and joins their threads. A
  // thread blocked in the driver (a log drain) must be released first.
  void Stop();
  uint64_t connections() const { return connections_.load(); }
  uint64_t requests() const { return requests_.load(); }

 private:
  void Accept();

  std::string path_;
  RequestHandler handler_;
  int listenFd_ = -1;
  int wakeFd_[2] = {-1, -1};
  std::atomic<bool> stopping_{false};
  std::thread acceptThread_;
  std::mutex mutex_;
  std::set<int> open_;
  struct Connection {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };
  std::vector<Connection> threads_;  // finished ones are joined at the next accept
  std::atomic<uint64_t> connections_{0};
  std::atomic<uint64_t> requests_{0};
};

// The client side: one connection, one request at a time.
class ControlClient {
 public:
  ~ControlClient();
  bool Connect(const std::string& path, std::string* error);
  // False with *error when the connection fails; a frame error comes back in
  // reply->error.
  bool Call(uint32_t code, uint32_t flags, const void* input, uint64_t inputLength,
            uint64_t outputLength, Reply* reply, std::string* error);
  // Sends raw bytes and reads one reply (tests of malformed frames).
  bool SendRaw(const std::vector<uint8_t>& bytes, std::string* error);
  bool ReadReply(Reply* reply, std::string* error);
  void ShutdownWrite();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace nipstool
