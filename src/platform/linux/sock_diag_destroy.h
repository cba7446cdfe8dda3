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
// therefore first found in a dump of the sockets with the tuple's two ports
// (a dump that names a remote port lists no listener), matched against the
// whole four-tuple, and then destroyed by the cookie of the socket found: a
// socket that is not exactly the one asked for, or a new connection that
// reuses the tuple in between, is never touched and the result is ENOENT.
//
// An IPv4 connection may belong to an IPv4 socket or to an IPv6 socket with
// IPv4-mapped addresses (a dual-stack listener's accepted socket, a client
// that connected to ::ffff:a.b.c.d). A dump lists one family's sockets, so
// an IPv4 tuple is looked for among the IPv4 sockets and then among the
// IPv6 ones; the socket found is destroyed with its own family and the
// device it is bound to, which the kernel's lookup of a link-local address
// needs.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "protocol/tcp_four_tuple.h"

namespace harlune::sock_diag {

// Ends exactly the connection of the tuple. The errno of the attempt, 0 when
// it was ended: EPERM or EACCES without the privilege, EOPNOTSUPP on a
// kernel without SOCK_DESTROY, ENOENT when no such connection exists. The
// kernel gets two seconds to answer each request.
int DestroyTcpConnection(const protocol::TcpFourTuple& tuple);

// One socket as a sock_diag answer describes it. IPv4-mapped addresses of
// an IPv6 socket read as the IPv4 addresses.
struct SocketRecord {
  protocol::TcpFourTuple tuple;
  std::uint8_t family = 0;           // the socket's own: AF_INET or AF_INET6
  std::uint32_t interfaceIndex = 0;  // the device it is bound to, 0 for none
  std::array<std::uint32_t, 2> cookie{};
};

// What one datagram from the kernel says about the request numbered
// `sequence`. Messages of other requests are passed over.
struct Answer {
  // The request's answer ended: its dump's end, its error or its
  // acknowledgement was in the datagram.
  bool complete = false;
  int error = 0;  // the kernel's errno, or EPROTO for a malformed answer
  // The sockets the datagram lists for the request; none when error is set.
  std::vector<SocketRecord> sockets;
};

Answer DecodeAnswer(std::span<const std::byte> datagram, std::uint32_t sequence);

}  // namespace harlune::sock_diag
