#include "tools/capture_gen.h"

#include "tools/capture_gen_bytes.h"
#include "tools/capture_gen_smb.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <functional>

namespace capgen {
namespace {

using hostsim::BytesOf;
using hostsim::CaptureWriter;

constexpr uint8_t kFin = 0x01, kSyn = 0x02, kRst = 0x04, kPsh = 0x08, kAck = 0x10;
constexpr uint8_t kTcp = 6, kUdp = 17, kIcmp = 1, kIcmpv6 = 58;

bool IsIpv6(const std::string& address) { return address.find(':') != std::string::npos; }

// ---- Protocol payloads -------------------------------------------------------

struct Smb1Ids {
  uint16_t pidHigh = 0;
  uint16_t tid = 0;
  uint16_t pid = 0xFEFF;
  uint16_t uid = 0;
  uint16_t mid = 1;
};

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

ByteVector DnsName(const std::string& name) {
  ByteVector out;
  size_t start = 0;
  while (start < name.size()) {
    size_t dot = name.find('.', start);
    if (dot == std::string::npos) dot = name.size();
    out.push_back(static_cast<uint8_t>(dot - start));
    Append(&out, name.substr(start, dot - start));
    start = dot + 1;
  }
  out.push_back(0);
  return out;
}

ByteVector DnsQuery(uint16_t id, const std::string& name, uint16_t type = 1) {
  ByteVector out;
  Be16(&out, id);
  Be16(&out, 0x0100);  // recursion desired
  Be16(&out, 1);
  Be16(&out, 0);
  Be16(&out, 0);
  Be16(&out, 0);
  Append(&out, DnsName(name));
  Be16(&out, type);
  Be16(&out, 1);
  return out;
}

ByteVector DnsAnswerA(uint16_t id, const std::string& name, const char* address) {
  ByteVector out;
  Be16(&out, id);
  Be16(&out, 0x8180);
  Be16(&out, 1);
  Be16(&out, 1);
  Be16(&out, 0);
  Be16(&out, 0);
  Append(&out, DnsName(name));
  Be16(&out, 1);
  Be16(&out, 1);
  Be16(&out, 0xC00C);  // pointer to the question's name
  Be16(&out, 1);
  Be16(&out, 1);
  Be32(&out, 300);
  Be16(&out, 4);
  const auto bytes = hostsim::Ipv4Address(address);
  out.insert(out.end(), bytes.begin(), bytes.end());
  return out;
}

ByteVector TcpFramed(const ByteVector& message) {
  ByteVector out;
  Be16(&out, static_cast<uint16_t>(message.size()));
  Append(&out, message);
  return out;
}

ByteVector TlsClientHello() {
  ByteVector hello = {0x03, 0x03};
  for (int i = 0; i < 32; ++i) hello.push_back(static_cast<uint8_t>(i * 7));
  hello.push_back(0);  // session id
  Be16(&hello, 4);
  Be16(&hello, 0xC02F);
  Be16(&hello, 0x1301);
  hello.push_back(1);
  hello.push_back(0);  // no compression
  const ByteVector sni = DnsName("www.example.com");
  ByteVector extensions;
  Be16(&extensions, 0);  // server_name
  Be16(&extensions, static_cast<uint16_t>(sni.size() + 5 - 2));
  Be16(&extensions, static_cast<uint16_t>(sni.size() + 3 - 2));
  extensions.push_back(0);
  Be16(&extensions, static_cast<uint16_t>(15));
  Append(&extensions, "www.example.com");
  Be16(&hello, static_cast<uint16_t>(extensions.size()));
  Append(&hello, extensions);
  ByteVector handshake = {0x01, 0, static_cast<uint8_t>(hello.size() >> 8),
                          static_cast<uint8_t>(hello.size())};
  Append(&handshake, hello);
  ByteVector record = {0x16, 0x03, 0x01};
  Be16(&record, static_cast<uint16_t>(handshake.size()));
  Append(&record, handshake);
  return record;
}

// A heartbeat request whose declared length is what it carries.
ByteVector TlsHeartbeat() {
  ByteVector message = {0x01, 0x00, 0x10};
  for (int i = 0; i < 16; ++i) message.push_back(static_cast<uint8_t>('a' + i));
  message.resize(message.size() + 16, 0x5A);  // padding
  ByteVector record = {0x18, 0x03, 0x03};
  Be16(&record, static_cast<uint16_t>(message.size()));
  Append(&record, message);
  return record;
}

ByteVector SshKexInit() {
  ByteVector body = {20};
  for (int i = 0; i < 16; ++i) body.push_back(static_cast<uint8_t>(0xA0 + i));
  for (const char* list :
       {"curve25519-sha256,ecdh-sha2-nistp256", "ssh-ed25519,rsa-sha2-512", "aes128-ctr",
        "aes128-ctr", "hmac-sha2-256", "hmac-sha2-256", "none", "none", "", ""}) {
    Be32(&body, static_cast<uint32_t>(strlen(list)));
    Append(&body, std::string(list));
  }
  body.push_back(0);  // first kex packet follows
  Be32(&body, 0);
  uint8_t padding = static_cast<uint8_t>(8 - (body.size() + 5) % 8);
  if (padding < 4) padding = static_cast<uint8_t>(padding + 8);
  ByteVector packet;
  Be32(&packet, static_cast<uint32_t>(body.size() + padding + 1));
  packet.push_back(padding);
  Append(&packet, body);
  packet.resize(packet.size() + padding, 0);
  return packet;
}

// DCE/RPC bind to the endpoint mapper.
ByteVector RpcBind() {
  ByteVector pdu = {5, 0, 11, 3, 0x10, 0, 0, 0};
  Le16(&pdu, 72);  // fragment length
  Le16(&pdu, 0);
  Le32(&pdu, 1);  // call id
  Le16(&pdu, 5840);
  Le16(&pdu, 5840);
  Le32(&pdu, 0);
  pdu.push_back(1);  // one context
  pdu.push_back(0);
  Le16(&pdu, 0);
  Le16(&pdu, 0);  // context id
  pdu.push_back(1);
  pdu.push_back(0);
  const uint8_t epm[16] = {0x08, 0x83, 0xaf, 0xe1, 0x1f, 0x5d, 0xc9, 0x11,
                           0x91, 0xa4, 0x08, 0x00, 0x2b, 0x14, 0xa0, 0xfa};
  pdu.insert(pdu.end(), epm, epm + 16);
  Le32(&pdu, 3);
  const uint8_t ndr[16] = {0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
                           0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60};
  pdu.insert(pdu.end(), ndr, ndr + 16);
  Le32(&pdu, 2);
  return pdu;
}

ByteVector RpcRequest(uint16_t opnum, size_t stubLength) {
  ByteVector pdu = {5, 0, 0, 3, 0x10, 0, 0, 0};
  Le16(&pdu, static_cast<uint16_t>(24 + stubLength));
  Le16(&pdu, 0);
  Le32(&pdu, 2);
  Le32(&pdu, static_cast<uint32_t>(stubLength));  // allocation hint
  Le16(&pdu, 0);                                  // context id
  Le16(&pdu, opnum);
  pdu.resize(pdu.size() + stubLength, 0);
  return pdu;
}

ByteVector RdpConnectionRequest() {
  const std::string cookie = "Cookie: mstshash=alice\r\n";
  ByteVector x224 = {static_cast<uint8_t>(6 + cookie.size() + 8), 0xE0, 0, 0, 0, 0, 0};
  Append(&x224, cookie);
  const ByteVector negotiation = {0x01, 0x00, 0x08, 0x00, 0x03, 0x00, 0x00, 0x00};
  Append(&x224, negotiation);
  ByteVector tpkt = {0x03, 0x00};
  Be16(&tpkt, static_cast<uint16_t>(4 + x224.size()));
  Append(&tpkt, x224);
  return tpkt;
}

ByteVector PptpStartControlRequest() {
  ByteVector message;
  Be16(&message, 156);
  Be16(&message, 1);  // control message
  Be32(&message, 0x1A2B3C4D);
  Be16(&message, 1);  // start-control-connection request
  Be16(&message, 0);
  Be16(&message, 0x0100);  // protocol version
  Be16(&message, 0);
  Be32(&message, 1);  // framing capabilities
  Be32(&message, 1);  // bearer capabilities
  Be16(&message, 0);
  Be16(&message, 0x0A28);  // firmware revision
  ByteVector host(64, 0), vendor(64, 0);
  memcpy(host.data(), "workstation", 11);
  memcpy(vendor.data(), "example vendor", 14);
  Append(&message, host);
  Append(&message, vendor);
  return message;
}

std::string HttpRequest(const std::string& start, const std::string& host,
                        const std::vector<std::string>& headers, const std::string& body = "") {
  std::string request = start + "\r\nHost: " + host + "\r\n";
  for (const std::string& header : headers) request += header + "\r\n";
  if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return request + "\r\n" + body;
}

// ---- Traces ---------------------------------------------------------------------

void AddBenignIpv4(Trace* trace) {
  // SMB1 and SMB2 negotiation on 445, a NetBIOS session on 139.
  {
    TcpSession s(trace, "192.168.1.10", 49200, "192.168.1.20", 445);
    s.Open();
    s.Client(Smb1Negotiate(Smb1Ids{}));
    s.Client(Smb2Negotiate());
    s.Close();
  }
  {
    TcpSession s(trace, "192.168.1.10", 49201, "192.168.1.20", 139);
    s.Open();
    // NetBIOS session request: called and calling names, first-level encoded.
    ByteVector request = {0x81, 0x00, 0x00, 0x44, 0x20};
    for (int i = 0; i < 32; ++i) request.push_back('C');
    request.push_back(0);
    request.push_back(0x20);
    for (int i = 0; i < 32; ++i) request.push_back('E');
    request.push_back(0);
    s.Client(request);
    s.Server({0x82, 0x00, 0x00, 0x00});
    s.Client(Smb1Negotiate(Smb1Ids{}));
    s.Close();
  }
  {
    TcpSession s(trace, "192.168.1.10", 49202, "192.168.1.20", 135);
    s.Open();
    s.Client(RpcBind());
    s.Client(RpcRequest(3, 64));
    s.Close();
  }
  {
    TcpSession s(trace, "192.168.1.11", 49300, "192.168.1.21", 3389);
    s.Open();
    s.Client(RdpConnectionRequest());
    s.Server({0x03, 0x00, 0x00, 0x13, 0x0e, 0xd0, 0x00, 0x00, 0x12, 0x34, 0x00, 0x02, 0x1f, 0x08,
              0x00, 0x02, 0x00, 0x00, 0x00});
    s.Close();
  }
  trace->Add(
      UdpPacket("192.168.1.10", 53000, "192.168.1.1", 53, DnsQuery(0x1234, "www.example.com")));
  trace->Add(UdpPacket("192.168.1.1", 53, "192.168.1.10", 53000,
                       DnsAnswerA(0x1234, "www.example.com", "93.184.216.34")));
  {
    TcpSession s(trace, "192.168.1.10", 49203, "192.168.1.1", 53);
    s.Open();
    s.Client(TcpFramed(DnsQuery(0x2222, "example.org", 15)));
    s.Close();
  }
  trace->Add(UdpPacket("192.168.1.30", 54000, "224.0.0.252", 5355, DnsQuery(0x0101, "printer")));
  {
    TcpSession s(trace, "192.168.1.12", 49400, "93.184.216.34", 80);
    s.Open();
    s.Client(BytesOf(HttpRequest(
        "GET /index.html HTTP/1.1", "www.example.com",
        {"User-Agent: curl/8.5.0", "Accept: */*", "Accept-Encoding: gzip, deflate, br"})));
    s.Server(
        BytesOf("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 13\r\n\r\n"
                "<p>hello</p>\n"));
    s.Close();
  }
  {
    TcpSession s(trace, "192.168.1.12", 49401, "192.168.1.40", 16992);
    s.Open();
    s.Client(BytesOf(HttpRequest("POST /wsman HTTP/1.1", "192.168.1.40:16992",
                                 {"Content-Type: application/soap+xml;charset=UTF-8"},
                                 "<s:Envelope><s:Body>Identify</s:Body></s:Envelope>")));
    s.Close();
  }
  {
    TcpSession s(trace, "192.168.1.13", 49500, "192.168.1.20", 2869);
    s.Open();
    s.Client(
        BytesOf("SUBSCRIBE /upnphost/udhisapi.dll?event=uuid:1234 HTTP/1.1\r\n"
                "Host: 192.168.1.20:2869\r\nNT: upnp:event\r\n"
                "Callback: <http://192.168.1.13:5000/notify>\r\nTimeout: Second-1800\r\n\r\n"));
    s.Close();
  }
  {
    TcpSession s(trace, "192.168.1.14", 49600, "192.168.1.50", 21);
    s.Open();
    s.Server(BytesOf("220 FTP server ready\r\n"));
    s.Client(BytesOf("USER anonymous\r\n"));
    s.Server(BytesOf("331 Please specify the password.\r\n"));
    s.Client(BytesOf("PASS guest@example.com\r\n"));
    s.Server(BytesOf("230 Login successful.\r\n"));
    s.Close();
  }
  {
    TcpSession s(trace, "192.168.1.15", 49700, "93.184.216.34", 443);
    s.Open();
    s.Client(TlsClientHello());
    s.Client(TlsHeartbeat());
    s.Close();
  }
  {
    TcpSession s(trace, "192.168.1.16", 49800, "192.168.1.60", 22);
    s.Open();
    s.Server(BytesOf("SSH-2.0-OpenSSH_9.2p1 Debian-2\r\n"));
    s.Client(BytesOf("SSH-2.0-OpenSSH_9.6\r\n"));
    s.Client(SshKexInit());
    s.Close();
  }
  {
    TcpSession s(trace, "192.168.1.17", 49900, "192.168.1.70", 1723);
    s.Open();
    s.Client(PptpStartControlRequest());
    s.Close();
  }
  trace->Add(UdpPacket("192.168.1.18", 50000, "192.168.1.80", 1434, {0x03}));
  trace->Add(UdpPacket("192.168.1.80", 1434, "192.168.1.18", 50000,
                       BytesOf(std::string("\x05\x40\x00", 3) +
                               "ServerName;SQL1;InstanceName;MSSQLSERVER;IsClustered;No;"
                               "Version;15.0.2000.5;tcp;1433;;")));
  // An echo request carrying a record-route option, and its reply.
  hostsim::Ipv4Header withOption;
  withOption.source = hostsim::Ipv4Address("192.168.1.19");
  withOption.destination = hostsim::Ipv4Address("192.168.1.1");
  withOption.protocol = kIcmp;
  withOption.options = {7, 11, 4, 0, 0, 0, 0, 0, 0, 0, 0};
  trace->Add(hostsim::Ipv4Packet(withOption,
                                 hostsim::IcmpMessage(8, 0, 0x00010001, BytesOf("ping payload"))));
  trace->Add(IpPacket("192.168.1.1", "192.168.1.19", kIcmp,
                      hostsim::IcmpMessage(0, 0, 0x00010001, BytesOf("ping payload"))));
}

void AddBenignIpv6(Trace* trace) {
  {
    TcpSession s(trace, "2001:db8::10", 50100, "2001:db8::80", 80);
    s.Open();
    s.Client(
        BytesOf(HttpRequest("GET / HTTP/1.1", "[2001:db8::80]", {"Accept-Encoding: identity"})));
    s.Server(BytesOf("HTTP/1.1 204 No Content\r\n\r\n"));
    s.Close();
  }
  trace->Add(IpPacket("2001:db8::10", "2001:db8::1", kIcmpv6,
                      hostsim::IcmpMessage(128, 0, 0x00070001, BytesOf("v6 ping"))));
  trace->Add(IpPacket("2001:db8::1", "2001:db8::10", kIcmpv6,
                      hostsim::IcmpMessage(129, 0, 0x00070001, BytesOf("v6 ping"))));
  // A DNS query behind hop-by-hop and destination-options headers.
  hostsim::Ipv6Header header;
  header.source = hostsim::Ipv6Address("2001:db8::10");
  header.destination = hostsim::Ipv6Address("2001:db8::53");
  header.protocol = kUdp;
  header.extensions = {{0, {0x05, 0x02, 0x00, 0x00}}, {60, {0x01, 0x02, 0x00, 0x00}}};
  trace->Add(hostsim::Ipv6Packet(
      header, hostsim::UdpDatagram(50200, 53, DnsQuery(0x3333, "www.example.net", 28))));
}

// One source sends SYNs to 20 distinct ports below 1024 within a minute; the
// closed ports answer with resets.
void AddTcpPortScan(Trace* trace, const char* attacker, const char* target) {
  static const uint16_t kPorts[] = {21,  22,  23,  25,  53,  80,  110, 111, 135, 139,
                                    143, 389, 443, 445, 465, 587, 636, 993, 995, 1000};
  uint16_t sourcePort = 40000;
  for (uint16_t port : kPorts) {
    trace->Add(IpPacket(attacker, target, kTcp,
                        hostsim::TcpSegment(sourcePort, port, 0x5000, 0, kSyn, {})),
               200000);
    trace->Add(IpPacket(target, attacker, kTcp,
                        hostsim::TcpSegment(port, sourcePort, 0, 0x5001, kRst | kAck, {})));
    ++sourcePort;
  }
}

// One source sends empty datagrams to 100 distinct ports below 1024.
void AddUdpPortScan(Trace* trace, const char* attacker, const char* target) {
  for (uint16_t port = 1; port <= 100; ++port) {
    trace->Add(UdpPacket(attacker, 41000, target, static_cast<uint16_t>(port * 7), {}), 50000);
  }
}

struct ExampleSpec {
  const char* file;
  const char* description;
  std::function<Trace()> build;
};

// An attacker's whole TCP session to the SMB server carrying one request.
Trace OneRequestSession(uint16_t clientPort, const ByteVector& request) {
  Trace t;
  TcpSession s(&t, "10.0.0.66", clientPort, "192.168.1.20", 445);
  s.Open();
  s.Client(request);
  s.Close();
  return t;
}

std::vector<ExampleSpec> ExampleSpecs() {
  return {
      {"benign.pcap",
       "benign traffic of every protocol the detectors look at, IPv4 and IPv6: no alert",
       [] { return BenignTrace(); }},
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
      {"attack-3700-tcp-port-scan.pcap",
       "SYNs to 20 ports below 1024 in 4 seconds (3700 on frame 39, the 20th SYN)",
       [] {
         Trace t;
         AddTcpPortScan(&t, "10.0.0.66", "192.168.1.20");
         return t;
       }},
      {"attack-3701-udp-port-scan.pcap",
       "empty datagrams to 100 ports below 1024 in 5 seconds (3701 on frame 100)",
       [] {
         Trace t;
         AddUdpPortScan(&t, "10.0.0.67", "192.168.1.20");
         return t;
       }},
  };
}

bool MakeDirectory(const std::string& path, std::string* error) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  *error = path + ": " + strerror(errno);
  return false;
}

ByteVector Frame(const ByteVector& ip, uint32_t linktype) {
  switch (linktype) {
    case hostsim::kLinktypeNull:
      return hostsim::NullFrame(ip);
    case hostsim::kLinktypeLoop:
      return hostsim::LoopFrame(ip);
    case hostsim::kLinktypeRaw:
    case hostsim::kLinktypeIpv4:
    case hostsim::kLinktypeIpv6:
      return ip;
    case hostsim::kLinktypeLinuxSll:
      return hostsim::LinuxSllFrame(ip);
    case hostsim::kLinktypeLinuxSll2:
      return hostsim::LinuxSll2Frame(ip);
    default:
      return hostsim::EthernetFrame(ip);
  }
}

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

// IPv6 traffic behind every extension header the decoder walks, then
// fragments: a first fragment (inspected) and a later one (skipped).
Trace Ipv6ExtensionTrace() {
  Trace t;
  const auto source = hostsim::Ipv6Address("2001:db8::66");
  const auto target = hostsim::Ipv6Address("2001:db8::20");
  const std::vector<std::vector<hostsim::Ipv6ExtensionHeader>> chains = {
      {{0, {0x05, 0x02, 0x00, 0x00}}},   // hop-by-hop
      {{43, {0x00, 0x00, 0, 0, 0, 0}}},  // routing, segments left 0
      {{60, {0x01, 0x04, 0, 0, 0, 0}}},  // destination options
      {{51, {0, 0, 0, 0, 0, 0, 0, 0x2A, 0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}},  // AH
      {{0, {}}, {43, {0, 0}}, {60, {}}},  // a chain of three
  };
  uint16_t port = 20;
  // 20 SYNs to ports below 1024, each behind one of the chains: a scan
  // that only shows when every header is walked to TCP.
  for (int i = 0; i < 20; ++i) {
    hostsim::Ipv6Header header;
    header.source = source;
    header.destination = target;
    header.protocol = kTcp;
    header.extensions = chains[static_cast<size_t>(i) % chains.size()];
    t.Add(hostsim::Ipv6Packet(header, hostsim::TcpSegment(45000, port++, 0x7000, 0, kSyn, {})),
          100000);
  }
  hostsim::Ipv6Header fragment;
  fragment.source = source;
  fragment.destination = target;
  fragment.protocol = kUdp;
  fragment.extensions = {{44, {0x00, 0x01, 0, 0, 0x12, 0x34}}};  // offset 0, more fragments
  t.Add(hostsim::Ipv6Packet(fragment, hostsim::UdpDatagram(45001, 53, DnsQuery(1, "a.example"))));
  fragment.extensions = {{44, {0x00, 0xB8, 0, 0, 0x12, 0x34}}};  // offset 23 (184 bytes), last
  t.Add(hostsim::Ipv6Packet(fragment, ByteVector(24, 0x41)));
  // ESP and "no next header" end the walk without a transport header.
  hostsim::Ipv6Header other;
  other.source = source;
  other.destination = target;
  other.protocol = 50;
  t.Add(hostsim::Ipv6Packet(other, ByteVector(32, 0x11)));
  other.protocol = 59;
  t.Add(hostsim::Ipv6Packet(other, {}));
  return t;
}

// A port scan and an ICMPv6 exchange, for the link-type cases.
Trace LinkTypeTrace(bool ipv6) {
  Trace t;
  if (ipv6) {
    t.Add(IpPacket("2001:db8::10", "2001:db8::1", kIcmpv6,
                   hostsim::IcmpMessage(128, 0, 0x00070001, BytesOf("v6 ping"))));
    t.Add(IpPacket("2001:db8::1", "2001:db8::10", kIcmpv6,
                   hostsim::IcmpMessage(129, 0, 0x00070001, BytesOf("v6 ping"))));
  }
  AddTcpPortScan(&t, "10.0.0.66", "192.168.1.20");
  return t;
}

struct RegressionSpec {
  const char* folder;
  const char* description;
  std::function<bool(const std::string& path)> write;  // path without extension
};

bool WriteFramed(const std::string& path, const Trace& trace, uint32_t linktype) {
  return WriteTrace(path + ".pcap", trace, CaptureWriter::Format::kPcap, linktype);
}

std::vector<RegressionSpec> RegressionSpecs() {
  auto linkCase = [](uint32_t linktype, bool ipv6) {
    return [linktype, ipv6](const std::string& path) {
      return WriteFramed(path, LinkTypeTrace(ipv6), linktype);
    };
  };
  return {
      {"benign", "benign traffic of every watched protocol",
       [](const std::string& path) {
         return WriteFramed(path, BenignTrace(), hostsim::kLinktypeEthernet);
       }},
      {"tcp-port-scan", "20 SYNs to ports below 1024",
       [](const std::string& path) {
         Trace t;
         AddTcpPortScan(&t, "10.0.0.66", "192.168.1.20");
         return WriteFramed(path, t, hostsim::kLinktypeEthernet);
       }},
      {"udp-port-scan", "empty datagrams to 100 ports below 1024",
       [](const std::string& path) {
         Trace t;
         AddUdpPortScan(&t, "10.0.0.67", "192.168.1.20");
         return WriteFramed(path, t, hostsim::kLinktypeEthernet);
       }},
      {"smb1-requests", "four malformed SMB1 requests, one per session",
       [](const std::string& path) {
         return WriteFramed(path, SmbRequestAttacks(), hostsim::kLinktypeEthernet);
       }},
      {"policy-report-only", "the SMB1 requests under a policy that reports and disables",
       [](const std::string& path) {
         return WriteFramed(path, SmbRequestAttacks(), hostsim::kLinktypeEthernet);
       }},
      {"policy-block-host", "the SMB1 requests under a policy that blocks hosts",
       [](const std::string& path) {
         return WriteFramed(path, SmbRequestAttacks(), hostsim::kLinktypeEthernet);
       }},
      {"ipv6-extension-headers", "a TCP scan behind IPv6 extension headers, and fragments",
       [](const std::string& path) {
         return WriteFramed(path, Ipv6ExtensionTrace(), hostsim::kLinktypeEthernet);
       }},
      {"vlan-qinq-pcapng", "a TCP scan in 802.1Q and QinQ frames, pcapng with two interfaces",
       [](const std::string& path) {
         const Trace trace = LinkTypeTrace(true);
         CaptureWriter writer;
         if (!writer.Open(path + ".pcapng", CaptureWriter::Format::kPcapng,
                          hostsim::kLinktypeEthernet, 2)) {
           return false;
         }
         uint32_t index = 0;
         for (const TimedPacket& packet : trace.packets()) {
           const std::vector<uint16_t> tags = index % 2 == 0
                                                  ? std::vector<uint16_t>{0x8100}
                                                  : std::vector<uint16_t>{0x88A8, 0x8100};
           writer.Write(hostsim::EthernetFrame(packet.ip, tags), packet.seconds,
                        packet.microseconds, index % 2);
           ++index;
         }
         return writer.Close();
       }},
      {"linktype-null", "BSD loopback", linkCase(hostsim::kLinktypeNull, true)},
      {"linktype-loop", "OpenBSD loopback", linkCase(hostsim::kLinktypeLoop, true)},
      {"linktype-raw", "raw IP", linkCase(hostsim::kLinktypeRaw, true)},
      {"linktype-ipv4", "raw IPv4", linkCase(hostsim::kLinktypeIpv4, false)},
      {"linktype-sll", "Linux cooked v1", linkCase(hostsim::kLinktypeLinuxSll, true)},
      {"linktype-sll2", "Linux cooked v2", linkCase(hostsim::kLinktypeLinuxSll2, true)},
      {"snaplen-cut", "benign traffic captured with a 96-byte snap length",
       [](const std::string& path) {
         const Trace trace = BenignTrace();
         CaptureWriter writer;
         if (!writer.Open(path + ".pcap", CaptureWriter::Format::kPcap, hostsim::kLinktypeEthernet,
                          1, 96)) {
           return false;
         }
         for (const TimedPacket& packet : trace.packets()) {
           ByteVector frame = hostsim::EthernetFrame(packet.ip);
           const uint32_t wire = static_cast<uint32_t>(frame.size());
           if (frame.size() > 96) frame.resize(96);
           writer.Write(frame, packet.seconds, packet.microseconds, 0, wire);
         }
         return writer.Close();
       }},
      {"truncated-file", "the SMB1 requests, the file cut inside frame 15",
       [](const std::string& path) {
         const std::string file = path + ".pcap";
         if (!WriteFramed(path, SmbRequestAttacks(), hostsim::kLinktypeEthernet)) return false;
         // Keep the file header, 14 whole frames and 10 bytes of the 15th.
         FILE* in = fopen(file.c_str(), "rb");
         if (in == nullptr) return false;
         ByteVector bytes;
         uint8_t buffer[4096];
         size_t got;
         while ((got = fread(buffer, 1, sizeof buffer, in)) > 0)
           bytes.insert(bytes.end(), buffer, buffer + got);
         fclose(in);
         size_t offset = 24;
         for (int frame = 0; frame < 14 && offset + 16 <= bytes.size(); ++frame) {
           const uint32_t captured = bytes[offset + 8] | bytes[offset + 9] << 8 |
                                     bytes[offset + 10] << 16 |
                                     static_cast<uint32_t>(bytes[offset + 11]) << 24;
           offset += 16 + captured;
         }
         bytes.resize(offset + 16 + 10);
         FILE* out = fopen(file.c_str(), "wb");
         if (out == nullptr) return false;
         const bool ok = fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
         return fclose(out) == 0 && ok;
       }},
  };
}

}  // namespace

void Trace::Add(const ByteVector& ip, int64_t gapUs) {
  clockUs_ += gapUs;
  packets_.push_back({clockUs_ / 1000000, clockUs_ % 1000000, ip});
}

TcpSession::TcpSession(Trace* trace, const char* client, uint16_t clientPort, const char* server,
                       uint16_t serverPort)
    : trace_(trace),
      client_(client),
      server_(server),
      clientPort_(clientPort),
      serverPort_(serverPort) {}

void TcpSession::Send(bool fromClient, uint8_t flags, const ByteVector& data) {
  uint32_t& seq = fromClient ? clientSeq_ : serverSeq_;
  const uint32_t ack = (flags & kAck) ? (fromClient ? serverSeq_ : clientSeq_) : 0;
  const ByteVector segment =
      fromClient ? hostsim::TcpSegment(clientPort_, serverPort_, seq, ack, flags, data)
                 : hostsim::TcpSegment(serverPort_, clientPort_, seq, ack, flags, data);
  trace_->Add(fromClient ? IpPacket(client_.c_str(), server_.c_str(), kTcp, segment)
                         : IpPacket(server_.c_str(), client_.c_str(), kTcp, segment));
  seq += static_cast<uint32_t>(data.size()) + ((flags & (kSyn | kFin)) ? 1 : 0);
}

void TcpSession::Open() {
  Send(true, kSyn, {});
  Send(false, kSyn | kAck, {});
  Send(true, kAck, {});
}

void TcpSession::Client(const ByteVector& data) {
  Send(true, kPsh | kAck, data);
  Send(false, kAck, {});
}

void TcpSession::Server(const ByteVector& data) {
  Send(false, kPsh | kAck, data);
  Send(true, kAck, {});
}

void TcpSession::Close() {
  Send(true, kFin | kAck, {});
  Send(false, kFin | kAck, {});
  Send(true, kAck, {});
}

ByteVector IpPacket(const char* source, const char* destination, uint8_t protocol,
                    const ByteVector& transport) {
  if (IsIpv6(source)) {
    hostsim::Ipv6Header header;
    header.source = hostsim::Ipv6Address(source);
    header.destination = hostsim::Ipv6Address(destination);
    header.protocol = protocol;
    return hostsim::Ipv6Packet(header, transport);
  }
  hostsim::Ipv4Header header;
  header.source = hostsim::Ipv4Address(source);
  header.destination = hostsim::Ipv4Address(destination);
  header.protocol = protocol;
  return hostsim::Ipv4Packet(header, transport);
}

ByteVector UdpPacket(const char* source, uint16_t sourcePort, const char* destination,
                     uint16_t destinationPort, const ByteVector& payload) {
  return IpPacket(source, destination, kUdp,
                  hostsim::UdpDatagram(sourcePort, destinationPort, payload));
}

bool WriteTrace(const std::string& path, const Trace& trace, CaptureWriter::Format format,
                uint32_t linktype) {
  CaptureWriter writer;
  if (!writer.Open(path, format, linktype)) return false;
  for (const TimedPacket& packet : trace.packets()) {
    writer.Write(Frame(packet.ip, linktype), packet.seconds, packet.microseconds);
  }
  return writer.Close();
}

Trace BenignTrace() {
  Trace trace;
  AddBenignIpv4(&trace);
  AddBenignIpv6(&trace);
  return trace;
}

bool WriteExamples(const std::string& directory, std::vector<GeneratedCapture>* written,
                   std::string* error) {
  if (!MakeDirectory(directory, error)) return false;
  for (const ExampleSpec& example : ExampleSpecs()) {
    const std::string path = directory + "/" + example.file;
    if (!WriteTrace(path, example.build())) {
      *error = path + ": write failed";
      return false;
    }
    written->push_back({example.file, example.description});
  }
  for (const FamilyCapture& capture : SmbFamilyExamples()) {
    const std::string path = directory + "/" + capture.name;
    if (!WriteTrace(path, capture.trace)) {
      *error = path + ": write failed";
      return false;
    }
    written->push_back({capture.name, capture.description});
  }
  return true;
}

}  // namespace capgen

namespace capgen {

bool WriteRegressionCaptures(const std::string& directory, std::vector<GeneratedCapture>* written,
                             std::string* error) {
  if (!MakeDirectory(directory, error)) return false;
  for (const RegressionSpec& regression : RegressionSpecs()) {
    const std::string folder = directory + "/" + regression.folder;
    if (!MakeDirectory(folder, error)) return false;
    if (!regression.write(folder + "/capture")) {
      *error = folder + ": write failed";
      return false;
    }
    written->push_back({regression.folder, regression.description});
  }
  for (const FamilyCapture& capture : SmbFamilyRegressionCaptures()) {
    const std::string folder = directory + "/" + capture.name;
    if (!MakeDirectory(folder, error)) return false;
    if (!WriteTrace(folder + "/capture.pcap", capture.trace)) {
      *error = folder + ": write failed";
      return false;
    }
    written->push_back({capture.name, capture.description});
  }
  return true;
}

bool WriteBenchCapture(const std::string& path, uint64_t packets, std::string* error) {
  // The benign trace, replayed over and over from 4096 client addresses, so
  // that the tracking store sees many sources and evicts; IPv4 sources are
  // rewritten in place (the transport checksums are left as they were, as
  // the core never checks them).
  constexpr uint32_t kClients = 4096;
  const Trace templateTrace = BenignTrace();
  CaptureWriter writer;
  if (!writer.Open(path, CaptureWriter::Format::kPcap, hostsim::kLinktypeEthernet)) {
    *error = path + ": " + strerror(errno);
    return false;
  }
  int64_t clockUs = Trace::kStart * 1000000;
  uint64_t written = 0;
  for (uint32_t round = 0; written < packets; ++round) {
    const uint32_t client = round % kClients;
    for (const TimedPacket& packet : templateTrace.packets()) {
      ByteVector ip = packet.ip;
      if (ip[0] >> 4 == 4 && ip[12] == 192 && ip[13] == 168) {
        ip[13] = static_cast<uint8_t>(100 + client / 256);
        ip[14] = static_cast<uint8_t>(client % 256);
        ip[10] = ip[11] = 0;
        uint32_t sum = 0;
        const size_t headerLength = static_cast<size_t>(ip[0] & 0x0F) * 4;
        for (size_t i = 0; i < headerLength; i += 2)
          sum += static_cast<uint32_t>(ip[i] << 8 | ip[i + 1]);
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        ip[10] = static_cast<uint8_t>(~sum >> 8);
        ip[11] = static_cast<uint8_t>(~sum);
      }
      clockUs += 1000;
      writer.Write(hostsim::EthernetFrame(ip), clockUs / 1000000, clockUs % 1000000);
      if (++written == packets) break;
    }
  }
  if (!writer.Close()) {
    *error = path + ": write failed";
    return false;
  }
  return true;
}

}  // namespace capgen
