// A fresh kernel world, a started plug-in over a scripted table, a leak check.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <tuple>

#include "kt_hooks.h"
#include "nips/engine/log.h"
#include "testlib/engine_support.h"
#include "testlib/fake_packet.h"
#include "testlib/nimq_reader.h"

namespace enginetest {

using testlib::FakePacket;
using testlib::Record;
using testlib::Script;
using Texts = std::vector<std::string>;

inline void ExpectOnlyLine(NipsPlugin* plugin, const std::string& text, ULONG category,
                           USHORT kind) {
  auto records = testlib::DrainLog(plugin);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::tuple(records[0].Narrow(), records[0].category, records[0].kind),
            std::tuple(text, category, kind));
}

// Action, parameter, kind, signature id, severity, reaction.
inline std::vector<ULONG64> Outcome(const FakePacket& p) {
  const auto v = p.verdict();
  const auto r = p.report();
  return {v.action, v.actionParameter, v.kind, r.signatureId, r.severity, r.reaction};
}

// Log records as request 6 returns them, from (category, flagged, text).
inline std::vector<uint8_t> Encode(const std::vector<std::tuple<ULONG, bool, std::string>>& lines) {
  std::vector<uint8_t> bytes;
  for (const auto& [category, flagged, text] : lines) {
    const auto record = testlib::EncodeLogRecord(category, flagged, text);
    bytes.insert(bytes.end(), record.begin(), record.end());
  }
  return bytes;
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
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }
  NipsPlugin* plugin() { return plugin_->get(); }
  void LogEverything() {
    ASSERT_EQ(testlib::SendLogMask(plugin(), 0x1F), STATUS_SUCCESS);
    testlib::DrainLog(plugin());
  }
  static std::unique_ptr<FakePacket> TcpPacket() {
    return FakePacket::Tcp("10.0.0.1", 40000, "10.0.0.2", 445, kTcpFlagAck, {'x'});
  }

  SignatureTable table_;
  std::optional<testlib::PluginHolder> plugin_;
};

}  // namespace enginetest
