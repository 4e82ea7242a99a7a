#include "tools/capture_gen_http.h"

#include <functional>
#include <string>

#include "hostsim/packet_builder.h"
#include "tools/capture_gen_payloads.h"

namespace capgen {
namespace {

using hostsim::BytesOf;

constexpr char kManaged[] = "192.168.1.40";
constexpr char kWeb[] = "93.184.216.34";
constexpr uint16_t kWsman = 16992, kWsmanTls = 16993, kHttp = 80;

const char kEnvelope[] = "<s:Envelope><s:Body>Identify</s:Body></s:Envelope>";

std::string WsmanPost(const std::vector<std::string>& headers, const std::string& body) {
  std::vector<std::string> all = {"Content-Type: application/soap+xml;charset=UTF-8"};
  all.insert(all.end(), headers.begin(), headers.end());
  return HttpRequest("POST /wsman HTTP/1.1", std::string(kManaged) + ":16992", all, body);
}

// A chunked WS-Management POST whose first chunk size is the given text;
// the transfer coding is the last header, so the chunk size follows it.
std::string ChunkedPost(const std::string& chunkSize) {
  return WsmanPost({"Transfer-Encoding: chunked"}, "") + chunkSize + "\r\n" + kEnvelope +
         "\r\n0\r\n\r\n";
}

// One session per request; returns the frame of the last request.
std::string Requests(Trace* t, const char* client, uint16_t clientPort, const char* server,
                     uint16_t serverPort, const std::vector<std::string>& requests) {
  TcpSession s(t, client, clientPort, server, serverPort);
  s.Open();
  std::string frame;
  for (const std::string& r : requests) {
    t->Advance(1000000);
    frame = NextFrame(*t);
    s.Client(BytesOf(r));
  }
  s.Close();
  return frame;
}

std::vector<Attack> Attacks() {
  return {
      {6177, "wsman-negative-content-length", "WS-Management POST with Content-Length: -1",
       [](Trace* t, const char* c, uint16_t p) {
         return Requests(t, c, p, kManaged, kWsman,
                         {WsmanPost({"Content-Length: -1"}, "") + kEnvelope});
       }},
      {6178, "wsman-chunk-size-all-f", "chunked WS-Management POST whose first chunk is ffffffff",
       [](Trace* t, const char* c, uint16_t p) {
         return Requests(t, c, p, kManaged, kWsman, {ChunkedPost("ffffffff")});
       }},
      {6204, "http-accept-encoding-malformed",
       "GET with Accept-Encoding: gzip followed by Accept-Encoding: ,deflate",
       [](Trace* t, const char* c, uint16_t p) {
         return Requests(
             t, c, p, kWeb, kHttp,
             {HttpRequest("GET / HTTP/1.1", "www.example.com",
                          {"Accept: */*", "Accept-Encoding: gzip", "Accept-Encoding: ,deflate"})});
       }},
  };
}

}  // namespace

std::vector<FamilyCapture> HttpFamilyExamples() { return AttackExamples(Attacks()); }

std::vector<FamilyCapture> HttpFamilyRegressionCaptures() {
  FamilyCapture capture;
  capture.name = "http-detectors";
  Trace* t = &capture.trace;
  std::string alerts;
  uint16_t port = 50200;
  auto note = [&](uint32_t id, const std::string& frame) {
    alerts += (alerts.empty() ? "" : ", ") + std::to_string(id) + " on frame " + frame;
  };
  for (const Attack& a : Attacks()) {
    // An ordinary request between the attacks.
    Requests(t, "10.0.0.71", port++, kWeb, kHttp,
             {HttpRequest("GET /index.html HTTP/1.1", "www.example.com",
                          {"Accept-Encoding: gzip, deflate, br"})});
    note(a.id, a.add(t, "10.0.0.71", port++));
  }
  // The chunk size assembled over requests of one source within a minute:
  // the F positions of two ports never fill one block; those of three
  // requests to one port do, on the third.
  Requests(t, "10.0.0.72", port++, kManaged, kWsman, {ChunkedPost("FFF00000")});
  Requests(t, "10.0.0.72", port++, kManaged, kWsmanTls, {ChunkedPost("000FFFFF")});
  Requests(t, "10.0.0.72", port++, kManaged, kWsman, {ChunkedPost("000FFF00")});
  note(6178, Requests(t, "10.0.0.72", port++, kManaged, kWsman, {ChunkedPost("000000FF")}));
  capture.description = "HTTP and WS-Management attacks (" + alerts + ")";
  return {std::move(capture)};
}

}  // namespace capgen
