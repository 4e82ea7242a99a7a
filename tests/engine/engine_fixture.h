// Shared set-up of the engine tests: a fresh kernel world, a started plug-in
// over a scripted signature table, and a leak check at the end.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>

#include "kt_hooks.h"
#include "nips/engine/log.h"
#include "testlib/engine_support.h"
#include "testlib/fake_packet.h"
#include "testlib/nimq_reader.h"

namespace enginetest {

constexpr ULONG kAllCategories = 0x1F;

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kt::ResetWorld();
    testlib::Script().Reset();
    table_ = testlib::ScriptedTable();
    plugin_.emplace(table_);
    ASSERT_TRUE(plugin()->Start());
  }

  void TearDown() override {
    plugin_.reset();
    testlib::Script().Reset();
    kt::ClearPoolFaults();
    EXPECT_EQ(kt::PoolOutstanding(), 0u) << kt::PoolLeakReport();
  }

  NipsPlugin* plugin() { return plugin_->get(); }

  // Every category queued, and the log emptied.
  void LogEverything() {
    ASSERT_EQ(testlib::SendLogMask(plugin(), kAllCategories), STATUS_SUCCESS);
    testlib::DrainLog(plugin());
  }

  static std::unique_ptr<testlib::FakePacket> TcpPacket(const testlib::Bytes& payload = {'x'}) {
    return testlib::FakePacket::Tcp("10.0.0.1", 40000, "10.0.0.2", 445, kTcpFlagAck, payload);
  }

  SignatureTable table_;
  std::optional<testlib::PluginHolder> plugin_;
};

}  // namespace enginetest
