// The byte-string search every family shares, on buffers of exact size so
// that a read past either end is caught by ASan.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nips/detectors/detector_common.h"

namespace {

struct FindRow {
  std::string haystack, needle;
  long expected;  // offset, or -1 for no match
};

TEST(FindBytes, FirstExactOccurrenceOrNull) {
  const FindRow rows[] = {
      {"abcabc", "bc", 1}, {"abcabc", "abc", 0}, {"xxab", "ab", 2},
      {"ab", "ab", 0},     {"ab", "abc", -1},    {"aab", "ab", 1},
      {"abAB", "AB", 2},   {"abcd", "bd", -1},   {std::string("a\0b", 3), std::string("\0b", 2), 1},
      {"aaaa", "aaa", 0},  {"abcab", "bca", 1},  {"abcab", "cab", 2},
  };
  for (const FindRow& row : rows) {
    std::vector<UCHAR> hay(row.haystack.begin(), row.haystack.end());
    std::vector<UCHAR> needle(row.needle.begin(), row.needle.end());
    const UCHAR* found = FindBytes(hay.data(), needle.data(), hay.size(), needle.size());
    if (row.expected < 0) {
      EXPECT_EQ(found, nullptr) << row.haystack << " / " << row.needle;
    } else {
      EXPECT_EQ(found, hay.data() + row.expected) << row.haystack << " / " << row.needle;
    }
  }
}

TEST(FindBytes, NullOrEmptyArgumentsFindNothing) {
  const UCHAR hay[] = {'a', 'b'};
  const UCHAR needle[] = {'a'};
  EXPECT_EQ(FindBytes(nullptr, needle, 2, 1), nullptr);
  EXPECT_EQ(FindBytes(hay, nullptr, 2, 1), nullptr);
  EXPECT_EQ(FindBytes(hay, needle, 0, 1), nullptr);
  EXPECT_EQ(FindBytes(hay, needle, 2, 0), nullptr);
}

TEST(FindBytes, ViewSearchReportsOffsetFromTheViewStart) {
  const UCHAR bytes[] = {'x', 'a', 'b', 'x', 'a', 'b'};
  const ByteView view{bytes, sizeof(bytes)};
  ULONG64 offset = 0;
  ASSERT_TRUE(detector::FindInView(view, 2, reinterpret_cast<const UCHAR*>("ab"), 2, &offset));
  EXPECT_EQ(offset, 4u);
  EXPECT_FALSE(detector::FindInView(view, 5, reinterpret_cast<const UCHAR*>("ab"), 2, &offset));
  EXPECT_FALSE(detector::FindInView(view, 7, reinterpret_cast<const UCHAR*>("ab"), 2, &offset));
}

}  // namespace
