#pragma once

// New filter records made from a connection of the connection table: one
// that matches the connection's addresses and ports, and one that matches
// its process. The filter editor opens on them; adding the result goes
// through the filtering session like any new filter.

#include <optional>
#include <string>
#include <string_view>

#include "core/filter/packet_filter_setting.h"
#include "core/monitor/adapter_table.h"
#include "core/monitor/connection_info.h"

namespace harlune {

inline constexpr std::string_view kUnknownProcessFilterMessage =
    "不明なプロセスにフィルタを適用することはできません。";
inline constexpr std::string_view kSystemProcessFilterMessage =
    "システムプロセスにフィルタを適用することはできません。";
// Filter records and the adapter table hold IPv4 addresses only, so a
// native IPv6 connection gives no record. (A connection of an IPv6 socket
// whose addresses are IPv4-mapped is IPv4 and gives one as any other.)
inline constexpr std::string_view kIpv6ConnectionFilterMessage =
    "IPv6 の接続からフィルタを作成することはできません。";
// The shorter refusal of a filter made from a connection.
inline constexpr std::string_view kConnectionAdapterNotValidMessage =
    "そのアダプタは有効ではありません。";

struct ConnectionFilterResult {
  std::optional<PacketFilterSetting> record;
  std::string refusal;  // set when there is no record
};

// A default record matching the connection's local address (mask 0) and
// local port, its remote address and port (every remote address or port
// when the connection has none), on the adapter owning the local address.
// Refused when either address is IPv6, the unspecified "::" included: the
// table cannot tell whether such a listener also takes IPv4 peers.
ConnectionFilterResult FilterForConnectionAddresses(const ConnectionInfo& connection,
                                                    const AdapterTable& adapters);

// A default record bound to the connection's process, on the adapter owning
// the local address; refused for a process whose name is not known and for
// the system process. The record holds no addresses, so an IPv6 connection
// gives one when its adapter is known: a socket bound to "::" is on no
// adapter, as one bound to 0.0.0.0 is; any other IPv6 local address is
// refused, since the adapter table knows only IPv4 addresses and the record
// would be bound to the wrong adapter.
ConnectionFilterResult FilterForConnectionProcess(const ConnectionInfo& connection,
                                                  std::string_view processName,
                                                  const AdapterTable& adapters);

}  // namespace harlune
