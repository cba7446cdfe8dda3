#pragma once

// Addresses of both families. IPv4 addresses are kept in network byte order,
// as the system tables and the driver use them, and turned into text only
// for display and files. IpAddress holds either family in one value: an IPv4
// address is held as its IPv4-mapped form (::ffff:a.b.c.d), so an address
// an IPv6 socket reports in that form is the same value as the IPv4 address,
// and compares, orders and prints as IPv4.

#include <array>
#include <bit>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace harlune::protocol {

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

class IpAddress {
 public:
  using Bytes16 = std::array<std::uint8_t, 16>;

  // 0.0.0.0
  constexpr IpAddress() = default;
  // An IPv4 address from its network-order value (in_addr::s_addr).
  static constexpr IpAddress FromIpv4(std::uint32_t networkOrder) {
    IpAddress address;
    for (std::size_t i = 0; i < 4; ++i) {
      // Memory order of a network-order value is the wire order.
      const auto shift =
          static_cast<unsigned>(std::endian::native == std::endian::little ? 8 * i : 8 * (3 - i));
      address.bytes_[12 + i] = static_cast<std::uint8_t>(networkOrder >> shift);
    }
    return address;
  }
  // An address from the 16 bytes of an IPv6 address (in6_addr::s6_addr);
  // an IPv4-mapped address is the IPv4 address.
  static constexpr IpAddress FromIpv6(const Bytes16& bytes) { return IpAddress(bytes); }

  // Whether the address is IPv4 (taken as such from a mapped address).
  constexpr bool IsIpv4() const noexcept {
    for (std::size_t i = 0; i < 10; ++i) {
      if (bytes_[i] != 0) {
        return false;
      }
    }
    return bytes_[10] == 0xFF && bytes_[11] == 0xFF;
  }
  // The network-order IPv4 value; 0 for an IPv6 address.
  std::uint32_t Ipv4Value() const noexcept;
  // The 16 bytes as an IPv6 socket holds them (an IPv4 address mapped).
  constexpr const Bytes16& Ipv6Bytes() const noexcept { return bytes_; }

  // 0.0.0.0 or ::, the address of a socket bound to no address or of a
  // listener's missing peer.
  bool IsUnspecified() const noexcept;
  // 127.0.0.0/8 or ::1.
  bool IsLoopback() const noexcept;

  // Dotted text for IPv4, RFC 5952 text for IPv6 (lower case, leading
  // zeros dropped, the longest run of two or more zero groups as "::").
  std::string ToText() const;

  friend constexpr bool operator==(const IpAddress&, const IpAddress&) = default;
  // IPv4 before IPv6, then by the address as a number.
  friend constexpr std::strong_ordering operator<=>(const IpAddress& a, const IpAddress& b) {
    if (const bool aIsV6 = !a.IsIpv4(), bIsV6 = !b.IsIpv4(); aIsV6 != bIsV6) {
      return aIsV6 <=> bIsV6;
    }
    return a.bytes_ <=> b.bytes_;
  }

 private:
  constexpr explicit IpAddress(const Bytes16& bytes) : bytes_(bytes) {}

  Bytes16 bytes_{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0};
};

// The IPv4 address of four octets.
constexpr IpAddress Ipv4Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return IpAddress::FromIpv4(Ipv4(a, b, c, d));
}

// The address of this host itself: 127.0.0.1 or ::1 (the rest of
// 127.0.0.0/8 is loopback, but not the host's own name).
inline bool IsLocalHostAddress(const IpAddress& address) {
  return address == Ipv4Address(127, 0, 0, 1) || (!address.IsIpv4() && address.IsLoopback());
}

// Dotted IPv4 text or IPv6 text (any form inet_pton takes, mixed notation
// included); nothing for anything else, zone suffixes ("%eth0") included.
std::optional<IpAddress> ParseIpAddress(std::string_view text);

}  // namespace harlune::protocol

namespace harlune {
using protocol::FormatIpv4;
using protocol::IpAddress;
using protocol::Ipv4;
using protocol::Ipv4Address;
using protocol::IsLocalHostAddress;
using protocol::ParseIpAddress;
using protocol::ParseIpv4;
}  // namespace harlune
