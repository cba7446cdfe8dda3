#pragma once

// Byte strings as spaced hex text, so golden bytes read like a dump.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace harlune::testing {

inline std::string Hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0) {
      text.push_back(' ');
    }
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 0xF]);
  }
  return text;
}

// A u32 as its four little-endian bytes, as the driver answers ids and
// versions.
inline std::vector<std::uint8_t> Le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

// "de ad" -> {0xde, 0xad}; blanks are ignored.
inline std::vector<std::uint8_t> Unhex(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  int pending = -1;
  for (char c : text) {
    int value = -1;
    if (c >= '0' && c <= '9') value = c - '0';
    if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
    if (value < 0) continue;
    if (pending < 0) {
      pending = value;
    } else {
      bytes.push_back(static_cast<std::uint8_t>(pending * 16 + value));
      pending = -1;
    }
  }
  return bytes;
}

// n zero bytes as hex text, to write long runs of padding.
inline std::string Zeros(std::size_t n) {
  std::string text;
  for (std::size_t i = 0; i < n; ++i) text += " 00";
  return text;
}

}  // namespace harlune::testing
