#include "support/inet_socket.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

namespace harlune::testing {
namespace {

// The socket address of a text address and a stored port; the family is
// the socket's, so an IPv4-mapped text is an IPv6 address.
socklen_t AddressOf(int fd, const std::string& text, std::uint32_t port, sockaddr_storage& out) {
  out = {};
  int family = AF_INET;
  socklen_t size = sizeof family;
  getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &size);
  if (family == AF_INET6) {
    auto& address = reinterpret_cast<sockaddr_in6&>(out);
    address.sin6_family = AF_INET6;
    address.sin6_port = static_cast<in_port_t>(port);
    return inet_pton(AF_INET6, text.c_str(), &address.sin6_addr) == 1 ? sizeof address : 0;
  }
  auto& address = reinterpret_cast<sockaddr_in&>(out);
  address.sin_family = AF_INET;
  address.sin_port = static_cast<in_port_t>(port);
  return inet_pton(AF_INET, text.c_str(), &address.sin_addr) == 1 ? sizeof address : 0;
}

}  // namespace

InetSocket InetSocket::Open(int family) {
  return InetSocket(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
}

InetSocket::InetSocket(int fd) : fd_(fd) {
  if (fd_ >= 0) {
    const timeval timeout{2, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  }
}

InetSocket::InetSocket(InetSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

InetSocket::~InetSocket() {
  if (fd_ >= 0) {
    // A reset rather than an orderly close, so that no TIME_WAIT stays.
    const linger now{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    close(fd_);
  }
}

std::uint32_t InetSocket::Port() const {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
  // Both families keep the port at the same place.
  return reinterpret_cast<const sockaddr_in&>(address).sin_port;
}

bool InetSocket::Listen(const std::string& address, std::uint32_t port) {
  sockaddr_storage bound;
  const socklen_t size = AddressOf(fd_, address, port, bound);
  // Dual-stack whatever the system's default says.
  const int v6Only = 0;
  setsockopt(fd_, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
  return size != 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&bound), size) == 0 &&
         listen(fd_, 8) == 0;
}

bool InetSocket::ConnectTo(const std::string& address, std::uint32_t port) {
  sockaddr_storage peer;
  const socklen_t size = AddressOf(fd_, address, port, peer);
  return size != 0 && connect(fd_, reinterpret_cast<const sockaddr*>(&peer), size) == 0;
}

InetSocket InetSocket::Accept() const {
  return InetSocket(accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

int InetSocket::ReceiveError() const {
  char byte = 0;
  return recv(fd_, &byte, 1, 0) < 0 ? errno : 0;
}

bool InetSocket::ReceivesByte() const {
  char byte = 0;
  return recv(fd_, &byte, 1, 0) == 1;
}

bool InetSocket::SendByte() const {
  const char byte = 'x';
  return send(fd_, &byte, 1, MSG_NOSIGNAL) == 1;
}

InetPair ConnectPair(const InetSocket& listener, int clientFamily, const std::string& address) {
  InetSocket client = InetSocket::Open(clientFamily);
  if (!client.ConnectTo(address, listener.Port())) {
    return InetPair{std::move(client), InetSocket(-1)};
  }
  return InetPair{std::move(client), listener.Accept()};
}

}  // namespace harlune::testing
