#include "core/monitor/connection_info.h"

#include <bit>
#include <cstring>
#include <tuple>

namespace harlune {

ConnectionInfo ConnectionInfoFromRow(const TcpTableRow& row) {
  ConnectionInfo connection;
  connection.state = row.state;
  connection.localAddr = row.localAddr;
  connection.localPort = row.localPort;
  connection.remoteAddr = row.remoteAddr;
  connection.remotePort = row.remoteAddr.IsUnspecified() ? 0 : row.remotePort;
  connection.processId = row.owningPid == kUnknownOwner ? kUnknownProcessId : row.owningPid;
  return connection;
}

TcpFourTuple KeyOf(const ConnectionInfo& connection) {
  return {connection.localAddr, connection.localPort, connection.remoteAddr, connection.remotePort};
}

TcpFourTuple KeyOfRow(const TcpTableRow& row) {
  return {row.localAddr, row.localPort, row.remoteAddr,
          row.remoteAddr.IsUnspecified() ? 0 : row.remotePort};
}

namespace {

struct AddressWords {
  std::uint64_t high = 0;
  std::uint64_t low = 0;
};

AddressWords WordsOf(const IpAddress& address) {
  const IpAddress::Bytes16& bytes = address.Ipv6Bytes();
  AddressWords words;
  std::memcpy(&words.high, bytes.data(), sizeof words.high);
  std::memcpy(&words.low, bytes.data() + sizeof words.high, sizeof words.low);
  return words;
}

bool SameAddress(const IpAddress& a, const IpAddress& b) {
  const AddressWords first = WordsOf(a);
  const AddressWords second = WordsOf(b);
  return ((first.high ^ second.high) | (first.low ^ second.low)) == 0;
}

// The two 64-bit halves of an address's 16 bytes, mixed in.
std::uint64_t MixAddress(std::uint64_t hash, const IpAddress& address) {
  const AddressWords words = WordsOf(address);
  return (hash ^ words.high) * 0x9E3779B97F4A7C15u ^ words.low;
}

}  // namespace

std::size_t TcpFourTupleHash::operator()(const TcpFourTuple& tuple) const noexcept {
  std::uint64_t hash = (std::uint64_t{tuple.localPort} << 32) | tuple.remotePort;
  hash = MixAddress(hash, tuple.localAddr);
  hash = MixAddress(hash, tuple.remoteAddr);
  // The multiplications leave the low bits weakest; fold the high ones in.
  hash *= 0xBF58476D1CE4E5B9u;
  return static_cast<std::size_t>(hash ^ (hash >> 31));
}

bool TcpFourTupleEqual::operator()(const TcpFourTuple& a, const TcpFourTuple& b) const noexcept {
  return a.localPort == b.localPort && a.remotePort == b.remotePort &&
         SameAddress(a.localAddr, b.localAddr) && SameAddress(a.remoteAddr, b.remoteAddr);
}

bool ConnectionKeyLess::operator()(const TcpFourTuple& a, const TcpFourTuple& b) const noexcept {
  return std::tuple(HostOrderPort(a.localPort), a.localAddr, a.remotePort, a.remoteAddr) <
         std::tuple(HostOrderPort(b.localPort), b.localAddr, b.remotePort, b.remoteAddr);
}

std::uint16_t HostOrderPort(std::uint32_t storedPort) noexcept {
  const auto networkOrder = static_cast<std::uint16_t>(storedPort & 0xFFFFu);
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::uint16_t>((networkOrder >> 8) | (networkOrder << 8));
  } else {
    return networkOrder;
  }
}

}  // namespace harlune
