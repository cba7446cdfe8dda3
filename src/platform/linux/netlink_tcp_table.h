#pragma once

// The extended TCP table: NETLINK_SOCK_DIAG dumps of every IPv4 and every
// IPv6 TCP socket (inet_diag, all states) with their inodes, joined with the
// inodes' owners from the process source. States are mapped as
// proc_tcp_table.h documents.
//
// The kernel dumps one family per request (AF_UNSPEC is refused with
// ENOENT), so the table is two dumps: AF_INET, then AF_INET6. An IPv6
// socket's IPv4-mapped addresses make an IPv4 row; the rows are those of
// the IPv4 sockets, then the IPv4 rows of IPv6 sockets, then the IPv6 rows,
// each in the kernel's order.

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

class NetlinkTcpTable : public TcpTableSource {
 public:
  // owners: the source of the sockets' owners, or null to leave them
  // unknown. dump: where the sockets come from (the kernel but in tests).
  explicit NetlinkTcpTable(ProcessSource* owners, TcpDiagDump dump = KernelTcpDiagDump);

  // Fails with the errno of the IPv4 dump, or of the IPv6 dump unless that
  // one only says the system has no IPv6 (ENOENT, EAFNOSUPPORT,
  // EPROTONOSUPPORT): then the table is the IPv4 rows.
  TcpTableResult ReadTable() override;
  bool RowsCarryOwners() const override { return true; }

 private:
  ProcessSource* owners_;
  TcpDiagDump dump_;
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
