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
// A connection whose two addresses are of different families, which no
// system table gives, names no packets of either family.
inline constexpr std::string_view kMixedFamilyConnectionFilterMessage =
    "IPv4とIPv6のアドレスが混在する接続からフィルタを作成することはできません。";
// The shorter refusal of a filter made from a connection.
inline constexpr std::string_view kConnectionAdapterNotValidMessage =
    "そのアダプタは有効ではありません。";

struct ConnectionFilterResult {
  std::optional<PacketFilterSetting> record;
  std::string refusal;  // set when there is no record
};

// A default record matching the connection's local address (mask 0) and
// local port, its remote address and port (every remote address or port
// when the connection has none), on the adapter owning the local address
// ("none" when no adapter does, or the address is unspecified). A native
// IPv6 connection gives its addresses as /128 IPv6 prefixes, an unspecified
// "::" as any address, and leaves the IPv4 fields at any address with the
// family unset: the prefixes make it an IPv6 filter, and a listener on "::"
// gives a filter of both families, as such a socket also takes IPv4 peers
// unless it is IPv6-only, which the table does not tell. (A connection of
// an IPv6 socket whose addresses are IPv4-mapped is IPv4 and gives the
// record of its IPv4 connection.) Refused for mixed families.
ConnectionFilterResult FilterForConnectionAddresses(const ConnectionInfo& connection,
                                                    const AdapterTable& adapters);

// A default record bound to the connection's process, on the adapter owning
// the local address; refused for a process whose name is not known, for the
// system process and for mixed families. The record holds no addresses;
// one from a native IPv6 connection applies to IPv6 alone, so that it
// covers the traffic the connection stands for, while one from an IPv4
// connection applies, as it always did, to what the record alone says.
ConnectionFilterResult FilterForConnectionProcess(const ConnectionInfo& connection,
                                                  std::string_view processName,
                                                  const AdapterTable& adapters);

}  // namespace harlune
