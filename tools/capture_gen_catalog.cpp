// The one list of what the generator writes: the examples and the
// regression captures of every detector family, the capture-path cases and
// the benchmark capture. A new family adds its two calls here.
#include <errno.h>
#include <string.h>

#include "tools/capture_gen.h"
#include "tools/capture_gen_benign.h"
#include "tools/capture_gen_dcerpc.h"
#include "tools/capture_gen_decoder.h"
#include "tools/capture_gen_dns.h"
#include "tools/capture_gen_http.h"
#include "tools/capture_gen_port_scan.h"
#include "tools/capture_gen_services.h"
#include "tools/capture_gen_smb.h"
#include "tools/capture_gen_smb1.h"

namespace capgen {
namespace {

using hostsim::CaptureWriter;

void AppendAll(std::vector<FamilyCapture>* all, std::vector<FamilyCapture> more) {
  for (FamilyCapture& capture : more) all->push_back(std::move(capture));
}

std::vector<FamilyCapture> ExampleCaptures() {
  std::vector<FamilyCapture> all;
  all.push_back({"benign.pcap",
                 "benign traffic of every protocol the detectors look at, IPv4 and IPv6: no alert",
                 BenignTrace()});
  // Families: one line each.
  AppendAll(&all, Smb1RequestFamilyExamples());
  AppendAll(&all, PortScanFamilyExamples());
  AppendAll(&all, SmbFamilyExamples());
  AppendAll(&all, ServicesFamilyExamples());
  AppendAll(&all, DceRpcFamilyExamples());
  AppendAll(&all, DnsFamilyExamples());
  AppendAll(&all, HttpFamilyExamples());
  return all;
}

std::vector<FamilyCapture> FamilyRegressionCaptures() {
  std::vector<FamilyCapture> all;
  // Families: one line each.
  AppendAll(&all, PortScanFamilyRegressionCaptures());
  AppendAll(&all, Smb1RequestFamilyRegressionCaptures());
  AppendAll(&all, SmbFamilyRegressionCaptures());
  AppendAll(&all, ServicesFamilyRegressionCaptures());
  AppendAll(&all, DceRpcFamilyRegressionCaptures());
  AppendAll(&all, DnsFamilyRegressionCaptures());
  AppendAll(&all, HttpFamilyRegressionCaptures());
  return all;
}

}  // namespace

bool WriteExamples(const std::string& directory, std::vector<GeneratedCapture>* written,
                   std::string* error) {
  if (!MakeDirectory(directory, error)) return false;
  for (const FamilyCapture& capture : ExampleCaptures()) {
    const std::string path = directory + "/" + capture.name;
    if (!WriteTrace(path, capture.trace)) {
      *error = path + ": write failed";
      return false;
    }
    written->push_back({capture.name, capture.description});
  }
  return true;
}

bool WriteRegressionCaptures(const std::string& directory, std::vector<GeneratedCapture>* written,
                             std::string* error) {
  if (!MakeDirectory(directory, error)) return false;
  std::vector<RegressionCapture> all = DecoderRegressionCaptures();
  for (FamilyCapture& capture : FamilyRegressionCaptures()) {
    all.push_back({capture.name, capture.description,
                   [trace = std::move(capture.trace)](const std::string& path) {
                     return WriteFramed(path, trace, hostsim::kLinktypeEthernet);
                   }});
  }
  for (const RegressionCapture& regression : all) {
    const std::string folder = directory + "/" + regression.folder;
    if (!MakeDirectory(folder, error)) return false;
    if (!regression.write(folder + "/capture")) {
      *error = folder + ": write failed";
      return false;
    }
    written->push_back({regression.folder, regression.description});
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
