#pragma once

// One TCP connection of the connection table, and the four-tuple key that
// orders the table.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/monitor/tcp_table.h"
#include "protocol/tcp_four_tuple.h"

namespace harlune {

// controlMark values written by the connection control engine.
inline constexpr std::int32_t kControlMarkNone = 0;
inline constexpr std::int32_t kControlMarkSparedByThisRule = -1;
inline constexpr std::int32_t kControlMarkSpared = 1;
inline constexpr std::int32_t kControlMarkDisconnect = 2;

// A process id of a connection whose owner is not known.
inline constexpr std::int32_t kUnknownProcessId = -1;

struct ConnectionInfo {
  std::uint32_t state = kTcpStateClosed;  // MIB TCP state, 1..12
  IpAddress localAddr;                    // mapped addresses are IPv4
  std::uint32_t localPort = 0;            // network order in the low 16 bits
  IpAddress remoteAddr;                   // unspecified for a listening socket
  std::uint32_t remotePort = 0;           // network order; 0 when remoteAddr is unspecified
  std::int32_t processId = kUnknownProcessId;
  std::uint32_t connectedSeconds = 0;  // refreshes seen, 0 at the first
  std::uint32_t upBytesCycle = 0;      // since the last refresh
  std::uint32_t downBytesCycle = 0;
  std::uint32_t upBandwidth = 0;  // bytes during the last refresh period
  std::uint32_t downBandwidth = 0;
  std::uint64_t upTotal = 0;  // since first seen
  std::uint64_t downTotal = 0;
  std::string remoteHost;  // empty while unresolved
  std::int32_t controlMark = kControlMarkNone;
  std::string controlReason;

  friend bool operator==(const ConnectionInfo&, const ConnectionInfo&) = default;
};

// The record of a table row as first seen: the owner of a row that has
// none becomes kUnknownProcessId, and a connection without a remote address
// (a listening socket) has remote port 0 whatever the row said.
ConnectionInfo ConnectionInfoFromRow(const TcpTableRow& row);

// The connection's four-tuple: its key in the table, and what names it to
// the resetters.
TcpFourTuple KeyOf(const ConnectionInfo& connection);

// The key of the record a row makes (KeyOf(ConnectionInfoFromRow(row))),
// without making the record.
TcpFourTuple KeyOfRow(const TcpTableRow& row);

// The table's order: local port in host order, then the local address
// (IPv4 before IPv6), the stored remote port and the remote address. So the
// connections of one local port are adjacent.
struct ConnectionKeyLess {
  bool operator()(const TcpFourTuple& a, const TcpFourTuple& b) const noexcept;
};

// A hash of the four-tuple, for looking a row's connection up without
// walking the ordered table.
struct TcpFourTupleHash {
  std::size_t operator()(const TcpFourTuple& tuple) const noexcept;
};

// The tuples' equality in word-sized compares (the defaulted one calls
// memcmp for each address), for the same lookups.
struct TcpFourTupleEqual {
  bool operator()(const TcpFourTuple& a, const TcpFourTuple& b) const noexcept;
};

// A stored port (network order in the low 16 bits) in host order.
std::uint16_t HostOrderPort(std::uint32_t storedPort) noexcept;

}  // namespace harlune
