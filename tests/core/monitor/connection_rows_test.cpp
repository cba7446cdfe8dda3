// The connection page's rows: texts, visibility and sort order.

#include "core/monitor/connection_rows.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "core/base/size_text.h"
#include "protocol/ip_address.h"

namespace harlune {
namespace {

ConnectionRow MakeRow(std::uint32_t state, std::uint16_t localPort, std::string processName = "p") {
  ConnectionRow row;
  row.connection.state = state;
  row.connection.localAddr = IpAddress::FromIpv4(Ipv4(192, 168, 0, 2));
  row.connection.localPort = htons(localPort);
  row.connection.remoteAddr = IpAddress::FromIpv4(Ipv4(10, 0, 0, 1));
  row.connection.remotePort = htons(80);
  row.processName = std::move(processName);
  row.processPath = "/bin/" + row.processName;
  return row;
}

std::vector<std::uint16_t> LocalPorts(const std::vector<ConnectionRow>& rows) {
  std::vector<std::uint16_t> ports;
  for (const ConnectionRow& row : rows) {
    ports.push_back(HostOrderPort(row.connection.localPort));
  }
  return ports;
}

TEST(ConnectionRowsText, CellsOfAConnection) {
  ConnectionRow row = MakeRow(kTcpStateEstablished, 50000, "firefox");
  row.connection.upBandwidth = 1536;
  row.connection.downBandwidth = 0;
  row.connection.upTotal = 3 * 1024 * 1024;
  row.connection.downTotal = 1024;
  row.connection.connectedSeconds = 125;
  row.connection.processId = 4242;
  const std::vector<std::string> expected{"TCP",       "1.5 KB/s",    "0.0 KB/s",    "3.00 MB",
                                          "1.0 KB",    "192.168.0.2", "50000",       "10.0.0.1",
                                          "検索中...", "80 (http)",   "ESTABLISHED", "2分05秒",
                                          "firefox",   "4242",        "/bin/firefox"};
  for (int column = 0; column < 15; ++column) {
    EXPECT_EQ(ConnectionCellText(row, column, true), expected[static_cast<std::size_t>(column)])
        << column;
  }
  EXPECT_EQ(ConnectionCellText(row, 8, false), "検索停止");
  row.connection.remoteHost = "example.com";
  EXPECT_EQ(ConnectionCellText(row, 8, false), "example.com");
  row.connection.processId = -1;
  EXPECT_EQ(ConnectionCellText(row, 13, true), "不明");
  EXPECT_EQ(ConnectionCellText(row, 15, true), "");
  EXPECT_EQ(ConnectionCellText(row, -1, true), "");
}

TEST(ConnectionRowsText, CellsOfIpv6AndMappedConnections) {
  ConnectionRow row = MakeRow(kTcpStateEstablished, 50000, "java");
  row.connection.localAddr = *ParseIpAddress("2001:2:0:0:0:0:0:1");
  row.connection.remoteAddr = *ParseIpAddress("2001:0002::00AB:7");
  const int local = static_cast<int>(ConnectionColumn::kLocalAddress);
  const int remote = static_cast<int>(ConnectionColumn::kRemoteAddress);
  const int host = static_cast<int>(ConnectionColumn::kRemoteHost);
  EXPECT_EQ(ConnectionCellText(row, local, true), "2001:2::1");
  EXPECT_EQ(ConnectionCellText(row, remote, true), "2001:2::ab:7");
  EXPECT_EQ(ConnectionCellText(row, host, true), "検索中...");
  EXPECT_EQ(ConnectionCellText(row, host, false), "検索停止");
  row.connection.remoteHost = "2001:2::ab:7";  // what a failed lookup leaves
  EXPECT_EQ(ConnectionCellText(row, host, false), "2001:2::ab:7");
  EXPECT_EQ(ConnectionCellText(row, 6, true), "50000");
  EXPECT_EQ(ConnectionCellText(row, 9, true), "80 (http)");
  EXPECT_TRUE(ShowsIpv6Address(row, local));
  EXPECT_TRUE(ShowsIpv6Address(row, remote));
  EXPECT_FALSE(ShowsIpv6Address(row, host));

  // A listener on :: and one of an IPv6 socket on a mapped address.
  row.connection.localAddr = *ParseIpAddress("::");
  row.connection.remoteAddr = *ParseIpAddress("::ffff:10.0.0.1");
  EXPECT_EQ(ConnectionCellText(row, local, true), "::");
  EXPECT_EQ(ConnectionCellText(row, remote, true), "10.0.0.1");
  EXPECT_TRUE(ShowsIpv6Address(row, local));
  EXPECT_FALSE(ShowsIpv6Address(row, remote));
  EXPECT_FALSE(ShowsIpv6Address(MakeRow(kTcpStateEstablished, 1), local));
}

TEST(ConnectionRowsText, SizesStatesAndTimesAtTheirBoundaries) {
  EXPECT_EQ(SizeText(0), "0.0 KB");
  EXPECT_EQ(SizeText(1024 * 1024), "1024.0 KB") << "MB only above one";
  EXPECT_EQ(SizeText(1024 * 1024 + 1), "1.00 MB");
  EXPECT_EQ(SizeText(1024ull * 1024 * 1024), "1024.00 MB");
  EXPECT_EQ(SizeText(5ull * 1024 * 1024 * 1024 + 1), "5.00 GB");
  EXPECT_EQ(SizeText(UINT64_MAX), "17179869184.00 GB");
  EXPECT_EQ(ConnectedTimeText(0), "0分00秒");
  EXPECT_EQ(ConnectedTimeText(3600), "60分00秒");
  EXPECT_EQ(TcpStateName(1), "CLOSED");
  EXPECT_EQ(TcpStateName(2), "LISTENING");
  EXPECT_EQ(TcpStateName(12), "DELETE_TCB");
  EXPECT_EQ(TcpStateName(0), "");
  EXPECT_EQ(TcpStateName(13), "") << "a number outside the table names nothing";
  EXPECT_EQ(TcpStateName(0xFFFFFFFFu), "");
  EXPECT_EQ(ConnectionColumnOf(8).header, "リモートホスト名");
  EXPECT_FALSE(ConnectionColumnOf(8).alignRight);
  EXPECT_TRUE(ConnectionColumnOf(13).alignRight);
  EXPECT_EQ(ConnectionColumnOf(15).header, "");
}

TEST(ConnectionRowsVisibility, ListeningAndActiveFilters) {
  const std::vector<std::uint32_t> states{kTcpStateListen,   kTcpStateSynSent,
                                          kTcpStateSynRcvd,  kTcpStateEstablished,
                                          kTcpStateTimeWait, kTcpStateCloseWait};
  auto shown = [&](ConnectionViewOptions options) {
    std::vector<std::uint32_t> result;
    for (std::uint32_t state : states) {
      ConnectionInfo connection;
      connection.state = state;
      if (IsConnectionShown(connection, options)) {
        result.push_back(state);
      }
    }
    return result;
  };
  EXPECT_EQ(shown({false, false}), (std::vector<std::uint32_t>{3, 4, 5, 11, 8}));
  EXPECT_EQ(shown({true, false}), states);
  EXPECT_EQ(shown({false, true}), (std::vector<std::uint32_t>{3, 4, 5}));
  EXPECT_EQ(shown({true, true}), (std::vector<std::uint32_t>{2, 3, 4, 5}));
}

TEST(ConnectionRowsSort, HeaderClicksSortAscendingThenToggle) {
  ConnectionSortOrder order;
  std::vector<ConnectionRow> rows{MakeRow(5, 300), MakeRow(5, 100), MakeRow(5, 200)};
  order.Sort(rows);
  EXPECT_EQ(LocalPorts(rows), (std::vector<std::uint16_t>{300, 100, 200})) << "no sort yet";
  order.ClickHeader(6);
  EXPECT_TRUE(order.Ascending());
  order.Sort(rows);
  EXPECT_EQ(LocalPorts(rows), (std::vector<std::uint16_t>{100, 200, 300}));
  order.ClickHeader(6);
  EXPECT_FALSE(order.Ascending());
  order.Sort(rows);
  EXPECT_EQ(LocalPorts(rows), (std::vector<std::uint16_t>{300, 200, 100}));
  order.ClickHeader(6);
  EXPECT_TRUE(order.Ascending());
  order.ClickHeader(6);
  order.ClickHeader(11);
  EXPECT_EQ(order.Column(), 11);
  EXPECT_TRUE(order.Ascending()) << "another column starts ascending";
}

TEST(ConnectionRowsSort, EveryColumnComparesItsValue) {
  ConnectionRow low = MakeRow(kTcpStateListen, 256, "alpha");
  ConnectionRow high = MakeRow(kTcpStateEstablished, 2, "Beta");
  // Values chosen so that comparing stored network-order numbers, or
  // totals cut to 32 bits, or ids as unsigned, would give the other answer.
  low.connection.upBandwidth = 1;
  high.connection.upBandwidth = 2;
  low.connection.downBandwidth = 1;
  high.connection.downBandwidth = 2;
  low.connection.upTotal = 0xFFFFFFFFull;
  high.connection.upTotal = 0x100000000ull;
  low.connection.downTotal = 0xFFFFFFFFull;
  high.connection.downTotal = 0x100000000ull;
  low.connection.localAddr = IpAddress::FromIpv4(Ipv4(1, 0, 0, 255));
  high.connection.localAddr = IpAddress::FromIpv4(Ipv4(2, 0, 0, 0));
  low.connection.localPort = htons(2);
  high.connection.localPort = htons(256);
  low.connection.remoteAddr = IpAddress::FromIpv4(Ipv4(9, 255, 255, 255));
  high.connection.remoteAddr = IpAddress::FromIpv4(Ipv4(10, 0, 0, 0));
  low.connection.remoteHost = "";
  high.connection.remoteHost = "a.example";
  low.connection.remotePort = htons(255);
  high.connection.remotePort = htons(256);
  low.connection.connectedSeconds = 59;
  high.connection.connectedSeconds = 60;
  low.connection.processId = -1;
  high.connection.processId = 0;
  low.processPath = "/a";
  high.processPath = "/B";
  for (int column = 1; column < 15; ++column) {
    EXPECT_LT(CompareConnectionRows(low, high, column), 0) << column;
    EXPECT_GT(CompareConnectionRows(high, low, column), 0) << column;
    EXPECT_EQ(CompareConnectionRows(low, low, column), 0) << column;
  }
  EXPECT_EQ(CompareConnectionRows(low, high, 0), 0);
  EXPECT_EQ(CompareConnectionRows(low, high, 99), 0);
}

TEST(ConnectionRowsSort, HostNamesUnresolvedFirstThenIgnoringCase) {
  std::vector<ConnectionRow> rows(4, MakeRow(5, 1));
  rows[0].connection.remoteHost = "b.example";
  rows[1].connection.remoteHost = "";
  rows[2].connection.remoteHost = "A.example";
  rows[3].connection.remoteHost = "a.EXAMPLE";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i].connection.localPort = htons(static_cast<std::uint16_t>(i));
  }
  ConnectionSortOrder order;
  order.ClickHeader(8);
  order.Sort(rows);
  EXPECT_EQ(LocalPorts(rows), (std::vector<std::uint16_t>{1, 2, 3, 0})) << "equal names stay";
  order.ClickHeader(8);
  order.Sort(rows);
  EXPECT_EQ(rows.front().connection.remoteHost, "b.example");
  EXPECT_EQ(rows.back().connection.remoteHost, "");
}

// Mixed families sort IPv4 first (a mapped address with them), then IPv6
// by value: "::1" after "255.255.255.255", "2001:2::10" after "2001:2::7"
// although its text sorts first, "::" first among IPv6.
TEST(ConnectionRowsSort, AddressColumnsPutIpv4BeforeIpv6ThenOrderByValue) {
  const std::vector<std::string> texts{"2001:2::10", "::1",     "10.0.0.1",       "fe80::1",
                                       "::",         "0.0.0.0", "::ffff:1.2.3.4", "255.255.255.255",
                                       "2001:2::7",  "9.0.0.1"};
  const std::vector<std::string> ascending{"0.0.0.0",         "1.2.3.4", "9.0.0.1", "10.0.0.1",
                                           "255.255.255.255", "::",      "::1",     "2001:2::7",
                                           "2001:2::10",      "fe80::1"};
  for (const ConnectionColumn column :
       {ConnectionColumn::kLocalAddress, ConnectionColumn::kRemoteAddress}) {
    std::vector<ConnectionRow> rows;
    for (std::size_t i = 0; i < texts.size(); ++i) {
      rows.push_back(MakeRow(kTcpStateEstablished, static_cast<std::uint16_t>(i)));
      IpAddress& address = column == ConnectionColumn::kLocalAddress
                               ? rows.back().connection.localAddr
                               : rows.back().connection.remoteAddr;
      address = *ParseIpAddress(texts[i]);
    }
    const int c = static_cast<int>(column);
    const auto cells = [c](const std::vector<ConnectionRow>& sorted) {
      std::vector<std::string> result;
      for (const ConnectionRow& row : sorted) {
        result.push_back(ConnectionCellText(row, c, true));
      }
      return result;
    };
    ConnectionSortOrder order;
    order.ClickHeader(c);
    order.Sort(rows);
    EXPECT_EQ(cells(rows), ascending) << c;
    order.ClickHeader(c);
    order.Sort(rows);
    EXPECT_EQ(cells(rows), std::vector<std::string>(ascending.rbegin(), ascending.rend())) << c;
  }
}

TEST(ConnectionRowsSort, ProtocolColumnKeepsTheOrder) {
  std::vector<ConnectionRow> rows{MakeRow(5, 3), MakeRow(2, 1), MakeRow(11, 2)};
  ConnectionSortOrder order;
  order.ClickHeader(0);
  order.Sort(rows);
  EXPECT_EQ(LocalPorts(rows), (std::vector<std::uint16_t>{3, 1, 2}));
  order.ClickHeader(0);
  order.Sort(rows);
  EXPECT_EQ(LocalPorts(rows), (std::vector<std::uint16_t>{3, 1, 2}));
}

class OneTable : public TcpTableSource {
 public:
  std::vector<TcpTableRow> rows;
  TcpTableResult ReadTable() override { return {true, 0, rows}; }
  bool RowsCarryOwners() const override { return true; }
};

class TwoProcesses : public ProcessSource {
 public:
  std::vector<ProcessEntry> ListProcesses() override {
    return {{10, "zeta", "/usr/bin/zeta"}, {20, "Alpha", "/usr/bin/Alpha"}};
  }
  SocketOwnerMap SocketOwners(std::span<const std::uint64_t>) override { return {}; }
};

class NoHosts : public HostNameCache {
 public:
  std::string CachedName(const IpAddress&) const override { return {}; }
  void QueueLookup(const IpAddress&) override {}
  void Stop() override {}
};

TEST(ConnectionRowsBuild, ShownRowsOfTheMonitorSortedWithProcessTexts) {
  OneTable table;
  const std::uint32_t remote = Ipv4(10, 0, 0, 1);
  auto row = [&](std::uint32_t state, std::uint16_t port, std::int32_t pid) {
    TcpTableRow r;
    r.state = state;
    r.localPort = htons(port);
    r.remoteAddr = IpAddress::FromIpv4(state == kTcpStateListen ? 0 : remote);
    r.remotePort = htons(80);
    r.owningPid = pid;
    return r;
  };
  table.rows = {row(kTcpStateEstablished, 3000, 10), row(kTcpStateListen, 22, 20),
                row(kTcpStateEstablished, 1000, 20), row(kTcpStateTimeWait, 2000, 0)};
  TwoProcesses processes;
  NoHosts hosts;
  ConnectionMonitor monitor(table, processes, hosts, [] { return 0; });
  ASSERT_TRUE(monitor.Refresh());

  ConnectionSortOrder keyOrder;
  EXPECT_EQ(LocalPorts(BuildConnectionRows(monitor, {false, false}, keyOrder)),
            (std::vector<std::uint16_t>{1000, 2000, 3000}));
  ConnectionSortOrder byName;
  byName.ClickHeader(12);
  const auto rows = BuildConnectionRows(monitor, {true, false}, byName);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(LocalPorts(rows), (std::vector<std::uint16_t>{22, 1000, 3000, 2000}))
      << "Alpha, Alpha, zeta, 不明 (UTF-8 sorts after ASCII)";
  EXPECT_EQ(rows[0].processPath, "/usr/bin/Alpha");
  EXPECT_EQ(rows[3].processName, "不明");
  EXPECT_EQ(rows[3].connection.processId, -1);
}

}  // namespace
}  // namespace harlune
