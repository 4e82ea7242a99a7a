#include "tools/control_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "nips/engine/config.h"
#include "tools/driver_requests.h"

namespace nipstool {
namespace {

void PutU32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutU64(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t GetU32(const uint8_t* at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<uint32_t>(at[i]) << (8 * i);
  return value;
}
uint64_t GetU64(const uint8_t* at) {
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(at[i]) << (8 * i);
  return value;
}

// Header offsets, the same in both directions.
constexpr size_t kMagicAt = 0;
constexpr size_t kWord1At = 4;  // code / frame error
constexpr size_t kWord2At = 8;  // flags / status
constexpr size_t kReservedAt = 12;
constexpr size_t kLength1At = 16;  // input length / bytes returned
constexpr size_t kLength2At = 24;  // output length

// Bytes read before EOF (less than `length` when the peer closed), or -1.
ssize_t ReadFull(int fd, void* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = read(fd, static_cast<uint8_t*>(buffer) + done, length - done);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

bool WriteFull(int fd, const void* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n =
        send(fd, static_cast<const uint8_t*>(buffer) + done, length - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool SocketAddress(const std::string& path, sockaddr_un* address, std::string* error) {
  memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address->sun_path) {
    *error = fmt::format("control socket path '{}' is empty or longer than {} bytes", path,
                         sizeof address->sun_path - 1);
    return false;
  }
  memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

Reply ErrorReply(FrameError error) {
  Reply reply;
  reply.error = error;
  reply.status = STATUS_INVALID_PARAMETER;
  return reply;
}

}  // namespace

const char* FrameErrorName(FrameError error) {
  switch (error) {
    case FrameError::kNone:
      return "none";
    case FrameError::kBadMagic:
      return "bad magic";
    case FrameError::kBadReserved:
      return "reserved word not zero";
    case FrameError::kInputTooLarge:
      return "input too large";
    case FrameError::kOutputTooLarge:
      return "output too large";
    case FrameError::kTruncated:
      return "truncated frame";
    case FrameError::kUnknownFlags:
      return "unknown flags";
  }
  return "unknown frame error";
}

std::vector<uint8_t> EncodeRequest(uint32_t code, uint32_t flags, const void* input,
                                   uint64_t inputLength, uint64_t outputLength) {
  std::vector<uint8_t> frame(kFrameHeaderBytes + inputLength);
  PutU32(&frame[kMagicAt], kRequestMagic);
  PutU32(&frame[kWord1At], code);
  PutU32(&frame[kWord2At], flags);
  PutU32(&frame[kReservedAt], 0);
  PutU64(&frame[kLength1At], inputLength);
  PutU64(&frame[kLength2At], outputLength);
  if (inputLength != 0) memcpy(&frame[kFrameHeaderBytes], input, inputLength);
  return frame;
}

std::vector<uint8_t> EncodeReply(const Reply& reply) {
  std::vector<uint8_t> frame(kFrameHeaderBytes + reply.output.size());
  PutU32(&frame[kMagicAt], kReplyMagic);
  PutU32(&frame[kWord1At], static_cast<uint32_t>(reply.error));
  PutU32(&frame[kWord2At], static_cast<uint32_t>(reply.status));
  PutU32(&frame[kReservedAt], 0);
  PutU64(&frame[kLength1At], reply.bytesReturned);
  PutU64(&frame[kLength2At], reply.output.size());
  if (!reply.output.empty()) {
    memcpy(&frame[kFrameHeaderBytes], reply.output.data(), reply.output.size());
  }
  return frame;
}

FrameError ParseRequestHeader(const uint8_t (&bytes)[kFrameHeaderBytes], RequestHeader* header) {
  if (GetU32(&bytes[kMagicAt]) != kRequestMagic) return FrameError::kBadMagic;
  if (GetU32(&bytes[kReservedAt]) != 0) return FrameError::kBadReserved;
  header->code = GetU32(&bytes[kWord1At]);
  header->flags = GetU32(&bytes[kWord2At]);
  header->inputLength = GetU64(&bytes[kLength1At]);
  header->outputLength = GetU64(&bytes[kLength2At]);
  if ((header->flags & ~kControlFlagNoWait) != 0) return FrameError::kUnknownFlags;
  if (header->inputLength > kMaxControlInput) return FrameError::kInputTooLarge;
  if (header->outputLength > kMaxControlOutput) return FrameError::kOutputTooLarge;
  return FrameError::kNone;
}

bool ParseReplyHeader(const uint8_t (&bytes)[kFrameHeaderBytes], Reply* reply,
                      uint64_t* outputLength) {
  if (GetU32(&bytes[kMagicAt]) != kReplyMagic) return false;
  reply->error = static_cast<FrameError>(GetU32(&bytes[kWord1At]));
  reply->status = static_cast<NTSTATUS>(GetU32(&bytes[kWord2At]));
  reply->bytesReturned = GetU64(&bytes[kLength1At]);
  *outputLength = GetU64(&bytes[kLength2At]);
  return *outputLength <= kMaxControlOutput + sizeof(DrainReply);
}

uint64_t ServeConnection(int fd, const RequestHandler& handler) {
  uint64_t answered = 0;
  for (;;) {
    uint8_t bytes[kFrameHeaderBytes];
    const ssize_t got = ReadFull(fd, bytes, sizeof bytes);
    if (got == 0) return answered;  // the peer is done
    if (got < 0) return answered;
    FrameError error = FrameError::kTruncated;
    RequestHeader header;
    if (static_cast<size_t>(got) == sizeof bytes) error = ParseRequestHeader(bytes, &header);
    std::vector<uint8_t> input;
    if (error == FrameError::kNone) {
      input.resize(header.inputLength);
      const ssize_t n = ReadFull(fd, input.data(), input.size());
      if (n < 0 || static_cast<uint64_t>(n) != header.inputLength) error = FrameError::kTruncated;
    }
    if (error != FrameError::kNone) {
      const std::vector<uint8_t> reply = EncodeReply(ErrorReply(error));
      WriteFull(fd, reply.data(), reply.size());
      return answered;
    }
    const Reply answer = handler(header, input);
    const std::vector<uint8_t> reply = EncodeReply(answer);
    ++answered;
    if (!WriteFull(fd, reply.data(), reply.size())) return answered;
    // A frame error found in the input (a drain longer than the limit) ends
    // the connection like one found in the header.
    if (answer.error != FrameError::kNone) return answered;
  }
}

Reply ForwardToDriver(DriverLink* driver, const RequestHeader& header,
                      const std::vector<uint8_t>& input,
                      const std::function<std::string()>& stats) {
  Reply reply;
  if (header.code == kServiceRequestStats) {
    const std::string text = stats ? stats() : std::string("{}");
    reply.status = STATUS_SUCCESS;
    if (text.size() > header.outputLength) {
      // Like a too-small drain: nothing copied, the length needed returned.
      reply.status = STATUS_BUFFER_TOO_SMALL;
      reply.bytesReturned = text.size();
      return reply;
    }
    reply.output.assign(text.begin(), text.end());
    reply.bytesReturned = text.size();
    return reply;
  }
  // Buffers of exactly the lengths named, null for 0.
  std::vector<uint8_t> in(input);
  std::vector<uint8_t> out(header.outputLength);
  void* inPointer = in.empty() ? nullptr : in.data();
  void* outPointer = out.empty() ? nullptr : out.data();
  std::vector<uint8_t> records;
  const bool drain = header.code == kControlDrainLog && in.size() == sizeof(DrainRequest);
  if (drain) {
    DrainRequest request;
    memcpy(&request, in.data(), sizeof request);
    if (request.length > kMaxControlOutput) return ErrorReply(FrameError::kOutputTooLarge);
    if ((header.flags & kControlFlagNoWait) != 0) {
      const std::optional<uint64_t> backlog = driver->LogBacklogBytes();
      if (backlog && *backlog == 0 && out.size() == sizeof(DrainReply)) {
        reply.status = STATUS_SUCCESS;
        reply.bytesReturned = sizeof(DrainReply);
        reply.output.assign(sizeof(DrainReply), 0);
        return reply;
      }
    }
    // A null address stays null, so that the driver refuses it as it would
    // refuse the caller's.
    if (request.address != 0 && request.length != 0) {
      records.resize(request.length);
      request.address = reinterpret_cast<uint64_t>(records.data());
      memcpy(in.data(), &request, sizeof request);
    }
  }
  uint64_t returned = 0;
  reply.status =
      driver->Control(header.code, inPointer, in.size(), outPointer, out.size(), &returned);
  reply.bytesReturned = returned;
  const uint64_t copy = std::min<uint64_t>(returned, out.size());
  reply.output.assign(out.begin(), out.begin() + static_cast<ptrdiff_t>(copy));
  if (drain && NT_SUCCESS(reply.status) && out.size() == sizeof(DrainReply)) {
    DrainReply drained;
    memcpy(&drained, out.data(), sizeof drained);
    if (drained.returned <= records.size()) {
      reply.output.insert(reply.output.end(), records.begin(),
                          records.begin() + static_cast<ptrdiff_t>(drained.returned));
    }
  }
  return reply;
}

ControlServer::~ControlServer() { Stop(); }

bool ControlServer::Start(const std::string& path, RequestHandler handler, std::string* error) {
  sockaddr_un address;
  if (!SocketAddress(path, &address, error)) return false;
  // Another service answering on the path keeps it; a file nobody answers on
  // is what a killed service leaves behind.
  const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe >= 0) {
    const bool held = connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    close(probe);
    if (held) {
      *error = fmt::format("control socket {} is held by another running service", path);
      return false;
    }
  }
  struct stat existing;
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      *error = fmt::format("{} exists and is not a socket", path);
      return false;
    }
    unlink(path.c_str());
  }
  listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) {
    *error = fmt::format("socket: {}", strerror(errno));
    return false;
  }
  // Created with mode 0600 from the start: no window in which others may connect.
  const mode_t old = umask(0177);
  const int bound = bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
  const int bindErrno = errno;
  umask(old);
  if (bound != 0 || listen(listenFd_, 16) != 0) {
    *error = fmt::format("bind {}: {}", path, strerror(bound != 0 ? bindErrno : errno));
    close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  chmod(path.c_str(), 0600);
  if (pipe2(wakeFd_, O_CLOEXEC) != 0) {
    *error = fmt::format("pipe: {}", strerror(errno));
    close(listenFd_);
    listenFd_ = -1;
    return false;
  }
  path_ = path;
  handler_ = std::move(handler);
  acceptThread_ = std::thread([this] { Accept(); });
  return true;
}

void ControlServer::Accept() {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakeFd_[0], POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (stopping_.load() || (fds[1].revents & POLLIN) != 0) return;
    if ((fds[0].revents & POLLIN) == 0) continue;
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    connections_.fetch_add(1);
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_.load()) {
      close(fd);
      return;
    }
    for (size_t i = 0; i < threads_.size();) {
      if (threads_[i].done->load()) {
        threads_[i].thread.join();
        threads_[i] = std::move(threads_.back());
        threads_.pop_back();
      } else {
        ++i;
      }
    }
    open_.insert(fd);
    auto done = std::make_shared<std::atomic<bool>>(false);
    threads_.push_back({std::thread([this, fd, done] {
                          requests_.fetch_add(ServeConnection(fd, handler_));
                          std::lock_guard<std::mutex> inner(mutex_);
                          open_.erase(fd);
                          close(fd);
                          done->store(true);
                        }),
                        done});
  }
}

void ControlServer::Stop() {
  if (listenFd_ < 0) return;
  stopping_.store(true);
  const char wake = 1;
  (void)!write(wakeFd_[1], &wake, 1);
  acceptThread_.join();
  std::vector<Connection> threads;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (int fd : open_) shutdown(fd, SHUT_RDWR);
    threads.swap(threads_);
  }
  for (Connection& connection : threads) connection.thread.join();
  close(listenFd_);
  listenFd_ = -1;
  close(wakeFd_[0]);
  close(wakeFd_[1]);
  unlink(path_.c_str());
}

ControlClient::~ControlClient() {
  if (fd_ >= 0) close(fd_);
}

bool ControlClient::Connect(const std::string& path, std::string* error) {
  sockaddr_un address;
  if (!SocketAddress(path, &address, error)) return false;
  fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    *error = fmt::format("cannot connect to {}: {}", path, strerror(errno));
    return false;
  }
  return true;
}

bool ControlClient::SendRaw(const std::vector<uint8_t>& bytes, std::string* error) {
  if (WriteFull(fd_, bytes.data(), bytes.size())) return true;
  *error = fmt::format("send: {}", strerror(errno));
  return false;
}

bool ControlClient::ReadReply(Reply* reply, std::string* error) {
  uint8_t bytes[kFrameHeaderBytes];
  const ssize_t got = ReadFull(fd_, bytes, sizeof bytes);
  if (got != static_cast<ssize_t>(sizeof bytes)) {
    *error = got < 0 ? fmt::format("receive: {}", strerror(errno))
                     : std::string("the service closed the connection");
    return false;
  }
  uint64_t length = 0;
  if (!ParseReplyHeader(bytes, reply, &length)) {
    *error = "the service sent a malformed reply";
    return false;
  }
  reply->output.resize(length);
  if (ReadFull(fd_, reply->output.data(), length) != static_cast<ssize_t>(length)) {
    *error = "the service closed the connection mid-reply";
    return false;
  }
  return true;
}

bool ControlClient::Call(uint32_t code, uint32_t flags, const void* input, uint64_t inputLength,
                         uint64_t outputLength, Reply* reply, std::string* error) {
  return SendRaw(EncodeRequest(code, flags, input, inputLength, outputLength), error) &&
         ReadReply(reply, error);
}

void ControlClient::ShutdownWrite() { shutdown(fd_, SHUT_WR); }

}  // namespace nipstool
