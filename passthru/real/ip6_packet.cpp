#include "passthru/real/ip6_packet.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace harlune {
namespace {

constexpr std::size_t kFragmentHeaderSize = 8;
constexpr std::size_t kHashedBytes = 24;

IpAddress AddressAt(std::span<const std::uint8_t> ip, std::size_t offset) {
  IpAddress::Bytes16 bytes{};
  std::copy_n(ip.begin() + static_cast<std::ptrdiff_t>(offset), bytes.size(), bytes.begin());
  return IpAddress::FromIpv6(bytes);
}

bool HasPorts(std::uint8_t protocol) {
  return protocol == kProtocolTcp || protocol == kProtocolUdp;
}

// The transport ports in network order, when the chain reaches them.
std::optional<FragmentedPorts> PortsOf(std::span<const std::uint8_t> ip, const Ipv6Chain& chain) {
  if (!HasPorts(chain.upperProtocol) || chain.transportOffset == 0 ||
      ip.size() < chain.transportOffset + 4) {
    return std::nullopt;
  }
  return FragmentedPorts{chain.upperProtocol,
                         protocol::HostToNet16(protocol::LoadBe16(ip, chain.transportOffset)),
                         protocol::HostToNet16(protocol::LoadBe16(ip, chain.transportOffset + 2))};
}

void SetPorts(Packet& packet, const FragmentedPorts& ports) {
  const bool sending = packet.direction == Direction::Send;
  packet.localPort = sending ? ports.sourcePort : ports.destinationPort;
  packet.remotePort = sending ? ports.destinationPort : ports.sourcePort;
}

// FNV-1a: short, and the same on both of the daemon's paths.
std::uint32_t HashBytes(std::span<const std::uint8_t> bytes, std::uint32_t seed) {
  std::uint32_t hash = 2166136261u ^ seed;
  for (const std::uint8_t byte : bytes) {
    hash = (hash ^ byte) * 16777619u;
  }
  return hash;
}

}  // namespace

std::optional<Ipv6Packet> ParseIpv6Packet(std::span<const std::uint8_t> ip, Direction direction) {
  const std::optional<Ipv6Chain> chain = WalkIpv6Chain(ip);
  if (!chain) {
    return std::nullopt;
  }
  const bool sending = direction == Direction::Send;
  Ipv6Packet parsed{{}, *chain};
  Packet& packet = parsed.packet;
  packet.direction = direction;
  packet.family = IpFamily::Ipv6;
  packet.protocol = chain->upperProtocol;
  packet.length = kIpv6HeaderSize + protocol::LoadBe16(ip, 4);
  const IpAddress source = AddressAt(ip, 8);
  const IpAddress destination = AddressAt(ip, 24);
  packet.localAddress = sending ? source : destination;
  packet.remoteAddress = sending ? destination : source;
  if (const std::optional<FragmentedPorts> ports = PortsOf(ip, *chain)) {
    SetPorts(packet, *ports);
  }
  return parsed;
}

std::optional<Packet> ParseIpPacket(std::span<const std::uint8_t> ip, Direction direction,
                                    FragmentPorts& fragments, std::uint64_t nowNanoseconds) {
  if (!IsIpv6Header(ip)) {
    return ParseIpv4Packet(ip, direction);
  }
  std::optional<Ipv6Packet> parsed = ParseIpv6Packet(ip, direction);
  if (!parsed || !parsed->chain.fragment) {
    return parsed ? std::optional<Packet>(parsed->packet) : std::nullopt;
  }
  Packet& packet = parsed->packet;
  const IpAddress source = AddressAt(ip, 8);
  const IpAddress destination = AddressAt(ip, 24);
  const std::uint32_t id = parsed->chain.fragment->identification;
  if (!parsed->chain.LaterFragment()) {
    if (const std::optional<FragmentedPorts> ports = PortsOf(ip, parsed->chain)) {
      fragments.Remember(source, destination, id, *ports, nowNanoseconds);
    }
  } else if (const auto ports = fragments.Find(source, destination, id, nowNanoseconds);
             ports && ports->protocol == packet.protocol) {
    SetPorts(packet, *ports);
  } else {
    packet.unclassified = true;
  }
  return packet;
}

std::uint32_t Ipv6WireLength(std::span<const std::uint8_t> ip, std::uint32_t length,
                             std::uint32_t mtu) {
  const std::optional<Ipv6Chain> chain = WalkIpv6Chain(ip);
  if (length <= mtu || !chain || chain->fragment) {
    return length;
  }
  const bool tcp = chain->upperProtocol == kProtocolTcp && chain->transportOffset != 0 &&
                   ip.size() > chain->transportOffset + 12;
  // What the packet is cut after, and what each piece carries before its
  // share of the rest.
  const std::size_t kept =
      tcp ? chain->transportOffset + std::size_t{4} * (ip[chain->transportOffset + 12] >> 4)
          : kIpv6HeaderSize + chain->unfragmentableBytes;
  const std::size_t repeated = tcp ? kept : kept + kFragmentHeaderSize;
  if (length <= kept || mtu <= repeated) {
    return length;
  }
  std::uint64_t piece = mtu - repeated;
  if (!tcp) {
    piece &= ~std::uint64_t{7};  // fragment offsets count in 8-byte units
  }
  if (piece == 0) {
    return length;
  }
  const std::uint64_t carried = length - kept;
  const std::uint64_t pieces = (carried + piece - 1) / piece;
  const std::uint64_t wire = carried + pieces * repeated;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(wire, UINT32_MAX));
}

std::optional<PacketKey> KeyOfIpv6Packet(std::span<const std::uint8_t> ip, Direction direction) {
  const std::optional<Ipv6Chain> chain = WalkIpv6Chain(ip);
  if (!chain) {
    return std::nullopt;
  }
  PacketKey key;
  key.source = AddressAt(ip, 8);
  key.destination = AddressAt(ip, 24);
  key.protocol = chain->upperProtocol;
  key.direction = direction;
  if (const std::optional<FragmentedPorts> ports = PortsOf(ip, *chain)) {
    key.ports = (std::uint32_t{ports->sourcePort} << 16) | ports->destinationPort;
  }
  const std::size_t transport = chain->transportOffset;
  if (chain->LaterFragment()) {
    key.identification = chain->fragment->identification;
    key.detail = chain->fragment->offset;
  } else if (chain->upperProtocol == kProtocolTcp && transport != 0 &&
             ip.size() >= transport + 12) {
    key.identification = protocol::LoadBe32(ip, transport + 4);
    key.detail = protocol::LoadBe32(ip, transport + 8);
  } else {
    key.identification = protocol::LoadBe16(ip, 4);
    const std::size_t from = transport != 0 ? transport : kIpv6HeaderSize;
    const auto hashed = ip.subspan(std::min(from, ip.size()))
                            .first(std::min(kHashedBytes, ip.size() - std::min(from, ip.size())));
    key.detail = HashBytes(hashed, protocol::LoadBe32(ip, 0) & 0xFFFFFu);
  }
  return key;
}

std::optional<PacketKey> KeyOfIpPacket(std::span<const std::uint8_t> ip, Direction direction) {
  return IsIpv6Header(ip) ? KeyOfIpv6Packet(ip, direction) : KeyOfIpv4Packet(ip, direction);
}

bool IsIpFragment(std::span<const std::uint8_t> ip) {
  if (!IsIpv6Header(ip)) {
    // Not a whole IPv4 header either: in doubt. Else the flags' MF bit (a
    // first fragment) or the 13-bit offset (a later one).
    return ip.size() < 20 || (ip[0] >> 4) != 4 || (protocol::LoadBe16(ip, 6) & 0x3FFFu) != 0;
  }
  const std::optional<Ipv6Chain> chain = WalkIpv6Chain(ip);
  return !chain || chain->fragment.has_value();
}

}  // namespace harlune
