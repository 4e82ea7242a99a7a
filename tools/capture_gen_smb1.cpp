#include "tools/capture_gen_smb1.h"

#include <string>

#include "tools/capture_gen_bytes.h"

namespace capgen {
namespace {

using hostsim::BytesOf;

ByteVector Smb1Header(uint8_t command, const Smb1Ids& ids) {
  ByteVector out = {0xFF, 'S', 'M', 'B', command, 0, 0, 0, 0, 0x18};
  Le16(&out, 0xC853);  // flags2: unicode, NT status, extended security
  Le16(&out, ids.pidHigh);
  out.resize(out.size() + 8, 0);  // security features
  Le16(&out, 0);                  // reserved
  Le16(&out, ids.tid);
  Le16(&out, ids.pid);
  Le16(&out, ids.uid);
  Le16(&out, ids.mid);
  return out;
}

}  // namespace

ByteVector Smb1Negotiate(const Smb1Ids& ids) {
  ByteVector smb = Smb1Header(0x72, ids);
  const std::string dialects = std::string("\x02NT LM 0.12", 11) + '\0' +
                               std::string("\x02SMB 2.002", 10) + '\0' +
                               std::string("\x02SMB 2.???", 10) + '\0';
  smb.push_back(0);  // word count
  Le16(&smb, static_cast<uint16_t>(dialects.size()));
  Append(&smb, dialects);
  return Nbss(smb);
}

ByteVector Smb2Negotiate() {
  ByteVector smb = {0xFE, 'S', 'M', 'B'};
  Le16(&smb, 64);  // header length
  Le16(&smb, 0);   // credit charge
  Le32(&smb, 0);   // status
  Le16(&smb, 0);   // command: negotiate
  Le16(&smb, 31);  // credits requested
  Le32(&smb, 0);   // flags
  Le32(&smb, 0);   // next command
  Le32(&smb, 0);
  Le32(&smb, 0);  // message id
  Le32(&smb, 0xFEFF);
  Le32(&smb, 0);                   // tree id
  smb.resize(smb.size() + 8, 0);   // session id
  smb.resize(smb.size() + 16, 0);  // signature
  Le16(&smb, 36);                  // structure size
  Le16(&smb, 2);                   // dialect count
  Le16(&smb, 1);                   // security mode: signing enabled
  Le16(&smb, 0);
  Le32(&smb, 0x7F);                                                            // capabilities
  for (int i = 0; i < 16; ++i) smb.push_back(static_cast<uint8_t>(0x30 + i));  // client guid
  smb.resize(smb.size() + 8, 0);                                               // start time
  Le16(&smb, 0x0202);
  Le16(&smb, 0x0210);
  return Nbss(smb);
}

namespace {

// SMB1 Transaction or Transaction2 request with the given counts.
ByteVector Smb1Transaction(uint8_t command, const Smb1Ids& ids, uint16_t maxParameterCount,
                           uint16_t maxDataCount, const std::vector<uint16_t>& setup,
                           const ByteVector& name, const ByteVector& parameters) {
  ByteVector smb = Smb1Header(command, ids);
  const uint16_t wordCount = static_cast<uint16_t>(14 + setup.size());
  // Parameters follow the header, the words, the byte count and the name.
  const uint16_t parameterOffset = static_cast<uint16_t>(32 + 1 + 2 * wordCount + 2 + name.size());
  smb.push_back(static_cast<uint8_t>(wordCount));
  Le16(&smb, static_cast<uint16_t>(parameters.size()));  // total parameter count
  Le16(&smb, 0);                                         // total data count
  Le16(&smb, maxParameterCount);
  Le16(&smb, maxDataCount);
  smb.push_back(0);  // max setup count
  smb.push_back(0);
  Le16(&smb, 0);  // flags
  Le32(&smb, 0);  // timeout
  Le16(&smb, 0);
  Le16(&smb, static_cast<uint16_t>(parameters.size()));
  Le16(&smb, parameterOffset);
  Le16(&smb, 0);  // data count
  Le16(&smb, static_cast<uint16_t>(parameterOffset + parameters.size()));
  smb.push_back(static_cast<uint8_t>(setup.size()));
  smb.push_back(0);
  for (uint16_t word : setup) Le16(&smb, word);
  Le16(&smb, static_cast<uint16_t>(name.size() + parameters.size()));
  Append(&smb, name);
  Append(&smb, parameters);
  return Nbss(smb);
}

// SMB1 NT Transact request (function `function`).
ByteVector Smb1NtTransact(const Smb1Ids& ids, uint32_t maxParameterCount, uint32_t parameterCount,
                          uint16_t function) {
  ByteVector smb = Smb1Header(0xA0, ids);
  smb.push_back(19);  // word count, no setup words
  smb.push_back(0);   // max setup count
  Le16(&smb, 0);
  Le32(&smb, parameterCount);  // total parameter count
  Le32(&smb, 0);               // total data count
  Le32(&smb, maxParameterCount);
  Le32(&smb, 0x10000);  // max data count
  Le32(&smb, parameterCount);
  Le32(&smb, 32 + 1 + 38 + 2);  // parameter offset
  Le32(&smb, 0);
  Le32(&smb, 0);
  smb.push_back(0);  // setup count
  Le16(&smb, function);
  Le16(&smb, static_cast<uint16_t>(parameterCount));
  smb.resize(smb.size() + parameterCount, 0);
  return Nbss(smb);
}

// An attacker's whole TCP session to the SMB server carrying one request.
Trace OneRequestSession(uint16_t clientPort, const ByteVector& request) {
  Trace t;
  TcpSession s(&t, "10.0.0.66", clientPort, "192.168.1.20", 445);
  s.Open();
  s.Client(request);
  s.Close();
  return t;
}

struct Example {
  const char* file;
  const char* description;
  std::function<Trace()> build;
};

std::vector<Example> Examples() {
  return {
      {"attack-2231-smb-negotiate-high-pid.pcap",
       "SMB1 negotiate with a non-zero high process-id word (2231 on frame 4)",
       [] {
         Smb1Ids ids;
         ids.pidHigh = 0x1337;
         return OneRequestSession(50001, Smb1Negotiate(ids));
       }},
      {"attack-2232-nt-transact-create-small-params.pcap",
       "SMB1 NT Transact create asking for 16 parameter bytes (2232 on frame 4)",
       [] {
         Smb1Ids ids;
         ids.tid = 0x0800;
         ids.uid = 0x0801;
         return OneRequestSession(50002, Smb1NtTransact(ids, 16, 60, 1));
       }},
      {"attack-2233-trans2-open2-small-params.pcap",
       "SMB1 Transaction2 open2 with a maximum parameter count of 10 (2233 on frame 4)",
       [] {
         Smb1Ids ids;
         ids.tid = 0x0800;
         ids.uid = 0x0801;
         return OneRequestSession(
             50003, Smb1Transaction(0x32, ids, 10, 1024, {0x0000}, {0}, ByteVector(30, 0)));
       }},
      {"attack-3718-rap-enum-zero-max.pcap",
       "SMB1 RAP server enumeration on port 139 allowing no data back (3718 on frame 4)",
       [] {
         Trace t;
         TcpSession s(&t, "10.0.0.66", 50004, "192.168.1.20", 139);
         s.Open();
         Smb1Ids ids;
         ids.tid = 0x0800;
         ids.uid = 0x0801;
         ByteVector parameters;
         Le16(&parameters, 104);  // NetServerEnum2
         Append(&parameters, std::string("WrLehDz\0B16BBDz\0", 16));
         Le16(&parameters, 1);
         Le16(&parameters, 0xFFFF);
         ByteVector name = BytesOf(std::string("\\PIPE\\LANMAN\0", 13));
         s.Client(Smb1Transaction(0x25, ids, 8, 0, {}, name, parameters));
         s.Close();
         return t;
       }},
  };
}

}  // namespace

Trace SmbRequestAttacks() {
  Trace t;
  const char* attacker = "10.0.0.66";
  Smb1Ids session;
  session.tid = 0x0800;
  session.uid = 0x0801;
  {
    TcpSession s(&t, attacker, 50001, "192.168.1.20", 445);
    s.Open();
    Smb1Ids ids;
    ids.pidHigh = 0x1337;
    s.Client(Smb1Negotiate(ids));
    s.Close();
  }
  {
    TcpSession s(&t, attacker, 50002, "192.168.1.20", 445);
    s.Open();
    s.Client(Smb1NtTransact(session, 16, 60, 1));
    s.Close();
  }
  {
    TcpSession s(&t, attacker, 50003, "192.168.1.20", 445);
    s.Open();
    s.Client(Smb1Transaction(0x32, session, 10, 1024, {0x0000}, {0}, ByteVector(30, 0)));
    s.Close();
  }
  {
    TcpSession s(&t, attacker, 50004, "192.168.1.20", 139);
    s.Open();
    ByteVector parameters;
    Le16(&parameters, 104);
    Append(&parameters, std::string("WrLehDz\0B16BBDz\0", 16));
    Le16(&parameters, 1);
    Le16(&parameters, 0xFFFF);
    s.Client(Smb1Transaction(0x25, session, 8, 0, {}, BytesOf(std::string("\\PIPE\\LANMAN\0", 13)),
                             parameters));
    s.Close();
  }
  return t;
}

std::vector<FamilyCapture> Smb1RequestFamilyExamples() {
  std::vector<FamilyCapture> out;
  for (const Example& example : Examples()) {
    out.push_back({example.file, example.description, example.build()});
  }
  return out;
}

std::vector<FamilyCapture> Smb1RequestFamilyRegressionCaptures() {
  return {
      {"smb1-requests", "four malformed SMB1 requests, one per session", SmbRequestAttacks()},
      {"policy-report-only", "the SMB1 requests under a policy that reports and disables",
       SmbRequestAttacks()},
      {"policy-block-host", "the SMB1 requests under a policy that blocks hosts",
       SmbRequestAttacks()},
  };
}

}  // namespace capgen
