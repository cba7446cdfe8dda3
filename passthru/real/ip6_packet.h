#pragma once

// Reading the packet the engine needs from the bytes of a real IPv6 packet,
// through its extension headers (passthru/engine/ipv6_chain.h), and the
// other questions the daemon asks of a packet of either family.

#include <cstdint>
#include <optional>
#include <span>

#include "passthru/engine/ipv6_chain.h"
#include "passthru/engine/packet.h"
#include "passthru/real/fragment_ports.h"
#include "passthru/real/ip_packet.h"

namespace harlune {

struct Ipv6Packet {
  Packet packet;
  Ipv6Chain chain;
};

// The packet described by an IPv6 header and what follows, seen from the
// adapter's side in `direction`. Empty for anything but a whole fixed IPv6
// header. The length is 40 + the payload length; the protocol is the upper
// layer after the extension headers; ports are read when its first four
// bytes are there and the packet is not a later fragment.
std::optional<Ipv6Packet> ParseIpv6Packet(std::span<const std::uint8_t> ip, Direction direction);

// An IPv4 or IPv6 packet, told apart by the version nibble. The ports of a
// first IPv6 fragment are remembered in `fragments`; a later fragment takes
// them from there, or is unclassified when its first was not seen.
std::optional<Packet> ParseIpPacket(std::span<const std::uint8_t> ip, Direction direction,
                                    FragmentPorts& fragments, std::uint64_t nowNanoseconds);

// The bytes an IPv6 packet of `length` bytes puts on a link of `mtu` bytes:
// TCP offload packets become segments that each repeat the fixed header, the
// extension headers and the TCP header; anything else becomes fragments that
// each repeat the fixed header and the extension headers before the
// fragmentable part, plus an 8-byte fragment header, and carry a multiple of
// 8 bytes. A packet that fits, or is already a fragment, is its own length.
std::uint32_t Ipv6WireLength(std::span<const std::uint8_t> ip, std::uint32_t length,
                             std::uint32_t mtu);

// The key of an IPv6 packet: addresses, upper protocol and ports, then for
// TCP the sequence and acknowledgement numbers, for a later fragment its
// identification and offset, and for anything else the payload length and a
// short hash of the flow label and the first bytes of the upper layer.
std::optional<PacketKey> KeyOfIpv6Packet(std::span<const std::uint8_t> ip, Direction direction);
// KeyOfIpv4Packet or KeyOfIpv6Packet by the version nibble.
std::optional<PacketKey> KeyOfIpPacket(std::span<const std::uint8_t> ip, Direction direction);

// Whether the packet is a fragment, first or later, of either family, or
// not a whole header of either, or an IPv6 packet whose chain could not be
// followed: one that does not speak for its flow.
bool IsIpFragment(std::span<const std::uint8_t> ip);

}  // namespace harlune
