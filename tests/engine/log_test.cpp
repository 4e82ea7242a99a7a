// The NimQ record format, the overflow marker and request 6 refusals.
#include <gtest/gtest.h>

#include "engine_fixture.h"
#include "nips/engine/nimq.h"

namespace enginetest {
namespace {

using testlib::DrainRaw;
using LogTest = EngineTest;

TEST_F(LogTest, RecordBytesAreExactAndTheDefaultMaskFilters) {
  // Default mask 0x78: 8 and 16 pass, 1, 2 and 4 do not; a long line is cut to 78.
  NipsLog(plugin(), true, kLogInfo, "info %u\n", 1u);
  NipsLog(plugin(), false, kLogTrace, "trace\n");
  NipsLog(plugin(), true, kLogLifecycle, "lifecycle\n");
  NipsLog(plugin(), true, kLogError, "error 0x%x\n", 0xC000009Au);
  NipsLog(plugin(), false, kLogMalformed, "malformed\n");
  NipsLog(nullptr, true, kLogError, "no plugin\n");
  NipsLog(plugin(), true, kLogError, std::string(100, 'q').c_str());
  const auto expected = Encode({{kLogError, true, "error 0xc000009a\n"},
                                {kLogMalformed, false, "malformed\n"},
                                {kLogError, true, std::string(78, 'q')}});
  auto drained = DrainRaw(plugin());
  EXPECT_EQ(drained.bytes, expected);
  EXPECT_EQ(std::tuple(drained.status, drained.size, drained.returned, drained.bytesReturned),
            std::tuple(STATUS_SUCCESS, expected.size(), expected.size(), 16u));
}

TEST_F(LogTest, FullQueueKeepsOneMarkerAndRestartsAfterADrain) {
  for (int i = 0; i < 2000; ++i) NipsLog(plugin(), true, kLogError, std::string(78, 'f').c_str());
  // A short record that would fit in the last bytes is refused too: no room for it and a marker.
  NipsLog(plugin(), true, kLogError, "x");
  auto records = testlib::DrainLog(plugin());
  ASSERT_FALSE(records.empty());
  const auto markers = std::count_if(records.begin(), records.end(),
                                     [](const testlib::LogRecord& r) { return r.overflow; });
  EXPECT_EQ(records.size() - markers, (kNimqCapacity - 4) / 172);  // 172 bytes a record
  EXPECT_EQ(markers, 1) << "one marker although ~1200 records were dropped";
  EXPECT_TRUE(records.back().overflow);
  NipsLog(plugin(), true, kLogError, "after\n");
  EXPECT_EQ(DrainRaw(plugin()).bytes, testlib::EncodeLogRecord(kLogError, true, "after\n"));
}

TEST_F(LogTest, DrainAddressChecks) {
  std::vector<uint8_t> user(4096);
  const ULONG64 base = reinterpret_cast<ULONG64>(user.data());
  const ULONG64 highest = reinterpret_cast<ULONG64>(MmHighestUserAddress);
  // Null, empty, wrapping, ending above the user range; a faulting copy loses the records.
  // clang-format off
  const struct { ULONG64 address, length; bool faultAt8; } cases[] = {
      {0, 64, false}, {base, 0, false}, {~0ull - 8, 64, false}, {highest - 8, 64, false},
      {base, 4096, true}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    NipsLog(plugin(), true, kLogError, "stays\n");
    if (c.faultAt8) kt::AddFaultingRange(user.data() + 8, 1);
    ULONG64 request[2] = {c.address, c.length}, reply[2] = {7, 7}, returned = 0;
    EXPECT_EQ(plugin()->Control(kControlDrainLog, request, 16, reply, 16, &returned),
              STATUS_ACCESS_VIOLATION);
    kt::ClearFaultingRanges();
    EXPECT_EQ(returned, 16u);
    EXPECT_EQ(testlib::DrainLogTexts(plugin()), c.faultAt8 ? Texts{} : Texts{"stays\n"});
    EXPECT_TRUE(!c.faultAt8 || (reply[0] | reply[1]) == 0) << "a faulted copy replies zeros";
  }
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ULONG64 request[2] = {base, 64}, reply[2], returned;
  EXPECT_EQ(plugin()->Control(kControlDrainLog, request, 16, reply, 16, &returned),
            STATUS_UNSUCCESSFUL);
  KeLowerIrql(old);
  ExpectOnlyLine(plugin(), "Unexpected NimQ code 0x3\n", kLogError, kLogKindFlagged);
}

}  // namespace
}  // namespace enginetest
