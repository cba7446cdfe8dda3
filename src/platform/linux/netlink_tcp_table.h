#pragma once

// The extended TCP table: a NETLINK_SOCK_DIAG dump of every IPv4 TCP socket
// (inet_diag, all states) with its inode, joined with the inode's owner from
// the process source. States are mapped as proc_tcp_table.h documents.

#include <functional>
#include <memory>

#include "core/monitor/process_table.h"
#include "core/monitor/tcp_table.h"

namespace harlune {

class NetlinkTcpTable : public TcpTableSource {
 public:
  // owners: the source of the sockets' owners, or null to leave them
  // unknown.
  explicit NetlinkTcpTable(ProcessSource* owners);

  // Fails with the errno of the socket, of the kernel's error answer
  // (ENOENT when TCP has no diag module) or of a reply cut short.
  TcpTableResult ReadTable() override;
  bool RowsCarryOwners() const override { return true; }

 private:
  ProcessSource* owners_;
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
