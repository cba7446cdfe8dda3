#pragma once

// TCP sockets on 127.0.0.1 for tests that need real connections in the
// system's table: a listener, a connected pair, and the error a peer reads.

#include <cstdint>

namespace harlune::testing {

class LoopbackSocket {
 public:
  // A new, unbound TCP socket, or an accepted one. Receives time out after
  // two seconds so that a test that goes wrong does not hang.
  LoopbackSocket();
  explicit LoopbackSocket(int fd);
  ~LoopbackSocket();
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  int Fd() const { return fd_; }
  // The local port, network order as the TCP table stores it.
  std::uint32_t Port() const;

  // Binds to 127.0.0.1 on a free port and listens.
  bool Listen();
  // Connects to a listener on 127.0.0.1.
  bool ConnectTo(std::uint32_t port);
  // Accepts one connection; an invalid socket on failure.
  LoopbackSocket Accept() const;

  // The errno of the next receive; 0 when it did not fail.
  int ReceiveError() const;

 private:
  int fd_;
};

}  // namespace harlune::testing
