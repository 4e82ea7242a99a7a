#include "tools/capture_gen_dcerpc.h"

#include <string>

#include "tools/capture_gen_bytes.h"
#include "tools/capture_gen_payloads.h"

namespace capgen {
namespace {

constexpr char kServer[] = "192.168.1.20";

// ---- DCE/RPC -------------------------------------------------------------------

using Uuid = ByteVector;  // 16 bytes as they stand in a PDU
const Uuid kSystemActivator = {0xa0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                               0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
const Uuid kRemoteActivation = {0xb8, 0x4a, 0x9f, 0x4d, 0x1c, 0x7d, 0xcf, 0x11,
                                0x86, 0x1e, 0x00, 0x20, 0xaf, 0x6e, 0x7c, 0x57};
const Uuid kLargeFragmentInterface = {0x60, 0x9e, 0xe7, 0xb9, 0x52, 0x3d, 0xce, 0x11,
                                      0xaa, 0xa1, 0x00, 0x00, 0x69, 0x01, 0x29, 0x3f};
const Uuid kOpnum9Interface = {0x6a, 0x28, 0x19, 0x39, 0x0c, 0xb1, 0xd0, 0x11,
                               0x9b, 0xa8, 0x00, 0xc0, 0x4f, 0xd9, 0x2e, 0xf5};
const Uuid kNdrTransferSyntax = {0x04, 0x5d, 0x88, 0x8a, 0xeb, 0x1c, 0xc9, 0x11,
                                 0x9f, 0xe8, 0x08, 0x00, 0x2b, 0x10, 0x48, 0x60};

ByteVector Utf16(const std::string& ascii) {
  ByteVector out;
  for (char c : ascii) Le16(&out, static_cast<uint8_t>(c));
  return out;
}

// The 16-byte common header of a connection-oriented PDU.
ByteVector PduHeader(uint8_t type, uint16_t fragmentLength, uint32_t callId) {
  ByteVector pdu = {5, 0, type, 0x03, 0x10, 0, 0, 0};  // first and last fragment, little-endian
  Le16(&pdu, fragmentLength);
  Le16(&pdu, 0);  // no authentication
  Le32(&pdu, callId);
  return pdu;
}

// A bind offering `contexts` presentation contexts of the interface, NDR each.
ByteVector Bind(const Uuid& interfaceId, uint16_t version, int contexts = 1) {
  ByteVector body;
  Le16(&body, 5840);  // max transmit fragment
  Le16(&body, 5840);  // max receive fragment
  Le32(&body, 0);     // new association group
  body.push_back(static_cast<uint8_t>(contexts));
  Put(&body, {0, 0, 0});
  for (int i = 0; i < contexts; ++i) {
    Le16(&body, static_cast<uint16_t>(i));  // context id
    body.push_back(1);                      // one transfer syntax
    body.push_back(0);
    Append(&body, interfaceId);
    Le16(&body, version);
    Le16(&body, 0);
    Append(&body, kNdrTransferSyntax);
    Le32(&body, 2);
  }
  ByteVector pdu = PduHeader(11, static_cast<uint16_t>(16 + body.size()), 1);
  Append(&pdu, body);
  return pdu;
}

// A request; the fragment length says what the whole fragment holds, which
// may be more than this segment carries.
ByteVector Request(uint16_t opnum, const ByteVector& stub, uint32_t callId,
                   uint16_t fragmentLength = 0) {
  ByteVector pdu = PduHeader(
      0, fragmentLength ? fragmentLength : static_cast<uint16_t>(24 + stub.size()), callId);
  Le32(&pdu, static_cast<uint32_t>(stub.size()));  // allocation hint
  Le16(&pdu, 0);                                   // context id
  Le16(&pdu, opnum);
  Append(&pdu, stub);
  return pdu;
}

// An NDR conformant varying string of UTF-16 characters, NUL included, with
// its referent id; padded to 4 bytes.
ByteVector NdrString(const std::string& text, bool referent = true) {
  const uint32_t count = static_cast<uint32_t>(text.size() + 1);
  ByteVector out;
  if (referent) Le32(&out, 0x00020000);
  Le32(&out, count);
  Le32(&out, 0);
  Le32(&out, count);
  Append(&out, Utf16(text + std::string(1, '\0')));
  while (out.size() % 4) out.push_back(0);
  return out;
}

// An activation request (remote create instance) naming a file on a server
// whose name has serverLength characters.
ByteVector ActivationRequest(size_t serverLength, uint32_t callId) {
  ByteVector stub;
  Le16(&stub, 5);  // ORPCTHIS version 5.7
  Le16(&stub, 7);
  Le32(&stub, 0);                                                               // flags
  Le32(&stub, 0);                                                               // reserved
  for (int i = 0; i < 16; ++i) stub.push_back(static_cast<uint8_t>(0x31 + i));  // causality id
  Le32(&stub, 0);                                                               // no extensions
  Append(&stub, NdrString("\\\\" + std::string(serverLength, 'F') + "\\share\\doc.txt"));
  Le32(&stub, 0x14);  // class context and mode
  return Request(4, stub, callId);
}

// A request to a service on a dynamic port: a server name, a share name,
// then an 8-byte block (zero or not).
ByteVector NamesRequest(bool zeroBlock) {
  ByteVector stub = NdrString("\\\\FILESRV01");  // 12 units
  Append(&stub, NdrString("share", false));      // 6 units, ending on a 4-byte boundary
  Le64(&stub, zeroBlock ? 0 : 0x0000000100000001ull);
  return Request(15, stub, 7);
}

// ---- SMB1 named-pipe carriage ------------------------------------------------------

ByteVector Smb1(uint8_t command, const ByteVector& words, const ByteVector& bytes) {
  ByteVector m = {0xFF, 'S', 'M', 'B', command};
  Le32(&m, 0);
  m.push_back(0x18);  // case-insensitive paths
  Le16(&m, 0xC807);   // unicode, NT status, extended security
  m.resize(m.size() + 12, 0);
  Le16(&m, 0x0800);  // tree id
  Le16(&m, 0xFEFF);  // process id
  Le16(&m, 0x0801);  // user id
  Le16(&m, 0x0040);  // multiplex id
  m.push_back(static_cast<uint8_t>(words.size() / 2));
  Append(&m, words);
  Le16(&m, static_cast<uint16_t>(bytes.size()));
  Append(&m, bytes);
  return Nbss(m);
}

constexpr uint16_t kPipeFid = 0x4000;

// Transaction TransactNmPipe on \PIPE\ carrying rpc at data offset 76.
ByteVector PipeTransaction(const ByteVector& rpc) {
  ByteVector w;
  Le16(&w, 0);  // total parameter count
  Le16(&w, static_cast<uint16_t>(rpc.size()));
  Le16(&w, 0);
  Le16(&w, 4280);  // max data count
  Put(&w, {0, 0});
  Le16(&w, 0);
  Le32(&w, 0);
  Le16(&w, 0);
  Le16(&w, 0);   // parameter count
  Le16(&w, 76);  // parameter offset
  Le16(&w, static_cast<uint16_t>(rpc.size()));
  Le16(&w, 76);  // data offset, from the SMB header
  Put(&w, {2, 0});
  Le16(&w, 0x0026);  // TransactNmPipe
  Le16(&w, kPipeFid);
  ByteVector bytes = {'\\', 'P', 'I', 'P', 'E', '\\', 0, 0, 0};
  Append(&bytes, rpc);
  return Smb1(0x25, w, bytes);
}

// Write AndX to the pipe carrying rpc at data offset 64.
ByteVector PipeWrite(const ByteVector& rpc) {
  ByteVector w = {0xFF, 0};
  Le16(&w, 0);  // no further command
  Le16(&w, kPipeFid);
  Le32(&w, 0);  // file offset
  Le32(&w, 0xFFFFFFFF);
  Le16(&w, 0x0008);  // message start
  Le16(&w, static_cast<uint16_t>(rpc.size()));
  Le16(&w, 0);
  Le16(&w, static_cast<uint16_t>(rpc.size()));
  Le16(&w, 64);  // data offset, from the SMB header
  Le32(&w, 0);
  ByteVector bytes = {0xEE};  // pad
  Append(&bytes, rpc);
  return Smb1(0x2F, w, bytes);
}

// ---- RDP -----------------------------------------------------------------------

ByteVector BerInteger(uint32_t value, int width) {
  ByteVector out = {0x02, static_cast<uint8_t>(width)};
  for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  return out;
}

// DomainParameters with the given channel and user limits; the rest as a
// client sends them.
ByteVector DomainParameters(uint32_t maxChannelIds, int channelWidth, uint32_t maxUserIds,
                            int userWidth, uint32_t maxTokenIds, uint32_t maxPdu, int pduWidth) {
  ByteVector fields = BerInteger(maxChannelIds, channelWidth);
  Append(&fields, BerInteger(maxUserIds, userWidth));
  Append(&fields, BerInteger(maxTokenIds, maxTokenIds > 0xFF ? 2 : 1));
  Append(&fields, BerInteger(1, 1));  // priorities
  Append(&fields, BerInteger(0, 1));  // minimum throughput
  Append(&fields, BerInteger(1, 1));  // maximum height
  Append(&fields, BerInteger(maxPdu, pduWidth));
  Append(&fields, BerInteger(2, 1));  // protocol version
  ByteVector out = {0x30, static_cast<uint8_t>(fields.size())};
  Append(&out, fields);
  return out;
}

ByteVector ClientBlock(uint16_t type, const ByteVector& body) {
  ByteVector out;
  Le16(&out, type);
  Le16(&out, static_cast<uint16_t>(4 + body.size()));
  Append(&out, body);
  return out;
}

// Core, cluster, security and network client data; the network block asks
// for the named static channels.
ByteVector ClientData(const std::vector<std::string>& channels) {
  ByteVector core;
  Le32(&core, 0x00080004);  // version
  Le16(&core, 1280);
  Le16(&core, 800);
  Le16(&core, 0xCA01);  // 8 bits per pixel
  Le16(&core, 0xAA03);  // SAS sequence
  Le32(&core, 0x0409);  // keyboard layout
  Le32(&core, 2600);    // client build
  Append(&core, Utf16("WORKSTATION7"));
  core.resize(24 + 32, 0);
  Le32(&core, 4);   // keyboard type
  Le32(&core, 0);   // subtype
  Le32(&core, 12);  // function keys
  core.resize(core.size() + 64, 0);
  Le16(&core, 0xCA01);
  Le16(&core, 1);
  Le32(&core, 0);
  Le16(&core, 24);
  Le16(&core, 0x0007);
  Le16(&core, 0x0001);
  core.resize(212, 0);
  ByteVector cluster;
  Le32(&cluster, 0x0000000D);
  Le32(&cluster, 0);
  ByteVector security;
  Le32(&security, 0x0000001B);
  Le32(&security, 0);
  ByteVector network;
  Le32(&network, static_cast<uint32_t>(channels.size()));
  for (const std::string& name : channels) {
    ByteVector entry(8, 0);
    std::copy(name.begin(), name.end(), entry.begin());
    Append(&network, entry);
    Le32(&network, 0x80800000);
  }
  ByteVector out = ClientBlock(0xC001, core);
  Append(&out, ClientBlock(0xC004, cluster));
  Append(&out, ClientBlock(0xC002, security));
  Append(&out, ClientBlock(0xC003, network));
  return out;
}

void PerLength(ByteVector* out, size_t value) {  // in two bytes
  out->push_back(static_cast<uint8_t>(0x80 | value >> 8));
  out->push_back(static_cast<uint8_t>(value));
}

// MCS Connect-Initial with a GCC conference-create request around the client
// data: with the parameters of the usual sizes, the core block stands 132
// bytes into the segment.
ByteVector ConnectInitial(const ByteVector& target, const ByteVector& clientData) {
  ByteVector gcc = {0x00, 0x05, 0x00, 0x14, 0x7C, 0x00, 0x01};
  ByteVector create = {0x00, 0x08, 0x00, 0x10, 0x00, 0x01, 0xC0, 0x00, 'D', 'u', 'c', 'a'};
  PerLength(&create, clientData.size());
  Append(&create, clientData);
  PerLength(&gcc, create.size());
  Append(&gcc, create);
  ByteVector body = {0x04, 0x01, 0x01, 0x04, 0x01, 0x01, 0x01, 0x01, 0xFF};
  Append(&body, target);
  Append(&body, DomainParameters(1, 1, 1, 1, 1, 0x420, 2));
  Append(&body, DomainParameters(0xFFFF, 2, 0xFC17, 2, 0xFFFF, 0xFFFF, 2));
  Put(&body, {0x04, 0x82});
  Be16(&body, static_cast<uint16_t>(gcc.size()));
  Append(&body, gcc);
  ByteVector mcs = {0x7F, 0x65, 0x82};
  Be16(&mcs, static_cast<uint16_t>(body.size()));
  Append(&mcs, body);
  ByteVector tpkt = {0x03, 0x00};
  Be16(&tpkt, static_cast<uint16_t>(4 + 3 + mcs.size()));
  Put(&tpkt, {0x02, 0xF0, 0x80});
  Append(&tpkt, mcs);
  return tpkt;
}

ByteVector StandardTarget() { return DomainParameters(34, 1, 2, 1, 0, 0xFFFF, 2); }
const std::vector<std::string> kUsualChannels = {"rdpdr", "rdpsnd", "cliprdr"};

// A TLS record of the given length (content type 23, application data).
ByteVector TlsRecord(uint16_t length) {
  ByteVector out = {23, 0x03, 0x03};
  Be16(&out, length);
  for (uint16_t i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(i * 37 + 11));
  return out;
}

std::vector<uint16_t> RecordSequence(int middle) {
  std::vector<uint16_t> lengths = {517, 48, 32};
  lengths.insert(lengths.end(), middle, 48);
  lengths.push_back(384);
  return lengths;
}

// ---- Sessions ------------------------------------------------------------------

// Client sessions below add their frames to the trace in order; the comments
// count frames from the session's first.

// Open (3), bind (2), each request (2), close (3).
void ActivationSession(Trace* t, const char* client, uint16_t port,
                       const std::vector<size_t>& serverNames) {
  TcpSession s(t, client, 49710, kServer, port);
  s.Open();
  const ByteVector bind = Bind(kRemoteActivation, 0);
  s.Client(port == 135 ? bind : PipeTransaction(bind));
  uint32_t callId = 2;
  for (size_t length : serverNames) {
    const ByteVector request = ActivationRequest(length, callId++);
    s.Client(port == 135 ? request : PipeTransaction(request));
  }
  s.Close();
}

void LargeFragmentSession(Trace* t, const char* client, const std::vector<uint16_t>& fragments) {
  TcpSession s(t, client, 49711, kServer, 135);
  s.Open();
  s.Client(Bind(kLargeFragmentInterface, 1, 2));
  uint32_t callId = 2;
  for (uint16_t fragment : fragments)
    s.Client(Request(0, ByteVector(1000, 0x41), callId++, fragment));
  s.Close();
}

void Opnum9Session(Trace* t, const char* client, const std::vector<uint16_t>& fragments) {
  TcpSession s(t, client, 49712, kServer, 445);
  s.Open();
  s.Client(PipeWrite(Bind(kOpnum9Interface, 1)));
  uint32_t callId = 2;
  for (uint16_t fragment : fragments)
    s.Client(PipeWrite(Request(9, ByteVector(600, 0x42), callId++, fragment)));
  s.Close();
}

void NamesSession(Trace* t, const char* client, const std::vector<bool>& zeroBlocks) {
  TcpSession s(t, client, 49713, kServer, 49670);
  s.Open();
  for (bool zero : zeroBlocks) s.Client(NamesRequest(zero));
  s.Close();
}

// Open (3), connection request and confirm (4), Connect-Initial (2), close (3).
void RdpSession(Trace* t, const char* client, const ByteVector& connectInitial) {
  TcpSession s(t, client, 49714, kServer, 3389);
  s.Open();
  s.Client(RdpConnectionRequest());
  s.Server({0x03, 0x00, 0x00, 0x13, 0x0e, 0xd0, 0x00, 0x00, 0x12, 0x34, 0x00, 0x02, 0x1f, 0x08,
            0x00, 0x02, 0x00, 0x00, 0x00});
  s.Client(connectInitial);
  s.Close();
}

// The records of an established session, caught mid-stream (no handshake in
// the capture): 2 frames each.
void TlsRecordSession(Trace* t, const char* client, uint16_t port,
                      const std::vector<uint16_t>& lengths) {
  TcpSession s(t, client, port, kServer, 3389);
  for (uint16_t length : lengths) s.Client(TlsRecord(length));
}

Trace Single(void (*add)(Trace*)) {
  Trace t;
  add(&t);
  return t;
}

}  // namespace

std::vector<FamilyCapture> DceRpcFamilyExamples() {
  return {
      {"attack-3721-activation-long-unc.pcap",
       "bind to the DCOM remote activation interface on 135, then a create-instance request "
       "naming \\\\<48 characters>\\share (3721 on frame 6)",
       Single([](Trace* t) { ActivationSession(t, "10.0.0.71", 135, {48}); })},
      {"attack-3722-rpc-large-fragment.pcap",
       "bind to b9e79e60-3d52-11ce-aaa1-00006901293f on 135, then a request fragment of 40000 "
       "bytes (3722 on frame 6)",
       Single([](Trace* t) { LargeFragmentSession(t, "10.0.0.72", {40000}); })},
      {"attack-3724-rpc-opnum9-large-fragment.pcap",
       "Write AndX binding a pipe on 445 to 3919286a-b10c-11d0-9ba8-00c04fd92ef5, then operation "
       "9 in a 4280-byte fragment (3724 on frame 6)",
       Single([](Trace* t) { Opnum9Session(t, "10.0.0.73", {4280}); })},
      {"attack-6182-rpc-zero-block.pcap",
       "request to port 49670 with a \\\\server name, a share name and an all-zero block (6182 on "
       "frame 4)",
       Single([](Trace* t) { NamesSession(t, "10.0.0.74", {true}); })},
      {"attack-6043-rdp-domain-parameters.pcap",
       "RDP Connect-Initial whose target maxChannelIds is 1 (6043 on frame 8)",
       Single([](Trace* t) {
         RdpSession(t, "10.0.0.75",
                    ConnectInitial(DomainParameters(1, 1, 2, 1, 0, 0xFFFF, 2),
                                   ClientData(kUsualChannels)));
       })},
      {"attack-6137-rdp-ms-t120.pcap",
       "RDP Connect-Initial whose network block asks for the MS_T120 channel (6137 on frame 8)",
       Single([](Trace* t) {
         RdpSession(t, "10.0.0.76",
                    ConnectInitial(StandardTarget(), ClientData({"rdpdr", "rdpsnd", "MS_T120"})));
       })},
      {"attack-6146-rdp-tls-sequence.pcap",
       "TLS records to 3389 of 517, 48, 32, seven times 48, then 384 bytes, caught mid-session "
       "(6146 on frame 21)",
       Single([](Trace* t) { TlsRecordSession(t, "10.0.0.77", 49715, RecordSequence(7)); })},
  };
}

std::vector<FamilyCapture> DceRpcFamilyRegressionCaptures() {
  Trace t;
  // Each attack after traffic one step short of it, which must stay quiet.
  ActivationSession(&t, "10.0.1.1", 135, {39, 40});
  ActivationSession(&t, "10.0.1.2", 139, {40});
  LargeFragmentSession(&t, "10.0.1.3", {34835, 34836});
  Opnum9Session(&t, "10.0.1.4", {2047, 2048});
  NamesSession(&t, "10.0.1.5", {false, true});
  RdpSession(&t, "10.0.1.6",
             ConnectInitial(DomainParameters(34, 1, 7, 1, 0, 0xFFFF, 2),
                            ClientData({"rdpdr", "MS_T1200", "MS_T12"})));
  RdpSession(
      &t, "10.0.1.7",
      ConnectInitial(DomainParameters(34, 1, 8, 1, 0, 0xFFFF, 2), ClientData(kUsualChannels)));
  RdpSession(&t, "10.0.1.8",
             ConnectInitial(StandardTarget(), ClientData({"rdpdr", "rdpsnd", "ms_t120"})));
  TlsRecordSession(&t, "10.0.1.9", 49715, RecordSequence(6));
  TlsRecordSession(&t, "10.0.1.9", 49716, RecordSequence(7));
  return {{"dcerpc-rdp",
           "DCE/RPC conversations on 135, 139 and 445, a request to a dynamic port, RDP "
           "Connect-Initials and TLS record sequences: each attack after its near miss",
           std::move(t)}};
}

}  // namespace capgen
