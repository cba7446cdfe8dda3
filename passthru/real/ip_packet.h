#pragma once

// Reading the packet the engine needs from the bytes of a real IPv4 packet
// (IPv6 packets: ip6_packet.h).

#include <cstdint>
#include <optional>
#include <span>

#include "passthru/engine/packet.h"

namespace harlune {

// The packet described by an IPv4 header and what follows it, seen from the
// adapter's side in `direction` (the source is local when sending). Empty
// for anything but a whole IPv4 header. The length is the header's total
// length; ports are read only when the packet is not a later fragment and
// its first four transport bytes are there.
std::optional<Packet> ParseIpv4Packet(std::span<const std::uint8_t> ip, Direction direction);

// The bytes an IPv4 packet of `length` bytes puts on a link of `mtu` bytes.
// The kernel hands over segmentation offload packets (and datagrams it will
// fragment) whole; on the wire each piece repeats the headers. TCP pieces
// repeat the IPv4 and TCP headers and carry the rest of the MTU, as a
// segment of the link's maximum size does; other protocols become IPv4
// fragments, which repeat only the IPv4 header. A packet that fits the MTU,
// or whose header is not all there, is its own length. An IPv6 packet
// (version 6) is measured by Ipv6WireLength.
std::uint32_t WireLength(std::span<const std::uint8_t> ip, std::uint32_t length, std::uint32_t mtu);

// What identifies one packet on both of the daemon's paths (the capture of
// the wire and the verdict queue): direction, addresses, protocol and the
// IPv4 identification. IPv6 has no identification field; its key is made
// of what tells two packets of a flow apart (KeyOfIpv6Packet).
struct PacketKey {
  IpAddress source;
  IpAddress destination;
  std::uint32_t identification = 0;
  std::uint32_t detail = 0;  // IPv6 only
  std::uint32_t ports = 0;   // IPv6 only: source port << 16 | destination port
  std::uint8_t protocol = 0;
  Direction direction = Direction::Send;

  auto operator<=>(const PacketKey&) const = default;
};

std::optional<PacketKey> KeyOfIpv4Packet(std::span<const std::uint8_t> ip, Direction direction);

}  // namespace harlune
