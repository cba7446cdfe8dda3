#include "passthru/engine/rate_meter.h"

#include <algorithm>
#include <limits>

namespace harlune {

void RateMeter::Advance(std::uint64_t slot) {
  if (!started_) {
    started_ = true;
    currentSlot_ = slot;
    firstSlot_ = slot;
    return;
  }
  if (slot <= currentSlot_) {
    return;
  }
  const std::uint64_t gap = std::min<std::uint64_t>(slot - currentSlot_, kSlots);
  for (std::uint64_t i = 1; i <= gap; ++i) {
    bytes_[(currentSlot_ + i) % kSlots] = 0;
  }
  currentSlot_ = slot;
}

void RateMeter::Add(std::uint64_t bytes, std::uint64_t nowNanoseconds) {
  const std::uint64_t slot = nowNanoseconds / kSlotNanoseconds;
  Advance(slot);
  // A time stamp older than the current slot (not expected from a monotonic
  // clock) counts in the current slot rather than being lost.
  bytes_[currentSlot_ % kSlots] += bytes;
}

std::uint64_t RateMeter::SumFor(std::uint64_t slot) const {
  // Slots older than the window are skipped; slots after the current one
  // have seen nothing yet.
  std::uint64_t sum = 0;
  for (std::uint64_t s = WindowStart(slot); s <= currentSlot_; ++s) {
    sum += bytes_[s % kSlots];
  }
  return sum;
}

std::uint32_t RateMeter::Rate(std::uint64_t nowNanoseconds) const {
  if (!started_) {
    return 0;
  }
  const std::uint64_t slot = std::max(nowNanoseconds / kSlotNanoseconds, currentSlot_);
  const std::uint64_t sum = SumFor(slot);
  // The window starts at the oldest slot still in it, or when counting began.
  const std::uint64_t windowStartSlot = std::max(WindowStart(slot), firstSlot_);
  const std::uint64_t start = windowStartSlot * kSlotNanoseconds;
  const std::uint64_t end = std::max(nowNanoseconds, start + 1);
  const std::uint64_t span = std::max<std::uint64_t>(end - start, kSlotNanoseconds);
  const double rate = static_cast<double>(sum) * 1e9 / static_cast<double>(span);
  return static_cast<std::uint32_t>(
      std::min(rate, static_cast<double>(std::numeric_limits<std::uint32_t>::max())));
}

void RateMeter::Reset() { *this = RateMeter{}; }

}  // namespace harlune
