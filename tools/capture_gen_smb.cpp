#include "tools/capture_gen_smb.h"

#include <functional>
#include <string>

#include "hostsim/packet_builder.h"
#include "tools/capture_gen_bytes.h"

namespace capgen {
namespace {

constexpr char kServer[] = "192.168.1.20";

ByteVector Utf16(const std::string& ascii) {
  ByteVector out;
  for (char c : ascii) Le16(&out, static_cast<uint8_t>(c));
  return out;
}

// ---- NetBIOS session service and SMB1 ----------------------------------------

struct Smb1Context {
  uint16_t tid = 0x0800;
  uint16_t uid = 0x0801;
  uint16_t mid = 2;
  uint32_t status = 0;
  bool reply = false;
};

// A whole SMB1 message in its NetBIOS frame: the 32-byte header, the word
// count, the parameter words, the byte count and the data bytes.
ByteVector Smb1(uint8_t command, const Smb1Context& c, const ByteVector& words,
                const ByteVector& bytes, uint16_t byteCount) {
  ByteVector m = {0xFF, 'S', 'M', 'B', command};
  Le32(&m, c.status);
  m.push_back(c.reply ? 0x98 : 0x18);  // flags: case-insensitive paths (and reply)
  Le16(&m, 0xC807);                    // flags2: unicode, NT status, extended security
  Le16(&m, 0);                         // process id, high word
  m.resize(m.size() + 8, 0);           // security features
  Le16(&m, 0);                         // reserved
  Le16(&m, c.tid);
  Le16(&m, 0xFEFF);  // process id
  Le16(&m, c.uid);
  Le16(&m, c.mid);
  m.push_back(static_cast<uint8_t>(words.size() / 2));
  Append(&m, words);
  Le16(&m, byteCount);
  Append(&m, bytes);
  return Nbss(m);
}

ByteVector Smb1(uint8_t command, const Smb1Context& c, const ByteVector& words,
                const ByteVector& bytes) {
  return Smb1(command, c, words, bytes, static_cast<uint16_t>(bytes.size()));
}

// Transaction (0x25) mailslot write: three setup words (write, priority,
// class), the mailslot name, then the message.
ByteVector MailslotWrite(const std::string& name, uint16_t maxParameterCount) {
  const ByteVector message = [] {
    ByteVector announcement = {0x01, 0x00};  // host announcement, update count 0
    Le32(&announcement, 720000);             // periodicity
    Append(&announcement, std::string("WORKSTATION-7\0\0\0", 16));
    Put(&announcement, {6, 1, 0x03, 0x10, 0x01, 0x00, 0x0F, 0x01, 0x55, 0xAA});
    Append(&announcement, std::string("office pc\0", 10));
    return announcement;
  }();
  ByteVector w;
  Le16(&w, 0);  // total parameter count
  Le16(&w, static_cast<uint16_t>(message.size()));
  Le16(&w, maxParameterCount);
  Le16(&w, 0);     // max data count
  w.push_back(0);  // max setup count
  w.push_back(0);
  Le16(&w, 0);  // flags
  Le32(&w, 0);  // timeout
  Le16(&w, 0);
  Le16(&w, 0);  // parameter count
  Le16(&w, 0);  // parameter offset
  Le16(&w, static_cast<uint16_t>(message.size()));
  Le16(&w, static_cast<uint16_t>(32 + 1 + 34 + 2 + name.size()));  // data offset
  w.push_back(3);                                                  // setup count
  w.push_back(0);
  Le16(&w, 1);  // mailslot write
  Le16(&w, 1);  // priority
  Le16(&w, 2);  // class: unreliable
  ByteVector bytes;
  Append(&bytes, name);
  Append(&bytes, message);
  Smb1Context c;
  c.tid = 0;
  c.uid = 0;
  c.mid = 0;
  return Smb1(0x25, c, w, bytes);
}

// A request whose byte count announces more than the segment carries.
ByteVector SearchRequest(uint16_t byteCount) {
  ByteVector w;
  Le16(&w, 0x0100);  // max count
  Le16(&w, 0x0016);  // search attributes
  ByteVector bytes = {0x04};
  Append(&bytes, Utf16("\\SHARE\\" + std::string(180, 'A') + std::string(1, '\0')));
  bytes.push_back(0x05);
  Le16(&bytes, 0);
  return Smb1(0x81, Smb1Context(), w, bytes, byteCount);
}

ByteVector CopyRequest(uint16_t byteCount) {
  ByteVector w;
  Le16(&w, 0x0801);  // second tree id
  Le16(&w, 0x0001);  // open function
  Le16(&w, 0x0000);  // flags
  ByteVector bytes = {0x04};
  Append(&bytes, Utf16("\\old\\" + std::string(200, 'B') + std::string(1, '\0')));
  bytes.push_back(0x04);
  Append(&bytes, Utf16("\\new\\" + std::string(1, '\0')));
  return Smb1(0x29, Smb1Context(), w, bytes, byteCount);
}

ByteVector RenameRequest(uint16_t byteCount) {
  ByteVector w;
  Le16(&w, 0x0016);  // search attributes
  ByteVector bytes = {0x04};
  Append(&bytes, Utf16("\\from\\" + std::string(200, 'C') + std::string(1, '\0')));
  bytes.push_back(0x04);
  Append(&bytes, Utf16("\\to" + std::string(1, '\0')));
  return Smb1(0x07, Smb1Context(), w, bytes, byteCount);
}

// Session Setup AndX carrying a raw NTLMSSP AUTHENTICATE message.
ByteVector NtlmAuthenticate(int attempt) {
  ByteVector blob;
  Append(&blob, std::string("NTLMSSP\0", 8));
  Le32(&blob, 3);  // AUTHENTICATE
  const ByteVector user = Utf16("admin");
  const ByteVector domain = Utf16("CORP");
  const ByteVector host = Utf16("KALI");
  const ByteVector nt(24, static_cast<uint8_t>(0x40 + attempt));
  const ByteVector lm(24, 0);
  uint32_t offset = 64;
  auto field = [&](const ByteVector& value) {
    Le16(&blob, static_cast<uint16_t>(value.size()));
    Le16(&blob, static_cast<uint16_t>(value.size()));
    Le32(&blob, offset);
    offset += static_cast<uint32_t>(value.size());
  };
  field(lm);
  field(nt);
  field(domain);
  field(user);
  field(host);
  field({});                // session key
  Le32(&blob, 0xE2888215);  // negotiate flags
  for (const ByteVector* v : {&lm, &nt, &domain, &user, &host}) Append(&blob, *v);

  ByteVector w = {0xFF, 0x00};  // no AndX command
  Le16(&w, 0);
  Le16(&w, 0x4104);  // max buffer size
  Le16(&w, 50);      // max mpx count
  Le16(&w, 0);       // vc number
  Le32(&w, 0);       // session key
  Le16(&w, static_cast<uint16_t>(blob.size()));
  Le32(&w, 0);
  Le32(&w, 0xA00000D4);  // capabilities, extended security
  ByteVector bytes = blob;
  Append(&bytes, Utf16(std::string("Unix") + '\0'));
  Append(&bytes, Utf16(std::string("Samba") + '\0'));
  Smb1Context c;
  c.tid = 0;
  c.uid = 0;
  return Smb1(0x73, c, w, bytes);
}

ByteVector LogonFailure() {
  Smb1Context c;
  c.tid = 0;
  c.uid = 0;
  c.status = 0xC000006D;
  c.reply = true;
  return Smb1(0x73, c, {}, {});
}

// Transaction secondary (0x26) whose data count exceeds the total.
ByteVector TransactionSecondary(uint16_t totalData, uint16_t dataCount) {
  const ByteVector data(64, 0x41);
  ByteVector w;
  Le16(&w, 0);  // total parameter count
  Le16(&w, totalData);
  Le16(&w, 0);  // parameter count
  Le16(&w, 0);  // parameter offset
  Le16(&w, 0);  // parameter displacement
  Le16(&w, dataCount);
  Le16(&w, 32 + 1 + 16 + 2);  // data offset
  Le16(&w, 0);                // data displacement
  return Smb1(0x26, Smb1Context(), w, data);
}

// Transaction2 with one setup word (the subcommand) and a chosen multiplex id.
ByteVector Transaction2(uint16_t subcommand, uint16_t mid) {
  const ByteVector parameters(12, 0);
  ByteVector w;
  Le16(&w, static_cast<uint16_t>(parameters.size()));
  Le16(&w, 0);     // total data count
  Le16(&w, 1);     // max parameter count
  Le16(&w, 0);     // max data count
  w.push_back(0);  // max setup count
  w.push_back(0);
  Le16(&w, 0);
  Le32(&w, 0x001A8925);  // timeout
  Le16(&w, 0);
  Le16(&w, static_cast<uint16_t>(parameters.size()));
  Le16(&w, 32 + 1 + 30 + 2 + 3);  // parameter offset (after 3 pad bytes)
  Le16(&w, 0);                    // data count
  Le16(&w, 0);                    // data offset
  w.push_back(1);                 // setup count
  w.push_back(0);
  Le16(&w, subcommand);
  ByteVector bytes = {0, 0, 0};  // pad
  Append(&bytes, parameters);
  Smb1Context c;
  c.mid = mid;
  return Smb1(0x32, c, w, bytes);
}

// NT Transact IOCTL (function 2) with the single-instance-store copy code.
ByteVector SisCopyFile() {
  ByteVector data;
  Le32(&data, 1);  // the first data word, which the detector compares with 1
  Le32(&data, 14);
  Append(&data, Utf16(std::string("\\a.txt") + '\0'));
  Append(&data, Utf16(std::string("\\b.txt") + '\0'));
  ByteVector w;
  w.push_back(0);  // max setup count
  Le16(&w, 0);
  Le32(&w, 0);  // total parameter count
  Le32(&w, static_cast<uint32_t>(data.size()));
  Le32(&w, 0);  // max parameter count
  Le32(&w, 0);  // max data count
  Le32(&w, 0);  // parameter count
  Le32(&w, 0);  // parameter offset
  Le32(&w, static_cast<uint32_t>(data.size()));
  Le32(&w, 32 + 1 + 46 + 2 + 4);  // data offset
  w.push_back(4);                 // setup count
  Le16(&w, 2);                    // IOCTL
  Le32(&w, 0x00090100);           // single-instance-store copy file
  Le16(&w, 0x4000);               // file id
  w.push_back(1);                 // fsctl
  w.push_back(0);
  ByteVector bytes = {0, 0, 0, 0};  // pad to the data offset
  Append(&bytes, data);
  return Smb1(0xA0, Smb1Context(), w, bytes);
}

// ---- SMB2 -------------------------------------------------------------------------

ByteVector Smb2Header(uint16_t command, uint64_t messageId, bool reply) {
  ByteVector h = {0xFE, 'S', 'M', 'B'};
  Le16(&h, 64);  // structure size
  Le16(&h, 1);   // credit charge
  Le32(&h, 0);   // status
  Le16(&h, command);
  Le16(&h, 1);                // credits
  Le32(&h, reply ? 1u : 0u);  // flags
  Le32(&h, 0);                // next command
  Le64(&h, messageId);
  Le32(&h, 0xFEFF);                // process id
  Le32(&h, command == 0 ? 0 : 1);  // tree id
  Le64(&h, command == 0 ? 0 : 0x0000400000000001ull);
  h.resize(h.size() + 16, 0);  // signature
  return h;
}

ByteVector Smb2NegotiateRequest() {
  ByteVector m = Smb2Header(0, 0, false);
  Le16(&m, 36);  // structure size
  Le16(&m, 3);   // dialect count
  Le16(&m, 1);   // security mode
  Le16(&m, 0);
  Le32(&m, 0x7F);                 // capabilities
  m.resize(m.size() + 16, 0x11);  // client guid
  Le64(&m, 0);
  for (uint16_t dialect : {0x0202, 0x0210, 0x0311}) Le16(&m, dialect);
  return Nbss(m);
}

ByteVector Smb2NegotiateResponse() {
  ByteVector m = Smb2Header(0, 0, true);
  Le16(&m, 65);  // structure size
  Le16(&m, 1);   // security mode
  Le16(&m, 0x0210);
  Le16(&m, 0);
  m.resize(m.size() + 16, 0x22);  // server guid
  Le32(&m, 0x07);                 // capabilities
  Le32(&m, 0x00800000);           // max transact, read, write
  Le32(&m, 0x00800000);
  Le32(&m, 0x00800000);
  Le64(&m, 0);  // system time
  Le64(&m, 0);  // boot time
  Le16(&m, 128);
  Le16(&m, 0);
  Le32(&m, 0);
  return Nbss(m);
}

// A write whose data offset points 400 bytes into a 300-byte message.
ByteVector Smb2Write(uint16_t dataOffset) {
  const ByteVector data(300, 0x5A);
  ByteVector m = Smb2Header(9, 5, false);
  Le16(&m, 49);  // structure size
  Le16(&m, dataOffset);
  Le32(&m, static_cast<uint32_t>(data.size()));
  Le64(&m, 0);                    // file offset
  m.resize(m.size() + 16, 0x33);  // file id
  Le32(&m, 0);                    // channel
  Le32(&m, 0);                    // remaining bytes
  Le16(&m, 0);
  Le16(&m, 0);
  Le32(&m, 0);  // flags
  Append(&m, data);
  return Nbss(m);
}

// IOCTL whose input buffer starts with kind, with an oversized length at
// buffer offset 20 (kind 0xD0) or 32 (kind 0xCC).
ByteVector Smb2Ioctl(uint32_t kind, uint32_t length) {
  ByteVector input;
  Le32(&input, kind);
  input.resize(64, 0);
  const size_t at = kind == 0xD0 ? 20 : 32;
  for (int i = 0; i < 4; ++i) input[at + i] = static_cast<uint8_t>(length >> (8 * i));
  ByteVector m = Smb2Header(11, 7, false);
  Le16(&m, 57);  // structure size
  Le16(&m, 0);
  Le32(&m, 0x001401FC);           // control code
  m.resize(m.size() + 16, 0xFF);  // file id
  Le32(&m, 64 + 56);              // input offset
  Le32(&m, static_cast<uint32_t>(input.size()));
  Le32(&m, 0);  // max input response
  Le32(&m, 0);  // output offset
  Le32(&m, 0);
  Le32(&m, 0x10000);  // max output response
  Le32(&m, 1);        // flags: fsctl
  Le32(&m, 0);
  Append(&m, input);
  return Nbss(m);
}

// Compression transform header whose size and offset wrap when added.
ByteVector Smb2CompressionTransform() {
  ByteVector m = {0xFC, 'S', 'M', 'B'};
  Le32(&m, 0xFFFFFFFF);  // original compressed segment size
  Le16(&m, 1);           // LZNT1
  Le16(&m, 0);           // flags
  Le32(&m, 0x10);        // offset
  m.resize(m.size() + 64, 0x6C);
  return Nbss(m);
}

// ---- Sessions ------------------------------------------------------------------------

// Opens a session, sends the messages, closes; returns the frame of the last
// client message.
std::string Session(Trace* t, const char* client, uint16_t clientPort, uint16_t serverPort,
                    const std::vector<ByteVector>& messages) {
  TcpSession s(t, client, clientPort, kServer, serverPort);
  s.Open();
  std::string frame;
  for (const ByteVector& m : messages) {
    frame = NextFrame(*t);
    s.Client(m);
  }
  s.Close();
  return frame;
}

// 21 logons with NTLM, each its own session two seconds apart and refused:
// the 21st within a minute of the first matches. Returns the alerting frame.
std::string NtlmBurst(Trace* t, const char* client) {
  std::string frame;
  for (int attempt = 0; attempt < 21; ++attempt) {
    TcpSession s(t, client, static_cast<uint16_t>(51000 + attempt), kServer, 445);
    s.Open();
    frame = NextFrame(*t);
    s.Client(NtlmAuthenticate(attempt));
    s.Server(LogonFailure());
    s.Close();
    t->Advance(2000000);
  }
  return frame;
}

// 201 empty session messages within half a second.
std::string ShortMessageFlood(Trace* t, const char* client, uint16_t clientPort) {
  return Session(t, client, clientPort, 139, std::vector<ByteVector>(201, Nbss({})));
}

// A server whose SMB2 reply claims 16 bytes more than the segment holds.
std::string Smb2ReplyMismatch(Trace* t, const char* client, uint16_t clientPort) {
  TcpSession s(t, client, clientPort, kServer, 445);
  s.Open();
  s.Client(Smb2NegotiateRequest());
  ByteVector reply = Smb2NegotiateResponse();
  const size_t claimed = reply.size() - 4 + 16;
  reply[2] = static_cast<uint8_t>(claimed >> 8);
  reply[3] = static_cast<uint8_t>(claimed);
  const std::string frame = NextFrame(*t);
  s.Server(reply);
  s.Close();
  return frame;
}

std::vector<Attack> SmbAttacks() {
  auto one = [](uint16_t port, std::function<ByteVector()> message) {
    return [port, message](Trace* t, const char* client, uint16_t clientPort) {
      return Session(t, client, clientPort, port, {message()});
    };
  };
  return {
      {3804, "mailslot-name-unterminated", "mailslot write whose name area holds no NUL",
       one(139, [] { return MailslotWrite("\\MAILSLOT\\BROWSE", 2); })},
      {3802, "mailslot-small-max-params", "mailslot write asking for no parameter bytes back",
       one(139, [] { return MailslotWrite(std::string("\\MAILSLOT\\BROWSE") + '\0', 0); })},
      {6029, "smb-search-long-bytes", "SMB1 search claiming 4500 data bytes",
       one(445, [] { return SearchRequest(4500); })},
      {6031, "smb-copy-long-bytes", "SMB1 copy claiming 5000 data bytes",
       one(445, [] { return CopyRequest(5000); })},
      {6031, "smb-rename-long-bytes", "SMB1 rename claiming 4200 data bytes",
       one(139, [] { return RenameRequest(4200); })},
      {6038, "smb2-write-high-data-offset", "SMB2 write whose data offset is 400",
       one(445, [] { return Smb2Write(400); })},
      {6022, "smb2-reply-length-mismatch",
       "SMB2 negotiate reply whose NetBIOS length exceeds the segment", Smb2ReplyMismatch},
      {6045, "smb-ntlm-auth-burst", "21 refused NTLM logons in 40 seconds",
       [](Trace* t, const char* client, uint16_t) { return NtlmBurst(t, client); }},
  };
}

std::vector<Attack> SessionAttacks() {
  auto one = [](uint16_t port, std::function<std::vector<ByteVector>()> messages) {
    return [port, messages](Trace* t, const char* client, uint16_t clientPort) {
      return Session(t, client, clientPort, port, messages());
    };
  };
  return {
      {6095, "smb-secondary-transaction-overrun",
       "Transaction secondary whose data count exceeds its total",
       one(139, [] { return std::vector<ByteVector>{TransactionSecondary(0x100, 0x400)}; })},
      {6097, "smb2-ioctl-oversized-field", "SMB2 IOCTL whose input buffer declares 0x2000 bytes",
       one(445,
           [] {
             return std::vector<ByteVector>{Smb2NegotiateRequest(), Smb2Ioctl(0xD0, 0x2000)};
           })},
      {6100, "netbios-short-message-flood", "201 empty session messages in half a second",
       ShortMessageFlood},
      {6119, "smb-trans2-session-setup-probe",
       "Transaction2 session-setup subcommand with multiplex id 65",
       one(445, [] { return std::vector<ByteVector>{Transaction2(0x0E, 65)}; })},
      {6157, "smb2-compression-size-overflow",
       "compression transform header whose size and offset wrap",
       one(445,
           [] {
             return std::vector<ByteVector>{Smb2NegotiateRequest(), Smb2CompressionTransform()};
           })},
      {6175, "smb-sis-copy-file", "NT Transact IOCTL with the single-instance-store copy code",
       one(139, [] { return std::vector<ByteVector>{SisCopyFile()}; })},
  };
}

// Every attack of a family from one client, one after the other, with a few
// benign SMB2 exchanges in between.
FamilyCapture FamilyCase(const char* folder, const char* what, const std::vector<Attack>& attacks) {
  FamilyCapture capture;
  capture.name = folder;
  std::string alerts;
  uint16_t port = 50200;
  for (const Attack& a : attacks) {
    Session(&capture.trace, "10.0.0.71", port++, 445, {Smb2NegotiateRequest()});
    const std::string frame = a.add(&capture.trace, "10.0.0.71", port++);
    alerts += (alerts.empty() ? "" : ", ") + std::to_string(a.id) + " on frame " + frame;
    capture.trace.Advance(1000000);
  }
  capture.description = std::string(what) + " (" + alerts + ")";
  return capture;
}

}  // namespace

std::vector<FamilyCapture> SmbFamilyExamples() {
  std::vector<FamilyCapture> out = AttackExamples(SmbAttacks());
  for (FamilyCapture& c : AttackExamples(SessionAttacks())) out.push_back(std::move(c));
  return out;
}

std::vector<FamilyCapture> SmbFamilyRegressionCaptures() {
  std::vector<FamilyCapture> out;
  out.push_back(
      FamilyCase("smb-detectors", "SMB1 and SMB2 request and reply attacks", SmbAttacks()));
  out.push_back(FamilyCase("smb-sessions", "SMB and NetBIOS session attacks", SessionAttacks()));
  return out;
}

}  // namespace capgen
