#include "passthru/engine/rate_meter.h"

#include <gtest/gtest.h>

#include "passthru/engine/clock.h"

namespace harlune {
namespace {

constexpr std::uint64_t kMs = kNanosecondsPerMillisecond;

TEST(RateMeter, IsZeroBeforeAnyTraffic) {
  const RateMeter meter;
  EXPECT_EQ(meter.Rate(5000 * kMs), 0u);
}

TEST(RateMeter, MeasuresASteadyFlow) {
  RateMeter meter;
  for (std::uint64_t ms = 0; ms < 3000; ms += 10) {
    meter.Add(100, ms * kMs);  // 10 000 bytes per second
  }
  EXPECT_NEAR(meter.Rate(3000 * kMs), 10'000, 200);
}

TEST(RateMeter, ForgetsTrafficOlderThanOneSecond) {
  RateMeter meter;
  for (std::uint64_t ms = 0; ms < 2000; ms += 10) {
    meter.Add(1000, ms * kMs);
  }
  EXPECT_GT(meter.Rate(2000 * kMs), 90'000u);
  EXPECT_EQ(meter.Rate(3100 * kMs), 0u);
  EXPECT_EQ(meter.Rate(60'000 * kMs), 0u);
}

TEST(RateMeter, FollowsAChangeWithinOneSecond) {
  RateMeter meter;
  std::uint64_t ms = 0;
  for (; ms < 2000; ms += 10) {
    meter.Add(1000, ms * kMs);  // 100 000 B/s
  }
  for (; ms < 3000; ms += 10) {
    meter.Add(100, ms * kMs);  // 10 000 B/s
  }
  EXPECT_NEAR(meter.Rate(3000 * kMs), 10'000, 200);
}

TEST(RateMeter, CountsOnlyTheTimeSinceTrafficBegan) {
  RateMeter meter;
  meter.Add(500, 10'000 * kMs);
  meter.Add(500, 10'400 * kMs);
  EXPECT_NEAR(meter.Rate(10'500 * kMs), 2000, 1);
}

TEST(RateMeter, ResetStartsAfresh) {
  RateMeter meter;
  meter.Add(1'000'000, 0);
  meter.Reset();
  EXPECT_EQ(meter.Rate(500 * kMs), 0u);
}

}  // namespace
}  // namespace harlune
