#include "testlib/fake_packet.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testlib {

Bytes BytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

void ExactBytes::Assign(const Bytes& bytes) {
  size_ = bytes.size();
  bytes_.reset(new UCHAR[size_]);
  if (size_ != 0) memcpy(bytes_.get(), bytes.data(), size_);
}

HostAddress MakeAddress(const std::string& text) {
  HostAddress address{};
  if (inet_pton(AF_INET, text.c_str(), address.bytes) == 1) {
    address.version = 4;
  } else if (inet_pton(AF_INET6, text.c_str(), address.bytes) == 1) {
    address.version = 6;
  } else {
    std::fprintf(stderr, "testlib: not an IP address: %s\n", text.c_str());
    std::abort();
  }
  return address;
}

// ---- The core's objects ------------------------------------------------------

class FakePacket::Flow final : public HostFlow {
 public:
  explicit Flow(FakePacket* p) : p_(p) {}
  const HostAddress* GetDestinationAddress() override { return &p_->destination_; }
  const HostAddress* GetSourceAddress() override { return &p_->source_; }
  void Reserved2() override {}
  void Reserved3() override {}
  UCHAR GetProtocol() override { return p_->protocol_; }
  USHORT GetDestinationPort() override { return p_->destinationPort_; }
  USHORT GetSourcePort() override { return p_->sourcePort_; }
  USHORT GetPortA() override { return p_->portA_; }
  USHORT GetPortB() override { return p_->portB_; }

 private:
  FakePacket* p_;
};

class FakePacket::Data final : public HostPacketData {
 public:
  explicit Data(FakePacket* p) : p_(p) {}
  void Reserved0() override {}
  void Reserved1() override {}
  void Reserved2() override {}
  void Reserved3() override {}
  USHORT GetNetworkProtocol() override { return p_->networkProtocol_; }
  const UCHAR* GetIpHeader(ULONG64* length) override {
    return Give(p_->ipHeader_, p_->nullIpHeader_, length);
  }
  const UCHAR* GetTransportHeader(ULONG64* length) override {
    return Give(p_->transportHeader_, p_->nullTransportHeader_, length);
  }
  void Reserved7() override {}
  UCHAR GetTcpFlags() override { return p_->tcpFlags_; }
  const UCHAR* GetPayload(ULONG64* length) override {
    p_->payloadArgs_.push_back(*length);
    return Give(p_->payload_, p_->nullPayload_, length);
  }

 private:
  static const UCHAR* Give(const ExactBytes& bytes, bool null, ULONG64* length) {
    *length = null ? 0 : bytes.size();
    return null ? nullptr : bytes.data();
  }
  FakePacket* p_;
};

class FakePacket::Adapter final : public HostAdapter {
 public:
  explicit Adapter(FakePacket* p) : p_(p) {}
  ULONG GetIndex() override { return p_->adapterIndex_; }

 private:
  FakePacket* p_;
};

class FakePacket::Buffer final : public HostBuffer {
 public:
  explicit Buffer(FakePacket* p) : p_(p) {}
  void Prepare() override {}
  void Reserved1() override {}
  ULONG64 GetLength() override {
    if (p_->bufferLengthSet_) return p_->bufferLength_;
    return p_->ipHeader_.size() + p_->transportHeader_.size() + p_->payload_.size();
  }

 private:
  FakePacket* p_;
};

class FakePacket::Application final : public HostApplication {
 public:
  // No process until SetApplication: an empty path, and the all-ones id.
  const WCHAR* GetImagePath(ULONG64* length) override {
    *length = pathLength_;
    return pathLength_ == 0 && !nullPath_ ? kEmptyPath : path_.get();
  }
  void Reserved1() override {}
  void Reserved2() override {}
  void Reserved3() override {}
  void Reserved4() override {}
  ULONG64 GetProcessId() override { return processId_; }

  // An exact-size copy of the path, with no terminator to read past.
  void Set(ULONG64 processId, const std::u16string& path, bool nullPath) {
    processId_ = processId;
    pathLength_ = path.size();
    nullPath_ = nullPath;
    path_.reset(path.empty() ? nullptr : new WCHAR[path.size()]);
    if (!path.empty()) std::copy(path.begin(), path.end(), path_.get());
  }

 private:
  static constexpr WCHAR kEmptyPath[1] = {0};
  ULONG64 processId_ = kNoProcessId;
  ULONG64 pathLength_ = 0;
  bool nullPath_ = false;
  std::unique_ptr<WCHAR[]> path_;
};

class FakePacket::Sink final : public HostVerdictSink {
 public:
  explicit Sink(FakePacket* p) : p_(p) {}
  void SetVerdict(ULONG action, ULONG zero, ULONG64 actionParameter, ULONG kind) override {
    SinkCall call{};
    call.kind = SinkCall::kSetVerdict;
    call.verdict = {action, zero, actionParameter, kind};
    p_->calls_.push_back(call);
  }
  void Reserved1() override {}
  void Reserved2() override {}
  void ReportIntrusion(ULONG signatureId, ULONG severity, ULONG reaction,
                       ULONG additionalDataIndex) override {
    SinkCall call{};
    call.kind = SinkCall::kReportIntrusion;
    call.report = {signatureId, severity, reaction, additionalDataIndex};
    p_->calls_.push_back(call);
  }

 private:
  FakePacket* p_;
};

// ---- FakePacket ------------------------------------------------------------

FakePacket::FakePacket()
    : flow_(new Flow(this)),
      data_(new Data(this)),
      adapter_(new Adapter(this)),
      buffer_(new Buffer(this)),
      application_(new Application()),
      sink_(new Sink(this)) {}

FakePacket::~FakePacket() = default;

void FakePacket::SetSourcePort(uint16_t hostOrder) { sourcePort_ = htons(hostOrder); }
void FakePacket::SetDestinationPort(uint16_t hostOrder) { destinationPort_ = htons(hostOrder); }

void FakePacket::SetSigMask(ULONG w0, ULONG w1, ULONG w2, ULONG w3) {
  hasSigMask_ = true;
  sigMask_[0] = w0;
  sigMask_[1] = w1;
  sigMask_[2] = w2;
  sigMask_[3] = w3;
}

void FakePacket::SetBufferLength(ULONG64 length) {
  bufferLengthSet_ = true;
  bufferLength_ = length;
}

bool FakePacket::DeliveredOnce() const {
  return calls_.size() == 2 && calls_[0].kind == SinkCall::kSetVerdict &&
         calls_[1].kind == SinkCall::kReportIntrusion;
}

VerdictCall FakePacket::verdict() const {
  for (const SinkCall& call : calls_) {
    if (call.kind == SinkCall::kSetVerdict) return call.verdict;
  }
  return {};
}

ReportCall FakePacket::report() const {
  for (const SinkCall& call : calls_) {
    if (call.kind == SinkCall::kReportIntrusion) return call.report;
  }
  return {};
}

void FakePacket::ClearRecord() {
  calls_.clear();
  payloadArgs_.clear();
}

void FakePacket::SetApplication(ULONG64 processId, const std::u16string& imagePath) {
  application_->Set(processId, imagePath, false);
}
void FakePacket::SetApplicationNullPath(ULONG64 processId) {
  application_->Set(processId, u"", true);
}

HostFlow* FakePacket::GetFlow() { return nullFlow_ ? nullptr : flow_.get(); }
HostPacketData* FakePacket::GetPacketData() { return nullData_ ? nullptr : data_.get(); }
HostApplication* FakePacket::GetApplication() { return application_.get(); }
HostAdapter* FakePacket::GetAdapter() { return nullAdapter_ ? nullptr : adapter_.get(); }
HostBuffer* FakePacket::GetBuffer() { return nullBuffer_ ? nullptr : buffer_.get(); }
HostVerdictSink* FakePacket::GetVerdictSink() { return sink_.get(); }

// ---- Builders ----------------------------------------------------------------

namespace {

void PutBe16(Bytes* out, size_t offset, uint16_t value) {
  (*out)[offset] = static_cast<uint8_t>(value >> 8);
  (*out)[offset + 1] = static_cast<uint8_t>(value);
}

Bytes Ipv4Header(const HostAddress& source, const HostAddress& destination, UCHAR protocol,
                 size_t rest) {
  Bytes h(20, 0);
  h[0] = 0x45;
  PutBe16(&h, 2, static_cast<uint16_t>(20 + rest));
  PutBe16(&h, 4, 1);  // identification
  h[8] = 64;          // TTL
  h[9] = protocol;
  memcpy(&h[12], source.bytes, 4);
  memcpy(&h[16], destination.bytes, 4);
  uint32_t sum = 0;
  for (size_t i = 0; i < h.size(); i += 2) sum += static_cast<uint32_t>(h[i] << 8 | h[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  PutBe16(&h, 10, static_cast<uint16_t>(~sum));
  return h;
}

Bytes Ipv6Header(const HostAddress& source, const HostAddress& destination, UCHAR nextHeader,
                 size_t rest) {
  Bytes h(40, 0);
  h[0] = 0x60;
  PutBe16(&h, 4, static_cast<uint16_t>(rest));
  h[6] = nextHeader;
  h[7] = 64;  // hop limit
  memcpy(&h[8], source.bytes, 16);
  memcpy(&h[24], destination.bytes, 16);
  return h;
}

Bytes TcpHeader(uint16_t sourcePort, uint16_t destinationPort, UCHAR flags) {
  Bytes h(20, 0);
  PutBe16(&h, 0, sourcePort);
  PutBe16(&h, 2, destinationPort);
  h[7] = 1;        // sequence number 1
  h[12] = 5 << 4;  // data offset: 5 words
  h[13] = flags;
  PutBe16(&h, 14, 0xFFFF);  // window
  return h;
}

Bytes UdpHeader(uint16_t sourcePort, uint16_t destinationPort, size_t payloadLength) {
  Bytes h(8, 0);
  PutBe16(&h, 0, sourcePort);
  PutBe16(&h, 2, destinationPort);
  PutBe16(&h, 4, static_cast<uint16_t>(8 + payloadLength));
  return h;
}

Bytes IpHeaderFor(const HostAddress& source, const HostAddress& destination, UCHAR protocol,
                  size_t rest) {
  return source.version == 6 ? Ipv6Header(source, destination, protocol, rest)
                             : Ipv4Header(source, destination, protocol, rest);
}

std::unique_ptr<FakePacket> Build(const std::string& source, const std::string& destination,
                                  UCHAR protocol, const Bytes& transport, const Bytes& payload) {
  auto packet = std::make_unique<FakePacket>();
  packet->SetSource(source);
  packet->SetDestination(destination);
  const HostAddress& src = packet->source();
  packet->SetProtocol(protocol);
  packet->SetNetworkProtocol(src.version == 6 ? kNetworkProtocolIpv6 : kNetworkProtocolIpv4);
  packet->SetIpHeader(
      IpHeaderFor(src, packet->destination(), protocol, transport.size() + payload.size()));
  packet->SetTransportHeader(transport);
  packet->SetPayload(payload);
  return packet;
}

}  // namespace

std::unique_ptr<FakePacket> FakePacket::Tcp(const std::string& source, uint16_t sourcePort,
                                            const std::string& destination,
                                            uint16_t destinationPort, UCHAR tcpFlags,
                                            const Bytes& payload) {
  auto packet = Build(source, destination, kIpProtocolTcp,
                      TcpHeader(sourcePort, destinationPort, tcpFlags), payload);
  packet->SetSourcePort(sourcePort);
  packet->SetDestinationPort(destinationPort);
  packet->SetPortA(htons(sourcePort));
  packet->SetPortB(htons(destinationPort));
  packet->SetTcpFlags(tcpFlags);
  return packet;
}

std::unique_ptr<FakePacket> FakePacket::Udp(const std::string& source, uint16_t sourcePort,
                                            const std::string& destination,
                                            uint16_t destinationPort, const Bytes& payload) {
  auto packet = Build(source, destination, kIpProtocolUdp,
                      UdpHeader(sourcePort, destinationPort, payload.size()), payload);
  packet->SetSourcePort(sourcePort);
  packet->SetDestinationPort(destinationPort);
  packet->SetPortA(htons(sourcePort));
  packet->SetPortB(htons(destinationPort));
  return packet;
}

std::unique_ptr<FakePacket> FakePacket::Raw(UCHAR protocol, const Bytes& ipHeader,
                                            const Bytes& transportHeader, const Bytes& payload) {
  auto packet = std::make_unique<FakePacket>();
  packet->SetProtocol(protocol);
  packet->SetIpHeader(ipHeader);
  packet->SetTransportHeader(transportHeader);
  packet->SetPayload(payload);
  // Addresses and ports come from the headers when they are long enough.
  HostAddress source{}, destination{};
  if (ipHeader.size() >= 40 && (ipHeader[0] >> 4) == 6) {
    packet->SetNetworkProtocol(kNetworkProtocolIpv6);
    memcpy(source.bytes, &ipHeader[8], 16);
    memcpy(destination.bytes, &ipHeader[24], 16);
    source.version = destination.version = 6;
  } else if (ipHeader.size() >= 20) {
    memcpy(source.bytes, &ipHeader[12], 4);
    memcpy(destination.bytes, &ipHeader[16], 4);
    source.version = destination.version = 4;
  }
  packet->SetAddresses(source, destination);
  if ((protocol == kIpProtocolTcp || protocol == kIpProtocolUdp) && transportHeader.size() >= 4) {
    const uint16_t sourcePort = static_cast<uint16_t>(transportHeader[0] << 8 | transportHeader[1]);
    const uint16_t destinationPort =
        static_cast<uint16_t>(transportHeader[2] << 8 | transportHeader[3]);
    packet->SetSourcePort(sourcePort);
    packet->SetDestinationPort(destinationPort);
    packet->SetPortA(htons(sourcePort));
    packet->SetPortB(htons(destinationPort));
  }
  if (protocol == kIpProtocolTcp && transportHeader.size() >= 14) {
    packet->SetTcpFlags(transportHeader[13]);
  }
  return packet;
}

}  // namespace testlib
