#include "platform/linux/tcp_diag_dump.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include "platform/linux/proc_tcp_table.h"
#include "platform/linux/sock_diag_socket.h"

namespace harlune::tcp_diag {

namespace {

using sock_diag::Aligned;

// Where a dump's rows go: by the family of their socket.
struct DumpRows {
  std::vector<TcpTableRow>& ipv4Sockets;
  std::vector<TcpTableRow>& ipv6Sockets;
};

void AddRow(const std::byte* payload, const DumpRows& rows) {
  inet_diag_msg message;
  std::memcpy(&message, payload, sizeof message);
  if (message.idiag_family != AF_INET && message.idiag_family != AF_INET6) {
    return;
  }
  const std::optional<std::uint32_t> state = MibTcpStateOf(message.idiag_state);
  if (!state) {
    return;
  }
  TcpTableRow row;
  row.state = *state;
  // Ports are in network order already, as the table stores them.
  row.localAddr = sock_diag::AddressOfSocketId(message.idiag_family, message.id.idiag_src);
  row.localPort = message.id.idiag_sport;
  row.remoteAddr = sock_diag::AddressOfSocketId(message.idiag_family, message.id.idiag_dst);
  row.remotePort = message.id.idiag_dport;
  row.inode = message.idiag_inode;
  (message.idiag_family == AF_INET ? rows.ipv4Sockets : rows.ipv6Sockets).push_back(row);
}

// The step of one message of the dump answered to our request.
std::optional<DatagramStep> ReadOwnMessage(const nlmsghdr& header, const std::byte* payload,
                                           std::size_t payloadSize, const DumpRows& rows) {
  if (header.nlmsg_type == NLMSG_DONE) {
    return DatagramStep{true, 0};
  }
  if (header.nlmsg_type == NLMSG_ERROR) {
    nlmsgerr error;
    if (payloadSize < sizeof error) {
      return DatagramStep{true, EPROTO};
    }
    std::memcpy(&error, payload, sizeof error);
    // A negative errno; anything else is no errno at all.
    return DatagramStep{true, error.error < 0 ? -error.error : (error.error == 0 ? 0 : EPROTO)};
  }
  if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY || header.nlmsg_type == TCPDIAG_GETSOCK) {
    if (payloadSize < sizeof(inet_diag_msg)) {
      return DatagramStep{true, EPROTO};
    }
    AddRow(payload, rows);
  }
  return std::nullopt;
}

}  // namespace

DatagramStep ReadDumpDatagram(std::span<const std::byte> datagram, std::uint32_t sequence,
                              std::vector<TcpTableRow>& rows) {
  return ReadDumpDatagram(datagram, sequence, rows, rows);
}

DatagramStep ReadDumpDatagram(std::span<const std::byte> datagram, std::uint32_t sequence,
                              std::vector<TcpTableRow>& ipv4Sockets,
                              std::vector<TcpTableRow>& ipv6Sockets) {
  const DumpRows rows{ipv4Sockets, ipv6Sockets};
  const std::byte* data = datagram.data();
  const std::size_t size = datagram.size();
  std::size_t at = 0;
  while (size - at >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, data + at, sizeof header);
    if (header.nlmsg_len < sizeof header || header.nlmsg_len > size - at) {
      return {true, EPROTO};  // a message that claims more than was received
    }
    if (header.nlmsg_seq == sequence) {
      // The header is 16 bytes, so the payload starts right after it.
      static_assert(Aligned(sizeof header) == sizeof header);
      const std::size_t payloadSize = header.nlmsg_len - sizeof header;
      if (const auto step = ReadOwnMessage(header, data + at + sizeof header, payloadSize, rows)) {
        return *step;
      }
    }
    at += std::min(Aligned(header.nlmsg_len), size - at);
  }
  return {};
}

}  // namespace harlune::tcp_diag
