#pragma once

// Ending a TCP connection on Linux with SOCK_DESTROY (sock_diag_destroy.h):
// it needs CAP_NET_ADMIN and a kernel built with CONFIG_INET_DIAG_DESTROY,
// and it never touches a socket other than the one the key names exactly.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/control/connection_resetter.h"
#include "protocol/tcp_four_tuple.h"

namespace harlune {

class SockDestroyResetter : public ConnectionResetter {
 public:
  ConnectionResetResult ResetConnection(const TcpFourTuple& key) override;
};

// The result for the errno of a lookup or destroy request (0 for success):
// EPERM and EACCES kNotPermitted, EOPNOTSUPP kNotSupported, ENOENT kGone.
ConnectionResetResult ConnectionResetResultOfErrno(int error);

// One socket as a sock_diag answer describes it.
struct SockDiagSocket {
  TcpFourTuple key;
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
