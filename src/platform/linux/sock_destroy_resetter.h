#pragma once

// Ending a TCP connection on Linux with SOCK_DESTROY (sock_diag_destroy.h):
// it needs CAP_NET_ADMIN and a kernel built with CONFIG_INET_DIAG_DESTROY,
// and it never touches a socket other than the one the key names exactly.
// Keys of both families are ended; an IPv4 key ends the connection whether
// an IPv4 socket or an IPv6 socket with mapped addresses holds it.

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

}  // namespace harlune
