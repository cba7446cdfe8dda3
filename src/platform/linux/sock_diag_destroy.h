#pragma once

// Ending a TCP connection by SOCK_DESTROY over NETLINK_SOCK_DIAG, which
// aborts the local socket (its owner reads ECONNABORTED) and sends the peer
// a reset. It needs CAP_NET_ADMIN and a kernel built with
// CONFIG_INET_DIAG_DESTROY. Both the application and harlune-passthru use
// it, so it depends on the protocol library only.
//
// The kernel looks a four-tuple up the way an arriving segment would be, so
// a tuple whose connection has ended can find the listening socket of its
// local port, and destroying that would end the listener. The socket is
// therefore first looked up alone, its answer checked against the whole
// four-tuple, and then destroyed by the cookie of the socket found: a socket
// that is not exactly the one asked for, or a new connection that reuses
// the tuple in between, is never touched and the result is ENOENT.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "protocol/tcp_four_tuple.h"

namespace harlune::sock_diag {

// Ends exactly the connection of the tuple. The errno of the attempt, 0 when
// it was ended: EPERM or EACCES without the privilege, EOPNOTSUPP on a
// kernel without SOCK_DESTROY, ENOENT when no such connection exists. The
// kernel gets two seconds to answer.
int DestroyTcpConnection(const protocol::TcpFourTuple& tuple);

// One socket as a sock_diag answer describes it.
struct SocketRecord {
  protocol::TcpFourTuple tuple;
  std::array<std::uint32_t, 2> cookie{};
};

// What one datagram from the kernel says about the request numbered
// `sequence`. Messages of other requests are passed over.
struct Answer {
  bool complete = false;  // the datagram held the answer
  int error = 0;          // the kernel's errno, or EPROTO for a malformed answer
  std::optional<SocketRecord> socket;
};

Answer DecodeAnswer(std::span<const std::byte> datagram, std::uint32_t sequence);

}  // namespace harlune::sock_diag
