#include "core/monitor/connection_filter.h"

#include <utility>

#include "core/monitor/process_table.h"

namespace harlune {
namespace {

void BindToLocalAdapter(PacketFilterSetting& record, const IpAddress& local,
                        const AdapterTable& adapters) {
  const std::uint32_t localAddr = local.Ipv4Value();
  record.LocalIPAddr = localAddr;
  record.LocalIPAddrMask = 0;
  record.AdapterIndex = adapters.AdapterIndexOfAddress(localAddr);
  record.LowerAdapterName = adapters.AdapterNameOf(record.AdapterIndex);
}

protocol::PortRange SinglePort(std::uint32_t storedPort) {
  const auto port = static_cast<std::uint16_t>(storedPort & 0xFFFFU);
  return protocol::PortRange{port, port};
}

ConnectionFilterResult Refused(std::string_view message) {
  return {std::nullopt, std::string(message)};
}

}  // namespace

ConnectionFilterResult FilterForConnectionAddresses(const ConnectionInfo& connection,
                                                    const AdapterTable& adapters) {
  if (!connection.localAddr.IsIpv4() || !connection.remoteAddr.IsIpv4()) {
    return Refused(kIpv6ConnectionFilterMessage);
  }
  PacketFilterSetting record;
  BindToLocalAdapter(record, connection.localAddr, adapters);
  record.LocalPortCount = 1;
  record.LocalPorts[0] = SinglePort(connection.localPort);
  record.RemoteIPAddr = connection.remoteAddr.Ipv4Value();
  record.RemoteIPAddrMask = !connection.remoteAddr.IsUnspecified() ? 0xFFFFFFFFU : 0U;
  if (connection.remotePort != 0) {
    record.RemotePortCount = 1;
    record.RemotePorts[0] = SinglePort(connection.remotePort);
  }
  return {std::move(record), {}};
}

ConnectionFilterResult FilterForConnectionProcess(const ConnectionInfo& connection,
                                                  std::string_view processName,
                                                  const AdapterTable& adapters) {
  if (processName == kUnknownProcessText) {
    return Refused(kUnknownProcessFilterMessage);
  }
  if (processName == kSystemProcessName) {
    return Refused(kSystemProcessFilterMessage);
  }
  if (!connection.localAddr.IsIpv4() && !connection.localAddr.IsUnspecified()) {
    return Refused(kIpv6ConnectionFilterMessage);
  }
  PacketFilterSetting record;
  record.AppName = processName;
  BindToLocalAdapter(record, connection.localAddr, adapters);
  record.HasApplication = record.DerivedHasApplication();
  return {std::move(record), {}};
}

}  // namespace harlune
