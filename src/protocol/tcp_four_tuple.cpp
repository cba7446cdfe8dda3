#include "protocol/tcp_four_tuple.h"

#include <algorithm>

#include "protocol/byte_order.h"

namespace harlune::protocol {
namespace {

constexpr std::uint32_t kPortMask = 0xFFFF;
constexpr std::size_t kPortPadding = 2;  // each port fills the low half of a word

struct Offsets {
  std::size_t localAddr;
  std::size_t localPort;
  std::size_t remoteAddr;
  std::size_t remotePort;
};
constexpr Offsets kIpv4Offsets{0, 4, 8, 12};
constexpr Offsets kIpv6Offsets{0, 16, 20, 36};

bool UnicastIpv4(std::uint32_t stored) {
  const std::uint32_t address = NetToHost32(stored);
  const std::uint32_t firstOctet = address >> 24;
  const bool thisNetwork = firstOctet == 0;
  const bool multicast = firstOctet >= 224 && firstOctet <= 239;
  const bool broadcast = address == 0xFFFFFFFFu;
  return !thisNetwork && !multicast && !broadcast;
}

bool Unicast(const IpAddress& address) {
  constexpr std::uint8_t kMulticastPrefix = 0xFF;  // ff00::/8
  if (address.IsIpv4()) {
    return UnicastIpv4(address.Ipv4Value());
  }
  return !address.IsUnspecified() && address.Ipv6Bytes()[0] != kMulticastPrefix;
}

bool PortNamed(std::uint32_t port) { return port != 0 && port <= kPortMask; }

bool PaddingIsZero(ConstBytes bytes, std::size_t portOffset) {
  return LoadLe16(bytes, portOffset + kPortPadding) == 0;
}

bool PaddingIsZero(ConstBytes bytes, const Offsets& offsets) {
  return PaddingIsZero(bytes, offsets.localPort) && PaddingIsZero(bytes, offsets.remotePort);
}

void StorePort(Bytes bytes, std::size_t offset, std::uint32_t port) {
  StoreRaw(bytes, offset, static_cast<std::uint16_t>(port & kPortMask));
}

IpAddress LoadIpv6(ConstBytes bytes, std::size_t offset) {
  IpAddress::Bytes16 address{};
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), address.size(), address.begin());
  return IpAddress::FromIpv6(address);
}

void StoreIpv6(Bytes bytes, std::size_t offset, const IpAddress& address) {
  std::ranges::copy(address.Ipv6Bytes(), bytes.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace

bool NamesTcpConnection(const TcpFourTuple& tuple) {
  return PortNamed(tuple.localPort) && PortNamed(tuple.remotePort) &&
         tuple.localAddr.IsIpv4() == tuple.remoteAddr.IsIpv4() && Unicast(tuple.localAddr) &&
         Unicast(tuple.remoteAddr);
}

std::array<std::uint8_t, kTcpFourTupleSize> EncodeTcpFourTuple(const TcpFourTuple& tuple) {
  std::array<std::uint8_t, kTcpFourTupleSize> bytes{};
  StoreRaw(bytes, kIpv4Offsets.localAddr, tuple.localAddr.Ipv4Value());
  StorePort(bytes, kIpv4Offsets.localPort, tuple.localPort);
  StoreRaw(bytes, kIpv4Offsets.remoteAddr, tuple.remoteAddr.Ipv4Value());
  StorePort(bytes, kIpv4Offsets.remotePort, tuple.remotePort);
  return bytes;
}

std::optional<TcpFourTuple> DecodeTcpFourTuple(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kTcpFourTupleSize || !PaddingIsZero(bytes, kIpv4Offsets)) {
    return std::nullopt;
  }
  const TcpFourTuple tuple{IpAddress::FromIpv4(LoadRaw<std::uint32_t>(bytes, 0)),
                           LoadRaw<std::uint16_t>(bytes, kIpv4Offsets.localPort),
                           IpAddress::FromIpv4(LoadRaw<std::uint32_t>(bytes, 8)),
                           LoadRaw<std::uint16_t>(bytes, kIpv4Offsets.remotePort)};
  if (!NamesTcpConnection(tuple)) {
    return std::nullopt;
  }
  return tuple;
}

std::array<std::uint8_t, kTcp6FourTupleSize> EncodeTcp6FourTuple(const TcpFourTuple& tuple) {
  std::array<std::uint8_t, kTcp6FourTupleSize> bytes{};
  StoreIpv6(bytes, kIpv6Offsets.localAddr, tuple.localAddr);
  StorePort(bytes, kIpv6Offsets.localPort, tuple.localPort);
  StoreIpv6(bytes, kIpv6Offsets.remoteAddr, tuple.remoteAddr);
  StorePort(bytes, kIpv6Offsets.remotePort, tuple.remotePort);
  return bytes;
}

std::optional<TcpFourTuple> DecodeTcp6FourTuple(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kTcp6FourTupleSize || !PaddingIsZero(bytes, kIpv6Offsets)) {
    return std::nullopt;
  }
  const TcpFourTuple tuple{LoadIpv6(bytes, kIpv6Offsets.localAddr),
                           LoadRaw<std::uint16_t>(bytes, kIpv6Offsets.localPort),
                           LoadIpv6(bytes, kIpv6Offsets.remoteAddr),
                           LoadRaw<std::uint16_t>(bytes, kIpv6Offsets.remotePort)};
  if (tuple.localAddr.IsIpv4() || tuple.remoteAddr.IsIpv4() || !NamesTcpConnection(tuple)) {
    return std::nullopt;
  }
  return tuple;
}

}  // namespace harlune::protocol
