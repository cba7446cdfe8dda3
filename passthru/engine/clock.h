#pragma once

// Where the engine's time comes from: the daemon uses the monotonic clock,
// tests a manual one so that simulated seconds take microseconds.

#include <chrono>
#include <cstdint>

namespace harlune {

inline constexpr std::uint64_t kNanosecondsPerSecond = 1'000'000'000;
inline constexpr std::uint64_t kNanosecondsPerMillisecond = 1'000'000;

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic nanoseconds since an arbitrary start.
  virtual std::uint64_t NowNanoseconds() const = 0;
};

class SteadyClock : public Clock {
 public:
  std::uint64_t NowNanoseconds() const override {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
  }
};

class ManualClock : public Clock {
 public:
  explicit ManualClock(std::uint64_t start = 0) : now_(start) {}
  std::uint64_t NowNanoseconds() const override { return now_; }
  void Advance(std::uint64_t nanoseconds) { now_ += nanoseconds; }
  void AdvanceMilliseconds(std::uint64_t milliseconds) {
    now_ += milliseconds * kNanosecondsPerMillisecond;
  }

 private:
  std::uint64_t now_;
};

}  // namespace harlune
