#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <type_traits>

namespace harlune {

// Decimal conversion the C library way: leading blanks, an optional sign,
// digits up to the first other character; no digits read as 0. A negative
// number wraps as the C conversion to an unsigned type does, and a number
// beyond the type's range saturates.
template <typename T>
T ReadCDecimal(std::string_view text) {
  const std::size_t start = text.find_first_not_of(" \t\r\n\v\f");
  text.remove_prefix(std::min(start, text.size()));
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  std::uint64_t magnitude = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (error == std::errc::invalid_argument) {
    return 0;
  }
  const bool tooBig = error == std::errc::result_out_of_range;
  if constexpr (std::is_signed_v<T>) {
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<T>::max());
    if (negative) {
      return tooBig || magnitude > kMax + 1 ? std::numeric_limits<T>::min()
                                            : static_cast<T>(-static_cast<std::int64_t>(magnitude));
    }
    return tooBig || magnitude > kMax ? std::numeric_limits<T>::max() : static_cast<T>(magnitude);
  } else {
    constexpr std::uint64_t kMax = std::numeric_limits<T>::max();
    if (tooBig || magnitude > kMax) {
      return std::numeric_limits<T>::max();
    }
    return negative ? static_cast<T>(0 - static_cast<T>(magnitude)) : static_cast<T>(magnitude);
  }
}

}  // namespace harlune
