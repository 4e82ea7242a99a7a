// A fake of the firewall core's per-packet objects, built from raw IP header,
// transport header and payload bytes. Every byte buffer is an exact-size heap
// copy, so a detector that reads one byte too far trips AddressSanitizer.
// The verdict sink records every call in order.
//
//   auto p = testlib::FakePacket::Tcp("10.0.0.1", 1025, "10.0.0.2", 445, kTcpFlagAck, bytes);
//   plugin->InspectPacket(p.get());
//   EXPECT_TRUE(p->DeliveredOnce());
//   EXPECT_EQ(p->report().signatureId, 2231u);
#pragma once

#include <stdint.h>

#include <memory>
#include <string>
#include <vector>

#include "nips/host/firewall.h"

namespace testlib {

using Bytes = std::vector<uint8_t>;
Bytes BytesOf(const std::string& text);  // the characters of text, no terminator

// An exact-size heap copy of some bytes (a zero-size copy still has a unique
// address that no read may touch).
class ExactBytes {
 public:
  ExactBytes() { Assign({}); }
  explicit ExactBytes(const Bytes& bytes) { Assign(bytes); }
  void Assign(const Bytes& bytes);
  const UCHAR* data() const { return bytes_.get(); }
  size_t size() const { return size_; }

 private:
  std::unique_ptr<UCHAR[]> bytes_;
  size_t size_ = 0;
};

// "10.0.0.1" or "fe80::1"; aborts the test program on text that is neither.
HostAddress MakeAddress(const std::string& text);

struct VerdictCall {
  ULONG action;
  ULONG zero;
  ULONG64 actionParameter;
  ULONG kind;
};
struct ReportCall {
  ULONG signatureId;
  ULONG severity;
  ULONG reaction;
  ULONG additionalDataIndex;
};
struct SinkCall {
  enum Kind { kSetVerdict, kReportIntrusion } kind;
  VerdictCall verdict;  // for kSetVerdict
  ReportCall report;    // for kReportIntrusion
};

class FakePacket final : public HostPacket {
 public:
  // Real headers are built for these (IPv4 or IPv6 after the address text;
  // ICMPv6 for IPv6 addresses). Ports are given in host order.
  static std::unique_ptr<FakePacket> Tcp(const std::string& source, uint16_t sourcePort,
                                         const std::string& destination, uint16_t destinationPort,
                                         UCHAR tcpFlags, const Bytes& payload);
  static std::unique_ptr<FakePacket> Udp(const std::string& source, uint16_t sourcePort,
                                         const std::string& destination, uint16_t destinationPort,
                                         const Bytes& payload);
  // Everything from raw bytes; addresses, ports and TCP flags are taken from
  // the headers when they are long enough.
  static std::unique_ptr<FakePacket> Raw(UCHAR protocol, const Bytes& ipHeader,
                                         const Bytes& transportHeader, const Bytes& payload);

  FakePacket();
  ~FakePacket();
  FakePacket(const FakePacket&) = delete;
  FakePacket& operator=(const FakePacket&) = delete;

  // ---- What the core hands out (all settable) ----
  void SetProtocol(UCHAR protocol) { protocol_ = protocol; }
  void SetSource(const std::string& address) { source_ = MakeAddress(address); }
  void SetDestination(const std::string& address) { destination_ = MakeAddress(address); }
  void SetAddresses(const HostAddress& source, const HostAddress& destination) {
    source_ = source;
    destination_ = destination;
  }
  // Host-order setters store network order; the Raw ones store as given.
  void SetSourcePort(uint16_t hostOrder);
  void SetDestinationPort(uint16_t hostOrder);
  void SetRawSourcePort(USHORT networkOrder) { sourcePort_ = networkOrder; }
  void SetRawDestinationPort(USHORT networkOrder) { destinationPort_ = networkOrder; }
  void SetPortA(USHORT port) { portA_ = port; }
  void SetPortB(USHORT port) { portB_ = port; }
  void SetTcpFlags(UCHAR flags) { tcpFlags_ = flags; }
  void SetAdapterIndex(ULONG index) { adapterIndex_ = index; }
  void SetNetworkProtocol(USHORT protocol) { networkProtocol_ = protocol; }
  void SetSigMask(ULONG w0, ULONG w1, ULONG w2, ULONG w3);
  // By default the buffer length is the sum of the three byte buffers.
  void SetBufferLength(ULONG64 length);
  void SetIpHeader(const Bytes& bytes) { ipHeader_.Assign(bytes); }
  void SetTransportHeader(const Bytes& bytes) { transportHeader_.Assign(bytes); }
  void SetPayload(const Bytes& bytes) { payload_.Assign(bytes); }
  // The accessor gives a null pointer instead of the buffer.
  void SetNullIpHeader(bool null) { nullIpHeader_ = null; }
  void SetNullTransportHeader(bool null) { nullTransportHeader_ = null; }
  void SetNullPayload(bool null) { nullPayload_ = null; }
  // The receiving process the core names: its id and image path (handed out
  // as an exact-size copy without terminator). By default none is known: the
  // all-ones id and an empty path. The second form hands out a null path.
  void SetApplication(ULONG64 processId, const std::u16string& imagePath);
  void SetApplicationNullPath(ULONG64 processId);
  // Which of the packet's objects come back null.
  void SetNullFlow(bool null) { nullFlow_ = null; }
  void SetNullData(bool null) { nullData_ = null; }
  void SetNullAdapter(bool null) { nullAdapter_ = null; }
  void SetNullBuffer(bool null) { nullBuffer_ = null; }

  const HostAddress& source() const { return source_; }
  const HostAddress& destination() const { return destination_; }
  const ExactBytes& payload() const { return payload_; }

  // ---- What the plug-in told the core ----
  const std::vector<SinkCall>& calls() const { return calls_; }
  // Exactly one SetVerdict followed by exactly one ReportIntrusion.
  bool DeliveredOnce() const;
  // The first SetVerdict / ReportIntrusion (zeros when there was none).
  VerdictCall verdict() const;
  ReportCall report() const;
  // GetPayload calls so far, and the length argument of each.
  const std::vector<ULONG64>& payloadLengthArguments() const { return payloadArgs_; }
  // Forgets the recorded calls so that the packet can be inspected again.
  void ClearRecord();

  // ---- HostPacket ----
  HostFlow* GetFlow() override;
  HostPacketData* GetPacketData() override;
  HostApplication* GetApplication() override;
  HostAdapter* GetAdapter() override;
  HostBuffer* GetBuffer() override;
  HostVerdictSink* GetVerdictSink() override;
  void Reserved6() override {}
  const ULONG* GetSigMask() override { return hasSigMask_ ? sigMask_ : nullptr; }

 private:
  class Flow;
  class Data;
  class Adapter;
  class Buffer;
  class Application;
  class Sink;
  friend class Flow;
  friend class Data;
  friend class Adapter;
  friend class Buffer;
  friend class Application;
  friend class Sink;

  std::unique_ptr<Flow> flow_;
  std::unique_ptr<Data> data_;
  std::unique_ptr<Adapter> adapter_;
  std::unique_ptr<Buffer> buffer_;
  std::unique_ptr<Application> application_;
  std::unique_ptr<Sink> sink_;

  HostAddress source_{};
  HostAddress destination_{};
  UCHAR protocol_ = 0;
  USHORT sourcePort_ = 0;
  USHORT destinationPort_ = 0;
  USHORT portA_ = 0;
  USHORT portB_ = 0;
  UCHAR tcpFlags_ = 0;
  ULONG adapterIndex_ = 1;
  USHORT networkProtocol_ = kNetworkProtocolIpv4;
  bool hasSigMask_ = false;
  ULONG sigMask_[4] = {};
  bool bufferLengthSet_ = false;
  ULONG64 bufferLength_ = 0;
  ExactBytes ipHeader_;
  ExactBytes transportHeader_;
  ExactBytes payload_;
  bool nullIpHeader_ = false;
  bool nullTransportHeader_ = false;
  bool nullPayload_ = false;
  bool nullFlow_ = false;
  bool nullData_ = false;
  bool nullAdapter_ = false;
  bool nullBuffer_ = false;
  std::vector<SinkCall> calls_;
  std::vector<ULONG64> payloadArgs_;
};

}  // namespace testlib
