#include "platform/linux/netlink_tcp_table.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <iterator>
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

int SendRequest(int fd, const void* request, std::size_t size) {
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  const ssize_t sent =
      sendto(fd, request, size, 0, reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
  if (sent < 0) {
    return errno;
  }
  return sent == static_cast<ssize_t>(size) ? 0 : EIO;
}

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
  return SendRequest(fd, &request, sizeof request);
}

// The older request: the kernel dumps the TCP sockets of every family,
// whatever family it names.
int SendBothFamiliesRequest(int fd) {
  struct Request {
    nlmsghdr header;
    inet_diag_req body;
  } request{};
  static_assert(sizeof(Request) == sizeof(nlmsghdr) + sizeof(inet_diag_req));
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = TCPDIAG_GETSOCK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.header.nlmsg_seq = kSequence;
  request.body.idiag_family = AF_UNSPEC;
  request.body.idiag_states = kAllStates;
  return SendRequest(fd, &request, sizeof request);
}

// The rows of the dump by their socket's family, or the errno that ended it.
int ReceiveDump(int fd, std::vector<TcpTableRow>& ipv4Sockets,
                std::vector<TcpTableRow>& ipv6Sockets) {
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
    const tcp_diag::DatagramStep step =
        tcp_diag::ReadDumpDatagram(std::span(buffer.data(), static_cast<std::size_t>(got)),
                                   kSequence, ipv4Sockets, ipv6Sockets);
    if (step.done) {
      return step.error;
    }
  }
}

// What a failed IPv6 dump says when the system has no IPv6 TCP to dump.
bool MeansNoIpv6(int error) {
  return error == ENOENT || error == EAFNOSUPPORT || error == EPROTONOSUPPORT;
}

// What a failed dump of both families says when the kernel does not know
// the request.
bool MeansNoBothDump(int error) {
  return error == EINVAL || error == EOPNOTSUPP || error == ENOENT || error == EPROTONOSUPPORT ||
         error == EAFNOSUPPORT;
}

// The IPv6 sockets' rows after the IPv4 ones: first those of IPv4-mapped
// addresses, which are IPv4 connections, then the IPv6 ones.
void AppendIpv6Rows(std::vector<TcpTableRow>& rows, const std::vector<TcpTableRow>& ipv6Rows) {
  const auto mapped = [](const TcpTableRow& row) { return row.localAddr.IsIpv4(); };
  std::copy_if(ipv6Rows.begin(), ipv6Rows.end(), std::back_inserter(rows), mapped);
  std::remove_copy_if(ipv6Rows.begin(), ipv6Rows.end(), std::back_inserter(rows), mapped);
}

// A dump on a new socket: the request `send` makes, then its answer.
template <typename Send>
int DumpOnNewSocket(Send send, std::vector<TcpTableRow>& ipv4Sockets,
                    std::vector<TcpTableRow>& ipv6Sockets) {
  const sock_diag::Socket socket;
  if (socket.Fd() < 0) {
    return errno;
  }
  // A kernel that never answers must not hang the refresh.
  const timeval timeout{2, 0};
  setsockopt(socket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  const int error = send(socket.Fd());
  return error != 0 ? error : ReceiveDump(socket.Fd(), ipv4Sockets, ipv6Sockets);
}

}  // namespace

int KernelTcpDiagDump(int family, std::vector<TcpTableRow>& rows) {
  return DumpOnNewSocket([family](int fd) { return SendDumpRequest(fd, family); }, rows, rows);
}

int KernelTcpDiagBothDump(std::vector<TcpTableRow>& ipv4Sockets,
                          std::vector<TcpTableRow>& ipv6Sockets) {
  return DumpOnNewSocket(SendBothFamiliesRequest, ipv4Sockets, ipv6Sockets);
}

NetlinkTcpTable::NetlinkTcpTable(ProcessSource* owners)
    : NetlinkTcpTable(owners, KernelTcpDiagDump, KernelTcpDiagBothDump) {}

NetlinkTcpTable::NetlinkTcpTable(ProcessSource* owners, TcpDiagDump dump, TcpDiagBothDump both)
    : owners_(owners), dump_(std::move(dump)), both_(std::move(both)) {}

int NetlinkTcpTable::ReadDumps(std::vector<TcpTableRow>& rows) {
  if (both_ && !bothRefused_) {
    const int error = both_(rows, ipv6Rows_);
    if (!MeansNoBothDump(error)) {
      return error;
    }
    bothRefused_ = true;
    rows.clear();
    ipv6Rows_.clear();
  }
  int error = dump_(AF_INET, rows);
  if (error == 0) {
    error = dump_(AF_INET6, ipv6Rows_);
    if (MeansNoIpv6(error)) {
      ipv6Rows_.clear();
      error = 0;
    }
  }
  return error;
}

TcpTableResult NetlinkTcpTable::ReadTable() {
  TcpTableResult result;
  // Room for the table as it was and some more, so that a steady table
  // costs one allocation.
  result.rows.reserve(lastRowCount_ + lastRowCount_ / 8 + 64);
  ipv6Rows_.clear();
  const int error = ReadDumps(result.rows);
  if (error != 0) {
    result.errorCode = error;
    result.rows.clear();
    return result;
  }
  AppendIpv6Rows(result.rows, ipv6Rows_);
  ipv6Rows_.clear();
  lastRowCount_ = result.rows.size();
  if (owners_ != nullptr) {
    owners_->FillSocketOwners(result.rows);
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
