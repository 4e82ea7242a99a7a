// Per-packet cost of the inspection engine: packet view, dispatch over a
// 48-record policy whose detectors never match, and the verdict.
#include <benchmark/benchmark.h>

#include "kt_hooks.h"
#include "testlib/engine_support.h"
#include "testlib/fake_packet.h"

namespace {

ULONG NoMatch(PacketView*) { return kDetectNoMatch; }

// table: rows with the no-match detector; every row enabled at level 1
// (reaction 2), so that every row whose mask fits runs its detector.
void RunInspect(benchmark::State& state, const SignatureTable& table, bool configure) {
  kt::ResetWorld();
  testlib::PluginHolder plugin(table);
  if (!plugin->Start()) {
    state.SkipWithError("start failed");
    return;
  }
  if (configure && testlib::Configure(plugin.get(), testlib::MakeHeader({2, 2, 2, 2}),
                                      testlib::RecordsForAllRows(table, 1)) != STATUS_SUCCESS) {
    state.SkipWithError("configuration failed");
    return;
  }
  auto packet = testlib::FakePacket::Tcp("10.1.2.3", 49152, "10.1.2.4", 445, kTcpFlagAck,
                                         testlib::Bytes(512, 0x41));
  for (auto _ : state) {
    benchmark::DoNotOptimize(plugin->InspectPacket(packet.get()));
    packet->ClearRecord();  // keeps the fake's call log from growing
  }
  state.SetItemsProcessed(state.iterations());
}

// The built-in masks: a TCP packet runs the 40 rows that accept TCP.
void BM_InspectTcp48RecordPolicy(benchmark::State& state) {
  RunInspect(state, testlib::TableWithDetector(&NoMatch), true);
}
BENCHMARK(BM_InspectTcp48RecordPolicy);

// Every row accepts every protocol: all 48 detectors run.
void BM_InspectTcp48RecordPolicyAllRowsRun(benchmark::State& state) {
  SignatureTable table = testlib::TableWithDetector(&NoMatch);
  for (SignatureEntry& row : table.rows) row.protocolMask = kProtocolMaskAll;
  RunInspect(state, table, true);
}
BENCHMARK(BM_InspectTcp48RecordPolicyAllRowsRun);

// Fresh start, no policy: view, empty walk and the allow verdict.
void BM_InspectTcpNoPolicy(benchmark::State& state) {
  RunInspect(state, testlib::TableWithDetector(&NoMatch), false);
}
BENCHMARK(BM_InspectTcpNoPolicy);

}  // namespace

BENCHMARK_MAIN();
