#include "tools/capture_gen_services.h"

#include <functional>
#include <string>

#include "tools/capture_gen_bytes.h"
#include "tools/capture_gen_payloads.h"

namespace capgen {
namespace {

using hostsim::BytesOf;

constexpr char kServer[] = "192.168.1.20";
constexpr int64_t kSecondUs = 1000000;

// ---- Payloads ---------------------------------------------------------------

// A subscription to the device host's event URL whose NT value has `valueLength`
// bytes and then CR LF.
ByteVector UpnpSubscribe(size_t valueLength) {
  return BytesOf(
      "SUBSCRIBE /upnphost/udhisapi.dll?event HTTP/1.1\r\nHost: 192.168.1.20:2869\r\n"
      "NT:" +
      std::string(valueLength, 'A') +
      "\r\nCallback: <http://192.168.1.13:5000/notify>\r\n"
      "Timeout: Second-1800\r\n\r\n");
}

// "331 " and filler up to a line of `lineLength` bytes through its CR LF.
ByteVector FtpReplyLine(size_t lineLength) {
  return BytesOf("331 " + std::string(lineLength - 6, 'B') + "\r\n");
}

// A heartbeat request declaring `declared` bytes while carrying 16.
ByteVector TlsHeartbeatDeclaring(uint16_t declared) {
  ByteVector message = {0x01};
  Be16(&message, declared);
  for (int i = 0; i < 16; ++i) message.push_back(static_cast<uint8_t>('a' + i));
  message.resize(message.size() + 16, 0x5A);
  ByteVector record = {0x18, 0x03, 0x01};
  Be16(&record, static_cast<uint16_t>(message.size()));
  Append(&record, message);
  return record;
}

// A key-exchange init offering the two name-lists read by 6500 and usual
// cipher, MAC and compression lists.
ByteVector SshKexOffer(const std::string& kex, const std::string& hostKeys) {
  return SshKexInit(0x30, {kex, hostKeys, "aes128-cbc,3des-cbc", "aes128-cbc,3des-cbc", "hmac-sha1",
                           "hmac-sha1", "none", "none", "", ""});
}
const char kOldGroups[] = "diffie-hellman-group-exchange-sha1,diffie-hellman-group1-sha1";

// The start-control-connection request with its length field set.
ByteVector PptpWithLengthField(uint16_t declared) {
  ByteVector message = PptpStartControlRequest();
  message[0] = static_cast<uint8_t>(declared >> 8);
  message[1] = static_cast<uint8_t>(declared);
  return message;
}

// A resolution request of `length` bytes: the type, then instance text.
ByteVector SqlResolution(uint8_t type, size_t length, bool separator) {
  ByteVector request = {type};
  std::string text = separator ? "SQL1:MSSQLSERVER" : "SQL1-MSSQLSERVER";
  while (request.size() < length)
    request.push_back(static_cast<uint8_t>(text[request.size() % text.size()]));
  return request;
}

// An ICMP echo request whose IPv4 header carries the options.
ByteVector EchoWithOptions(const char* source, const ByteVector& options) {
  hostsim::Ipv4Header header;
  header.source = hostsim::Ipv4Address(source);
  header.destination = hostsim::Ipv4Address(kServer);
  header.protocol = kIpIcmp;
  header.options = options;
  return hostsim::Ipv4Packet(header, hostsim::IcmpMessage(8, 0, 0x00020001, BytesOf("ping")));
}
// Loose source route of one entry, the pointer as given.
ByteVector LooseSourceRoute(uint8_t length, uint8_t pointer) {
  ByteVector option = {131, length, pointer};
  option.resize(length, 10);
  return option;
}
// 40 option bytes: `nops` no-operations, then the given tail.
ByteVector NopsThen(size_t nops, const ByteVector& tail) {
  ByteVector options(nops, 1);
  Append(&options, tail);
  return options;
}

// ---- Sessions ---------------------------------------------------------------

void UpnpSession(Trace* t, const char* client, size_t valueLength) {
  TcpSession s(t, client, 49500, kServer, 2869);
  s.Open();
  s.Client(UpnpSubscribe(valueLength));
  s.Close();
}

void FtpLogin(Trace* t, const char* client, const ByteVector& user, const ByteVector& reply) {
  TcpSession s(t, client, 49600, kServer, 21);
  s.Open();
  s.Server(BytesOf("220 FTP server ready\r\n"));
  s.Client(user);
  s.Server(reply);
  s.Close();
}

void TlsSession(Trace* t, const char* client, uint16_t declared) {
  TcpSession s(t, client, 49700, kServer, 443);
  s.Open();
  s.Client(TlsClientHello());
  s.Client(TlsHeartbeatDeclaring(declared));
  s.Close();
}

// Twelve frames; the offer is the eighth.
void SshSession(Trace* t, const char* client, uint16_t port, const std::string& hostKeys) {
  TcpSession s(t, client, port, kServer, 22);
  s.Open();
  s.Server(BytesOf("SSH-2.0-OpenSSH_5.3\r\n"));
  s.Client(BytesOf("SSH-2.0-libssh2_1.4.3\r\n"));
  s.Client(SshKexOffer(kOldGroups, hostKeys));
  s.Close();
}

void PptpSession(Trace* t, const char* client, uint16_t declared) {
  TcpSession s(t, client, 49900, kServer, 1723);
  s.Open();
  s.Client(PptpWithLengthField(declared));
  s.Close();
}

// ---- Traces -----------------------------------------------------------------

Trace Upnp() {
  Trace t;
  UpnpSession(&t, "10.0.0.71", 600);
  return t;
}
Trace FtpUser() {
  Trace t;
  FtpLogin(&t, "10.0.0.72", BytesOf("USER " + std::string(300, 'u') + "\r\n"),
           BytesOf("331 Please specify the password.\r\n"));
  return t;
}
Trace FtpReply() {
  Trace t;
  FtpLogin(&t, "10.0.0.73", BytesOf("USER anonymous\r\n"), FtpReplyLine(1024));
  return t;
}
Trace TlsHeartbeatAttack() {
  Trace t;
  TlsSession(&t, "10.0.0.74", 0x4000);
  return t;
}
// Sixteen offers two seconds apart from one client: the last one matches.
void AddSshBurst(Trace* t, const char* client, int offers, const std::string& hostKeys,
                 uint16_t firstPort = 50000) {
  for (int i = 0; i < offers; ++i) {
    SshSession(t, client, static_cast<uint16_t>(firstPort + i), hostKeys);
    t->Advance(2 * kSecondUs);
  }
}
Trace SshBurst() {
  Trace t;
  AddSshBurst(&t, "10.0.0.75", 16, "ssh-rsa,ssh-dss");
  return t;
}
Trace SourceRoute() {
  Trace t;
  t.Add(EchoWithOptions("10.0.0.76", LooseSourceRoute(7, 4)));
  return t;
}
Trace TruncatedOption() {
  Trace t;
  t.Add(EchoWithOptions("10.0.0.77", NopsThen(39, {0x44})));
  return t;
}
Trace SqlResolutionAttack() {
  Trace t;
  t.Add(UdpPacket("10.0.0.78", 1046, kServer, 1434, SqlResolution(4, 376, false)));
  return t;
}
Trace PptpAttack() {
  Trace t;
  PptpSession(&t, "10.0.0.79", 157);
  return t;
}

// Each stateless attack right after a near miss of it (a fresh client per pair).
Trace ServiceDetectors() {
  Trace t;
  UpnpSession(&t, "10.0.1.1", 511);  // the CR closes the 512-byte window
  UpnpSession(&t, "10.0.1.1", 512);
  FtpLogin(&t, "10.0.1.2", BytesOf("USER " + std::string(256, 'u') + "\r\n"), FtpReplyLine(1025));
  FtpLogin(&t, "10.0.1.3", BytesOf("USER " + std::string(257, 'u') + "\r\n"), FtpReplyLine(1024));
  TlsSession(&t, "10.0.1.4", 40);  // the 40-byte segment holds exactly that
  TlsSession(&t, "10.0.1.4", 41);
  t.Add(EchoWithOptions("10.0.1.5", LooseSourceRoute(11, 4)));
  t.Add(EchoWithOptions("10.0.1.5", LooseSourceRoute(11, 8)));
  t.Add(EchoWithOptions("10.0.1.6", NopsThen(38, {7, 2})));
  t.Add(EchoWithOptions("10.0.1.6", NopsThen(39, {7})));
  t.Add(UdpPacket("10.0.1.7", 1046, kServer, 1434, SqlResolution(4, 300, false)));
  t.Add(UdpPacket("10.0.1.7", 1046, kServer, 1434, SqlResolution(4, 301, false)));
  t.Add(UdpPacket("10.0.1.8", 1047, kServer, 1434, SqlResolution(8, 40, true)));
  t.Add(UdpPacket("10.0.1.8", 1047, kServer, 1434, SqlResolution(8, 40, false)));
  PptpSession(&t, "10.0.1.9", 156);
  PptpSession(&t, "10.0.1.9", 158);
  return t;
}

// One client's window restarts when its 16th offer comes more than 45 s after
// the first; 15 more offers then fill the new window. Another client's offers
// without a DSS host key never count.
Trace SshKexWindow() {
  Trace t;
  AddSshBurst(&t, "10.0.2.1", 15, "ssh-rsa,ssh-dss");
  t.Advance(20 * kSecondUs);  // the 16th offer is about 50 s after the first
  AddSshBurst(&t, "10.0.2.1", 16, "ssh-rsa,ssh-dss", 51000);
  AddSshBurst(&t, "10.0.2.2", 16, "ssh-rsa,ecdsa-sha2-nistp256");
  return t;
}

struct Example {
  const char* file;
  const char* description;
  std::function<Trace()> build;
};

}  // namespace

std::vector<FamilyCapture> ServicesFamilyExamples() {
  const Example examples[] = {
      {"attack-3720-sql-resolution-long-request.pcap",
       "a 376-byte type-4 request to the SQL resolution service (3720 on frame 1)",
       SqlResolutionAttack},
      {"attack-3723-pptp-length-mismatch.pcap",
       "a 156-byte PPTP start-control-connection request whose length field says 157 (3723 on "
       "frame 4)",
       PptpAttack},
      {"attack-3725-ipv4-truncated-last-option.pcap",
       "an echo request with a 60-byte IPv4 header: 39 no-operations, then option kind 0x44 in "
       "the last byte (3725 on frame 1)",
       TruncatedOption},
      {"attack-3801-source-route-malformed.pcap",
       "an echo request with a loose source route of length 7 whose pointer is on its only entry "
       "(3801 on frame 1)",
       SourceRoute},
      {"attack-3806-ftp-long-user.pcap",
       "an FTP USER command with a 300-byte argument (3806 on frame 6)", FtpUser},
      {"attack-3845-upnp-event-long-nt.pcap",
       "a SUBSCRIBE to the UPnP device host's event URL with a 600-byte NT value (3845 on frame "
       "4)",
       Upnp},
      {"attack-3846-ftp-reply-line-1024.pcap",
       "an FTP server's 331 reply line of exactly 1024 bytes (3846 on frame 8)", FtpReply},
      {"attack-6058-tls-heartbeat-overlength.pcap",
       "a TLS heartbeat request declaring 16384 bytes in a 40-byte segment (6058 on frame 6)",
       TlsHeartbeatAttack},
      {"attack-6500-ssh-dss-kex-burst.pcap",
       "16 SSH key-exchange offers of SHA-1 groups and DSS host keys from one client, 2 s apart "
       "(6500 on frame 188, the 16th offer)",
       SshBurst},
  };
  std::vector<FamilyCapture> out;
  for (const Example& example : examples) {
    out.push_back({example.file, example.description, example.build()});
  }
  return out;
}

std::vector<FamilyCapture> ServicesFamilyRegressionCaptures() {
  return {
      {"service-detectors",
       "UPnP, FTP, TLS, IPv4-option, SQL resolution and PPTP attacks, each after a near miss",
       ServiceDetectors()},
      {"ssh-kex-burst", "an SSH key-exchange window that restarts, then fills", SshKexWindow()},
  };
}

}  // namespace capgen
