#include "platform/linux/netlink_tcp_table.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include "platform/linux/proc_tcp_table.h"
#include "platform/linux/sock_diag_socket.h"
#include "platform/linux/tcp_diag_dump.h"

namespace harlune {

namespace {

// The dump holds listening, established and TIME_WAIT sockets and pending
// requests alike.
using sock_diag::kAllStates;
constexpr std::uint32_t kSequence = 1;

int SendDumpRequest(int fd, int family) {
  struct Request {
    nlmsghdr header;
    inet_diag_req_v2 body;
  } request{};
  static_assert(sizeof(Request) == sizeof(nlmsghdr) + sizeof(inet_diag_req_v2));
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = kSequence;
  request.body.sdiag_family = static_cast<std::uint8_t>(family);
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
    const tcp_diag::DatagramStep step = tcp_diag::ReadDumpDatagram(
        std::span(buffer.data(), static_cast<std::size_t>(got)), kSequence, rows);
    if (step.done) {
      return step.error;
    }
  }
}

// What a failed IPv6 dump says when the system has no IPv6 TCP to dump.
bool MeansNoIpv6(int error) {
  return error == ENOENT || error == EAFNOSUPPORT || error == EPROTONOSUPPORT;
}

// The IPv6 sockets' rows after the IPv4 ones: first those of IPv4-mapped
// addresses, which are IPv4 connections, then the IPv6 ones.
void AppendIpv6Dump(std::vector<TcpTableRow>& rows, std::vector<TcpTableRow> ipv6Dump) {
  std::stable_partition(ipv6Dump.begin(), ipv6Dump.end(),
                        [](const TcpTableRow& row) { return row.localAddr.IsIpv4(); });
  rows.insert(rows.end(), ipv6Dump.begin(), ipv6Dump.end());
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

int KernelTcpDiagDump(int family, std::vector<TcpTableRow>& rows) {
  const sock_diag::Socket socket;
  if (socket.Fd() < 0) {
    return errno;
  }
  // A kernel that never answers must not hang the refresh.
  const timeval timeout{2, 0};
  setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const int error = SendDumpRequest(socket.Fd(), family);
  return error != 0 ? error : ReceiveDump(socket.Fd(), rows);
}

NetlinkTcpTable::NetlinkTcpTable(ProcessSource* owners, TcpDiagDump dump)
    : owners_(owners), dump_(std::move(dump)) {}

TcpTableResult NetlinkTcpTable::ReadTable() {
  TcpTableResult result;
  int error = dump_(AF_INET, result.rows);
  if (error == 0) {
    std::vector<TcpTableRow> ipv6Dump;
    error = dump_(AF_INET6, ipv6Dump);
    if (error == 0) {
      AppendIpv6Dump(result.rows, std::move(ipv6Dump));
    } else if (MeansNoIpv6(error)) {
      error = 0;
    }
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

bool SockDiagAvailable() {
  std::vector<TcpTableRow> rows;
  return KernelTcpDiagDump(AF_INET, rows) == 0;
}

std::unique_ptr<TcpTableSource> ChooseTcpTableSource(
    ProcessSource& processes, bool portProcessMapping,
    const std::function<bool()>& extendedAvailable) {
  if (extendedAvailable()) {
    return std::make_unique<NetlinkTcpTable>(&processes);
  }
  return std::make_unique<ProcTcpTable>(ProcTcpTable::DefaultReader(),
                                        ProcTcpTable::DefaultIpv6Reader(),
                                        portProcessMapping ? &processes : nullptr);
}

}  // namespace harlune
