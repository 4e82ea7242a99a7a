// The wide formatter, the NimQ record format, overflow, drain and close.
#include <gtest/gtest.h>

#include <climits>
#include <thread>

#include "engine_fixture.h"
#include "nips/engine/nimq.h"
#include "nips/engine/pool.h"

namespace enginetest {
namespace {

using testlib::DrainLogTexts;
using testlib::DrainRaw;
using testlib::EncodeLogRecord;
using testlib::LogRecord;
using Texts = std::vector<std::string>;

std::string Format(ULONG capacity, const char* format, ...) {
  std::vector<WCHAR> buffer(capacity + 1, 0x7777);
  va_list args;
  va_start(args, format);
  const ULONG stored = FormatLogTextV(buffer.data(), capacity, format, args);
  va_end(args);
  EXPECT_EQ(buffer[stored], 0) << "always terminated";
  EXPECT_EQ(buffer[capacity], 0x7777) << "nothing written past the capacity";
  return std::string(buffer.begin(), buffer.begin() + stored);
}

TEST(FormatTest, ConversionsAndCuts) {
  EXPECT_EQ(Format(79, "%u [%02u] [%02u]", 4294967295u, 5u, 123u), "4294967295 [05] [123]");
  EXPECT_EQ(Format(79, "%d %d %d", -5, 0, INT_MIN), "-5 0 -2147483648");
  EXPECT_EQ(Format(79, "%x %X", 0xdeadbeefu, 0xc00000bbu), "deadbeef C00000BB");
  EXPECT_EQ(Format(79, "0x%I64x %I64x", ULONG64{0x5b5}, ULONG64{0x123456789abcdef0}),
            "0x5b5 123456789abcdef0");
  EXPECT_EQ(Format(79, "%p %s", reinterpret_cast<void*>(0xABCDEF), static_cast<WCHAR*>(nullptr)),
            "0000000000ABCDEF (null)");
  EXPECT_EQ(Format(79, "100%% %q %"), "100% %q %");
  // Cut at the capacity, reporting what was stored.
  EXPECT_EQ(Format(79, std::string(100, 'a').c_str()), std::string(78, 'a'));
  EXPECT_EQ(Format(1, "abc"), "");
  EXPECT_EQ(Format(4, "%u", 123456u), "123");
  EXPECT_EQ(Format(3, "%s", NTTEXT("wide")), "wi");
  WCHAR untouched = 0x7777;
  EXPECT_EQ(FormatLogText(&untouched, 0, "abc"), 0u);
  EXPECT_EQ(untouched, 0x7777) << "capacity 0 writes nothing";
  // An unterminated argument in an exact-size allocation is not read past
  // what the output holds.
  std::unique_ptr<WCHAR[]> text(new WCHAR[100]);
  std::fill(text.get(), text.get() + 100, u'z');
  EXPECT_EQ(Format(79, "%s", text.get()), std::string(78, 'z'));
  EXPECT_EQ(Format(79, "abc%s", text.get()), "abc" + std::string(75, 'z'));
}

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
  std::vector<uint8_t> expected;
  for (const auto& r : {EncodeLogRecord(kLogError, true, "error 0xc000009a\n"),
                        EncodeLogRecord(kLogMalformed, false, "malformed\n"),
                        EncodeLogRecord(kLogError, true, std::string(78, 'q'))}) {
    expected.insert(expected.end(), r.begin(), r.end());
  }
  auto drained = DrainRaw(plugin());
  ASSERT_EQ(drained.status, STATUS_SUCCESS);
  EXPECT_EQ(drained.bytes, expected);
  EXPECT_EQ(drained.size, expected.size());
  EXPECT_EQ(drained.returned, expected.size());
  EXPECT_EQ(drained.bytesReturned, 16u);
}

TEST_F(LogTest, FullQueueKeepsOneMarkerAndRestartsAfterADrain) {
  for (int i = 0; i < 2000; ++i) NipsLog(plugin(), true, kLogError, std::string(78, 'f').c_str());
  // A short record that would fit in the last bytes is refused too: the queue
  // keeps no room for it and a marker.
  NipsLog(plugin(), true, kLogError, "x");
  EXPECT_LE(plugin()->nimq.used, kNimqCapacity);
  auto records = testlib::DrainLog(plugin());
  ASSERT_FALSE(records.empty());
  const auto markers =
      std::count_if(records.begin(), records.end(), [](const LogRecord& r) { return r.overflow; });
  EXPECT_EQ(records.size() - markers, (kNimqCapacity - 4) / 172);  // 172 bytes a record
  EXPECT_EQ(markers, 1) << "one marker although ~1200 records were dropped";
  EXPECT_TRUE(records.back().overflow);
  NipsLog(plugin(), true, kLogError, "after\n");
  EXPECT_EQ(DrainRaw(plugin()).bytes, EncodeLogRecord(kLogError, true, "after\n"));
  // A record too big for the empty queue: the marker lands at 0, and is
  // written again once a record follows it.
  ULONG big = 0;
  const NimqSegment huge[] = {{&big, kNimqCapacity}};
  EXPECT_EQ(EnqueueNimQ(&plugin()->nimq, huge, 1), 1u);
  EXPECT_EQ(EnqueueNimQ(&plugin()->nimq, huge, 1), 1u);
  NipsLog(plugin(), true, kLogError, "a");
  EXPECT_EQ(EnqueueNimQ(&plugin()->nimq, huge, 1), 1u);
  records = testlib::DrainLog(plugin());
  ASSERT_EQ(records.size(), 3u);
  EXPECT_TRUE(records[0].overflow);
  EXPECT_EQ(records[1].Narrow(), "a");
  EXPECT_TRUE(records[2].overflow);
}

TEST_F(LogTest, DrainThatCannotCopyReportsTheSizeAndKeepsTheRecords) {
  // A buffer too small, or no memory for the copy.
  const struct {
    size_t buffer;
    bool failAllocation;
  } cases[] = {{16, false}, {0x20000, true}};
  for (const auto& c : cases) {
    NipsLog(plugin(), true, kLogError, "Hello world\n");
    if (c.failAllocation) kt::FailAllocationsWithTag(kPoolTagEngine);
    auto drained = DrainRaw(plugin(), c.buffer);
    kt::ClearPoolFaults();
    EXPECT_EQ(drained.status, STATUS_SUCCESS);
    EXPECT_EQ(drained.size, 40u) << "\"Hello world\\n\" takes 40 bytes";
    EXPECT_EQ(drained.returned, 0u);
    EXPECT_EQ(DrainLogTexts(plugin()), Texts{"Hello world\n"});
    EXPECT_FALSE(testlib::LogReadable(plugin()));
  }
}

TEST_F(LogTest, DrainAddressChecks) {
  std::vector<uint8_t> user(4096);
  const ULONG64 base = reinterpret_cast<ULONG64>(user.data());
  const ULONG64 highest = reinterpret_cast<ULONG64>(MmHighestUserAddress);
  const struct {
    ULONG64 address, length;
    bool faultAt8;  // the copy faults: the records are lost
  } cases[] = {
      {0, 64, false},            // null address
      {base, 0, false},          // empty buffer
      {~0ull - 8, 64, false},    // wraps around
      {highest - 8, 64, false},  // ends above the user range
      {base, 4096, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    NipsLog(plugin(), true, kLogError, "stays\n");
    if (c.faultAt8) kt::AddFaultingRange(user.data() + 8, 1);
    ULONG64 request[2] = {c.address, c.length};
    ULONG64 reply[2] = {7, 7};
    ULONG64 returned = 0;
    EXPECT_EQ(plugin()->Control(kControlDrainLog, request, 16, reply, 16, &returned),
              STATUS_ACCESS_VIOLATION);
    kt::ClearFaultingRanges();
    EXPECT_EQ(returned, 16u);
    EXPECT_EQ(DrainLogTexts(plugin()), c.faultAt8 ? Texts{} : Texts{"stays\n"});
    EXPECT_TRUE(!c.faultAt8 || (reply[0] | reply[1]) == 0) << "a faulted copy replies zeros";
  }
}

TEST_F(LogTest, DrainAboveApcLevelIsRefusedAndLogged) {
  std::vector<uint8_t> user(64);
  ULONG64 size = 99, request[2] = {reinterpret_cast<ULONG64>(user.data()), 64}, reply[2], returned;
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(DrainNimQ(&plugin()->nimq, user.data(), user.size(), &size), kNimqBadIrql);
  EXPECT_EQ(plugin()->Control(kControlDrainLog, request, 16, reply, 16, &returned),
            STATUS_UNSUCCESSFUL);
  KeLowerIrql(old);
  EXPECT_EQ(size, 99u);
  ExpectOnlyLine(plugin(), "Unexpected NimQ code 0x3\n", kLogError, kLogKindFlagged);
}

TEST_F(LogTest, CloseDeliversWhatWasQueuedThenNothing) {
  NipsLog(plugin(), true, kLogError, "before\n");
  ULONG64 returned = 0;
  EXPECT_EQ(plugin()->Control(kControlCloseLog, nullptr, 0, nullptr, 0, &returned), STATUS_SUCCESS);
  NipsLog(plugin(), true, kLogError, "after\n");
  EXPECT_EQ(DrainLogTexts(plugin()), Texts{"before\n"});
  for (int i = 0; i < 2; ++i) {
    auto drained = DrainRaw(plugin());  // returns at once: the event stays set
    EXPECT_EQ(drained.status, STATUS_SUCCESS);
    EXPECT_EQ(drained.size | drained.returned, 0u);
  }
}

TEST_F(LogTest, BlockedReaderWakesOnTheFirstRecord) {
  std::vector<uint8_t> user(256);
  ULONG64 request[2] = {reinterpret_cast<ULONG64>(user.data()), user.size()}, reply[2] = {};
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
  constexpr unsigned kThreads = 3, kLines = 300;
  std::vector<std::thread> writers;
  for (unsigned t = 0; t < kThreads; ++t) {
    writers.emplace_back([this, t] {
      for (unsigned i = 0; i < kLines; ++i) {
        NipsLog(plugin(), t % 2 == 0, kLogError, "writer %u line %u\n", t, i);
      }
    });
  }
  for (auto& w : writers) w.join();
  auto records = testlib::DrainLog(plugin());
  ASSERT_EQ(records.size(), kThreads * kLines);
  std::vector<unsigned> next(kThreads, 0);
  for (const LogRecord& record : records) {
    unsigned t = 0, i = 0;
    ASSERT_EQ(sscanf(record.Narrow().c_str(), "writer %u line %u", &t, &i), 2);
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(i, next[t]++) << "lines of one writer stay in order";
    EXPECT_EQ(record.kind, t % 2 == 0 ? kLogKindFlagged : kLogKindUnflagged);
  }
}

}  // namespace
}  // namespace enginetest
