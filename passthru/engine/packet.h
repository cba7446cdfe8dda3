#pragma once

// One IPv4 or IPv6 packet as the engine sees it, described from the
// adapter's side.

#include <array>
#include <cstdint>

#include "protocol/ip_address.h"

namespace harlune {

enum class Direction : std::uint8_t {
  Send = 0,     // leaving the adapter (TBFMode 0)
  Receive = 1,  // arriving at the adapter (TBFMode 1)
};

// Kept apart from the addresses: an IPv6 packet is IPv6 even if it carried
// IPv4-mapped addresses, which IpAddress takes as IPv4.
enum class IpFamily : std::uint8_t {
  Ipv4 = 0,
  Ipv6 = 1,
};

inline constexpr std::uint8_t kProtocolIcmp = 1;
inline constexpr std::uint8_t kProtocolTcp = 6;
inline constexpr std::uint8_t kProtocolUdp = 17;
inline constexpr std::uint8_t kProtocolIcmpv6 = 58;
inline constexpr std::uint32_t kIpv6HeaderSize = 40;

using MacAddress = std::array<std::uint8_t, 6>;

struct Packet {
  Direction direction = Direction::Send;
  IpFamily family = IpFamily::Ipv4;
  // IPv4: the protocol field; IPv6: the upper layer after the extension
  // headers.
  std::uint8_t protocol = kProtocolTcp;
  IpAddress localAddress;
  IpAddress remoteAddress;
  // Ports in network byte order, as the records keep them.
  std::uint16_t localPort = 0;
  std::uint16_t remotePort = 0;
  // The IP-layer length in bytes: IPv4 total length, IPv6 40 + payload
  // length.
  std::uint32_t length = 0;
  // A later IPv6 fragment whose first fragment was not seen: its ports are
  // unknown, so it matches no class (the totals still count it).
  bool unclassified = false;
  MacAddress localMac{};
  MacAddress remoteMac{};
  // Opaque to the engine: a packet source's handle (a queue verdict id, say)
  // handed back when a queued packet is released or dropped.
  std::uint64_t sourceTag = 0;
};

}  // namespace harlune
