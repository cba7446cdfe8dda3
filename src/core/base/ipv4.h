#pragma once

// IPv4 addresses are kept in network byte order, as the system tables and
// the driver use them, and turned into text only for display and files.

#include <bit>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace harlune {

// A network-order address as a dotted text ("192.168.0.2").
std::string FormatIpv4(std::uint32_t networkOrder);

// A dotted text as a network-order address; nothing unless the text is
// exactly four decimal numbers 0..255 separated by dots.
std::optional<std::uint32_t> ParseIpv4(std::string_view text);

// The network-order address of four octets.
constexpr std::uint32_t Ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  // Memory order of a network-order value is a, b, c, d whatever the host.
  const std::uint32_t hostOrder = (std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) |
                                  (std::uint32_t{c} << 8) | std::uint32_t{d};
  if constexpr (std::endian::native == std::endian::little) {
    return (hostOrder >> 24) | ((hostOrder >> 8) & 0xFF00u) | ((hostOrder << 8) & 0xFF0000u) |
           (hostOrder << 24);
  } else {
    return hostOrder;
  }
}

}  // namespace harlune
