#pragma once

// A token bucket with a packet queue. Tokens (bytes) flow in at the rate up
// to the bucket size; a packet passes when the bucket holds its cost, waits
// in the queue otherwise, and is dropped when the queue is full. Rate 0 drops
// everything. A packet larger than the bucket passes on a full bucket and
// leaves it in debt, so the rate holds for any packet size.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "passthru/engine/packet.h"

namespace harlune {

struct TokenBucketSettings {
  std::uint32_t rate = 0;        // bytes per second
  std::uint32_t bucketSize = 0;  // bytes; 0 = default for the rate
  std::uint32_t mpu = 0;         // shorter packets cost this many bytes
  std::uint32_t queueLimit = 0;  // packets; 0 = default
};

// Defaults and bounds (see docs/passthru.md).
inline constexpr std::uint32_t kDefaultMtu = 1500;
inline constexpr std::uint32_t kDefaultQueueLimit = 128;
inline constexpr std::uint32_t kMaxQueueLimit = 4096;

std::uint32_t EffectiveBucketSize(const TokenBucketSettings& settings);
std::uint32_t EffectiveQueueLimit(const TokenBucketSettings& settings);

enum class Verdict : std::uint8_t { Pass = 0, Queued = 1, Drop = 2 };

class TokenBucket {
 public:
  TokenBucket(const TokenBucketSettings& settings, std::uint64_t nowNanoseconds);

  // Changes the settings at once; tokens beyond a smaller bucket and packets
  // beyond a shorter queue are dropped (the dropped packets are returned).
  std::vector<Packet> Reconfigure(const TokenBucketSettings& settings,
                                  std::uint64_t nowNanoseconds);
  std::vector<Packet> SetRate(std::uint32_t rate, std::uint64_t nowNanoseconds);

  Verdict Offer(const Packet& packet, std::uint64_t nowNanoseconds);
  // The queued packets that the tokens earned by now allow to pass, in order.
  std::vector<Packet> Release(std::uint64_t nowNanoseconds);
  // Empties the queue; returns what it held.
  std::vector<Packet> Flush();

  // The first time at which Release lets the first waiting packet go, on
  // the clock of Offer and Release; nothing while no packet waits. A loop
  // that sleeps until then releases every packet on time.
  std::optional<std::uint64_t> NextReleaseNanoseconds() const;

  std::size_t QueueLength() const { return queue_.size(); }
  const TokenBucketSettings& Settings() const { return settings_; }

 private:
  void Refill(std::uint64_t nowNanoseconds);
  double Cost(const Packet& packet) const;
  bool CanPay(double cost) const;
  double TokensAfter(std::uint64_t nanoseconds) const;

  TokenBucketSettings settings_;
  double tokens_ = 0;
  std::uint64_t lastRefill_ = 0;
  std::deque<Packet> queue_;
};

}  // namespace harlune
