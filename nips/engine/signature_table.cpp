// The built-in signature table: protocol mask, signature id and detector of
// each row; levels, flags and derived fields start at 0 and come from the
// signature policy.
// Row 6 (3702) is reserved: its detector is null, so it never runs.
#include "nips/detectors/detectors.h"
#include "nips/engine/signature.h"

// clang-format off
const SignatureTable g_signatureTable = {{
    {DetectNone, 0, 2230, 0, 0, 0, 0},                                                         // row 0
    {DetectSmbNegotiateHighPid, kProtocolMaskTcp, 2231, 0, 0, 0, 0},                           // row 1
    {DetectNtTransactCreateSmallParams, kProtocolMaskTcp, 2232, 0, 0, 0, 0},                   // row 2
    {DetectTrans2Open2SmallParams, kProtocolMaskTcp, 2233, 0, 0, 0, 0},                        // row 3
    {DetectTcpPortScan, kProtocolMaskTcp, 3700, 0, 0, 0, 0},                                   // row 4
    {DetectUdpPortScan, kProtocolMaskUdp, 3701, 0, 0, 0, 0},                                   // row 5
    {nullptr /* no detector */, 0, 3702, 0, 0, 0, 0},                                          // row 6
    {DetectRapEnumZeroMaxCounts, kProtocolMaskTcp, 3718, 0, 0, 0, 0},                          // row 7
    {DetectSqlResolutionLongRequest, kProtocolMaskUdp, 3720, 0, 0, 0, 0},                      // row 8
    {DetectActivationLongUncPath, kProtocolMaskTcp, 3721, 0, 0, 0, 0},                         // row 9
    {DetectRpcLargeRequestFragment, kProtocolMaskTcp, 3722, 0, 0, 0, 0},                       // row 10
    {DetectPptpStartRequestLengthMismatch, kProtocolMaskTcp, 3723, 0, 0, 0, 0},                // row 11
    {DetectRpcOpnum9LargeFragment, kProtocolMaskTcp, 3724, 0, 0, 0, 0},                        // row 12
    {DetectIpv4TruncatedLastOption, kProtocolMaskAll, 3725, 0, 0, 0, 0},                       // row 13
    {DetectMailslotNameUnterminated, kProtocolMaskTcp, 3804, 0, 0, 0, 0},                      // row 14
    {DetectMailslotWriteSmallMaxParams, kProtocolMaskTcp, 3802, 0, 0, 0, 0},                   // row 15
    {DetectSourceRouteOptionMalformed, kProtocolMaskIcmp, 3801, 0, 0, 0, 0},                   // row 16
    {DetectDnsOversizedRecord, kProtocolMaskUdp, 3803, 0, 0, 0, 0},              // row 17
    {DetectFtpLongUserPass, kProtocolMaskTcp, 3806, 0, 0, 0, 0},                               // row 18
    {DetectUpnpEventLongHeader, kProtocolMaskTcp, 3845, 0, 0, 0, 0},                           // row 19
    {DetectFtpReplyLine1024, kProtocolMaskTcp, 3846, 0, 0, 0, 0},                              // row 20
    {DetectSmbSearchLongBytes, kProtocolMaskTcp, 6029, 0, 0, 0, 0},                            // row 21
    {DetectSmbRenameCopyLongBytes, kProtocolMaskTcp, 6031, 0, 0, 0, 0},                        // row 22
    {DetectSmb2WriteHighDataOffset, kProtocolMaskTcp, 6038, 0, 0, 0, 0},                       // row 23
    {DetectSmb2ReplyLengthMismatch, kProtocolMaskTcp, 6022, 0, 0, 0, 0},                       // row 24
    {DetectDnsLoopbackAnswers, kProtocolMaskUdp, 6042, 0, 0, 0, 0},              // row 25
    {DetectRdpBadDomainParameters, kProtocolMaskTcp, 6043, 0, 0, 0, 0},                        // row 26
    {DetectLlmnrLeadingDotName, kProtocolMaskUdp, 6044, 0, 0, 0, 0},             // row 27
    {DetectSmbNtlmAuthBurst, kProtocolMaskTcp, 6045, 0, 0, 0, 0},                              // row 28
    {DetectTlsHeartbeatOverlength, kProtocolMaskTcp, 6058, 0, 0, 0, 0},                        // row 29
    {DetectSshDssKexBurst, kProtocolMaskTcp, 6500, 0, 0, 0, 0},                                // row 30
    {DetectSmbSecondaryTransactionOverrun, kProtocolMaskTcp, 6095, 0, 0, 0, 0},                // row 31
    {DetectSmb2IoctlOversizedField, kProtocolMaskTcp, 6097, 0, 0, 0, 0},                       // row 32
    {DetectNetbiosShortMessageFlood, kProtocolMaskTcp, 6100, 0, 0, 0, 0},                      // row 33
    {DetectSmbTrans2SessionSetupProbe, kProtocolMaskTcp, 6119, 0, 0, 0, 0},                    // row 34
    {DetectRdpMsT120ChannelRequest, kProtocolMaskTcp, 6137, 0, 0, 0, 0},                       // row 35
    {DetectRdpTlsRecordSequence, kProtocolMaskTcp, 6146, 0, 0, 0, 0},                          // row 36
    {DetectSmb2CompressionSizeOverflow, kProtocolMaskTcp, 6157, 0, 0, 0, 0},                   // row 37
    {DetectDnsSigAnswerForeignSigner, kProtocolMaskTcp, 6173, 0, 0, 0, 0},       // row 38
    {DetectSmbSisCopyFileRequest, kProtocolMaskTcp, 6175, 0, 0, 0, 0},                         // row 39
    {DetectWsmanNegativeContentLength, kProtocolMaskTcp, 6177, 0, 0, 0, 0},      // row 40
    {DetectWsmanChunkSizeAllF, kProtocolMaskTcp, 6178, 0, 0, 0, 0},              // row 41
    {DetectRpcZeroBlockAfterNames, kProtocolMaskTcp, 6182, 0, 0, 0, 0},                        // row 42
    {DetectDnsUpdateTxtLengthMismatch, kProtocolMaskTcp, 6199, 0, 0, 0, 0},      // row 43
    {DetectDnsUpdateSigRecordBurst, kProtocolMaskTcp, 6200, 0, 0, 0, 0},         // row 44
    {DetectDnsUpdateAaaaRecordBurst, kProtocolMaskTcp, 6201, 0, 0, 0, 0},        // row 45
    {DetectDnsUpdateShortKeyRecord, kProtocolMaskTcp, 6202, 0, 0, 0, 0},         // row 46
    {DetectHttpAcceptEncodingMalformed, kProtocolMaskTcp, 6204, 0, 0, 0, 0},     // row 47
}};
// clang-format on
