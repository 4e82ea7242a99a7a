#include "tools/capture_gen_payloads.h"

#include <string.h>

#include "tools/capture_gen_bytes.h"

namespace capgen {

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

ByteVector DnsQuery(uint16_t id, const std::string& name, uint16_t type) {
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

ByteVector TlsHeartbeat() {
  ByteVector message = {0x01, 0x00, 0x10};
  for (int i = 0; i < 16; ++i) message.push_back(static_cast<uint8_t>('a' + i));
  message.resize(message.size() + 16, 0x5A);  // padding
  ByteVector record = {0x18, 0x03, 0x03};
  Be16(&record, static_cast<uint16_t>(message.size()));
  Append(&record, message);
  return record;
}

ByteVector SshKexInit(uint8_t cookieBase, const std::vector<std::string>& nameLists) {
  ByteVector body = {20};
  for (int i = 0; i < 16; ++i) body.push_back(static_cast<uint8_t>(cookieBase + i));
  for (const std::string& list : nameLists) {
    Be32(&body, static_cast<uint32_t>(list.size()));
    Append(&body, list);
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

ByteVector SshKexInit() {
  return SshKexInit(
      0xA0, {"curve25519-sha256,ecdh-sha2-nistp256", "ssh-ed25519,rsa-sha2-512", "aes128-ctr",
             "aes128-ctr", "hmac-sha2-256", "hmac-sha2-256", "none", "none", "", ""});
}

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
                        const std::vector<std::string>& headers, const std::string& body) {
  std::string request = start + "\r\nHost: " + host + "\r\n";
  for (const std::string& header : headers) request += header + "\r\n";
  if (!body.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  return request + "\r\n" + body;
}

}  // namespace capgen
