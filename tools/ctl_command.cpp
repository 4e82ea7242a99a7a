#include "tools/ctl_command.h"

#include <fmt/format.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include "nips/engine/additional_data.h"
#include "nips/engine/config.h"
#include "nips/engine/nimq.h"
#include "tools/control_socket.h"
#include "tools/driver_requests.h"
#include "tools/nimq_log.h"
#include "tools/policy.h"
#include "tools/scan_command.h"

namespace nipstool {
namespace {

constexpr int kExitRefused = 1;  // the driver or the service refused the request
constexpr uint64_t kStatsOutputBytes = 256 * 1024;

class Session {
 public:
  explicit Session(const std::string& path) : path_(path) {}
  bool Connect() {
    std::string error;
    if (client_.Connect(path_, &error)) return true;
    fprintf(stderr, "nips ctl: %s\n", error.c_str());
    return false;
  }
  // One request; false (after saying why) unless the frame was taken and
  // the status is a success.
  bool Call(uint32_t code, const char* name, const void* input, uint64_t inputLength,
            uint64_t outputLength, Reply* reply, uint32_t flags = 0) {
    std::string error;
    if (!client_.Call(code, flags, input, inputLength, outputLength, reply, &error)) {
      fprintf(stderr, "nips ctl: %s: %s\n", name, error.c_str());
      return false;
    }
    if (reply->error != FrameError::kNone) {
      fprintf(stderr, "nips ctl: %s: the service refused the frame: %s\n", name,
              FrameErrorName(reply->error));
      return false;
    }
    if (!NT_SUCCESS(reply->status)) {
      fprintf(stderr, "nips ctl: %s: request %u refused: %s\n", name, code,
              StatusText(reply->status).c_str());
      return false;
    }
    return true;
  }

 private:
  std::string path_;
  ControlClient client_;
};

bool Handshake(Session* session, HandshakeRecord* theirs) {
  HandshakeRecord ours = kPluginVersion;
  Reply reply;
  if (!session->Call(kControlHandshake, "handshake", &ours, sizeof ours, sizeof ours, &reply)) {
    return false;
  }
  if (reply.output.size() != sizeof *theirs) {
    fprintf(stderr, "nips ctl: handshake: %zu bytes returned\n", reply.output.size());
    return false;
  }
  memcpy(theirs, reply.output.data(), sizeof *theirs);
  return true;
}

int Log(Session* session, bool follow) {
  // One full queue per drain: "too small" never happens.
  const uint64_t capacity = kNimqCapacity;
  for (;;) {
    DrainRequest request = {1, capacity};  // the service substitutes its own buffer
    Reply reply;
    if (!session->Call(kControlDrainLog, "log", &request, sizeof request, sizeof(DrainReply),
                       &reply, follow ? 0 : kControlFlagNoWait)) {
      return kExitRefused;
    }
    if (reply.output.size() < sizeof(DrainReply)) {
      fprintf(stderr, "nips ctl: log: %zu bytes returned\n", reply.output.size());
      return kExitRefused;
    }
    DrainReply drained;
    memcpy(&drained, reply.output.data(), sizeof drained);
    const size_t bytes = reply.output.size() - sizeof drained;
    std::vector<LogRecord> records;
    std::string error;
    const bool decoded =
        DecodeNimqRecords(reply.output.data() + sizeof drained, bytes, &records, &error);
    for (const LogRecord& record : records) printf("%s\n", FormatLogRecord(record).c_str());
    fflush(stdout);
    if (!decoded) {
      fprintf(stderr, "nips ctl: log: %s\n", error.c_str());
      return kExitRefused;
    }
    // A blocking drain that brings nothing back means the log was closed.
    if (!follow || bytes == 0) return kExitOk;
  }
}

}  // namespace

int RunCtl(const CtlArguments& args) {
  signal(SIGPIPE, SIG_IGN);
  Session session(args.controlPath);
  if (!session.Connect()) return kExitRefused;
  const std::string& command = args.command;
  if (command == "handshake") {
    HandshakeRecord theirs;
    if (!Handshake(&session, &theirs)) return kExitRefused;
    printf("driver %u.%u.%u.%u (magic 0x%08X)\n", theirs.major, theirs.minor, theirs.revision,
           theirs.build, theirs.magic);
    return kExitOk;
  }
  if (command == "policy") {
    Policy policy;
    std::string error;
    if (!LoadPolicyFile(args.argument, &policy, &error)) {
      fprintf(stderr, "nips ctl: %s: %s\n", args.argument.c_str(), error.c_str());
      return kExitUsage;
    }
    HandshakeRecord theirs;
    const std::vector<uint8_t> header = BankHeaderBytes(policy);
    const std::vector<uint8_t> records = PolicyRecordBytes(policy);
    Reply reply;
    if (!Handshake(&session, &theirs) ||
        !session.Call(kControlSetBankHeader, "bank header", header.data(), header.size(), 0,
                      &reply) ||
        !session.Call(kControlApplyPolicy, "signature policy", records.data(), records.size(), 0,
                      &reply) ||
        !session.Call(kControlEnforce, "enforce", nullptr, 0, 0, &reply)) {
      return kExitRefused;
    }
    size_t enabled = 0;
    for (const PolicyEntry& entry : policy.signatures) enabled += entry.level != 0 ? 1 : 0;
    printf("policy %s enforced: %zu signatures enabled\n", args.argument.c_str(), enabled);
    return kExitOk;
  }
  if (command == "log-mask") {
    uint32_t mask;
    if (!ParseLogMask(args.argument, &mask)) {
      fprintf(stderr, "nips ctl: log-mask %s: expected a number from 0 to 0xFFFFFFFF\n",
              args.argument.c_str());
      return kExitUsage;
    }
    Reply reply;
    return session.Call(kControlSetLogMask, "log-mask", &mask, sizeof mask, 0, &reply)
               ? kExitOk
               : kExitRefused;
  }
  if (command == "log") return Log(&session, args.follow);
  if (command == "close-log") {
    Reply reply;
    return session.Call(kControlCloseLog, "close-log", nullptr, 0, 0, &reply) ? kExitOk
                                                                              : kExitRefused;
  }
  if (command == "evidence") {
    char* end = nullptr;
    const long slot = strtol(args.argument.c_str(), &end, 10);
    if (args.argument.empty() || *end != '\0' || slot < INT32_MIN || slot > INT32_MAX) {
      fprintf(stderr, "nips ctl: evidence %s: expected a slot number\n", args.argument.c_str());
      return kExitUsage;
    }
    int32_t index = static_cast<int32_t>(slot);
    Reply reply;
    if (!session.Call(kControlGetAdditionalData, "evidence", &index, sizeof index,
                      kAdditionalDataSlotBytes, &reply)) {
      return kExitRefused;
    }
    std::u16string text;
    for (size_t i = 0; i + 1 < reply.output.size(); i += 2) {
      const char16_t c = static_cast<char16_t>(reply.output[i] | reply.output[i + 1] << 8);
      if (c == 0) break;
      text.push_back(c);
    }
    printf("%s\n", Utf16ToUtf8(text.data(), text.size()).c_str());
    return kExitOk;
  }
  if (command == "stats") {
    Reply reply;
    if (!session.Call(kServiceRequestStats, "stats", nullptr, 0, kStatsOutputBytes, &reply)) {
      return kExitRefused;
    }
    printf("%.*s\n", static_cast<int>(reply.output.size()),
           reinterpret_cast<const char*>(reply.output.data()));
    return kExitOk;
  }
  fprintf(stderr, "nips ctl: unknown command '%s'\n", command.c_str());
  return kExitUsage;
}

}  // namespace nipstool
