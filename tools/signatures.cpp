#include "tools/signatures.h"

#include <fmt/format.h>

#include "nips/engine/signature.h"

namespace nipstool {
namespace {

struct Summary {
  uint32_t id;
  const char* text;
};

constexpr Summary kSummaries[] = {
    {2230, "placeholder row (never runs)"},
    {2231, "SMB negotiate request with a high process id"},
    {2232, "SMB NT transact create with too few parameter bytes"},
    {2233, "SMB trans2 open2 with too few parameter bytes"},
    {3700, "TCP port scan: one source probing many ports"},
    {3701, "UDP port scan: one source probing many ports"},
    {3702, "reserved (no detector)"},
    {3718, "SMB RAP enumeration with zero maximum counts"},
    {3720, "SQL Server resolution request too long or malformed"},
    {3721, "DCE/RPC activation request with an overlong UNC path"},
    {3722, "DCE/RPC request fragment too large"},
    {3723, "PPTP start-control-connection request length mismatch"},
    {3724, "DCE/RPC opnum 9 request with a large fragment"},
    {3725, "IPv4 header whose last option byte starts a truncated option"},
    {3801, "malformed IPv4 source-route option"},
    {3802, "SMB mailslot write with too small maximum parameter count"},
    {3803, "DNS response with an oversized HINFO, TXT, X25 or ISDN record, or an empty ATMA"},
    {3804, "SMB mailslot name not terminated"},
    {3806, "FTP USER or PASS argument too long"},
    {3845, "UPnP event subscription with an overlong header"},
    {3846, "FTP reply line of exactly 1024 bytes"},
    {6022, "SMB2 reply whose length disagrees with the segment"},
    {6029, "SMB search request with overlong byte data"},
    {6031, "SMB rename or copy request with overlong byte data"},
    {6038, "SMB2 write with a data offset beyond the message"},
    {6042, "DNS response with 3+ answers in 127.1-127.254 and one in 127.255/16 or 127.0.53.48/28"},
    {6043, "RDP connect-initial with bad domain parameters"},
    {6044, "LLMNR query for a name starting with a dot"},
    {6045, "burst of SMB NTLM authentication attempts"},
    {6058, "TLS heartbeat request claiming more data than it carries"},
    {6095, "SMB secondary transaction overrunning its primary"},
    {6097, "SMB2 IOCTL with an oversized field"},
    {6100, "flood of short NetBIOS session messages"},
    {6119, "SMB trans2 SESSION_SETUP probe"},
    {6137, "RDP channel request for the MS_T120 channel"},
    {6146, "fixed sequence of TLS record lengths to RDP from one source"},
    {6157, "SMB2 compression transform with an overflowing size"},
    {6173, "DNS SIG answer signed by a foreign signer"},
    {6175, "SMB single-instance-store copy file request"},
    {6177, "WS-Management request with a negative Content-Length"},
    {6178, "WS-Management chunk size of all F digits"},
    {6182, "DCE/RPC request with a zero block after the server names"},
    {6199, "DNS update TXT record length mismatch"},
    {6200, "burst of DNS update SIG records"},
    {6201, "burst of DNS update AAAA records"},
    {6202, "DNS update with a too-short KEY record"},
    {6204, "HTTP request with a malformed Accept-Encoding header"},
    {6500, "burst of SSH DSS key exchanges"},
};

// The class of attack each signature belongs to, in the words alert
// consumers group by.
constexpr char kScan[] = "Detection of a Network Scan";
constexpr char kAdminGain[] = "Attempted Administrator Privilege Gain";
constexpr char kUserGain[] = "Attempted User Privilege Gain";
constexpr char kDenial[] = "Attempted Denial of Service";
constexpr char kLeak[] = "Attempted Information Leak";
constexpr char kCredentials[] = "Attempted Login Brute Force";
constexpr char kTrojan[] = "A Network Trojan was Detected";
constexpr char kBadTraffic[] = "Potentially Bad Traffic";
constexpr char kMiscAttack[] = "Misc Attack";

struct Category {
  uint32_t id;
  const char* text;
};

constexpr Category kCategories[] = {
    {2230, kBadTraffic},  {2231, kAdminGain},  {2232, kAdminGain},  {2233, kAdminGain},
    {3700, kScan},        {3701, kScan},       {3702, kBadTraffic}, {3718, kDenial},
    {3720, kAdminGain},   {3721, kAdminGain},  {3722, kAdminGain},  {3723, kAdminGain},
    {3724, kAdminGain},   {3725, kMiscAttack}, {3801, kMiscAttack}, {3802, kAdminGain},
    {3803, kAdminGain},   {3804, kAdminGain},  {3806, kUserGain},   {3845, kAdminGain},
    {3846, kUserGain},    {6022, kAdminGain},  {6029, kAdminGain},  {6031, kAdminGain},
    {6038, kAdminGain},   {6042, kBadTraffic}, {6043, kAdminGain},  {6044, kAdminGain},
    {6045, kCredentials}, {6058, kLeak},       {6095, kAdminGain},  {6097, kAdminGain},
    {6100, kDenial},      {6119, kTrojan},     {6137, kAdminGain},  {6146, kAdminGain},
    {6157, kAdminGain},   {6173, kAdminGain},  {6175, kAdminGain},  {6177, kAdminGain},
    {6178, kAdminGain},   {6182, kAdminGain},  {6199, kAdminGain},  {6200, kDenial},
    {6201, kDenial},      {6202, kAdminGain},  {6204, kAdminGain},  {6500, kDenial},
};

}  // namespace

const char* SignatureCategory(uint32_t signatureId) {
  for (const Category& category : kCategories) {
    if (category.id == signatureId) return category.text;
  }
  return "";
}

const char* SignatureSummary(uint32_t signatureId) {
  for (const Summary& summary : kSummaries) {
    if (summary.id == signatureId) return summary.text;
  }
  return "";
}

std::string ProtocolMaskNames(uint32_t protocolMask) {
  std::string names;
  auto add = [&names](const char* name) {
    if (!names.empty()) names += ' ';
    names += name;
  };
  if (protocolMask & kProtocolMaskTcp) add("TCP");
  if (protocolMask & kProtocolMaskUdp) add("UDP");
  if (protocolMask & kProtocolMaskIcmp) add("ICMP");
  return names.empty() ? "none" : names;
}

bool SignatureImplemented(uint32_t signatureId) {
  for (const SignatureEntry& row : g_signatureTable.rows) {
    if (row.signatureId == signatureId) return row.detector != nullptr;
  }
  return false;
}

std::string SignatureListing() {
  std::string text = fmt::format("{:>3}  {:>4}  {:<12}  {:<8}  {}\n", "row", "id", "protocols",
                                 "detector", "detects");
  for (uint32_t row = 0; row < kSignatureRows; ++row) {
    const SignatureEntry& entry = g_signatureTable.rows[row];
    text += fmt::format("{:>3}  {:>4}  {:<12}  {:<8}  {}\n", row, entry.signatureId,
                        ProtocolMaskNames(entry.protocolMask),
                        entry.detector != nullptr ? "yes" : "not yet",
                        SignatureSummary(entry.signatureId));
  }
  return text;
}

}  // namespace nipstool
