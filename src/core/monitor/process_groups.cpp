#include "core/monitor/process_groups.h"

#include <algorithm>
#include <array>
#include <map>
#include <tuple>
#include <utility>

#include "core/base/ascii_case.h"
#include "core/base/size_text.h"
#include "core/monitor/process_table.h"

namespace harlune {

namespace {

constexpr int kNoColumn = -1;

// Per process column: the connection column whose header it takes (the
// count column has a header of its own), and the connection column a
// connection row below a process shows in it. The process stands on the
// row above, so a connection row leaves the process columns empty; its
// first column names the protocol, as the connection list's first does.
struct ProcessColumnSource {
  int header;
  int connectionCell;
};

constexpr int Of(ConnectionColumn column) { return static_cast<int>(column); }

constexpr std::array<ProcessColumnSource, kProcessColumnCount> kColumnSources{{
    {Of(ConnectionColumn::kProcessName), Of(ConnectionColumn::kProtocol)},
    {Of(ConnectionColumn::kProcessId), kNoColumn},
    {kNoColumn, kNoColumn},
    {Of(ConnectionColumn::kUpBandwidth), Of(ConnectionColumn::kUpBandwidth)},
    {Of(ConnectionColumn::kDownBandwidth), Of(ConnectionColumn::kDownBandwidth)},
    {Of(ConnectionColumn::kUpTotal), Of(ConnectionColumn::kUpTotal)},
    {Of(ConnectionColumn::kDownTotal), Of(ConnectionColumn::kDownTotal)},
    {Of(ConnectionColumn::kLocalAddress), Of(ConnectionColumn::kLocalAddress)},
    {Of(ConnectionColumn::kLocalPort), Of(ConnectionColumn::kLocalPort)},
    {Of(ConnectionColumn::kRemoteAddress), Of(ConnectionColumn::kRemoteAddress)},
    {Of(ConnectionColumn::kRemoteHost), Of(ConnectionColumn::kRemoteHost)},
    {Of(ConnectionColumn::kRemotePort), Of(ConnectionColumn::kRemotePort)},
    {Of(ConnectionColumn::kState), Of(ConnectionColumn::kState)},
    {Of(ConnectionColumn::kConnectedTime), Of(ConnectionColumn::kConnectedTime)},
    {Of(ConnectionColumn::kProcessPath), kNoColumn},
}};

bool InRange(int column) { return column >= 0 && column < static_cast<int>(kProcessColumnCount); }

int ConnectionCellColumn(int column) {
  return InRange(column) ? kColumnSources[static_cast<std::size_t>(column)].connectionCell
                         : kNoColumn;
}

template <typename T>
int Compare(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

using ProcessIdentity = std::pair<std::int32_t, std::string>;

ProcessGroup& GroupOf(const ConnectionRow& row, std::vector<ProcessGroup>& groups,
                      std::map<ProcessIdentity, std::size_t>& indexOf) {
  const bool unknown = IsUnknownProcess(row);
  ProcessIdentity identity{unknown ? kUnknownProcessId : row.connection.processId,
                           unknown ? std::string(kUnknownProcessText) : row.processPath};
  const auto [found, added] = indexOf.try_emplace(identity, groups.size());
  if (added) {
    ProcessGroup& group = groups.emplace_back();
    group.processId = identity.first;
    group.processName = unknown ? std::string(kUnknownProcessText) : row.processName;
    group.processPath = std::move(identity.second);
  }
  return groups[found->second];
}

}  // namespace

ConnectionColumnInfo ProcessColumnOf(int column) {
  if (!InRange(column)) {
    return {};
  }
  if (static_cast<ProcessColumn>(column) == ProcessColumn::kConnectionCount) {
    return {kConnectionCountHeader, true};
  }
  return ConnectionColumnOf(kColumnSources[static_cast<std::size_t>(column)].header);
}

bool IsUnknownProcess(const ConnectionRow& row) {
  return row.connection.processId == kUnknownProcessId || row.processName == kUnknownProcessText;
}

bool SameProcess(const ProcessGroup& a, const ProcessGroup& b) {
  return a.processId == b.processId && a.processPath == b.processPath;
}

bool ProcessGroupLess(const ProcessGroup& a, const ProcessGroup& b) {
  const bool aUnknown = a.processId == kUnknownProcessId;
  const bool bUnknown = b.processId == kUnknownProcessId;
  if (aUnknown != bUnknown) {
    return bUnknown;
  }
  if (const int byName = CompareIgnoringAsciiCase(a.processName, b.processName); byName != 0) {
    return byName < 0;
  }
  return std::tie(a.processName, a.processId, a.processPath) <
         std::tie(b.processName, b.processId, b.processPath);
}

std::vector<ProcessGroup> GroupByProcess(std::vector<ConnectionRow> rows) {
  std::vector<ProcessGroup> groups;
  std::map<ProcessIdentity, std::size_t> indexOf;
  for (ConnectionRow& row : rows) {
    ProcessGroup& group = GroupOf(row, groups, indexOf);
    const ConnectionInfo& c = row.connection;
    group.upBandwidth += c.upBandwidth;
    group.downBandwidth += c.downBandwidth;
    group.upTotal += c.upTotal;
    group.downTotal += c.downTotal;
    group.connections.push_back(std::move(row));
  }
  std::ranges::sort(groups, ProcessGroupLess);
  return groups;
}

const ConnectionRow& RepresentativeConnection(const ProcessGroup& group) {
  const auto ipv4 = std::ranges::find_if(group.connections, [](const ConnectionRow& row) {
    return row.connection.localAddr.IsIpv4();
  });
  return ipv4 != group.connections.end() ? *ipv4 : group.connections.front();
}

std::string ProcessGroupCellText(const ProcessGroup& group, int column) {
  if (!InRange(column)) {
    return {};
  }
  switch (static_cast<ProcessColumn>(column)) {
    case ProcessColumn::kProcessName:
      return group.processName;
    case ProcessColumn::kProcessId:
      return group.processId == kUnknownProcessId ? std::string(kUnknownProcessText)
                                                  : std::to_string(group.processId);
    case ProcessColumn::kConnectionCount:
      return std::to_string(group.connections.size());
    case ProcessColumn::kUpBandwidth:
      return BandwidthText(group.upBandwidth);
    case ProcessColumn::kDownBandwidth:
      return BandwidthText(group.downBandwidth);
    case ProcessColumn::kUpTotal:
      return SizeText(group.upTotal);
    case ProcessColumn::kDownTotal:
      return SizeText(group.downTotal);
    case ProcessColumn::kProcessPath:
      return group.processPath;
    default:
      return {};
  }
}

std::string ProcessConnectionCellText(const ConnectionRow& row, int column, bool resolveHost) {
  return ConnectionCellText(row, ConnectionCellColumn(column), resolveHost);
}

int CompareProcessGroups(const ProcessGroup& a, const ProcessGroup& b, int column) {
  switch (static_cast<ProcessColumn>(column)) {
    case ProcessColumn::kProcessName:
      return CompareIgnoringAsciiCase(a.processName, b.processName);
    case ProcessColumn::kProcessId:
      return Compare(a.processId, b.processId);
    case ProcessColumn::kConnectionCount:
      return Compare(a.connections.size(), b.connections.size());
    case ProcessColumn::kUpBandwidth:
      return Compare(a.upBandwidth, b.upBandwidth);
    case ProcessColumn::kDownBandwidth:
      return Compare(a.downBandwidth, b.downBandwidth);
    case ProcessColumn::kUpTotal:
      return Compare(a.upTotal, b.upTotal);
    case ProcessColumn::kDownTotal:
      return Compare(a.downTotal, b.downTotal);
    case ProcessColumn::kProcessPath:
      return CompareIgnoringAsciiCase(a.processPath, b.processPath);
    default:
      return 0;
  }
}

int CompareProcessConnections(const ConnectionRow& a, const ConnectionRow& b, int column) {
  return CompareConnectionRows(a, b, ConnectionCellColumn(column));
}

}  // namespace harlune
