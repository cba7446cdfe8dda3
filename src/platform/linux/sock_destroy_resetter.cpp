#include "platform/linux/sock_destroy_resetter.h"

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

namespace harlune {

namespace {

using sock_diag::Aligned;

using sock_diag::kAllStates;
constexpr int kMaxErrno = 4095;  // the kernel's errno numbers stay below
constexpr std::uint32_t kLookupSequence = 1;
constexpr std::uint32_t kDestroySequence = 2;

using NetlinkSocket = sock_diag::Socket;

struct Request {
  nlmsghdr header;
  inet_diag_req_v2 body;
};
static_assert(sizeof(Request) == sizeof(nlmsghdr) + sizeof(inet_diag_req_v2));

int Send(int fd, std::uint16_t type, std::uint16_t flags, std::uint32_t sequence,
         const TcpConnectionKey& key, const std::array<std::uint32_t, 2>& cookie) {
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
  request.body.id.idiag_src[0] = key.localAddr;
  request.body.id.idiag_sport = static_cast<std::uint16_t>(key.localPort);
  request.body.id.idiag_dst[0] = key.remoteAddr;
  request.body.id.idiag_dport = static_cast<std::uint16_t>(key.remotePort);
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
SockDiagAnswer Receive(int fd, std::uint32_t sequence) {
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
      return SockDiagAnswer{true, errno, std::nullopt};
    }
    if (static_cast<std::size_t>(got) > buffer.size()) {
      return SockDiagAnswer{true, EMSGSIZE, std::nullopt};
    }
    if (from.nl_pid != 0) {
      continue;  // only the kernel answers a diag request
    }
    const SockDiagAnswer answer =
        DecodeSockDiagAnswer(std::span(buffer.data(), static_cast<std::size_t>(got)), sequence);
    if (answer.complete) {
      return answer;
    }
  }
}

ConnectionResetResult Reset(int fd, const TcpConnectionKey& key) {
  constexpr std::array<std::uint32_t, 2> kNoCookie{INET_DIAG_NOCOOKIE, INET_DIAG_NOCOOKIE};
  int error = Send(fd, SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST, kLookupSequence, key, kNoCookie);
  if (error != 0) {
    return ConnectionResetResultOfErrno(error);
  }
  const SockDiagAnswer found = Receive(fd, kLookupSequence);
  if (found.error != 0) {
    return ConnectionResetResultOfErrno(found.error);
  }
  if (!found.socket || found.socket->key != key) {
    // Nothing, or the listener of the local port: the connection is gone.
    return ConnectionResetResultOfErrno(ENOENT);
  }
  error = Send(fd, SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK, kDestroySequence, key,
               found.socket->cookie);
  if (error != 0) {
    return ConnectionResetResultOfErrno(error);
  }
  return ConnectionResetResultOfErrno(Receive(fd, kDestroySequence).error);
}

}  // namespace

ConnectionResetResult ConnectionResetResultOfErrno(int error) {
  switch (error) {
    case 0:
      return {ConnectionResetStatus::kOk, 0};
    case EPERM:
    case EACCES:
      return {ConnectionResetStatus::kNotPermitted, error};
    case EOPNOTSUPP:
      return {ConnectionResetStatus::kNotSupported, error};
    case ENOENT:
      return {ConnectionResetStatus::kGone, error};
    default:
      return {ConnectionResetStatus::kError, error};
  }
}

SockDiagAnswer DecodeSockDiagAnswer(std::span<const std::byte> datagram, std::uint32_t sequence) {
  constexpr SockDiagAnswer kMalformed{true, EPROTO, std::nullopt};
  std::size_t at = 0;
  while (datagram.size() - at >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, datagram.data() + at, sizeof header);
    if (header.nlmsg_len < Aligned(sizeof header) || header.nlmsg_len > datagram.size() - at) {
      return kMalformed;  // a message that claims more than was received
    }
    const std::byte* payload = datagram.data() + at + Aligned(sizeof header);
    const std::size_t payloadSize = header.nlmsg_len - Aligned(sizeof header);
    if (header.nlmsg_seq == sequence) {
      if (header.nlmsg_type == NLMSG_ERROR) {
        nlmsgerr error;
        if (payloadSize < sizeof error.error) {
          return kMalformed;
        }
        std::memcpy(&error.error, payload, sizeof error.error);
        if (error.error > 0 || error.error < -kMaxErrno) {
          return kMalformed;  // the kernel sends 0 or a negative errno
        }
        return SockDiagAnswer{true, -error.error, std::nullopt};
      }
      if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
        inet_diag_msg message;
        if (payloadSize < sizeof message) {
          return kMalformed;
        }
        std::memcpy(&message, payload, sizeof message);
        if (message.idiag_family != AF_INET) {
          return SockDiagAnswer{true, 0, std::nullopt};
        }
        SockDiagSocket socket;
        socket.key.localAddr = message.id.idiag_src[0];
        socket.key.localPort = message.id.idiag_sport;
        socket.key.remoteAddr = message.id.idiag_dst[0];
        socket.key.remotePort = message.id.idiag_dport;
        socket.cookie = {message.id.idiag_cookie[0], message.id.idiag_cookie[1]};
        return SockDiagAnswer{true, 0, socket};
      }
      if (header.nlmsg_type == NLMSG_DONE) {
        return SockDiagAnswer{true, 0, std::nullopt};
      }
    }
    at += std::min(Aligned(header.nlmsg_len), datagram.size() - at);
  }
  return SockDiagAnswer{};
}

ConnectionResetResult SockDestroyResetter::ResetConnection(const TcpConnectionKey& key) {
  const NetlinkSocket socket;
  if (socket.Fd() < 0) {
    return ConnectionResetResultOfErrno(errno);
  }
  // A kernel that never answers must not hang the engine's pass.
  const timeval timeout{2, 0};
  setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return Reset(socket.Fd(), key);
}

}  // namespace harlune
