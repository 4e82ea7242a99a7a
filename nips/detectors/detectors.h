// The built-in detectors, one per signature row. Each is defined by the
// source of its protocol family in this folder. IRQL: <= DISPATCH_LEVEL.
#pragma once

#include <ntddk.h>

struct PacketView;

ULONG DetectNone(PacketView* view);                            // 2230
ULONG DetectSmbNegotiateHighPid(PacketView* view);             // 2231
ULONG DetectNtTransactCreateSmallParams(PacketView* view);     // 2232
ULONG DetectTrans2Open2SmallParams(PacketView* view);          // 2233
ULONG DetectTcpPortScan(PacketView* view);                     // 3700
ULONG DetectUdpPortScan(PacketView* view);                     // 3701
ULONG DetectRapEnumZeroMaxCounts(PacketView* view);            // 3718
ULONG DetectSqlResolutionLongRequest(PacketView* view);        // 3720
ULONG DetectActivationLongUncPath(PacketView* view);           // 3721
ULONG DetectRpcLargeRequestFragment(PacketView* view);         // 3722
ULONG DetectPptpStartRequestLengthMismatch(PacketView* view);  // 3723
ULONG DetectRpcOpnum9LargeFragment(PacketView* view);          // 3724
ULONG DetectIpv4TruncatedLastOption(PacketView* view);         // 3725
ULONG DetectMailslotNameUnterminated(PacketView* view);        // 3804
ULONG DetectMailslotWriteSmallMaxParams(PacketView* view);     // 3802
ULONG DetectSourceRouteOptionMalformed(PacketView* view);      // 3801
ULONG DetectDnsOversizedRecord(PacketView* view);              // 3803
ULONG DetectFtpLongUserPass(PacketView* view);                 // 3806
ULONG DetectUpnpEventLongHeader(PacketView* view);             // 3845
ULONG DetectFtpReplyLine1024(PacketView* view);                // 3846
ULONG DetectSmbSearchLongBytes(PacketView* view);              // 6029
ULONG DetectSmbRenameCopyLongBytes(PacketView* view);          // 6031
ULONG DetectSmb2WriteHighDataOffset(PacketView* view);         // 6038
ULONG DetectSmb2ReplyLengthMismatch(PacketView* view);         // 6022
ULONG DetectDnsLoopbackAnswers(PacketView* view);              // 6042
ULONG DetectRdpBadDomainParameters(PacketView* view);          // 6043
ULONG DetectLlmnrLeadingDotName(PacketView* view);             // 6044
ULONG DetectSmbNtlmAuthBurst(PacketView* view);                // 6045
ULONG DetectTlsHeartbeatOverlength(PacketView* view);          // 6058
ULONG DetectSshDssKexBurst(PacketView* view);                  // 6500
ULONG DetectSmbSecondaryTransactionOverrun(PacketView* view);  // 6095
ULONG DetectSmb2IoctlOversizedField(PacketView* view);         // 6097
ULONG DetectNetbiosShortMessageFlood(PacketView* view);        // 6100
ULONG DetectSmbTrans2SessionSetupProbe(PacketView* view);      // 6119
ULONG DetectRdpMsT120ChannelRequest(PacketView* view);         // 6137
ULONG DetectRdpTlsRecordSequence(PacketView* view);            // 6146
ULONG DetectSmb2CompressionSizeOverflow(PacketView* view);     // 6157
ULONG DetectDnsSigAnswerForeignSigner(PacketView* view);       // 6173
ULONG DetectSmbSisCopyFileRequest(PacketView* view);           // 6175
ULONG DetectWsmanNegativeContentLength(PacketView* view);      // 6177
ULONG DetectWsmanChunkSizeAllF(PacketView* view);              // 6178
ULONG DetectRpcZeroBlockAfterNames(PacketView* view);          // 6182
ULONG DetectDnsUpdateTxtLengthMismatch(PacketView* view);      // 6199
ULONG DetectDnsUpdateSigRecordBurst(PacketView* view);         // 6200
ULONG DetectDnsUpdateAaaaRecordBurst(PacketView* view);        // 6201
ULONG DetectDnsUpdateShortKeyRecord(PacketView* view);         // 6202
ULONG DetectHttpAcceptEncodingMalformed(PacketView* view);     // 6204

struct PortGate;
// The port gate of a built-in detector; a detector it does not know (a test's
// own, say) gets one that admits every packet.
void DetectorPortGate(ULONG (*detector)(PacketView* view), PortGate* gate);
