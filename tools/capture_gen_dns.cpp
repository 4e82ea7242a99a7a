#include "tools/capture_gen_dns.h"

#include <functional>
#include <string>

#include "hostsim/packet_builder.h"
#include "tools/capture_gen_bytes.h"
#include "tools/capture_gen_payloads.h"

namespace capgen {
namespace {

constexpr char kResolver[] = "192.168.1.1";
constexpr char kLlmnrGroup[] = "224.0.0.252";
constexpr uint16_t kDns = 53, kLlmnr = 5355;

constexpr uint16_t kTypeA = 1, kTypeSoa = 6, kTypeTxt = 16, kTypeSig = 24, kTypeKey = 25,
                   kTypeAaaa = 28;
constexpr uint16_t kFlagsResponse = 0x8180, kFlagsUpdate = 0x2800;

// Identifiers of messages sent behind the TCP length prefix start with a
// byte whose bit 0x80 is set, so that the detectors reading at the start of
// the payload see a response there and pass them over.
constexpr uint16_t kFramedIdBase = 0x9000;

ByteVector Header(uint16_t id, uint16_t flags, uint16_t c1, uint16_t c2, uint16_t c3 = 0,
                  uint16_t c4 = 0) {
  ByteVector out;
  for (uint16_t v : {id, flags, c1, c2, c3, c4}) Be16(&out, v);
  return out;
}

ByteVector Question(const std::string& name, uint16_t type) {
  ByteVector out = DnsName(name);
  Be16(&out, type);
  Be16(&out, 1);
  return out;
}

// A record with its data; the data length is given apart so that it may
// claim more than the message carries.
ByteVector Record(const ByteVector& name, uint16_t type, uint32_t ttl, const ByteVector& data,
                  uint16_t dataLength) {
  ByteVector out = name;
  Be16(&out, type);
  Be16(&out, 1);
  Be32(&out, ttl);
  Be16(&out, dataLength);
  Append(&out, data);
  return out;
}
ByteVector Record(const ByteVector& name, uint16_t type, uint32_t ttl, const ByteVector& data) {
  return Record(name, type, ttl, data, static_cast<uint16_t>(data.size()));
}
const ByteVector kPointerToQuestion = {0xC0, 0x0C};

ByteVector Ipv4(const char* text) {
  const auto a = hostsim::Ipv4Address(text);
  return ByteVector(a.begin(), a.end());
}

// ---- The attack messages ---------------------------------------------------

// A TXT answer declaring 10922 data bytes; 64 of them follow.
ByteVector OversizedTxtResponse() {
  ByteVector m = Header(0x3803, kFlagsResponse, 1, 1);
  Append(&m, Question("txt.example.com", kTypeTxt));
  ByteVector text = {0xFF};
  text.resize(64, 'T');
  Append(&m, Record(kPointerToQuestion, kTypeTxt, 300, text, 10922));
  return m;
}

// Three answers inside 127.1.0.0 - 127.254.255.255 and the name-collision
// marker 127.0.53.53.
ByteVector LoopbackResponse() {
  ByteVector m = Header(0x6042, kFlagsResponse, 1, 4);
  Append(&m, Question("wpad.corp.example", kTypeA));
  for (const char* a : {"127.1.0.1", "127.1.0.2", "127.1.0.3", "127.0.53.53"})
    Append(&m, Record(kPointerToQuestion, kTypeA, 60, Ipv4(a)));
  return m;
}

ByteVector LlmnrLeadingDot() {
  ByteVector m = Header(0x6044, 0x0000, 1, 0);
  Append(&m, ByteVector{8, '.', 'p', 'r', 'i', 'n', 't', 'e', 'r', 0});
  Be16(&m, kTypeA);
  Be16(&m, 1);
  return m;
}

// A SIG answer over an A record whose signer name points at offset 42 of the
// message instead of the question name; 460 signature bytes bring the
// segment past 520 bytes.
ByteVector ForeignSignerResponse() {
  ByteVector m = Header(0x6173, kFlagsResponse, 1, 1);
  Append(&m, Question("www.example.com", kTypeSig));
  ByteVector sig;
  Be16(&sig, kTypeA);  // type covered
  sig.push_back(5);    // algorithm
  sig.push_back(3);    // labels
  Be32(&sig, 300);     // original TTL
  Be32(&sig, 1711965600);
  Be32(&sig, 1709287200);
  Be16(&sig, 0x6173);  // key tag
  Append(&sig, ByteVector{0xC0, 0x2A});
  for (int i = 0; i < 460; ++i) sig.push_back(static_cast<uint8_t>(i * 37));
  Append(&m, Record(kPointerToQuestion, kTypeSig, 300, sig));
  return TcpFramed(m);
}

// A dynamic update of zone example.com with the given update records.
ByteVector Update(uint16_t id, const std::vector<ByteVector>& updates) {
  ByteVector m = Header(id, kFlagsUpdate, 1, 0, static_cast<uint16_t>(updates.size()));
  Append(&m, Question("example.com", kTypeSoa));
  for (const ByteVector& u : updates) Append(&m, u);
  return m;
}

// Sent without the length prefix: the TXT's first string claims 64 bytes
// of a 6-byte record.
ByteVector TxtMismatchUpdate() {
  return Update(0x6199, {Record(DnsName("note.example.com"), kTypeTxt, 300,
                                {0x40, 'p', 'w', 'n', 'e', 'd'})});
}

ByteVector ShortKeyUpdate() {
  return TcpFramed(Update(kFramedIdBase | 0x0202,
                          {Record(DnsName("key.example.com"), kTypeKey, 300, {0x01, 0x01, 0x03})}));
}

std::vector<ByteVector> SigRecords(int count) {
  std::vector<ByteVector> out;
  for (int i = 0; i < count; ++i) {
    ByteVector sig;
    Be16(&sig, kTypeA);
    Put(&sig, {5, 3});
    Be32(&sig, 300);
    Be32(&sig, 1711965600);
    Be32(&sig, 1709287200);
    Be16(&sig, static_cast<uint16_t>(0x1000 + i));
    Append(&sig, DnsName("example.com"));
    sig.resize(sig.size() + 32, static_cast<uint8_t>(i));
    out.push_back(Record(DnsName("host.example.com"), kTypeSig, 0, sig));
  }
  return out;
}

std::vector<ByteVector> AaaaRecords(int count) {
  std::vector<ByteVector> out;
  for (int i = 0; i < count; ++i) {
    ByteVector address = {0x20, 0x01, 0x0d, 0xb8};
    address.resize(15, 0);
    address.push_back(static_cast<uint8_t>(i + 1));
    out.push_back(
        Record(DnsName("h" + std::to_string(i) + ".example.com"), kTypeAaaa, 300, address));
  }
  return out;
}

// ---- Traces ----------------------------------------------------------------

// One TCP session to the resolver; the client's messages in turn, each a
// second after the one before. Returns the frame of the last.
std::string TcpToResolver(Trace* t, const char* client, uint16_t clientPort,
                          const std::vector<ByteVector>& messages) {
  TcpSession s(t, client, clientPort, kResolver, kDns);
  s.Open();
  std::string frame;
  for (const ByteVector& m : messages) {
    t->Advance(1000000);
    frame = NextFrame(*t);
    s.Client(m);
  }
  s.Close();
  return frame;
}

// A question over UDP and the resolver's answer; returns the answer's frame.
std::string UdpAnswer(Trace* t, const char* client, uint16_t clientPort, const ByteVector& query,
                      const ByteVector& response) {
  t->Add(UdpPacket(client, clientPort, kResolver, kDns, query));
  const std::string frame = NextFrame(*t);
  t->Add(UdpPacket(kResolver, kDns, client, clientPort, response));
  return frame;
}

std::vector<Attack> Attacks() {
  return {
      {3803, "dns-oversized-txt", "DNS response with a TXT answer declaring 10922 data bytes",
       [](Trace* t, const char* c, uint16_t p) {
         return UdpAnswer(t, c, p, DnsQuery(0x3803, "txt.example.com", kTypeTxt),
                          OversizedTxtResponse());
       }},
      {6042, "dns-loopback-answers",
       "DNS response resolving a name to 127.1.0.1-3 and the marker 127.0.53.53",
       [](Trace* t, const char* c, uint16_t p) {
         return UdpAnswer(t, c, p, DnsQuery(0x6042, "wpad.corp.example"), LoopbackResponse());
       }},
      {6044, "llmnr-leading-dot", "LLMNR query for the name .printer",
       [](Trace* t, const char* c, uint16_t p) {
         const std::string frame = NextFrame(*t);
         t->Add(UdpPacket(c, p, kLlmnrGroup, kLlmnr, LlmnrLeadingDot()));
         return frame;
       }},
      {6173, "dns-sig-foreign-signer",
       "DNS over TCP response whose SIG answer names a signer by a pointer past the question",
       [](Trace* t, const char* c, uint16_t p) {
         TcpSession s(t, c, p, kResolver, kDns);
         s.Open();
         s.Client(TcpFramed(DnsQuery(kFramedIdBase | 0x0173, "www.example.com", kTypeSig)));
         const std::string frame = NextFrame(*t);
         s.Server(ForeignSignerResponse());
         s.Close();
         return frame;
       }},
      {6199, "dns-update-txt-length-mismatch",
       "DNS update (no length prefix) whose TXT record's first string claims 64 of 6 bytes",
       [](Trace* t, const char* c, uint16_t p) {
         return TcpToResolver(t, c, p, {TxtMismatchUpdate()});
       }},
      {6200, "dns-update-sig-burst",
       "two DNS updates (no length prefix) with 1 and 5 SIG records a second apart",
       [](Trace* t, const char* c, uint16_t p) {
         return TcpToResolver(t, c, p,
                              {Update(0x6200, SigRecords(1)), Update(0x6201, SigRecords(5))});
       }},
      {6201, "dns-update-aaaa-burst", "two DNS updates over TCP with 1 and 5 AAAA records",
       [](Trace* t, const char* c, uint16_t p) {
         return TcpToResolver(t, c, p,
                              {TcpFramed(Update(kFramedIdBase | 0x0201, AaaaRecords(1))),
                               TcpFramed(Update(kFramedIdBase | 0x0211, AaaaRecords(5)))});
       }},
      {6202, "dns-update-short-key", "DNS update over TCP with a 3-byte KEY record",
       [](Trace* t, const char* c, uint16_t p) {
         return TcpToResolver(t, c, p, {ShortKeyUpdate()});
       }},
  };
}

}  // namespace

std::vector<FamilyCapture> DnsFamilyExamples() { return AttackExamples(Attacks()); }

std::vector<FamilyCapture> DnsFamilyRegressionCaptures() {
  FamilyCapture capture;
  capture.name = "dns-detectors";
  std::string alerts;
  uint16_t port = 50200;
  for (const Attack& a : Attacks()) {
    // An ordinary lookup between the attacks.
    UdpAnswer(&capture.trace, "10.0.0.71", port++, DnsQuery(0x1111, "www.example.com"),
              DnsAnswerA(0x1111, "www.example.com", "93.184.216.34"));
    const std::string frame = a.add(&capture.trace, "10.0.0.71", port++);
    alerts += (alerts.empty() ? "" : ", ") + std::to_string(a.id) + " on frame " + frame;
    capture.trace.Advance(1000000);
  }
  capture.description = "DNS, LLMNR and DNS over TCP attacks (" + alerts + ")";
  return {std::move(capture)};
}

}  // namespace capgen
