#pragma once

// TCP sockets on 127.0.0.1 for tests that need real connections in the
// system's table: a listener, a connected pair, and the error a peer reads.

#include <cstdint>

#include "support/inet_socket.h"

namespace harlune::testing {

class LoopbackSocket : public InetSocket {
 public:
  // A new, unbound IPv4 TCP socket, or an accepted one.
  LoopbackSocket();
  explicit LoopbackSocket(int fd) : InetSocket(fd) {}

  // Binds to 127.0.0.1 on a free port and listens.
  bool Listen();
  // Connects to a listener on 127.0.0.1 (port as the table stores it).
  bool ConnectTo(std::uint32_t port);
  // Accepts one connection; an invalid socket on failure.
  LoopbackSocket Accept() const;
};

}  // namespace harlune::testing
