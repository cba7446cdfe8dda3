#include "platform/linux/sock_diag_destroy.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

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
constexpr std::uint32_t kIpv4LookupSequence = 1;
constexpr std::uint32_t kIpv6LookupSequence = 2;
constexpr std::uint32_t kDestroySequence = 3;
// A dump's datagrams are sized by the largest receive buffer, up to 32 KiB.
constexpr std::size_t kReceiveBufferSize = 32768;
constexpr std::size_t kIpv6AddressSize = 16;

struct Request {
  nlmsghdr header;
  inet_diag_req_v2 body;
};
static_assert(sizeof(Request) == sizeof(nlmsghdr) + sizeof(inet_diag_req_v2));

// The socket a request points at: a lookup names only the family, a
// destroy the socket found.
struct Target {
  std::uint8_t family = AF_INET;
  std::uint32_t interfaceIndex = 0;
  std::array<std::uint32_t, 2> cookie{INET_DIAG_NOCOOKIE, INET_DIAG_NOCOOKIE};
};

// What the kernel answered to one request: the first socket it listed with
// the wanted tuple, or the error that ended it (0 for an end without one).
struct Reply {
  int error = 0;
  std::optional<SocketRecord> socket;
};

void StoreAddress(std::uint32_t (&field)[4], std::uint8_t family, const IpAddress& address) {
  if (family == AF_INET) {
    field[0] = address.Ipv4Value();
  } else {
    // An IPv4 address goes to an IPv6 socket in its mapped form.
    std::memcpy(field, address.Ipv6Bytes().data(), kIpv6AddressSize);
  }
}

Request MakeRequest(std::uint16_t type, std::uint16_t flags, std::uint32_t sequence,
                    const protocol::TcpFourTuple& tuple, const Target& target) {
  Request request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = flags;
  request.header.nlmsg_seq = sequence;
  request.body.sdiag_family = target.family;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = kAllStates;
  // The kernel's source is the local end. Stored values are in network
  // order already, as the kernel wants them.
  StoreAddress(request.body.id.idiag_src, target.family, tuple.localAddr);
  request.body.id.idiag_sport = static_cast<std::uint16_t>(tuple.localPort);
  StoreAddress(request.body.id.idiag_dst, target.family, tuple.remoteAddr);
  request.body.id.idiag_dport = static_cast<std::uint16_t>(tuple.remotePort);
  request.body.id.idiag_if = target.interfaceIndex;
  request.body.id.idiag_cookie[0] = target.cookie[0];
  request.body.id.idiag_cookie[1] = target.cookie[1];
  return request;
}

int Send(int fd, const Request& request) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const ssize_t sent = sendto(fd, &request, sizeof request, 0,
                              reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  if (sent < 0) {
    return errno;
  }
  return sent == static_cast<ssize_t>(sizeof request) ? 0 : EIO;
}

// Reads datagrams until the answer to the request numbered `sequence` lists
// the wanted socket or ends.
Reply Receive(int fd, std::uint32_t sequence, const protocol::TcpFourTuple& wanted) {
  std::vector<std::byte> buffer(kReceiveBufferSize);
  for (;;) {
    sockaddr_nl from{};
    socklen_t fromSize = sizeof from;
    const ssize_t got = recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return Reply{errno, std::nullopt};
    }
    if (static_cast<std::size_t>(got) > buffer.size()) {
      return Reply{EMSGSIZE, std::nullopt};
    }
    if (from.nl_pid != 0) {
      continue;  // only the kernel answers a diag request
    }
    const Answer answer =
        DecodeAnswer(std::span(buffer.data(), static_cast<std::size_t>(got)), sequence);
    const auto found = std::ranges::find(answer.sockets, wanted, &SocketRecord::tuple);
    if (found != answer.sockets.end()) {
      return Reply{0, *found};
    }
    if (answer.complete) {
      return Reply{answer.error, std::nullopt};
    }
  }
}

Reply Find(int fd, std::uint8_t family, std::uint32_t sequence,
           const protocol::TcpFourTuple& tuple) {
  // Both ports set: the kernel lists only sockets with them, and no listener.
  const int error = Send(fd, MakeRequest(SOCK_DIAG_BY_FAMILY, NLM_F_REQUEST | NLM_F_DUMP, sequence,
                                         tuple, Target{family}));
  if (error != 0) {
    return Reply{error, std::nullopt};
  }
  return Receive(fd, sequence, tuple);
}

int Destroy(int fd, const protocol::TcpFourTuple& tuple) {
  const bool ipv4 = tuple.localAddr.IsIpv4();
  Reply found =
      Find(fd, ipv4 ? AF_INET : AF_INET6, ipv4 ? kIpv4LookupSequence : kIpv6LookupSequence, tuple);
  if (ipv4 && found.error == 0 && !found.socket) {
    // An IPv6 socket with mapped addresses holds it, if any socket does.
    found = Find(fd, AF_INET6, kIpv6LookupSequence, tuple);
  }
  if (found.error != 0) {
    return found.error;
  }
  if (!found.socket) {
    return ENOENT;  // the connection is gone
  }
  const Target socket{found.socket->family, found.socket->interfaceIndex, found.socket->cookie};
  const int error = Send(
      fd, MakeRequest(SOCK_DESTROY, NLM_F_REQUEST | NLM_F_ACK, kDestroySequence, tuple, socket));
  if (error != 0) {
    return error;
  }
  return Receive(fd, kDestroySequence, tuple).error;
}

constexpr int kMalformed = EPROTO;

Answer Ended(int error) { return Answer{true, error, {}}; }

// An error message: 0 (an acknowledgement) or the kernel's negative errno.
Answer ErrorAnswer(std::span<const std::byte> payload) {
  nlmsgerr error;
  if (payload.size() < sizeof error.error) {
    return Ended(kMalformed);
  }
  std::memcpy(&error.error, payload.data(), sizeof error.error);
  if (error.error > 0 || error.error < -kMaxErrno) {
    return Ended(kMalformed);
  }
  return Ended(-error.error);
}

// The end of a dump: the kernel puts the dump's negative errno in it when
// the dump failed, 0 or a length otherwise.
int DoneError(std::span<const std::byte> payload) {
  int value = 0;
  if (payload.size() >= sizeof value) {
    std::memcpy(&value, payload.data(), sizeof value);
  }
  if (value < -kMaxErrno) {
    return kMalformed;
  }
  return value < 0 ? -value : 0;
}

// Adds the socket a message describes; false for a malformed message.
bool AddSocket(std::span<const std::byte> payload, std::vector<SocketRecord>& sockets) {
  inet_diag_msg message;
  if (payload.size() < sizeof message) {
    return false;
  }
  std::memcpy(&message, payload.data(), sizeof message);
  const std::uint8_t family = message.idiag_family;
  if (family != AF_INET && family != AF_INET6) {
    return true;  // no TCP socket of either family: passed over
  }
  SocketRecord socket;
  socket.tuple = protocol::TcpFourTuple{
      AddressOfSocketId(family, message.id.idiag_src), message.id.idiag_sport,
      AddressOfSocketId(family, message.id.idiag_dst), message.id.idiag_dport};
  socket.family = family;
  socket.interfaceIndex = message.id.idiag_if;
  socket.cookie = {message.id.idiag_cookie[0], message.id.idiag_cookie[1]};
  sockets.push_back(socket);
  return true;
}

}  // namespace

Answer DecodeAnswer(std::span<const std::byte> datagram, std::uint32_t sequence) {
  Answer answer;
  std::size_t at = 0;
  while (datagram.size() - at >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, datagram.data() + at, sizeof header);
    if (header.nlmsg_len < Aligned(sizeof header) || header.nlmsg_len > datagram.size() - at) {
      return Ended(kMalformed);  // a message that claims more than was received
    }
    const std::span<const std::byte> payload =
        datagram.subspan(at + Aligned(sizeof header), header.nlmsg_len - Aligned(sizeof header));
    if (header.nlmsg_seq == sequence) {
      if (header.nlmsg_type == NLMSG_ERROR) {
        return ErrorAnswer(payload);
      }
      if (header.nlmsg_type == NLMSG_DONE) {
        const int error = DoneError(payload);
        return error != 0 ? Ended(error) : Answer{true, 0, std::move(answer.sockets)};
      }
      if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY && !AddSocket(payload, answer.sockets)) {
        return Ended(kMalformed);
      }
    }
    at += std::min(Aligned(header.nlmsg_len), datagram.size() - at);
  }
  return answer;
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
