#pragma once

// Ending a TCP connection on Linux: SOCK_DESTROY over NETLINK_SOCK_DIAG,
// which aborts the local socket (its owner reads ECONNABORTED) and sends the
// peer a reset. It needs CAP_NET_ADMIN and a kernel built with
// CONFIG_INET_DIAG_DESTROY.
//
// The kernel looks a four-tuple up the way an arriving segment would be, so
// a tuple whose connection has ended can find the listening socket of its
// local port, and destroying that would end the listener. The socket is
// therefore first looked up alone, its answer checked against the whole
// four-tuple, and then destroyed by the cookie of the socket found: a socket
// that is not exactly the one asked for, or a new connection that reuses
// the tuple in between, is never touched and the result is kGone.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/control/connection_resetter.h"

namespace harlune {

class SockDestroyResetter : public ConnectionResetter {
 public:
  ConnectionResetResult ResetConnection(const TcpConnectionKey& key) override;
};

// The result for the errno of a lookup or destroy request (0 for success):
// EPERM and EACCES kNotPermitted, EOPNOTSUPP kNotSupported, ENOENT kGone.
ConnectionResetResult ConnectionResetResultOfErrno(int error);

// One socket as a sock_diag answer describes it.
struct SockDiagSocket {
  TcpConnectionKey key;
  std::array<std::uint32_t, 2> cookie{};
};

// What one datagram from the kernel says about the request numbered
// `sequence`. Messages of other requests are passed over.
struct SockDiagAnswer {
  bool complete = false;  // the datagram held the answer
  int error = 0;          // the kernel's errno, or EPROTO for a malformed answer
  std::optional<SockDiagSocket> socket;
};

SockDiagAnswer DecodeSockDiagAnswer(std::span<const std::byte> datagram, std::uint32_t sequence);

}  // namespace harlune
