// Fuzz target: arbitrary bytes become a sequence of control requests and
// packets for a started plug-in whose every row is enabled and runs a test
// detector that reads the packet through the bounds-checked readers. Checks
// the engine's promises on every packet (one verdict and one report, or none)
// and that a plug-in leaves no allocation behind.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <vector>

#include "kt_hooks.h"
#include "nips/engine/additional_data.h"
#include "nips/engine/bytes.h"
#include "nips/engine/config.h"
#include "nips/engine/plugin.h"
#include "nips/tracking/tracking.h"
#include "testlib/engine_support.h"
#include "testlib/fake_packet.h"
#include "testlib/nimq_reader.h"

namespace {

#define FUZZ_CHECK(condition)  \
  do {                         \
    if (!(condition)) abort(); \
  } while (0)

// Reads a few payload and header fields the way detectors do; its result
// comes from the payload so that every result occurs.
ULONG FuzzDetector(PacketView* view) {
  ByteView payload;
  if (!GetPayloadView(view, GetPayloadLength(view), &payload)) return kDetectNoMatch;
  ByteView transport;
  GetTransportHeaderView(view, &transport);
  UCHAR first = 0, last = 0;
  USHORT word = 0;
  ULONG dword = 0;
  ReadU8(payload, 0, &first);
  ReadU8(payload, payload.length - 1, &last);  // wraps to a huge offset when empty
  ReadU16Be(transport, 2, &word);
  ReadU32Le(payload, first, &dword);
  if (BytesEqual(payload, 1, "EVID", 4)) {
    ULONG slot = 0;
    WCHAR* text = ReserveAdditionalData(&slot);
    if (text != nullptr) {
      ULONG n = 0;
      for (; n < payload.length && n < kAdditionalDataSlotChars - 1; ++n) text[n] = payload.data[n];
      text[n] = 0;
      view->additionalDataIndex = slot;
    }
  }
  if (first == 'S') {
    // Stateful detectors' pattern: find or create, always release.
    const HostAddress* source = view->flow->GetSourceAddress();
    HostRecord* record = FindHostRecord(source);
    if (record == nullptr && CreateHostRecord(source, &record) != STATUS_SUCCESS) {
      return kDetectError;
    }
    if (record != nullptr) {
      if (last & 1) RemoveHostRecord(record);
      ReleaseHostRecord(record);
    }
  }
  switch ((last ^ dword ^ word) % 16) {
    case 0:
      return kDetectMatch;
    case 1:
      return kDetectError;
    case 2:
      return 7;  // neither: counts as no match
    default:
      return kDetectNoMatch;
  }
}

const SignatureTable& FuzzTable() {
  static const SignatureTable table = testlib::TableWithDetector(&FuzzDetector);
  return table;
}

void FuzzControl(NipsPlugin* plugin, FuzzedDataProvider& in) {
  const ULONG code = in.ConsumeIntegralInRange<ULONG>(0, 9);
  const size_t inputLength = in.ConsumeIntegralInRange<size_t>(0, 64 * 12);
  std::vector<uint8_t> inputBytes = in.ConsumeBytes<uint8_t>(inputLength);
  // Exact-size input: what the fuzzer supplied, padded with zeros if it ran dry.
  inputBytes.resize(inputLength);
  std::unique_ptr<uint8_t[]> input(new uint8_t[inputLength]);
  if (inputLength != 0) memcpy(input.get(), inputBytes.data(), inputLength);
  const size_t outputLength = in.ConsumeIntegralInRange<size_t>(0, 1100);
  std::unique_ptr<uint8_t[]> output(new uint8_t[outputLength]);
  const uint8_t nulls = in.ConsumeIntegral<uint8_t>();
  ULONG64 returned = 0;

  std::vector<uint8_t> user;
  if (code == kControlDrainLog) {
    // A drain blocks until something is queued; never ask on an empty queue.
    if (!testlib::LogReadable(plugin)) return;
    // Never let fuzzed bytes name an address: the user buffer is real, or
    // one of the refused shapes.
    if (inputLength == 16) {
      user.resize(in.ConsumeIntegralInRange<size_t>(1, 0x20000));
      ULONG64 request[2] = {reinterpret_cast<ULONG64>(user.data()), user.size()};
      switch (nulls >> 4 & 3) {
        case 1:
          request[0] = 0;
          break;
        case 2:
          request[1] = 0;
          break;
        case 3:
          request[0] = ~0ull - 4;
          break;
      }
      memcpy(input.get(), request, sizeof request);
    }
  }
  const NTSTATUS status = plugin->Control(code, (nulls & 1) ? nullptr : input.get(), inputLength,
                                          (nulls & 2) ? nullptr : output.get(), outputLength,
                                          (nulls & 4) ? nullptr : &returned);
  if (code == 0 || code > 8) FUZZ_CHECK(status == STATUS_NOT_IMPLEMENTED);
}

void FuzzPacket(NipsPlugin* plugin, FuzzedDataProvider& in) {
  static const UCHAR kProtocols[] = {kIpProtocolTcp, kIpProtocolUdp, kIpProtocolIcmp,
                                     kIpProtocolIcmpv6, 47};
  const UCHAR protocol = kProtocols[in.ConsumeIntegralInRange<size_t>(0, 4)];
  auto ip = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 60));
  auto transport = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 60));
  auto payload = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 1600));
  auto packet = testlib::FakePacket::Raw(protocol, ip, transport, payload);
  packet->SetSource(in.ConsumeBool() ? "10.0.0.1" : "fe80::1");
  packet->SetRawSourcePort(in.ConsumeIntegral<USHORT>());
  packet->SetRawDestinationPort(in.ConsumeIntegral<USHORT>());
  packet->SetPortA(in.ConsumeIntegralInRange<USHORT>(0, 3));
  packet->SetPortB(in.ConsumeIntegralInRange<USHORT>(0, 3));
  packet->SetTcpFlags(in.ConsumeIntegral<UCHAR>());
  const uint8_t shape = in.ConsumeIntegral<uint8_t>();
  if (shape & 1) packet->SetAdapterIndex(0xFFFFFFFF);
  if (shape & 2) packet->SetNetworkProtocol(in.ConsumeIntegral<USHORT>());
  if (shape & 4) {
    packet->SetSigMask(in.ConsumeIntegral<ULONG>(), in.ConsumeIntegral<ULONG>(),
                       in.ConsumeIntegral<ULONG>(), in.ConsumeIntegral<ULONG>());
  }
  if (shape & 8) packet->SetBufferLength(in.ConsumeIntegralInRange<ULONG64>(0, 2));
  if (shape & 16) packet->SetNullPayload(true);
  if (shape & 32) packet->SetNullTransportHeader(true);
  if (shape & 64) packet->SetNullFlow(true);

  const LONG result =
      plugin->InspectPacket(in.ConsumeIntegralInRange<int>(0, 40) == 0 ? nullptr : packet.get());
  if (result == kInspectDelivered) {
    FUZZ_CHECK(packet->DeliveredOnce());
    const testlib::ReportCall report = packet->report();
    FUZZ_CHECK(report.additionalDataIndex <= kAdditionalDataSlots);
  } else {
    FUZZ_CHECK(result == kInspectNotInspected ||
               result == static_cast<LONG>(kInspectDetectorFailed));
    FUZZ_CHECK(packet->calls().empty());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool once = [] {
    kt::ResetWorld();
    return true;
  }();
  (void)once;
  FuzzedDataProvider in(data, size);
  {
    // An odd last input byte runs the built-in detectors (same ids) instead of the test one.
    testlib::PluginHolder plugin(in.ConsumeBool() ? g_signatureTable : FuzzTable());
    if (!plugin->Start()) abort();
    // Every row enabled at a fuzzed level mapping, before the fuzzed requests.
    BankHeader header = testlib::MakeHeader(
        {in.ConsumeIntegralInRange<ULONG>(0, 4), in.ConsumeIntegralInRange<ULONG>(0, 4), 2, 3},
        in.ConsumeIntegralInRange<ULONG>(0, 1));
    FUZZ_CHECK(testlib::Configure(
                   plugin.get(), header,
                   testlib::RecordsForAllRows(FuzzTable(), in.ConsumeIntegralInRange<ULONG>(1, 4),
                                              in.ConsumeIntegral<uint8_t>())) == STATUS_SUCCESS);
    testlib::SendLogMask(plugin.get(), in.ConsumeIntegral<ULONG>());
    for (int step = 0; step < 64 && in.remaining_bytes() != 0; ++step) {
      if (in.ConsumeBool()) {
        FuzzControl(plugin.get(), in);
      } else {
        FuzzPacket(plugin.get(), in);
      }
    }
    // Read back what was logged; the queue must always decode.
    if (testlib::LogReadable(plugin.get())) {
      auto drained = testlib::DrainRaw(plugin.get());
      std::vector<testlib::LogRecord> records;
      if (drained.status == STATUS_SUCCESS) {
        FUZZ_CHECK(testlib::DecodeNimq(drained.bytes.data(), drained.bytes.size(), &records));
      }
    }
  }
  FUZZ_CHECK(kt::PoolOutstanding() == 0);
  return 0;
}
