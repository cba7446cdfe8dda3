#include "core/monitor/connection_rows.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "core/base/ascii_case.h"
#include "core/base/c_format.h"
#include "core/base/size_text.h"
#include "core/monitor/process_table.h"
#include "core/monitor/service_names.h"
#include "protocol/ip_address.h"

namespace harlune {

namespace {

constexpr std::array<ConnectionColumnInfo, kConnectionColumnCount> kColumns{{
    {"プロトコル", true},
    {"UP帯域", true},
    {"DOWN帯域", true},
    {"UP転送量", true},
    {"DOWN転送量", true},
    {"ローカルIPアドレス", false},
    {"ローカルポート", true},
    {"リモートIPアドレス", false},
    {"リモートホスト名", false},
    {"リモートポート", true},
    {"状態", false},
    {"接続時間", true},
    {"プロセス名", false},
    {"プロセスID", true},
    {"プロセスのパス", false},
}};

// Indexed by the state number; 0 is no state.
constexpr std::array<std::string_view, 13> kStateNames{
    "",          "CLOSED",     "LISTENING", "SYN_SENT", "SYN_RCVD",  "ESTABLISHED", "FIN_WAIT1",
    "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",   "LAST_ACK", "TIME_WAIT", "DELETE_TCB"};

template <typename T>
int Compare(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int CompareHostNames(const std::string& a, const std::string& b) {
  if (a.empty() || b.empty()) {
    return Compare(!a.empty(), !b.empty());
  }
  return CompareIgnoringAsciiCase(a, b);
}

bool IsActiveState(std::uint32_t state) {
  return state == kTcpStateListen || state == kTcpStateSynSent || state == kTcpStateSynRcvd ||
         state == kTcpStateEstablished;
}

}  // namespace

ConnectionColumnInfo ConnectionColumnOf(int column) {
  if (column < 0 || column >= static_cast<int>(kConnectionColumnCount)) {
    return {};
  }
  return kColumns[static_cast<std::size_t>(column)];
}

std::string_view TcpStateName(std::uint32_t state) {
  return state < kStateNames.size() ? kStateNames[state] : std::string_view{};
}

std::string BandwidthText(std::uint64_t bytesPerSecond) {
  return CFormat("%.1f KB/s", static_cast<double>(bytesPerSecond) / 1024.0);
}

std::string ConnectedTimeText(std::uint32_t seconds) {
  return CFormat("%u分%.2u秒", seconds / 60, seconds % 60);
}

bool IsConnectionShown(const ConnectionInfo& connection, const ConnectionViewOptions& options) {
  if (!options.showListening && connection.state == kTcpStateListen) {
    return false;
  }
  return !options.showActiveOnly || IsActiveState(connection.state);
}

std::string ConnectionCellText(const ConnectionRow& row, int column, bool resolveHost) {
  const ConnectionInfo& c = row.connection;
  switch (static_cast<ConnectionColumn>(column)) {
    case ConnectionColumn::kProtocol:
      return "TCP";
    case ConnectionColumn::kUpBandwidth:
      return BandwidthText(c.upBandwidth);
    case ConnectionColumn::kDownBandwidth:
      return BandwidthText(c.downBandwidth);
    case ConnectionColumn::kUpTotal:
      return SizeText(c.upTotal);
    case ConnectionColumn::kDownTotal:
      return SizeText(c.downTotal);
    case ConnectionColumn::kLocalAddress:
      return c.localAddr.ToText();
    case ConnectionColumn::kLocalPort:
      return std::to_string(HostOrderPort(c.localPort));
    case ConnectionColumn::kRemoteAddress:
      return c.remoteAddr.ToText();
    case ConnectionColumn::kRemoteHost:
      if (!c.remoteHost.empty()) {
        return c.remoteHost;
      }
      return std::string(resolveHost ? kHostSearchingText : kHostSearchStoppedText);
    case ConnectionColumn::kRemotePort: {
      const auto port = static_cast<std::uint16_t>(c.remotePort & 0xFFFFu);
      return PortText(port, port);
    }
    case ConnectionColumn::kState:
      return std::string(TcpStateName(c.state));
    case ConnectionColumn::kConnectedTime:
      return ConnectedTimeText(c.connectedSeconds);
    case ConnectionColumn::kProcessName:
      return row.processName;
    case ConnectionColumn::kProcessId:
      return c.processId == kUnknownProcessId ? std::string(kUnknownProcessText)
                                              : std::to_string(c.processId);
    case ConnectionColumn::kProcessPath:
      return row.processPath;
  }
  return {};
}

bool ShowsIpv6Address(const ConnectionRow& row, int column) {
  switch (static_cast<ConnectionColumn>(column)) {
    case ConnectionColumn::kLocalAddress:
      return !row.connection.localAddr.IsIpv4();
    case ConnectionColumn::kRemoteAddress:
      return !row.connection.remoteAddr.IsIpv4();
    default:
      return false;
  }
}

int CompareConnectionRows(const ConnectionRow& ra, const ConnectionRow& rb, int column) {
  const ConnectionInfo& a = ra.connection;
  const ConnectionInfo& b = rb.connection;
  switch (static_cast<ConnectionColumn>(column)) {
    case ConnectionColumn::kProtocol:
      return 0;
    case ConnectionColumn::kUpBandwidth:
      return Compare(a.upBandwidth, b.upBandwidth);
    case ConnectionColumn::kDownBandwidth:
      return Compare(a.downBandwidth, b.downBandwidth);
    case ConnectionColumn::kUpTotal:
      return Compare(a.upTotal, b.upTotal);
    case ConnectionColumn::kDownTotal:
      return Compare(a.downTotal, b.downTotal);
    case ConnectionColumn::kLocalAddress:
      return Compare(a.localAddr, b.localAddr);
    case ConnectionColumn::kLocalPort:
      return Compare(HostOrderPort(a.localPort), HostOrderPort(b.localPort));
    case ConnectionColumn::kRemoteAddress:
      return Compare(a.remoteAddr, b.remoteAddr);
    case ConnectionColumn::kRemoteHost:
      return CompareHostNames(a.remoteHost, b.remoteHost);
    case ConnectionColumn::kRemotePort:
      return Compare(HostOrderPort(a.remotePort), HostOrderPort(b.remotePort));
    case ConnectionColumn::kState:
      return Compare(a.state, b.state);
    case ConnectionColumn::kConnectedTime:
      return Compare(a.connectedSeconds, b.connectedSeconds);
    case ConnectionColumn::kProcessName:
      return CompareIgnoringAsciiCase(ra.processName, rb.processName);
    case ConnectionColumn::kProcessId:
      return Compare(a.processId, b.processId);
    case ConnectionColumn::kProcessPath:
      return CompareIgnoringAsciiCase(ra.processPath, rb.processPath);
  }
  return 0;
}

void ConnectionSortOrder::ClickHeader(int column) {
  if (column == column_) {
    ascending_ = !ascending_;
  } else {
    column_ = column;
    ascending_ = true;
  }
}

void ConnectionSortOrder::Sort(std::vector<ConnectionRow>& rows) const {
  if (column_ < 0) {
    return;
  }
  const int sign = ascending_ ? 1 : -1;
  std::stable_sort(rows.begin(), rows.end(), [&](const ConnectionRow& a, const ConnectionRow& b) {
    return sign * CompareConnectionRows(a, b, column_) < 0;
  });
}

std::vector<ConnectionRow> BuildConnectionRows(const ConnectionMonitor& monitor,
                                               const ConnectionViewOptions& options,
                                               const ConnectionSortOrder& order) {
  std::vector<ConnectionRow> rows;
  rows.reserve(monitor.Connections().size());
  for (const auto& [key, connection] : monitor.Connections()) {
    if (!IsConnectionShown(*connection, options)) {
      continue;
    }
    rows.push_back({*connection, monitor.ProcessNameOf(connection->processId),
                    monitor.ProcessPathOf(connection->processId)});
  }
  order.Sort(rows);
  return rows;
}

}  // namespace harlune
