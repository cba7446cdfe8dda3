#pragma once

// A TCP connection seen from its local end: the one four-tuple that keys the
// connection table, names a connection to end, and is the input of the
// driver's reset requests.
//
// HlResetTcpConnection carries an IPv4 tuple in sixteen bytes laid out as
// four 32-bit words, like a row of the system's TCP table without its state:
//
//   0 local address | 4 local port, 2 zero bytes | 8 remote address |
//   12 remote port, 2 zero bytes
//
// HlResetTcp6Connection carries an IPv6 tuple in forty bytes, the same
// layout with 16-byte addresses:
//
//   0 local address | 16 local port, 2 zero bytes | 20 remote address |
//   36 remote port, 2 zero bytes
//
// Addresses and ports are in network byte order. The reply carries one
// little-endian status word: the errno of the driver's attempt, 0 when the
// connection was ended.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/ip_address.h"

namespace harlune::protocol {

inline constexpr std::size_t kTcpFourTupleSize = 16;
inline constexpr std::size_t kTcp6FourTupleSize = 40;
inline constexpr std::size_t kResetStatusSize = 4;

// Ports are stored values as the system's TCP table holds them: network
// byte order in the low 16 bits of the word.
struct TcpFourTuple {
  IpAddress localAddr;
  std::uint32_t localPort = 0;
  IpAddress remoteAddr;
  std::uint32_t remotePort = 0;

  friend bool operator==(const TcpFourTuple&, const TcpFourTuple&) = default;
};

// Whether the tuple can name an established TCP connection: both ports set
// and within 16 bits, both addresses of one family and unicast (not
// unspecified, 0.0.0.0/8, multicast or the IPv4 broadcast address). A
// listening socket's tuple (remote 0.0.0.0:0 or [::]:0) never can.
bool NamesTcpConnection(const TcpFourTuple& tuple);

// The sixteen bytes of an IPv4 tuple (the caller checks it is one).
std::array<std::uint8_t, kTcpFourTupleSize> EncodeTcpFourTuple(const TcpFourTuple& tuple);
// Nothing unless the input is exactly 16 bytes, the padding is zero and the
// tuple names a connection.
std::optional<TcpFourTuple> DecodeTcpFourTuple(std::span<const std::uint8_t> bytes);

// The forty bytes of an IPv6 tuple (the caller checks it is one).
std::array<std::uint8_t, kTcp6FourTupleSize> EncodeTcp6FourTuple(const TcpFourTuple& tuple);
// Nothing unless the input is exactly 40 bytes, the padding is zero, and the
// tuple names a connection of IPv6 addresses: an IPv4-mapped address
// belongs in the sixteen-byte request, so it is refused here.
std::optional<TcpFourTuple> DecodeTcp6FourTuple(std::span<const std::uint8_t> bytes);

}  // namespace harlune::protocol

namespace harlune {
using protocol::TcpFourTuple;
}  // namespace harlune
