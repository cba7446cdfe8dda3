#pragma once

// Bytes per second over a sliding window of one second, kept in ten slots of
// 100 ms: the rate is the bytes of the current slot and the nine before it
// divided by the time they span.

#include <array>
#include <cstddef>
#include <cstdint>

namespace harlune {

class RateMeter {
 public:
  static constexpr std::uint64_t kSlotNanoseconds = 100'000'000;
  static constexpr std::size_t kSlots = 10;

  void Add(std::uint64_t bytes, std::uint64_t nowNanoseconds);
  std::uint32_t Rate(std::uint64_t nowNanoseconds) const;
  void Reset();

 private:
  void Advance(std::uint64_t slot);
  std::uint64_t SumFor(std::uint64_t slot) const;
  static std::uint64_t WindowStart(std::uint64_t slot) {
    return slot + 1 >= kSlots ? slot + 1 - kSlots : 0;
  }

  std::array<std::uint64_t, kSlots> bytes_{};
  std::uint64_t currentSlot_ = 0;
  std::uint64_t firstSlot_ = 0;
  bool started_ = false;
};

}  // namespace harlune
