#pragma once

// Text formatted with a printf format, for the display texts whose formats
// the product fixes ("%.1f KB/s", "%8.1f"). The result is cut at 127 bytes,
// more than any of those texts needs (the largest u64 in gigabytes included).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <string>

namespace harlune {

template <typename... Args>
std::string CFormat(const char* format, Args... args) {
  std::array<char, 128> buffer{};
  const int length = std::snprintf(buffer.data(), buffer.size(), format, args...);
  if (length < 0) {
    return {};
  }
  return std::string(buffer.data(), std::min(static_cast<std::size_t>(length), buffer.size() - 1));
}

}  // namespace harlune
