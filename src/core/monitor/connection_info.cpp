#include "core/monitor/connection_info.h"

#include <bit>
#include <tuple>

namespace harlune {

ConnectionInfo ConnectionInfoFromRow(const TcpTableRow& row) {
  ConnectionInfo connection;
  connection.state = row.state;
  connection.localAddr = row.localAddr;
  connection.localPort = row.localPort;
  connection.remoteAddr = row.remoteAddr;
  connection.remotePort = row.remoteAddr.IsUnspecified() ? 0 : row.remotePort;
  connection.processId = row.owningPid == kUnknownOwner ? kUnknownProcessId : row.owningPid;
  return connection;
}

TcpFourTuple KeyOf(const ConnectionInfo& connection) {
  return {connection.localAddr, connection.localPort, connection.remoteAddr, connection.remotePort};
}

bool ConnectionKeyLess::operator()(const TcpFourTuple& a, const TcpFourTuple& b) const noexcept {
  return std::tuple(HostOrderPort(a.localPort), a.localAddr, a.remotePort, a.remoteAddr) <
         std::tuple(HostOrderPort(b.localPort), b.localAddr, b.remotePort, b.remoteAddr);
}

std::uint16_t HostOrderPort(std::uint32_t storedPort) noexcept {
  const auto networkOrder = static_cast<std::uint16_t>(storedPort & 0xFFFFu);
  if constexpr (std::endian::native == std::endian::little) {
    return static_cast<std::uint16_t>((networkOrder >> 8) | (networkOrder << 8));
  } else {
    return networkOrder;
  }
}

}  // namespace harlune
