#include "passthru/real/ip_packet.h"

#include <algorithm>
#include <cstdint>

#include "passthru/real/ip6_packet.h"
#include "protocol/byte_order.h"

namespace harlune {
namespace {

constexpr std::size_t kMinHeaderSize = 20;

// Network-order value of four bytes, as the records keep addresses.
std::uint32_t LoadRaw32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return protocol::HostToNet32(
      static_cast<std::uint32_t>((bytes[offset] << 24) | (bytes[offset + 1] << 16) |
                                 (bytes[offset + 2] << 8) | bytes[offset + 3]));
}

bool IsIpv4Header(std::span<const std::uint8_t> ip) {
  return ip.size() >= kMinHeaderSize && (ip[0] >> 4) == 4 && (ip[0] & 0x0Fu) >= 5;
}

}  // namespace

std::optional<Packet> ParseIpv4Packet(std::span<const std::uint8_t> ip, Direction direction) {
  if (!IsIpv4Header(ip)) {
    return std::nullopt;
  }
  const bool sending = direction == Direction::Send;
  Packet packet;
  packet.direction = direction;
  packet.protocol = ip[9];
  packet.length = protocol::LoadBe16(ip, 2);
  const std::uint32_t source = LoadRaw32(ip, 12);
  const std::uint32_t destination = LoadRaw32(ip, 16);
  packet.localAddress = IpAddress::FromIpv4(sending ? source : destination);
  packet.remoteAddress = IpAddress::FromIpv4(sending ? destination : source);

  const std::size_t headerSize = std::size_t{4} * (ip[0] & 0x0Fu);
  const bool laterFragment = (protocol::LoadBe16(ip, 6) & 0x1FFFu) != 0;
  const bool hasPorts = packet.protocol == kProtocolTcp || packet.protocol == kProtocolUdp;
  if (hasPorts && !laterFragment && ip.size() >= headerSize + 4) {
    const auto sourcePort = protocol::HostToNet16(protocol::LoadBe16(ip, headerSize));
    const auto destinationPort = protocol::HostToNet16(protocol::LoadBe16(ip, headerSize + 2));
    packet.localPort = sending ? sourcePort : destinationPort;
    packet.remotePort = sending ? destinationPort : sourcePort;
  }
  return packet;
}

std::uint32_t WireLength(std::span<const std::uint8_t> ip, std::uint32_t length,
                         std::uint32_t mtu) {
  if (length > mtu && IsIpv6Header(ip)) {
    return Ipv6WireLength(ip, length, mtu);
  }
  if (length <= mtu || !IsIpv4Header(ip)) {
    return length;
  }
  std::uint32_t headers = 4u * (ip[0] & 0x0Fu);
  const std::size_t tcpOffset = headers + 12;
  if (ip[9] == kProtocolTcp && ip.size() > tcpOffset) {
    headers += 4u * (ip[tcpOffset] >> 4);
  }
  std::uint32_t piece = mtu > headers ? mtu - headers : 0;
  if (ip[9] != kProtocolTcp) {
    piece &= ~7u;  // fragment offsets count in 8-byte units
  }
  if (piece == 0 || length <= headers) {
    return length;
  }
  const std::uint64_t carried = length - headers;
  const std::uint64_t pieces = (carried + piece - 1) / piece;
  const std::uint64_t wire = length + (pieces - 1) * headers;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(wire, UINT32_MAX));
}

std::optional<PacketKey> KeyOfIpv4Packet(std::span<const std::uint8_t> ip, Direction direction) {
  if (!IsIpv4Header(ip)) {
    return std::nullopt;
  }
  PacketKey key;
  key.source = IpAddress::FromIpv4(LoadRaw32(ip, 12));
  key.destination = IpAddress::FromIpv4(LoadRaw32(ip, 16));
  key.identification = protocol::LoadBe16(ip, 4);
  key.protocol = ip[9];
  key.direction = direction;
  return key;
}

}  // namespace harlune
