#pragma once

// The extended TCP table: NETLINK_SOCK_DIAG dumps of every IPv4 and every
// IPv6 TCP socket (inet_diag, all states) with their inodes, joined with the
// inodes' owners from the process source. States are mapped as
// proc_tcp_table.h documents.
//
// A SOCK_DIAG_BY_FAMILY dump holds one family (AF_UNSPEC is refused with
// ENOENT), and each such dump walks the kernel's tables of both families to
// pick its own. The older TCPDIAG_GETSOCK request dumps both families in
// one walk, which halves the kernel's part of the refresh; the table asks
// that first and takes the two dumps (AF_INET, then AF_INET6) only where
// the kernel refuses it. An IPv6 socket's IPv4-mapped addresses make an
// IPv4 row; the rows are those of the IPv4 sockets, then the IPv4 rows of
// IPv6 sockets, then the IPv6 rows, each in the kernel's order.

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "core/monitor/process_table.h"
#include "core/monitor/tcp_table.h"

namespace harlune {

// One dump of the sockets of a family (AF_INET or AF_INET6): fills `rows`
// and gives 0, or gives the errno that ended it.
using TcpDiagDump = std::function<int(int family, std::vector<TcpTableRow>& rows)>;

// The dump the kernel answers on a new NETLINK_SOCK_DIAG socket. Fails with
// the errno of the socket, of the kernel's error answer (ENOENT when the
// family or TCP has no diag module) or of a reply cut short.
int KernelTcpDiagDump(int family, std::vector<TcpTableRow>& rows);

// One dump of the sockets of both families: the rows of AF_INET sockets to
// the first vector, those of AF_INET6 sockets to the second; gives 0 or the
// errno that ended it.
using TcpDiagBothDump = std::function<int(std::vector<TcpTableRow>& ipv4Sockets,
                                          std::vector<TcpTableRow>& ipv6Sockets)>;

// The TCPDIAG_GETSOCK dump the kernel answers on a new NETLINK_SOCK_DIAG
// socket; fails as KernelTcpDiagDump does (EINVAL or EOPNOTSUPP from a
// kernel without the older request).
int KernelTcpDiagBothDump(std::vector<TcpTableRow>& ipv4Sockets,
                          std::vector<TcpTableRow>& ipv6Sockets);

class NetlinkTcpTable : public TcpTableSource {
 public:
  // owners: the source of the sockets' owners, or null to leave them
  // unknown. The sockets come from the kernel's dumps.
  explicit NetlinkTcpTable(ProcessSource* owners);
  // dump: the dumps of one family; both: the dump of both families, or
  // none to take the dumps of one family only (tests).
  NetlinkTcpTable(ProcessSource* owners, TcpDiagDump dump, TcpDiagBothDump both = {});

  // The dump of both families, until it fails with an errno that says the
  // kernel does not know it (EINVAL, EOPNOTSUPP, ENOENT, EPROTONOSUPPORT,
  // EAFNOSUPPORT): from then on the two dumps of one family. Any other
  // failure of it fails the table. The two dumps fail the table with the
  // errno of the IPv4 dump, or of the IPv6 dump unless that one only says
  // the system has no IPv6 (ENOENT, EAFNOSUPPORT, EPROTONOSUPPORT): then
  // the table is the IPv4 rows.
  TcpTableResult ReadTable() override;
  bool RowsCarryOwners() const override { return true; }

 private:
  // The rows of IPv4 sockets to `rows`, of IPv6 sockets to ipv6Rows_.
  int ReadDumps(std::vector<TcpTableRow>& rows);

  ProcessSource* owners_;
  TcpDiagDump dump_;
  TcpDiagBothDump both_;
  bool bothRefused_ = false;
  // Kept for their capacity: a refresh allocates once for its rows.
  std::vector<TcpTableRow> ipv6Rows_;
  std::size_t lastRowCount_ = 0;
};

// Whether the kernel answers an inet_diag dump of IPv4 TCP sockets.
bool SockDiagAvailable();

// The table source of the connection monitor. The extended table needs a
// system recent enough to give owners with the table, or SYSTEM_CHECK; on
// Linux every system qualifies, so the extended table is the normal one and
// the plain /proc/net/tcp table is taken only when sock_diag does not
// answer. With the plain table the owners come by local port when
// portProcessMapping (PORT_PROCESS_MAPPING) is on, else stay unknown.
std::unique_ptr<TcpTableSource> ChooseTcpTableSource(
    ProcessSource& processes, bool portProcessMapping,
    const std::function<bool()>& extendedAvailable = SockDiagAvailable);

}  // namespace harlune
