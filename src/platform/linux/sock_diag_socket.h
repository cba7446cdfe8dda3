#pragma once

// What the two users of NETLINK_SOCK_DIAG share: the socket and the
// message alignment.

#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

namespace harlune::sock_diag {

inline constexpr std::size_t kAlign = 4;  // netlink messages start on 4-byte bounds
constexpr std::size_t Aligned(std::size_t size) { return (size + kAlign - 1) & ~(kAlign - 1); }

// Every Linux TCP state that has a MIB state (TCP_ESTABLISHED 1 ..
// TCP_NEW_SYN_RECV 12), as a state bit mask.
inline constexpr std::uint32_t kAllStates = 0x1FFEu;

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
