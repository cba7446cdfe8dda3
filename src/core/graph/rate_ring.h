#pragma once

// RateRing: the last kCapacity rates of one graph series, one a second, in
// a fixed array. Pushing past the capacity overwrites the oldest sample, so
// a full ring costs no allocation however long the program runs.

#include <array>
#include <cstddef>
#include <cstdint>

namespace harlune {

class RateRing {
 public:
  // Ten minutes of one sample a second.
  static constexpr std::size_t kCapacity = 600;

  void Push(std::uint32_t rate) {
    if (size_ < kCapacity) {
      samples_[(start_ + size_) % kCapacity] = rate;
      ++size_;
      return;
    }
    samples_[start_] = rate;
    start_ = (start_ + 1) % kCapacity;
  }

  std::size_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }
  // The sample at `index`, 0 the oldest kept; index must be below Size().
  std::uint32_t At(std::size_t index) const { return samples_[(start_ + index) % kCapacity]; }
  std::uint32_t Newest() const { return size_ == 0 ? 0 : At(size_ - 1); }

 private:
  std::array<std::uint32_t, kCapacity> samples_{};
  std::size_t start_ = 0;
  std::size_t size_ = 0;
};

}  // namespace harlune
