#include "support/loopback_socket.h"

#include <sys/socket.h>

namespace harlune::testing {

LoopbackSocket::LoopbackSocket() : InetSocket(Open(AF_INET)) {}

bool LoopbackSocket::Listen() { return InetSocket::Listen("127.0.0.1"); }

bool LoopbackSocket::ConnectTo(std::uint32_t port) {
  return InetSocket::ConnectTo("127.0.0.1", port);
}

LoopbackSocket LoopbackSocket::Accept() const {
  return LoopbackSocket(accept4(Fd(), nullptr, nullptr, SOCK_CLOEXEC));
}

}  // namespace harlune::testing
