// The simulated firewall core's per-packet objects, built from a decoded
// frame. One SimPacket is reused for packet after packet: Reset() points it
// at the next decoded packet and clears what the plug-in told the previous one.
#pragma once

#include <stdint.h>

#include "hostsim/decode.h"
#include "nips/host/firewall.h"

namespace hostsim {

// Adapter index of every frame of a capture without interface numbers.
constexpr ULONG kDefaultAdapterIndex = 1;

class SimPacket;

class SimFlow final : public HostFlow {
 public:
  explicit SimFlow(const DecodedPacket* packet) : packet_(packet) {}
  const HostAddress* GetDestinationAddress() override;
  const HostAddress* GetSourceAddress() override;
  void Reserved2() override {}
  void Reserved3() override {}
  UCHAR GetProtocol() override;
  USHORT GetDestinationPort() override;
  USHORT GetSourcePort() override;
  // The core's two endpoint ports: A is the source, B the destination.
  USHORT GetPortA() override;
  USHORT GetPortB() override;

 private:
  const DecodedPacket* packet_;
};

class SimPacketData final : public HostPacketData {
 public:
  explicit SimPacketData(const DecodedPacket* packet) : packet_(packet) {}
  void Reserved0() override {}
  void Reserved1() override {}
  void Reserved2() override {}
  void Reserved3() override {}
  USHORT GetNetworkProtocol() override;
  const UCHAR* GetIpHeader(ULONG64* length) override;
  const UCHAR* GetTransportHeader(ULONG64* length) override;
  void Reserved7() override {}
  UCHAR GetTcpFlags() override;
  const UCHAR* GetPayload(ULONG64* length) override;

 private:
  const DecodedPacket* packet_;
};

class SimAdapter final : public HostAdapter {
 public:
  ULONG GetIndex() override { return index_; }
  void set_index(ULONG index) { index_ = index; }

 private:
  ULONG index_ = kDefaultAdapterIndex;
};

// The buffer is the IP packet; its length is never 0 for a decoded packet.
class SimBuffer final : public HostBuffer {
 public:
  explicit SimBuffer(const DecodedPacket* packet) : packet_(packet) {}
  void Prepare() override {}
  void Reserved1() override {}
  ULONG64 GetLength() override;

 private:
  const DecodedPacket* packet_;
};

// The local process a packet belongs to, as far as the core knows it. The
// core knows it only for traffic of this host's own sockets; a replayed
// capture carries no process, so its packets have no path and the all-ones
// process id. Every SimPacket::Reset forgets the previous packet's process.
class SimApplication final : public HostApplication {
 public:
  const WCHAR* GetImagePath(ULONG64* length) override;
  void Reserved1() override {}
  void Reserved2() override {}
  void Reserved3() override {}
  void Reserved4() override {}
  ULONG64 GetProcessId() override { return processId_; }
  // A known local process; the path (pathLength characters, no terminator)
  // is not copied and must outlive the packet's inspection.
  void SetProcess(ULONG64 processId, const WCHAR* path, ULONG64 pathLength);
  // Back to no known process.
  void Clear() { SetProcess(kNoProcessId, nullptr, 0); }

 private:
  ULONG64 processId_ = kNoProcessId;
  const WCHAR* path_ = nullptr;
  ULONG64 pathLength_ = 0;
};

// What the plug-in told the core about one packet.
struct VerdictRecord {
  uint32_t verdictCalls = 0;
  uint32_t reportCalls = 0;
  bool reportBeforeVerdict = false;  // the order the core relies on was broken
  ULONG action = FW_ACTION_INVALID;
  ULONG zero = 0;
  ULONG64 actionParameter = 0;
  ULONG kind = 0;
  ULONG signatureId = 0;
  ULONG severity = 0;
  ULONG reaction = 0;
  ULONG additionalDataIndex = 0;
};

class SimVerdictSink final : public HostVerdictSink {
 public:
  void SetVerdict(ULONG action, ULONG zero, ULONG64 actionParameter, ULONG kind) override;
  void Reserved1() override {}
  void Reserved2() override {}
  void ReportIntrusion(ULONG signatureId, ULONG severity, ULONG reaction,
                       ULONG additionalDataIndex) override;
  const VerdictRecord& record() const { return record_; }
  void Clear() { record_ = VerdictRecord(); }

 private:
  VerdictRecord record_;
};

class SimPacket final : public HostPacket {
 public:
  SimPacket() : flow_(&packet_), data_(&packet_), buffer_(&packet_) {}
  SimPacket(const SimPacket&) = delete;
  SimPacket& operator=(const SimPacket&) = delete;

  // Takes a copy of the decoded packet (whose pointers must stay valid until
  // the next Reset) and forgets the previous packet's verdict and process;
  // a caller that knows the packet's process sets it afterwards through
  // application().
  void Reset(const DecodedPacket& packet, ULONG adapterIndex = kDefaultAdapterIndex);

  HostFlow* GetFlow() override { return &flow_; }
  HostPacketData* GetPacketData() override { return &data_; }
  HostApplication* GetApplication() override { return &application_; }
  HostAdapter* GetAdapter() override { return &adapter_; }
  HostBuffer* GetBuffer() override { return &buffer_; }
  HostVerdictSink* GetVerdictSink() override { return &sink_; }
  void Reserved6() override {}
  const ULONG* GetSigMask() override { return sigMask_; }

  // Null (the core's usual answer) or four words that outlive the packet.
  void set_sig_mask(const ULONG* mask) { sigMask_ = mask; }
  SimApplication& application() { return application_; }
  const VerdictRecord& verdict() const { return sink_.record(); }
  const DecodedPacket& decoded() const { return packet_; }

 private:
  DecodedPacket packet_{};
  SimFlow flow_;
  SimPacketData data_;
  SimAdapter adapter_;
  SimBuffer buffer_;
  SimApplication application_;
  SimVerdictSink sink_;
  const ULONG* sigMask_ = nullptr;
};

}  // namespace hostsim
