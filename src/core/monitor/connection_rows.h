#pragma once

// The rows of the TCP connection page without its widgets: which
// connections are shown, the text of every cell, and the order the user
// chose by clicking a column header. The page shows ConnectionRows after
// every refresh; its menu commands work on the rows' copies of the records.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/monitor/connection_info.h"
#include "core/monitor/connection_monitor.h"

namespace harlune {

// The page's columns, in their natural order.
enum class ConnectionColumn : int {
  kProtocol = 0,
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
  kProcessName,
  kProcessId,
  kProcessPath,
};
inline constexpr std::size_t kConnectionColumnCount = 15;

inline constexpr std::string_view kHostSearchingText = "検索中...";
inline constexpr std::string_view kHostSearchStoppedText = "検索停止";

struct ConnectionColumnInfo {
  std::string_view header;
  bool alignRight = false;
};

// Header and alignment of a column; an empty header outside 0..14.
ConnectionColumnInfo ConnectionColumnOf(int column);

// "ESTABLISHED" and the other MIB state names; empty for a number that is
// not a state.
std::string_view TcpStateName(std::uint32_t state);

// A byte count per second as "%.1f KB/s".
std::string BandwidthText(std::uint64_t bytesPerSecond);

// "%d分%.2d秒".
std::string ConnectedTimeText(std::uint32_t seconds);

// SHOW_LISTENING and SHOW_ACTIVE_CONNECTION_ONLY.
struct ConnectionViewOptions {
  bool showListening = false;
  bool showActiveOnly = false;
};

bool IsConnectionShown(const ConnectionInfo& connection, const ConnectionViewOptions& options);

// One row: a copy of the record as it was at the redraw, with its
// process's name and path at that time.
struct ConnectionRow {
  ConnectionInfo connection;
  std::string processName;
  std::string processPath;

  friend bool operator==(const ConnectionRow&, const ConnectionRow&) = default;
};

// The cell text of a column (0..14; empty outside). resolveHost is
// RESOLVE_HOST, which chooses what an unresolved host name shows.
std::string ConnectionCellText(const ConnectionRow& row, int column, bool resolveHost);

// Whether the cell of an address column holds a native IPv6 address, whose
// text is up to 39 characters where dotted text is up to 15: the page
// widens that column once it shows one. False for every other column.
bool ShowsIpv6Address(const ConnectionRow& row, int column);

// The column comparison: negative, 0 or positive as a sorts before, with or
// after b ascending. Column 0 and columns outside 0..14 compare equal.
// Addresses sort IPv4 before IPv6, then by their value.
int CompareConnectionRows(const ConnectionRow& a, const ConnectionRow& b, int column);

// The sort the user chose: a header click sorts by that column ascending,
// a second click on the same header toggles the direction.
class ConnectionSortOrder {
 public:
  void ClickHeader(int column);
  // -1 until a header is clicked: key order.
  int Column() const { return column_; }
  bool Ascending() const { return ascending_; }
  // A stable sort, so equal rows keep key order.
  void Sort(std::vector<ConnectionRow>& rows) const;

 private:
  int column_ = -1;
  bool ascending_ = true;
};

// The shown rows of the table, in key order filtered by the options, then
// sorted.
std::vector<ConnectionRow> BuildConnectionRows(const ConnectionMonitor& monitor,
                                               const ConnectionViewOptions& options,
                                               const ConnectionSortOrder& order);

}  // namespace harlune
