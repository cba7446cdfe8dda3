#include "core/base/ipv4.h"

#include <array>
#include <charconv>
#include <cstring>

namespace harlune {

std::string FormatIpv4(std::uint32_t networkOrder) {
  std::array<std::uint8_t, 4> octets{};
  std::memcpy(octets.data(), &networkOrder, 4);
  std::string text;
  text.reserve(15);
  for (std::size_t i = 0; i < 4; ++i) {
    if (i != 0) {
      text.push_back('.');
    }
    text += std::to_string(octets[i]);
  }
  return text;
}

std::optional<std::uint32_t> ParseIpv4(std::string_view text) {
  std::array<std::uint8_t, 4> octets{};
  const char* pos = text.data();
  const char* end = text.data() + text.size();
  for (std::size_t i = 0; i < 4; ++i) {
    if (i != 0) {
      if (pos == end || *pos != '.') {
        return std::nullopt;
      }
      ++pos;
    }
    const char* digitsEnd = pos;
    while (digitsEnd != end && *digitsEnd >= '0' && *digitsEnd <= '9') {
      ++digitsEnd;
    }
    if (digitsEnd == pos || digitsEnd - pos > 3) {
      return std::nullopt;
    }
    unsigned value = 0;
    std::from_chars(pos, digitsEnd, value);
    if (value > 255) {
      return std::nullopt;
    }
    octets[i] = static_cast<std::uint8_t>(value);
    pos = digitsEnd;
  }
  if (pos != end) {
    return std::nullopt;
  }
  std::uint32_t address = 0;
  std::memcpy(&address, octets.data(), 4);
  return address;
}

}  // namespace harlune
