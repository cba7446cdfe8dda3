#include "passthru/engine/token_bucket.h"

#include <algorithm>
#include <cmath>

namespace harlune {
namespace {

constexpr int kRoundingSteps = 1000;

}  // namespace

std::uint32_t EffectiveBucketSize(const TokenBucketSettings& settings) {
  if (settings.bucketSize != 0) {
    return settings.bucketSize;
  }
  return std::max(kDefaultMtu, settings.rate / 10);
}

std::uint32_t EffectiveQueueLimit(const TokenBucketSettings& settings) {
  if (settings.queueLimit == 0) {
    return kDefaultQueueLimit;
  }
  return std::min(settings.queueLimit, kMaxQueueLimit);
}

TokenBucket::TokenBucket(const TokenBucketSettings& settings, std::uint64_t nowNanoseconds)
    : settings_(settings), tokens_(EffectiveBucketSize(settings)), lastRefill_(nowNanoseconds) {}

double TokenBucket::Cost(const Packet& packet) const {
  return static_cast<double>(std::max(packet.length, settings_.mpu));
}

bool TokenBucket::CanPay(double cost) const {
  // A packet larger than the bucket could never find its cost there; it
  // passes on a full bucket, which then owes the rest (the tokens go below
  // zero), so that large packets keep the rate too.
  return tokens_ >= std::min(cost, static_cast<double>(EffectiveBucketSize(settings_)));
}

double TokenBucket::TokensAfter(std::uint64_t nanoseconds) const {
  const double seconds = static_cast<double>(nanoseconds) / 1e9;
  return std::min(tokens_ + seconds * settings_.rate,
                  static_cast<double>(EffectiveBucketSize(settings_)));
}

void TokenBucket::Refill(std::uint64_t nowNanoseconds) {
  if (nowNanoseconds <= lastRefill_) {
    return;
  }
  tokens_ = TokensAfter(nowNanoseconds - lastRefill_);
  lastRefill_ = nowNanoseconds;
}

std::optional<std::uint64_t> TokenBucket::NextReleaseNanoseconds() const {
  if (queue_.empty() || settings_.rate == 0) {
    return std::nullopt;
  }
  const double cost = Cost(queue_.front());
  if (CanPay(cost)) {
    return lastRefill_;
  }
  const double needed = std::min(cost, static_cast<double>(EffectiveBucketSize(settings_)));
  auto wait = static_cast<std::uint64_t>(std::floor((needed - tokens_) * 1e9 / settings_.rate));
  // From just before, step to the first nanosecond at which Refill's own
  // arithmetic pays (rounding can put it one either side of the quotient).
  for (int step = 0; step < kRoundingSteps && TokensAfter(wait) < needed; ++step) {
    ++wait;
  }
  return lastRefill_ + wait;
}

std::vector<Packet> TokenBucket::Reconfigure(const TokenBucketSettings& settings,
                                             std::uint64_t nowNanoseconds) {
  Refill(nowNanoseconds);
  settings_ = settings;
  tokens_ = std::min(tokens_, static_cast<double>(EffectiveBucketSize(settings_)));
  std::vector<Packet> dropped;
  if (settings_.rate == 0) {
    return Flush();
  }
  while (queue_.size() > EffectiveQueueLimit(settings_)) {
    dropped.push_back(queue_.back());
    queue_.pop_back();
  }
  return dropped;
}

std::vector<Packet> TokenBucket::SetRate(std::uint32_t rate, std::uint64_t nowNanoseconds) {
  TokenBucketSettings settings = settings_;
  settings.rate = rate;
  return Reconfigure(settings, nowNanoseconds);
}

Verdict TokenBucket::Offer(const Packet& packet, std::uint64_t nowNanoseconds) {
  if (settings_.rate == 0) {
    return Verdict::Drop;
  }
  Refill(nowNanoseconds);
  // Packets already waiting go first; a newcomer never overtakes them.
  if (queue_.empty() && CanPay(Cost(packet))) {
    tokens_ -= Cost(packet);
    return Verdict::Pass;
  }
  if (queue_.size() >= EffectiveQueueLimit(settings_)) {
    return Verdict::Drop;
  }
  queue_.push_back(packet);
  return Verdict::Queued;
}

std::vector<Packet> TokenBucket::Release(std::uint64_t nowNanoseconds) {
  std::vector<Packet> released;
  Refill(nowNanoseconds);
  while (!queue_.empty() && CanPay(Cost(queue_.front()))) {
    tokens_ -= Cost(queue_.front());
    released.push_back(queue_.front());
    queue_.pop_front();
  }
  return released;
}

std::vector<Packet> TokenBucket::Flush() {
  std::vector<Packet> held(queue_.begin(), queue_.end());
  queue_.clear();
  return held;
}

}  // namespace harlune
