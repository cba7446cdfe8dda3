// Arbitrary bytes as one datagram of the kernel's answer to an inet_diag
// dump of TCP sockets, as the connection table reads it (the first byte
// picks the request number looked for): the walk never reads past the
// datagram, every row holds a MIB state and 16-bit ports, and the rows
// written back as the kernel would send them read the same.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include "core/monitor/tcp_table.h"
#include "fuzz_target.h"
#include "platform/linux/proc_tcp_table.h"
#include "platform/linux/tcp_diag_dump.h"

namespace {

std::uint8_t LinuxStateOf(std::uint32_t mib) {
  for (unsigned linuxState = 1; linuxState < 256; ++linuxState) {
    if (harlune::MibTcpStateOf(linuxState) == mib) {
      return static_cast<std::uint8_t>(linuxState);
    }
  }
  __builtin_trap();  // a row's state always comes from a Linux state
}

// Rows whose two addresses are IPv4 go back as AF_INET sockets, the others
// as AF_INET6 ones with 16-byte addresses (mapped IPv4 ones included).
void PutAddress(bool ipv4, const harlune::IpAddress& address, std::uint32_t (&words)[4]) {
  if (ipv4) {
    words[0] = address.Ipv4Value();
  } else {
    std::memcpy(words, address.Ipv6Bytes().data(), sizeof words);
  }
}

std::vector<std::byte> Datagram(const std::vector<harlune::TcpTableRow>& rows,
                                std::uint32_t sequence) {
  std::vector<std::byte> bytes;
  for (const harlune::TcpTableRow& row : rows) {
    struct {
      nlmsghdr header;
      inet_diag_msg body;
    } message{};
    static_assert(sizeof message == sizeof(nlmsghdr) + sizeof(inet_diag_msg));
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_seq = sequence;
    const bool ipv4 = row.localAddr.IsIpv4() && row.remoteAddr.IsIpv4();
    message.body.idiag_family = ipv4 ? AF_INET : AF_INET6;
    message.body.idiag_state = LinuxStateOf(row.state);
    message.body.id.idiag_sport = static_cast<std::uint16_t>(row.localPort);
    message.body.id.idiag_dport = static_cast<std::uint16_t>(row.remotePort);
    PutAddress(ipv4, row.localAddr, message.body.id.idiag_src);
    PutAddress(ipv4, row.remoteAddr, message.body.id.idiag_dst);
    message.body.idiag_inode = static_cast<std::uint32_t>(row.inode);
    const auto* from = reinterpret_cast<const std::byte*>(&message);
    bytes.insert(bytes.end(), from, from + sizeof message);
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const std::uint32_t sequence = data[0];
  const std::span<const std::byte> datagram(reinterpret_cast<const std::byte*>(data + 1), size - 1);
  std::vector<harlune::TcpTableRow> rows;
  const harlune::tcp_diag::DatagramStep step =
      harlune::tcp_diag::ReadDumpDatagram(datagram, sequence, rows);
  if (step.error < 0 || (step.error != 0 && !step.done) ||
      rows.size() > datagram.size() / (sizeof(nlmsghdr) + sizeof(inet_diag_msg))) {
    __builtin_trap();
  }
  for (const harlune::TcpTableRow& row : rows) {
    if (row.state < harlune::kTcpStateClosed || row.state > harlune::kTcpStateDeleteTcb ||
        row.localPort > 0xFFFFu || row.remotePort > 0xFFFFu || row.inode > 0xFFFFFFFFu ||
        row.owningPid != harlune::kUnknownOwner) {
      __builtin_trap();
    }
  }
  std::vector<harlune::TcpTableRow> again;
  const std::vector<std::byte> written = Datagram(rows, sequence);
  const harlune::tcp_diag::DatagramStep rewritten =
      harlune::tcp_diag::ReadDumpDatagram(written, sequence, again);
  if (rewritten.done || rewritten.error != 0 || again != rows) {
    __builtin_trap();
  }
  return 0;
}
