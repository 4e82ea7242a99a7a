// Shared set-up of the engine tests: a fresh kernel world, a started plug-in
// over a scripted signature table, and a leak check at the end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kt_hooks.h"
#include "nips/engine/log.h"
#include "testlib/engine_support.h"
#include "testlib/fake_packet.h"
#include "testlib/nimq_reader.h"

namespace enginetest {

using testlib::FakePacket;
using testlib::Record;
using testlib::Script;

// The log holds exactly one record, with this text, category and kind.
inline void ExpectOnlyLine(NipsPlugin* plugin, const std::string& text, ULONG category,
                           USHORT kind) {
  auto records = testlib::DrainLog(plugin);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Narrow(), text);
  EXPECT_EQ(records[0].category, category);
  EXPECT_EQ(records[0].kind, kind);
}

// What the core was told: action, parameter, kind, signature id, severity, reaction.
inline std::vector<ULONG64> Outcome(const FakePacket& p) {
  const auto v = p.verdict();
  const auto r = p.report();
  return {v.action, v.actionParameter, v.kind, r.signatureId, r.severity, r.reaction};
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    Script().Reset();
    table_ = testlib::ScriptedTable();
    plugin_.emplace(table_);
    ASSERT_TRUE(plugin()->Start());
  }
  void TearDown() override {
    plugin_.reset();
    Script().Reset();
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
  NipsPlugin* plugin() { return plugin_->get(); }
  // Every category queued, and the log emptied.
  void LogEverything() {
    ASSERT_EQ(testlib::SendLogMask(plugin(), 0x1F), STATUS_SUCCESS);
    testlib::DrainLog(plugin());
  }
  static std::unique_ptr<FakePacket> TcpPacket(const testlib::Bytes& payload = {'x'}) {
    return FakePacket::Tcp("10.0.0.1", 40000, "10.0.0.2", 445, kTcpFlagAck, payload);
  }

  SignatureTable table_;
  std::optional<testlib::PluginHolder> plugin_;
};

}  // namespace enginetest
