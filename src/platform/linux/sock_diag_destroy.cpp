#include "platform/linux/sock_diag_destroy.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "platform/linux/sock_diag_socket.h"

namespace harlune::sock_diag {

namespace {

constexpr int kMaxErrno = 4095;  // the kernel's errno numbers stay below
constexpr std::uint32_t kLookupSequence = 1;
constexpr std::uint32_t kDestroySequence = 2;

struct Request {
  nlmsghdr header;
  inet_diag_req_v2 body;
};
static_assert(sizeof(Request) == sizeof(nlmsghdr) + sizeof(inet_diag_req_v2));

int Send(int fd, std::uint16_t type, std::uint16_t flags, std::uint32_t sequence,
         const protocol::TcpFourTuple& tuple, const std::array<std::uint32_t, 2>& cookie) {
  Request request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = flags;
  request.header.nlmsg_seq = sequence;
  request.body.sdiag_family = AF_INET;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = kAllStates;
  // The kernel's source is the local end. Stored values are in network
  // order already, as the kernel wants them.
  request.body.id.idiag_src[0] = tuple.localAddr.Ipv4Value();
  request.body.id.idiag_sport = static_cast<std::uint16_t>(tuple.localPort);
  request.body.id.idiag_dst[0] = tuple.remoteAddr.Ipv4Value();
  request.body.id.idiag_dport = static_cast<std::uint16_t>(tuple.remotePort);
  request.body.id.idiag_cookie[0] = cookie[0];
  request.body.id.idiag_cookie[1] = cookie[1];

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const ssize_t sent = sendto(fd, &request, sizeof request, 0,
                              reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  if (sent < 0) {
    return errno;
  }
  return sent == static_cast<ssize_t>(sizeof request) ? 0 : EIO;
}

// Reads datagrams until one answers the request numbered `sequence`.
Answer Receive(int fd, std::uint32_t sequence) {
  std::vector<std::byte> buffer(8192);
  for (;;) {
    sockaddr_nl from{};
    socklen_t fromSize = sizeof from;
    const ssize_t got = recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return Answer{true, errno, std::nullopt};
    }
    if (static_cast<std::size_t>(got) > buffer.size()) {
      return Answer{true, EMSGSIZE, std::nullopt};
    }
    if (from.nl_pid != 0) {
      continue;  // only the kernel answers a diag request
    }
    const Answer answer =
        DecodeAnswer(std::span(buffer.data(), static_cast<std::size_t>(got)), sequence);
    if (answer.complete) {
      return answer;
    }
  }
}

int Destroy(int fd, const protocol::TcpFourTuple& tuple) {
  constexpr std::array<std::uint32_t, 2> kNoCookie{INET_DIAG_NOCOOKIE, INET_DIAG_NOCOOKIE};
  int error = Send(fd, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, kLookupSequence, tuple, kNoCookie);
  if (error != 0) {
    return error;
  }
  const Answer found = Receive(fd, kLookupSequence);
  if (found.error != 0) {
    return found.error;
  }
  if (!found.socket || found.socket->tuple != tuple) {
    return ENOENT;  // nothing, or the listener of the local port: the connection is gone
  }
  error = Send(fd, SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK, kDestroySequence, tuple,
               found.socket->cookie);
  if (error != 0) {
    return error;
  }
  return Receive(fd, kDestroySequence).error;
}

Answer ErrorAnswer(std::span<const std::byte> payload) {
  constexpr Answer kMalformed{true, EPROTO, std::nullopt};
  nlmsgerr error;
  if (payload.size() < sizeof error.error) {
    return kMalformed;
  }
  std::memcpy(&error.error, payload.data(), sizeof error.error);
  if (error.error > 0 || error.error < -kMaxErrno) {
    return kMalformed;  // the kernel sends 0 or a negative errno
  }
  return Answer{true, -error.error, std::nullopt};
}

Answer SocketAnswer(std::span<const std::byte> payload) {
  inet_diag_msg message;
  if (payload.size() < sizeof message) {
    return Answer{true, EPROTO, std::nullopt};
  }
  std::memcpy(&message, payload.data(), sizeof message);
  if (message.idiag_family != AF_INET) {
    return Answer{true, 0, std::nullopt};
  }
  SocketRecord socket;
  socket.tuple =
      protocol::TcpFourTuple{IpAddress::FromIpv4(message.id.idiag_src[0]), message.id.idiag_sport,
                             IpAddress::FromIpv4(message.id.idiag_dst[0]), message.id.idiag_dport};
  socket.cookie = {message.id.idiag_cookie[0], message.id.idiag_cookie[1]};
  return Answer{true, 0, socket};
}

}  // namespace

Answer DecodeAnswer(std::span<const std::byte> datagram, std::uint32_t sequence) {
  std::size_t at = 0;
  while (datagram.size() - at >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, datagram.data() + at, sizeof header);
    if (header.nlmsg_len < Aligned(sizeof header) || header.nlmsg_len > datagram.size() - at) {
      return Answer{true, EPROTO, std::nullopt};  // a message that claims more than was received
    }
    const std::span<const std::byte> payload =
        datagram.subspan(at + Aligned(sizeof header), header.nlmsg_len - Aligned(sizeof header));
    if (header.nlmsg_seq == sequence) {
      switch (header.nlmsg_type) {
        case NLMSG_ERROR:
          return ErrorAnswer(payload);
        case SOCK_DIAG_BY_FAMILY:
          return SocketAnswer(payload);
        case NLMSG_DONE:
          return Answer{true, 0, std::nullopt};
        default:
          break;
      }
    }
    at += std::min(Aligned(header.nlmsg_len), datagram.size() - at);
  }
  return Answer{};
}

int DestroyTcpConnection(const protocol::TcpFourTuple& tuple) {
  const Socket socket;
  if (socket.Fd() < 0) {
    return errno;
  }
  // A kernel that never answers must not hang the caller.
  const timeval timeout{2, 0};
  setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return Destroy(socket.Fd(), tuple);
}

}  // namespace harlune::sock_diag
