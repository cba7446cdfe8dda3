#include "passthru/engine/token_bucket.h"

#include <optional>

#include <gtest/gtest.h>

#include "engine/engine_test_support.h"
#include "passthru/engine/clock.h"

namespace harlune {
namespace {

using testing::TcpPacket;

constexpr std::uint64_t kMs = kNanosecondsPerMillisecond;

Packet OfLength(std::uint32_t length) { return TcpPacket(Direction::Send, 1000, 80, length); }

TEST(TokenBucketDefaults, BucketIsAtLeastOneMtuAndATenthOfTheRate) {
  EXPECT_EQ(EffectiveBucketSize({1000, 0, 0, 0}), kDefaultMtu);
  EXPECT_EQ(EffectiveBucketSize({1'000'000, 0, 0, 0}), 100'000u);
  EXPECT_EQ(EffectiveBucketSize({1'000'000, 3000, 0, 0}), 3000u);
}

TEST(TokenBucketDefaults, QueueLimitHasADefaultAndAnUpperBound) {
  EXPECT_EQ(EffectiveQueueLimit({1000, 0, 0, 0}), kDefaultQueueLimit);
  EXPECT_EQ(EffectiveQueueLimit({1000, 0, 0, 7}), 7u);
  EXPECT_EQ(EffectiveQueueLimit({1000, 0, 0, 0xFFFFFFFF}), kMaxQueueLimit);
}

TEST(TokenBucket, PassesAFullBucketThenQueuesThenDrops) {
  TokenBucket bucket({1000, 3000, 0, 2}, 0);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Pass);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Pass);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Pass);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Queued);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Queued);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Drop);
  EXPECT_EQ(bucket.QueueLength(), 2u);
}

TEST(TokenBucket, ReleasesQueuedPacketsInOrderAsTokensArrive) {
  TokenBucket bucket({1000, 1500, 0, 10}, 0);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Pass);
  Packet first = OfLength(1000);
  first.sourceTag = 1;
  Packet second = OfLength(1000);
  second.sourceTag = 2;
  EXPECT_EQ(bucket.Offer(first, 0), Verdict::Queued);
  EXPECT_EQ(bucket.Offer(second, 0), Verdict::Queued);
  EXPECT_TRUE(bucket.Release(400 * kMs).empty());  // 900 tokens
  auto released = bucket.Release(500 * kMs);       // 1000 tokens
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0].sourceTag, 1u);
  released = bucket.Release(1500 * kMs);
  ASSERT_EQ(released.size(), 1u);
  EXPECT_EQ(released[0].sourceTag, 2u);
}

TEST(TokenBucket, ANewcomerNeverOvertakesWaitingPackets) {
  TokenBucket bucket({1000, 1500, 0, 10}, 0);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Pass);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Queued);
  // 600 tokens would pass a 100-byte packet, but one waits already.
  EXPECT_EQ(bucket.Offer(OfLength(100), 100 * kMs), Verdict::Queued);
}

TEST(TokenBucket, ShortPacketsCostTheMpu) {
  TokenBucket bucket({1000, 1000, 500, 0}, 0);
  EXPECT_EQ(bucket.Offer(OfLength(40), 0), Verdict::Pass);
  EXPECT_EQ(bucket.Offer(OfLength(40), 0), Verdict::Pass);
  EXPECT_EQ(bucket.Offer(OfLength(40), 0), Verdict::Queued);
}

TEST(TokenBucket, APacketLargerThanTheBucketPassesOnAFullBucketAndIsPaidForInFull) {
  TokenBucket bucket({1000, 1500, 0, 0}, 0);
  EXPECT_EQ(bucket.Offer(OfLength(9000), 0), Verdict::Pass);
  EXPECT_EQ(bucket.Offer(OfLength(9000), 0), Verdict::Queued);
  // 9000 bytes at 1000 bytes a second: the bucket is full again after 9 s.
  EXPECT_TRUE(bucket.Release(8999 * kMs).empty());
  EXPECT_EQ(bucket.Release(9000 * kMs).size(), 1u);
}

TEST(TokenBucket, RateZeroDropsEverythingAndEmptiesTheQueue) {
  TokenBucket bucket({1000, 1000, 0, 0}, 0);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Pass);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Queued);
  EXPECT_EQ(bucket.SetRate(0, 0).size(), 1u);
  EXPECT_EQ(bucket.QueueLength(), 0u);
  EXPECT_EQ(bucket.Offer(OfLength(10), 10'000 * kMs), Verdict::Drop);
  EXPECT_TRUE(bucket.Release(20'000 * kMs).empty());
}

TEST(TokenBucket, AShorterQueueDropsTheNewestWaitingPackets) {
  TokenBucket bucket({1000, 1000, 0, 5}, 0);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Pass);
  for (std::uint64_t tag = 1; tag <= 4; ++tag) {
    Packet packet = OfLength(1000);
    packet.sourceTag = tag;
    ASSERT_EQ(bucket.Offer(packet, 0), Verdict::Queued);
  }
  const auto dropped = bucket.Reconfigure({1000, 1000, 0, 2}, 0);
  ASSERT_EQ(dropped.size(), 2u);
  EXPECT_EQ(dropped[0].sourceTag, 4u);
  EXPECT_EQ(dropped[1].sourceTag, 3u);
  EXPECT_EQ(bucket.QueueLength(), 2u);
}

TEST(TokenBucket, TokensNeverExceedTheBucketAfterALongIdle) {
  TokenBucket bucket({1000, 2000, 0, 100}, 0);
  int passed = 0;
  for (int i = 0; i < 10; ++i) {
    passed += bucket.Offer(OfLength(1000), 3600'000 * kMs) == Verdict::Pass ? 1 : 0;
  }
  EXPECT_EQ(passed, 2);
}

// A loop that sleeps until the next release must find the packet payable
// at that time and not a nanosecond before, whatever the rate's rounding;
// and it must be told nothing while nothing waits.
TEST(TokenBucketNextRelease, IsTheFirstMomentTheFrontPacketCanPay) {
  TokenBucket bucket({1000, 1500, 0, 10}, 0);
  EXPECT_EQ(bucket.NextReleaseNanoseconds(), std::nullopt);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Pass);  // 500 tokens left
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Queued);
  EXPECT_EQ(bucket.Offer(OfLength(300), 0), Verdict::Queued);
  // 500 more tokens at 1000 a second.
  EXPECT_EQ(bucket.NextReleaseNanoseconds(), std::optional<std::uint64_t>(500 * kMs));
  TokenBucket early = bucket;
  EXPECT_TRUE(early.Release(500 * kMs - 1).empty());
  ASSERT_EQ(bucket.Release(500 * kMs).size(), 1u);
  // Then the 300-byte packet: 300 ms more.
  EXPECT_EQ(bucket.NextReleaseNanoseconds(), std::optional<std::uint64_t>(800 * kMs));
  ASSERT_EQ(bucket.Release(800 * kMs).size(), 1u);
  EXPECT_EQ(bucket.NextReleaseNanoseconds(), std::nullopt);
}

TEST(TokenBucketNextRelease, HoldsForAwkwardRatesDebtAndTheBucketCap) {
  for (const std::uint32_t rate : {1u, 3u, 7u, 999'983u, 123'456'789u}) {
    TokenBucket bucket({rate, 0, 0, 0}, 12345);
    const std::uint32_t size = EffectiveBucketSize(bucket.Settings());
    // A packet far larger than the bucket leaves it in debt; the next one
    // costs the whole bucket.
    ASSERT_EQ(bucket.Offer(OfLength(size * 3), 12345), Verdict::Pass);
    ASSERT_EQ(bucket.Offer(OfLength(size * 3), 12345), Verdict::Queued);
    const std::optional<std::uint64_t> due = bucket.NextReleaseNanoseconds();
    ASSERT_TRUE(due.has_value()) << rate;
    EXPECT_GT(*due, 12345u) << rate;
    TokenBucket early = bucket;
    EXPECT_TRUE(early.Release(*due - 1).empty()) << rate;
    EXPECT_EQ(bucket.Release(*due).size(), 1u) << rate;
  }
}

TEST(TokenBucketNextRelease, APacketThatCanAlreadyPayIsDueAtTheLastRefill) {
  TokenBucket bucket({1000, 1000, 0, 10}, 0);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Pass);
  EXPECT_EQ(bucket.Offer(OfLength(1000), 0), Verdict::Queued);
  // A rate change refills without releasing: the packet is overdue.
  EXPECT_TRUE(bucket.SetRate(2000, 2000 * kMs).empty());
  EXPECT_EQ(bucket.NextReleaseNanoseconds(), std::optional<std::uint64_t>(2000 * kMs));
  EXPECT_TRUE(bucket.SetRate(0, 2000 * kMs).size() == 1u);
  EXPECT_EQ(bucket.NextReleaseNanoseconds(), std::nullopt);
}

}  // namespace
}  // namespace harlune
