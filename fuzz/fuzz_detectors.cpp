// Fuzz target: one detector family at a time. The built-in table with every
// row outside the family switched off (no detector), so a crash or a report
// names the family; packets are real IP packets decoded as the firewall core
// decodes them, on a clock the input moves, so that the stateful families
// fill, age and evict their tracking records.
//
// Input: byte 0 picks the family (modulo their number) unless
// NIPS_FUZZ_FAMILY names one, which CI does to give each family a budget of
// its own; then records of u16 little-endian length, one byte of clock
// advance (in 100 ms steps) and that many bytes of IP packet.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "hostsim/decode.h"
#include "hostsim/packet.h"
#include "kt_hooks.h"
#include "nips/detectors/detectors.h"
#include "nips/engine/plugin.h"
#include "nips/engine/signature.h"
#include "testlib/engine_support.h"
#include "testlib/nimq_reader.h"

namespace {

#define FUZZ_CHECK(condition)  \
  do {                         \
    if (!(condition)) abort(); \
  } while (0)

struct Family {
  const char* name;
  NipsDetector detectors[8];  // null-terminated
};

// One entry per source of nips/detectors.
const Family kFamilies[] = {
    {"smb1_requests",
     {DetectSmbNegotiateHighPid, DetectNtTransactCreateSmallParams, DetectTrans2Open2SmallParams,
      DetectRapEnumZeroMaxCounts}},
    {"smb",
     {DetectMailslotNameUnterminated, DetectMailslotWriteSmallMaxParams, DetectSmbSearchLongBytes,
      DetectSmbRenameCopyLongBytes, DetectSmb2WriteHighDataOffset, DetectSmb2ReplyLengthMismatch,
      DetectSmbNtlmAuthBurst}},
    {"smb_session",
     {DetectSmbSecondaryTransactionOverrun, DetectSmb2IoctlOversizedField,
      DetectNetbiosShortMessageFlood, DetectSmbTrans2SessionSetupProbe,
      DetectSmb2CompressionSizeOverflow, DetectSmbSisCopyFileRequest}},
    {"dce_rpc",
     {DetectActivationLongUncPath, DetectRpcLargeRequestFragment, DetectRpcOpnum9LargeFragment,
      DetectRpcZeroBlockAfterNames}},
    {"dns", {DetectDnsOversizedRecord, DetectDnsLoopbackAnswers, DetectLlmnrLeadingDotName}},
    {"dns_tcp",
     {DetectDnsSigAnswerForeignSigner, DetectDnsUpdateTxtLengthMismatch,
      DetectDnsUpdateShortKeyRecord, DetectDnsUpdateSigRecordBurst,
      DetectDnsUpdateAaaaRecordBurst}},
    {"ftp", {DetectFtpLongUserPass, DetectFtpReplyLine1024}},
    {"http",
     {DetectWsmanNegativeContentLength, DetectWsmanChunkSizeAllF,
      DetectHttpAcceptEncodingMalformed}},
    {"ip_options", {DetectSourceRouteOptionMalformed, DetectIpv4TruncatedLastOption}},
    {"port_scan", {DetectTcpPortScan, DetectUdpPortScan}},
    {"rdp",
     {DetectRdpBadDomainParameters, DetectRdpMsT120ChannelRequest, DetectRdpTlsRecordSequence}},
    {"sql_pptp", {DetectSqlResolutionLongRequest, DetectPptpStartRequestLengthMismatch}},
    {"tls_ssh", {DetectTlsHeartbeatOverlength, DetectSshDssKexBurst}},
    {"upnp", {DetectUpnpEventLongHeader}},
};
constexpr size_t kFamilyCount = sizeof kFamilies / sizeof kFamilies[0];
constexpr size_t kMaxPacketsPerInput = 64;
constexpr int64_t kClockStepMs = 100;

bool InFamily(const Family& family, NipsDetector detector) {
  for (NipsDetector d : family.detectors) {
    if (d != nullptr && d == detector) return true;
  }
  return false;
}

// The tables, built once; every family must own at least one row, or a
// renamed detector would silently leave its family unfuzzed.
const SignatureTable* FamilyTables() {
  static SignatureTable* tables = [] {
    auto* built = new SignatureTable[kFamilyCount];
    for (size_t f = 0; f < kFamilyCount; ++f) {
      built[f] = g_signatureTable;
      size_t kept = 0;
      for (SignatureEntry& row : built[f].rows) {
        if (InFamily(kFamilies[f], row.detector)) {
          ++kept;
        } else {
          row.detector = nullptr;
        }
      }
      FUZZ_CHECK(kept != 0);
    }
    return built;
  }();
  return tables;
}

// The family named by NIPS_FUZZ_FAMILY, or -1; an unknown name stops the run.
int FixedFamily() {
  static const int fixed = [] {
    const char* name = getenv("NIPS_FUZZ_FAMILY");
    if (name == nullptr || *name == 0) return -1;
    for (size_t f = 0; f < kFamilyCount; ++f) {
      if (strcmp(kFamilies[f].name, name) == 0) return static_cast<int>(f);
    }
    fprintf(stderr, "NIPS_FUZZ_FAMILY: no family '%s'\n", name);
    abort();
  }();
  return fixed;
}

}  // namespace

// NIPS_FUZZ_FAMILY=list prints the families' names, one a line, and exits:
// the CI script runs each by name.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* name = getenv("NIPS_FUZZ_FAMILY");
  if (name != nullptr && strcmp(name, "list") == 0) {
    for (const Family& family : kFamilies) printf("%s\n", family.name);
    exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    kt::ResetWorld();
    kt::SetSystemTime(kt::SystemTimeFromUnix(1700000000, 0));
    return true;
  }();
  (void)once;
  if (size == 0) return 0;
  const int fixed = FixedFamily();
  const size_t family = fixed >= 0 ? static_cast<size_t>(fixed) : data[0] % kFamilyCount;
  {
    testlib::PluginHolder plugin(FamilyTables()[family]);
    FUZZ_CHECK(plugin->Start());
    FUZZ_CHECK(testlib::Configure(plugin.get(), testlib::MakeHeader({1, 2, 3, 3}),
                                  testlib::RecordsForAllRows(g_signatureTable, 3)) ==
               STATUS_SUCCESS);
    hostsim::SimPacket packet;
    size_t at = 1;
    for (size_t n = 0; n < kMaxPacketsPerInput && size - at >= 3; ++n) {
      const size_t length = std::min<size_t>(data[at] | data[at + 1] << 8, size - at - 3);
      kt::AdvanceSystemTimeMs(data[at + 2] * kClockStepMs);
      at += 3;
      // The packet in an allocation of its exact size, as a frame would be.
      std::unique_ptr<uint8_t[]> ip(new uint8_t[length]);
      if (length != 0) memcpy(ip.get(), data + at, length);
      at += length;
      hostsim::DecodedPacket decoded;
      if (hostsim::DecodeIp(ip.get(), length, &decoded) != hostsim::DecodeResult::kOk) continue;
      packet.Reset(decoded);
      const LONG answer = plugin->InspectPacket(&packet);
      const hostsim::VerdictRecord& verdict = packet.verdict();
      if (answer == kInspectDelivered) {
        FUZZ_CHECK(verdict.verdictCalls == 1 && verdict.reportCalls == 1);
        // A report may only name a row of the family under test.
        if (verdict.signatureId != 0) {
          bool owned = false;
          for (const SignatureEntry& row : FamilyTables()[family].rows) {
            owned |= row.detector != nullptr && row.signatureId == verdict.signatureId;
          }
          FUZZ_CHECK(owned);
        }
      } else {
        FUZZ_CHECK(verdict.verdictCalls == 0 && verdict.reportCalls == 0);
      }
    }
    if (testlib::LogReadable(plugin.get())) {
      auto drained = testlib::DrainRaw(plugin.get());
      std::vector<testlib::LogRecord> records;
      if (drained.status == STATUS_SUCCESS) {
        FUZZ_CHECK(testlib::DecodeNimq(drained.bytes.data(), drained.bytes.size(), &records));
      }
    }
  }
  FUZZ_CHECK(kt::PoolOutstanding() == 0);
  return 0;
}
