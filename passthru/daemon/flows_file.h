#pragma once

// The simulator's flows file: UTF-8 (ASCII in practice) text, one statement
// a line, '#' starts a comment, blank lines are ignored.
//
//   adapter NAME
//       serve NAME as an adapter even when the machine has none by that name
//   flow ADAPTER send|receive tcp|udp|icmp|NUMBER LOCAL:PORT REMOTE:PORT RATE
//        [size=BYTES] [ports=P1,P2,...]
//       RATE is bytes per second, or with a suffix K (x1024) or M (x1048576);
//       size is the packets' IP-layer length (28..65535, default 1000; an
//       IPv6 packet is at least 48); ports are the owning process's local
//       ports, used in turn as the flow's local port. An IPv6 endpoint is
//       written in brackets, [2001:db8::2]:443; both endpoints of a flow are
//       of one family.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "passthru/engine/simulated_traffic.h"

namespace harlune {

inline constexpr std::size_t kMaxFlows = 4096;
inline constexpr std::size_t kMaxFlowsFileBytes = 1 << 20;

struct FlowsFile {
  std::vector<std::string> adapters;  // declared with "adapter"
  std::vector<Flow> flows;

  bool operator==(const FlowsFile&) const = default;
};

struct FlowsParseResult {
  std::optional<FlowsFile> file;
  std::string error;  // "line N: reason" when `file` is empty
};

FlowsParseResult ParseFlowsFile(std::string_view text);
std::string SerializeFlowsFile(const FlowsFile& file);

struct FlowsLoadResult {
  enum class Status { Loaded, Missing, Damaged };
  Status status = Status::Missing;
  FlowsFile file;
  std::string error;
};

FlowsLoadResult LoadFlowsFile(const std::filesystem::path& path);

// The demonstration flows of one adapter: a download, an upload, a UDP
// stream and a small ICMP flow, with remote addresses from the documentation
// ranges only (192.0.2.0/24, 198.51.100.0/24, 203.0.113.0/24), and beside
// them IPv6 flows from 2001:db8::/32: a TCP download from port 443, a TCP
// upload and a UDP stream.
std::vector<Flow> DemoFlows(const std::string& adapter);

}  // namespace harlune
