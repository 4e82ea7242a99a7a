// The verdict-latency histogram behind `nips ctl stats`: quantiles land in
// the bucket that holds them, with the bucket's upper bound.
#include <gtest/gtest.h>

#include "tools/inline_queue.h"

namespace nipstool {
namespace {

TEST(LatencyHistogramTest, QuantilesAreTheBoundsOfTheBucketsThatHoldThem) {
  LatencyHistogram histogram;
  EXPECT_EQ(histogram.Quantile(0.5), 0u);
  // 98 samples of 1000 ns, 2 of 1 ms: the median is near 1 us, p99 near 1 ms.
  for (int i = 0; i < 98; ++i) histogram.Add(1000);
  histogram.Add(1000000);
  histogram.Add(1000000);
  EXPECT_EQ(histogram.count(), 100u);
  const uint64_t p50 = histogram.Quantile(0.5);
  EXPECT_GE(p50, 1000u);
  EXPECT_LT(p50, 1190u);  // a quarter octave above
  EXPECT_EQ(histogram.Quantile(0.98), p50);
  const uint64_t p99 = histogram.Quantile(0.99);
  EXPECT_GE(p99, 1000000u);
  EXPECT_LT(p99, 1190000u);
  // 0 and 1 ns share the first bucket; anything past 16 ms the last.
  LatencyHistogram edges;
  edges.Add(0);
  edges.Add(1);
  EXPECT_EQ(edges.Quantile(1.0), 1u);
  edges.Add(uint64_t{1} << 40);
  EXPECT_EQ(edges.Quantile(1.0), uint64_t{1} << 24);
}

}  // namespace
}  // namespace nipstool
