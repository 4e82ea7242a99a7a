// Each built-in detector's port gate: the first test every one of them makes
// is on the packet's ports, before it reads a byte or touches a record. The
// dispatcher turns these into per-port masks when a policy is enforced, so a
// packet costs nothing for the detectors its ports rule out. A detector not
// listed is called for every packet; one with empty masks is never called
// (it can only answer no match).
#include "nips/detectors/detectors.h"
#include "nips/detectors/ports.h"

namespace {

constexpr ULONG Bit(PortClass portClass) { return 1u << portClass; }

constexpr ULONG kSmbPorts = Bit(kPortClassNetbiosSession) | Bit(kPortClassSmbDirect);
constexpr ULONG kRpcAndPipePorts = Bit(kPortClassRpcEndpointMapper) | kSmbPorts;

struct GateEntry {
  ULONG (*detector)(PacketView* view);
  PortGate gate;
};

constexpr PortGate Any() { return {true, 0, 0}; }
constexpr PortGate Never() { return {false, 0, 0}; }
constexpr PortGate To(ULONG classes) { return {false, classes, 0}; }
constexpr PortGate From(ULONG classes) { return {false, 0, classes}; }

// clang-format off
constexpr GateEntry kGates[] = {
    {DetectNone, Never()},
    {DetectSmbNegotiateHighPid, To(kSmbPorts)},
    {DetectNtTransactCreateSmallParams, To(kSmbPorts)},
    {DetectTrans2Open2SmallParams, To(kSmbPorts)},
    {DetectTcpPortScan, Any()},
    {DetectUdpPortScan, Any()},
    {DetectRapEnumZeroMaxCounts, To(Bit(kPortClassNetbiosSession))},
    {DetectSqlResolutionLongRequest, To(Bit(kPortClassSqlResolution))},
    {DetectActivationLongUncPath, To(kRpcAndPipePorts)},
    {DetectRpcLargeRequestFragment, To(Bit(kPortClassRpcEndpointMapper))},
    {DetectPptpStartRequestLengthMismatch, To(Bit(kPortClassPptp))},
    {DetectRpcOpnum9LargeFragment, To(kRpcAndPipePorts)},
    {DetectIpv4TruncatedLastOption, Any()},
    {DetectMailslotNameUnterminated, To(kSmbPorts)},
    {DetectMailslotWriteSmallMaxParams, To(kSmbPorts)},
    {DetectSourceRouteOptionMalformed, Any()},
    {DetectDnsOversizedRecord, {false, Bit(kPortClassDns), Bit(kPortClassDns)}},
    {DetectFtpLongUserPass, To(Bit(kPortClassFtpControl))},
    {DetectUpnpEventLongHeader, To(Bit(kPortClassUpnpDeviceHost))},
    {DetectFtpReplyLine1024, From(Bit(kPortClassFtpControl))},
    {DetectSmbSearchLongBytes, To(kSmbPorts)},
    {DetectSmbRenameCopyLongBytes, To(kSmbPorts)},
    {DetectSmb2WriteHighDataOffset, To(kSmbPorts)},
    {DetectSmb2ReplyLengthMismatch, From(kSmbPorts)},
    {DetectDnsLoopbackAnswers, From(Bit(kPortClassDns))},
    {DetectRdpBadDomainParameters, To(Bit(kPortClassRdp))},
    {DetectLlmnrLeadingDotName, To(Bit(kPortClassLlmnr))},
    {DetectSmbNtlmAuthBurst, To(Bit(kPortClassRpcEndpointMapper) | Bit(kPortClassSmbDirect))},
    {DetectTlsHeartbeatOverlength, To(Bit(kPortClassTls))},
    {DetectSshDssKexBurst, To(Bit(kPortClassSsh))},
    {DetectSmbSecondaryTransactionOverrun, To(kSmbPorts)},
    {DetectSmb2IoctlOversizedField, To(kSmbPorts)},
    {DetectNetbiosShortMessageFlood, To(kSmbPorts)},
    {DetectSmbTrans2SessionSetupProbe, To(Bit(kPortClassSmbDirect))},
    {DetectRdpMsT120ChannelRequest, To(Bit(kPortClassRdp))},
    {DetectRdpTlsRecordSequence, To(Bit(kPortClassRdp))},
    {DetectSmb2CompressionSizeOverflow, To(kSmbPorts)},
    {DetectDnsSigAnswerForeignSigner, From(Bit(kPortClassDns))},
    {DetectSmbSisCopyFileRequest, To(kSmbPorts)},
    {DetectWsmanNegativeContentLength, To(Bit(kPortClassWsman))},
    {DetectWsmanChunkSizeAllF, To(Bit(kPortClassWsman))},
    {DetectRpcZeroBlockAfterNames, To(Bit(kPortClassDynamic))},
    {DetectDnsUpdateTxtLengthMismatch, To(Bit(kPortClassDns))},
    {DetectDnsUpdateSigRecordBurst, To(Bit(kPortClassDns))},
    {DetectDnsUpdateAaaaRecordBurst, To(Bit(kPortClassDns))},
    {DetectDnsUpdateShortKeyRecord, To(Bit(kPortClassDns))},
    {DetectHttpAcceptEncodingMalformed, Any()},
};
// clang-format on

}  // namespace

void DetectorPortGate(ULONG (*detector)(PacketView* view), PortGate* gate) {
  for (const GateEntry& entry : kGates) {
    if (entry.detector == detector) {
      *gate = entry.gate;
      return;
    }
  }
  *gate = Any();
}
