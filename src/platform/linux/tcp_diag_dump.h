#pragma once

// The answer of the kernel to an inet_diag dump of TCP sockets, read one
// datagram at a time into rows of the TCP table. The dump of AF_INET6
// sockets names IPv4 connections made through IPv6 sockets by their
// IPv4-mapped addresses; those rows hold IPv4 addresses.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/monitor/tcp_table.h"

namespace harlune::tcp_diag {

// What one datagram of a dump said.
struct DatagramStep {
  bool done = false;  // the dump ended (NLMSG_DONE, or an error answer)
  int error = 0;      // errno of the kernel's error answer or of a malformed datagram
};

// Appends the rows of the sockets in one datagram of the answer to the dump
// numbered `sequence`: messages of other requests are skipped, sockets of
// other families and of states without a MIB state are left out (owners
// stay unknown). A message that claims more bytes than the datagram holds
// ends the dump with EPROTO.
DatagramStep ReadDumpDatagram(std::span<const std::byte> datagram, std::uint32_t sequence,
                              std::vector<TcpTableRow>& rows);

// The same for a dump of both families at once (the older TCPDIAG_GETSOCK
// request, whose answers carry that message type and the same socket
// records): the rows of AF_INET sockets go to `ipv4Sockets`, those of
// AF_INET6 sockets, mapped ones included, to `ipv6Sockets`.
DatagramStep ReadDumpDatagram(std::span<const std::byte> datagram, std::uint32_t sequence,
                              std::vector<TcpTableRow>& ipv4Sockets,
                              std::vector<TcpTableRow>& ipv6Sockets);

}  // namespace harlune::tcp_diag
