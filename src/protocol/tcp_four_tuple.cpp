#include "protocol/tcp_four_tuple.h"

#include "protocol/byte_order.h"

namespace harlune::protocol {
namespace {

constexpr std::size_t kLocalAddr = 0;
constexpr std::size_t kLocalPort = 4;
constexpr std::size_t kRemoteAddr = 8;
constexpr std::size_t kRemotePort = 12;
constexpr std::size_t kPortPadding = 2;  // each port fills the low half of a word

bool UnicastAddress(std::uint32_t stored) {
  const std::uint32_t address = NetToHost32(stored);
  const std::uint32_t firstOctet = address >> 24;
  const bool thisNetwork = firstOctet == 0;
  const bool multicast = firstOctet >= 224 && firstOctet <= 239;
  const bool broadcast = address == 0xFFFFFFFFu;
  return !thisNetwork && !multicast && !broadcast;
}

bool PaddingIsZero(ConstBytes bytes, std::size_t portOffset) {
  return LoadLe16(bytes, portOffset + kPortPadding) == 0;
}

}  // namespace

bool NamesTcpConnection(const TcpFourTuple& tuple) {
  return tuple.localPort != 0 && tuple.remotePort != 0 && UnicastAddress(tuple.localAddr) &&
         UnicastAddress(tuple.remoteAddr);
}

std::array<std::uint8_t, kTcpFourTupleSize> EncodeTcpFourTuple(const TcpFourTuple& tuple) {
  std::array<std::uint8_t, kTcpFourTupleSize> bytes{};
  StoreRaw(bytes, kLocalAddr, tuple.localAddr);
  StoreRaw(bytes, kLocalPort, tuple.localPort);
  StoreRaw(bytes, kRemoteAddr, tuple.remoteAddr);
  StoreRaw(bytes, kRemotePort, tuple.remotePort);
  return bytes;
}

std::optional<TcpFourTuple> DecodeTcpFourTuple(std::span<const std::uint8_t> bytes) {
  if (bytes.size() != kTcpFourTupleSize || !PaddingIsZero(bytes, kLocalPort) ||
      !PaddingIsZero(bytes, kRemotePort)) {
    return std::nullopt;
  }
  const TcpFourTuple tuple{
      LoadRaw<std::uint32_t>(bytes, kLocalAddr), LoadRaw<std::uint16_t>(bytes, kLocalPort),
      LoadRaw<std::uint32_t>(bytes, kRemoteAddr), LoadRaw<std::uint16_t>(bytes, kRemotePort)};
  if (!NamesTcpConnection(tuple)) {
    return std::nullopt;
  }
  return tuple;
}

}  // namespace harlune::protocol
