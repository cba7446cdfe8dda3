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
// The shorter refusal of a filter made from a connection.
inline constexpr std::string_view kConnectionAdapterNotValidMessage =
    "そのアダプタは有効ではありません。";

// A default record matching the connection's local address (mask 0) and
// local port, its remote address and port (every remote address or port
// when the connection has none), on the adapter owning the local address.
PacketFilterSetting FilterForConnectionAddresses(const ConnectionInfo& connection,
                                                 const AdapterTable& adapters);

struct ProcessFilterResult {
  std::optional<PacketFilterSetting> record;
  std::string refusal;  // set when there is no record
};

// A default record bound to the connection's process; refused for a
// process whose name is not known and for the system process.
ProcessFilterResult FilterForConnectionProcess(const ConnectionInfo& connection,
                                               std::string_view processName,
                                               const AdapterTable& adapters);

}  // namespace harlune
