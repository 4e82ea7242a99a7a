#include "tools/capture_gen_benign.h"

#include "tools/capture_gen_bytes.h"
#include "tools/capture_gen_payloads.h"
#include "tools/capture_gen_smb1.h"

namespace capgen {
namespace {

using hostsim::BytesOf;

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
  withOption.protocol = kIpIcmp;
  withOption.options = {7, 11, 4, 0, 0, 0, 0, 0, 0, 0, 0};
  trace->Add(hostsim::Ipv4Packet(withOption,
                                 hostsim::IcmpMessage(8, 0, 0x00010001, BytesOf("ping payload"))));
  trace->Add(IpPacket("192.168.1.1", "192.168.1.19", kIpIcmp,
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
  trace->Add(IpPacket("2001:db8::10", "2001:db8::1", kIpIcmpv6,
                      hostsim::IcmpMessage(128, 0, 0x00070001, BytesOf("v6 ping"))));
  trace->Add(IpPacket("2001:db8::1", "2001:db8::10", kIpIcmpv6,
                      hostsim::IcmpMessage(129, 0, 0x00070001, BytesOf("v6 ping"))));
  // A DNS query behind hop-by-hop and destination-options headers.
  hostsim::Ipv6Header header;
  header.source = hostsim::Ipv6Address("2001:db8::10");
  header.destination = hostsim::Ipv6Address("2001:db8::53");
  header.protocol = kIpUdp;
  header.extensions = {{0, {0x05, 0x02, 0x00, 0x00}}, {60, {0x01, 0x02, 0x00, 0x00}}};
  trace->Add(hostsim::Ipv6Packet(
      header, hostsim::UdpDatagram(50200, 53, DnsQuery(0x3333, "www.example.net", 28))));
}

}  // namespace

Trace BenignTrace() {
  Trace trace;
  AddBenignIpv4(&trace);
  AddBenignIpv6(&trace);
  return trace;
}

}  // namespace capgen
