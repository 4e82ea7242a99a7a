// One complete attack per signature of the SMB, NetBIOS and port-scan
// detectors, as the packets a client sends: for the stateful signatures the
// whole sequence whose last packet matches. Each attack comes from its own
// source address so that attacks never share tracking state.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "detectors/smb_packets.h"
#include "nips/host/firewall.h"
#include "testlib/fake_packet.h"

namespace dtest {

using testlib::FakePacket;

struct AttackSequence {
  const char* name;
  ULONG signatureId;
  std::vector<std::unique_ptr<FakePacket>> packets;  // the last one matches
};

constexpr char kVictim[] = "10.0.50.1";
constexpr uint16_t kClientPort = 49800;
constexpr UCHAR kSegmentFlags = kTcpFlagAck | 0x08;  // ACK, PSH: never a scan probe

inline std::unique_ptr<FakePacket> ToServer(const std::string& source, uint16_t port,
                                            const Bytes& payload) {
  return FakePacket::Tcp(source, kClientPort, kVictim, port, kSegmentFlags, payload);
}

inline AttackSequence Single(const char* name, ULONG id, const std::string& source, uint16_t port,
                             const Bytes& payload) {
  AttackSequence a{name, id, {}};
  a.packets.push_back(ToServer(source, port, payload));
  return a;
}

inline AttackSequence Repeated(const char* name, ULONG id, const std::string& source, uint16_t port,
                               const Bytes& payload, int count) {
  AttackSequence a{name, id, {}};
  for (int i = 0; i < count; ++i) a.packets.push_back(ToServer(source, port, payload));
  return a;
}

inline std::vector<AttackSequence> AllAttacks() {
  std::vector<AttackSequence> all;
  all.push_back(Single("negotiate-high-pid", 2231, "10.20.0.1", 445, Negotiate(1)));
  all.push_back(Single("nt-create-small-params", 2232, "10.20.0.2", 445, NtTransactCreate(68, 54)));
  all.push_back(Single("trans2-open-small-params", 2233, "10.20.0.3", 139, Trans2(29, 0, 0)));
  all.push_back(Single("rap-enum-zero-max", 3718, "10.20.0.4", 139, RapTransaction(104, 0, 100)));
  {
    AttackSequence a{"tcp-port-scan", 3700, {}};
    for (uint16_t port = 1; port <= 20; ++port) {
      a.packets.push_back(
          FakePacket::Tcp("10.20.0.5", kClientPort, kVictim, port, kTcpFlagSyn, Bytes()));
    }
    all.push_back(std::move(a));
  }
  {
    AttackSequence a{"udp-port-scan", 3701, {}};
    for (uint16_t port = 1; port <= 100; ++port) {
      a.packets.push_back(FakePacket::Udp("10.20.0.6", kClientPort, kVictim, port, Bytes()));
    }
    all.push_back(std::move(a));
  }
  all.push_back(Single("mailslot-unterminated", 3804, "10.20.0.7", 139,
                       MailslotWrite("\\MAILSLOT\\BROWSE", 2)));
  all.push_back(Single("mailslot-small-max-params", 3802, "10.20.0.8", 139,
                       MailslotWrite(std::string("\\MAILSLOT\\BROWSE") + '\0', 0)));
  all.push_back(
      Single("search-long-bytes", 6029, "10.20.0.9", 445, ByteCountRequest(0x81, 41, 5000)));
  all.push_back(
      Single("copy-long-bytes", 6031, "10.20.0.10", 445, ByteCountRequest(0x29, 43, 5000)));
  all.push_back(Single("smb2-write-high-offset", 6038, "10.20.0.11", 445, Smb2Write(300, 400)));
  {
    AttackSequence a{"smb2-reply-length", 6022, {}};
    a.packets.push_back(FakePacket::Tcp("10.20.0.12", 445, kVictim, kClientPort, kSegmentFlags,
                                        Smb2Reply(100, 95)));
    all.push_back(std::move(a));
  }
  all.push_back(Repeated("ntlm-auth-burst", 6045, "10.20.0.13", 445, NtlmAuthenticate(), 21));
  all.push_back(Single("secondary-overrun", 6095, "10.20.0.14", 445, Trans2Secondary(1, 2)));
  all.push_back(Single("smb2-ioctl-oversized", 6097, "10.20.0.15", 445, Smb2Ioctl(0xD0, 0x701, 0)));
  all.push_back(
      Repeated("netbios-short-flood", 6100, "10.20.0.16", 139, ShortSessionMessage(), 201));
  all.push_back(Single("trans2-session-setup", 6119, "10.20.0.17", 445, Trans2Probe(65, 14)));
  all.push_back(Single("smb2-compression-overflow", 6157, "10.20.0.18", 445,
                       CompressionTransform(0xFFFFFFFF, 1)));
  all.push_back(Single("sis-copy-file", 6175, "10.20.0.19", 445, SisCopy()));
  return all;
}

}  // namespace dtest
