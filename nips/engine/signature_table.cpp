// The built-in signature table: protocol mask, signature id and detector of
// each row; levels, flags and derived fields start at 0 and come from the
// signature policy.
//
// Wiring a detector: when its function is defined in nips/detectors/, replace
// the nullptr in its row below by the function (the name is in the comment).
// A row whose detector is null never runs.
#include "nips/detectors/detectors.h"
#include "nips/engine/signature.h"

const SignatureTable g_signatureTable = {{
    {/* DetectNone */ DetectNone, 0, 2230, 0, 0, 0, 0},                                        // row 0
    {/* DetectSmbNegotiateHighPid */ DetectSmbNegotiateHighPid, kProtocolMaskTcp, 2231, 0, 0, 0, 0},          // row 1
    {/* DetectNtTransactCreateSmallParams */ DetectNtTransactCreateSmallParams, kProtocolMaskTcp, 2232, 0, 0, 0, 0},  // row 2
    {/* DetectTrans2Open2SmallParams */ DetectTrans2Open2SmallParams, kProtocolMaskTcp, 2233, 0, 0, 0, 0},       // row 3
    {/* DetectTcpPortScan */ DetectTcpPortScan, kProtocolMaskTcp, 3700, 0, 0, 0, 0},                  // row 4
    {/* DetectUdpPortScan */ DetectUdpPortScan, kProtocolMaskUdp, 3701, 0, 0, 0, 0},                  // row 5
    {/* no detector */ nullptr, 0, 3702, 0, 0, 0, 0},                                       // row 6
    {/* DetectRapEnumZeroMaxCounts */ DetectRapEnumZeroMaxCounts, kProtocolMaskTcp, 3718, 0, 0, 0, 0},         // row 7
    {/* DetectSqlResolutionLongRequest */ nullptr, kProtocolMaskUdp, 3720, 0, 0, 0, 0},     // row 8
    {/* DetectActivationLongUncPath */ nullptr, kProtocolMaskTcp, 3721, 0, 0, 0, 0},        // row 9
    {/* DetectRpcLargeRequestFragment */ nullptr, kProtocolMaskTcp, 3722, 0, 0, 0, 0},  // row 10
    {/* DetectPptpStartRequestLengthMismatch */ nullptr, kProtocolMaskTcp, 3723, 0, 0, 0,
     0},                                                                                 // row 11
    {/* DetectRpcOpnum9LargeFragment */ nullptr, kProtocolMaskTcp, 3724, 0, 0, 0, 0},    // row 12
    {/* DetectIpv4TruncatedLastOption */ nullptr, kProtocolMaskAll, 3725, 0, 0, 0, 0},   // row 13
    {/* DetectMailslotNameUnterminated */ DetectMailslotNameUnterminated, kProtocolMaskTcp, 3804, 0, 0, 0, 0},  // row 14
    {/* DetectMailslotWriteSmallMaxParams */ DetectMailslotWriteSmallMaxParams, kProtocolMaskTcp, 3802, 0, 0, 0,
     0},  // row 15
    {/* DetectSourceRouteOptionMalformed */ nullptr, kProtocolMaskIcmp, 3801, 0, 0, 0,
     0},                                                                                // row 16
    {/* DetectDnsOversizedRecord */ nullptr, kProtocolMaskUdp, 3803, 0, 0, 0, 0},       // row 17
    {/* DetectFtpLongUserPass */ nullptr, kProtocolMaskTcp, 3806, 0, 0, 0, 0},          // row 18
    {/* DetectUpnpEventLongHeader */ nullptr, kProtocolMaskTcp, 3845, 0, 0, 0, 0},      // row 19
    {/* DetectFtpReplyLine1024 */ nullptr, kProtocolMaskTcp, 3846, 0, 0, 0, 0},         // row 20
    {/* DetectSmbSearchLongBytes */ DetectSmbSearchLongBytes, kProtocolMaskTcp, 6029, 0, 0, 0, 0},       // row 21
    {/* DetectSmbRenameCopyLongBytes */ DetectSmbRenameCopyLongBytes, kProtocolMaskTcp, 6031, 0, 0, 0, 0},   // row 22
    {/* DetectSmb2WriteHighDataOffset */ DetectSmb2WriteHighDataOffset, kProtocolMaskTcp, 6038, 0, 0, 0, 0},  // row 23
    {/* DetectSmb2ReplyLengthMismatch */ DetectSmb2ReplyLengthMismatch, kProtocolMaskTcp, 6022, 0, 0, 0, 0},  // row 24
    {/* DetectDnsLoopbackAnswers */ nullptr, kProtocolMaskUdp, 6042, 0, 0, 0, 0},       // row 25
    {/* DetectRdpBadDomainParameters */ nullptr, kProtocolMaskTcp, 6043, 0, 0, 0, 0},   // row 26
    {/* DetectLlmnrLeadingDotName */ nullptr, kProtocolMaskUdp, 6044, 0, 0, 0, 0},      // row 27
    {/* DetectSmbNtlmAuthBurst */ DetectSmbNtlmAuthBurst, kProtocolMaskTcp, 6045, 0, 0, 0, 0},         // row 28
    {/* DetectTlsHeartbeatOverlength */ nullptr, kProtocolMaskTcp, 6058, 0, 0, 0, 0},   // row 29
    {/* DetectSshDssKexBurst */ nullptr, kProtocolMaskTcp, 6500, 0, 0, 0, 0},           // row 30
    {/* DetectSmbSecondaryTransactionOverrun */ DetectSmbSecondaryTransactionOverrun, kProtocolMaskTcp, 6095, 0, 0, 0,
     0},                                                                                   // row 31
    {/* DetectSmb2IoctlOversizedField */ DetectSmb2IoctlOversizedField, kProtocolMaskTcp, 6097, 0, 0, 0, 0},     // row 32
    {/* DetectNetbiosShortMessageFlood */ DetectNetbiosShortMessageFlood, kProtocolMaskTcp, 6100, 0, 0, 0, 0},    // row 33
    {/* DetectSmbTrans2SessionSetupProbe */ DetectSmbTrans2SessionSetupProbe, kProtocolMaskTcp, 6119, 0, 0, 0, 0},  // row 34
    {/* DetectRdpMsT120ChannelRequest */ nullptr, kProtocolMaskTcp, 6137, 0, 0, 0, 0},     // row 35
    {/* DetectRdpTlsRecordSequence */ nullptr, kProtocolMaskTcp, 6146, 0, 0, 0, 0},        // row 36
    {/* DetectSmb2CompressionSizeOverflow */ DetectSmb2CompressionSizeOverflow, kProtocolMaskTcp, 6157, 0, 0, 0,
     0},                                                                                   // row 37
    {/* DetectDnsSigAnswerForeignSigner */ nullptr, kProtocolMaskTcp, 6173, 0, 0, 0, 0},   // row 38
    {/* DetectSmbSisCopyFileRequest */ DetectSmbSisCopyFileRequest, kProtocolMaskTcp, 6175, 0, 0, 0, 0},       // row 39
    {/* DetectWsmanNegativeContentLength */ nullptr, kProtocolMaskTcp, 6177, 0, 0, 0, 0},  // row 40
    {/* DetectWsmanChunkSizeAllF */ nullptr, kProtocolMaskTcp, 6178, 0, 0, 0, 0},          // row 41
    {/* DetectRpcZeroBlockAfterNames */ nullptr, kProtocolMaskTcp, 6182, 0, 0, 0, 0},      // row 42
    {/* DetectDnsUpdateTxtLengthMismatch */ nullptr, kProtocolMaskTcp, 6199, 0, 0, 0, 0},  // row 43
    {/* DetectDnsUpdateSigRecordBurst */ nullptr, kProtocolMaskTcp, 6200, 0, 0, 0, 0},     // row 44
    {/* DetectDnsUpdateAaaaRecordBurst */ nullptr, kProtocolMaskTcp, 6201, 0, 0, 0, 0},    // row 45
    {/* DetectDnsUpdateShortKeyRecord */ nullptr, kProtocolMaskTcp, 6202, 0, 0, 0, 0},     // row 46
    {/* DetectHttpAcceptEncodingMalformed */ nullptr, kProtocolMaskTcp, 6204, 0, 0, 0,
     0},  // row 47
}};
