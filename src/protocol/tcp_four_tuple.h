#pragma once

// Input of HlResetTcpConnection: the IPv4 TCP connection to end, seen from
// its local end. Sixteen bytes laid out as four 32-bit words, like a row of
// the system's TCP table without its state:
//
//   0 local address | 4 local port, 2 zero bytes | 8 remote address |
//   12 remote port, 2 zero bytes
//
// Addresses and ports are in network byte order. The reply carries one
// little-endian status word: the errno of the driver's attempt, 0 when the
// connection was ended.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace harlune::protocol {

inline constexpr std::size_t kTcpFourTupleSize = 16;
inline constexpr std::size_t kResetStatusSize = 4;

// Every field is a stored value in network byte order (as in_addr::s_addr
// and sockaddr_in::sin_port hold them).
struct TcpFourTuple {
  std::uint32_t localAddr = 0;
  std::uint16_t localPort = 0;
  std::uint32_t remoteAddr = 0;
  std::uint16_t remotePort = 0;

  bool operator==(const TcpFourTuple&) const = default;
};

// Whether the tuple can name an established TCP connection: both ports set
// and both addresses unicast (not 0.0.0.0/8, multicast or the broadcast
// address). A listening socket's tuple (remote 0.0.0.0:0) never can.
bool NamesTcpConnection(const TcpFourTuple& tuple);

std::array<std::uint8_t, kTcpFourTupleSize> EncodeTcpFourTuple(const TcpFourTuple& tuple);
// Nothing unless the input is exactly 16 bytes, the padding is zero and the
// tuple names a connection.
std::optional<TcpFourTuple> DecodeTcpFourTuple(std::span<const std::uint8_t> bytes);

}  // namespace harlune::protocol
