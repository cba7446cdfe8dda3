#pragma once

// The connection page's rows grouped by the process that owns them, for the
// page's process view: one group per process with the sums of its
// connections' rates and totals, and the connections themselves below it.
// A process is told apart by its id and path together, so two instances of
// one program are two groups; every connection whose owner is not known
// falls into one group.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/monitor/connection_rows.h"

namespace harlune {

// The process view's columns: the process's own, then those of a
// connection, which only the connections below a process fill.
enum class ProcessColumn : int {
  kProcessName = 0,
  kProcessId,
  kConnectionCount,
  kUpBandwidth,
  kDownBandwidth,
  kUpTotal,
  kDownTotal,
  kLocalAddress,
  kLocalPort,
  kRemoteAddress,
  kRemoteHost,
  kRemotePort,
  kState,
  kConnectedTime,
  kProcessPath,
};
inline constexpr std::size_t kProcessColumnCount = 15;

inline constexpr std::string_view kConnectionCountHeader = "接続数";

struct ProcessGroup {
  std::int32_t processId = kUnknownProcessId;
  std::string processName;
  std::string processPath;
  // Sums over the connections; wider than a connection's own counters.
  std::uint64_t upBandwidth = 0;
  std::uint64_t downBandwidth = 0;
  std::uint64_t upTotal = 0;
  std::uint64_t downTotal = 0;
  // In the order of the rows grouped.
  std::vector<ConnectionRow> connections;
};

// Header and alignment of a column; an empty header outside 0..14.
ConnectionColumnInfo ProcessColumnOf(int column);

// Whether the row's owner is not known: no process id, or an id that the
// process list no longer names.
bool IsUnknownProcess(const ConnectionRow& row);

// Whether two groups are the same process (id and path).
bool SameProcess(const ProcessGroup& a, const ProcessGroup& b);

// The groups' natural order: by name case-insensitively, then id, then
// path, the group of unknown owners last. A strict order of processes.
bool ProcessGroupLess(const ProcessGroup& a, const ProcessGroup& b);

// The rows grouped by process, the groups in natural order.
std::vector<ProcessGroup> GroupByProcess(std::vector<ConnectionRow> rows);

// The connection a filter made from the process starts from: its first
// IPv4 connection, whose filter applies to every family, else its first.
// The group has at least one connection.
const ConnectionRow& RepresentativeConnection(const ProcessGroup& group);

// The cell texts of a process row and of a connection row below one; empty
// where the column is not theirs and outside 0..14.
std::string ProcessGroupCellText(const ProcessGroup& group, int column);
std::string ProcessConnectionCellText(const ConnectionRow& row, int column, bool resolveHost);

// Column comparisons as CompareConnectionRows makes them: negative, 0 or
// positive ascending. Columns a row does not fill compare equal.
int CompareProcessGroups(const ProcessGroup& a, const ProcessGroup& b, int column);
int CompareProcessConnections(const ConnectionRow& a, const ConnectionRow& b, int column);

}  // namespace harlune
