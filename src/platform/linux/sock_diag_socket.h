#pragma once

// What the two users of NETLINK_SOCK_DIAG share: the socket, the message
// alignment and the reading of a socket's addresses.

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include "protocol/ip_address.h"

namespace harlune::sock_diag {

inline constexpr std::size_t kAlign = 4;  // netlink messages start on 4-byte bounds
constexpr std::size_t Aligned(std::size_t size) { return (size + kAlign - 1) & ~(kAlign - 1); }

// Every Linux TCP state that has a MIB state (TCP_ESTABLISHED 1 ..
// TCP_NEW_SYN_RECV 12), as a state bit mask.
inline constexpr std::uint32_t kAllStates = 0x1FFEu;

// An address of a socket id (idiag_src, idiag_dst). The kernel gives it in
// network order: an IPv4 one in the first word, an IPv6 one as the 16 bytes
// of the four words in memory order (mapped ones are IPv4 addresses).
inline IpAddress AddressOfSocketId(std::uint8_t family, const std::uint32_t (&words)[4]) {
  if (family == AF_INET) {
    return IpAddress::FromIpv4(words[0]);
  }
  IpAddress::Bytes16 bytes{};
  static_assert(sizeof bytes == sizeof words);
  std::memcpy(bytes.data(), words, sizeof bytes);
  return IpAddress::FromIpv6(bytes);
}

class Socket {
 public:
  Socket() : fd_(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) {}
  ~Socket() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int Fd() const { return fd_; }

 private:
  int fd_;
};

}  // namespace harlune::sock_diag
