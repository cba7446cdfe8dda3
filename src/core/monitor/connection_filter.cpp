#include "core/monitor/connection_filter.h"

#include <utility>

#include "core/monitor/process_table.h"

namespace harlune {
namespace {

enum class ConnectionFamily { kIpv4, kIpv6, kMixed };

// An unspecified IPv4 address (a default one) says nothing of the family;
// an IPv6 address beside a real IPv4 one cannot belong to one connection.
ConnectionFamily FamilyOf(const ConnectionInfo& connection) {
  const IpAddress& local = connection.localAddr;
  const IpAddress& remote = connection.remoteAddr;
  if (local.IsIpv4() && remote.IsIpv4()) {
    return ConnectionFamily::kIpv4;
  }
  const IpAddress& other = local.IsIpv4() ? local : remote;
  return other.IsIpv4() && !other.IsUnspecified() ? ConnectionFamily::kMixed
                                                  : ConnectionFamily::kIpv6;
}

protocol::Ipv6Prefix HostPrefix(const IpAddress& address) {
  if (address.IsIpv4() || address.IsUnspecified()) {
    return {};  // any address
  }
  return {address.Ipv6Bytes(), 128};
}

void BindToLocalAdapter(PacketFilterSetting& record, const IpAddress& local,
                        const AdapterTable& adapters) {
  // 0 for an IPv6 address: the IPv4 fields then match any address.
  record.LocalIPAddr = local.Ipv4Value();
  record.LocalIPAddrMask = 0;
  record.AdapterIndex = adapters.AdapterIndexOfAddress(local);
  record.LowerAdapterName = adapters.AdapterNameOf(record.AdapterIndex);
}

protocol::PortRange SinglePort(std::uint32_t storedPort) {
  const auto port = static_cast<std::uint16_t>(storedPort & 0xFFFFU);
  return protocol::PortRange{port, port};
}

ConnectionFilterResult Refused(std::string_view message) {
  return {std::nullopt, std::string(message)};
}

void MatchRemoteEnd(PacketFilterSetting& record, const ConnectionInfo& connection, bool ipv6) {
  if (ipv6) {
    record.RemoteIpv6 = HostPrefix(connection.remoteAddr);
  } else {
    record.RemoteIPAddr = connection.remoteAddr.Ipv4Value();
    record.RemoteIPAddrMask = !connection.remoteAddr.IsUnspecified() ? 0xFFFFFFFFU : 0U;
  }
  if (connection.remotePort != 0) {
    record.RemotePortCount = 1;
    record.RemotePorts[0] = SinglePort(connection.remotePort);
  }
}

}  // namespace

ConnectionFilterResult FilterForConnectionAddresses(const ConnectionInfo& connection,
                                                    const AdapterTable& adapters) {
  const ConnectionFamily family = FamilyOf(connection);
  if (family == ConnectionFamily::kMixed) {
    return Refused(kMixedFamilyConnectionFilterMessage);
  }
  const bool ipv6 = family == ConnectionFamily::kIpv6;
  PacketFilterSetting record;
  BindToLocalAdapter(record, connection.localAddr, adapters);
  if (ipv6) {
    record.LocalIpv6 = HostPrefix(connection.localAddr);
  }
  record.LocalPortCount = 1;
  record.LocalPorts[0] = SinglePort(connection.localPort);
  MatchRemoteEnd(record, connection, ipv6);
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
  const ConnectionFamily family = FamilyOf(connection);
  if (family == ConnectionFamily::kMixed) {
    return Refused(kMixedFamilyConnectionFilterMessage);
  }
  PacketFilterSetting record;
  record.AppName = processName;
  BindToLocalAdapter(record, connection.localAddr, adapters);
  if (family == ConnectionFamily::kIpv6) {
    record.AddressFamily = protocol::AddressFamilies::kIpv6;
  }
  record.HasApplication = record.DerivedHasApplication();
  return {std::move(record), {}};
}

}  // namespace harlune
