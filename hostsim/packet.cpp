#include "hostsim/packet.h"

namespace hostsim {

const HostAddress* SimFlow::GetDestinationAddress() { return &packet_->destination; }
const HostAddress* SimFlow::GetSourceAddress() { return &packet_->source; }
UCHAR SimFlow::GetProtocol() { return packet_->ipProtocol; }
USHORT SimFlow::GetDestinationPort() { return packet_->destinationPort; }
USHORT SimFlow::GetSourcePort() { return packet_->sourcePort; }
USHORT SimFlow::GetPortA() { return packet_->sourcePort; }
USHORT SimFlow::GetPortB() { return packet_->destinationPort; }

USHORT SimPacketData::GetNetworkProtocol() { return packet_->networkProtocol; }

const UCHAR* SimPacketData::GetIpHeader(ULONG64* length) {
  *length = packet_->ipHeaderLength;
  return packet_->ip;
}

const UCHAR* SimPacketData::GetTransportHeader(ULONG64* length) {
  *length = packet_->transportHeaderLength;
  return packet_->transport;
}

UCHAR SimPacketData::GetTcpFlags() { return packet_->tcpFlags; }

const UCHAR* SimPacketData::GetPayload(ULONG64* length) {
  *length = packet_->payloadLength;
  return packet_->payload;
}

ULONG64 SimBuffer::GetLength() { return packet_->ipLength; }

const WCHAR* SimApplication::GetImagePath(ULONG64* length) {
  *length = pathLength_;
  return path_;
}

void SimApplication::SetProcess(ULONG64 processId, const WCHAR* path, ULONG64 pathLength) {
  processId_ = processId;
  path_ = path;
  pathLength_ = pathLength;
}

void SimVerdictSink::SetVerdict(ULONG action, ULONG zero, ULONG64 actionParameter, ULONG kind) {
  ++record_.verdictCalls;
  record_.action = action;
  record_.zero = zero;
  record_.actionParameter = actionParameter;
  record_.kind = kind;
}

void SimVerdictSink::ReportIntrusion(ULONG signatureId, ULONG severity, ULONG reaction,
                                     ULONG additionalDataIndex) {
  if (record_.verdictCalls == 0) record_.reportBeforeVerdict = true;
  ++record_.reportCalls;
  record_.signatureId = signatureId;
  record_.severity = severity;
  record_.reaction = reaction;
  record_.additionalDataIndex = additionalDataIndex;
}

void SimPacket::Reset(const DecodedPacket& packet, ULONG adapterIndex) {
  packet_ = packet;
  adapter_.set_index(adapterIndex);
  application_.Clear();
  sink_.Clear();
}

}  // namespace hostsim
