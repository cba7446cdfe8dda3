#pragma once

// One IPv4 packet as the engine sees it, described from the adapter's side.

#include <array>
#include <cstdint>

namespace harlune {

enum class Direction : std::uint8_t {
  Send = 0,     // leaving the adapter (TBFMode 0)
  Receive = 1,  // arriving at the adapter (TBFMode 1)
};

inline constexpr std::uint8_t kProtocolIcmp = 1;
inline constexpr std::uint8_t kProtocolTcp = 6;
inline constexpr std::uint8_t kProtocolUdp = 17;

using MacAddress = std::array<std::uint8_t, 6>;

struct Packet {
  Direction direction = Direction::Send;
  std::uint8_t protocol = kProtocolTcp;
  // Addresses and ports in network byte order, as the records keep them.
  std::uint32_t localAddress = 0;
  std::uint32_t remoteAddress = 0;
  std::uint16_t localPort = 0;
  std::uint16_t remotePort = 0;
  std::uint32_t length = 0;  // IPv4 total length in bytes
  MacAddress localMac{};
  MacAddress remoteMac{};
  // Opaque to the engine: a packet source's handle (a queue verdict id, say)
  // handed back when a queued packet is released or dropped.
  std::uint64_t sourceTag = 0;
};

}  // namespace harlune
