#include "support/loopback_socket.h"

#include <unistd.h>

#include <cerrno>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "protocol/ip_address.h"

namespace harlune::testing {
namespace {

sockaddr_in LoopbackAddress(std::uint32_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = Ipv4(127, 0, 0, 1);
  address.sin_port = static_cast<in_port_t>(port);
  return address;
}

}  // namespace

LoopbackSocket::LoopbackSocket() : LoopbackSocket(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}

LoopbackSocket::LoopbackSocket(int fd) : fd_(fd) {
  if (fd_ >= 0) {
    const timeval timeout{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
}

LoopbackSocket::~LoopbackSocket() {
  if (fd_ >= 0) {
    // A reset rather than an orderly close, so that no TIME_WAIT stays.
    const linger now{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd_);
  }
}

std::uint32_t LoopbackSocket::Port() const {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
  return address.sin_port;
}

bool LoopbackSocket::Listen() {
  const sockaddr_in address = LoopbackAddress(0);
  return bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
         listen(fd_, 8) == 0;
}

bool LoopbackSocket::ConnectTo(std::uint32_t port) {
  const sockaddr_in address = LoopbackAddress(port);
  return connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

LoopbackSocket LoopbackSocket::Accept() const {
  return LoopbackSocket(accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

int LoopbackSocket::ReceiveError() const {
  char byte = 0;
  return recv(fd_, &byte, 1, 0) >= 0 ? 0 : errno;
}

}  // namespace harlune::testing
