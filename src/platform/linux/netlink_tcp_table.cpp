#include "platform/linux/netlink_tcp_table.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "platform/linux/proc_tcp_table.h"
#include "platform/linux/sock_diag_socket.h"

namespace harlune {

namespace {

using sock_diag::Aligned;

// The dump holds listening, established and TIME_WAIT sockets and pending
// requests alike.
using sock_diag::kAllStates;
constexpr std::uint32_t kSequence = 1;

using NetlinkSocket = sock_diag::Socket;

int SendDumpRequest(int fd) {
  struct Request {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  static_assert(sizeof(Request) == sizeof(nlmsghdr) + sizeof(inet_diag_req_v2));
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = kSequence;
  request.body.sdiag_family = AF_INET;
  request.body.sdiag_protocol = IPPROTO_TCP;
  request.body.idiag_states = kAllStates;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const ssize_t sent = sendto(fd, &request, sizeof request, 0,
                              reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  if (sent < 0) {
    return errno;
  }
  return sent == static_cast<ssize_t>(sizeof request) ? 0 : EIO;
}

void AddRow(const std::byte* payload, std::vector<TcpTableRow>& rows) {
  inet_diag_msg message;
  std::memcpy(&message, payload, sizeof message);
  if (message.idiag_family != AF_INET) {
    return;
  }
  const std::optional<std::uint32_t> state = MibTcpStateOf(message.idiag_state);
  if (!state) {
    return;
  }
  TcpTableRow row;
  row.state = *state;
  // The kernel gives addresses and ports in network order already.
  row.localAddr = IpAddress::FromIpv4(message.id.idiag_src[0]);
  row.localPort = message.id.idiag_sport;
  row.remoteAddr = IpAddress::FromIpv4(message.id.idiag_dst[0]);
  row.remotePort = message.id.idiag_dport;
  row.inode = message.idiag_inode;
  rows.push_back(row);
}

// Walks one datagram of the dump. Returns 0 while more is to come, -1 at
// the end of the dump, or an errno.
int ReadMessages(const std::byte* data, std::size_t size, std::vector<TcpTableRow>& rows) {
  std::size_t at = 0;
  while (size - at >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, data + at, sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > size - at) {
      return EPROTO;  // a message that claims more than was received
    }
    const std::byte* payload = data + at + Aligned(sizeof header);
    const std::size_t payloadSize = header.nlmsg_len - Aligned(sizeof header);
    if (header.nlmsg_seq == kSequence) {
      if (header.nlmsg_type == NLMSG_DONE) {
        return -1;
      }
      if (header.nlmsg_type == NLMSG_ERROR) {
        nlmsgerr error;
        if (payloadSize < sizeof error) {
          return EPROTO;
        }
        std::memcpy(&error, payload, sizeof error);
        return error.error == 0 ? -1 : -error.error;
      }
      if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) {
        if (payloadSize < sizeof(inet_diag_msg)) {
          return EPROTO;
        }
        AddRow(payload, rows);
      }
    }
    at += std::min(Aligned(header.nlmsg_len), size - at);
  }
  return 0;
}

// The rows of the dump, or the errno that ended it.
int ReceiveDump(int fd, std::vector<TcpTableRow>& rows) {
  // Large enough for any datagram the kernel sends for a dump (it fills at
  // most one page, or 32 KiB with large pages); MSG_TRUNC catches more.
  std::vector<std::byte> buffer(65536);
  for (;;) {
    sockaddr_nl from{};
    socklen_t fromSize = sizeof from;
    const ssize_t got = recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    if (static_cast<std::size_t>(got) > buffer.size()) {
      return EMSGSIZE;
    }
    if (from.nl_pid != 0) {
      continue;  // only the kernel answers a diag request
    }
    const int status = ReadMessages(buffer.data(), static_cast<std::size_t>(got), rows);
    if (status == -1) {
      return 0;
    }
    if (status != 0) {
      return status;
    }
  }
}

void FillOwners(ProcessSource& owners, std::vector<TcpTableRow>& rows) {
  std::vector<std::uint64_t> inodes;
  inodes.reserve(rows.size());
  for (const TcpTableRow& row : rows) {
    inodes.push_back(row.inode);
  }
  const SocketOwnerMap found = owners.SocketOwners(inodes);
  for (TcpTableRow& row : rows) {
    const auto owner = row.inode == 0 ? found.end() : found.find(row.inode);
    row.owningPid = owner == found.end() ? kUnknownOwner : owner->second;
  }
}

}  // namespace

NetlinkTcpTable::NetlinkTcpTable(ProcessSource* owners) : owners_(owners) {}

TcpTableResult NetlinkTcpTable::ReadTable() {
  TcpTableResult result;
  const NetlinkSocket socket;
  if (socket.Fd() < 0) {
    result.errorCode = errno;
    return result;
  }
  // A kernel that never answers must not hang the refresh.
  const timeval timeout{2, 0};
  setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  int error = SendDumpRequest(socket.Fd());
  if (error == 0) {
    error = ReceiveDump(socket.Fd(), result.rows);
  }
  if (error != 0) {
    result.errorCode = error;
    result.rows.clear();
    return result;
  }
  if (owners_ != nullptr) {
    FillOwners(*owners_, result.rows);
  }
  result.ok = true;
  return result;
}

bool SockDiagAvailable() { return NetlinkTcpTable(nullptr).ReadTable().ok; }

std::unique_ptr<TcpTableSource> ChooseTcpTableSource(
    ProcessSource& processes, bool portProcessMapping,
    const std::function<bool()>& extendedAvailable) {
  if (extendedAvailable()) {
    return std::make_unique<NetlinkTcpTable>(&processes);
  }
  return std::make_unique<ProcTcpTable>(ProcTcpTable::DefaultReader(),
                                        portProcessMapping ? &processes : nullptr);
}

}  // namespace harlune
