#pragma once

// The system's table of TCP sockets of both families as the connection
// monitor reads it once a second. Each row is one socket with its state as a
// MIB TCP state number, its addresses (an IPv6 socket's IPv4-mapped address
// is an IPv4 address), its ports as stored values in network byte order, and
// its owner when the source knows it.

#include <cstdint>
#include <vector>

#include "protocol/ip_address.h"

namespace harlune {

// The MIB TCP states. A row always holds one of these; the connection page
// indexes its state names by them.
inline constexpr std::uint32_t kTcpStateClosed = 1;
inline constexpr std::uint32_t kTcpStateListen = 2;
inline constexpr std::uint32_t kTcpStateSynSent = 3;
inline constexpr std::uint32_t kTcpStateSynRcvd = 4;
inline constexpr std::uint32_t kTcpStateEstablished = 5;
inline constexpr std::uint32_t kTcpStateFinWait1 = 6;
inline constexpr std::uint32_t kTcpStateFinWait2 = 7;
inline constexpr std::uint32_t kTcpStateCloseWait = 8;
inline constexpr std::uint32_t kTcpStateClosing = 9;
inline constexpr std::uint32_t kTcpStateLastAck = 10;
inline constexpr std::uint32_t kTcpStateTimeWait = 11;
inline constexpr std::uint32_t kTcpStateDeleteTcb = 12;

// A process id that no process has: the owner is not known.
inline constexpr std::int32_t kUnknownOwner = 0;

struct TcpTableRow {
  std::uint32_t state = kTcpStateClosed;  // 1..12
  IpAddress localAddr;                    // an IPv4-mapped address is IPv4
  std::uint32_t localPort = 0;            // network order in the low 16 bits
  IpAddress remoteAddr;
  std::uint32_t remotePort = 0;  // network order in the low 16 bits
  // The owning process, kUnknownOwner when the source cannot tell (a socket
  // in TIME_WAIT, another user's socket, or a source without owners).
  std::int32_t owningPid = kUnknownOwner;
  // The socket's inode, 0 when it has none (TIME_WAIT, not yet accepted).
  std::uint64_t inode = 0;

  friend bool operator==(const TcpTableRow&, const TcpTableRow&) = default;
};

struct TcpTableResult {
  bool ok = false;
  int errorCode = 0;  // errno of the failure when !ok
  std::vector<TcpTableRow> rows;
};

class TcpTableSource {
 public:
  virtual ~TcpTableSource() = default;
  // Every TCP socket of the system, IPv4 then IPv6, in the system's order; a failure
  // when the table could not be read (the caller ends the program, so a
  // partial table is never reported as a whole one).
  virtual TcpTableResult ReadTable() = 0;
  // Whether the rows carry their owners themselves (the extended table), as
  // opposed to owners found by local port or not at all (the plain table).
  virtual bool RowsCarryOwners() const = 0;
};

}  // namespace harlune
