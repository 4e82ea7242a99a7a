// The wide formatter, the NimQ record format, overflow, drain and close.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <thread>
#include <vector>

#include "engine_fixture.h"
#include "nips/engine/nimq.h"
#include "nips/engine/pool.h"

namespace enginetest {
namespace {

using testlib::DrainRaw;
using testlib::EncodeLogRecord;
using testlib::LogRecord;

std::string Format(ULONG capacity, const char* format, ...) {
  std::vector<WCHAR> buffer(capacity + 1, 0x7777);
  va_list args;
  va_start(args, format);
  const ULONG stored = FormatLogTextV(buffer.data(), capacity, format, args);
  va_end(args);
  std::string out;
  for (ULONG i = 0; i < stored; ++i) out.push_back(static_cast<char>(buffer[i]));
  EXPECT_EQ(buffer[stored], 0) << "always terminated";
  EXPECT_EQ(buffer[capacity], 0x7777) << "nothing written past the capacity";
  return out;
}

TEST(FormatTest, Conversions) {
  EXPECT_EQ(Format(79, "%u|%u", 0u, 4294967295u), "0|4294967295");
  EXPECT_EQ(Format(79, "[%02u] [%02u] [%02u]", 5u, 47u, 123u), "[05] [47] [123]");
  EXPECT_EQ(Format(79, "%d %d %d", -5, 0, INT_MIN), "-5 0 -2147483648");
  EXPECT_EQ(Format(79, "%x %X", 0xdeadbeefu, 0xc00000bbu), "deadbeef C00000BB");
  EXPECT_EQ(Format(79, "0x%I64x", ULONG64{0x5b5}), "0x5b5");
  EXPECT_EQ(Format(79, "%I64x", ULONG64{0x123456789abcdef0}), "123456789abcdef0");
  EXPECT_EQ(Format(79, "%p", reinterpret_cast<void*>(0xABCDEF)), "0000000000ABCDEF");
  EXPECT_EQ(Format(79, "-> %s!", NTTEXT("Block Host")), "-> Block Host!");
  EXPECT_EQ(Format(79, "%s", static_cast<const WCHAR*>(nullptr)), "(null)");
  EXPECT_EQ(Format(79, "100%% %q %"), "100% %q %");
}

TEST(FormatTest, CutsAtTheCapacityAndReportsWhatItStored) {
  const std::string hundred(100, 'a');
  EXPECT_EQ(Format(79, hundred.c_str()), std::string(78, 'a'));
  EXPECT_EQ(Format(1, "abc"), "");
  EXPECT_EQ(Format(4, "%u", 123456u), "123");
  EXPECT_EQ(Format(3, "%s", NTTEXT("wide")), "wi");
  WCHAR untouched = 0x7777;
  EXPECT_EQ(FormatLogText(&untouched, 0, "abc"), 0u);
  EXPECT_EQ(untouched, 0x7777);
}

TEST(FormatTest, StringArgumentIsNotReadPastWhatTheOutputHolds) {
  // 100 characters and no terminator, in an exact-size allocation: reading
  // past what 78 output characters need would be an overread.
  std::unique_ptr<WCHAR[]> text(new WCHAR[100]);
  for (int i = 0; i < 100; ++i) text[i] = u'z';
  EXPECT_EQ(Format(79, "%s", text.get()), std::string(78, 'z'));
  EXPECT_EQ(Format(79, "abc%s", text.get()), "abc" + std::string(75, 'z'));
}

class LogTest : public EngineTest {};

TEST_F(LogTest, RecordBytesAreExactAndTheDefaultMaskFilters) {
  // Default mask 0x78: 8 and 16 pass, 1, 2 and 4 do not.
  NipsLog(plugin(), true, kLogInfo, "info %u\n", 1u);
  NipsLog(plugin(), false, kLogTrace, "trace\n");
  NipsLog(plugin(), true, kLogLifecycle, "lifecycle\n");
  NipsLog(plugin(), true, kLogError, "error 0x%x\n", 0xC000009Au);
  NipsLog(plugin(), false, kLogMalformed, "malformed\n");
  NipsLog(nullptr, true, kLogError, "no plugin\n");

  auto drained = DrainRaw(plugin());
  ASSERT_EQ(drained.status, STATUS_SUCCESS);
  std::vector<uint8_t> expected = EncodeLogRecord(kLogError, true, "error 0xc000009a\n");
  auto second = EncodeLogRecord(kLogMalformed, false, "malformed\n");
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(drained.bytes, expected);
  EXPECT_EQ(drained.size, expected.size());
  EXPECT_EQ(drained.returned, expected.size());
  EXPECT_EQ(drained.bytesReturned, 16u);
}

TEST_F(LogTest, LongLineIsStoredCutTo78Characters) {
  const std::string hundred(100, 'q');
  NipsLog(plugin(), true, kLogError, hundred.c_str());
  auto records = testlib::DrainLog(plugin());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].length, 168u);
  EXPECT_EQ(records[0].Narrow(), std::string(78, 'q'));
  EXPECT_TRUE(records[0].terminated);
  EXPECT_EQ(records[0].kind, kLogKindFlagged);
  EXPECT_EQ(records[0].zero, 0u);
}

TEST_F(LogTest, FullQueueKeepsOneMarkerAndRestartsAfterADrain) {
  const std::string line(78, 'f');  // 172 bytes a record
  ULONG written = 0;
  for (int i = 0; i < 2000; ++i) {
    NipsLog(plugin(), true, kLogError, line.c_str());
  }
  // Short records that would fit in the last bytes are refused too once the
  // queue keeps no room for them and a marker.
  NipsLog(plugin(), true, kLogError, "x");
  const ULONG used = plugin()->nimq.used;
  EXPECT_LE(used, kNimqCapacity);

  auto records = testlib::DrainLog(plugin());
  ASSERT_FALSE(records.empty());
  for (const LogRecord& record : records) {
    if (!record.overflow) ++written;
  }
  EXPECT_EQ(written, (kNimqCapacity - 4) / 172);
  // Exactly one marker, and it is last, although ~1200 records were dropped.
  EXPECT_TRUE(records.back().overflow);
  EXPECT_EQ(
      std::count_if(records.begin(), records.end(), [](const LogRecord& r) { return r.overflow; }),
      1);

  NipsLog(plugin(), true, kLogError, "after\n");
  auto drained = DrainRaw(plugin());
  EXPECT_EQ(drained.bytes, EncodeLogRecord(kLogError, true, "after\n"));
}

TEST_F(LogTest, MarkerIsWrittenAgainAfterARecordFollowsIt) {
  // A record too big for the queue even when empty: the marker lands at 0.
  ULONG big = 0;
  const NimqSegment huge[] = {{&big, kNimqCapacity}};
  EXPECT_EQ(EnqueueNimQ(&plugin()->nimq, huge, 1), 1u);
  EXPECT_EQ(EnqueueNimQ(&plugin()->nimq, huge, 1), 1u);
  NipsLog(plugin(), true, kLogError, "a");
  EXPECT_EQ(EnqueueNimQ(&plugin()->nimq, huge, 1), 1u);
  auto records = testlib::DrainLog(plugin());
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(records[0].overflow);
  EXPECT_EQ(records[1].Narrow(), "a");
  EXPECT_TRUE(records[2].overflow);
}

TEST_F(LogTest, DrainIntoASmallBufferLosesNothing) {
  NipsLog(plugin(), true, kLogError, "Hello world\n");  // 12 characters: 40 bytes
  auto small = DrainRaw(plugin(), 16);
  EXPECT_EQ(small.status, STATUS_SUCCESS);
  EXPECT_EQ(small.size, 40u);
  EXPECT_EQ(small.returned, 0u);
  EXPECT_TRUE(testlib::LogReadable(plugin()));
  EXPECT_EQ(testlib::DrainLogTexts(plugin()), std::vector<std::string>{"Hello world\n"});
  EXPECT_FALSE(testlib::LogReadable(plugin()));
}

TEST_F(LogTest, DrainWithoutMemoryKeepsTheRecords) {
  NipsLog(plugin(), true, kLogError, "kept\n");
  kt::FailAllocationsWithTag(kPoolTagEngine);
  auto failed = DrainRaw(plugin());
  kt::ClearPoolFaults();
  EXPECT_EQ(failed.status, STATUS_SUCCESS);
  EXPECT_EQ(failed.returned, 0u);
  EXPECT_EQ(failed.size, 2u * 5 + 16);
  EXPECT_EQ(testlib::DrainLogTexts(plugin()), std::vector<std::string>{"kept\n"});
}

TEST_F(LogTest, FaultingUserBufferLosesTheRecordsAndReportsAccessViolation) {
  NipsLog(plugin(), true, kLogError, "lost\n");
  std::vector<uint8_t> user(4096);
  kt::AddFaultingRange(user.data() + 8, 1);
  ULONG64 request[2] = {reinterpret_cast<ULONG64>(user.data()), user.size()};
  ULONG64 reply[2] = {7, 7};
  ULONG64 returned = 0;
  EXPECT_EQ(plugin()->Control(kControlDrainLog, request, 16, reply, 16, &returned),
            STATUS_ACCESS_VIOLATION);
  kt::ClearFaultingRanges();
  EXPECT_EQ(reply[0], 0u);
  EXPECT_EQ(reply[1], 0u);
  EXPECT_EQ(returned, 16u);
  EXPECT_FALSE(testlib::LogReadable(plugin()));
}

TEST_F(LogTest, DrainAddressChecks) {
  NipsLog(plugin(), true, kLogError, "stays\n");
  std::vector<uint8_t> user(64);
  const ULONG64 base = reinterpret_cast<ULONG64>(user.data());
  const ULONG64 highest = reinterpret_cast<ULONG64>(MmHighestUserAddress);
  const ULONG64 cases[][2] = {
      {0, 64},            // null address
      {base, 0},          // empty buffer
      {~0ull - 8, 64},    // wraps around
      {highest - 8, 64},  // ends above the user range
  };
  for (const auto& c : cases) {
    ULONG64 request[2] = {c[0], c[1]};
    ULONG64 reply[2] = {7, 7};
    ULONG64 returned = 0;
    EXPECT_EQ(plugin()->Control(kControlDrainLog, request, 16, reply, 16, &returned),
              STATUS_ACCESS_VIOLATION)
        << std::hex << c[0] << " " << c[1];
    EXPECT_EQ(returned, 16u);
  }
  EXPECT_EQ(testlib::DrainLogTexts(plugin()), std::vector<std::string>{"stays\n"});
}

TEST_F(LogTest, DrainAboveApcLevelIsRefusedAndLogged) {
  std::vector<uint8_t> user(64);
  ULONG64 size = 99;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(DrainNimQ(&plugin()->nimq, user.data(), user.size(), &size), kNimqBadIrql);
  ULONG64 request[2] = {reinterpret_cast<ULONG64>(user.data()), user.size()};
  ULONG64 reply[2];
  ULONG64 returned = 0;
  EXPECT_EQ(plugin()->Control(kControlDrainLog, request, 16, reply, 16, &returned),
            STATUS_UNSUCCESSFUL);
  KeLowerIrql(old);
  EXPECT_EQ(size, 99u);
  auto records = testlib::DrainLog(plugin());
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].Narrow(), "Unexpected NimQ code 0x3\n");
  EXPECT_EQ(records[0].category, kLogError);
  EXPECT_EQ(records[0].kind, kLogKindFlagged);
}

TEST_F(LogTest, CloseDeliversWhatWasQueuedThenNothing) {
  NipsLog(plugin(), true, kLogError, "before\n");
  ULONG64 returned = 0;
  EXPECT_EQ(plugin()->Control(kControlCloseLog, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
  NipsLog(plugin(), true, kLogError, "after\n");
  EXPECT_EQ(testlib::DrainLogTexts(plugin()), std::vector<std::string>{"before\n"});
  for (int i = 0; i < 2; ++i) {
    auto drained = DrainRaw(plugin());  // returns at once: the event stays set
    EXPECT_EQ(drained.status, STATUS_SUCCESS);
    EXPECT_EQ(drained.size, 0u);
    EXPECT_EQ(drained.returned, 0u);
  }
}

TEST_F(LogTest, BlockedReaderWakesOnTheFirstRecord) {
  std::vector<uint8_t> user(256);
  ULONG64 request[2] = {reinterpret_cast<ULONG64>(user.data()), user.size()};
  ULONG64 reply[2] = {};
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::thread reader([&] {
    ULONG64 returned = 0;
    status = plugin()->Control(kControlDrainLog, request, 16, reply, 16, &returned);
  });
  NipsLog(plugin(), true, kLogError, "wake\n");
  reader.join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  auto expected = EncodeLogRecord(kLogError, true, "wake\n");
  ASSERT_EQ(reply[1], expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), user.begin()));
}

TEST_F(LogTest, ConcurrentWritersNeverInterleaveRecords) {
  constexpr int kThreads = 3;
  constexpr int kLines = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      for (int i = 0; i < kLines; ++i) {
        NipsLog(plugin(), t % 2 == 0, kLogError, "writer %u line %u\n", static_cast<ULONG>(t),
                static_cast<ULONG>(i));
      }
    });
  }
  for (auto& w : writers) w.join();
  auto records = testlib::DrainLog(plugin());
  ASSERT_EQ(records.size(), static_cast<size_t>(kThreads * kLines));
  std::vector<int> next(kThreads, 0);
  for (const LogRecord& record : records) {
    unsigned t = 0, i = 0;
    ASSERT_EQ(sscanf(record.Narrow().c_str(), "writer %u line %u", &t, &i), 2);
    ASSERT_LT(t, static_cast<unsigned>(kThreads));
    EXPECT_EQ(static_cast<int>(i), next[t]++) << "lines of one writer stay in order";
    EXPECT_EQ(record.kind, t % 2 == 0 ? kLogKindFlagged : kLogKindUnflagged);
  }
}

}  // namespace
}  // namespace enginetest
