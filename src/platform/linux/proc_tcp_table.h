#pragma once

// The plain TCP table: /proc/net/tcp and /proc/net/tcp6. It names no
// owners; when port-to-process mapping is on, each row's owner is the
// process that owns the first socket on its local port, found through
// /proc/<pid>/fd. An IPv6 socket's IPv4-mapped addresses make an IPv4 row;
// the rows are those of /proc/net/tcp, then the IPv4 rows of
// /proc/net/tcp6, then its IPv6 rows, each in the file's order.
//
// Linux TCP states and the MIB states a row carries:
//
//   Linux          value  MIB state
//   ESTABLISHED      1    5 ESTABLISHED
//   SYN_SENT         2    3 SYN_SENT
//   SYN_RECV         3    4 SYN_RCVD
//   FIN_WAIT1        4    6 FIN_WAIT1
//   FIN_WAIT2        5    7 FIN_WAIT2
//   TIME_WAIT        6   11 TIME_WAIT
//   CLOSE            7    1 CLOSED
//   CLOSE_WAIT       8    8 CLOSE_WAIT
//   LAST_ACK         9   10 LAST_ACK
//   LISTEN          10    2 LISTENING
//   CLOSING         11    9 CLOSING
//   NEW_SYN_RECV    12    4 SYN_RCVD (a pending connection request)
//
// Any other value (BOUND_INACTIVE, a bound socket that neither listens nor
// connects, and states of later kernels) has no MIB state and its row is
// left out. DELETE_TCB (12) is never reported by Linux.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/monitor/process_table.h"
#include "core/monitor/tcp_table.h"

namespace harlune {

// The MIB state of a Linux TCP state, nothing when there is none.
std::optional<std::uint32_t> MibTcpStateOf(unsigned linuxState);

// The rows of a /proc/net/tcp text, in its order. The header and every line
// that is not a complete, well-formed row are ignored.
std::vector<TcpTableRow> ParseProcNetTcp(std::string_view text);

// The rows of a /proc/net/tcp6 text, as ParseProcNetTcp reads its file. An
// address there is 32 hexadecimal digits: the four 32-bit words of the
// address, each printed as the value the host holds (on a little-endian
// host the bytes of each word come reversed).
std::vector<TcpTableRow> ParseProcNetTcp6(std::string_view text);

// What reading the table's file gave: its text, or the errno of the failure.
struct ProcTextRead {
  bool ok = false;
  int errorCode = 0;
  std::string text;
};
using ProcTextReader = std::function<ProcTextRead()>;

// Reads a whole file of /proc (whose size the file system does not tell).
ProcTextRead ReadProcText(const std::string& path);

class ProcTcpTable : public TcpTableSource {
 public:
  // ipv4Reader, ipv6Reader: give the texts of /proc/net/tcp and
  // /proc/net/tcp6. portMapping: the process source whose socket owners
  // fill the rows by local port, or null to leave every owner unknown.
  ProcTcpTable(ProcTextReader ipv4Reader, ProcTextReader ipv6Reader,
               ProcessSource* portMapping = nullptr);

  // Fails with the errno of either file, except that a missing
  // /proc/net/tcp6 (ENOENT: a system without IPv6) leaves the IPv4 rows.
  TcpTableResult ReadTable() override;
  bool RowsCarryOwners() const override { return false; }

  static ProcTextReader DefaultReader();      // /proc/net/tcp
  static ProcTextReader DefaultIpv6Reader();  // /proc/net/tcp6

 private:
  ProcTextReader ipv4Reader_;
  ProcTextReader ipv6Reader_;
  ProcessSource* portMapping_;
};

}  // namespace harlune
